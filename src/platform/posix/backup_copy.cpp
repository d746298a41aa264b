#include "platform/posix/backup_copy.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/posix_file.h"

namespace platform::posix {

namespace fs = std::filesystem;

Backup::Backup(int folder, const std::string& name, int original, const struct stat& st,
               const fs::path& path, bool link)
    : path_(path) {
  std::error_code error;
  fs::create_directories(path.parent_path(), error);
  if (error) fail("创建备份文件夹", error.value());
  if (link && ::linkat(folder, name.c_str(), AT_FDCWD, path.c_str(), 0) == 0) {
    if (::lstat(path.c_str(), &stat_) != 0 || !sameFile(stat_, st)) {
      // The document's name was given to another file since it was opened:
      // the link just made is not of the original.
      ::unlink(path.c_str());
      fail("写入备份", EBUSY);
    }
    syncParent();
    return;
  }
  if (link && errno != EXDEV && errno != EPERM && errno != EMLINK && errno != EOPNOTSUPP) {
    fail("写入备份");
  }
  Fd copy(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
  if (!copy || ::fstat(copy.get(), &stat_) != 0) fail("写入备份");
  try {
    copyContent(original, copy.get(), "读取文档", "写入备份");
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    if (::fchmod(copy.get(), st.st_mode & 07777) != 0 || ::futimens(copy.get(), times) != 0 ||
        ::fsync(copy.get()) != 0) {
      fail("写入备份");
    }
    syncParent();
  } catch (...) {
    drop();
    throw;
  }
}

void Backup::syncParent() {
  Fd parent(::open(path_.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!parent) fail("写入备份");
  syncFolder(parent.get());
}
void Backup::drop() {
  struct stat there {};
  if (::lstat(path_.c_str(), &there) == 0 && sameFile(there, stat_)) ::unlink(path_.c_str());
}

}  // namespace platform::posix
