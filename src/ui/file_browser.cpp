#include "ui/file_browser.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "replace/skipped_files.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ui {

namespace fs = std::filesystem;
using text::pathFromUtf8;
using text::utf8FromPath;

namespace {

char lower(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool lessIgnoringCase(const std::string& a, const std::string& b) {
  // Bytes compare unsigned, so names in other scripts sort after ASCII ones.
  auto key = [](char c) { return static_cast<unsigned char>(lower(c)); };
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
    if (p < pattern.size() && (pattern[p] == '?' || lower(pattern[p]) == lower(name[n]))) {
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

#ifdef _WIN32

std::vector<std::string> listDrives() {
  std::vector<std::string> drives;
  DWORD mask = GetLogicalDrives();
  for (int i = 0; i < 26; ++i) {
    if (mask & (1u << i)) drives.push_back(std::string(1, static_cast<char>('A' + i)) + ":");
  }
  return drives;
}

std::string driveRoot(const std::string& drive) {
  return drive + "\\";
}

#else

std::vector<std::string> listDrives() {
  std::vector<std::string> drives{"/"};
  if (const char* home = std::getenv("HOME"); home != nullptr && *home == '/') {
    std::string h = utf8FromPath(fs::path(home).lexically_normal());
    if (h.size() > 1 && h.back() == '/') h.pop_back();
    if (h != "/") drives.push_back(h);
  }
  // Removable media: mount points under the usual mount folders.
  std::ifstream mounts("/proc/self/mounts");
  std::string line;
  std::vector<std::string> media;
  while (std::getline(mounts, line)) {
    std::istringstream fields(line);
    std::string device, point;
    fields >> device >> point;
    // Mount points escape blanks as octal (\040).
    std::string decoded;
    for (std::size_t i = 0; i < point.size(); ++i) {
      if (point[i] == '\\' && i + 3 < point.size()) {
        decoded += static_cast<char>(std::stoi(point.substr(i + 1, 3), nullptr, 8));
        i += 3;
      } else {
        decoded += point[i];
      }
    }
    for (const char* prefix : {"/media/", "/run/media/", "/mnt/"}) {
      if (decoded.rfind(prefix, 0) == 0) media.push_back(utf8FromPath(fs::path(decoded)));
    }
  }
  std::sort(media.begin(), media.end());
  media.erase(std::unique(media.begin(), media.end()), media.end());
  drives.insert(drives.end(), media.begin(), media.end());
  return drives;
}

std::string driveRoot(const std::string& drive) {
  return drive;
}

#endif

std::string driveOf(const std::vector<std::string>& drives, const std::string& path) {
  std::string best;
  for (const std::string& drive : drives) {
    std::string root = driveRoot(drive);
    bool under = path.size() >= root.size() &&
                 std::equal(root.begin(), root.end(), path.begin(),
                            [](char a, char b) { return lower(a) == lower(b); });
    bool boundary =
        under && (path.size() == root.size() || root.back() == '/' || root.back() == '\\' ||
                  path[root.size()] == '/' || path[root.size()] == '\\');
    if (boundary && root.size() > driveRoot(best).size()) best = drive;
  }
  return best.empty() && !drives.empty() ? drives.front() : best;
}

std::vector<std::string> folderChain(const std::string& path) {
  std::vector<std::string> chain;
#ifdef _WIN32
  // A network path: \\server\ alone is no folder, so the chain begins at
  // the share. The library does not take \\server for a root name.
  const auto separator = [](char c) { return c == '\\' || c == '/'; };
  if (path.size() > 2 && separator(path[0]) && separator(path[1])) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : path.substr(2) + "\\") {
      if (!separator(c)) {
        part += c;
      } else if (!part.empty()) {
        parts.push_back(std::move(part));
        part.clear();
      }
    }
    if (parts.size() < 2) return chain;
    std::string built = "\\\\" + parts[0];
    for (std::size_t i = 1; i < parts.size(); ++i) {
      built += "\\" + parts[i];
      chain.push_back(built);
    }
    return chain;
  }
#endif
  fs::path p = pathFromUtf8(path);
  fs::path built;
  for (const fs::path& part : p) {
    if (part.empty()) continue;
    built /= part;
    // "C:" alone names the drive's current folder, not its root: the chain
    // begins at "C:\".
    if (built.has_root_name() && !built.has_root_directory()) continue;
    chain.push_back(utf8FromPath(built));
  }
  return chain;
}

std::vector<FolderRow> folderRows(const std::string& folder,
                                  const std::vector<std::string>& subfolders) {
  std::vector<FolderRow> rows;
  int depth = 0;
  for (const std::string& step : folderChain(folder)) {
    std::string name = utf8FromPath(pathFromUtf8(step).filename());
    rows.push_back({name.empty() ? step : std::move(name), step, depth++, true});
  }
  for (const std::string& sub : subfolders) {
    rows.push_back({sub, utf8FromPath(pathFromUtf8(folder) / pathFromUtf8(sub)), depth, false});
  }
  return rows;
}

}  // namespace ui
