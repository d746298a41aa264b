#include "platform/windows/checked_replace.h"

#include <windows.h>

#include <stdexcept>
#include <string>

#include "text/system_text.h"

namespace platform::windows {

namespace fs = std::filesystem;

namespace {

// The content taken aside goes back to the document's name, over the copy.
bool putBack(const fs::path& document, const fs::path& former) {
  return ReplaceFileW(document.c_str(), former.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                      nullptr, nullptr) ||
         MoveFileExW(former.c_str(), document.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
}

}  // namespace

CheckedReplace replaceChecked(const fs::path& document, const fs::path& source,
                              const std::function<bool(const fs::path&)>& expected,
                              fs::path& aside) {
  // Named after our process, beside the document: a killed run's are told
  // apart from another's.
  const std::wstring tag = L".~rv" + std::to_wstring(GetCurrentProcessId()) + L"-";
  const fs::path copy = document.parent_path() / (tag + document.filename().wstring());
  const fs::path former = document.parent_path() / (tag + L"was-" + document.filename().wstring());
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
      return CheckedReplace::KeptAside;
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
  if (!putBack(document, former)) {
    aside = former;
    return CheckedReplace::KeptAside;
  }
  if (!why.empty()) throw std::runtime_error(why);
  return CheckedReplace::Refused;
}

}  // namespace platform::windows
