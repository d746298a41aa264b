// The office's lock files (".~lock.<name>#" beside a document it opened).
// Ours are removed when our office dies; a stale one of ours (its office no
// longer running) is removed before a document is opened; anybody else's is
// left alone.
#pragma once

#include <filesystem>

namespace office::libreoffice {

std::filesystem::path lockFileOf(const std::filesystem::path& document);

// Removes the lock of document if it names the given private profile.
void removeOwnLock(const std::filesystem::path& document,
                   const std::filesystem::path& profileFolder);

// Removes the lock of document if it was written on this machine by one of
// our private offices that is gone (its folder removed, or its recorded
// owner no longer running). A lock from another machine is never stale.
void removeStaleLock(const std::filesystem::path& document);

// Each private folder ("ravelsk-office-*") records the program that owns it
// in a file "owner" (its PID and start time), so that a later run can tell a
// folder whose owner is gone from one in use.
void writeOwnerRecord(const std::filesystem::path& privateFolder);
bool ownerRunning(const std::filesystem::path& privateFolder);

}  // namespace office::libreoffice
