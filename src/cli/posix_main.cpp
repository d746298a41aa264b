#include "cli/posix_main.h"

#include <iconv.h>
#include <unistd.h>

#include <csignal>
#include <deque>
#include <iostream>
#include <mutex>
#include <thread>

#include "cli/command_line.h"
#include "office/libreoffice/libreoffice_server.h"
#include "platform/posix/termination.h"
#include "replace/journal_folder.h"
#include "text/text_encoding.h"

namespace cli {

namespace {

bool isUtf8(const std::string& codeset) {
  return codeset == "UTF-8" || codeset == "utf-8" || codeset == "UTF8" || codeset == "utf8";
}

// An argument typed in the user's locale, as UTF-8; unchanged when it cannot
// be converted (file names are bytes and stay so).
std::string fromLocale(const std::string& arg, const std::string& codeset) {
  if (isUtf8(codeset)) return arg;
  iconv_t cd = ::iconv_open("UTF-8", codeset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return arg;
  std::string out(arg.size() * 4 + 4, '\0');
  char* in = const_cast<char*>(arg.data());
  std::size_t inLeft = arg.size();
  char* to = out.data();
  std::size_t outLeft = out.size();
  const std::size_t done = ::iconv(cd, &in, &inLeft, &to, &outLeft);
  ::iconv_close(cd);
  if (done == static_cast<std::size_t>(-1)) return arg;
  out.resize(out.size() - outLeft);
  return out;
}

}  // namespace

int posixMain(int argc, char** argv, const std::filesystem::path& programFolder) {
  // A killed command ends its offices and removes what they left, as the
  // window does.
  platform::posix::installTerminationHandlers();
  // A reader that goes away (`ravelsk ... | head`) must not end the run in the
  // middle of writing a document: the lines are lost, the run and its journal
  // go on.
  std::signal(SIGPIPE, SIG_IGN);

  const std::string codeset = text::systemCodeset();
  // The texts are converted; a folder is a file name and stays as it is.
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const std::string previous = i > 1 ? argv[i - 1] : "";
    const bool folder = previous == "--doc" || previous == "--xls" || arg.rfind("--doc=", 0) == 0 ||
                        arg.rfind("--xls=", 0) == 0;
    args.push_back(folder ? arg : fromLocale(arg, codeset));
  }

  // One registry per job: each job's server drives an office of its own.
  std::deque<office::ServerRegistry> registries;
  std::mutex registriesMutex;
  replace::Clock clock;
  office::libreoffice::Options serverOptions;

  Environment env;
  env.servers = [&](unsigned job) -> const office::ServerRegistry& {
    std::lock_guard lock(registriesMutex);
    while (registries.size() <= job) {
      office::libreoffice::registerServers(registries.emplace_back(), serverOptions);
    }
    return registries[job];
  };
  // The offices' careful store keeps each original as it places the new
  // content: only there is it known which way the content is placed.
  env.useBackup = [&](const std::string& folder, const std::string& backupFolder) {
    serverOptions.backupRoot = text::pathFromUtf8(folder);
    serverOptions.backupFolder = text::pathFromUtf8(backupFolder);
    return std::unique_ptr<OriginalKeeper>();
  };
  env.clock = &clock;
  env.programFolder = programFolder;
  env.userJournalFolder = replace::defaultUserJournalFolder();
  env.codeset = codeset;
  env.out = &std::cout;
  env.err = &std::cerr;
  env.showProgress = ::isatty(STDERR_FILENO) == 1;
  env.cores = std::max(std::thread::hardware_concurrency(), 1u);
  // A signal ends the program from the ending's own thread: what the run
  // holds back for the list's order is written first.
  env.whenEnded = [](std::function<void()> lastWords) -> std::shared_ptr<void> {
    return std::make_shared<platform::posix::TerminationCleanup>(std::move(lastWords));
  };
  return runCommandLine(args, env);
}

}  // namespace cli
