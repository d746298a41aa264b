// What a run that keeps originals leaves in its backup folder beside them:
// one line per file it changed, written as the run goes, with the digest of
// the original and of the content the run wrote, so that an undo puts back
// only files that are still exactly as the run left them.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace replace {

inline constexpr const char* kManifestName = "ravelsk-backup.txt";

class ManifestError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ManifestEntry {
  std::string file;      // relative to the manifest's folder
  std::string original;  // digest of the backup
  std::string written;   // digest of what the run wrote
};

struct Manifest {
  std::string folder;  // the folder the run worked in, absolute
  std::vector<ManifestEntry> files;
};

class BackupManifest {
 public:
  // backupFolder and folder absolute, UTF-8. The manifest is made with the
  // first file; one already there (a backup folder used again) is added to.
  // Throws ManifestError when the one there is another folder's: its undo
  // would put this run's originals into that folder.
  BackupManifest(std::string backupFolder, std::string folder);

  // file (relative to folder) has its new content and its original kept in
  // the backup folder: records both digests. Throws ManifestError.
  void add(const std::string& file);

 private:
  std::string backupFolder_;
  std::string folder_;
};

// The manifest of backupFolder; for a file named more than once, its last
// line. Throws ManifestError when there is none or it cannot be read.
Manifest readManifest(const std::string& backupFolder);

}  // namespace replace
