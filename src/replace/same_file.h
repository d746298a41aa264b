// One file under several names: a symbolic link or a second hard link beside
// it, or a linked folder of a tree. A run opens each file once; replacing it
// a second time would replace what the first pass wrote.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "replace/run_host.h"

namespace replace {

// What tells one file from another, whatever it is called: the device and
// the inode on POSIX, the volume serial and the file index on Windows.
struct FileIdentity {
  std::uint64_t volume = 0;
  std::uint64_t index = 0;
  auto operator<=>(const FileIdentity&) const = default;
};

// The identity of the file or folder at path (UTF-8), following links;
// nullopt when it cannot be read. Never blocks the office suites, which may
// hold the file open.
std::optional<FileIdentity> fileIdentity(const std::string& path);

// For each entry of a run's list, the first entry before it that names the
// same file. Taken once before the run: a file replaced by a new one under
// its first name (a link's target is) has another identity afterwards.
class SameFiles {
 public:
  SameFiles() = default;
  SameFiles(const std::string& folder, const std::vector<std::string>& entries);

  // The earlier entry for the same file as entries[index]; empty when
  // entries[index] is its first name (or out of the list).
  std::string firstName(std::size_t index) const;

 private:
  std::vector<std::string> entries_;
  std::vector<std::size_t> first_;  // index of the first name, or the entry's own
};

// "<entry> 与 <first> 是同一个文件，已处理过，跳过"
RunResult sameFileResult(const std::string& entry, const std::string& first);

}  // namespace replace
