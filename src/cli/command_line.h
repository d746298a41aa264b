// The program run from a shell: options in, result lines on standard output
// in the file list's order, the same daily journal as the window, and an exit
// status a script can test.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cli/batch.h"
#include "replace/journal.h"

namespace cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailures = 1;   // a file failed, the journal failed, or a server was lost
inline constexpr int kExitUsage = 2;      // nothing was done
inline constexpr int kExitStopped = 130;  // stopped on request (Ctrl+C), as a shell reports SIGINT

struct Environment {
  RegistryForJob servers;
  const replace::Clock* clock = nullptr;
  std::filesystem::path programFolder;      // where the window keeps its journal
  std::filesystem::path userJournalFolder;  // when the program folder cannot hold it
  std::string codeset;                      // the journal's code page
  std::ostream* out = nullptr;
  std::ostream* err = nullptr;
  bool showProgress = false;  // a progress line on err (it is a terminal)
  unsigned cores = 1;         // what "--jobs 0" means
  // With --backup, before any server is created: each changed file's
  // original is to be kept under backupFolder at its path relative to
  // folder (both absolute, UTF-8). Returns the keeper the runs call before
  // each save, or null where the servers keep the originals themselves.
  // Unset where neither can.
  std::function<std::unique_ptr<OriginalKeeper>(const std::string& folder,
                                                const std::string& backupFolder)>
      useBackup;
  // Set when the user asks the run to stop (Ctrl+C where the program does
  // not end at once).
  const std::atomic<bool>* stop = nullptr;
  // Where a signal ends the program at once: see Batch::whenEnded.
  std::function<std::shared_ptr<void>(std::function<void()>)> whenEnded;
};

// args: UTF-8, without the program name. Returns the exit status.
int runCommandLine(const std::vector<std::string>& args, const Environment& environment);

// "12/200 个文件，每秒 3.4 个，剩余约 0:52"
std::string progressText(std::size_t done, std::size_t total, double seconds);

}  // namespace cli
