#include "office/libreoffice/cell_text_rules.h"

#include <algorithm>

#include "text/letter_case.h"
#include "text/text_encoding.h"

namespace office::libreoffice {

namespace {

// Characters of which typed input that reads as a number, date, time,
// currency or boolean can be made: ASCII, full-width forms, the date and
// time words of Chinese dates, spaces and currency signs.
bool inputCharacter(char16_t c) {
  return (c >= 0x20 && c < 0x7f) || (c >= 0xff01 && c <= 0xff5e) || (c >= 0x20a0 && c <= 0x20cf) ||
         std::u16string_view(
             u"年月日时分秒時午上下\u00a0\u202f\u3000\u2212\u00a2\u00a3\u00a4\u00a5"
             u"\uffe0\uffe1\uffe5\uffe6")
                 .find(c) != std::u16string_view::npos;
}

// What makes typed input a formula, or marks it as text or as a sign.
bool leadingMark(char16_t c) {
  return std::u16string_view(u"=+-@'\u2212\uff1d\uff0b\uff0d").find(c) != std::u16string_view::npos;
}

}  // namespace

bool couldReadAsOtherThanText(const std::string& utf8) {
  const std::u16string text = text::utf16FromUtf8(utf8);
  std::size_t start = 0;
  while (start < text.size() && (text[start] == u' ' || text[start] == u'\u3000')) ++start;
  if (start == text.size()) return false;
  if (leadingMark(text[start])) return true;
  std::u16string word;
  bool digit = false;
  for (char16_t c : text.substr(start)) {
    if (!inputCharacter(c)) return false;
    if ((c >= u'0' && c <= u'9') || (c >= 0xff10 && c <= 0xff19)) digit = true;
    if (c < 0x7f) word.push_back(c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - 0x20) : c);
  }
  return digit || word == u"TRUE" || word == u"FALSE";
}

bool replacementKeepsText(const std::string& with) {
  const std::u16string text = text::utf16FromUtf8(with);
  if (text.empty() || leadingMark(text[0]) || text[0] == u' ' || text[0] == u'\u3000') return false;
  return std::any_of(text.begin(), text.end(), [](char16_t c) { return !inputCharacter(c); });
}

std::optional<std::string> replacedText(const std::string& old, const std::string& what,
                                        const std::string& with, bool matchCase, bool wholeCell) {
  if (wholeCell) {
    const bool same = matchCase ? old == what : text::replacedIgnoringCase(old, what, "") == "";
    return same ? std::optional<std::string>(with) : std::nullopt;
  }
  if (!text::containsText(old, what, matchCase)) return std::nullopt;
  return text::replacedAll(old, what, with, matchCase);
}

std::optional<std::string> replacedOutsideLinks(const std::string& formula, const std::string& what,
                                                const std::string& with, bool matchCase,
                                                bool wholeCell) {
  if (wholeCell) return replacedText(formula, what, with, matchCase, true);
  std::string out;
  bool replaced = false;
  std::size_t from = 0;  // start of the text not yet copied
  const auto copyText = [&](std::size_t to) {
    const std::string piece = formula.substr(from, to - from);
    if (text::containsText(piece, what, matchCase)) {
      out += text::replacedAll(piece, what, with, matchCase);
      replaced = true;
    } else {
      out += piece;
    }
    from = to;
  };
  for (std::size_t at = 0; at < formula.size(); ++at) {
    const char quote = formula[at];
    if (quote != '"' && quote != '\'') continue;
    // A quoted string or name ends at its quote not doubled.
    std::size_t end = at + 1;
    while (end < formula.size() &&
           (formula[end] != quote || (end + 1 < formula.size() && formula[end + 1] == quote))) {
      end += formula[end] == quote ? 2 : 1;
    }
    if (quote == '\'' && end + 1 < formula.size() && formula[end + 1] == '#') {
      copyText(at);
      out += formula.substr(at, end + 2 - at);
      from = end + 2;
    }
    at = end;
  }
  copyText(formula.size());
  return replaced ? std::optional<std::string>(out) : std::nullopt;
}

std::string cellAddress(std::int32_t column, std::int32_t row) {
  std::string letters;
  for (std::int32_t n = column + 1; n > 0; n = (n - 1) / 26) {
    letters.insert(letters.begin(), static_cast<char>('A' + (n - 1) % 26));
  }
  return "$" + letters + "$" + std::to_string(row + 1);
}

std::optional<std::pair<std::int32_t, std::int32_t>> parseCellAddress(std::string_view text) {
  std::int32_t column = 0;
  std::int32_t row = 0;
  std::size_t at = 0;
  if (at < text.size() && text[at] == '$') ++at;
  const std::size_t lettersAt = at;
  for (; at < text.size() && text[at] >= 'A' && text[at] <= 'Z'; ++at) {
    column = column * 26 + (text[at] - 'A' + 1);
  }
  if (at == lettersAt || column > 1 << 20) return std::nullopt;
  if (at < text.size() && text[at] == '$') ++at;
  const std::size_t digitsAt = at;
  for (; at < text.size() && text[at] >= '0' && text[at] <= '9' && row < 1 << 24; ++at) {
    row = row * 10 + (text[at] - '0');
  }
  if (at == digitsAt || at != text.size() || row == 0) return std::nullopt;
  return std::pair{column - 1, row - 1};
}

}  // namespace office::libreoffice
