#include "platform/windows/checked_replace.h"

#include <windows.h>

#include <stdexcept>
#include <string>
#include <utility>

#include "text/system_text.h"

namespace platform::windows {

namespace fs = std::filesystem;

namespace {

bool present(const fs::path& file) {
  return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Two names beside the document that nothing holds, after our process and a
// counter: a file an earlier undo kept there is never written over.
std::pair<fs::path, fs::path> freeNames(const fs::path& document) {
  const std::wstring name = document.filename().wstring();
  for (int k = 0; k < 1000; ++k) {
    const std::wstring tag =
        L".~rv" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(k) + L"-";
    fs::path copy = document.parent_path() / (tag + name);
    fs::path former = document.parent_path() / (tag + L"was-" + name);
    if (!present(copy) && !present(former)) return {copy, former};
  }
  throw std::runtime_error("文件旁边的临时文件名都已被占用");
}

}  // namespace

CheckedReplace replaceChecked(const fs::path& document, const fs::path& source,
                              const std::function<bool(const fs::path&)>& expected,
                              fs::path& aside) {
  const auto [copy, former] = freeNames(document);
  if (!CopyFileW(source.c_str(), copy.c_str(), TRUE)) {
    throw std::runtime_error(text::windowsErrorText(GetLastError()));
  }
  if (!ReplaceFileW(document.c_str(), copy.c_str(), former.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                    nullptr, nullptr)) {
    const DWORD error = GetLastError();
    DeleteFileW(copy.c_str());
    // ERROR_UNABLE_TO_MOVE_REPLACEMENT_2: the document was moved aside, its
    // name left free. It comes back; the step is not tried further.
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
        !MoveFileExW(former.c_str(), document.c_str(), MOVEFILE_WRITE_THROUGH)) {
      aside = former;
      return CheckedReplace::MovedAside;
    }
    throw std::runtime_error(text::windowsErrorText(error));
  }
  std::string why;
  bool ours = false;
  try {
    ours = expected(former);
  } catch (const std::exception& e) {
    why = e.what();  // what it held cannot be told: it comes back
  }
  if (ours) {
    if (!DeleteFileW(former.c_str())) aside = former;
    return CheckedReplace::Replaced;
  }
  // Back the same way, the copy moved to its own free name, then removed.
  if (!ReplaceFileW(document.c_str(), former.c_str(), copy.c_str(), REPLACEFILE_IGNORE_MERGE_ERRORS,
                    nullptr, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 &&
        MoveFileExW(former.c_str(), document.c_str(), MOVEFILE_WRITE_THROUGH)) {
      // The copy went to its name; the content is back.
    } else {
      aside = former;
      return error == ERROR_UNABLE_TO_MOVE_REPLACEMENT_2 ? CheckedReplace::MovedAside
                                                         : CheckedReplace::KeptAside;
    }
  }
  if (present(copy) && !DeleteFileW(copy.c_str())) aside = copy;
  if (!why.empty()) throw std::runtime_error(why);
  return CheckedReplace::Refused;
}

}  // namespace platform::windows
