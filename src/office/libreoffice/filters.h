// Which of the office's import filters the servers accept: a Word server
// opens word-processing formats and an Excel server spreadsheet formats, and
// only those it can also write back as they were.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace office::libreoffice {

// Plain text, RTF, HTML and the like load too, but writing them back would not
// give the user the document they had.
inline bool isDocumentFilter(const std::string& filter) {
  auto startsWith = [&filter](std::string_view prefix) { return filter.rfind(prefix, 0) == 0; };
  return startsWith("MS Word") || startsWith("MS WinWord") || filter == "Office Open XML Text" ||
         filter == "writer8" || filter == "StarOffice XML (Writer)";
}

inline bool isWorkbookFilter(const std::string& filter) {
  return filter.rfind("MS Excel", 0) == 0 || filter == "Calc MS Excel 2007 XML" ||
         filter == "Calc MS Excel 2007 VBA XML" || filter == "Calc MS Excel 2007 Binary" ||
         filter == "Calc Office Open XML" || filter == "calc8" || filter == "StarOffice XML (Calc)";
}

// The filter configuration's "Flags": IMPORT is 1, EXPORT 2. A filter without
// EXPORT only reads its format (Excel 95, Word 95 and older in this office).
inline bool isWritableFilter(std::int32_t flags) {
  constexpr std::int32_t kExport = 0x00000002;
  return (flags & kExport) != 0;
}

}  // namespace office::libreoffice
