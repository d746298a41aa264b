// Putting back the originals a run kept (see backup_manifest.h): a file is
// restored only while it is still exactly what the run wrote; a file changed
// since is left as it is.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "replace/backup_manifest.h"

namespace replace {

struct UndoResult {
  enum class Outcome { Restored, AlreadyOriginal, ChangedSince, Missing, NoBackup, Failed };
  std::string file;  // relative to the manifest's folder
  Outcome outcome = Outcome::Failed;
  std::string line;  // the status line, without its line end
  bool left() const { return outcome != Outcome::Restored && outcome != Outcome::AlreadyOriginal; }
};

// Restores every file of the manifest, in its order, reporting each; false
// when any file was left. Throws ManifestError when the manifest cannot be
// read (nothing is touched then).
bool undoBackup(const std::string& backupFolder,
                const std::function<void(const UndoResult&)>& report);

// For tests: called with each document between the check of its content and
// the placement of its original, where another program may write it.
void setBeforeRestoreForTesting(std::function<void(const std::filesystem::path&)> hook);

}  // namespace replace
