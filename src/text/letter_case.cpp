#include "text/letter_case.h"

#include <utility>
#include <vector>

namespace text {

std::string asciiLowered(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = asciiLower(c);
  return out;
}

bool sameIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (asciiLower(a[i]) != asciiLower(b[i])) return false;
  }
  return true;
}

namespace {

// One code point of UTF-8 at at, moving at past it; a byte that begins no
// sequence stands for itself.
char32_t nextCodePoint(const std::string& text, std::size_t& at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  const std::size_t length = lead < 0x80    ? 1
                             : lead >= 0xF0 ? 4
                             : lead >= 0xE0 ? 3
                             : lead >= 0xC0 ? 2
                                            : 1;
  if (length == 1 || at + length > text.size()) {
    ++at;
    return lead;
  }
  char32_t c = lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) c = (c << 6) | (byte(at + i) & 0x3F);
  at += length;
  return c;
}

// The code points of text, folded, with the byte offset each begins at
// (and one more entry: the end).
std::pair<std::u32string, std::vector<std::size_t>> foldedText(const std::string& text) {
  std::u32string points;
  std::vector<std::size_t> offsets;
  for (std::size_t at = 0; at < text.size();) {
    offsets.push_back(at);
    points.push_back(foldedLetter(nextCodePoint(text, at)));
  }
  offsets.push_back(text.size());
  return {points, offsets};
}

}  // namespace

char32_t foldedLetter(char32_t c) {
  if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
      (c >= 0x391 && c <= 0x3AB) || (c >= 0x410 && c <= 0x42F)) {
    return c + 0x20;
  }
  if (c >= 0xFF21 && c <= 0xFF3A) return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) return c + 0x50;
  // Latin Extended-A pairs a capital with the small letter after it; the
  // capital is even up to U+0137 and from U+014A, odd in between and from
  // U+0179 (İ, ı, ĸ, ŉ and ſ have no partner here).
  if (((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) &&
      c % 2 == 0) {
    return c + 1;
  }
  if (((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) && c % 2 == 1) return c + 1;
  if (c == 0x178) return 0xFF;  // Ÿ
  return c;
}

// Every occurrence of what in text, letter case ignored, replaced by with,
// left to right, each once: a replacement holding what is not searched again.
std::string replacedIgnoringCase(const std::string& text, const std::string& what,
                                 const std::string& with) {
  const auto [points, offsets] = foldedText(text);
  const std::u32string needle = foldedText(what).first;
  if (needle.empty()) return text;
  std::string result;
  std::size_t copied = 0;  // code points of text already in result
  for (std::size_t at = points.find(needle); at != std::u32string::npos;
       at = points.find(needle, at + needle.size())) {
    result.append(text, offsets[copied], offsets[at] - offsets[copied]);
    result += with;
    copied = at + needle.size();
  }
  result.append(text, offsets[copied], std::string::npos);
  return result;
}

bool containsIgnoringCase(const std::string& text, const std::string& what) {
  return foldedText(text).first.find(foldedText(what).first) != std::u32string::npos;
}

std::string replacedAll(const std::string& text, const std::string& what, const std::string& with,
                        bool matchCase) {
  if (!matchCase) return replacedIgnoringCase(text, what, with);
  if (what.empty()) return text;
  std::string result;
  std::size_t from = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, from)) {
    result.append(text, from, at - from).append(with);
    from = at + what.size();
  }
  return result.append(text, from, std::string::npos);
}

bool containsText(const std::string& text, const std::string& what, bool matchCase) {
  return matchCase ? text.find(what) != std::string::npos : containsIgnoringCase(text, what);
}

}  // namespace text
