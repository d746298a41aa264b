// Texts the system gives (error messages) as UTF-8, and UTF-16 for the
// Windows API. On Windows the narrow (ANSI) forms are never used: their bytes
// are in the ANSI code page, not UTF-8, and lose what it cannot hold.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace text {

// The system's own description of an error, in UTF-8.
std::string errorText(const std::error_code& error);
// The C library's description of an errno value, in UTF-8.
std::string errnoText(int error);

#ifdef _WIN32
std::wstring wideFromUtf8(std::string_view utf8);
std::string utf8FromWide(std::wstring_view wide);
// The system's description of a Windows error code (FormatMessageW), without
// the trailing line break; "错误 N" when the system has none.
std::string windowsErrorText(unsigned long code);
#endif

}  // namespace text
