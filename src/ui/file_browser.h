// What the drive, folder and file lists show, read from the file system.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

// A folder that cannot be read; what() says which and why.
class BrowseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "*" any run of characters, "?" one character; letter case is ignored, as
// Windows does and as users of copied Windows folders (".DOC") expect. As on
// Windows with short names, "*.doc" also matches "a.docx" and "a.docm" (the
// short name ends in ".DOC"), and "*.xls" "a.xlsx", "a.xlsm" and "a.xlsb".
bool matchesPattern(std::string_view name, std::string_view pattern);

// Names (without folder) of the plain files in folder that match pattern,
// hidden ones and Word's and Excel's owner files ("~$…") left out, sorted by
// name ignoring case.
std::vector<std::string> listFiles(const std::string& folder, std::string_view pattern);

// Names of the subfolders of folder, hidden ones left out, sorted likewise.
std::vector<std::string> listSubfolders(const std::string& folder);

// The drives the drive list offers: on Windows the logical drives ("C:"), on
// POSIX the root, the user's home and mounted removable media.
std::vector<std::string> listDrives();

// The folder a drive opens on.
std::string driveRoot(const std::string& drive);

// The drive of the list that holds path (the longest matching root).
std::string driveOf(const std::vector<std::string>& drives, const std::string& path);

// The ancestors of path, from the root down to path itself.
std::vector<std::string> folderChain(const std::string& path);

// One row of the folder list.
struct FolderRow {
  std::string name;       // what it shows: the folder's name, a root by its path
  std::string path;       // the folder it opens
  int depth = 0;          // how far it is indented
  bool onTheWay = false;  // on the way down to the open folder, not below it
};

// The folder list: the way down to folder (its last row is the open folder),
// then folder's subfolders one level below it.
std::vector<FolderRow> folderRows(const std::string& folder,
                                  const std::vector<std::string>& subfolders);

}  // namespace ui
