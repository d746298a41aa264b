// Our offices' private folders under $TMPDIR ("ravelsk-office-*"), and the
// pipe sockets their offices leave in the shared socket folder: named,
// recorded and removed.
#pragma once

#include <filesystem>
#include <string>

namespace office::libreoffice {

inline constexpr const char* kFolderPrefix = "ravelsk-office-";
// Lists the sockets the office's pipes leave in the shared socket folder, so
// that whoever removes the private folder removes them too.
inline constexpr const char* kSocketRecord = "sockets";

// The temporary root private folders are made in: $TMPDIR, else /tmp.
std::filesystem::path temporaryRoot();

// Removes the private folders ("ravelsk-office-*") in tempRoot that belong to
// this user and whose recorded owner is no longer running, with the pipe
// sockets their offices left. A folder without an owner record is removed only
// when it is older than a minute and no process names it on its command line.
void removeStalePrivateFolders(const std::filesystem::path& tempRoot);

// The socket the office makes for a named pipe: in /tmp (in /var/tmp when
// /tmp cannot be written), whatever TMPDIR says, named after our uid.
std::filesystem::path pipeSocket(const std::string& pipeName);

// The name of the pipe an office listens on for a second instance of itself.
std::string instancePipeName(const std::string& profileUrl);

// Removes a pipe socket of ours: only a socket, only this user's.
void removeSocket(const std::filesystem::path& socket);

// Removes a folder that another thread may be removing at the same time.
void removeTree(const std::filesystem::path& folder);

// A path as the office names it: a file URL.
std::string fileUrl(const std::filesystem::path& path);

}  // namespace office::libreoffice
