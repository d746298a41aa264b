// Which texts the office would read as something else when it replaces a
// cell's text as typed input, the replacement the program makes itself where
// it must, and cell addresses as Excel writes them. No office is asked: these
// are rules on texts alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace office::libreoffice {

// The cells whose text begins with what makes typed input a formula or a
// sign, as the office's regular expression search finds them.
constexpr const char* kLeadingMarkPattern =
    "^[ \\x{3000}]*[-=+@'\\x{2212}\\x{FF1D}\\x{FF0B}\\x{FF0D}]";

// True when the office, reading text as typed input, could take it for
// something else: a number (also "00123", "123-", "1e5", "¥100", "５"), a
// date or time ("2024-01-05", "1/2", "2024年1月5日", "10:30"), a boolean, a
// formula, or a text marked by an apostrophe. Judged on the characters alone,
// erring on the side of "could": a text that holds any character no such
// input is made of (a Chinese word, say) and begins with no mark is read as
// text.
bool couldReadAsOtherThanText(const std::string& utf8);

// True when every cell the replacement by with changes stays text whatever
// else it holds, but for a mark it begins with: with holds a character no
// number, date or boolean is typed with, and begins with no mark.
bool replacementKeepsText(const std::string& with);

// A text cell's new text, replaced as the office's search found it; nullopt
// when the program finds nothing to replace in it (the office's matching
// then decides, in its own replacement).
std::optional<std::string> replacedText(const std::string& old, const std::string& what,
                                        const std::string& with, bool matchCase, bool wholeCell);

// A formula with what replaced outside the paths of its links to other files
// ('file:///…/book.xls'#$Sheet1.A1): a path says where the linked workbook
// is, and is no text of the sheet; nullopt when what is nowhere else.
std::optional<std::string> replacedOutsideLinks(const std::string& formula, const std::string& what,
                                                const std::string& with, bool matchCase,
                                                bool wholeCell);

// "$C$5", as Excel writes a cell's absolute address.
std::string cellAddress(std::int32_t column, std::int32_t row);

// The column and row of "$C$5" (or "C5"); nullopt when it is no cell's.
std::optional<std::pair<std::int32_t, std::int32_t>> parseCellAddress(std::string_view text);

}  // namespace office::libreoffice
