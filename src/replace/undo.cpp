#include "replace/undo.h"

#include <filesystem>
#include <system_error>

#include "replace/digest.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include "platform/windows/checked_replace.h"
#else
#include "platform/posix/safe_store.h"
#endif

namespace replace {

namespace fs = std::filesystem;

namespace {

using Outcome = UndoResult::Outcome;

std::function<void(const fs::path&)>& beforeRestore() {
  static std::function<void(const fs::path&)> hook;
  return hook;
}

// The file's content is what the run wrote: its original takes its place,
// written as every store of the program is. Else the outcome that says why
// not; note, what the line adds. Throws std::runtime_error when the restore
// itself fails, the document as it was.
Outcome restore(const fs::path& backup, const fs::path& document, const ManifestEntry& entry,
                [[maybe_unused]] std::string& note) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(document, ec))) return Outcome::Missing;
  std::string now;
  try {
    if (fileDigest(backup) != entry.original) return Outcome::NoBackup;
  } catch (const std::runtime_error&) {
    return Outcome::NoBackup;
  }
#ifdef _WIN32
  now = fileDigest(document);
  if (now == entry.original) return Outcome::AlreadyOriginal;
  if (now != entry.written) return Outcome::ChangedSince;
  if (beforeRestore()) beforeRestore()(document);
  // What is checked is what the placement takes away, also when another
  // program wrote the document after the check above.
  fs::path aside;
  using platform::windows::CheckedReplace;
  const CheckedReplace placed = platform::windows::replaceChecked(
      document, backup, [&](const fs::path& former) { return fileDigest(former) == entry.written; },
      aside);
  if ((placed == CheckedReplace::Replaced || placed == CheckedReplace::Refused) && !aside.empty()) {
    note = "（未能删除 " + text::utf8FromPath(aside) + "，可以删掉）";
  }
  switch (placed) {
    case CheckedReplace::Replaced:
      return Outcome::Restored;
    case CheckedReplace::Refused:
      return Outcome::ChangedSince;
    case CheckedReplace::KeptAside:
      note =
          "文件已是替换前的内容，而替换后被修改的内容未能放回，保存在 " + text::utf8FromPath(aside);
      return Outcome::Failed;
    case CheckedReplace::MovedAside:
      note = "文件未能放回原处，现在是 " + text::utf8FromPath(aside) + "，请把它改回原名";
      return Outcome::Failed;
  }
  return Outcome::Failed;
#else
  // Taken before the digest: a change between the check and the placement
  // is seen by the placement, which then writes nothing.
  const platform::posix::LoadedFile loaded = platform::posix::loadedFile(document);
  now = fileDigest(document);
  if (now == entry.original) return Outcome::AlreadyOriginal;
  if (now != entry.written) return Outcome::ChangedSince;
  if (beforeRestore()) beforeRestore()(document);
  try {
    platform::posix::placeContent(backup, document, loaded);
  } catch (const platform::posix::ChangedSinceLoad&) {
    return Outcome::ChangedSince;
  }
  return Outcome::Restored;
#endif
}

std::string lineFor(const UndoResult& result, const std::string& reason) {
  const std::string name = text::displayName(result.file);
  switch (result.outcome) {
    case Outcome::Restored:
      return name + " 已恢复为替换前的内容";
    case Outcome::AlreadyOriginal:
      return name + " 已是替换前的内容";
    case Outcome::ChangedSince:
      return name + " 已在替换后被修改，未恢复";
    case Outcome::Missing:
      return name + " 已不存在，未恢复";
    case Outcome::NoBackup:
      return name + " 的备份已缺失或被改动，未恢复";
    case Outcome::Failed:
      break;
  }
  return name + " 恢复失败：" + reason;
}

}  // namespace

void setBeforeRestoreForTesting(std::function<void(const std::filesystem::path&)> hook) {
  beforeRestore() = std::move(hook);
}

bool undoBackup(const std::string& backupFolder,
                const std::function<void(const UndoResult&)>& report) {
  const Manifest manifest = readManifest(backupFolder);
  bool all = true;
  for (const ManifestEntry& entry : manifest.files) {
    UndoResult result;
    result.file = entry.file;
    std::string reason;
    std::string note;
    try {
      result.outcome = restore(text::pathFromUtf8(backupFolder) / text::pathFromUtf8(entry.file),
                               text::pathFromUtf8(manifest.folder) / text::pathFromUtf8(entry.file),
                               entry, note);
    } catch (const std::system_error& e) {
      result.outcome =
          e.code() == std::errc::no_such_file_or_directory ? Outcome::Missing : Outcome::Failed;
      reason = text::errorText(e.code()) + "，文件未改动";
    } catch (const std::runtime_error& e) {
      reason = std::string(e.what()) + "，文件未改动";
    }
    result.line = lineFor(result, reason) + note;
    all = all && !result.left();
    report(result);
  }
  return all;
}

}  // namespace replace
