#include "text/system_text.h"

#include <cstring>

#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace text {

#ifdef _WIN32

std::wstring wideFromUtf8(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int n =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
  return wide;
}

std::string utf8FromWide(std::wstring_view wide) {
  if (wide.empty()) return {};
  const int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr,
                                    0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n,
                      nullptr, nullptr);
  return utf8;
}

std::string windowsErrorText(unsigned long code) {
  wchar_t* buffer = nullptr;
  const DWORD n = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring text = n > 0 && buffer != nullptr ? std::wstring(buffer, n) : std::wstring();
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
    text.pop_back();
  }
  if (text.empty()) return "错误 " + std::to_string(code);
  return utf8FromWide(text);
}

std::string errorText(const std::error_code& error) {
  if (error.category() == std::system_category()) {
    return windowsErrorText(static_cast<unsigned long>(error.value()));
  }
  if (error.category() == std::generic_category()) return errnoText(error.value());
  return error.message();
}

std::string errnoText(int error) {
  wchar_t buffer[256];
  if (_wcserror_s(buffer, 256, error) != 0) return "错误 " + std::to_string(error);
  return utf8FromWide(buffer);
}

#else

// The C library writes its texts in the locale's codeset.
std::string errorText(const std::error_code& error) {
  return utf8FromLocale(error.message());
}

std::string errnoText(int error) {
  return utf8FromLocale(std::strerror(error));
}

#endif

}  // namespace text
