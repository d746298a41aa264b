// Letter case as the office servers ignore it when told not to match case:
// Latin (also full-width), Greek and Cyrillic capitals read as their small
// letters. Used where a replacement is made by the program itself, so that it
// replaces exactly the occurrences the server found.
#pragma once

#include <string>
#include <string_view>

namespace text {

// ASCII letter case, for names the system compares so (member names, file
// patterns, code pages, container part names); other bytes stay as they are.
constexpr char asciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string asciiLowered(std::string_view s);
bool sameIgnoringAsciiCase(std::string_view a, std::string_view b);

// One code point as letter case is ignored: a capital of those letters reads
// as its small letter, anything else as itself. For callers that must tell
// where in their own text an occurrence lies.
char32_t foldedLetter(char32_t c);

// Every occurrence of what in text, letter case ignored, replaced by with,
// left to right, each once: a replacement holding what is not searched again.
std::string replacedIgnoringCase(const std::string& text, const std::string& what,
                                 const std::string& with);

bool containsIgnoringCase(const std::string& text, const std::string& what);

// The same with letter case matched when matchCase is set, as a server told
// MatchCase replaces.
std::string replacedAll(const std::string& text, const std::string& what, const std::string& with,
                        bool matchCase);
bool containsText(const std::string& text, const std::string& what, bool matchCase);

}  // namespace text
