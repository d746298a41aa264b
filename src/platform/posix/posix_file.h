// Small pieces of careful file work: a descriptor that closes itself, a
// failed step as an error, files told apart by device and inode, a folder
// synced, content copied and reserved.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <system_error>
#include <utility>

namespace platform::posix {

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { reset(); }

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// Throws std::system_error for a step that failed, named in a failure line
// ("写入文档").
[[noreturn]] inline void fail(const char* step, int error) {
  throw std::system_error(error, std::generic_category(), step);
}
[[noreturn]] inline void fail(const char* step) {
  fail(step, errno);
}

inline bool sameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Removes `name` only if it is still the file we know; someone may have put
// another file there since.
bool removeIfSame(int folder, const std::string& name, const struct stat& known);

void syncFolder(int folder);

// Copies `from` over `to`, both from their start; returns the length copied.
off_t copyContent(int from, int to, const char* readStep, const char* writeStep);

// Reserves the blocks the new content needs, so that a full disk or quota is
// met before the document's first byte changes.
void reserveSpace(int fd, off_t length);

// Copies from over to, cuts to to that length and syncs it.
void overwrite(int from, int to, const char* readStep);

}  // namespace platform::posix
