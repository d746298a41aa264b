// The command line: what a run without a window is asked to do. Parsing only
// reads the arguments; the folder is checked when the run begins.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "office/suite.h"
#include "replace/rules_file.h"

namespace cli {

enum class FileKind { Documents, Workbooks };

using replace::ReplacePair;

struct Options {
  FileKind kind = FileKind::Documents;
  std::string folder;       // as given
  std::string findText;     // with --find
  std::string replaceText;  // with --replace
  std::string rulesFile;    // with --rules, instead of the two texts
  bool dryRun = false;
  std::string reportFile;    // "" for none
  std::string backupFolder;  // "" for none
  std::string undoFolder;    // with --undo: a backup folder to put back
  office::Suite suite = office::Suite::Microsoft;
  unsigned jobs = 1;  // 0: one per core
  bool recursive = false;
  bool matchCase = false;  // letter case must match, as the suites' MatchCase
  bool help = false;
  bool version = false;
};

// Wrong arguments; what() is the one-line reason.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True when the program is to run without a window: any argument but the
// toolkit's own options (such as "-platform offscreen"), which leave the
// window program as it is. What is not ours is refused by parseOptions.
bool wantsCommandLine(const std::vector<std::string>& args);

// args: without the program name. "--help" ("-h"; "/?" on Windows) or
// "--version" anywhere before "--" wins over everything else but an unknown
// option. "--" ends the options; no argument but an option is taken. Throws
// UsageError.
Options parseOptions(const std::vector<std::string>& args);

std::string usageText();
std::string versionText();

}  // namespace cli
