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
  rig.office.serve(rig.servers, "excel.application");
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
      form.Text3.text(),
      "a.xls-Sheet1没找到替换的内容\r\na.xls-Sheet2已替换内容\r\na.xls-Sheet3没找到替换的内容\r\n");
  EXPECT_EQ(form.strRZ, "a.xls-Sheet3没找到替换的内容");
  const std::string journal = rig.journal();
  EXPECT_EQ(journal.substr(journal.find("时间：2026/12/8 9:30:05 a.xls")),
            "时间：2026/12/8 9:30:05 a.xls-Sheet1没找到替换的内容\r\n"
            "时间：2026/12/8 9:30:05 a.xls-Sheet2已替换内容\r\n"
            "时间：2026/12/8 9:30:05 a.xls-Sheet3没找到替换的内容\r\n");
  // Case is the server's affair; the fake matches exactly.
  EXPECT_EQ(stored("a.xls"),
            (Book{{"Sheet1", {"x"}}, {"Sheet2", {"an OLD one", "new"}}, {"Sheet3", {}}}));
  EXPECT_EQ(rig.office.alive, 0);
}

TEST_F(WorkbookRun, TwoWorkbooksAreDoneOneAfterTheOtherAndAlwaysSaved) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a-1.xls", {{"S-1", {"old"}}}}, {"b.xls", {{"S", {"none"}}}}});
  form.Command2_Click();
  EXPECT_EQ(form.Text3.text(), "a-1.xls-S-1已替换内容\r\nb.xls-S没找到替换的内容\r\n");
  EXPECT_EQ(rig.office.saved, (Calls{path("a-1.xls"), path("b.xls")}));
  const Calls order = rig.office.callsContaining("Workbook");
  EXPECT_EQ(std::find(order.begin(), order.end(), testsupport::workbookOpenCall(path("b.xls"))) -
                std::find(order.begin(), order.end(), "Workbook.Close(True)"),
            2);  // b.xls is opened right after a-1.xls is closed (Application.Workbooks between)
}

TEST_F(WorkbookRun, AWorkbookWithoutWorksheetsGivesNoLineButIsClosed) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {}}});
  form.Command2_Click();
  EXPECT_EQ(form.Text3.text(), "");
  EXPECT_EQ(rig.office.callsContaining("Close"), (Calls{"Workbook.Close(True)"}));
}

TEST_F(WorkbookRun, AnEmptyListOrNoChoice) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({});
  form.Command2_Click();
  EXPECT_EQ(rig.office.calls.back(), "Application.Quit()");
  EXPECT_EQ(form.Text3.text(), "");

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
  EXPECT_EQ(form.Text3.text(), "a.xls-表1已替换内容\r\n");
}

TEST_F(WorkbookRun, ExcelThatCannotBeCreatedIsReportedOnce) {
  ui::Form1& form = prepare({{"a.xls", {{"S", {"old"}}}}});
  form.Command2_Click();
  EXPECT_EQ(
      form.Text3.text(),
      "无法启动办公软件：excel.application，错误代码：429错误描述：ActiveX 部件不能创建对象\r\n");
}

TEST_F(WorkbookRun, ASheetThatFailsFailsItsWorkbookWhichIsClosedUnsaved) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form =
      prepare({{"a.xls", {{"S1", {"old"}}, {"S2", {"old"}}}}, {"b.xls", {{"S", {"old"}}}}});
  rig.office.failCall("Cells.Find", 1004, "应用程序定义或对象定义错误", 2);
  form.Command2_Click();
  // S1 was replaced in memory, but the workbook was not saved: no line says so.
  EXPECT_EQ(form.Text3.text(),
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
  EXPECT_EQ(form.Text3.text(),
            "a.xls 处理失败，错误代码：1004错误描述：无法打开\r\n"
            "b.xls 处理失败，错误代码：1004错误描述：无法计数\r\n");
  EXPECT_TRUE(rig.office.saved.empty());
}

TEST_F(WorkbookRun, AWorkbookThatCannotBeSavedReportsOnlyTheFailure) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {{"S1", {"old"}}, {"S2", {"x"}}}}});
  rig.office.failCall("Workbook.Close(True)", 1004, "无法保存");
  form.Command2_Click();
  EXPECT_EQ(form.Text3.text(), "a.xls 处理失败，错误代码：1004错误描述：无法保存\r\n");
  EXPECT_EQ(rig.office.callsContaining("Workbook.Close"),
            (Calls{"Workbook.Close(True)", "Workbook.Close(False)"}));
  EXPECT_TRUE(rig.office.saved.empty());
}

TEST_F(WorkbookRun, AServerThatDiesIsReplaced) {
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.xls", {{"S", {"old"}}}}, {"b.xls", {{"S", {"old"}}}}});
  rig.office.killServerAt("Workbook.Close(True)", 1);
  form.Command2_Click();
  EXPECT_EQ(form.Text3.text(), "a.xls 处理失败，错误代码：" +
                                   std::to_string(office::kErrServerUnavailable) +
                                   "错误描述：RPC 服务器不可用。\r\nb.xls-S已替换内容\r\n");
  EXPECT_EQ(rig.office.callsContaining("CreateObject").size(), 2u);
  EXPECT_EQ(rig.office.saved, (Calls{path("b.xls")}));
  EXPECT_EQ(rig.office.alive, 0);
}

}  // namespace
