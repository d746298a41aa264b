// The rules on cell texts, without an office: which texts the office would
// read as something else, and the replacements the program makes itself.
#include "office/libreoffice/cell_text_rules.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

namespace ll = office::libreoffice;

TEST(CellTextRules, TextsTheOfficeWouldReadAsSomethingElse) {
  struct Row {
    std::string text;
    bool couldRead;  // as a number, date, time, boolean or formula
    bool keeps;      // as a replacement, keeps every changed cell text
  };
  const Row rows[] = {
      {"00123", true, false},        {"123-", true, false},   {"1e5", true, false},
      {"¥100", true, false},         {"５", true, false},     {"2024-01-05", true, false},
      {"2024年1月5日", true, false}, {"10:30", true, false},  {"true", true, false},
      {"=1+1", true, false},         {"'abc", true, false},   {"　-x", true, false},
      {"abc", false, false},         {"新公司", false, true}, {"-新", true, false},
      {" 新", false, false},         {"", false, false},      {"1号楼", false, true},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(ll::couldReadAsOtherThanText(r.text), r.couldRead) << r.text;
    EXPECT_EQ(ll::replacementKeepsText(r.text), r.keeps) << r.text;
  }
}

TEST(CellTextRules, ReplacementsTheProgramMakesItself) {
  struct Row {
    std::string old, what, with;
    bool matchCase, wholeCell, formula;
    std::optional<std::string> replaced;
  };
  const Row rows[] = {
      {"ACME acme", "acme", "X", false, false, false, "X X"},
      {"ACME acme", "acme", "X", true, false, false, "ACME X"},
      {"acme", "ACME", "X", false, true, false, "X"},
      {"acme co", "acme", "X", false, true, false, std::nullopt},
      {"nothing", "acme", "X", false, false, false, std::nullopt},
      // A link's path says where the other workbook is: never replaced.
      {"='file:///d/acme/b.xls'#$S.A1&\"acme\"", "acme", "X", false, false, true,
       "='file:///d/acme/b.xls'#$S.A1&\"X\""},
      {"='file:///d/acme/b.xls'#$S.A1", "acme", "X", false, false, true, std::nullopt},
      {"='it''s acme'!A1", "acme", "X", false, false, true, "='it''s X'!A1"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.formula ? ll::replacedOutsideLinks(r.old, r.what, r.with, r.matchCase, r.wholeCell)
                        : ll::replacedText(r.old, r.what, r.with, r.matchCase, r.wholeCell),
              r.replaced)
        << r.old;
  }
}

TEST(CellTextRules, CellAddressesAsExcelWritesThem) {
  const std::pair<std::pair<std::int32_t, std::int32_t>, std::string> rows[] = {
      {{0, 0}, "$A$1"},
      {{25, 9}, "$Z$10"},
      {{26, 0}, "$AA$1"},
      {{701, 4}, "$ZZ$5"},
      {{702, 0}, "$AAA$1"}};
  for (const auto& [cell, address] : rows) {
    EXPECT_EQ(ll::cellAddress(cell.first, cell.second), address);
    EXPECT_EQ(ll::parseCellAddress(address), cell) << address;
  }
  EXPECT_EQ(ll::parseCellAddress("C5"), (std::pair<std::int32_t, std::int32_t>{2, 4}));
  for (const char* bad : {"", "$A", "5", "A0", "a1", "A1B", "$A$1 "}) {
    EXPECT_EQ(ll::parseCellAddress(bad), std::nullopt) << bad;
  }
}

}  // namespace
