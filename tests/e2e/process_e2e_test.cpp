// The office process and the program's ending, against the real office: what
// the office inherits, what it leaves behind when it is killed or quits, what
// a crashed program's offices left and the next start removes, and what a
// program ended by a signal in the middle of a run leaves for the next run.
// Every test inspects only its own processes (by PID) and its own TMPDIR.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <osl/file.hxx>

#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "office/libreoffice/office_process.h"
#include "office/libreoffice/uno_text.h"
#include "support/fixtures.h"

#ifndef RAVELSK_BATCH_DRIVER
#error "RAVELSK_BATCH_DRIVER must name the batch driver program"
#endif
#ifndef RAVELSK_SLOW_FSYNC
#error "RAVELSK_SLOW_FSYNC must name the library that slows the syncs of placements"
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using office::Object;
using office::Variant;
using testsupport::readFile;
using testsupport::TempFolder;

const std::string kOld = "旧文本";
const std::string kNew = "新文本";
constexpr int kDocuments = 8;

// Made once: converting takes a few seconds.
const fs::path& corpus() {
  static TempFolder folder;
  static const bool made = [] {
    std::vector<e2e::DocumentSpec> docs;
    for (int i = 1; i <= kDocuments; ++i) {
      docs.push_back({"d" + std::to_string(i) + ".doc",
                      "第" + std::to_string(i) + "份：" + kOld + "在正文里。", kOld, ""});
    }
    e2e::makeDocuments(folder.path(), docs);
    return true;
  }();
  (void)made;
  return folder.path();
}

// ---- what the kernel says about a process ----

std::vector<std::string> statFields(int pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t open = stat.find('('), close = stat.rfind(')');
  if (open == std::string::npos || close == std::string::npos) return {};
  std::vector<std::string> fields{stat.substr(0, open - 1),
                                  stat.substr(open + 1, close - open - 1)};
  std::istringstream rest(stat.substr(close + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;  // fields[0] is field 1
}

std::string startTime(int pid) {
  const auto fields = statFields(pid);
  return fields.size() > 21 ? fields[21] : "";
}

// The offices a process started: its children running soffice.bin.
std::vector<int> officesOf(int parent) {
  std::vector<int> found;
  for (const auto& entry : fs::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const auto fields = statFields(std::stoi(name));
    if (fields.size() > 3 && fields[1] == "soffice.bin" && fields[3] == std::to_string(parent)) {
      found.push_back(std::stoi(name));
    }
  }
  return found;
}

// Gone, or a zombie no one has reaped yet, or its PID now names another.
bool ended(int pid, const std::string& started) {
  const auto fields = statFields(pid);
  return fields.size() < 22 || fields[2] == "Z" || fields[21] != started;
}

bool waitUntil(const std::function<bool()>& done, std::chrono::milliseconds bound = 10s,
               std::chrono::milliseconds step = 50ms) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(step);
  }
  return true;
}

std::set<std::string> descriptors(int pid) {
  std::set<std::string> targets;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", ec)) {
    std::error_code link;
    const fs::path target = fs::read_symlink(entry.path(), link);
    if (!link) targets.insert(target.string());
  }
  return targets;
}

// The named sockets a process listens on, from its descriptors and the
// kernel's table of Unix sockets.
std::set<fs::path> namedSockets(int pid) {
  std::set<std::string> inodes;
  for (const std::string& target : descriptors(pid)) {
    if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
  }
  std::set<fs::path> paths;
  std::ifstream table("/proc/net/unix");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string num, refs, protocol, flags, type, state, inode, path;
    fields >> num >> refs >> protocol >> flags >> type >> state >> inode >> path;
    if (!path.empty() && path[0] == '/' && inodes.count(inode) != 0) paths.insert(path);
  }
  return paths;
}

std::vector<std::string> namesIn(const fs::path& folder, const std::string& prefix) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) names.push_back(name);
  }
  return names;
}

// Sets TMPDIR to a folder of the test's own while it lives.
class OwnTemporaryRoot {
 public:
  OwnTemporaryRoot() {
    const char* old = std::getenv("TMPDIR");
    if (old != nullptr) old_ = old;
    ::setenv("TMPDIR", folder_.str().c_str(), 1);
  }
  ~OwnTemporaryRoot() {
    if (old_) {
      ::setenv("TMPDIR", old_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
  }
  const fs::path& path() const { return folder_.path(); }

 private:
  TempFolder folder_;
  std::optional<std::string> old_;
};

// ---- the office of a server in this process ----

class OfficeOfAServer : public ::testing::Test {
 protected:
  TempFolder work;
  std::optional<OwnTemporaryRoot> tmp;
  office::ServerRegistry servers;
  fs::path document;

  void SetUp() override {
    ASSERT_TRUE(office::libreoffice::registerServers(servers));
    document = work.path() / "d1.doc";
    fs::copy_file(corpus() / "d1.doc", document);
    tmp.emplace();
  }

  // Opens the document, so that the server's office runs; its PID.
  int open(const Object& app) {
    app.get("Documents").toObject().call("Open", {Variant(document.string())});
    const std::vector<int> offices = officesOf(::getpid());
    EXPECT_EQ(offices.size(), 1u);
    return offices.empty() ? -1 : offices.front();
  }
};

TEST_F(OfficeOfAServer, InheritsNoDescriptorOfTheProgram) {
  // Neither is close-on-exec, as a launcher's pipe or a library's file may not be.
  int launcher[2];
  ASSERT_EQ(::pipe(launcher), 0);
  const fs::path held = work.write("held.txt", "x");
  const int file = ::open(held.c_str(), O_RDONLY);
  ASSERT_GE(file, 0);

  Object app = servers.create("word.Application");
  const int office = open(app);
  ASSERT_GT(office, 0);
  const std::set<std::string> ours = descriptors(::getpid());
  ASSERT_TRUE(ours.count(held.string()));
  for (const std::string& target : descriptors(office)) {
    const bool shared = target.rfind("pipe:", 0) == 0 || target.rfind("socket:", 0) == 0 ||
                        target.rfind(work.str(), 0) == 0;
    EXPECT_FALSE(shared && ours.count(target)) << "the office holds our " << target;
  }
  app.call("Quit");
  ::close(launcher[0]);
  ::close(launcher[1]);
  ::close(file);
}

TEST_F(OfficeOfAServer, LeavesNoPipeSocketWhenKilledOrQuitting) {
  for (const bool kill : {true, false}) {
    SCOPED_TRACE(kill ? "killed by its PID" : "quit");
    Object app = servers.create("word.Application");
    const int office = open(app);
    ASSERT_GT(office, 0);
    const std::set<fs::path> sockets = namedSockets(office);
    // The pipe we reach it by, and its own for a second instance.
    EXPECT_GE(sockets.size(), 2u);
    for (const auto& socket : sockets) EXPECT_TRUE(fs::exists(socket)) << socket;
    if (kill) {
      ::kill(office, SIGKILL);
      EXPECT_THROW(app.get("Documents").toObject().call("Open", {Variant(document.string())}),
                   office::AutomationError);
      app.release();
    } else {
      app.call("Quit");
    }
    for (const auto& socket : sockets) EXPECT_FALSE(fs::exists(socket)) << socket;
    EXPECT_TRUE(namesIn(tmp->path(), "ravelsk-office-").empty());
  }
}

// A folder as a program that crashed long ago (or a running one) leaves it.
struct FolderCase {
  std::string name;
  std::function<void(const fs::path& folder)> make;
  bool removed;
};

void writeOwner(const fs::path& folder, const std::string& record) {
  fs::create_directories(folder / "profile" / "user");
  std::ofstream(folder / "owner") << record << "\n";
}

std::string deadPid() {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(0);
  ::waitpid(child, nullptr, 0);
  return std::to_string(child);
}

void age(const fs::path& path, std::chrono::seconds by) {
  const timespec when[2] = {{std::time(nullptr) - by.count(), 0},
                            {std::time(nullptr) - by.count(), 0}};
  ::utimensat(AT_FDCWD, path.c_str(), when, AT_SYMLINK_NOFOLLOW);
}

// Leaves a socket file at path, as a killed office does.
void leaveSocket(const fs::path& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0) << path;
  ::close(fd);
}

TEST_F(OfficeOfAServer, StartRemovesOnlyThisUsersPrivateFoldersWhoseOwnerIsGone) {
  const std::string self = std::to_string(::getpid());
  const fs::path staleSocket = fs::path("/tmp") / ("OSL_PIPE_" + std::to_string(::getuid()) +
                                                   "_ravelsk_test_" + self + "_stale");
  const fs::path foreignSocket = work.path() / "not-an-office-socket";
  const std::vector<FolderCase> cases = {
      {"owner gone", [](const fs::path& f) { writeOwner(f, deadPid() + " 4242"); }, true},
      {"owner's PID reused", [&](const fs::path& f) { writeOwner(f, self + " 1"); }, true},
      {"owner running",
       [&](const fs::path& f) { writeOwner(f, self + " " + startTime(::getpid())); }, false},
      {"owner gone, another user's",
       [](const fs::path& f) {
         writeOwner(f, deadPid() + " 4242");
         ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
       },
       false},
      {"no record, old",
       [](const fs::path& f) {
         fs::create_directories(f / "profile");
         age(f, 120s);
       },
       true},
      {"no record, being made", [](const fs::path& f) { fs::create_directories(f); }, false},
      {"owner gone, with sockets",
       [&](const fs::path& f) {
         writeOwner(f, deadPid() + " 4242");
         leaveSocket(staleSocket);
         leaveSocket(foreignSocket);
         std::ofstream(f / "sockets") << staleSocket.string() << "\n"
                                      << foreignSocket.string() << "\n";
       },
       true},
  };
  if (::geteuid() != 0) GTEST_SKIP() << "another user's folder needs root to make";
  for (std::size_t i = 0; i < cases.size(); ++i) {
    cases[i].make(tmp->path() / ("ravelsk-office-case" + std::to_string(i)));
  }
  // A link to a stale folder is not followed.
  const fs::path elsewhere = work.path() / "elsewhere";
  writeOwner(elsewhere, deadPid() + " 4242");
  fs::create_directory_symlink(elsewhere, tmp->path() / "ravelsk-office-link");

  Object app = servers.create("word.Application");
  ASSERT_GT(open(app), 0);
  for (std::size_t i = 0; i < cases.size(); ++i) {
    EXPECT_EQ(fs::exists(tmp->path() / ("ravelsk-office-case" + std::to_string(i))),
              !cases[i].removed)
        << cases[i].name;
  }
  EXPECT_TRUE(fs::exists(elsewhere / "owner"));
  EXPECT_TRUE(fs::is_symlink(tmp->path() / "ravelsk-office-link"));
  EXPECT_FALSE(fs::exists(fs::symlink_status(staleSocket))) << "the stale office's socket";
  EXPECT_TRUE(fs::exists(fs::symlink_status(foreignSocket))) << "a socket that is not an office's";
  // The running office's own folder is left, with its owner record.
  int ours = 0;
  for (const std::string& name : namesIn(tmp->path(), "ravelsk-office-")) {
    if (name.rfind("ravelsk-office-case", 0) == 0 || name == "ravelsk-office-link") continue;
    ++ours;
    EXPECT_TRUE(fs::exists(tmp->path() / name / "owner")) << name;
  }
  EXPECT_EQ(ours, 1);
  app.call("Quit");
  std::error_code ec;
  fs::remove(staleSocket, ec);
}

// ---- one office process, driven directly ----

class OneOffice : public ::testing::Test {
 protected:
  TempFolder work;
  std::optional<OwnTemporaryRoot> tmp;
  office::libreoffice::Installation installation =
      *office::libreoffice::findInstallation("/usr/lib/libreoffice/program");

  void SetUp() override {
    fs::copy_file(corpus() / "d1.doc", work.path() / "d1.doc");
    tmp.emplace();
  }
};

TEST_F(OneOffice, StartsAfreshAfterStopWithAWorkingWatchdog) {
  office::libreoffice::OfficeProcess process(installation, 60s);
  EXPECT_EQ(process.residentBytes(), 0u);
  process.start();
  const int first = process.pid();
  const fs::path firstProfile = process.profileFolder();
  EXPECT_TRUE(fs::is_directory(firstProfile / "user"));
  // A broken pipe to the office (its restart, a crash) is a failed call, not
  // the end of the program that started it.
  struct sigaction pipe {};
  ASSERT_EQ(::sigaction(SIGPIPE, nullptr, &pipe), 0);
  EXPECT_EQ(pipe.sa_handler, SIG_IGN);
  EXPECT_GT(process.residentBytes(), 20u << 20) << "a started office holds tens of MB";
  process.stop();
  EXPECT_FALSE(process.running());
  EXPECT_EQ(process.residentBytes(), 0u);
  EXPECT_FALSE(fs::exists(firstProfile));

  process.start();
  ASSERT_TRUE(process.running());
  EXPECT_NE(process.pid(), first);
  EXPECT_NE(process.profileFolder(), firstProfile);
  EXPECT_TRUE(fs::is_directory(process.profileFolder() / "user"));
  const std::string started = startTime(process.pid());
  const int second = process.pid();
  process.arm(200ms);
  EXPECT_TRUE(waitUntil([&] { return !process.running(); })) << "the watchdog of a restart";
  EXPECT_TRUE(process.watchdogFired());
  EXPECT_TRUE(ended(second, started));
  process.stop();
  EXPECT_TRUE(namesIn(tmp->path(), "ravelsk-office-").empty());
}

// A fresh profile makes the office build its extension registry and ask to be
// started again. The registry is kept in the user's cache, only in a folder
// of ours, and one the office cannot use is replaced.
TEST_F(OneOffice, FreshProfilesAreSeededWithTheRegistryTheFirstOfficeKept) {
  TempFolder cache;
  const std::optional<std::string> oldCache =
      std::getenv("XDG_CACHE_HOME") ? std::optional<std::string>(std::getenv("XDG_CACHE_HOME"))
                                    : std::nullopt;
  ::setenv("XDG_CACHE_HOME", cache.str().c_str(), 1);
  const fs::path ours = cache.path() / "ravelsk";
  const fs::path elsewhere = cache.mkdir("elsewhere");
  const fs::path theirs = cache.mkdir("theirs");
  ASSERT_EQ(::chown(theirs.c_str(), 65534, 65534), 0);
  const auto kept = [&] { return namesIn(ours, "office-"); };
  struct Case {
    std::string name;
    std::function<void()> before;
    std::vector<unsigned> launches;  // of two starts, one after the other
    std::size_t registriesKept;
  };
  const std::vector<Case> cases = {
      {"an empty cache", [] {}, {2, 1}, 1},
      {"a kept registry spoilt",
       [&] {
         for (const auto& entry : fs::recursive_directory_iterator(ours)) {
           if (entry.is_regular_file()) std::ofstream(entry.path()) << "spoilt";
         }
       },
       {2, 1},
       1},
      {"our folder is a link to another",
       [&] {
         fs::remove_all(ours);
         fs::create_directory_symlink(elsewhere, ours);
       },
       {2, 2},
       0},
      {"our folder is another user's",
       [&] {
         fs::remove(ours);
         fs::create_directory(ours);
         ASSERT_EQ(::chown(ours.c_str(), 65534, 65534), 0);
       },
       {2, 2},
       0},
      {"the cache is to be made in another user's home",
       [&] { ::setenv("XDG_CACHE_HOME", (theirs / ".cache").c_str(), 1); },
       {2, 2},
       0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.before();
    std::vector<unsigned> launches;
    for (int start = 0; start < 2; ++start) {
      office::libreoffice::OfficeProcess process(installation, 60s);
      process.start();
      launches.push_back(process.launches());
      process.stop();
    }
    EXPECT_EQ(launches, c.launches);
    EXPECT_EQ(kept().size(), c.registriesKept);
    EXPECT_TRUE(fs::is_empty(elsewhere));
    EXPECT_FALSE(fs::exists(theirs / ".cache" / "ravelsk"));
  }
  EXPECT_TRUE(namesIn(tmp->path(), "ravelsk-office-").empty());
  if (oldCache) {
    ::setenv("XDG_CACHE_HOME", oldCache->c_str(), 1);
  } else {
    ::unsetenv("XDG_CACHE_HOME");
  }
}

TEST_F(OneOffice, ItsLockFilesNameItsProfileFolder) {
  office::libreoffice::OfficeProcess process(installation, 60s);
  process.start();
  rtl::OUString url;
  osl::FileBase::getFileURLFromSystemPath(
      office::libreoffice::toOUString((work.path() / "d1.doc").string()), url);
  css::uno::Sequence<css::beans::PropertyValue> hidden(1);
  hidden[0].Name = "Hidden";
  hidden[0].Value <<= true;
  css::uno::Reference<css::frame::XComponentLoader> loader(process.desktop(),
                                                           css::uno::UNO_QUERY_THROW);
  auto document = loader->loadComponentFromURL(url, "_blank", 0, hidden);
  // ",<user>,<host>,<dd.mm.yyyy hh:mm>,<profile URL>;"
  const std::string lock = readFile(work.path() / ".~lock.d1.doc#");
  rtl::OUString profile;
  osl::FileBase::getFileURLFromSystemPath(
      office::libreoffice::toOUString(process.profileFolder().string()), profile);
  const std::string suffix = "," + office::libreoffice::toUtf8(profile) + ";";
  EXPECT_EQ(lock.substr(lock.size() - std::min(lock.size(), suffix.size())), suffix) << lock;
  css::uno::Reference<css::util::XCloseable>(document, css::uno::UNO_QUERY_THROW)->close(true);
  process.stop();
}

// ---- the program ended by a signal in the middle of a run ----

// The program without its window, started with a TMPDIR of the test's own.
class Driver {
 public:
  Driver(const fs::path& folder, const fs::path& tmpdir,
         const std::vector<std::string>& more = {}) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    std::vector<std::string> args{RAVELSK_BATCH_DRIVER, "doc", folder.string(), kOld, kNew};
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "TMPDIR=", 7) != 0) env.emplace_back(*e);
    }
    env.push_back("TMPDIR=" + tmpdir.string());
    env.insert(env.end(), more.begin(), more.end());
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    // This process may hold UNO threads: only exec after the fork.
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(out[1], 1);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(out[1]);
    out_ = out[0];
  }
  ~Driver() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    ::close(out_);
  }
  int pid() const { return pid_; }

  // The next line of its output; nothing at its end or past the bound.
  std::optional<std::string> line(std::chrono::milliseconds bound = 120s) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
      const std::size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        std::string text = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return text;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      pollfd ready{out_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&ready, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      char chunk[4096];
      const ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return std::nullopt;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  // Its wait status, once it has ended within the bound.
  std::optional<int> wait(std::chrono::milliseconds bound) {
    int status = 0;
    const bool done = waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, bound);
    if (!done) return std::nullopt;
    pid_ = -1;
    return status;
  }

 private:
  int pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

class ProgramEnding : public ::testing::Test {
 protected:
  TempFolder work;
  TempFolder tmp;  // the driver's TMPDIR
  fs::path folder = work.path() / "docs";

  void SetUp() override {
    fs::create_directories(folder);
    fs::copy(corpus(), folder);
  }

  // Runs a driver until its first result line, then sends it the signal.
  void endMidRun(int signal) {
    Driver driver(folder, tmp.path());
    std::optional<std::string> first;
    while ((first = driver.line()) && first->rfind("LINE ", 0) != 0) {
    }
    ASSERT_TRUE(first) << "the run showed no line";
    const std::vector<int> offices = officesOf(driver.pid());
    ASSERT_EQ(offices.size(), 1u);
    const int office = offices.front();
    const std::string started = startTime(office);
    sockets = namedSockets(office);
    EXPECT_GE(sockets.size(), 2u);
    ASSERT_FALSE(namesIn(tmp.path(), "ravelsk-office-").empty());
    // In the middle of a document: the office holds it open.
    EXPECT_TRUE(waitUntil([&] { return !namesIn(folder, ".~lock.").empty(); }, 20s, 1ms));

    ASSERT_EQ(::kill(driver.pid(), signal), 0);
    const auto status = driver.wait(20s);
    ASSERT_TRUE(status) << "the program did not end";
    EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == signal) << *status;
    EXPECT_TRUE(waitUntil([&] { return ended(office, started); })) << "its office lives on";
  }

  void expectNothingLeftBeside() {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    std::vector<std::string> documents;
    for (int i = 1; i <= kDocuments; ++i) documents.push_back("d" + std::to_string(i) + ".doc");
    std::sort(documents.begin(), documents.end());
    EXPECT_EQ(names, documents) << "locks or temporary files left beside the documents";
  }

  // A second run succeeds on every document, and leaves each whole and replaced.
  void expectNextRunSucceeds() {
    Driver driver(folder, tmp.path());
    std::vector<std::string> lines;
    std::string summary;
    for (std::optional<std::string> line; (line = driver.line()) && *line != "DONE";) {
      if (line->rfind("LINE ", 0) != 0) continue;
      if (testsupport::statusLines(line->substr(5)).empty()) {
        summary = line->substr(5);
      } else {
        lines.push_back(line->substr(5));
      }
    }
    const auto status = driver.wait(20s);
    ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);
    EXPECT_EQ(lines.size(), std::size_t{kDocuments});
    EXPECT_TRUE(summary.starts_with("替换完毕：已替换 ")) << summary;
    for (const std::string& line : lines) {
      const bool ok = line.ends_with(" 已替换内容") || line.ends_with(" 没找到替换的内容");
      EXPECT_TRUE(ok) << line;
    }
    for (int i = 1; i <= kDocuments; ++i) {
      const std::string text = e2e::catdoc(folder / ("d" + std::to_string(i) + ".doc"));
      EXPECT_NE(text.find(kNew + "在正文里"), std::string::npos) << i << ": " << text;
      EXPECT_EQ(text.find(kOld), std::string::npos) << i << ": " << text;
    }
    expectNothingLeftBeside();
    EXPECT_TRUE(namesIn(tmp.path(), "ravelsk-office-").empty());
  }

  std::set<fs::path> sockets;  // the killed run's office's
};

TEST_F(ProgramEnding, TerminatedMidRunItEndsItsOfficeAndLeavesNothingBehind) {
  endMidRun(SIGTERM);
  EXPECT_TRUE(namesIn(tmp.path(), "ravelsk-office-").empty()) << "the private folder";
  for (const auto& socket : sockets) EXPECT_FALSE(fs::exists(socket)) << socket;
  expectNothingLeftBeside();
  expectNextRunSucceeds();
}

// Ended while a document is being placed (on a slow disk), or after the
// folder was renamed: the lock of the document the office held goes, wherever
// the document now is.
TEST_F(ProgramEnding, TerminatedWhilePlacingOrAfterItsFolderMovedItLeavesNoLock) {
  struct Case {
    std::string name;
    std::vector<std::string> env;
    std::string waitFor;  // a name beside the documents
    fs::path movedTo;     // where the folder is renamed before the signal
  };
  const std::vector<Case> cases = {
      {"placing", {std::string("LD_PRELOAD=") + RAVELSK_SLOW_FSYNC}, ".~rv", {}},
      {"folder renamed", {}, ".~lock.", work.path() / "moved"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Driver driver(folder, tmp.path(), c.env);
    std::optional<std::string> first;
    while ((first = driver.line()) && first->rfind("LINE ", 0) != 0) {
    }
    ASSERT_TRUE(first) << "the run showed no line";
    ASSERT_TRUE(waitUntil([&] { return !namesIn(folder, c.waitFor).empty(); }, 60s, 1ms));
    const fs::path now = c.movedTo.empty() ? folder : c.movedTo;
    if (now != folder) fs::rename(folder, now);
    ASSERT_EQ(::kill(driver.pid(), SIGTERM), 0);
    ASSERT_TRUE(driver.wait(30s)) << "the program did not end";
    EXPECT_EQ(namesIn(now, ".~"), std::vector<std::string>{}) << "locks or our files left";
    if (now != folder) fs::rename(now, folder);
  }
}

TEST_F(ProgramEnding, KilledMidRunItsOfficeDiesWithItAndTheNextRunCleansUp) {
  endMidRun(SIGKILL);
  expectNextRunSucceeds();
  for (const auto& socket : sockets) EXPECT_FALSE(fs::exists(socket)) << socket;
}

}  // namespace
