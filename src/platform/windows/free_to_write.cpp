#include "platform/windows/free_to_write.h"

#include <windows.h>

#include "office/automation.h"
#include "text/system_text.h"

namespace platform::windows {

using office::AutomationError;
using office::kErrFailed;
using text::wideFromUtf8;

void requireFreeToWrite(const std::string& path) {
  const std::wstring wide = wideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;  // the office says what is wrong with it
  }
  const AutomationError readOnly(kErrFailed, "文件只读，未作改动");
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) throw readOnly;
  // Opened for writing and shared with nobody, read nor written: it fails
  // when somebody has it open, and when the user may not write it.
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return;
  }
  switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
      throw readOnly;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      throw AutomationError(kErrFailed, "文件正被其他程序使用，未作改动");
    default:
      return;
  }
}

}  // namespace platform::windows
