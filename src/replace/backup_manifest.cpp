#include "replace/backup_manifest.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "replace/digest.h"
#include "text/text_encoding.h"

namespace replace {

namespace fs = std::filesystem;

namespace {

constexpr const char* kHeading = "ravelsk backup\t";

fs::path manifestPath(const std::string& backupFolder) {
  return text::pathFromUtf8(backupFolder) / kManifestName;
}

// Appends text; a link planted at the manifest's name is not followed.
void append(const fs::path& manifest, const std::string& text) {
  std::error_code ec;
  if (fs::is_symlink(fs::symlink_status(manifest, ec))) {
    throw ManifestError("备份清单是一个符号链接，不写入：" + text::utf8FromPath(manifest));
  }
  std::ofstream out(manifest, std::ios::binary | std::ios::app);
  out << text << std::flush;
  if (!out) throw ManifestError("无法写入备份清单：" + text::utf8FromPath(manifest));
}

}  // namespace

BackupManifest::BackupManifest(std::string backupFolder, std::string folder)
    : backupFolder_(std::move(backupFolder)), folder_(std::move(folder)) {
  const fs::path manifest = manifestPath(backupFolder_);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(manifest, ec))) return;
  std::ifstream in(manifest, std::ios::binary);
  if (!in) throw ManifestError("无法读取备份清单：" + text::utf8FromPath(manifest));
  std::string heading;
  if (!std::getline(in, heading) || !heading.starts_with(kHeading)) {
    throw ManifestError("备份文件夹里的 " + std::string(kManifestName) +
                        " 不是本程序的备份清单：请换一个备份文件夹");
  }
  const std::string other = heading.substr(std::string(kHeading).size());
  // The same folder named otherwise (letter case on Windows, a link) is
  // still the same.
  if (other == folder_ ||
      fs::equivalent(text::pathFromUtf8(other), text::pathFromUtf8(folder_), ec)) {
    return;
  }
  throw ManifestError("备份文件夹 " + backupFolder_ + " 里已有另一个文件夹（" + other +
                      "）的备份：请换一个备份文件夹");
}

void BackupManifest::add(const std::string& file) {
  if (file.find_first_of("\r\n") != std::string::npos) {
    throw ManifestError("文件名含有换行符，无法记入备份清单：" + text::displayName(file));
  }
  try {
    const std::string original =
        fileDigest(text::pathFromUtf8(backupFolder_) / text::pathFromUtf8(file));
    const std::string written = fileDigest(text::pathFromUtf8(folder_) / text::pathFromUtf8(file));
    // Made with the first file: a run that changed nothing leaves none.
    const fs::path manifest = manifestPath(backupFolder_);
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(manifest, ec))) append(manifest, kHeading + folder_ + "\n");
    append(manifest, original + "\t" + written + "\t" + file + "\n");
  } catch (const ManifestError&) {
    throw;
  } catch (const std::runtime_error& e) {
    throw ManifestError(e.what());
  }
}

Manifest readManifest(const std::string& backupFolder) {
  const fs::path path = manifestPath(backupFolder);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ManifestError("没有备份清单：" + text::utf8FromPath(path));
  Manifest manifest;
  std::string line;
  if (!std::getline(in, line) || !line.starts_with(kHeading)) {
    throw ManifestError("不是本程序的备份清单：" + text::utf8FromPath(path));
  }
  manifest.folder = line.substr(std::string(kHeading).size());
  for (std::size_t number = 2; std::getline(in, line); ++number) {
    const std::size_t first = line.find('\t');
    const std::size_t second = first == std::string::npos ? first : line.find('\t', first + 1);
    if (second == std::string::npos || second + 1 == line.size()) {
      throw ManifestError("备份清单第 " + std::to_string(number) + " 行无法读取：" +
                          text::utf8FromPath(path));
    }
    ManifestEntry entry{line.substr(second + 1), line.substr(0, first),
                        line.substr(first + 1, second - first - 1)};
    std::erase_if(manifest.files, [&](const ManifestEntry& e) { return e.file == entry.file; });
    manifest.files.push_back(std::move(entry));
  }
  return manifest;
}

}  // namespace replace
