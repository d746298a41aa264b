// The program run from a shell: options in, result lines on standard output
// in the file list's order, the same daily journal as the window, and an exit
// status a script can test.
#pragma once

#include <filesystem>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/batch.h"
#include "replace/journal.h"

namespace cli {

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailures = 1;  // a file failed, the journal failed, or a server was lost
inline constexpr int kExitUsage = 2;     // nothing was done

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
  // folder (both absolute, UTF-8). Unset where the servers cannot do it.
  std::function<void(const std::string& folder, const std::string& backupFolder)> useBackup;
};

// args: UTF-8, without the program name. Returns the exit status.
int runCommandLine(const std::vector<std::string>& args, const Environment& environment);

// "12/200 个文件，每秒 3.4 个，剩余约 0:52"
std::string progressText(std::size_t done, std::size_t total, double seconds);

}  // namespace cli
