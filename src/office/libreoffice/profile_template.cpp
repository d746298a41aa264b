#include "office/libreoffice/profile_template.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>

namespace office::libreoffice {

namespace fs = std::filesystem;

namespace {

constexpr const char* kRegistry = "extensions";

// Ours alone: a real folder owned by us, not a link somebody put in its place.
bool ownFolder(const fs::path& folder) {
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

fs::path cacheFolder() {
  fs::path base;
  if (const char* cache = std::getenv("XDG_CACHE_HOME"); cache != nullptr && *cache == '/') {
    base = cache;
  } else if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    base = fs::path(home) / ".cache";
  } else {
    return {};
  }
  if (!base.has_filename()) base = base.parent_path();  // a trailing '/'
  // Only in a home of ours: run by root with somebody else's HOME, it must
  // not leave that user folders they cannot write.
  if (!ownFolder(base.parent_path())) return {};
  ::mkdir(base.c_str(), 0700);
  if (!ownFolder(base)) return {};
  const fs::path ours = base / "ravelsk";
  ::mkdir(ours.c_str(), 0700);
  return ownFolder(ours) ? ours : fs::path();
}

// What tells one installation (and one build of it) from another.
std::string identity(const Installation& installation) {
  std::ifstream versionrc(installation.programFolder / "versionrc", std::ios::binary);
  std::ostringstream text;
  text << installation.programFolder.string() << '\n'
       << installation.version << '\n'
       << versionrc.rdbuf();
  return text.str();
}

bool copyRegistry(const fs::path& from, const fs::path& to) {
  std::error_code ec;
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::skip_symlinks, ec);
  return !ec;
}

}  // namespace

ProfileTemplate::ProfileTemplate(const Installation& installation) {
  const fs::path cache = cacheFolder();
  if (cache.empty()) return;
  char name[32];
  std::snprintf(name, sizeof name, "office-%016zx",
                std::hash<std::string>{}(identity(installation)));
  folder_ = cache / name;
}

bool ProfileTemplate::seed(const fs::path& profile) const {
  if (folder_.empty() || !ownFolder(folder_)) return false;
  const fs::path target = profile / "user" / kRegistry;
  if (copyRegistry(folder_, target)) return true;
  std::error_code ec;
  fs::remove_all(target, ec);
  return false;
}

// Made beside the kept one and renamed into place, so that an office never
// sees half a registry; of two offices keeping one at once, either may stay.
void ProfileTemplate::keep(const fs::path& profile) const {
  if (folder_.empty()) return;
  std::random_device random;
  const fs::path fresh = folder_.string() + ".new-" + std::to_string(random());
  std::error_code ec;
  if (::mkdir(fresh.c_str(), 0700) != 0) return;
  if (copyRegistry(profile / "user" / kRegistry, fresh)) {
    drop();
    if (::rename(fresh.c_str(), folder_.c_str()) == 0) return;
  }
  fs::remove_all(fresh, ec);
}

void ProfileTemplate::drop() const {
  if (folder_.empty() || !ownFolder(folder_)) return;
  std::random_device random;
  const fs::path old = folder_.string() + ".old-" + std::to_string(random());
  std::error_code ec;
  if (::rename(folder_.c_str(), old.c_str()) == 0) fs::remove_all(old, ec);
}

}  // namespace office::libreoffice
