#include "platform/posix/safe_store.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <map>
#include <optional>
#include <random>
#include <shared_mutex>
#include <stdexcept>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/posix/backup_copy.h"
#include "platform/posix/file_metadata.h"
#include "platform/posix/posix_file.h"
#include "platform/posix/termination.h"

namespace platform::posix {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrefix = ".~rv";
constexpr std::size_t kHashDigits = 16;
constexpr std::size_t kRandomLength = 6;
constexpr std::size_t kNameLength = kPrefix.size() + kHashDigits + 1 + kRandomLength;
constexpr char kTemporary = 't';
constexpr char kRecovery = 'r';

bool isNameCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z');
}

std::uint64_t nameHash(std::string_view name) {
  std::uint64_t hash = 14695981039346656037ULL;
  for (unsigned char c : name) {
    hash ^= c;
    hash *= 1099511628211ULL;
  }
  return hash;
}

std::string ourName(std::string_view documentName, char kind, std::string_view random) {
  if (random.size() != kRandomLength || !std::all_of(random.begin(), random.end(), isNameCharacter))
    throw std::invalid_argument("the random part of a name is six characters of [0-9a-z]");
  char hex[kHashDigits + 1];
  std::snprintf(hex, sizeof hex, "%016llx",
                static_cast<unsigned long long>(nameHash(documentName)));
  std::string name(kPrefix);
  name += hex;
  name += kind;
  name += random;
  return name;
}

struct OurName {
  std::uint64_t hash;
  char kind;
};

std::optional<OurName> parseOurName(std::string_view name) {
  if (name.size() != kNameLength || !name.starts_with(kPrefix)) return std::nullopt;
  std::uint64_t hash = 0;
  for (char c : name.substr(kPrefix.size(), kHashDigits)) {
    int digit = -1;
    if (c >= '0' && c <= '9') digit = c - '0';
    if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    if (digit < 0) return std::nullopt;
    hash = (hash << 4) | static_cast<std::uint64_t>(digit);
  }
  const char kind = name[kPrefix.size() + kHashDigits];
  if (kind != kTemporary && kind != kRecovery) return std::nullopt;
  const auto random = name.substr(kNameLength - kRandomLength);
  if (!std::all_of(random.begin(), random.end(), isNameCharacter)) return std::nullopt;
  return OurName{hash, kind};
}

std::string systemRandomPart() {
  static constexpr char kAlphabet[] = "0123456789abcdefghijklmnopqrstuvwxyz";
  std::random_device device;
  std::string part(kRandomLength, '0');
  for (char& c : part) c = kAlphabet[device() % 36];
  return part;
}

// The folder of the file really written (a symbolic link's target) and its name.
struct Location {
  Fd folder;
  std::string name;
};

// Where a document really is: through a symbolic link, its target, so that
// the link stays a link. The document itself when it is no link.
fs::path linkTarget(const fs::path& document, std::error_code& error) {
  struct stat st {};
  if (::lstat(document.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return document;
  return fs::canonical(document, error);
}

// The folder of `file` (not following a link at its name) and its name there.
Location folderOf(const fs::path& file) {
  Location location;
  location.name = file.filename().string();
  if (location.name.empty() || location.name == "." || location.name == "..")
    fail("打开文档", EINVAL);
  fs::path folder = file.parent_path();
  if (folder.empty()) folder = ".";
  location.folder = Fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!location.folder) fail("打开文档所在的文件夹");
  return location;
}

Location locate(const fs::path& document) {
  std::error_code error;
  const fs::path target = linkTarget(document, error);
  if (error) fail("查找链接指向的文档", error.value());
  return folderOf(target);
}

// Still the content loaded: the same file, neither written nor truncated since.
bool asLoaded(const struct stat& st, const LoadedFile& loaded) {
  return st.st_dev == loaded.device && st.st_ino == loaded.inode && st.st_size == loaded.size &&
         st.st_mtim.tv_sec == loaded.modified.tv_sec &&
         st.st_mtim.tv_nsec == loaded.modified.tv_nsec;
}

// The folder of the file loaded, reached again from the document's name: the
// name must still be a link if it was one (to the same file), and must not
// have become one, and the folder must be the one it was.
Location placeOfLoaded(const fs::path& document, const LoadedFile& loaded) {
  struct stat named {};
  if (::lstat(document.c_str(), &named) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) throw ChangedSinceLoad();
    fail("打开文档");
  }
  if (S_ISLNK(named.st_mode) != loaded.throughLink) throw ChangedSinceLoad();
  if (loaded.throughLink) {
    std::error_code error;
    if (fs::canonical(document, error) != loaded.file || error) throw ChangedSinceLoad();
  }
  Location place;
  try {
    place = folderOf(loaded.file);
  } catch (const std::system_error& e) {
    if (e.code().value() == ENOENT || e.code().value() == ENOTDIR) throw ChangedSinceLoad();
    throw;
  }
  struct stat folder {};
  if (::fstat(place.folder.get(), &folder) != 0) fail("打开文档所在的文件夹");
  if (folder.st_dev != loaded.folderDevice || folder.st_ino != loaded.folderInode)
    throw ChangedSinceLoad();
  return place;
}

// Opens a document without following a link at its name; only a regular file
// is accepted. O_NONBLOCK keeps a FIFO put there from blocking the open.
Fd openDocument(int folder, const std::string& name, int access, const char* step,
                struct stat& st) {
  Fd fd(::openat(folder, name.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (!fd) fail(step);
  if (::fstat(fd.get(), &st) != 0) fail(step);
  if (!S_ISREG(st.st_mode)) fail(step, S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  const int flags = ::fcntl(fd.get(), F_GETFL);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0) fail(step);
  return fd;
}

// Opens the file loaded at its name in its folder, as openDocument, and only
// if it is still as loaded; a link planted there since is never followed.
Fd openLoaded(int folder, const std::string& name, int access, const char* step,
              const LoadedFile& loaded, struct stat& st) {
  try {
    Fd fd = openDocument(folder, name, access, step, st);
    if (!asLoaded(st, loaded)) throw ChangedSinceLoad();
    return fd;
  } catch (const std::system_error& e) {
    const int error = e.code().value();
    if (error == ELOOP || error == ENOENT || error == EISDIR || error == EINVAL)
      throw ChangedSinceLoad();
    throw;
  }
}

// A file of ours beside the document, created exclusively under a fresh name
// and locked, so that recovery in another run leaves it alone while we work.
// Removed when dropped, unless released.
class OwnFile {
 public:
  OwnFile(int folder, std::string_view documentName, const safe_store::RandomPart& random)
      : folder_(folder) {
    for (int attempt = 0; attempt < safe_store::kNameAttempts; ++attempt) {
      std::string name = safe_store::temporaryName(documentName, random());
      // O_EXCL: whatever already has the name, a planted link included, is
      // neither opened nor followed.
      Fd fd(::openat(folder, name.c_str(),
                     O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
      if (!fd) {
        if (errno == EEXIST) continue;
        fail("创建临时文件");
      }
      if (::fstat(fd.get(), &stat_) != 0) {
        const int error = errno;
        ::unlinkat(folder, name.c_str(), 0);
        fail("创建临时文件", error);
      }
      fd_ = std::move(fd);
      name_ = std::move(name);
      ::flock(fd_.get(), LOCK_EX | LOCK_NB);
      return;
    }
    fail("创建临时文件", EEXIST);
  }
  OwnFile(const OwnFile&) = delete;
  OwnFile& operator=(const OwnFile&) = delete;
  ~OwnFile() {
    if (!name_.empty()) removeIfSame(folder_, name_, stat_);
  }

  int fd() const { return fd_.get(); }
  const std::string& name() const { return name_; }

  // The temporary file becomes the recovery copy: renamed, never over a name
  // that is taken, so it is complete whenever its name says so.
  void becomeRecoveryCopy(std::string_view documentName, const safe_store::RandomPart& random) {
    for (int attempt = 0; attempt < safe_store::kNameAttempts; ++attempt) {
      std::string name = safe_store::recoveryName(documentName, random());
      if (renameNoReplace(name) == 0) {
        name_ = std::move(name);
        return;
      }
      if (errno != EEXIST) fail("保存恢复副本");
    }
    fail("保存恢复副本", EEXIST);
  }

  void release() { name_.clear(); }
  void remove() {
    removeIfSame(folder_, name_, stat_);
    release();
  }

 private:
  int renameNoReplace(const std::string& to) const {
    const safe_store::LinkCalls& calls = safe_store::linkCalls();
    if (calls.renameNoReplace(folder_, name_.c_str(), folder_, to.c_str()) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return -1;
    // File systems without RENAME_NOREPLACE: a hard link fails on a taken name too.
    if (calls.link(folder_, name_.c_str(), folder_, to.c_str()) == 0) {
      ::unlinkat(folder_, name_.c_str(), 0);
      return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP && errno != EMLINK) return -1;
    // Nor hard links (FAT, exFAT): a plain rename to a name seen free. The
    // name is drawn at random a moment earlier and our folder is the user's,
    // so only someone who guessed it could slip a file in between.
    struct stat there {};
    if (::fstatat(folder_, to.c_str(), &there, AT_SYMLINK_NOFOLLOW) == 0) {
      errno = EEXIST;
      return -1;
    }
    if (errno != ENOENT) return -1;
    return ::renameat(folder_, name_.c_str(), folder_, to.c_str());
  }

  int folder_;
  std::string name_;
  Fd fd_;
  struct stat stat_ {};
};

// --- Recovery ---------------------------------------------------------------

struct Leftover {
  std::string name;
  char kind;
};

// How long, in seconds, an in-place write can take: a document changed later
// than that after its recovery copy was made was changed by somebody else.
constexpr time_t kLongestWrite = 120;

// Opens a leftover of ours and takes its lock: a regular file with one link,
// owned by us (or, for a temporary file as root, by the document's owner).
// Empty when it is not ours or another run is still working on it.
Fd openLeftover(int folder, const std::string& name, const struct stat* documentOwner,
                struct stat& st) {
  if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
    return {};
  Fd fd(::openat(folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  struct stat opened {};
  if (!fd || ::fstat(fd.get(), &opened) != 0 || !sameFile(opened, st)) return {};
  st = opened;
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1) return {};
  const bool ours = st.st_uid == ::geteuid() || (::geteuid() == 0 && documentOwner != nullptr &&
                                                 st.st_uid == documentOwner->st_uid);
  if (!ours || ::flock(fd.get(), LOCK_EX | LOCK_NB) != 0) return {};
  return fd;
}

bool finishFrom(int folder, const std::string& document, const struct stat& known, int copy) {
  try {
    struct stat st {};
    Fd target = openDocument(folder, document, O_WRONLY, "打开文档以写入", st);
    if (!sameFile(st, known)) return false;
    overwrite(copy, target.get(), "读取恢复副本");
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

// Handles the leftovers of one document (`document` null when the folder
// holds no single document they could belong to: only our temporary files go).
void tidy(int folder, const std::string* document, const std::vector<Leftover>& leftovers) {
  struct stat documentStat {};
  const bool haveDocument =
      document != nullptr &&
      ::fstatat(folder, document->c_str(), &documentStat, AT_SYMLINK_NOFOLLOW) == 0 &&
      S_ISREG(documentStat.st_mode);

  std::shared_lock placing(placementMutex());
  struct Copy {
    Fd fd;
    std::string name;
    struct stat st;
  };
  std::vector<Copy> copies;
  bool removed = false;
  for (const Leftover& leftover : leftovers) {
    struct stat st {};
    if (leftover.kind == kTemporary) {
      Fd fd = openLeftover(folder, leftover.name, haveDocument ? &documentStat : nullptr, st);
      if (fd && removeIfSame(folder, leftover.name, st)) removed = true;
    } else if (haveDocument) {
      Fd fd = openLeftover(folder, leftover.name, nullptr, st);
      if (fd) copies.push_back({std::move(fd), leftover.name, st});
    }
  }
  if (!copies.empty()) {
    // Two copies only if a recovery failed and a later write died too: the
    // newer one is what the user last asked for.
    const auto stamp = [](const struct timespec& t) { return std::pair(t.tv_sec, t.tv_nsec); };
    std::sort(copies.begin(), copies.end(), [&stamp](const Copy& a, const Copy& b) {
      return stamp(a.st.st_mtim) > stamp(b.st.st_mtim);
    });
    // The copy was complete before the document's first byte changed, so a
    // document last changed before it was never touched: it stays as it is.
    // One changed long after it was changed by somebody since, who is not to
    // be overwritten with what we wrote then.
    const auto& copyTime = copies.front().st.st_mtim;
    const bool written = stamp(documentStat.st_mtim) >= stamp(copyTime);
    const bool since = documentStat.st_mtim.tv_sec > copyTime.tv_sec + kLongestWrite;
    if (!written || since || finishFrom(folder, *document, documentStat, copies.front().fd.get())) {
      for (const Copy& copy : copies) removed = removeIfSame(folder, copy.name, copy.st) || removed;
    }
  }
  if (removed) ::fsync(folder);
}

template <typename Visit>
void forEachName(int folder, Visit visit) {
  const int listing = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listing < 0) return;
  DIR* dir = ::fdopendir(listing);
  if (dir == nullptr) {
    ::close(listing);
    return;
  }
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") visit(name);
  }
  ::closedir(dir);
}

}  // namespace

namespace safe_store {

std::string temporaryName(std::string_view documentName, std::string_view random) {
  return ourName(documentName, kTemporary, random);
}

std::string recoveryName(std::string_view documentName, std::string_view random) {
  return ourName(documentName, kRecovery, random);
}

namespace {

void placeLoaded(const fs::path& content, const fs::path& document, const LoadedFile& loaded,
                 const RandomPart& random, const fs::path& backup) {
  Fd source(::open(content.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY));
  struct stat sourceStat {};
  if (!source || ::fstat(source.get(), &sourceStat) != 0) fail("读取新内容");
  if (!S_ISREG(sourceStat.st_mode)) fail("读取新内容", EINVAL);

  const Location place = placeOfLoaded(document, loaded);
  const int folder = place.folder.get();
  struct stat st {};
  const Fd original = openLoaded(folder, place.name, O_RDONLY, "打开文档", loaded, st);
  const bool replace = st.st_nlink == 1 && canKeepOwner(st);

  // Declared before the temporary file, so that a failure removes that file
  // before an ending waiting for the lock may go on.
  std::shared_lock placing(placementMutex());
  OwnFile scratch(folder, place.name, random);
  const off_t length = copyContent(source.get(), scratch.fd(), "读取新内容", "写入临时文件");

  if (replace && takeOverMetadata(original.get(), scratch.fd(), st)) {
    if (::fsync(scratch.fd()) != 0) fail("写入临时文件");
    std::optional<Backup> kept;
    if (!backup.empty()) kept.emplace(folder, place.name, original.get(), st, backup, true);
    // Once more, as late as can be: written in place, or another file renamed
    // over it, while ours was being written.
    struct stat now {};
    if (::fstat(original.get(), &now) != 0 || !asLoaded(now, loaded) ||
        ::fstatat(folder, place.name.c_str(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        !asLoaded(now, loaded)) {
      throw ChangedSinceLoad();
    }
    if (::renameat(folder, scratch.name().c_str(), folder, place.name.c_str()) != 0)
      fail("替换文档");
    if (kept) kept->keep();
    scratch.release();
    // The document is replaced: a folder that cannot be synced now does not
    // make that a failure.
    ::fsync(folder);
    return;
  }

  // In place: the complete, synced recovery copy exists under its final name
  // before the document's first byte changes.
  if (::fsync(scratch.fd()) != 0) fail("写入临时文件");
  std::optional<Backup> kept;
  if (!backup.empty()) kept.emplace(folder, place.name, original.get(), st, backup, false);
  scratch.becomeRecoveryCopy(place.name, random);
  syncFolder(folder);
  struct stat now {};
  const Fd target = openLoaded(folder, place.name, O_WRONLY, "打开文档以写入", loaded, now);
  reserveSpace(target.get(), length);
  // From here on the document changes: its backup stays whatever happens.
  if (kept) kept->keep();
  try {
    overwrite(scratch.fd(), target.get(), "读取恢复副本");
  } catch (...) {
    // The document may be half-written: the recovery copy stays, and the
    // next recoverDocument completes the write from it.
    scratch.release();
    throw;
  }
  scratch.remove();
  ::fsync(folder);
}

int renameNoReplace(int fromFolder, const char* from, int toFolder, const char* to) {
  return ::renameat2(fromFolder, from, toFolder, to, RENAME_NOREPLACE);
}
int hardLink(int fromFolder, const char* from, int toFolder, const char* to) {
  return ::linkat(fromFolder, from, toFolder, to, 0);
}

}  // namespace

void placeContent(const fs::path& content, const fs::path& document, const RandomPart& random,
                  const fs::path& backup) {
  placeLoaded(content, document, loadedFile(document), random, backup);
}

LinkCalls& linkCalls() {
  static LinkCalls calls{renameNoReplace, hardLink};
  return calls;
}

}  // namespace safe_store

WriteBlock writeBlock(const fs::path& document) {
  std::error_code error;
  fs::path target = linkTarget(document, error);
  if (error) target = document;
  struct stat st {};
  fs::path folder = target.parent_path();
  if (folder.empty()) folder = ".";

  const auto refused = [] { return errno == EACCES || errno == EROFS || errno == EPERM; };
  if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
    if (refused() || errno == ETXTBSY) return WriteBlock::ReadOnlyFile;
  } else if (::geteuid() == 0 && ::stat(target.c_str(), &st) == 0 && (st.st_mode & 0222) == 0) {
    // Root may write anything; a file nobody may write is still meant to stay.
    return WriteBlock::ReadOnlyFile;
  }
  // Our temporary file is created and renamed in the folder.
  if (::faccessat(AT_FDCWD, folder.c_str(), W_OK | X_OK, AT_EACCESS) != 0 && refused())
    return WriteBlock::ReadOnlyFolder;
  return WriteBlock::None;
}

LoadedFile loadedFile(const fs::path& document) {
  LoadedFile loaded;
  struct stat named {};
  if (::lstat(document.c_str(), &named) != 0) fail("打开文档");
  loaded.throughLink = S_ISLNK(named.st_mode);
  loaded.file = document;
  if (loaded.throughLink) {
    std::error_code error;
    loaded.file = fs::canonical(document, error);
    if (error) fail("查找链接指向的文档", error.value());
  }
  const Location place = folderOf(loaded.file);
  struct stat folder {};
  struct stat st {};
  if (::fstat(place.folder.get(), &folder) != 0 ||
      ::fstatat(place.folder.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    fail("打开文档");
  }
  if (!S_ISREG(st.st_mode)) fail("打开文档", S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
  loaded.device = st.st_dev;
  loaded.inode = st.st_ino;
  loaded.size = st.st_size;
  loaded.modified = st.st_mtim;
  loaded.folderDevice = folder.st_dev;
  loaded.folderInode = folder.st_ino;
  return loaded;
}

void placeContent(const fs::path& content, const fs::path& document, const LoadedFile& loaded,
                  const fs::path& backup) {
  safe_store::placeLoaded(content, document, loaded, systemRandomPart, backup);
}

void placeContent(const fs::path& content, const fs::path& document, const fs::path& backup) {
  safe_store::placeContent(content, document, systemRandomPart, backup);
}

void recoverDocument(const fs::path& document) {
  try {
    const Location place = locate(document);
    const std::uint64_t hash = nameHash(place.name);
    std::vector<Leftover> leftovers;
    forEachName(place.folder.get(), [&](std::string_view name) {
      const auto ours = parseOurName(name);
      if (ours && ours->hash == hash) leftovers.push_back({std::string(name), ours->kind});
    });
    if (!leftovers.empty()) tidy(place.folder.get(), &place.name, leftovers);
  } catch (...) {
    // Left for the next time.
  }
}

void recoverFolder(const fs::path& folder) {
  try {
    const Fd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir) return;
    std::map<std::uint64_t, std::vector<Leftover>> leftovers;
    std::vector<std::string> others;
    forEachName(dir.get(), [&](std::string_view name) {
      if (const auto ours = parseOurName(name))
        leftovers[ours->hash].push_back({std::string(name), ours->kind});
      else
        others.emplace_back(name);
    });
    if (leftovers.empty()) return;
    std::map<std::uint64_t, std::vector<std::string>> documents;
    for (const std::string& name : others) {
      const std::uint64_t hash = nameHash(name);
      if (leftovers.count(hash) != 0) documents[hash].push_back(name);
    }
    for (const auto& [hash, files] : leftovers) {
      const auto found = documents.find(hash);
      const bool single = found != documents.end() && found->second.size() == 1;
      tidy(dir.get(), single ? &found->second.front() : nullptr, files);
    }
  } catch (...) {
    // Left for the next time.
  }
}

}  // namespace platform::posix
