// A batch run without a window: the window's run functions driven over a file
// list that may be shared among several servers, each with an office of its
// own, with every result line handed on in the file list's order, as one
// server would have reported them.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "cli/options.h"
#include "office/automation.h"
#include "replace/batch_server.h"
#include "replace/run_host.h"

namespace cli {

// The server the window's run buttons use for this kind and suite.
replace::ServerChoice serverChoice(FileKind kind, office::Suite suite);

// The window's file pattern for this kind.
std::string filePattern(FileKind kind);

// The folder's files as the window lists them; with recursive, then those of
// every subfolder, depth first in sorted order, named relative to folder with
// '/'. Throws files::BrowseError for any folder that cannot be read.
std::vector<std::string> listBatchFiles(const std::string& folder, FileKind kind, bool recursive);

using replace::OriginalKeeper;

struct Batch {
  FileKind kind = FileKind::Documents;
  office::Suite suite = office::Suite::Microsoft;
  std::string folder;              // what composes each file's path
  std::vector<std::string> files;  // relative to folder, in list order
  std::vector<ReplacePair> pairs;  // applied in order to each file; at least one
  bool countOnly = false;          // a dry run: count, change nothing
  bool matchCase = false;          // letter case must match
  unsigned jobs = 1;               // at least 1; never more than there are files
  OriginalKeeper* keeper = nullptr;
  // Once set, no job takes another file: each finishes the one it is on and
  // lets its server go.
  const std::atomic<bool>* stop = nullptr;
  // Where the program can be ended at once from another thread (a signal on
  // POSIX), with the lines held back for the list's order still unwritten:
  // given what the run would write then (see runBatch), keeps it to be done
  // at such an ending until the returned object goes. Unset where there is
  // no such ending.
  std::function<std::shared_ptr<void>(std::function<void()>)> whenEnded;
};

// Where the results go; called on runBatch's caller's thread, or by an
// ending (Batch::whenEnded) on its own, never by both at once.
class BatchOutput {
 public:
  virtual ~BatchOutput() = default;
  // A line the window's status box would get, without its line end, with
  // what it says.
  virtual void result(const replace::RunResult& result) = 0;
  // After each file's lines.
  virtual void fileDone(std::size_t done, std::size_t total) {
    (void)done;
    (void)total;
  }
};

struct BatchResult {
  std::size_t filesDone = 0;  // files whose run reached its end, failed or not
  bool fileFailed = false;    // a file's line reports a failure
  bool serverLost = false;    // a server died and could not be recreated
  bool noServer = false;      // no job could start its server: nothing was done
  bool stopped = false;       // stopped on request before every file was done
};

// Which server registry a job creates its server from. Every job creates its
// own server; the registry must allow that from the job's thread.
using RegistryForJob = std::function<const office::ServerRegistry&(unsigned job)>;

// Each job takes the next file of the list whenever it is ready for one, so
// the files are shared by demand; every job works through its own in list
// order. An ending (Batch::whenEnded) writes at once, out of order, the lines
// of every file done, and of every file whose new content is on disk, whose
// lines were not yet written; the run then writes nothing more.
BatchResult runBatch(const Batch& batch, const RegistryForJob& registryFor, BatchOutput& output);

}  // namespace cli
