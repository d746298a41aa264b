#include "platform/posix/posix_file.h"

#include <fcntl.h>

#include <vector>

namespace platform::posix {

bool removeIfSame(int folder, const std::string& name, const struct stat& known) {
  struct stat there {};
  if (::fstatat(folder, name.c_str(), &there, AT_SYMLINK_NOFOLLOW) != 0) return false;
  if (!sameFile(there, known)) return false;
  return ::unlinkat(folder, name.c_str(), 0) == 0;
}

void syncFolder(int folder) {
  // Some file systems cannot sync a folder; their renames are then as durable
  // as they get.
  if (::fsync(folder) != 0 && errno != EINVAL && errno != EROFS) fail("同步文件夹");
}

off_t copyContent(int from, int to, const char* readStep, const char* writeStep) {
  std::vector<char> buffer(1 << 20);
  off_t offset = 0;
  for (;;) {
    const ssize_t got = ::pread(from, buffer.data(), buffer.size(), offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail(readStep);
    }
    if (got == 0) return offset;
    ssize_t done = 0;
    while (done < got) {
      const ssize_t put =
          ::pwrite(to, buffer.data() + done, static_cast<size_t>(got - done), offset + done);
      if (put < 0) {
        if (errno == EINTR) continue;
        fail(writeStep);
      }
      done += put;
    }
    offset += got;
  }
}

void reserveSpace(int fd, off_t length) {
  if (length <= 0) return;
  if (::fallocate(fd, FALLOC_FL_KEEP_SIZE, 0, length) == 0) return;
  if (errno == EOPNOTSUPP || errno == ENOSYS || errno == EINVAL) return;
  fail("预留磁盘空间");
}

void overwrite(int from, int to, const char* readStep) {
  const off_t length = copyContent(from, to, readStep, "写入文档");
  if (::ftruncate(to, length) != 0) fail("写入文档");
  if (::fsync(to) != 0) fail("写入文档");
}

}  // namespace platform::posix
