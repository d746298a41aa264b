#include "replace/text_encoding.h"

#include <cerrno>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <langinfo.h>
#endif

namespace replace {

namespace {

// Length of the UTF-8 sequence starting at s[i], or 0 when it is malformed.
std::size_t sequenceLength(std::string_view s, std::size_t i) {
  auto c = static_cast<unsigned char>(s[i]);
  std::size_t n = c < 0x80           ? 1
                  : (c >> 5) == 0x6  ? 2
                  : (c >> 4) == 0xE  ? 3
                  : (c >> 3) == 0x1E ? 4
                                     : 0;
  if (n == 0 || i + n > s.size()) return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return 0;
  }
  return n;
}

bool isUtf8Name(const std::string& codeset) {
  std::string lower;
  for (char c : codeset) {
    if (c != '-' && c != '_') lower += static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
  }
  return lower == "utf8";
}

}  // namespace

std::filesystem::path pathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8FromPath(const std::filesystem::path& path) {
  std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

#ifdef _WIN32

std::string systemCodeset() {
  return "CP" + std::to_string(GetACP());
}

std::string encodeText(std::string_view utf8, const std::string& codeset) {
  std::string out;
  UINT page = CP_ACP;
  if (isUtf8Name(codeset))
    page = CP_UTF8;
  else if (codeset.rfind("CP", 0) == 0)
    page = static_cast<UINT>(std::stoul(codeset.substr(2)));
  for (std::size_t i = 0; i < utf8.size();) {
    std::size_t n = sequenceLength(utf8, i);
    if (n == 0) {
      out += '?';
      ++i;
      continue;
    }
    wchar_t wide[2];
    int wn = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data() + i,
                                 static_cast<int>(n), wide, 2);
    char bytes[8];
    BOOL lossy = FALSE;
    int bn = wn > 0 ? WideCharToMultiByte(page, 0, wide, wn, bytes, sizeof bytes, nullptr,
                                          page == CP_UTF8 ? nullptr : &lossy)
                    : 0;
    if (bn <= 0 || lossy)
      out += '?';
    else
      out.append(bytes, static_cast<std::size_t>(bn));
    i += n;
  }
  return out;
}

#else

std::string systemCodeset() {
  std::string codeset = nl_langinfo(CODESET);
  if (codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII") return "UTF-8";
  return codeset;
}

std::string encodeText(std::string_view utf8, const std::string& codeset) {
  std::string out;
  out.reserve(utf8.size());
  const bool passThrough = isUtf8Name(codeset);
  iconv_t cd = passThrough ? reinterpret_cast<iconv_t>(-1) : iconv_open(codeset.c_str(), "UTF-8");
  const bool haveConverter = cd != reinterpret_cast<iconv_t>(-1);
  for (std::size_t i = 0; i < utf8.size();) {
    std::size_t n = sequenceLength(utf8, i);
    if (n == 0) {
      out += '?';
      ++i;
      continue;
    }
    if (passThrough || (n == 1 && !haveConverter)) {
      out.append(utf8.substr(i, n));
    } else if (!haveConverter) {
      out += '?';
    } else {
      char in[4];
      utf8.copy(in, n, i);
      char bytes[16];
      char* inPtr = in;
      char* outPtr = bytes;
      std::size_t inLeft = n;
      std::size_t outLeft = sizeof bytes;
      if (iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft) == static_cast<std::size_t>(-1)) {
        out += '?';
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
      } else {
        out.append(bytes, static_cast<std::size_t>(outPtr - bytes));
      }
    }
    i += n;
  }
  if (haveConverter) iconv_close(cd);
  return out;
}

#endif

}  // namespace replace
