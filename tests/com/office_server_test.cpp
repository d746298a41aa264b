// Form1 driven headless on Windows with the real COM backend against our
// out-of-process test office (ravelsk_test_office.exe, beside this program,
// registered in the Wine prefix the tests run in): start-up, both runs, the
// journal in the ANSI code page, and a server that dies in the middle.
#include <windows.h>

#include <algorithm>

#include <gtest/gtest.h>

#include "com/test_office.h"
#include "office/com/com_backend.h"
#include "support/fixtures.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace {

namespace fs = std::filesystem;
using testsupport::joinPath;
using testsupport::readFile;
using testsupport::WindowRig;
using text::pathFromUtf8;
using text::wideFromUtf8;
using Lines = std::vector<std::string>;

using testoffice::kSettingsKey;

void setSetting(const wchar_t* name, const std::string& value) {
  const std::wstring wide = wideFromUtf8(value);
  RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_SZ, wide.c_str(),
                  static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

void setNumber(const wchar_t* name, DWORD value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_DWORD, &value, sizeof value);
}

Lines linesOf(const std::string& text) {
  Lines lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

class OfficeServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(testoffice::registerServer(), 0u); }

  office::com::Apartment apartment;
  WindowRig rig;
  testsupport::TempFolder logs;
  std::string folder;

  OfficeServer() {
    office::com::createThroughCom(rig.servers);
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    setSetting(L"Log", logs.sub("calls.txt"));
  }
  ~OfficeServer() override {
    rig.form.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
  }

  Lines calls() const { return linesOf(readFile(pathFromUtf8(logs.sub("calls.txt")))); }
  void clearCalls() const { fs::remove(pathFromUtf8(logs.sub("calls.txt"))); }
  std::string path(const std::string& name) const { return joinPath(folder, name); }
  std::string onDisk(const std::string& name) const { return readFile(pathFromUtf8(path(name))); }

  // A started window on a folder of the given files, with the run's choice made.
  ui::Form1& prepare(const std::string& sub, const Lines& names, const Lines& contents,
                     int option) {
    folder = rig.work.sub(sub);
    rig.work.mkdir(sub);
    for (std::size_t i = 0; i < names.size(); ++i)
      rig.work.write(sub + "/" + names[i], contents[i]);
    rig.codeset = text::systemCodeset();
    // No start-up: it costs three server processes, and its own test has it.
    rig.programFolder.mkdir("Journal");
    ui::Form1& form = rig.build();
    form.clickOption(option);
    form.openFolder(folder);
    form.Text1.text = "旧";
    form.Text2.text = "新";
    return form;
  }
};

TEST_F(OfficeServer, StartUpFindsAllThreeServersThroughCom) {
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption,
            "1、本机系统提示: 已安装offcce 2007或以上版本 版本号：16.0\r\n"
            "2、系统wps提示:已安装WPS-V8或以下版本 版本号：8.1.0\r\n"
            "3、系统wps提示:已安装WPS-V9或以上版本 版本号：9.1.0");
  for (int n = 1; n <= 4; ++n) EXPECT_TRUE(form.option(n).enabled) << n;
  EXPECT_EQ(calls(), (Lines{
                         "CreateObject(excel.Application)",
                         "Application.Visible = False",
                         "Application.<default>",
                         "Application.Version",
                         "CreateObject(ET.Application)",
                         "Application.Visible = False",
                         "Application.<default>",
                         "Application.Version",
                         "CreateObject(KET.Application)",
                         "Application.Visible = False",
                         "Application.<default>",
                         "Application.Version",
                     }));
  EXPECT_FALSE(fs::exists(rig.journalFile()));
}

TEST_F(OfficeServer, DocumentRunMakesTheCallsOfTheBatchAndWritesTheJournalInTheAnsiCodePage) {
  ui::Form1& form = prepare("文档", {"a.doc", "b.doc"}, {"一个旧字，又一个旧字", "没有"}, 1);
  form.Command1_Click();
  EXPECT_EQ(calls(), (Lines{
                         "CreateObject(word.Application)",
                         "Application.AutomationSecurity = 3&",
                         "Application.DisplayAlerts = 0&",
                         "Application.Documents",
                         "Documents.Open(\"" + path("a.doc") + "\")",
                         "Application.Visible = False",
                         "Document.Content",
                         "Range.Find",
                         "Find.Execute(\"旧\")",
                         "Application.ActiveDocument",
                         "Document.Content",
                         "Range.Find",
                         "Find.Execute(FindText:=\"旧\", ReplaceWith:=\"新\", Replace:=2%)",
                         "Application.Documents",
                         "Documents.Close(True)",
                         "Application.Documents",
                         "Documents.Open(\"" + path("b.doc") + "\")",
                         "Application.Visible = False",
                         "Document.Content",
                         "Range.Find",
                         "Find.Execute(\"旧\")",
                         "Application.Documents",
                         "Documents.Close(False)",
                         "Application.Quit()",
                     }));
  EXPECT_EQ(onDisk("a.doc"), "一个新字，又一个新字");
  EXPECT_EQ(onDisk("b.doc"), "没有");
  EXPECT_EQ(form.Text3.text(), "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\n");

  // "时间：2026/12/8 9:30:05 a.doc 已替换内容" and the second line, in the ANSI
  // code page: GBK under 936, question marks for what 1252 cannot hold.
  std::string expected;
  if (GetACP() == 936) {
    expected =
        "\xCA\xB1\xBC\xE4\xA3\xBA"
        "2026/12/8 9:30:05 a.doc \xD2\xD1\xCC\xE6\xBB\xBB\xC4\xDA\xC8\xDD\r\n"
        "\xCA\xB1\xBC\xE4\xA3\xBA"
        "2026/12/8 9:30:05 b.doc \xC3\xBB\xD5\xD2\xB5\xBD\xCC\xE6\xBB\xBB\xB5\xC4\xC4\xDA\xC8\xDD"
        "\r\n";
  } else if (GetACP() == 1252) {
    expected =
        "???2026/12/8 9:30:05 a.doc ?????\r\n"
        "???2026/12/8 9:30:05 b.doc ????????\r\n";
  } else {
    GTEST_SKIP() << "no journal bytes known for code page " << GetACP();
  }
  EXPECT_EQ(rig.journal(), expected);
  EXPECT_EQ(office::com::ownObjectsAlive(), 0u) << "the server let go of everything of ours";
}

TEST_F(OfficeServer, WorkbookRunHandsTheTextBoxesToTheServerAsObjects) {
  ui::Form1& form =
      prepare("books", {"a.xls"}, {"Sheet1\tx\r\n表二\tan 旧 one\t旧\t=LEN(\"旧\")\r\n"}, 2);
  form.Command2_Click();
  Lines expected{
      "CreateObject(excel.Application)",
      "Application.AutomationSecurity = 3&",
      "Application.DisplayAlerts = False",
      "Application.Workbooks",
      "Workbooks.Open(\"" + path("a.xls") + "\")",
      "Application.Visible = False",
      "Workbook.Worksheets",
      "Worksheets.Count",
  };
  for (int j = 1; j <= 2; ++j) {
    const std::string index = "(ByRef " + std::to_string(j) + "&)";
    expected.insert(expected.end(), {"Workbook.Sheets" + index, "Worksheet.Activate()",
                                     "Workbook.Worksheets" + index, "Workbook.Worksheets" + index,
                                     "Worksheet.Name", "Worksheet.Cells", "Cells.Find(\"旧\")"});
  }
  // The text cells are walked and set by the run, the formula left to Replace.
  expected.insert(
      expected.end(),
      {"Worksheet.Cells",
       "Cells.Find(What:=\"旧\", LookIn:=-4123&, LookAt:=2%, SearchOrder:=1%, MatchCase:=False)",
       "Cell.Address",
       "Cell.HasFormula",
       "Cell.Value2",
       "Cells.FindNext(Obj(Cell $A$1))",
       "Cell.Address",
       "Cell.HasFormula",
       "Cell.Value2",
       "Cells.FindNext(Obj(Cell $A$2))",
       "Cell.Address",
       "Cell.HasFormula",
       "Cells.FindNext(Obj(Cell $A$3))",
       "Cell.Address",
       "Cell.Value = \"'an 新 one\"",
       "Cell.Value = \"'新\"",
       "Worksheet.Cells",
       "Cells.Replace(What:=Obj(\"旧\"), Replacement:=Obj(\"新\"), LookAt:=2%, "
       "SearchOrder:=1%, MatchCase:=False, SearchFormat:=False, ReplaceFormat:=False)",
       "Workbook.Close(True)",
       "Application.Quit()"});
  EXPECT_EQ(calls(), expected);
  EXPECT_EQ(form.Text3.text(), "a.xls-Sheet1没找到替换的内容\r\na.xls-表二已替换内容\r\n");
  EXPECT_EQ(onDisk("a.xls"), "Sheet1\tx\r\n表二\tan 新 one\t新\t=LEN(\"新\")\r\n");
  EXPECT_EQ(office::com::ownObjectsAlive(), 0u);
}

// The test office's Replace re-reads a replaced cell as typed input, as Excel
// and WPS do; on its disk a text that would read as something else keeps its
// apostrophe.
TEST_F(OfficeServer, WorkbookRunKeepsTextCellsTextAgainstAServerThatRereadsThem) {
  ui::Form1& form =
      prepare("books", {"a.xls"},
              {"S\t110101199003071234-旧\t00123-旧\t2024-01-05旧\t1/2旧\t旧=1+1\t3.50旧\t12345\t"
               "=LEN(\"旧旧\")\r\n"},
              2);
  form.Text2.text = "";
  form.Command2_Click();
  EXPECT_EQ(form.Text3.text(), "a.xls-S已替换内容\r\n");
  EXPECT_EQ(onDisk("a.xls"),
            "S\t'110101199003071234-\t'00123-\t'2024-01-05\t'1/2\t'=1+1\t'3.50\t12345\t"
            "=LEN(\"\")\r\n");
}

TEST_F(OfficeServer, AServerKilledAfterTheFirstDocumentIsReplacedByAFreshOne) {
  setSetting(L"KillAt", "Documents.Open");
  setNumber(L"KillNth", 2);
  ui::Form1& form = prepare("docs", {"a.doc", "b.doc", "c.doc"}, {"旧", "旧", "旧"}, 1);
  form.Command1_Click();

  const std::string& status = form.Text3.text();
  const Lines lines = linesOf(status);
  ASSERT_EQ(lines.size(), 3u) << status;
  EXPECT_EQ(lines[0], "a.doc 已替换内容\r");
  EXPECT_EQ(lines[1].rfind("b.doc 处理失败，错误代码：", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "c.doc 已替换内容\r");
  const std::size_t codeAt = lines[1].find("：") + std::string("：").size();
  const std::int32_t code = std::stoi(lines[1].substr(codeAt));
  EXPECT_TRUE(office::isServerGone(code)) << code;

  EXPECT_EQ(onDisk("a.doc"), "新");
  EXPECT_EQ(onDisk("b.doc"), "旧");
  EXPECT_EQ(onDisk("c.doc"), "新");
  const Lines log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "CreateObject(word.Application)"), 2);
  EXPECT_EQ(std::count(log.begin(), log.end(), "<died>"), 1);
  EXPECT_EQ(log.back(), "Application.Quit()");
}

}  // namespace
