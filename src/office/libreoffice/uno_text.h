// UTF-8 at our side, OUString at UNO's.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include <rtl/ustring.hxx>

namespace office::libreoffice {

using rtl::OString;
using rtl::OUString;

// A document file that is not there (Word's code for it).
inline constexpr std::int32_t kErrFileNotFound = 5174;

inline OUString toOUString(std::string_view utf8) {
  return OUString(utf8.data(), static_cast<sal_Int32>(utf8.size()), RTL_TEXTENCODING_UTF8);
}

inline std::string toUtf8(const OUString& text) {
  OString bytes = OUStringToOString(text, RTL_TEXTENCODING_UTF8);
  return std::string(bytes.getStr(), static_cast<std::size_t>(bytes.getLength()));
}

}  // namespace office::libreoffice
