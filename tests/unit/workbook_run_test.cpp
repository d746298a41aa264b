#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using testsupport::FakeOffice;
using testsupport::FakeSheet;
using testsupport::WindowRig;
using Calls = std::vector<std::string>;
using Book = std::vector<FakeSheet>;

class WorkbookRun : public ::testing::Test {
 protected:
  WindowRig rig;
  std::string folder;

  ui::Form1& prepare(const std::vector<std::pair<std::string, Book>>& books, int option = 2) {
    folder = rig.work.sub("books");
    rig.work.mkdir("books");
    for (const auto& [name, sheets] : books) {
      rig.work.write("books/" + name, "on disk");
      rig.office.workbooks[testsupport::joinPath(folder, name)] = sheets;
    }
    ui::Form1& form = rig.build();
    form.Form_Load();
    rig.office.calls.clear();
    rig.office.alive = 0;  // the probes release their servers without quitting them
    form.clickOption(option);
    form.openFolder(folder);
    form.Text1.text = "old";
    form.Text2.text = "new";
    return form;
  }
  std::string path(const std::string& name) const { return testsupport::joinPath(folder, name); }
  Book stored(const std::string& name) { return rig.office.workbooks[path(name)]; }
};

TEST_F(WorkbookRun, ReportsEveryWorksheetAndReplacesOnlyWhereFound) {
  // A server trusted to keep text: the run's calls are Find, then Replace.
  rig.office.serve(rig.servers, "excel.application", {.replaceKeepsText = true});
  ui::Form1& form =
      prepare({{"a.xls", {{"Sheet1", {"x"}}, {"Sheet2", {"an OLD one", "old"}}, {"Sheet3", {}}}}});
  form.Command2_Click();

  Calls expected{
      "CreateObject(excel.application)",
      "Application.AutomationSecurity = 3&",
      "Application.DisplayAlerts = False",
      "Application.Workbooks",
      testsupport::workbookOpenCall(path("a.xls")),
      "Application.Visible = False",
      "Workbook.Worksheets",
      "Worksheets.Count",
  };
  for (int j = 1; j <= 3; ++j) {
    const std::string index = "(ByRef " + std::to_string(j) + "&)";
    expected.insert(expected.end(), {
                                        "Workbook.Sheets" + index,
                                        "Worksheet.Activate()",
                                        "Workbook.Worksheets" + index,
                                        "Workbook.Worksheets" + index,
                                        "Worksheet.Name",
                                        "Worksheet.Cells",
                                        "Cells.Find(\"old\")",
                                    });
    if (j == 2) {
      expected.insert(
          expected.end(),
          {"Worksheet.Cells",
           "Cells.Replace(What:=Obj(\"old\"), Replacement:=Obj(\"new\"), LookAt:=2%, "
           "SearchOrder:=1%, MatchCase:=False, SearchFormat:=False, ReplaceFormat:=False)"});
    }
  }
  expected.insert(expected.end(), {"Workbook.Close(True)", "Application.Quit()"});
  EXPECT_EQ(rig.office.calls, expected);

  EXPECT_EQ(
      testsupport::statusLines(form.Text3.text()),
      "a.xls-Sheet1没找到替换的内容\r\na.xls-Sheet2已替换内容\r\na.xls-Sheet3没找到替换的内容\r\n");
  EXPECT_EQ(form.strRZ, "a.xls-Sheet3没找到替换的内容");
  const std::string journal = rig.journal();
  EXPECT_EQ(journal.substr(journal.find("时间：2026/12/8 9:30:05 a.xls")),
            "时间：2026/12/8 9:30:05 a.xls-Sheet1没找到替换的内容\r\n"
            "时间：2026/12/8 9:30:05 a.xls-Sheet2已替换内容\r\n"
            "时间：2026/12/8 9:30:05 a.xls-Sheet3没找到替换的内容\r\n");
  // Case is the server's affair; the fake ignores it, as Excel does.
  EXPECT_EQ(stored("a.xls"),
            (Book{{"Sheet1", {"x"}}, {"Sheet2", {"an new one", "new"}}, {"Sheet3", {}}}));
  EXPECT_EQ(rig.office.alive, 0);
}

// b.xls is counted as modified by the office from its opening on, and still
// not written: nothing was replaced in it.
TEST_F(WorkbookRun, TwoWorkbooksAreDoneOneAfterTheOtherAndOnlyTheChangedOneSaved) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a-1.xls", {{"S-1", {"old"}}}}, {"b.xls", {{"S", {"none"}}}}});
  rig.office.modifiedOnOpen.insert(path("b.xls"));
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a-1.xls-S-1已替换内容\r\nb.xls-S没找到替换的内容\r\n");
  EXPECT_EQ(rig.office.saved, (Calls{path("a-1.xls")}));
  EXPECT_EQ(rig.office.callsContaining("Workbook.Close"),
            (Calls{"Workbook.Close(True)", "Workbook.Close(False)"}));
  const Calls order = rig.office.callsContaining("Workbook");
  EXPECT_EQ(std::find(order.begin(), order.end(), testsupport::workbookOpenCall(path("b.xls"))) -
                std::find(order.begin(), order.end(), "Workbook.Close(True)"),
            2);  // b.xls is opened right after a-1.xls is closed (Application.Workbooks between)
}

TEST_F(WorkbookRun, AWorkbookWithoutWorksheetsGivesNoLineButIsClosed) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {}}});
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "");
  EXPECT_EQ(rig.office.callsContaining("Close"), (Calls{"Workbook.Close(False)"}));
}

TEST_F(WorkbookRun, AnEmptyListOrNoChoice) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({});
  form.Command2_Click();
  EXPECT_EQ(rig.office.calls.back(), "Application.Quit()");
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "");

  rig.office.calls.clear();
  form.clickOption(1);
  form.Command2_Click();
  EXPECT_TRUE(rig.office.calls.empty());
}

TEST_F(WorkbookRun, TheWpsChoiceFallsBackOn429) {
  FakeOffice::refuse(rig.servers, "ET.Application", 429, "ActiveX 部件不能创建对象");
  rig.office.serve(rig.servers, "KET.Application");
  ui::Form1& form = prepare({{"a.xls", {{"表1", {"old"}}}}}, 4);
  form.Command2_Click();
  EXPECT_EQ(rig.office.callsContaining("CreateObject"), (Calls{"CreateObject(KET.Application)"}));
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "a.xls-表1已替换内容\r\n");
}

TEST_F(WorkbookRun, ExcelThatCannotBeCreatedIsReportedOnce) {
  ui::Form1& form = prepare({{"a.xls", {{"S", {"old"}}}}});
  form.Command2_Click();
  EXPECT_EQ(
      testsupport::statusLines(form.Text3.text()),
      "无法启动办公软件：excel.application，错误代码：429错误描述：ActiveX 部件不能创建对象\r\n");
}

TEST_F(WorkbookRun, ASheetThatFailsFailsItsWorkbookWhichIsClosedUnsaved) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form =
      prepare({{"a.xls", {{"S1", {"old"}}, {"S2", {"old"}}}}, {"b.xls", {{"S", {"old"}}}}});
  rig.office.failCall("Cells.Find(\"old\")", 1004, "应用程序定义或对象定义错误", 2);
  form.Command2_Click();
  // S1 was replaced in memory, but the workbook was not saved: no line says so.
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.xls-S2 处理失败，错误代码：1004错误描述：应用程序定义或对象定义错误\r\n"
            "b.xls-S已替换内容\r\n");
  EXPECT_EQ(stored("a.xls"), (Book{{"S1", {"old"}}, {"S2", {"old"}}}));
  EXPECT_EQ(rig.office.saved, (Calls{path("b.xls")}));
  EXPECT_EQ(rig.office.callsContaining("Workbook.Close"),
            (Calls{"Workbook.Close(False)", "Workbook.Close(True)"}));
}

TEST_F(WorkbookRun, AWorkbookThatCannotBeOpenedOrCountedIsReportedByItsName) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {{"S", {"old"}}}}, {"b.xls", {{"S", {"old"}}}}});
  rig.office.failCall("Workbooks.Open(\"" + path("a.xls"), 1004, "无法打开");
  rig.office.failCall("Worksheets.Count", 1004, "无法计数", 1);
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.xls 处理失败，错误代码：1004错误描述：无法打开\r\n"
            "b.xls 处理失败，错误代码：1004错误描述：无法计数\r\n");
  EXPECT_TRUE(rig.office.saved.empty());
}

TEST_F(WorkbookRun, AWorkbookThatCannotBeSavedReportsOnlyTheFailure) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {{"S1", {"old"}}, {"S2", {"x"}}}}});
  rig.office.failCall("Workbook.Close(True)", 1004, "无法保存");
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.xls 处理失败，错误代码：1004错误描述：无法保存\r\n");
  EXPECT_EQ(rig.office.callsContaining("Workbook.Close"),
            (Calls{"Workbook.Close(True)", "Workbook.Close(False)"}));
  EXPECT_TRUE(rig.office.saved.empty());
}

TEST_F(WorkbookRun, AServerThatDiesIsReplaced) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {{"S", {"old"}}}}, {"b.xls", {{"S", {"old"}}}}});
  rig.office.killServerAt("Workbook.Close(True)", 1);
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.xls 处理失败，错误代码：" + std::to_string(office::kErrServerUnavailable) +
                "错误描述：RPC 服务器不可用。\r\nb.xls-S已替换内容\r\n");
  EXPECT_EQ(rig.office.callsContaining("CreateObject").size(), 2u);
  EXPECT_EQ(rig.office.saved, (Calls{path("b.xls")}));
  EXPECT_EQ(rig.office.alive, 0);
}

}  // namespace

// Against a server whose Cells.Replace re-reads each replaced cell as typed
// input (as Excel and WPS do): text cells stay text with exactly the
// replaced string, numbers and formulas are replaced as the server does.
TEST_F(WorkbookRun, TextCellsStayTextWhereTheServersReplaceWouldRereadThem) {
  using Kind = testsupport::FakeCell::Kind;
  using testsupport::FakeCell;
  struct Case {
    const char* name;
    std::vector<FakeCell> before;
    std::string find, replace;
    std::vector<FakeCell> after;
    bool serverReplaces;  // Cells.Replace is called for the numbers and formulas
  };
  const std::vector<Case> cases{
      {"the texts that would read as something else",
       {"110101199003071234-旧", "00123-旧", "2024-01-05旧", "1/2旧", "旧=1+1", "3.50旧", "无关",
        FakeCell(Kind::Number, "12345"), FakeCell(Kind::Formula, "=LEN(\"旧旧\")")},
       "旧",
       "",
       {"110101199003071234-", "00123-", "2024-01-05", "1/2", "=1+1", "3.50", "无关",
        FakeCell(Kind::Number, "12345"), FakeCell(Kind::Formula, "=LEN(\"\")")},
       true},
      {"a number's digits, replaced by the server",
       {FakeCell(Kind::Number, "12345"), "a23", FakeCell(Kind::Date, "2024-01-05")},
       "23",
       "",
       {FakeCell(Kind::Number, "145"), "a", FakeCell(Kind::Date, "2024-01-05")},
       true},
      {"letter case ignored, a text whose result is empty",
       {"an OLD one", "Old", "x"},
       "old",
       "",
       {"an  one", "", "x"},
       false},
      {"a replacement holding the find text, replaced once",
       {"1/2", FakeCell(Kind::Number, "12"), "1-1"},
       "1",
       "11",
       {"11/2", FakeCell(Kind::Number, "112"), "11-11"},
       false},
  };
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {}}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    rig.office.workbooks[path("a.xls")] = {{"S", c.before}};
    form.Text1.text = c.find;
    form.Text2.text = c.replace;
    form.Command2_Click();
    EXPECT_EQ(testsupport::statusLines(form.Text3.text())
                  .substr(testsupport::statusLines(form.Text3.text()).rfind("a.xls")),
              "a.xls-S已替换内容\r\n");
    EXPECT_EQ(stored("a.xls"), (Book{{"S", c.after}}));
    EXPECT_EQ(rig.office.callsContaining("Cells.Replace").size(), c.serverReplaces ? 1u : 0u);
    rig.office.calls.clear();
  }
}

TEST_F(WorkbookRun, TextCellsAreFoundByWalkingFindAndSetWithTheTextPrefix) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {{"S", {"x", "00旧", "旧"}}}}});
  form.Text1.text = "旧";
  form.Text2.text = "新";
  form.Command2_Click();
  const Calls calls = rig.office.calls;
  const auto from = std::find(calls.begin(), calls.end(), "Cells.Find(\"旧\")");
  ASSERT_NE(from, calls.end());
  EXPECT_EQ(Calls(from + 1, std::find(calls.begin(), calls.end(), "Workbook.Close(True)")),
            (Calls{
                "Worksheet.Cells",
                "Cells.Find(What:=\"旧\", LookIn:=-4123&, LookAt:=2%, SearchOrder:=1%, "
                "MatchCase:=False)",
                "Cell.Address",
                "Cell.HasFormula",
                "Cell.Value2",
                "Cells.FindNext(Obj(Cell $A$2))",
                "Cell.Address",
                "Cell.HasFormula",
                "Cell.Value2",
                "Cells.FindNext(Obj(Cell $A$3))",
                "Cell.Address",  // back at the first: the walk ends
                "Cell.Value = \"'00新\"",
                "Cell.Value = \"'新\"",
            }));
  EXPECT_EQ(stored("a.xls"), (Book{{"S", {"x", "00新", "新"}}}));
}

// A workbook under a second name gets one line for the file, not one per
// sheet; so does a workbook whose owner file says Excel has it open.
TEST(WorkbookRunNames, ASecondNameOrAnOwnerFileGivesOneLineForTheFile) {
  struct Case {
    const char* what;
    std::string made;  // beside a.xls: "b.xls" a hard link to it, or an owner file
    std::string status;
  };
  const Case cases[] = {
      {"hard link", "b.xls",
       "a.xls-S1已替换内容\r\na.xls-S2没找到替换的内容\r\nb.xls 与 a.xls "
       "是同一个文件，已处理过，跳过\r\n"},
      {"owner file", "~$a.xls",
       "a.xls 处理失败，错误代码：-2147467259错误描述：文件正被其他程序使用，未作改动\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WindowRig rig;
    rig.office.serve(rig.servers, "excel.application");
    const fs::path books = rig.work.mkdir("books");
    const std::string folder = rig.work.sub("books");
    rig.work.write("books/a.xls", "on disk");
    if (c.made == "b.xls") {
      fs::create_hard_link(books / "a.xls", books / "b.xls");
    } else {
      rig.work.write("books/" + c.made, "Excel's owner");
    }
    for (const char* name : {"a.xls", "b.xls"}) {
      rig.office.workbooks[testsupport::joinPath(folder, name)] = {{"S1", {"old"}}, {"S2", {}}};
    }
    ui::Form1& form = rig.build();
    form.Form_Load();
    form.clickOption(2);
    form.openFolder(folder);
    form.Text1.text = "old";
    form.Text2.text = "new";
    form.Command2_Click();
    EXPECT_EQ(testsupport::statusLines(form.Text3.text()), c.status);
    EXPECT_EQ(rig.office.callsContaining("Workbooks.Open").size(), c.made == "b.xls" ? 1u : 0u);
  }
}
