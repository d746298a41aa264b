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

std::function<void(const fs::path&)>& beforeRestore() {
  static std::function<void(const fs::path&)> hook;
  return hook;
}

// The content another program wrote after the check could not be put back:
// it is kept under the name given.
class KeptAside : public std::runtime_error {
 public:
  explicit KeptAside(const fs::path& aside)
      : std::runtime_error("替换后被修改的内容未能放回，保存在 " + text::utf8FromPath(aside)) {}
};

#ifdef _WIN32
// The document's content, moved to aside by the swap, is what the run wrote:
// aside goes. Else it is put back, and the original with it goes.
Outcome settle(const fs::path& document, const fs::path& aside, const ManifestEntry& entry) {
  if (fileDigest(aside) == entry.written) {
    DeleteFileW(aside.c_str());
    return Outcome::Restored;
  }
  if (!ReplaceFileW(document.c_str(), aside.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                    nullptr, nullptr) &&
      !MoveFileExW(aside.c_str(), document.c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    throw KeptAside(aside);
  }
  return Outcome::ChangedSince;
}
#endif

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
  if (beforeRestore()) beforeRestore()(document);
  // A copy beside the document takes its place, and the document's content
  // moves aside in the same step (ReplaceFile keeps the document's
  // attributes, security and streams): what is checked then is exactly what
  // was replaced, also when another program wrote after the check above.
  const std::wstring tag = L".~rv" + std::to_wstring(GetCurrentProcessId()) + L"-";
  const fs::path copy = document.parent_path() / (tag + document.filename().wstring());
  const fs::path aside = document.parent_path() / (tag + L"was-" + document.filename().wstring());
  if (!CopyFileW(backup.c_str(), copy.c_str(), TRUE)) {
    throw std::runtime_error(text::windowsErrorText(GetLastError()));
  }
  if (ReplaceFileW(document.c_str(), copy.c_str(), aside.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                   nullptr, nullptr)) {
    return settle(document, aside, entry);
  }
  const DWORD error = GetLastError();
  // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the document is aside already, its
  // name free; the original takes it, or the document goes back.
  if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2) {
    if (fileDigest(aside) == entry.written &&
        MoveFileExW(copy.c_str(), document.c_str(), MOVEFILE_WRITE_THROUGH)) {
      DeleteFileW(aside.c_str());
      return Outcome::Restored;
    }
    DeleteFileW(copy.c_str());
    if (!MoveFileExW(aside.c_str(), document.c_str(), MOVEFILE_WRITE_THROUGH)) {
      throw KeptAside(aside);
    }
    if (fileDigest(document) != entry.written) return Outcome::ChangedSince;
    throw std::runtime_error(text::windowsErrorText(error));
  }
  DeleteFileW(copy.c_str());
  throw std::runtime_error(text::windowsErrorText(error));
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
    try {
      result.outcome =
          restore(text::pathFromUtf8(backupFolder) / text::pathFromUtf8(entry.file),
                  text::pathFromUtf8(manifest.folder) / text::pathFromUtf8(entry.file), entry);
    } catch (const std::system_error& e) {
      result.outcome =
          e.code() == std::errc::no_such_file_or_directory ? Outcome::Missing : Outcome::Failed;
      reason = text::errorText(e.code()) + "，文件未改动";
    } catch (const KeptAside& e) {
      reason = e.what();
    } catch (const std::runtime_error& e) {
      reason = std::string(e.what()) + "，文件未改动";
    }
    result.line = lineFor(result, reason);
    all = all && !result.left();
    report(result);
  }
  return all;
}

}  // namespace replace
