#include "ui/file_browser.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

#include "text/letter_case.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace ui {

namespace fs = std::filesystem;
using text::pathFromUtf8;
using text::utf8FromPath;

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
                 std::equal(root.begin(), root.end(), path.begin(), [](char a, char b) {
                   return text::asciiLower(a) == text::asciiLower(b);
                 });
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
