// A rules file: pairs of an old text and its new text, applied in order.
// Read whole and refused, naming its line, before any document is touched.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace replace {

// One old text and its new text.
struct ReplacePair {
  std::string find;
  std::string replace;
  bool operator==(const ReplacePair&) const = default;
};

// A rules file that cannot be read, or a line of it that is no pair; what()
// is the one-line reason, naming the line.
class RulesError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The first control character of text other than the tab, as "U+000A"; empty
// when it holds none. Such a character is never taken into a rule: it would
// be written into the documents as it is.
std::string controlCharacterIn(std::string_view text);

// The pairs of a rules file's content, in order. The text is UTF-8 (with or
// without a BOM), UTF-16 with a BOM, or else in codeset (the system's code
// page, GBK on a Chinese system). Each line is "old<TAB>new"; a file whose
// lines hold no tab (or one named *.csv) is CSV, with RFC 4180 quoting. Empty
// lines and lines beginning with '#' are skipped; no control character but
// the tab is taken. Throws RulesError.
std::vector<ReplacePair> parseRules(std::string_view content, std::string_view fileName = {},
                                    const std::string& codeset = "UTF-8");

// The same, read from the file at path (UTF-8).
std::vector<ReplacePair> readRulesFile(const std::string& path, const std::string& codeset);

}  // namespace replace
