#include "office/libreoffice/office_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <random>
#include <vector>

#include <rtl/digest.h>
#include <com/sun/star/bridge/BridgeFactory.hpp>
#include <com/sun/star/bridge/XBridge.hpp>
#include <com/sun/star/connection/Connector.hpp>
#include <com/sun/star/connection/NoConnectException.hpp>
#include <com/sun/star/connection/XConnection.hpp>
#include <com/sun/star/frame/Desktop.hpp>
#include <cppuhelper/bootstrap.hxx>
#include <cppuhelper/implbase1.hxx>
#include <osl/file.hxx>

#include "office/automation.h"
#include "office/libreoffice/lock_files.h"
#include "office/libreoffice/private_folders.h"
#include "office/libreoffice/profile_template.h"
#include "office/libreoffice/uno_text.h"
#include "platform/posix/termination.h"

extern char** environ;

namespace office::libreoffice {

namespace fs = std::filesystem;
using namespace platform::posix;
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

[[noreturn]] void cannotStart(const std::string& why) {
  throw AutomationError(office::kErrFailed, "无法启动 LibreOffice：" + why);
}

// Kills the office if it runs and was not reaped yet, waits a little for it
// to die so that it writes nothing more, and removes what it leaves. Runs on
// the program's ending: no locks, nothing of the object that started it.
void endOffice(const std::atomic<bool>& folderMade, const std::atomic<pid_t>& livePid,
               const fs::path& folder, const std::vector<fs::path>& sockets) {
  if (!folderMade.load()) return;  // and so no office either
  if (const pid_t pid = livePid.load(); pid > 0) {
    ::kill(pid, SIGKILL);
    for (int i = 0; i < 200 && livePid.load() == pid; ++i) {
      siginfo_t info{};
      if (::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
          info.si_pid == pid) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  for (const auto& socket : sockets) removeSocket(socket);
  removeTree(folder);
}

// The office's end of the bridge, counting the messages we send it: the bridge
// writes each message whole, in one call.
class CountingConnection : public cppu::WeakImplHelper1<css::connection::XConnection> {
 public:
  CountingConnection(Reference<css::connection::XConnection> inner,
                     std::shared_ptr<std::atomic<std::uint64_t>> sent)
      : inner_(std::move(inner)), sent_(std::move(sent)) {}

  sal_Int32 SAL_CALL read(css::uno::Sequence<sal_Int8>& bytes, sal_Int32 count) override {
    return inner_->read(bytes, count);
  }
  void SAL_CALL write(const css::uno::Sequence<sal_Int8>& bytes) override {
    inner_->write(bytes);
    if (sent_) ++*sent_;
  }
  void SAL_CALL flush() override { inner_->flush(); }
  void SAL_CALL close() override { inner_->close(); }
  OUString SAL_CALL getDescription() override { return inner_->getDescription(); }

 private:
  Reference<css::connection::XConnection> inner_;
  std::shared_ptr<std::atomic<std::uint64_t>> sent_;
};

std::string randomName(std::random_device& random) {
  static constexpr char kLetters[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string name;
  for (int i = 0; i < 6; ++i) name += kLetters[random() % (sizeof kLetters - 1)];
  return name;
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

OfficeProcess::OfficeProcess(Installation installation, std::chrono::milliseconds startTimeout,
                             std::shared_ptr<std::atomic<std::uint64_t>> messagesSent)
    : installation_(std::move(installation)),
      startTimeout_(startTimeout),
      messagesSent_(std::move(messagesSent)) {}

OfficeProcess::~OfficeProcess() {
  stop();
}

// The folder is named, and its clean-up registered, before it is made: an
// ending at any moment then finds it (or finds nothing yet).
void OfficeProcess::makePrivateFolder(const std::string& pipeName) {
  std::random_device random;
  for (int attempt = 0;; ++attempt) {
    folder_ = temporaryRoot() / (kFolderPrefix + randomName(random));
    profile_ = folder_ / "profile";
    sockets_ = {pipeSocket(pipeName), pipeSocket(instancePipeName(fileUrl(profile_)))};
    live_ = std::make_shared<LiveState>();
    ending_ =
        std::make_unique<TerminationCleanup>([live = live_, folder = folder_, sockets = sockets_] {
          endOffice(live->folderMade, live->pid, folder, sockets);
        });
    // An ending that began before we registered does not know this office.
    if (programEnding()) {
      folder_.clear();
      ending_.reset();
      stopHereIfEnding();
    }
    if (::mkdir(folder_.c_str(), 0700) == 0) {
      live_->folderMade = true;
      break;
    }
    const int error = errno;
    folder_.clear();
    ending_.reset();
    if (error != EEXIST || attempt == 100) cannotStart(std::strerror(error));
  }
  // The ending may have run our clean-up before the folder was made.
  if (programEnding()) {
    removeLeftovers();
    stopHereIfEnding();
  }
  writeOwnerRecord(folder_);
  {
    std::ofstream record(folder_ / kSocketRecord);
    for (const auto& socket : sockets_) record << socket.string() << '\n';
  }
  fs::create_directories(profile_ / "user");
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
      "-env:UserInstallation=" + fileUrl(profile_)};
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
  rlimit limit{};
  const int maxFd = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY
                        ? static_cast<int>(std::min<rlim_t>(limit.rlim_cur, 1 << 20))
                        : 65536;

  const pid_t parent = ::getpid();
  const pid_t child = ::fork();
  if (child < 0) cannotStart(std::strerror(errno));
  if (child == 0) {
    // The office dies with us, so no orphan outlives a crashed client.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    // A terminal's Ctrl-C or a signal to our group is ours to act on: we end
    // the office ourselves once the document being written is complete.
    ::setpgid(0, 0);
    sigset_t none;
    ::sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {};
    standard.sa_handler = SIG_DFL;
    ::sigaction(SIGPIPE, &standard, nullptr);  // ours to ignore, not the office's
    int devnull = ::open("/dev/null", O_RDWR);
    if (devnull >= 0) {
      ::dup2(devnull, 0);
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    // Nothing of ours may live on in the office: not a document's descriptor,
    // not the pipe of whoever launched us.
#ifdef SYS_close_range
    if (::syscall(SYS_close_range, 3U, ~0U, 0U) != 0)
#endif
    {
      for (int fd = 3; fd < maxFd; ++fd) ::close(fd);
    }
    ::execve(argv[0], argv.data(), envp.data());
    ::_exit(127);
  }
  return child;
}

void OfficeProcess::guardEnding(pid_t pid) {
  live_->pid = pid;
  // The ending may have run our clean-up before it could know the PID.
  if (programEnding()) {
    endOffice(live_->folderMade, live_->pid, folder_, sockets_);
    reap(std::chrono::milliseconds(0));
    removeLeftovers();
    stopHereIfEnding();
  }
}

void OfficeProcess::removeLeftovers() {
  for (const auto& socket : sockets_) removeSocket(socket);
  sockets_.clear();
  if (!folder_.empty()) {
    removeTree(folder_);
    folder_.clear();
  }
  ending_.reset();
}

void OfficeProcess::start() {
  stopHereIfEnding();
  if (started()) return;
  // A write to the office's pipe after the office went away (its restart on
  // a fresh profile, a crash) must fail as a call, not end the program.
  static const bool pipesIgnored = [] {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    return ::sigaction(SIGPIPE, &ignore, nullptr) == 0;
  }();
  (void)pipesIgnored;
  const ProfileTemplate profileTemplate(installation_);
  try {
    startOnce(profileTemplate, true);
  } catch (const AutomationError&) {
    if (!seeded_) throw;
    // A kept registry the office would not start with is forgotten; the
    // office then builds its own, as on a first start.
    profileTemplate.drop();
    startOnce(profileTemplate, false);
  }
}

void OfficeProcess::startOnce(const ProfileTemplate& profileTemplate, bool seed) {
  seeded_ = false;
  launches_ = 0;
  // What an office that died on its own left, and the watchdog of the last.
  stop();
  {
    std::lock_guard lock(mutex_);
    stopping_ = false;
    fired_ = false;
    deadline_.reset();
  }
  removeStalePrivateFolders(temporaryRoot());
  static std::atomic<unsigned> counter{0};
  std::random_device random;
  const std::string pipeName = "ravelsk_" + std::to_string(::getpid()) + "_" +
                               std::to_string(counter++) + "_" + std::to_string(random());
  try {
    makePrivateFolder(pipeName);
    seeded_ = seed && profileTemplate.seed(profile_);
  } catch (const fs::filesystem_error& e) {
    abandonStart(e.what());
  }
  const auto pipe = toOUString("pipe,name=" + pipeName);

  // What UnoUrlResolver does, with our connection between the bridge and the
  // pipe.
  Reference<css::connection::XConnector> connector;
  Reference<css::bridge::XBridgeFactory2> bridges;
  try {
    const auto local = localContext(installation_.programFolder);
    connector = css::connection::Connector::create(local);
    bridges = css::bridge::BridgeFactory::create(local);
  } catch (const css::uno::Exception& e) {
    abandonStart(toUtf8(e.Message));
  }

  const auto launch = [this, &pipeName] {
    pid_t child = -1;
    try {
      child = spawn(pipeName);
    } catch (const AutomationError&) {
      removeLeftovers();
      throw;
    }
    {
      std::lock_guard lock(mutex_);
      pid_ = child;
    }
    ++launches_;
    guardEnding(child);
  };
  launch();
  const auto deadline = std::chrono::steady_clock::now() + startTimeout_;
  int restarts = 0;
  for (;;) {
    try {
      Reference<css::connection::XConnection> connection(
          new CountingConnection(connector->connect(pipe), messagesSent_));
      const auto bridge = bridges->createBridge(OUString(), "urp", connection, nullptr);
      remoteContext_.set(bridge->getInstance("StarOffice.ComponentContext"), UNO_QUERY_THROW);
      break;
    } catch (const css::connection::NoConnectException&) {
    } catch (const css::uno::Exception& e) {
      abandonStart(toUtf8(e.Message));
    }
    if (const auto status = exitStatus()) {
      if (WIFEXITED(*status) && WEXITSTATUS(*status) == kRestartExitCode && restarts++ < 2) {
        if (restarts == 1) profileTemplate.keep(profile_);
        launch();
        continue;
      }
      abandonStart("soffice.bin 退出，状态 " + std::to_string(*status));
    }
    if (std::chrono::steady_clock::now() > deadline) {
      abandonStart("启动超时");
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  try {
    desktop_ = css::frame::Desktop::create(remoteContext_);
  } catch (const css::uno::Exception& e) {
    abandonStart(toUtf8(e.Message));
  }
  watchdog_ = std::thread([this] { watch(); });
}

// A start that failed leaves nothing behind: no office, no folder, no socket.
void OfficeProcess::abandonStart(const std::string& why) {
  reap(std::chrono::milliseconds(0));
  removeLeftovers();
  cannotStart(why);
}

bool OfficeProcess::running() {
  if (!tryReap()) return true;
  stopHereIfEnding();
  return false;
}

pid_t OfficeProcess::pid() const {
  std::lock_guard lock(mutex_);
  return pid_;
}

std::size_t OfficeProcess::residentBytes() const {
  std::lock_guard lock(mutex_);
  if (pid_ <= 0) return 0;
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  }
  return 0;
}

bool OfficeProcess::tryReap() {
  return exitStatus().has_value();
}

// The PID is cleared under the lock in the same step that reaps it, so the
// watchdog never signals a PID the system may have handed to another process;
// the ending's clean-up is told before the reaping, for the same reason.
std::optional<int> OfficeProcess::exitStatus() {
  std::lock_guard lock(mutex_);
  if (pid_ <= 0) return 0;
  siginfo_t info{};
  if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
      info.si_pid == 0) {
    return std::nullopt;
  }
  if (live_) live_->pid = 0;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) status = 0;
  pid_ = -1;
  deadline_.reset();
  return status;
}

void OfficeProcess::kill() {
  stopHereIfEnding();
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
  stopHereIfEnding();
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
  removeLeftovers();
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
