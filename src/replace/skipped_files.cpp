#include "replace/skipped_files.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "office/automation.h"
#include "replace/batch_server.h"
#include "replace/same_file.h"
#include "text/text_encoding.h"

namespace replace {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kOwnerMark = "~$";

// The name without its first n characters (UTF-8, so a Chinese character is
// one, as Word counts it).
std::string withoutCharacters(const std::string& name, std::size_t n) {
  std::size_t at = 0;
  for (std::size_t dropped = 0; dropped < n && at < name.size(); ++dropped) {
    ++at;
    while (at < name.size() && (static_cast<unsigned char>(name[at]) & 0xC0) == 0x80) ++at;
  }
  return name.substr(at);
}

std::size_t characterCount(std::string_view text) {
  std::size_t count = 0;
  for (char c : text) count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
  return count;
}

// The owner files' names for the document called name.
std::vector<std::string> ownerNames(const std::string& name) {
  std::vector<std::string> names{std::string(kOwnerMark) + name};
  const std::size_t dot = name.rfind('.');
  const std::size_t stem = characterCount(std::string_view(name).substr(0, dot));
  if (stem == 7) names.push_back(std::string(kOwnerMark) + withoutCharacters(name, 1));
  if (stem >= 8) names.push_back(std::string(kOwnerMark) + withoutCharacters(name, 2));
  return names;
}

// File names compare as the file system compares them: on Windows letter
// case is ignored, which its own look-up does.
bool ownerBeside(const fs::path& document) {
  const std::string name = text::utf8FromPath(document.filename());
  if (name.empty() || isOwnerFileName(name)) return false;
  for (const std::string& owner : ownerNames(name)) {
    std::error_code ec;
    if (fs::exists(fs::symlink_status(document.parent_path() / text::pathFromUtf8(owner), ec))) {
      return true;
    }
  }
  return false;
}

}  // namespace

bool isOwnerFileName(std::string_view name) {
  return name.substr(0, kOwnerMark.size()) == kOwnerMark;
}

bool hasOwnerFile(const std::string& path) {
  const fs::path document = text::pathFromUtf8(path);
  if (ownerBeside(document)) return true;
  std::error_code ec;
  if (!fs::is_symlink(fs::symlink_status(document, ec))) return false;
  const fs::path target = fs::canonical(document, ec);
  return !ec && ownerBeside(target);
}

RunResult inUseResult(const std::string& entry) {
  return failureResult(
      entry, "", "", office::AutomationError(office::kErrFailed, "文件正被其他程序使用，未作改动"));
}

bool reportedWithoutOpening(RunHost& host, const RunFile& file) {
  const std::string& entry = file.entry;
  if (!file.sameAs.empty()) {
    host.reportResult(sameFileResult(entry, file.sameAs));
    return true;
  }
  if (hasOwnerFile(composePath(host.folder(), entry))) {
    host.reportResult(inUseResult(entry));
    return true;
  }
  return false;
}

}  // namespace replace
