// The original of a document kept at a backup path before the document is
// replaced, removed again when dropped unless kept: a document that stays
// unchanged has no backup.
#pragma once

#include <sys/stat.h>

#include <filesystem>
#include <string>

namespace platform::posix {

class Backup {
 public:
  // original: the document's open descriptor, st its state; link: a hard
  // link will do (the document's name is about to be given to a new file).
  Backup(int folder, const std::string& name, int original, const struct stat& st,
         const std::filesystem::path& path, bool link);
  Backup(const Backup&) = delete;
  Backup& operator=(const Backup&) = delete;
  ~Backup() {
    if (!kept_) drop();
  }
  void keep() { kept_ = true; }

 private:
  void syncParent();
  void drop();

  std::filesystem::path path_;
  struct stat stat_ {};
  bool kept_ = false;
};

}  // namespace platform::posix
