#include "office/libreoffice/lock_files.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <fstream>
#include <optional>
#include <sstream>
#include <string_view>
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

std::optional<LockOwner> readLock(const fs::path& lock) {
  std::error_code ec;
  if (!fs::is_regular_file(fs::symlink_status(lock, ec))) return std::nullopt;
  const std::vector<std::string> fields = lockFields(readSmallFile(lock));
  if (fields.size() < 5) return std::nullopt;
  return LockOwner{fields[2], pathOfFileUrl(fields[4])};
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

void removeLock(const fs::path& lock) {
  std::error_code ec;
  fs::remove(lock, ec);
}

}  // namespace

fs::path lockFileOf(const fs::path& document) {
  return document.parent_path() / (".~lock." + document.filename().string() + "#");
}

void removeOwnLock(const fs::path& document, const fs::path& profileFolder) {
  const fs::path lock = lockFileOf(document);
  const auto owner = readLock(lock);
  if (owner && sameFolder(owner->profile, profileFolder)) removeLock(lock);
}

void removeStaleLock(const fs::path& document) {
  const fs::path lock = lockFileOf(document);
  const auto owner = readLock(lock);
  if (!owner || shortHostName(owner->host) != shortHostName(hostName()) || owner->profile.empty()) {
    return;
  }
  // Our offices keep their profile in "<temp>/ravelsk-office-XXXXXX/profile".
  const fs::path privateFolder = owner->profile.parent_path();
  if (privateFolder.filename().string().rfind(kPrivatePrefix, 0) != 0) return;
  // Only a folder that is not there is gone: one we may not look into (another
  // user's private temporary folder) is somebody's office at work.
  std::error_code ec;
  const fs::file_status status = fs::symlink_status(privateFolder, ec);
  const bool gone = status.type() == fs::file_type::not_found;
  if (gone || (!ec && !ownerRunning(privateFolder))) removeLock(lock);
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
  return startTime(pid) == started;
}

}  // namespace office::libreoffice
