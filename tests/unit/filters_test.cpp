#include "office/libreoffice/filters.h"

#include <gtest/gtest.h>

namespace {

using office::libreoffice::isDocumentFilter;
using office::libreoffice::isWorkbookFilter;
using office::libreoffice::isWritableFilter;

// The filter configuration's flag bits, as the office's own configuration
// spells the filters this program meets.
constexpr std::int32_t IMPORT = 0x1, EXPORT = 0x2, TEMPLATE = 0x4, ALIEN = 0x40,
                       PREFERRED = 0x10000000;

TEST(Filters, OnlyFiltersThatCanWriteTheirFormatBackAreWritable) {
  struct Case {
    const char* filter;
    std::int32_t flags;
    bool writable;
  };
  const Case cases[] = {
      {"MS Excel 95", IMPORT | ALIEN | PREFERRED, false},
      {"MS Excel 95 Vorlage/Template", IMPORT | ALIEN | TEMPLATE, false},
      {"MS WinWord 6.0", IMPORT | ALIEN, false},
      {"Calc MS Excel 2007 Binary", IMPORT | ALIEN, false},
      {"MS Excel 97", IMPORT | EXPORT | ALIEN | PREFERRED, true},
      {"MS Word 97", IMPORT | EXPORT | ALIEN | PREFERRED, true},
      {"an export-only filter", EXPORT | ALIEN, true},
  };
  for (const Case& c : cases) EXPECT_EQ(isWritableFilter(c.flags), c.writable) << c.filter;
}

TEST(Filters, EachServerOpensItsOwnKindOfFormatOnly) {
  struct Case {
    const char* filter;
    bool document;
    bool workbook;
  };
  const Case cases[] = {
      {"MS Word 97", true, false},
      {"MS Word 2007 XML", true, false},
      {"MS Word 2007 XML VBA", true, false},
      {"MS WinWord 6.0", true, false},
      {"writer8", true, false},
      {"Rich Text Format", false, false},
      {"Text (encoded)", false, false},
      {"HTML (StarWriter)", false, false},
      {"MS Excel 97", false, true},
      {"MS Excel 95", false, true},
      {"Calc MS Excel 2007 XML", false, true},
      {"Calc MS Excel 2007 VBA XML", false, true},
      {"Calc MS Excel 2007 Binary", false, true},
      {"calc8", false, true},
      {"Text - txt - csv (StarCalc)", false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isDocumentFilter(c.filter), c.document) << c.filter;
    EXPECT_EQ(isWorkbookFilter(c.filter), c.workbook) << c.filter;
  }
}

}  // namespace
