#include "replace/text_encoding.h"

#include <cerrno>
#include <memory>
#include <stdexcept>
#include <utility>

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

namespace {

// The Windows code page of a codeset name: "UTF-8", "CPnnn", "windows-nnn"
// and the usual names of the East Asian and Western code pages. Any other
// name is an error: falling back to the ANSI code page would write the
// journal in a code page nobody asked for.
UINT codePageOf(const std::string& codeset) {
  if (isUtf8Name(codeset)) return CP_UTF8;
  std::string upper;
  for (char c : codeset) upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  static const std::pair<const char*, UINT> names[] = {
      {"GBK", 936},       {"GB2312", 936},     {"EUC-CN", 936},  {"BIG5", 950},
      {"SHIFT_JIS", 932}, {"SJIS", 932},       {"EUC-KR", 949},  {"ISO-8859-1", 28591},
      {"LATIN1", 28591},  {"US-ASCII", 20127}, {"ASCII", 20127},
  };
  for (const auto& [name, page] : names) {
    if (upper == name) return page;
  }
  UINT page = 0;
  for (const std::string prefix : {"CP", "WINDOWS-"}) {
    if (upper.rfind(prefix, 0) == 0 && upper.size() > prefix.size() &&
        upper.size() - prefix.size() <= 5 &&
        upper.find_first_not_of("0123456789", prefix.size()) == std::string::npos) {
      page = static_cast<UINT>(std::stoul(upper.substr(prefix.size())));
    }
  }
  if (page == 0 || !IsValidCodePage(page)) {
    throw std::invalid_argument("未知的代码页：" + codeset);
  }
  return page;
}

}  // namespace

std::string encodeText(std::string_view utf8, const std::string& codeset) {
  std::string out;
  const UINT page = codePageOf(codeset);
  // Without WC_NO_BEST_FIT_CHARS a character the code page lacks is silently
  // written as a look-alike ("：" as ":") and not reported as lost. UTF-8
  // loses nothing and takes neither the flag nor a default.
  const bool whole = page == CP_UTF8;
  const DWORD flags = whole ? 0 : WC_NO_BEST_FIT_CHARS;
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
    int bn = wn > 0 ? WideCharToMultiByte(page, flags, wide, wn, bytes, sizeof bytes,
                                          whole ? nullptr : "?", whole ? nullptr : &lossy)
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
