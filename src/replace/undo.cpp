#include "replace/undo.h"

#include <filesystem>
#include <system_error>

#include "replace/digest.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include "platform/posix/safe_store.h"
#endif

namespace replace {

namespace fs = std::filesystem;

namespace {

using Outcome = UndoResult::Outcome;

// The file's content is what the run wrote: its original takes its place,
// written as every store of the program is. Else the outcome that says why
// not. Throws std::runtime_error when the restore itself fails.
Outcome restore(const fs::path& backup, const fs::path& document, const ManifestEntry& entry) {
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
  // A copy beside the document takes its place; ReplaceFile keeps the
  // document's attributes, security and streams.
  const fs::path copy = document.parent_path() / (L".~rv" + std::to_wstring(GetCurrentProcessId()) +
                                                  L"-" + document.filename().wstring());
  if (!CopyFileW(backup.c_str(), copy.c_str(), TRUE)) {
    throw std::runtime_error(text::windowsErrorText(GetLastError()));
  }
  if (!ReplaceFileW(document.c_str(), copy.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                    nullptr, nullptr)) {
    const DWORD error = GetLastError();
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT(_2): the document's name may be free
    // by now; the copy of the original takes it rather than going.
    if ((error == 1176 || error == 1177) &&
        MoveFileExW(copy.c_str(), document.c_str(), MOVEFILE_WRITE_THROUGH)) {
      return Outcome::Restored;
    }
    DeleteFileW(copy.c_str());
    throw std::runtime_error(text::windowsErrorText(error));
  }
#else
  // Taken before the digest: a change between the check and the placement
  // is seen by the placement, which then writes nothing.
  const platform::posix::LoadedFile loaded = platform::posix::loadedFile(document);
  now = fileDigest(document);
  if (now == entry.original) return Outcome::AlreadyOriginal;
  if (now != entry.written) return Outcome::ChangedSince;
  try {
    platform::posix::placeContent(backup, document, loaded);
  } catch (const platform::posix::ChangedSinceLoad&) {
    return Outcome::ChangedSince;
  }
#endif
  return Outcome::Restored;
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
  return name + " 恢复失败：" + reason + "，文件未改动";
}

}  // namespace

bool undoBackup(const std::string& backupFolder,
                const std::function<void(const UndoResult&)>& report) {
  const Manifest manifest = readManifest(backupFolder);
  bool all = true;
  for (const ManifestEntry& entry : manifest.files) {
    UndoResult result;
    result.file = entry.file;
    std::string reason;
    try {
      result.outcome =
          restore(text::pathFromUtf8(backupFolder) / text::pathFromUtf8(entry.file),
                  text::pathFromUtf8(manifest.folder) / text::pathFromUtf8(entry.file), entry);
    } catch (const std::system_error& e) {
      result.outcome =
          e.code() == std::errc::no_such_file_or_directory ? Outcome::Missing : Outcome::Failed;
      reason = text::errorText(e.code());
    } catch (const std::runtime_error& e) {
      reason = e.what();
    }
    result.line = lineFor(result, reason);
    all = all && !result.left();
    report(result);
  }
  return all;
}

}  // namespace replace
