#include "text/text_encoding.h"

#include <cerrno>
#include <clocale>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>

#ifdef _WIN32
#include <windows.h>
#else
#include <iconv.h>
#include <langinfo.h>
#endif

#include "text/letter_case.h"

namespace text {

namespace {

// One step of reading UTF-8: how many bytes the next unit takes, and whether
// they are a character. A lead byte followed by its continuation bytes is one
// unit even when its value is no character (an overlong form, a surrogate such
// as an escaped byte of a file name, a value past U+10FFFF), so it becomes one
// '?'; any other byte that is not part of a character is a unit of its own.
struct Unit {
  std::size_t length;
  bool valid;
  char32_t value;
};

Unit nextUnit(std::string_view s, std::size_t i) {
  const auto c = static_cast<unsigned char>(s[i]);
  if (c < 0x80) return {1, true, c};
  const std::size_t n = (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
  if (n == 0 || i + n > s.size()) return {1, false, 0};
  char32_t value = c & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return {1, false, 0};
    value = (value << 6) | (b & 0x3F);
  }
  static constexpr char32_t kShortest[] = {0, 0, 0x80, 0x800, 0x10000};
  const bool valid =
      value >= kShortest[n] && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
  return {n, valid, value};
}

bool isUtf8Name(const std::string& codeset) {
  std::string lower;
  for (char c : codeset) {
    if (c != '-' && c != '_') lower += asciiLower(c);
  }
  return lower == "utf8";
}

#ifndef _WIN32
// A byte of a file name that does not decode is carried as U+DC80..U+DCFF, as
// Python's "surrogateescape" does; in UTF-8 that is ED B2 80 .. ED B3 BF.
void appendEscape(std::string& out, unsigned char byte) {
  out += '\xED';
  out += static_cast<char>(0xB0 | (byte >> 6));
  out += static_cast<char>(0x80 | (byte & 0x3F));
}

bool isEscape(const Unit& unit) {
  return unit.length == 3 && unit.value >= 0xDC80 && unit.value <= 0xDCFF;
}

bool isAscii(std::string_view s) {
  for (char c : s) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}
#endif

}  // namespace

std::u16string utf16FromUtf8(std::string_view utf8) {
  std::u16string out;
  for (std::size_t i = 0; i < utf8.size();) {
    const Unit unit = nextUnit(utf8, i);
    i += unit.length;
    const char32_t c = unit.valid ? unit.value : U'\uFFFD';
    if (c < 0x10000) {
      out.push_back(static_cast<char16_t>(c));
    } else {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
  return out;
}

std::optional<std::string> utf8FromUtf16(std::u16string_view utf16) {
  std::string out;
  out.reserve(utf16.size() * 3);
  for (std::size_t i = 0; i < utf16.size(); ++i) {
    char32_t c = utf16[i];
    if (c >= 0xDC00 && c <= 0xDFFF) return std::nullopt;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 == utf16.size() || utf16[i + 1] < 0xDC00 || utf16[i + 1] > 0xDFFF) {
        return std::nullopt;
      }
      c = 0x10000 + ((c - 0xD800) << 10) + (utf16[++i] - 0xDC00);
    }
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else if (c < 0x800) {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      out += static_cast<char>(0xE0 | (c >> 12));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (c >> 18));
      out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

std::size_t invalidUtf8At(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const Unit unit = nextUnit(bytes, i);
    if (!unit.valid) return i;
    i += unit.length;
  }
  return std::string_view::npos;
}

std::string displayName(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const Unit unit = nextUnit(utf8, i);
    if (unit.valid)
      out.append(utf8.substr(i, unit.length));
    else
      out += "\xEF\xBF\xBD";  // U+FFFD
    i += unit.length;
  }
  return out;
}

#ifdef _WIN32

// Windows names are UTF-16 and always decode.
std::filesystem::path pathFromUtf8(std::string_view utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string utf8FromPath(const std::filesystem::path& path) {
  std::u8string s = path.u8string();
  return std::string(s.begin(), s.end());
}

#else

namespace {

class Converter {
 public:
  Converter(const std::string& to, const std::string& from)
      : cd_(iconv_open(to.c_str(), from.c_str())) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const { return cd_ != reinterpret_cast<iconv_t>(-1); }

  // Converts from in[pos], appending to out, up to the first byte that does not
  // convert (or the end); returns the position reached.
  std::size_t convert(std::string_view in, std::size_t pos, std::string& out) {
    char* inPtr = const_cast<char*>(in.data() + pos);
    std::size_t inLeft = in.size() - pos;
    char buf[256];
    while (inLeft > 0) {
      char* outPtr = buf;
      std::size_t outLeft = sizeof buf;
      const std::size_t r = iconv(cd_, &inPtr, &inLeft, &outPtr, &outLeft);
      out.append(buf, static_cast<std::size_t>(outPtr - buf));
      if (r == static_cast<std::size_t>(-1) && errno != E2BIG) break;
    }
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    return in.size() - inLeft;
  }

 private:
  iconv_t cd_;
};

}  // namespace

std::string utf8FromPath(const std::filesystem::path& path) {
  const std::string& bytes = path.native();
  if (isAscii(bytes)) return bytes;
  std::string out;
  out.reserve(bytes.size());
  const std::string codeset = systemCodeset();
  if (isUtf8Name(codeset)) {
    for (std::size_t i = 0; i < bytes.size();) {
      const Unit unit = nextUnit(bytes, i);
      if (unit.valid) {
        out.append(bytes, i, unit.length);
      } else {
        for (std::size_t k = 0; k < unit.length; ++k) {
          appendEscape(out, static_cast<unsigned char>(bytes[i + k]));
        }
      }
      i += unit.length;
    }
    return out;
  }
  Converter decoder("UTF-8", codeset);
  for (std::size_t i = 0; i < bytes.size();) {
    i = decoder.ok() ? decoder.convert(bytes, i, out) : i;
    if (i < bytes.size()) appendEscape(out, static_cast<unsigned char>(bytes[i++]));
  }
  return out;
}

std::filesystem::path pathFromUtf8(std::string_view utf8) {
  if (isAscii(utf8)) return std::filesystem::path(std::string(utf8));
  const std::string codeset = systemCodeset();
  const bool utf8Names = isUtf8Name(codeset);
  std::optional<Converter> encoder;
  if (!utf8Names) encoder.emplace(codeset, "UTF-8");
  std::string out;
  out.reserve(utf8.size());
  for (std::size_t i = 0; i < utf8.size();) {
    const Unit unit = nextUnit(utf8, i);
    const std::string_view piece = utf8.substr(i, unit.length);
    i += unit.length;
    if (isEscape(unit)) {
      out += static_cast<char>(unit.value & 0xFF);
    } else if (utf8Names || !unit.valid || !encoder->ok()) {
      out.append(piece);
    } else if (encoder->convert(piece, 0, out) != piece.size()) {
      // A character the codeset cannot hold names no file listed here; its
      // UTF-8 bytes are as near as a name can get.
      out.append(piece);
    }
  }
  return std::filesystem::path(std::move(out));
}

std::string utf8FromLocale(std::string_view text, int category) {
  if (isAscii(text)) return std::string(text);
  // Each category may name a locale of its own, in its own codeset. glibc
  // converts messages (strerror) to the codeset of LC_CTYPE, but writes dates
  // and times in the codeset of the LC_TIME locale.
  std::string codeset = systemCodeset();
#ifdef __GLIBC__
  if (category == LC_TIME) codeset = nl_langinfo(_NL_TIME_CODESET);
#else
  (void)category;
#endif
  std::string out;
  out.reserve(text.size());
  if (isUtf8Name(codeset) || codeset == "ANSI_X3.4-1968") {
    for (std::size_t i = 0; i < text.size();) {
      const Unit unit = nextUnit(text, i);
      out += unit.valid ? std::string(text.substr(i, unit.length)) : std::string("?");
      i += unit.length;
    }
    return out;
  }
  Converter decoder("UTF-8", codeset);
  for (std::size_t i = 0; i < text.size();) {
    i = decoder.ok() ? decoder.convert(text, i, out) : i;
    if (i < text.size()) {
      out += '?';
      ++i;
    }
  }
  return out;
}

#endif

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

std::optional<std::string> decodeText(std::string_view bytes, const std::string& codeset) {
  UINT page = 0;
  try {
    page = codePageOf(codeset);
  } catch (const std::invalid_argument&) {
    return std::nullopt;
  }
  if (page == CP_UTF8) {
    if (invalidUtf8At(bytes) != std::string_view::npos) return std::nullopt;
    return std::string(bytes);
  }
  if (bytes.empty()) return std::string();
  const int size = static_cast<int>(bytes.size());
  const int n = MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
  if (n <= 0) return std::nullopt;
  std::u16string wide(static_cast<std::size_t>(n), u'\0');
  MultiByteToWideChar(page, MB_ERR_INVALID_CHARS, bytes.data(), size,
                      reinterpret_cast<wchar_t*>(wide.data()), n);
  return utf8FromUtf16(wide);
}

std::string encodeText(std::string_view utf8, const std::string& codeset) {
  std::string out;
  const UINT page = codePageOf(codeset);
  // Without WC_NO_BEST_FIT_CHARS a character the code page lacks is silently
  // written as a look-alike ("：" as ":") and not reported as lost. UTF-8
  // loses nothing and takes neither the flag nor a default.
  const bool whole = page == CP_UTF8;
  const DWORD flags = whole ? 0 : WC_NO_BEST_FIT_CHARS;
  for (std::size_t i = 0; i < utf8.size();) {
    const Unit unit = nextUnit(utf8, i);
    const std::size_t n = unit.length;
    if (!unit.valid) {
      out += '?';
      i += n;
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

std::optional<std::string> decodeText(std::string_view bytes, const std::string& codeset) {
  if (isUtf8Name(codeset)) {
    if (invalidUtf8At(bytes) != std::string_view::npos) return std::nullopt;
    return std::string(bytes);
  }
  Converter decoder("UTF-8", codeset);
  std::string out;
  if (!decoder.ok() || decoder.convert(bytes, 0, out) != bytes.size()) return std::nullopt;
  return out;
}

std::string encodeText(std::string_view utf8, const std::string& codeset) {
  std::string out;
  out.reserve(utf8.size());
  const bool passThrough = isUtf8Name(codeset);
  iconv_t cd = passThrough ? reinterpret_cast<iconv_t>(-1) : iconv_open(codeset.c_str(), "UTF-8");
  const bool haveConverter = cd != reinterpret_cast<iconv_t>(-1);
  for (std::size_t i = 0; i < utf8.size();) {
    const Unit unit = nextUnit(utf8, i);
    const std::size_t n = unit.length;
    if (!unit.valid) {
      out += '?';
      i += n;
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

}  // namespace text
