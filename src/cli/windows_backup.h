// Backups on Windows, where the suite writes each file itself: the original
// is copied aside just before the suite is told to save it.
#pragma once

#include <memory>
#include <string>

#include "cli/batch.h"

namespace cli {

// Keeps each file's original under backupFolder at its path relative to
// folder (both absolute, UTF-8). A backup is complete, flushed and carries
// the original's times and attributes before it takes its name; one that
// already exists is never replaced, and a copy cut short (an error, a kill)
// goes with its handle.
std::unique_ptr<OriginalKeeper> keepOriginalsIn(const std::string& folder,
                                                const std::string& backupFolder);

}  // namespace cli
