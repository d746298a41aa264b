// A file a Windows suite could not write back, or that another program holds
// open, is refused before the suite opens it: the suite would open it
// read-only, or ask, and fail only when saving. (LibreOffice's server makes
// the same checks itself when it opens a file.)
#pragma once

#include <string>

namespace platform::windows {

enum class WriteRefusal {
  None,      // free to write, or no file: the suite says what is wrong with it
  ReadOnly,  // read-only, or not ours to write
  InUse,     // another program holds it open
};

WriteRefusal writeRefusal(const std::string& path);

}  // namespace platform::windows
