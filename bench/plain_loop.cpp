// The floor of the benchmark: a plain C++ UNO loop over one folder, on an
// office it starts itself (the same private profile settings and command line
// as the program's office).
// Usage: ravelsk_plain_loop doc|xls FOLDER FIND REPLACE
// Prints "file NS" as each file is done (NS: the system clock's nanoseconds
// since the epoch, so that the caller can set them against its own).
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>

#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <cppuhelper/bootstrap.hxx>

#include "bench/plain_loop.h"

extern char** environ;

namespace fs = std::filesystem;
using namespace plain_loop;

namespace {

std::string version(const fs::path& program) {
  std::ifstream rc(program / "bootstraprc");
  for (std::string line; std::getline(rc, line);) {
    if (line.rfind("ProductKey=", 0) == 0) {
      while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
      return line.substr(line.rfind(' ') + 1);
    }
  }
  return "";
}

void stamp() {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  std::printf(
      "file %lld\n",
      static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(now).count()));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s doc|xls FOLDER FIND REPLACE\n", argv[0]);
    return 2;
  }
  const bool workbooks = std::string(argv[1]) == "xls";
  const fs::path program = "/usr/lib/libreoffice/program";
  const std::string find = argv[3], replace = argv[4];
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(argv[2])) {
    // As the program lists them: "*.doc" also takes .docx and .docm.
    if (entry.path().extension().string().rfind(workbooks ? ".xls" : ".doc", 0) == 0) {
      files.push_back(entry.path());
    }
  }
  std::sort(files.begin(), files.end());

  char folderTemplate[] = "/tmp/plain-loop-XXXXXX";
  const fs::path folder = ::mkdtemp(folderTemplate);
  const fs::path profile = folder / "profile";
  fs::create_directories(profile / "user");
  std::ofstream(profile / "user" / "registrymodifications.xcu")
      << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<oor:items "
         "xmlns:oor=\"http://openoffice.org/2001/registry\" "
         "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
         "<item oor:path=\"/org.openoffice.Setup/Product\"><prop oor:name=\"ooSetupLastVersion\" "
         "oor:op=\"fuse\"><value>"
      << version(program)
      << "</value></prop></item>\n"
         "<item oor:path=\"/org.openoffice.Office.Recovery/AutoSave\"><prop oor:name=\"Enabled\" "
         "oor:op=\"fuse\"><value>false</value></prop></item>\n"
         "<item oor:path=\"/org.openoffice.Office.Recovery/RecoveryInfo\"><prop "
         "oor:name=\"Enabled\" oor:op=\"fuse\"><value>false</value></prop></item>\n"
         "</oor:items>\n";

  const std::string pipe = "plainloop" + std::to_string(::getpid());
  std::vector<std::string> args{
      (program / "soffice.bin").string(),
      "--headless",
      "--invisible",
      "--norestore",
      "--nologo",
      "--nodefault",
      "--nolockcheck",
      "--accept=pipe,name=" + pipe + ";urp;StarOffice.ComponentContext",
      std::string("-env:UserInstallation=") +
          OUStringToOString(fileUrl(profile), RTL_TEXTENCODING_UTF8).getStr()};
  std::vector<char*> argvOffice;
  for (auto& a : args) argvOffice.push_back(a.data());
  argvOffice.push_back(nullptr);
  const auto spawn = [&] {
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    if (::posix_spawn(&pid, argvOffice[0], &actions, nullptr, argvOffice.data(), environ) != 0) {
      std::perror("posix_spawn");
      std::exit(1);
    }
    posix_spawn_file_actions_destroy(&actions);
    return pid;
  };

  ::setenv("URE_BOOTSTRAP",
           ("vnd.sun.star.pathname:" + (program / "fundamentalrc").string()).c_str(), 0);
  pid_t office = spawn();
  const auto local = cppu::defaultBootstrap_InitialComponentContext();
  const auto resolver = css::bridge::UnoUrlResolver::create(local);
  Reference<css::uno::XComponentContext> remote;
  for (int attempt = 0;; ++attempt) {
    try {
      remote.set(
          resolver->resolve(text("uno:pipe,name=" + pipe + ";urp;StarOffice.ComponentContext")),
          UNO_QUERY_THROW);
      break;
    } catch (const css::connection::NoConnectException&) {
      int status = 0;
      if (::waitpid(office, &status, WNOHANG) == office)
        office = spawn();  // a fresh profile restarts
      if (attempt > 600) return 1;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
  }
  const auto desktop = css::frame::Desktop::create(remote);

  int failures = 0;
  for (const auto& file : files) {
    try {
      if (workbooks) {
        replaceInWorkbook(desktop, file, find, replace);
      } else {
        replaceInDocument(desktop, file, find, replace);
      }
    } catch (const css::uno::Exception& e) {
      ++failures;
      std::fprintf(stderr, "%s: %s\n", file.c_str(),
                   OUStringToOString(e.Message, RTL_TEXTENCODING_UTF8).getStr());
    }
    stamp();
  }

  try {
    desktop->terminate();
  } catch (const css::uno::Exception&) {
  }
  int status = 0;
  ::waitpid(office, &status, 0);
  fs::remove_all(folder);
  return failures == 0 ? 0 : 1;
}
