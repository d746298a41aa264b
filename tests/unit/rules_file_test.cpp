#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replace/rules_file.h"
#include "support/fixtures.h"

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
      "规则文件是工作簿或文档，不是文本：请在表格软件中另存为 "
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
      {"PK\x03\x04\x14\0\0\0"s, {}, kWorkbookRules, "rules.xlsx"},
      {"\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1"s, {}, kWorkbookRules, "rules.xls"},
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

}  // namespace
