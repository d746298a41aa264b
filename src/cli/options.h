// The command line: what a run without a window is asked to do. Parsing only
// reads the arguments; the folder is checked when the run begins.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

#include "office/probes.h"

namespace cli {

enum class FileKind { Documents, Workbooks };

struct Options {
  FileKind kind = FileKind::Documents;
  std::string folder;  // as given
  std::string findText;
  std::string replaceText;
  office::Suite suite = office::Suite::Microsoft;
  unsigned jobs = 1;  // 0: one per core
  bool recursive = false;
  bool help = false;
  bool version = false;
};

// Wrong arguments; what() is the one-line reason.
class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// True when the program is to run without a window: any argument of ours, or
// any other "--" option (refused later as unknown). Toolkit options such as
// "-platform" leave the window program as it is.
bool wantsCommandLine(const std::vector<std::string>& args);

// args: without the program name. "--help" or "--version" anywhere wins over
// everything else. Throws UsageError.
Options parseOptions(const std::vector<std::string>& args);

std::string usageText();
std::string versionText();

}  // namespace cli
