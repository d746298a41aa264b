// What the drive, folder and file lists show, read from the file system.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ui {

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
