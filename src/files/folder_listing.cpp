#include "files/folder_listing.h"

#include <algorithm>
#include <filesystem>
#include <optional>
#include <set>
#include <system_error>

#include "replace/batch_server.h"
#include "replace/same_file.h"
#include "replace/skipped_files.h"
#include "text/letter_case.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace files {

namespace fs = std::filesystem;
using text::pathFromUtf8;
using text::utf8FromPath;

namespace {

bool lessIgnoringCase(const std::string& a, const std::string& b) {
  // Bytes compare unsigned, so names in other scripts sort after ASCII ones.
  auto key = [](char c) { return static_cast<unsigned char>(text::asciiLower(c)); };
  auto byKey = [&](char x, char y) { return key(x) < key(y); };
  if (std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), byKey)) return true;
  if (std::lexicographical_compare(b.begin(), b.end(), a.begin(), a.end(), byKey)) return false;
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
  });
}

bool isHidden(const fs::directory_entry& entry) {
#ifdef _WIN32
  DWORD attrs = GetFileAttributesW(entry.path().c_str());
  return attrs != INVALID_FILE_ATTRIBUTES &&
         (attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) != 0;
#else
  std::string name = utf8FromPath(entry.path().filename());
  return !name.empty() && name.front() == '.';
#endif
}

template <typename Keep>
std::vector<std::string> listFolder(const std::string& folder, Keep keep) {
  std::error_code ec;
  fs::directory_iterator it(pathFromUtf8(folder), ec);
  if (ec) throw BrowseError("无法打开文件夹：" + folder + "（" + text::errorText(ec) + "）");
  std::vector<std::string> names;
  for (const fs::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    if (isHidden(*it)) continue;
    std::string name = utf8FromPath(it->path().filename());
    if (keep(*it, name)) names.push_back(std::move(name));
  }
  if (ec) throw BrowseError("无法读取文件夹：" + folder + "（" + text::errorText(ec) + "）");
  std::sort(names.begin(), names.end(), lessIgnoringCase);
  return names;
}

}  // namespace

namespace {

bool matchesWildcards(std::string_view name, std::string_view pattern) {
  // Iterative wildcard match with one backtrack point for the last '*'.
  std::size_t n = 0, p = 0, star = std::string_view::npos, mark = 0;
  while (n < name.size()) {
    if (p < pattern.size() &&
        (pattern[p] == '?' || text::asciiLower(pattern[p]) == text::asciiLower(name[n]))) {
      ++n;
      ++p;
    } else if (p < pattern.size() && pattern[p] == '*') {
      star = p++;
      mark = n;
    } else if (star != std::string_view::npos) {
      p = star + 1;
      n = ++mark;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == '*') ++p;
  return p == pattern.size();
}

// The short (8.3) name of "报告.docx" ends in ".DOC": a pattern with a
// three-character extension also matches a longer extension that begins
// with those three characters, as Windows lists them.
bool matchesShortExtension(std::string_view name, std::string_view pattern) {
  const std::size_t patternDot = pattern.rfind('.');
  const std::size_t nameDot = name.rfind('.');
  if (patternDot == std::string_view::npos || nameDot == std::string_view::npos) return false;
  const std::string_view extension = pattern.substr(patternDot + 1);
  if (extension.size() != 3) return false;
  const std::string_view nameExtension = name.substr(nameDot + 1);
  return nameExtension.size() > 3 &&
         matchesWildcards(name.substr(0, nameDot), pattern.substr(0, patternDot)) &&
         matchesWildcards(nameExtension.substr(0, 3), extension);
}

}  // namespace

bool matchesPattern(std::string_view name, std::string_view pattern) {
  return matchesWildcards(name, pattern) || matchesShortExtension(name, pattern);
}

std::vector<std::string> listFiles(const std::string& folder, std::string_view pattern) {
  return listFolder(folder, [pattern](const fs::directory_entry& entry, const std::string& name) {
    // An owner file beside a document another user has open matches the
    // pattern too, and the office would report it as a broken document.
    std::error_code ec;
    return entry.is_regular_file(ec) && matchesPattern(name, pattern) &&
           !replace::isOwnerFileName(name);
  });
}

std::vector<std::string> listSubfolders(const std::string& folder) {
  return listFolder(folder, [](const fs::directory_entry& entry, const std::string&) {
    std::error_code ec;
    return entry.is_directory(ec);
  });
}

namespace {

// Folders are told apart by their identity, which no name hides.
void collectFiles(const std::string& root, const std::string& relative, const std::string& pattern,
                  std::set<replace::FileIdentity>& seen, std::vector<std::string>& files) {
  const std::string folder = relative.empty() ? root : replace::composePath(root, relative);
  const std::optional<replace::FileIdentity> identity = replace::fileIdentity(folder);
  if (identity && !seen.insert(*identity).second) return;
  const auto join = [&relative](const std::string& name) {
    return relative.empty() ? name : replace::composePath(relative, name);
  };
  for (const std::string& name : listFiles(folder, pattern)) files.push_back(join(name));
  for (const std::string& name : listSubfolders(folder)) {
    collectFiles(root, join(name), pattern, seen, files);
  }
}

}  // namespace

std::vector<std::string> listFilesBelow(const std::string& folder, std::string_view pattern) {
  std::vector<std::string> files;
  std::set<replace::FileIdentity> seen;
  collectFiles(folder, "", std::string(pattern), seen, files);
  return files;
}

}  // namespace files
