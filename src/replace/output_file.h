// A file the program writes its own output into (a CSV report), named
// by the user: it may name a link someone planted in a shared folder, or a
// file that is not ours at all. It is created anew, or emptied only when it
// is an earlier output of ours; never reached through a link.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace replace {

class OutputFile {
 public:
  // Creates path, or empties it when it is a plain file that begins with
  // ownHeading (what every output of this kind begins with). Throws
  // std::runtime_error, whose what() is the reason in one line, for a link,
  // anything but a plain file, a file that begins otherwise, or a file that
  // cannot be created or read.
  OutputFile(const std::string& path, std::string_view ownHeading);
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Appends all of text, unbuffered: once this returns true it is in the
  // file. False once any write has failed.
  bool write(std::string_view text);

 private:
  std::intptr_t handle_;  // a descriptor, or a Windows HANDLE
  bool failed_ = false;
};

}  // namespace replace
