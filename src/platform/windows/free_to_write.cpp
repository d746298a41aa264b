#include "platform/windows/free_to_write.h"

#include <windows.h>

#include "text/system_text.h"

namespace platform::windows {

using text::wideFromUtf8;

WriteRefusal writeRefusal(const std::string& path) {
  const std::wstring wide = wideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return WriteRefusal::None;
  }
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) return WriteRefusal::ReadOnly;
  // Opened for writing and shared with nobody, read nor written: it fails
  // when somebody has it open, and when the user may not write it.
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return WriteRefusal::None;
  }
  switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
      return WriteRefusal::ReadOnly;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return WriteRefusal::InUse;
    default:
      return WriteRefusal::None;
  }
}

}  // namespace platform::windows
