#include "office/libreoffice/lock_files.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
#include <thread>
#include <vector>

namespace office::libreoffice {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrivatePrefix = "ravelsk-office-";

std::string readSmallFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text;
  text.resize(4096);
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  return text;
}

// The office writes "name,user,host,time,profile URL;" and escapes ',', ';'
// and '\' inside a field with a backslash.
std::vector<std::string> lockFields(const std::string& text) {
  std::vector<std::string> fields(1);
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      fields.back() += text[++i];
    } else if (c == ',') {
      fields.emplace_back();
    } else if (c == ';') {
      break;
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The local folder a file URL names; empty for any other URL.
fs::path pathOfFileUrl(const std::string& url) {
  constexpr std::string_view scheme = "file://";
  if (url.rfind(scheme, 0) != 0) return {};
  std::string path;
  for (std::size_t i = scheme.size(); i < url.size(); ++i) {
    if (url[i] == '%' && i + 2 < url.size() && hexDigit(url[i + 1]) >= 0 &&
        hexDigit(url[i + 2]) >= 0) {
      path += static_cast<char>(hexDigit(url[i + 1]) * 16 + hexDigit(url[i + 2]));
      i += 2;
    } else {
      path += url[i];
    }
  }
  if (path.empty() || path.front() != '/') return {};
  return fs::path(path).lexically_normal();
}

struct LockOwner {
  std::string host;
  fs::path profile;
};

// A lock file read through its folder, never through a link at its name.
struct LockFile {
  struct stat st {};
  std::string text;
  // The office writes the line in one go, ended by ';', after creating the
  // file: without it, the file is still being written or its writer died.
  bool complete() const { return text.find(';') != std::string::npos; }
  std::optional<LockOwner> owner() const {
    const std::vector<std::string> fields = lockFields(text);
    if (!complete() || fields.size() < 5) return std::nullopt;
    return LockOwner{fields[2], pathOfFileUrl(fields[4])};
  }
};

std::optional<LockFile> readLock(int folder, const std::string& name) {
  const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  LockFile lock;
  std::optional<LockFile> found;
  if (::fstat(fd, &lock.st) == 0 && S_ISREG(lock.st.st_mode)) {
    char buffer[4096];
    const ssize_t got = ::read(fd, buffer, sizeof buffer);
    if (got >= 0) {
      lock.text.assign(buffer, static_cast<std::size_t>(got));
      found = std::move(lock);
    }
  }
  ::close(fd);
  return found;
}

std::string lockName(const std::string& documentName) {
  return ".~lock." + documentName + "#";
}

// Removes the lock only if its name still holds the file that was read.
void removeLock(int folder, const std::string& name, const LockFile& lock) {
  struct stat there {};
  if (::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0 &&
      there.st_dev == lock.st.st_dev && there.st_ino == lock.st.st_ino) {
    ::unlinkat(folder, name.c_str(), 0);
  }
}

bool sameFolder(const fs::path& a, const fs::path& b) {
  auto normal = [](const fs::path& p) {
    fs::path n = p.lexically_normal();
    if (!n.has_filename()) n = n.parent_path();
    return n;
  };
  return !a.empty() && normal(a) == normal(b);
}

std::string hostName() {
  char name[HOST_NAME_MAX + 1] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

// The office may write the machine's full name (host.example.com) where
// gethostname() gives the short one.
std::string shortHostName(const std::string& host) {
  return host.substr(0, host.find('.'));
}

// Field 22 of /proc/<pid>/stat: when the process started, in clock ticks
// since boot. With the PID it names one process, even after PIDs wrap.
std::string startTime(long pid) {
  const std::string stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return {};
  std::istringstream fields(stat.substr(close + 2));
  std::string field;
  for (int i = 3; i <= 22 && fields >> field; ++i) {
    if (i == 22) return field;
  }
  return {};
}

// The state letter of /proc/<pid>/stat: 'Z' for a process that has ended
// and not yet been reaped.
char processState(long pid) {
  const std::string stat = readSmallFile("/proc/" + std::to_string(pid) + "/stat");
  const std::size_t close = stat.rfind(')');
  return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

bool ourPrivateOffice(const fs::path& profile) {
  // Our offices keep their profile in "<temp>/ravelsk-office-XXXXXX/profile".
  return profile.parent_path().filename().string().rfind(kPrivatePrefix, 0) == 0;
}

}  // namespace

fs::path lockFileOf(const fs::path& document) {
  return document.parent_path() / lockName(document.filename().string());
}

void removeOwnLock(int folder, const std::string& documentName, const fs::path& profileFolder) {
  const std::string name = lockName(documentName);
  const auto lock = readLock(folder, name);
  if (!lock) return;
  if (!lock->complete()) {
    // Our office, ended before this is called, died between creating the
    // lock of a document it was opening and writing it: it names nobody,
    // and every office would take it for somebody else's for good.
    if (lock->st.st_uid == ::geteuid()) removeLock(folder, name, *lock);
    return;
  }
  const auto owner = lock->owner();
  if (owner && sameFolder(owner->profile, profileFolder)) removeLock(folder, name, *lock);
}

void removeStaleLock(const fs::path& document) {
  fs::path parent = document.parent_path();
  if (parent.empty()) parent = ".";
  const int folder = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder < 0) return;
  const std::string name = lockName(document.filename().string());
  std::optional<LockFile> lock = readLock(folder, name);
  // An office killed at this moment may be between creating its lock and
  // writing it; one still dying may yet finish the write.
  for (int wait = 0; lock && !lock->complete() && wait < 50; ++wait) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    lock = readLock(folder, name);
  }
  bool stale = false;
  if (lock && !lock->complete()) {
    // Its writer died before writing a word: it names nobody, and the office
    // would take it for somebody else's lock for good.
    stale = lock->st.st_uid == ::geteuid();
  } else if (lock) {
    const auto owner = lock->owner();
    if (owner && shortHostName(owner->host) == shortHostName(hostName()) &&
        !owner->profile.empty() && ourPrivateOffice(owner->profile)) {
      // Only a folder that is not there is gone: one we may not look into
      // (another user's private temporary folder) is somebody's office at work.
      const fs::path privateFolder = owner->profile.parent_path();
      std::error_code ec;
      const fs::file_status status = fs::symlink_status(privateFolder, ec);
      stale = status.type() == fs::file_type::not_found || (!ec && !ownerRunning(privateFolder));
    }
  }
  if (stale) removeLock(folder, name, *lock);
  ::close(folder);
}

void writeOwnerRecord(const fs::path& privateFolder) {
  const long pid = ::getpid();
  std::ofstream(privateFolder / "owner") << pid << ' ' << startTime(pid) << '\n';
}

bool ownerRunning(const fs::path& privateFolder) {
  std::istringstream record(readSmallFile(privateFolder / "owner"));
  long pid = 0;
  std::string started;
  // A folder without a record may be one being made: count it as in use.
  if (!(record >> pid >> started) || pid <= 0) return true;
  if (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH) return false;
  // A program that has ended is gone, reaped or not, whatever its offices
  // are still doing.
  const char state = processState(pid);
  if (state == 'Z' || state == 'X') return false;
  return startTime(pid) == started;
}

}  // namespace office::libreoffice
