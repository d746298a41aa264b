#include "replace/same_file.h"

#include <map>

#include "replace/batch_server.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#endif

namespace replace {

std::optional<FileIdentity> fileIdentity(const std::string& path) {
#ifdef _WIN32
  // Attributes only, shared every way: an office holding the file open
  // without sharing still lets this through, and is never kept from it.
  // Backup semantics open folders too.
  HANDLE h = CreateFileW(text::pathFromUtf8(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return std::nullopt;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool ok = GetFileInformationByHandle(h, &info) != 0;
  CloseHandle(h);
  if (!ok) return std::nullopt;
  return FileIdentity{info.dwVolumeSerialNumber,
                      (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
#else
  struct stat st {};
  if (::stat(text::pathFromUtf8(path).c_str(), &st) != 0) return std::nullopt;
  return FileIdentity{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
#endif
}

SameFiles::SameFiles(const std::string& folder, const std::vector<std::string>& entries)
    : entries_(entries), first_(entries.size()) {
  std::map<FileIdentity, std::size_t> seen;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    first_[i] = i;
    // A name that cannot be read is left to the run, which reports why.
    if (const auto identity = fileIdentity(composePath(folder, entries[i]))) {
      first_[i] = seen.emplace(*identity, i).first->second;
    }
  }
}

std::string SameFiles::firstName(std::size_t index) const {
  if (index >= first_.size() || first_[index] == index) return {};
  return entries_[first_[index]];
}

RunResult sameFileResult(const std::string& entry, const std::string& first) {
  RunResult result;
  result.entry = entry;
  result.outcome = RunResult::Outcome::SameFile;
  result.line = entry + " 与 " + first + " 是同一个文件，已处理过，跳过";
  return result;
}

}  // namespace replace
