// The files and subfolders a folder holds, as both faces list them: the
// window's file list, the command line's batch.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace files {

// A folder that cannot be read; what() says which and why.
class BrowseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// "*" any run of characters, "?" one character; letter case is ignored, as
// Windows does and as users of copied Windows folders (".DOC") expect. As on
// Windows with short names, "*.doc" also matches "a.docx" and "a.docm" (the
// short name ends in ".DOC"), and "*.xls" "a.xlsx", "a.xlsm" and "a.xlsb".
bool matchesPattern(std::string_view name, std::string_view pattern);

// Names (without folder) of the plain files in folder that match pattern,
// hidden ones and Word's and Excel's owner files ("~$…") left out, sorted by
// name ignoring case.
std::vector<std::string> listFiles(const std::string& folder, std::string_view pattern);

// Names of the subfolders of folder, hidden ones left out, sorted likewise.
std::vector<std::string> listSubfolders(const std::string& folder);

// The files of folder and of every folder below it that match pattern, as
// listFiles lists them, each named by its path relative to folder: a
// folder's own files first, then each subfolder's in order. A folder reached
// twice (through a link, also one back up the tree, or a folder mounted a
// second time inside it) is listed once.
std::vector<std::string> listFilesBelow(const std::string& folder, std::string_view pattern);

}  // namespace files
