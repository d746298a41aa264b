#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replace/rules_file.h"
#include "replace/workbook_rules.h"
#include "support/fixtures.h"
#include "support/recording_server.h"

namespace {

using namespace std::string_literals;

TEST(RulesFile, GivesPairsInOrderOrNamesItsBadLine) {
  using Pairs = std::vector<replace::ReplacePair>;
  // GBK: 旧 BE C9, 新 D0 C2, 甲 BC D7.
  const std::string gbk = "\xBE\xC9\t\xD0\xC2\r\n\xBC\xD7,x\t\xBE\xC9\r\n";
  struct Case {
    std::string content;
    Pairs pairs;
    std::string error;
    std::string name = "rules.txt";
    std::string codeset = "UTF-8";
  };
  const std::string kWorkbookRules =
      "规则文件是工作簿或文档，却不以 .xls 或 .xlsx 结尾：请改正文件名，或在表格软件中另存为 "
      "CSV（逗号分隔）或文本文件（制表符分隔）";
  const std::vector<Case> cases = {
      {"旧\t新\n", {{"旧", "新"}}, ""},
      {"\xEF\xBB\xBF# 注释\r\n\r\na\tb\r\nb\t\nc\td\te\n",
       {{"a", "b"}, {"b", ""}, {"c", "d\te"}},
       ""},
      {"a\tb", {{"a", "b"}}, ""},
      {"a\tb\n\nno tab here\n", {}, "规则文件第 3 行没有制表符分隔原内容和新内容"},
      {"# x\n\tnew\n", {}, "规则文件第 2 行的原内容为空"},
      {"# only comments\n\n", {}, "规则文件中没有规则"},
      {"a\tb\n旧\0x\t新\n"s, {}, "规则文件第 2 行含有控制字符 U+0000，规则中只允许制表符"},
      {"# \0 in a comment\na\tb\x01\r\n"s,
       {},
       "规则文件第 2 行含有控制字符 U+0001，规则中只允许制表符"},
      {"a\rb\tc\n", {}, "规则文件第 1 行含有控制字符 U+000D，规则中只允许制表符"},
      {"a\tb\x7f", {}, "规则文件第 1 行含有控制字符 U+007F，规则中只允许制表符"},
      {"a\t\xC2\x85\n", {}, "规则文件第 1 行含有控制字符 U+0085，规则中只允许制表符"},
      {"a\t\xC2\xA0"
       "b\n",
       {{"a",
         "\xC2\xA0"
         "b"}},
       ""},
      {"", {}, "规则文件中没有规则"},
      // The system's code page, where the text is no UTF-8.
      {gbk, {{"旧", "新"}, {"甲,x", "旧"}}, "", "rules.txt", "GBK"},
      {gbk, {}, "规则文件第 1 行不是 UTF-8 文字"},
      {"a\tb\n#\n\xBE\tc\n",
       {},
       "规则文件第 3 行既不是 UTF-8，也不是本机代码页 GBK 的文字",
       "r",
       "GBK"},
      {"\xEF\xBB\xBF旧\t新\n\xBE\xC9\tx\n", {}, "规则文件第 2 行不是有效的 UTF-8 文字"},
      // UTF-16, either way round, from its BOM.
      {testsupport::utf16WithBom(u"# 注释\r\n旧\t新\r\n甲\t\U0002000B\r\n", true),
       {{"旧", "新"}, {"甲", "\U0002000B"}},
       ""},
      {testsupport::utf16WithBom(u"\"旧\",新\n甲,\"乙\"\"\"\n", false),
       {{"旧", "新"}, {"甲", "乙\""}},
       ""},
      {testsupport::utf16WithBom(u"a\tb\n" + std::u16string(1, u'\xD800') + u"\tc\n", true),
       {},
       "规则文件第 2 行不是有效的 UTF-16 文字"},
      {testsupport::utf16WithBom(u"a\tb\nc\td", true) + "x",
       {},
       "规则文件第 2 行不是完整的 UTF-16 文字"},
      {testsupport::utf16WithBom(u"a\nb\tc\n", true),
       {},
       "规则文件第 1 行没有制表符分隔原内容和新内容"},
      // CSV: no tab but commas, or a *.csv name; RFC 4180 quotes.
      {"\xEF\xBB\xBF\"旧,名\",新\r\n\"say \"\"hi\"\"\",x,,\r\nplain,\r\n",
       {{"旧,名", "新"}, {"say \"hi\"", "x"}, {"plain", ""}},
       ""},
      {"a\tb,c\n\"d\",\"\"\n", {{"a\tb", "c"}, {"d", ""}}, "", "规则.CSV"},
      {"# 注释\n\"x\",y\nz\n", {}, "规则文件第 3 行没有逗号分隔原内容和新内容"},
      {"a,b\n\"open,x\nmore\n", {}, "规则文件第 2 行的引号没有结束"},
      {"a,b,c\n", {}, "规则文件第 1 行多于两列"},
      {"a,b\n\"a\"x,b\n", {}, "规则文件第 2 行的引号后面不是逗号或行尾"},
      {"\"two\r\nlines\",b\n", {}, "规则文件第 1 行引号中的内容不能换行"},
      {",b\n", {}, "规则文件第 1 行的原内容为空"},
      // A sheet's empty rows, saved as tabs or commas only, are no rules.
      {"a\tb\n\t\n\t\t\r\nc\td\n", {{"a", "b"}, {"c", "d"}}, ""},
      {"a,b\r\n,\r\n,,\r\n\"\",\r\nc,d\r\n", {{"a", "b"}, {"c", "d"}}, ""},
      {"a,b\n\"two\nlines\",c\n", {}, "规则文件第 2 行引号中的内容不能换行"},
      // UTF-8 beside GBK: neither reading of the whole is right.
      {"旧\t新\n\xBC\xD7\t\xD2\xD2\n",
       {},
       "规则文件第 2 行不是 UTF-8 文字，而第 1 行是：文件混用了两种编码",
       "r",
       "GBK"},
      // A workbook (zip or OLE2) is told apart from text.
      {"PK\x03\x04\x14\0\0\0"s, {}, kWorkbookRules, "rules.txt"},
      {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"s, {}, kWorkbookRules, "rules.csv"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.content);
    if (c.error.empty()) {
      EXPECT_EQ(replace::parseRules(c.content, c.name, c.codeset), c.pairs);
    } else {
      try {
        replace::parseRules(c.content, c.name, c.codeset);
        ADD_FAILURE() << "accepted";
      } catch (const replace::RulesError& e) {
        EXPECT_EQ(std::string(e.what()), c.error);
      }
    }
  }
}

// A workbook's first sheet, read through the spreadsheet server of the
// suite: opened read-only, closed unsaved, the server let go whatever
// happened.
TEST(RulesFile, WorkbookGivesColumnsAAndBOfItsFirstSheet) {
  using testsupport::FakeCell;
  using testsupport::FakeSheet;
  using Kind = FakeCell::Kind;
  const std::string path = "/rules/规则.xlsx";
  const FakeSheet other{"Other", {"not", "read"}, false, {}, {"x", "y"}};
  struct Case {
    std::string label;
    std::optional<FakeSheet> first;  // none: no such file
    std::vector<replace::ReplacePair> pairs;
    std::string error;
    replace::ServerChoice suite = replace::kWordServer;
    std::string served = "excel.application";  // the one server there is; "" for none
    int errorValueAt = 0;  // this Value2 read (1-based) fails as an error value does
  };
  const std::vector<Case> cases = {
      {"texts, numbers and dates as shown; empty rows and notes skipped",
       FakeSheet{"S",
                 {"", "", "# 原内容", "旧", "", FakeCell(Kind::Number, "2025"),
                  FakeCell(Kind::Date, "2024/1/5")},
                 false,
                 {},
                 {"", "", "新内容", "新", "", FakeCell(Kind::Number, "2026"), ""}},
       {{"旧", "新"}, {"2025", "2026"}, {"2024/1/5", ""}},
       ""},
      {"WPS's spreadsheet server, by its older name",
       FakeSheet{"S", {"a"}, false, {}, {"b"}},
       {{"a", "b"}},
       "",
       replace::kWpsServer,
       "KET.Application"},
      {"an empty find cell, named by its row",
       FakeSheet{"S", {"", "a", "", ""}, false, {}, {"", "b", "", "c"}},
       {},
       "规则工作簿第 4 行的原内容（A 列）为空"},
      {"a date too wide for its column",
       FakeSheet{"S", {"a", FakeCell(Kind::Date, "########")}, false, {}, {"b", "c"}},
       {},
       "规则工作簿第 2 行的单元格显示为 ########：请加宽这一列，或把它设为文本格式"},
      {"a line break in a cell",
       FakeSheet{"S", {"a"}, false, {}, {"b\nc"}},
       {},
       "规则工作簿第 1 行含有控制字符 U+000A（例如单元格内换行）"},
      {"an empty sheet", FakeSheet{"S", {}}, {}, "规则工作簿的第一个工作表中没有规则"},
      {"a used range too long to read",
       FakeSheet{"S", std::vector<FakeCell>(5001, "x")},
       {},
       "规则工作簿的第一个工作表用到了 5001 行，多于 5000 行：请把规则复制到一个新工作簿"},
      {"an error value",
       FakeSheet{"S", {"a", "b"}, false, {}, {"c", "d"}},
       {},
       "规则工作簿第 2 行的单元格是错误值，不是文字",
       replace::kWordServer,
       "excel.application",
       4},
      {"a file the server cannot open",
       std::nullopt,
       {},
       "无法读取规则工作簿 " + path + "，错误代码：1004错误描述：找不到文件"},
      {"no spreadsheet server",
       FakeSheet{"S", {"a"}},
       {},
       "无法读取规则工作簿：无法启动办公软件：excel.application，错误代码：429错误描述：" +
           std::string(office::kCannotCreateText),
       replace::kWordServer,
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.label);
    testsupport::FakeOffice office;
    office::ServerRegistry servers;
    if (!c.served.empty()) office.serve(servers, c.served);
    if (c.errorValueAt > 0) {
      office.failCall("Cell.Value2", office::kErrTypeMismatch, "类型不匹配", c.errorValueAt);
    }
    if (c.first) office.workbooks[path] = {*c.first, other};
    try {
      EXPECT_EQ(replace::readWorkbookRules(servers, c.suite, path), c.pairs);
      EXPECT_TRUE(c.error.empty());
    } catch (const replace::RulesError& e) {
      EXPECT_EQ(std::string(e.what()), c.error);
    }
    const bool opened = !c.served.empty() && c.first;
    EXPECT_EQ(office.callsContaining("ReadOnly:=True").size(), c.served.empty() ? 0u : 1u);
    EXPECT_EQ(office.callsContaining("Workbook.Close(False)").size(), opened ? 1u : 0u);
    EXPECT_TRUE(office.saved.empty());
    EXPECT_EQ(office.alive, 0);
  }
}

}  // namespace
