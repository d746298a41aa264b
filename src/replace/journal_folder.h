// Where the journal is written: the program's own folder, else the user's.
#pragma once

#include <filesystem>

namespace replace {

// The per-user journal folder: $XDG_DATA_HOME/ravelsk/Journal, else
// ~/.local/share/ravelsk/Journal, where without HOME the home is the one the
// system's user database gives; on Windows %LOCALAPPDATA%\Ravelsk\Journal.
// Empty when the user has no such folder.
std::filesystem::path defaultUserJournalFolder();

// The journal's folder: "Journal" in the program's folder, made if missing
// (also by another run at the same moment); else userJournalFolder, made if
// missing, where it is safe: on POSIX nobody but the user and the system can
// have made or can change any folder on the way to it, and it is the user's
// alone (given then with its links resolved). Empty when neither can be used.
std::filesystem::path resolveJournalFolder(const std::filesystem::path& programFolder,
                                           const std::filesystem::path& userJournalFolder);

}  // namespace replace
