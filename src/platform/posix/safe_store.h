// Writing a user's document as a careful editor does. The office never writes
// beside the user's files: it stores the new content in our private folder,
// and placeContent puts it in the document's place, so that the document is
// always either unchanged or wholly replaced, and keeps its owner, group,
// mode, extended attributes, hard links and symbolic link.
//
// Our files beside a document (always in the folder of the file that is
// really written, i.e. a symbolic link's target):
//
//   ".~rv" <16 hex digits> <kind> <6 characters of [0-9a-z]>     (27 bytes)
//
// The hex digits are the 64-bit FNV-1a hash of the document's own name, so a
// leftover can be tied to its document without making the name longer than a
// fixed 27 bytes (a 255-byte document name still has room). The kind is 't'
// for a temporary file being written (a leftover is simply removed: the
// document was not touched yet) or 'r' for a recovery copy: complete and
// synced before an in-place overwrite of the document begins. A temporary file
// becomes a recovery copy by being renamed, so a recovery copy is complete or
// does not exist. The random part keeps the name unguessable; a name already
// taken by anything is never opened or followed, another is drawn instead.
//
// Only files of that form, regular, with one link and owned by our effective
// user are ours (as root, a temporary file may also belong to the document's
// owner, since the replace route gives it the document's owner before the
// rename). Files another run is still working on are locked (flock) and left.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace platform::posix {

// Why a document may not be written, judged from the file system with the
// user's effective ids (as root, a file with no write bit counts as read-only).
// Through a symbolic link the target and its folder are judged. When both the
// file and its folder forbid it, the file is named.
enum class WriteBlock { None, ReadOnlyFile, ReadOnlyFolder };
WriteBlock writeBlock(const std::filesystem::path& document);

// The file the office loaded for a document, taken just before it loaded it:
// only that file is ever written with the new content. Through a symbolic
// link (one that was there at load) it is the link's target.
struct LoadedFile {
  std::filesystem::path file;  // the document, or its link's target at load
  bool throughLink = false;
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = 0;
  struct timespec modified {};
  // The folder that holds it: a folder renamed away and another made at its
  // path is not the same folder.
  dev_t folderDevice = 0;
  ino_t folderInode = 0;
};

// Throws std::system_error (a missing document: ENOENT; not a regular file:
// EISDIR for a folder, EINVAL for anything else).
LoadedFile loadedFile(const std::filesystem::path& document);

// The document's name no longer leads to the file loaded (renamed over,
// removed, a link planted at it, its folder replaced), or that file was
// written since (its size or modification time differ). Nothing was written.
class ChangedSinceLoad : public std::runtime_error {
 public:
  ChangedSinceLoad() : std::runtime_error("the document changed since it was loaded") {}
};

// Puts the complete file `content` in the place of `document` (through a
// symbolic link to its target; the link stays a link), provided it is still
// the file `loaded` describes: else throws ChangedSinceLoad. A document with one
// link whose owner and group can be kept is replaced by rename; one with
// several hard links, or whose owner or group we could not give a new file,
// is overwritten in place from a synced recovery copy. Holds placementMutex()
// for the whole write. Throws std::system_error (errno, the failed step); the
// document is then as it was and no file of ours is left, except when the
// disk fails in the middle of an in-place overwrite: its recovery copy then
// stays, and recoverDocument completes the write.
//
// With a backup path, the original is kept there before its place is taken
// (its folders made as needed, never over a file already there): renamed
// over, the original is hard-linked to backup where the file system allows,
// else copied; overwritten in place (when a hard link would be overwritten
// too), it is copied. A copy keeps the mode and times and is synced before
// the document changes. A backup that cannot be made fails the placement,
// and the document stays as it was.
void placeContent(const std::filesystem::path& content, const std::filesystem::path& document,
                  const LoadedFile& loaded, const std::filesystem::path& backup = {});
// The same with the document as it is now taken for the one loaded.
void placeContent(const std::filesystem::path& content, const std::filesystem::path& document,
                  const std::filesystem::path& backup = {});

// Finishes an in-place write that a killed run left unfinished (its recovery
// copy still beside the document) and removes temporary files of ours that a
// killed run left beside it. recoverFolder does it for every document of a
// folder. Neither throws: what cannot be done is left for the next time.
void recoverDocument(const std::filesystem::path& document);
void recoverFolder(const std::filesystem::path& folder);

// The name scheme, open so that tests can foresee every name the program may
// pick beside a document.
namespace safe_store {

inline constexpr int kNameAttempts = 16;

// Six characters of [0-9a-z].
using RandomPart = std::function<std::string()>;

std::string temporaryName(std::string_view documentName, std::string_view random);
std::string recoveryName(std::string_view documentName, std::string_view random);

// placeContent with the random parts drawn from `random` instead of the system.
void placeContent(const std::filesystem::path& content, const std::filesystem::path& document,
                  const RandomPart& random, const std::filesystem::path& backup = {});

// The two calls a file system may not offer: renameat2 with RENAME_NOREPLACE
// and linkat (FAT and exFAT have no hard links). Tests put in calls that fail
// as such a file system does.
struct LinkCalls {
  int (*renameNoReplace)(int fromFolder, const char* from, int toFolder, const char* to);
  int (*link)(int fromFolder, const char* from, int toFolder, const char* to);
};
LinkCalls& linkCalls();

}  // namespace safe_store

}  // namespace platform::posix
