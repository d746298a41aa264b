#include "office/libreoffice/office_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <vector>

#include <com/sun/star/bridge/UnoUrlResolver.hpp>
#include <com/sun/star/bridge/XUnoUrlResolver.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <osl/file.hxx>

#include "office/automation.h"
#include "office/libreoffice/uno_text.h"

extern char** environ;

namespace office::libreoffice {

namespace fs = std::filesystem;
using css::uno::Reference;
using css::uno::UNO_QUERY_THROW;

namespace {

constexpr int kRestartExitCode = 81;  // a fresh profile asks for one restart

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\r' || s.back() == ' ')) s.pop_back();
  return s;
}

Reference<css::uno::XComponentContext> localContext(const fs::path& programFolder) {
  static Reference<css::uno::XComponentContext> context = [&programFolder] {
    // Without this the first remote call crashes: the local UNO runtime must
    // find the installation's fundamental settings.
    const std::string bootstrap =
        "vnd.sun.star.pathname:" + (programFolder / "fundamentalrc").string();
    ::setenv("URE_BOOTSTRAP", bootstrap.c_str(), 0);
    return cppu::defaultBootstrap_InitialComponentContext();
  }();
  return context;
}

std::string fileUrl(const fs::path& path) {
  OUString url;
  osl::FileBase::getFileURLFromSystemPath(toOUString(path.string()), url);
  return toUtf8(url);
}

[[noreturn]] void cannotStart(const std::string& why) {
  throw AutomationError(kErrOfficeFailed, "无法启动 LibreOffice：" + why);
}

}  // namespace

std::optional<Installation> findInstallation(const fs::path& programFolder) {
  if (::access((programFolder / "soffice.bin").c_str(), X_OK) != 0) return std::nullopt;
  Installation found{programFolder, "LibreOffice", ""};
  std::ifstream rc(programFolder / "bootstraprc");
  std::string line;
  while (std::getline(rc, line)) {
    line = trim(line);
    if (line.rfind("ProductKey=", 0) != 0) continue;
    const std::string key = line.substr(11);  // "LibreOffice 7.4"
    const std::size_t blank = key.rfind(' ');
    if (blank == std::string::npos) {
      found.productName = key;
    } else {
      found.productName = key.substr(0, blank);
      found.version = key.substr(blank + 1);
    }
  }
  return found;
}

OfficeProcess::OfficeProcess(Installation installation, std::chrono::milliseconds startTimeout)
    : installation_(std::move(installation)), startTimeout_(startTimeout) {}

OfficeProcess::~OfficeProcess() {
  stop();
}

void OfficeProcess::makePrivateFolder() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern =
      (fs::path(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") / "ravelsk-office-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) cannotStart(std::strerror(errno));
  folder_ = pattern;
  fs::create_directories(folder_ / "profile" / "user");
  fs::create_directories(folder_ / "tmp");
  // Seeding the last-run version skips the first-start work (about 3 s);
  // autosave and recovery data would only leave files behind.
  std::ofstream xcu(folder_ / "profile" / "user" / "registrymodifications.xcu");
  xcu << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<oor:items xmlns:oor=\"http://openoffice.org/2001/registry\" "
         "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" "
         "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n"
         "<item oor:path=\"/org.openoffice.Setup/Product\"><prop oor:name=\"ooSetupLastVersion\" "
         "oor:op=\"fuse\"><value>"
      << installation_.version
      << "</value></prop></item>\n"
         "<item oor:path=\"/org.openoffice.Office.Recovery/AutoSave\"><prop oor:name=\"Enabled\" "
         "oor:op=\"fuse\"><value>false</value></prop></item>\n"
         "<item oor:path=\"/org.openoffice.Office.Recovery/RecoveryInfo\"><prop "
         "oor:name=\"Enabled\" oor:op=\"fuse\"><value>false</value></prop></item>\n"
         "</oor:items>\n";
}

pid_t OfficeProcess::spawn(const std::string& pipeName) {
  // Everything the child needs is built before fork: after it, only
  // async-signal-safe calls.
  const std::string program = (installation_.programFolder / "soffice.bin").string();
  std::vector<std::string> args{
      program,
      "--headless",
      "--invisible",
      "--norestore",
      "--nologo",
      "--nodefault",
      "--nolockcheck",
      "--accept=pipe,name=" + pipeName + ";urp;StarOffice.ComponentContext",
      "-env:UserInstallation=" + fileUrl(folder_ / "profile")};
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    if (std::strncmp(*e, "TMPDIR=", 7) != 0) env.emplace_back(*e);
  }
  env.push_back("TMPDIR=" + (folder_ / "tmp").string());
  std::vector<char*> argv, envp;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) cannotStart(std::strerror(errno));
  if (child == 0) {
    // The office dies with us, so no orphan outlives a crashed client.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return child;
}

void OfficeProcess::start() {
  if (started()) return;
  {
    // A stopped office may be started again, with a watchdog of its own.
    std::lock_guard lock(mutex_);
    stopping_ = false;
    fired_ = false;
    deadline_.reset();
  }
  makePrivateFolder();
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const std::string pipeName = "ravelsk_" + std::to_string(::getpid()) + "_" +
                               std::to_string(counter++) + "_" + std::to_string(random());
  const auto url = toOUString("uno:pipe,name=" + pipeName + ";urp;StarOffice.ComponentContext");

  Reference<css::bridge::XUnoUrlResolver> resolver;
  try {
    resolver = css::bridge::UnoUrlResolver::create(localContext(installation_.programFolder));
  } catch (const css::uno::Exception& e) {
    cannotStart(toUtf8(e.Message));
  }

  pid_ = spawn(pipeName);
  const auto deadline = std::chrono::steady_clock::now() + startTimeout_;
  int restarts = 0;
  for (;;) {
    try {
      remoteContext_.set(resolver->resolve(url), UNO_QUERY_THROW);
      break;
    } catch (const css::connection::NoConnectException&) {
    } catch (const css::uno::Exception& e) {
      reap(std::chrono::milliseconds(0));
      cannotStart(toUtf8(e.Message));
    }
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      if (WIFEXITED(status) && WEXITSTATUS(status) == kRestartExitCode && restarts++ < 2) {
        pid_ = spawn(pipeName);
        continue;
      }
      cannotStart("soffice.bin 退出，状态 " + std::to_string(status));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      reap(std::chrono::milliseconds(0));
      cannotStart("启动超时");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  try {
    desktop_ = css::frame::Desktop::create(remoteContext_);
  } catch (const css::uno::Exception& e) {
    reap(std::chrono::milliseconds(0));
    cannotStart(toUtf8(e.Message));
  }
  watchdog_ = std::thread([this] { watch(); });
}

std::size_t OfficeProcess::residentBytes() const {
  if (pid_ <= 0) return 0;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
  }
  return 0;
}

bool OfficeProcess::running() {
  return !tryReap();
}

// The PID is cleared under the lock in the same step that reaps it, so the
// watchdog never signals a PID the system may have handed to another process.
bool OfficeProcess::tryReap() {
  std::lock_guard lock(mutex_);
  if (pid_ <= 0) return true;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == 0) return false;
  pid_ = -1;
  deadline_.reset();
  return true;
}

void OfficeProcess::kill() {
  std::lock_guard lock(mutex_);
  if (pid_ > 0) ::kill(pid_, SIGKILL);
}

void OfficeProcess::reap(std::chrono::milliseconds bound) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!tryReap()) {
    if (std::chrono::steady_clock::now() > deadline) kill();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void OfficeProcess::stop() {
  if (pid_ > 0) {
    // terminate() can itself hang on a stuck office: the watchdog bounds it.
    arm(std::chrono::seconds(10));
    try {
      if (desktop_.is()) desktop_->terminate();
    } catch (const css::uno::Exception&) {
    }
    desktop_.clear();
    remoteContext_.clear();
    reap(std::chrono::seconds(10));
  }
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (watchdog_.joinable()) watchdog_.join();
  if (!folder_.empty()) {
    std::error_code ec;
    fs::remove_all(folder_, ec);
    folder_.clear();
  }
}

void OfficeProcess::arm(std::chrono::milliseconds timeout) {
  {
    std::lock_guard lock(mutex_);
    deadline_ = std::chrono::steady_clock::now() + timeout;
  }
  wake_.notify_all();
}

void OfficeProcess::disarm() {
  std::lock_guard lock(mutex_);
  deadline_.reset();
}

bool OfficeProcess::watchdogFired() const {
  std::lock_guard lock(mutex_);
  return fired_;
}

void OfficeProcess::watch() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (!deadline_) {
      wake_.wait(lock);
      continue;
    }
    if (wake_.wait_until(lock, *deadline_) == std::cv_status::timeout && deadline_ &&
        std::chrono::steady_clock::now() >= *deadline_) {
      fired_ = true;
      deadline_.reset();
      if (pid_ > 0) ::kill(pid_, SIGKILL);
    }
  }
}

}  // namespace office::libreoffice
