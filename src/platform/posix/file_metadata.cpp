#include "platform/posix/file_metadata.h"

#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "platform/posix/posix_file.h"

namespace platform::posix {

namespace {

bool memberOf(gid_t group) {
  if (group == ::getegid()) return true;
  const int count = ::getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  const int got = ::getgroups(count, groups.data());
  if (got < 0) return false;
  groups.resize(static_cast<std::size_t>(got));
  return std::find(groups.begin(), groups.end(), group) != groups.end();
}

std::vector<std::string> attributeNames(int fd) {
  for (;;) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) {
      if (errno == ENOTSUP) return {};
      fail("读取扩展属性");
    }
    std::string list(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::flistxattr(fd, list.data(), list.size());
    if (got < 0) {
      if (errno == ERANGE) continue;
      fail("读取扩展属性");
    }
    std::vector<std::string> names;
    for (std::size_t start = 0; start < static_cast<std::size_t>(got);) {
      const std::size_t end = list.find('\0', start);
      if (end == std::string::npos || end == start) break;
      names.push_back(list.substr(start, end - start));
      start = end + 1;
    }
    return names;
  }
}

std::optional<std::string> attributeValue(int fd, const std::string& name) {
  for (;;) {
    const ssize_t size = ::fgetxattr(fd, name.c_str(), nullptr, 0);
    if (size < 0) {
      if (errno == ENODATA) return std::nullopt;
      fail("读取扩展属性");
    }
    std::string value(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
    if (got < 0) {
      if (errno == ERANGE) continue;
      if (errno == ENODATA) return std::nullopt;
      fail("读取扩展属性");
    }
    value.resize(static_cast<std::size_t>(got));
    return value;
  }
}

}  // namespace

bool canKeepOwner(const struct stat& document) {
  if (::geteuid() == 0) return true;
  return document.st_uid == ::geteuid() && memberOf(document.st_gid);
}

void copyAttributes(int from, int to) {
  const std::vector<std::string> wanted = attributeNames(from);
  for (const std::string& name : attributeNames(to)) {
    if (std::find(wanted.begin(), wanted.end(), name) != wanted.end()) continue;
    // A security label is the system's to give; it may refuse to remove it.
    if (::fremovexattr(to, name.c_str()) != 0 && errno != ENODATA && !name.starts_with("security."))
      fail("复制扩展属性");
  }
  for (const std::string& name : wanted) {
    const std::optional<std::string> value = attributeValue(from, name);
    if (!value) continue;
    if (::fsetxattr(to, name.c_str(), value->data(), value->size(), 0) == 0) continue;
    const int error = errno;
    // Refused but already so (a label the system set the same way): kept.
    if (attributeValue(to, name) != value) fail("复制扩展属性", error);
  }
}

bool takeOverMetadata(int original, int scratch, const struct stat& document) {
  struct stat mine {};
  if (::fstat(scratch, &mine) != 0) fail("设置临时文件的所有者");
  if (mine.st_uid != document.st_uid || mine.st_gid != document.st_gid) {
    const uid_t user = mine.st_uid == document.st_uid ? static_cast<uid_t>(-1) : document.st_uid;
    if (::fchown(scratch, user, document.st_gid) != 0) {
      if (errno == EPERM) return false;
      fail("设置临时文件的所有者");
    }
  }
  copyAttributes(original, scratch);
  // After fchown, which clears the set-id bits.
  if (::fchmod(scratch, document.st_mode & 07777) != 0) fail("设置临时文件的权限");
  return true;
}

}  // namespace platform::posix
