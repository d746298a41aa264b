// The office's lock files (".~lock.<name>#" beside a document it opened).
// Ours are removed when our office dies; a stale one of ours (its office no
// longer running) is removed before a document is opened; anybody else's is
// left alone.
#pragma once

#include <filesystem>
#include <string>

namespace office::libreoffice {

std::filesystem::path lockFileOf(const std::filesystem::path& document);

// Removes the lock of the document named documentName in folder if it names
// the given private profile, or names nobody yet and is the user's own (the
// office, ended first, died before writing it). folder is a descriptor of the
// document's folder held since the office loaded it, so that the lock is
// found there even when the folder was renamed since.
void removeOwnLock(int folder, const std::string& documentName,
                   const std::filesystem::path& profileFolder);

// Removes the lock of document if it was written on this machine by one of
// our private offices that is gone (its folder removed, or its recorded
// owner no longer running, whether or not the office itself has finished
// dying). A lock from another machine is never stale. A lock still being
// written is waited for a moment; one that stays incomplete (its office
// died writing it) is removed when it is our own user's.
void removeStaleLock(const std::filesystem::path& document);

// Each private folder ("ravelsk-office-*") records the program that owns it
// in a file "owner" (its PID and start time), so that a later run can tell a
// folder whose owner is gone from one in use.
void writeOwnerRecord(const std::filesystem::path& privateFolder);
bool ownerRunning(const std::filesystem::path& privateFolder);

}  // namespace office::libreoffice
