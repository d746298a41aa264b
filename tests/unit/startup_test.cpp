#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using testsupport::FakeAppSettings;
using testsupport::FakeOffice;
using testsupport::WindowRig;

const std::string kNoWpsV8 = "2、未安装WPS-V8或以下版本";
const std::string kNoWpsV9 = "3、未安装WPS-V9或以上版本";
const std::string kJournalV8 =
    "时间：2026/12/8 9:30:05 WPSV8错误代码：429错误描述：ActiveX 部件不能创建对象错误\r\n";
const std::string kJournalV9 =
    "时间：2026/12/8 9:30:05 WPSV9错误代码：429错误描述：ActiveX 部件不能创建对象错误\r\n";

struct Enabled {
  bool o1, o2, o3, o4;
};

void expectEnabled(const ui::Form1& f, Enabled e) {
  EXPECT_EQ(f.Option1.enabled, e.o1);
  EXPECT_EQ(f.Option2.enabled, e.o2);
  EXPECT_EQ(f.Option3.enabled, e.o3);
  EXPECT_EQ(f.Option4.enabled, e.o4);
}

TEST(Startup, OfficeFoundAndNoWps) {
  WindowRig rig;
  rig.office.serve(rig.servers, "excel.Application",
                   FakeAppSettings{.defaultValue = "Microsoft Excel", .version = "14.0"});
  ui::Form1& form = rig.build();
  form.Form_Load();

  EXPECT_EQ(form.Label2.caption, "1、本机系统提示: 已安装offcce 2007或以上版本 版本号：14.0\r\n" +
                                     kNoWpsV8 + "\r\n" + kNoWpsV9);
  expectEnabled(form, {true, true, false, false});
  EXPECT_EQ(rig.journal(), kJournalV8 + kJournalV9);
  EXPECT_EQ(form.strRZ, "WPSV9错误代码：429错误描述：ActiveX 部件不能创建对象错误");
  // The probe reads, and never quits, the server.
  EXPECT_EQ(rig.office.calls, (std::vector<std::string>{
                                  "CreateObject(excel.Application)", "Application.Visible = False",
                                  "Application.<default>", "Application.Version"}));
  EXPECT_TRUE(testsupport::statusLines(form.Text3.text()).empty());
}

struct OfficeVersionCase {
  const char* version;
  const char* line;
  const char* name = "Microsoft Excel";
};

class OfficeVersion : public ::testing::TestWithParam<OfficeVersionCase> {};

TEST_P(OfficeVersion, IsClassifiedAndWrittenShortestWithDotZero) {
  WindowRig rig;
  rig.office.serve(rig.servers, "excel.Application",
                   FakeAppSettings{.defaultValue = GetParam().name, .version = GetParam().version});
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption,
            std::string(GetParam().line) + "\r\n" + kNoWpsV8 + "\r\n" + kNoWpsV9);
}

INSTANTIATE_TEST_SUITE_P(
    Startup, OfficeVersion,
    ::testing::Values(
        OfficeVersionCase{"11.0", "1、本机系统提示: 已安装offcce 2003或以下版本 版本号：11.0"},
        OfficeVersionCase{"11.5", "1、本机系统提示: 未知版本 版本号：11.5.0"},
        OfficeVersionCase{"12.0", "1、本机系统提示: 已安装offcce 2007或以上版本 版本号：12.0"},
        OfficeVersionCase{"9.0", "1、本机系统提示: 已安装offcce 2003或以下版本 版本号：9.0"},
        OfficeVersionCase{"16.0", "1、本机系统提示: 已安装offcce 2007或以上版本 版本号：16.0"},
        // The Linux face's server: LibreOffice 7.4 is no Office 2003.
        OfficeVersionCase{"7.4", "1、本机系统提示: 已安装LibreOffice 版本号：7.4", "LibreOffice"}),
    [](const ::testing::TestParamInfo<OfficeVersionCase>& test) {
      // "11.5" is named Version11_5: test names hold letters, digits and '_'.
      std::string name =
          std::string(test.param.name).rfind("LibreOffice", 0) == 0 ? "LibreOffice" : "Version";
      for (const char* c = test.param.version; *c != 0; ++c) name += *c == '.' ? '_' : *c;
      return name;
    });

TEST(Startup, NoSuiteInstalled) {
  WindowRig rig;
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption, "\r\n1、获取offcce版本失败\r\n" + kNoWpsV8 + "\r\n" + kNoWpsV9);
  expectEnabled(form, {false, false, false, false});
  EXPECT_EQ(rig.journal(),
            "时间：2026/12/8 9:30:05 错误代码：429错误描述：ActiveX 部件不能创建对象错误\r\n" +
                kJournalV8 + kJournalV9);
}

TEST(Startup, AnEmptyDefaultValueGivesTheCannotRunLine) {
  WindowRig rig;
  rig.office.serve(rig.servers, "excel.Application",
                   FakeAppSettings{.defaultValue = "", .version = "14.0"});
  rig.office.serve(rig.servers, "KET.Application",
                   FakeAppSettings{.defaultValue = office::Variant(), .version = "9.1"});
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption,
            "1、系统提示:不能运行Excel或wod程序,请检查是否已安装Microsoft Excel word软件!\r\n" +
                kNoWpsV8 + "\r\n3、系统提示:不能运行WPS-V8程序,请检查是否已安装WPS软件!");
  // Neither cannot-run line touches the buttons: the V8 probe's 429 decided WPS.
  expectEnabled(form, {true, true, false, false});
  EXPECT_EQ(rig.journal(), kJournalV8);
  EXPECT_TRUE(rig.office.callsContaining("Version").empty());
}

TEST(Startup, AVersionThatIsNotANumberEndsThatProbeSilently) {
  WindowRig rig;
  rig.office.serve(rig.servers, "excel.Application",
                   FakeAppSettings{.defaultValue = "Microsoft Excel", .version = "abc"});
  rig.office.serve(rig.servers, "ET.Application",
                   FakeAppSettings{.defaultValue = "WPS", .version = "8.1"});
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption,
            "\r\n2、系统wps提示:已安装WPS-V8或以下版本 版本号：8.1.0\r\n" + kNoWpsV9);
  expectEnabled(form, {true, true, false, false});  // only V8: V9's 429 disables WPS again
  EXPECT_EQ(rig.journal(), kJournalV9);
}

TEST(Startup, ARefusedPropertyEndsThatProbeWithoutALine) {
  WindowRig rig;
  rig.office.serve(rig.servers, "excel.Application");
  rig.office.failCall("Application.Visible", -2147418113, "灾难性故障");
  rig.office.serve(rig.servers, "KET.Application",
                   FakeAppSettings{.defaultValue = "WPS", .version = "10.1"});
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption,
            "\r\n" + kNoWpsV8 + "\r\n3、系统wps提示:已安装WPS-V9或以上版本 版本号：10.1.0");
  expectEnabled(form, {true, true, true, true});
  EXPECT_EQ(rig.journal(), kJournalV8);
}

TEST(Startup, WpsVersionsAreClassifiedByTheirMajorVersion) {
  EXPECT_EQ(office::classifyWpsV8(8.0), "已安装WPS-V8或以下版本");
  EXPECT_EQ(office::classifyWpsV8(8.9), "已安装WPS-V8或以下版本");
  EXPECT_EQ(office::classifyWpsV8(6.0), "已安装WPS-V8或以下版本");
  EXPECT_EQ(office::classifyWpsV8(9.0), "未知版本");
  EXPECT_EQ(office::classifyWpsV9(9.0), "已安装WPS-V9或以上版本");
  EXPECT_EQ(office::classifyWpsV9(11.1), "已安装WPS-V9或以上版本");
  EXPECT_EQ(office::classifyWpsV9(8.9), "未知版本");
}

TEST(Startup, ANonCreationFailureOfTheLastWpsProbeLeavesTheFirstOnesDecision) {
  WindowRig rig;
  rig.office.serve(rig.servers, "excel.Application");
  rig.office.serve(rig.servers, "ET.Application",
                   FakeAppSettings{.defaultValue = "WPS", .version = "9.0"});
  FakeOffice::refuse(rig.servers, "KET.Application", -2146959355, "服务器运行失败");
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption,
            "1、本机系统提示: 已安装offcce 2007或以上版本 版本号：14.0\r\n"
            "2、系统wps提示:未知版本 版本号：9.0");
  expectEnabled(form, {true, true, true, true});
  EXPECT_FALSE(fs::exists(rig.journalFile()));
}

TEST(Startup, LeavesNoOptionSelected) {
  WindowRig rig;
  rig.office.serve(rig.servers, "excel.Application");
  ui::Form1& form = rig.build();
  form.Option2.value = true;
  form.Option4.value = true;
  form.Form_Load();
  for (int n = 1; n <= 4; ++n) EXPECT_FALSE(form.option(n).value) << n;
  // Clearing by program is no click: the design-time texts stay.
  EXPECT_EQ(form.File1.pattern, "*.doc");
  EXPECT_EQ(form.Text1.text, "请输入要替换的内容");
  EXPECT_EQ(form.Text2.text, "替换内容\r");
  EXPECT_EQ(form.Command1.caption, "doc文档替换");
  EXPECT_FALSE(form.Command1.enabled);
  EXPECT_FALSE(form.Command2.enabled);
}

TEST(Startup, CreatesTheJournalFolderOnceAndKeepsItsContents) {
  WindowRig rig;
  rig.office.serve(rig.servers, "excel.Application");
  rig.build().Form_Load();
  const fs::path journal = rig.programFolder.path() / "Journal";
  EXPECT_TRUE(fs::is_directory(journal));
  EXPECT_EQ(rig.form->journalFolder(), journal);
  rig.programFolder.write("Journal/old/keep.txt", "kept");

  rig.build().Form_Load();
  EXPECT_EQ(testsupport::readFile(journal / "old" / "keep.txt"), "kept");
  EXPECT_EQ(rig.journal(), kJournalV8 + kJournalV9 + kJournalV8 + kJournalV9);
}

TEST(Startup, APlainFileNamedJournalIsLeftAloneAndTheUserFolderTakesTheJournal) {
  WindowRig rig;
  rig.programFolder.write("Journal", "a file");
  rig.office.serve(rig.servers, "excel.Application");
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(testsupport::readFile(rig.programFolder.path() / "Journal"), "a file");
  EXPECT_EQ(form.journalFolder(), rig.userData.path() / "ravelsk" / "Journal");
  EXPECT_EQ(rig.journal(), kJournalV8 + kJournalV9);
}

TEST(Startup, AJournalThatCannotBeWrittenIsReportedOnceAndStartUpCompletes) {
  WindowRig rig;
  rig.programFolder.write("Journal/2026-12-08", "blocks the day folder");
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption, "\r\n1、获取offcce版本失败\r\n" + kNoWpsV8 + "\r\n" + kNoWpsV9);
  const std::string& status = testsupport::statusLines(form.Text3.text());
  EXPECT_EQ(status.rfind("日志写入失败：", 0), 0u) << status;
  EXPECT_EQ(status.find("日志写入失败：", 1), std::string::npos) << status;
  EXPECT_EQ(status.back(), '\n');
}

}  // namespace
