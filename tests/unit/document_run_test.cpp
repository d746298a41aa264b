#include <functional>
#include <new>
#include <set>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "replace/batch_server.h"
#include "replace/document_run.h"
#include "support/fixtures.h"
#include "text/text_encoding.h"

namespace {

namespace fs = std::filesystem;
using testsupport::FakeOffice;
using testsupport::WindowRig;
using Calls = std::vector<std::string>;

constexpr std::int32_t kGone = office::kErrServerUnavailable;

// A folder of documents on the test server's "disk", listed by the window.
class DocumentRun : public ::testing::Test {
 protected:
  WindowRig rig;
  std::string folder;

  ui::Form1& prepare(const std::vector<std::pair<std::string, std::string>>& docs, int option = 1) {
    folder = rig.work.sub("docs");
    rig.work.mkdir("docs");
    for (const auto& [name, text] : docs) {
      rig.work.write("docs/" + name, "on disk");
      rig.office.documents[testsupport::joinPath(folder, name)] = text;
    }
    ui::Form1& form = rig.build();
    form.Form_Load();
    rig.office.calls.clear();
    rig.office.alive = 0;  // the probes release their servers without quitting them
    form.clickOption(option);
    form.openFolder(folder);
    form.Text1.text = "旧";
    form.Text2.text = "新";
    journalBefore = fs::exists(rig.journalFile()) ? rig.journal().size() : 0;
    return form;
  }
  std::string path(const std::string& name) const { return testsupport::joinPath(folder, name); }
  // The journal lines written since prepare (start-up writes its own first).
  std::string journalLines() const {
    if (!fs::exists(rig.journalFile())) return "";
    return rig.journal().substr(journalBefore);
  }
  std::size_t journalBefore = 0;
};

// Texts that would make a run nobody means are asked about first; No runs
// nothing, Yes runs as the texts say.
TEST_F(DocumentRun, AnEmptyFindTextOrAPromptLeftInABoxAsksFirst) {
  struct Case {
    std::string find, with, question;
  };
  const std::vector<Case> cases = {
      {"", "新", "要替换的内容是空的，每个文件都会是“没找到替换的内容”。仍要运行吗？"},
      {"请输入要替换的内容", "新", "要替换的内容还是提示文字“请输入要替换的内容”。仍要运行吗？"},
      {"请输入要替换原内容", "新", "要替换的内容还是提示文字“请输入要替换原内容”。仍要运行吗？"},
      {"旧", "替换内容\r",
       "新内容还是提示文字“替换内容”，找到的内容都会被换成这句提示。仍要运行吗？"},
      {"旧", "请输入新替换内容",
       "新内容还是提示文字“请输入新替换内容”，找到的内容都会被换成这句提示。仍要运行吗？"},
      {"旧", "新", ""},
      {"旧", "", ""},  // an empty replacement deletes, as meant
  };
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.find + " / " + c.with);
    for (const bool yes : {false, true}) {
      rig.view.questions.clear();
      rig.view.answer = yes;
      rig.office.calls.clear();
      form.Text1.text = c.find;
      form.Text2.text = c.with;
      form.Command1_Click();
      EXPECT_EQ(rig.view.questions, c.question.empty() ? std::vector<std::string>{}
                                                       : std::vector<std::string>{c.question});
      EXPECT_EQ(rig.office.calls.empty(), !c.question.empty() && !yes);
    }
  }
}

// 工具 → 预览 counts what the run of the selected option would replace, a
// line per file or sheet, and changes nothing: no save, no journal line.
// Without a run to preview (no option chosen, no folder) it does nothing.
TEST_F(DocumentRun, APreviewCountsWhatTheRunWouldReplaceAndChangesNothing) {
  struct Case {
    int option;
    bool folder;
    std::string status;
  };
  const Case cases[] = {
      {1, true, "a.doc 试运行：找到 2 处，未作改动\r\nb.doc 试运行：找到 0 处，未作改动\r\n"},
      {2, true, "c.xls-S试运行：找到 1 处，未作改动\r\n"},
      {0, true, ""},
      {1, false, ""},
  };
  rig.office.serve(rig.servers, "word.Application");
  rig.office.serve(rig.servers, "excel.application");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.option) + (c.folder ? "" : " without a folder"));
    ui::Form1& form = prepare({{"a.doc", "一个旧字，又一个旧字"}, {"b.doc", "没有"}}, 1);
    rig.work.write("docs/c.xls", "on disk");
    rig.office.workbooks[path("c.xls")] = {{"S", {"旧的"}}};
    if (c.option == 0) {
      for (int n = 1; n <= 4; ++n) form.option(n).value = false;
    } else {
      form.clickOption(c.option);  // which puts the prompts in the boxes
    }
    form.Text1.text = "旧";
    form.openFolder(c.folder ? folder : rig.work.str());
    const std::size_t from = testsupport::statusLines(form.Text3.text()).size();
    form.preview_Click();
    EXPECT_EQ(testsupport::statusLines(form.Text3.text()).substr(from), c.status);
    EXPECT_EQ(rig.office.documents[path("a.doc")], "一个旧字，又一个旧字");
    EXPECT_TRUE(rig.office.saved.empty());
    EXPECT_EQ(journalLines(), "");
    EXPECT_EQ(form.previewAvailable(), !c.status.empty());
  }
}

// Every run and preview ends with one line that counts what its lines said:
// files or sheets replaced, not found and failed, and a preview's total.
TEST_F(DocumentRun, EveryRunAndPreviewEndsWithItsSummary) {
  struct Case {
    int option;
    bool preview;
    std::string summary;
  };
  const Case cases[] = {
      {1, false, "替换完毕：已替换 1 个文件，没找到 1 个，失败 1 个"},
      {1, true, "预览完毕：共找到 3 处；可替换 1 个文件，没找到 1 个，会失败 1 个，未作改动"},
      {2, false, "替换完毕：已替换 2 个工作表，没找到 1 个，失败 0 个"},
      {2, true, "预览完毕：共找到 3 处；可替换 2 个工作表，没找到 1 个，会失败 0 个，未作改动"},
      // No WPS to start: no file was reached.
      {3, false, "替换完毕：已替换 0 个文件，没找到 0 个，失败 0 个，未处理 3 个文件"},
  };
  rig.office.serve(rig.servers, "word.Application");
  rig.office.serve(rig.servers, "excel.application");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.summary);
    ui::Form1& form = prepare({{"a.doc", "旧旧旧"}, {"b.doc", "没有"}}, c.option);
    rig.work.write("docs/c.doc", "unknown to the office: it cannot be opened");
    rig.work.write("docs/d.xls", "on disk");
    rig.office.workbooks[path("d.xls")] = {{"S1", {"旧", "旧"}}, {"S2", {"无"}}, {"S3", {"旧"}}};
    form.openFolder(folder);
    form.Text1.text = "旧";
    c.preview       ? form.preview_Click()
    : c.option == 2 ? form.Command2_Click()
                    : form.Command1_Click();
    const std::string& status = form.Text3.text();
    ASSERT_TRUE(status.ends_with("\r\n" + c.summary + "\r\n")) << status;
    EXPECT_EQ(journalLines().find("完毕"), std::string::npos);
  }
}

// Esc or the close box during a run asks first; Yes stops the run after the
// file it is on (the office let go as at any end), and one line says how
// many files were left. The title follows the run file by file.
TEST_F(DocumentRun, AStopAskedForDuringARunEndsItAfterTheCurrentFile) {
  struct Case {
    bool yes;
    std::string status;
    Calls progress;
  };
  const Case cases[] = {
      {true,
       "a.doc 已替换内容\r\nb.doc 已替换内容\r\n已停止：还有 2 个文件未处理\r\n"
       "替换完毕：已替换 2 个文件，没找到 0 个，失败 0 个，未处理 2 个文件\r\n",
       {"1/4", "2/4"}},
      {false,
       "a.doc 已替换内容\r\nb.doc 已替换内容\r\nc.doc 已替换内容\r\nd.doc 已替换内容\r\n"
       "替换完毕：已替换 4 个文件，没找到 0 个，失败 0 个\r\n",
       {"1/4", "2/4", "3/4", "4/4"}},
  };
  rig.office.serve(rig.servers, "word.Application");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.yes);
    ui::Form1& form = prepare({{"a.doc", "旧"}, {"b.doc", "旧"}, {"c.doc", "旧"}, {"d.doc", "旧"}});
    form.stopRun();  // no run: nothing to ask
    EXPECT_TRUE(rig.view.questions.empty());
    rig.view.answer = c.yes;
    rig.view.progress.clear();
    int opens = 0;
    rig.office.onCall = [&](const std::string& call) {
      if (call.find("Documents.Open") != std::string::npos && ++opens == 2) {
        form.stopRun();
        form.stopRun();  // after Yes it is not asked again; after No it is
      }
    };
    // The close box clicked while the question is open asks nothing more.
    rig.view.whileAsking = [&] { form.stopRun(true); };
    const std::size_t from = form.Text3.text().size();
    form.Command1_Click();
    rig.view.whileAsking = nullptr;
    rig.office.onCall = nullptr;
    EXPECT_EQ(form.Text3.text().substr(from), c.status);
    EXPECT_EQ(rig.view.questions, Calls(c.yes ? 1 : 2, "要在当前文件处理完后停止吗？"));
    rig.view.questions.clear();
    EXPECT_EQ(rig.view.progress, c.progress);
    EXPECT_EQ(rig.office.documents[path("c.doc")], c.yes ? "旧" : "新");
    EXPECT_EQ(rig.office.alive, 0);
    EXPECT_FALSE(form.running());
  }
}

// 工具 → 导出结果… writes the last run's or preview's rows as --report
// does, and never over a file that is not an earlier report.
TEST_F(DocumentRun, TheLastResultsAreExportedAsTheCommandLinesReport) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧旧"}, {"b.doc", "没有"}});
  const std::string heading =
      "\xEF\xBB\xBFpath,sheet,result,count,error code,error description\r\n";
  const std::string report = text::utf8FromPath(rig.work.path() / "结果.csv");
  const std::string notOurs = text::utf8FromPath(rig.work.write("notes.csv", "keep,me\r\n"));
  rig.view.reportFile = report;
  form.exportResults_Click();
  EXPECT_EQ(rig.view.messages, (Calls{"还没有可以导出的结果：请先替换或预览"}));
  EXPECT_FALSE(fs::exists(text::pathFromUtf8(report)));

  form.preview_Click();
  form.exportResults_Click();
  EXPECT_EQ(testsupport::readFile(text::pathFromUtf8(report)),
            heading + "a.doc,,would replace,2,,\r\nb.doc,,not found,0,,\r\n");
  form.Command1_Click();
  form.exportResults_Click();
  EXPECT_EQ(testsupport::readFile(text::pathFromUtf8(report)),
            heading + "a.doc,,replaced,,,\r\nb.doc,,not found,,,\r\n");
  EXPECT_TRUE(form.Text3.text().ends_with("结果已导出：" + report + "\r\n"));

  rig.view.reportFile = notOurs;
  form.exportResults_Click();
  ASSERT_EQ(rig.view.messages.size(), 2u);
  EXPECT_NE(rig.view.messages[1].find("不是本程序先前写出的"), std::string::npos)
      << rig.view.messages[1];
  EXPECT_EQ(testsupport::readFile(text::pathFromUtf8(notOurs)), "keep,me\r\n");
  rig.view.reportFile = std::nullopt;  // a cancelled dialog
  form.exportResults_Click();
  EXPECT_EQ(rig.view.messages.size(), 2u);
}

// 工具 → 规则列表…: its pairs, read in the system's code page, take the
// boxes' place in runs and previews (no question about the boxes) until the
// list is cleared; a file that cannot be read is refused and changes nothing.
TEST_F(DocumentRun, ARuleListTakesTheBoxesPlaceUntilCleared) {
  rig.codeset = "GBK";
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧 甲"}, {"b.doc", "无"}});
  // GBK: 旧 BE C9, 新 D0 C2, 甲 BC D7, 乙 D2 D2; BE 09 is no GBK character.
  const std::string rules = text::utf8FromPath(
      rig.work.write("规则.txt", "\xBE\xC9\t\xD0\xC2\r\n\xBC\xD7\t\xD2\xD2\r\n"));
  const std::string bad = text::utf8FromPath(rig.work.write("bad.txt", "a\tb\n\xBE\tc\n"));
  const std::string used = "使用规则列表：" + rules + "，共 2 组\r\n";

  rig.view.rulesFile = bad;
  form.rulesList_Click();
  EXPECT_EQ(
      rig.view.messages,
      (Calls{"规则文件第 2 行既不是 UTF-8，也不是本机代码页 GBK 的文字，未使用这个规则文件"}));
  EXPECT_EQ(form.rulesFile(), "");
  rig.view.rulesFile = rules;
  form.rulesList_Click();
  rig.view.rulesFile = std::nullopt;  // a cancelled dialog keeps the list
  form.rulesList_Click();
  EXPECT_EQ(form.rulesFile(), rules);
  EXPECT_TRUE(form.Text3.text().ends_with("已选用规则列表：" + rules +
                                          "，共 2 组；替换和预览不再使用两个输入框\r\n"))
      << form.Text3.text();

  form.Text1.text = "";
  std::size_t from = testsupport::statusLines(form.Text3.text()).size();
  form.preview_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()).substr(from),
            used +
                "a.doc 试运行：找到 2 处，未作改动\r\n"
                "b.doc 试运行：找到 0 处，未作改动\r\n");
  from = testsupport::statusLines(form.Text3.text()).size();
  form.Command1_Click();
  EXPECT_TRUE(rig.view.questions.empty());
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()).substr(from),
            used + "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\n");
  EXPECT_EQ(rig.office.documents[path("a.doc")], "新 乙");
  EXPECT_EQ(form.Text1.text, "");

  form.clearRulesList_Click();
  form.Text1.text = "乙";
  form.Text2.text = "丙";
  from = testsupport::statusLines(form.Text3.text()).size();
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()).substr(from),
            "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\n");
  EXPECT_EQ(rig.office.documents[path("a.doc")], "新 丙");

  // A workbook is read by the spreadsheet server of the suite chosen.
  rig.office.serve(rig.servers, "excel.application");
  const std::string book = text::utf8FromPath(rig.work.write("规则.xlsx", "PK\x03\x04"));
  rig.office.workbooks[book] = {{"S", {"丙"}, false, {}, {"丁"}}};
  rig.view.rulesFile = book;
  const int started = rig.view.runsStarted;
  form.rulesList_Click();
  EXPECT_EQ(form.rulesFile(), book);
  EXPECT_EQ(rig.view.runsStarted, started + 1);  // busy while the office reads
  EXPECT_EQ(rig.view.runsEnded, rig.view.runsStarted);
  form.Command1_Click();
  EXPECT_EQ(rig.office.documents[path("a.doc")], "新 丁");
  form.Option1.value = false;
  form.Option3.value = true;
  form.rulesList_Click();
  EXPECT_EQ(rig.view.messages.back(),
            "无法读取规则工作簿：无法启动办公软件：KET.Application，错误代码：429错误描述：" +
                std::string(office::kCannotCreateText) + "，未使用这个规则文件");
  EXPECT_EQ(rig.office.alive, 0);
  EXPECT_EQ(rig.view.runsEnded, rig.view.runsStarted);
}

// 工具 → 包含子文件夹: the run takes the files of every subfolder too, each
// named by its path relative to the folder (the list still shows the
// folder's own: a folder clicked on the way is not walked); unchecked, the
// folder's own files only.
TEST_F(DocumentRun, WithSubfoldersIncludedTheRunReachesEveryFolderBelow) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}});
  const std::string below = replace::composePath("sub", "b.doc");
  rig.work.write("docs/sub/b.doc", "on disk");
  rig.office.documents[path(below)] = "旧";
  EXPECT_EQ(form.File1.entries, (Calls{"a.doc"}));
  form.includeSubfolders_Click();
  EXPECT_TRUE(form.includesSubfolders());
  EXPECT_EQ(form.File1.entries, (Calls{"a.doc"}));
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc 已替换内容\r\n" + below + " 已替换内容\r\n");
  EXPECT_EQ(rig.office.documents[path(below)], "新");
  form.includeSubfolders_Click();
  rig.office.documents[path("a.doc")] = "旧";
  rig.office.documents[path(below)] = "旧";
  const std::size_t from = testsupport::statusLines(form.Text3.text()).size();
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()).substr(from), "a.doc 已替换内容\r\n");
  EXPECT_EQ(rig.office.documents[path(below)], "旧");
}

TEST_F(DocumentRun, ReplacesWhereFoundSavesOnlyThoseAndReportsEachDocument) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "一个旧字，又一个旧字"}, {"b.doc", "没有"}});
  form.Command1_Click();

  // The calls themselves are the contract's (support/contract.cpp).
  EXPECT_EQ(rig.office.documents[path("a.doc")], "一个新字，又一个新字");
  EXPECT_EQ(rig.office.saved, (Calls{path("a.doc")}));
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\n");
  EXPECT_EQ(form.strRZ, "b.doc 没找到替换的内容");
  EXPECT_EQ(journalLines(),
            "时间：2026/12/8 9:30:05 a.doc 已替换内容\r\n时间：2026/12/8 9:30:05 b.doc "
            "没找到替换的内容\r\n");
  EXPECT_EQ(rig.view.appended, (Calls{"a.doc 已替换内容\r\n", "b.doc 没找到替换的内容\r\n",
                                      "替换完毕：已替换 1 个文件，没找到 1 个，失败 0 个\r\n"}));
  EXPECT_EQ(rig.view.runsStarted, 1);
  EXPECT_EQ(rig.view.runsEnded, 1);
  EXPECT_EQ(rig.office.alive, 0);
}

#ifndef _WIN32
// A name in GBK bytes under a UTF-8 locale: the run opens the very file listed,
// and the journal, which cannot hold the undecodable bytes, has '?' for each.
TEST_F(DocumentRun, ANameThatIsNotUtf8ReachesTheServerAsListedAndIsJournalledWithQuestionMarks) {
  rig.office.serve(rig.servers, "word.Application");
  const std::string escaped = "\xED\xB2\xB1\xED\xB2\xA8\xED\xB2\xB8\xED\xB3\xA6.doc";
  rig.work.write("docs/\xB1\xA8\xB8\xE6.doc", "on disk");
  rig.office.documents[(rig.work.path() / "docs").string() + "/" + escaped] = "旧";
  ui::Form1& form = prepare({});
  ASSERT_EQ(form.File1.entries, (Calls{escaped}));
  form.Command1_Click();

  const Calls opens = rig.office.callsContaining("Documents.Open");
  ASSERT_EQ(opens, (Calls{testsupport::documentOpenCall(path(escaped))}));
  EXPECT_EQ(testsupport::readFile(text::pathFromUtf8(path(escaped))), "on disk");
  EXPECT_EQ(rig.office.documents[path(escaped)], "新");
  EXPECT_EQ(journalLines(), "时间：2026/12/8 9:30:05 ????.doc 已替换内容\r\n");
}
#endif

// However a run ends, the view leaves its busy state and the server is quit.
TEST_F(DocumentRun, AnExceptionOutOfTheRunStillEndsItInTheView) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}});
  struct FailingView : testsupport::RecordingView {
    void text3Appended(const std::string&) override { throw std::runtime_error("no paint"); }
  } view;
  form.setView(&view);
  EXPECT_THROW(form.Command1_Click(), std::runtime_error);
  EXPECT_EQ(view.runsStarted, 1);
  EXPECT_EQ(view.runsEnded, 1);
  EXPECT_EQ(rig.office.alive, 0);
}

TEST_F(DocumentRun, AnEmptyListStartsAndQuitsTheServerAndWritesNothing) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({});
  form.strRZ = "before";
  form.Command1_Click();
  EXPECT_EQ(rig.office.created, 1);
  EXPECT_EQ(rig.office.calls.back(), "Application.Quit()");
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "");
  EXPECT_EQ(form.strRZ, "before");
  EXPECT_EQ(journalLines(), "");
}

TEST_F(DocumentRun, WithoutADocumentChoiceNothingIsCreated) {
  rig.office.serve(rig.servers, "word.Application");
  rig.office.serve(rig.servers, "excel.application");
  ui::Form1& form = prepare({{"a.doc", "旧"}}, 2);
  form.Command1_Click();
  form.Option2.value = false;
  form.Command1_Click();
  EXPECT_TRUE(rig.office.callsContaining("CreateObject").empty());
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "");
  EXPECT_EQ(rig.view.runsStarted, 0);
}

TEST_F(DocumentRun, TheWpsChoiceFallsBackToTheNewerServerOnlyOn429) {
  FakeOffice::refuse(rig.servers, "ET.Application", 429, "ActiveX 部件不能创建对象");
  rig.office.serve(rig.servers, "KET.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}}, 3);
  form.Command1_Click();
  EXPECT_EQ(rig.office.calls.front(), "CreateObject(KET.Application)");
  EXPECT_TRUE(rig.office.callsContaining("AutomationSecurity").empty());
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "a.doc 已替换内容\r\n");

  FakeOffice::refuse(rig.servers, "ET.Application", -2147221005, "无效的类字符串");
  rig.office.calls.clear();
  form.Command1_Click();
  EXPECT_TRUE(rig.office.calls.empty());
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc "
            "已替换内容\r\n无法启动办公软件：ET.Application，错误代码：-"
            "2147221005错误描述：无效的类字符串\r\n");

  rig.office.serve(rig.servers, "ET.Application");
  rig.office.calls.clear();
  form.Command1_Click();
  EXPECT_EQ(rig.office.callsContaining("CreateObject"), (Calls{"CreateObject(ET.Application)"}));
}

// WPS's ET and KET are spreadsheet servers: a server without Documents is
// traded, once, for WPS's text server, which gets the same calls.
TEST_F(DocumentRun, AWpsServerWithoutDocumentsIsTradedForTheTextServer) {
  struct Case {
    std::vector<std::string> served;  // text servers served; the others are not registered
    std::string creations;            // CreateObject calls, in order, joined by " "
    std::string status;
  };
  const std::vector<Case> cases = {
      {{"KWPS.Application"},
       "CreateObject(ET.Application) CreateObject(KWPS.Application)",
       "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\n"},
      {{"WPS.Application"},
       "CreateObject(ET.Application) CreateObject(WPS.Application)",
       "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\n"},
      {{},
       "CreateObject(ET.Application)",
       "无法启动办公软件：WPS.Application，错误代码：429错误描述：ActiveX 部件不能创建对象\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.creations);
    rig.servers = office::ServerRegistry();
    rig.office = FakeOffice();
    rig.office.serve(
        rig.servers, "ET.Application",
        testsupport::FakeAppSettings{.defaultValue = "ET", .version = "8.1", .documents = false});
    for (const std::string& progId : c.served) rig.office.serve(rig.servers, progId);
    ui::Form1& form = prepare({{"a.doc", "旧"}, {"b.doc", "没有"}}, 3);
    form.Command1_Click();
    std::string creations;
    for (const std::string& call : rig.office.callsContaining("CreateObject")) {
      creations += (creations.empty() ? "" : " ") + call;
    }
    EXPECT_EQ(creations, c.creations);
    EXPECT_EQ(testsupport::statusLines(form.Text3.text()), c.status);
    // The spreadsheet server was asked once, and quit before the other came.
    const Calls& calls = rig.office.calls;
    ASSERT_GE(calls.size(), 3u);
    EXPECT_EQ(Calls(calls.begin() + 1, calls.begin() + 3),
              (Calls{"Application.Documents", "Application.Quit()"}));
    EXPECT_EQ(rig.office.alive, 0);
  }
}

TEST_F(DocumentRun, NeitherWpsServerCreatableIsReportedOnceWithTheLastProgId) {
  ui::Form1& form = prepare({{"a.doc", "旧"}}, 3);
  form.Command1_Click();
  EXPECT_EQ(
      testsupport::statusLines(form.Text3.text()),
      "无法启动办公软件：KET.Application，错误代码：429错误描述：ActiveX 部件不能创建对象\r\n");
  EXPECT_EQ(
      journalLines(),
      "时间：2026/12/8 9:30:05 无法启动办公软件：KET.Application，错误代码：429错误描述：ActiveX "
      "部件不能创建对象\r\n");
}

TEST_F(DocumentRun, AFolderEndingInASeparatorStillGetsOneMore) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}});
  const std::string sep = testsupport::kSeparator;
  form.openFolder(folder + sep);
  rig.office.documents[folder + sep + sep + "a.doc"] = "旧";
  form.Command1_Click();
  EXPECT_EQ(rig.office.callsContaining("Open").at(0),
            testsupport::documentOpenCall(folder + sep + sep + "a.doc"));
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "a.doc 已替换内容\r\n");
}

TEST_F(DocumentRun, ADocumentThatCannotBeOpenedIsReportedAndTheBatchGoesOn) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}, {"b.doc", "旧"}, {"c.doc", "旧"}});
  rig.office.failCall("Open(\"" + path("b.doc"), 5792, "文件似乎已损坏。");
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc 已替换内容\r\nb.doc 处理失败，错误代码：5792错误描述：文件似乎已损坏。\r\nc.doc "
            "已替换内容\r\n");
  EXPECT_EQ(rig.office.saved, (Calls{path("a.doc"), path("c.doc")}));
  EXPECT_EQ(rig.office.callsContaining("Close").size(), 2u);  // nothing to close for b.doc
  EXPECT_EQ(rig.office.alive, 0);
}

TEST_F(DocumentRun, AnyExceptionInsideTheServerIsThatDocumentsFailureLine) {
  struct Case {
    std::function<void()> raise;
    std::string line;
  };
  const std::vector<Case> cases = {
      {[] { throw std::bad_alloc(); }, "b.doc 处理失败，错误代码：7错误描述：内存不足\r\n"},
      {[] { throw std::runtime_error("mkdir: No space left on device"); },
       "b.doc 处理失败，错误代码：-2147418113错误描述：mkdir: No space left on device\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    rig.office.serve(rig.servers, "word.Application");
    ui::Form1& form = prepare({{"a.doc", "旧"}, {"b.doc", "旧"}, {"c.doc", "旧"}});
    const std::string needle = "Open(\"" + path("b.doc");
    rig.office.onCall = [&](const std::string& call) {
      if (call.find(needle) != std::string::npos) c.raise();
    };
    form.Command1_Click();
    EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
              "a.doc 已替换内容\r\n" + c.line + "c.doc 已替换内容\r\n");
    EXPECT_EQ(rig.office.alive, 0);
    rig.office.onCall = nullptr;
  }
}

TEST_F(DocumentRun, AFailingReplaceClosesTheDocumentWithoutSaving) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}, {"b.doc", "旧"}});
  rig.office.failCall("FindText:=", 5560, "替换失败");
  form.Command1_Click();
  EXPECT_EQ(rig.office.documents[path("a.doc")], "旧");
  EXPECT_EQ(rig.office.saved, (Calls{path("b.doc")}));
  EXPECT_EQ(rig.office.callsContaining("Documents.Close"),
            (Calls{"Documents.Close(False)", "Documents.Close(True)"}));
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc 处理失败，错误代码：5560错误描述：替换失败\r\nb.doc 已替换内容\r\n");
}

TEST_F(DocumentRun, ASaveThatFailsIsReportedAsAFailureNotAsReplaced) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}});
  rig.office.failCall("Documents.Close(True)", 5153, "磁盘已满");
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc 处理失败，错误代码：5153错误描述：磁盘已满\r\n");
  EXPECT_TRUE(rig.office.saved.empty());
  EXPECT_EQ(rig.office.calls[rig.office.calls.size() - 2], "Documents.Close(False)");
}

TEST_F(DocumentRun, AServerThatDiesIsReplacedAndTheBatchGoesOn) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}, {"b.doc", "旧"}, {"c.doc", "旧"}});
  rig.office.killServerAt("Documents.Open", 2);
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc 已替换内容\r\nb.doc 处理失败，错误代码：" + std::to_string(kGone) +
                "错误描述：RPC 服务器不可用。\r\nc.doc 已替换内容\r\n");
  EXPECT_EQ(rig.office.callsContaining("CreateObject"),
            (Calls{"CreateObject(word.Application)", "CreateObject(word.Application)"}));
  EXPECT_EQ(rig.office.saved, (Calls{path("a.doc"), path("c.doc")}));
  EXPECT_EQ(rig.office.alive, 0);
}

TEST_F(DocumentRun, WhenNoFreshServerCanBeHadTheRunEndsWithOneLine) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}, {"b.doc", "旧"}, {"c.doc", "旧"}});
  rig.office.killServerAt("Find.Execute(\"旧\")", 1);
  rig.office.refuseCreationsAfter(1, -2146959355, "服务器运行失败");
  form.Command1_Click();
  EXPECT_EQ(
      testsupport::statusLines(form.Text3.text()),
      "a.doc 处理失败，错误代码：" + std::to_string(kGone) +
          "错误描述：RPC 服务器不可用。\r\n"
          "无法启动办公软件：word.Application，错误代码：-2146959355错误描述：服务器运行失败\r\n");
  EXPECT_TRUE(rig.office.callsContaining(path("b.doc")).empty());
  EXPECT_TRUE(rig.office.saved.empty());
  EXPECT_EQ(rig.office.alive, 0);
}

TEST_F(DocumentRun, AJournalThatCannotBeWrittenDoesNotStopTheBatch) {
  rig.office.serve(rig.servers, "word.Application");
  ui::Form1& form = prepare({{"a.doc", "旧"}, {"b.doc", "x"}});
  fs::remove_all(form.journalFolder() / "2026-12-08");
  rig.programFolder.write("Journal/2026-12-08", "in the way");
  form.Command1_Click();
  const std::string& status = testsupport::statusLines(form.Text3.text());
  EXPECT_EQ(status.rfind("a.doc 已替换内容\r\n日志写入失败：无法", 0), 0u) << status;
  EXPECT_NE(status.find("\r\nb.doc 没找到替换的内容\r\n"), std::string::npos) << status;
  EXPECT_EQ(status.find("日志写入失败：", status.find("日志写入失败：") + 1), std::string::npos);
  EXPECT_EQ(rig.office.saved, (Calls{path("a.doc")}));
}

TEST_F(DocumentRun, AServerWithoutTheSafetyMembersIsUsedAsItIs) {
  rig.office.serve(rig.servers, "word.Application");
  rig.office.lacksMember("AutomationSecurity");
  rig.office.lacksMember("DisplayAlerts");
  ui::Form1& form = prepare({{"a.doc", "旧"}});
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "a.doc 已替换内容\r\n");
}

TEST_F(DocumentRun, TheFileCountIsNotLimitedTo16Bits) {
  rig.office.serve(rig.servers, "word.Application");
  rig.work.mkdir("many");
  const std::string many = rig.work.sub("many");
  std::vector<std::string> names;
  for (int i = 0; i < 32770; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%05d.doc", i);
    names.push_back(name);
  }
#ifndef _WIN32
  for (const std::string& name : names) rig.work.write("many/" + name);
#endif
  ui::Form1& form = rig.build();
  form.clickOption(1);
  form.openFolder(many);
#ifdef _WIN32
  // Making this many files under Wine takes minutes: the list is filled as the
  // folder would fill it.
  form.File1.entries = names;
#else
  ASSERT_EQ(form.File1.entries, names);
#endif
  rig.programFolder.write("Journal", "no journal: keeps the test quick");
  form.Command1_Click();
  EXPECT_EQ(rig.office.callsContaining("Documents.Open").size(), 32770u);
  const std::string& status = testsupport::statusLines(form.Text3.text());
  const std::string last = "32769.doc 处理失败，错误代码：5174错误描述：找不到文件\r\n";
  EXPECT_EQ(status.substr(status.size() - last.size()), last);
}

// ---- every place a document holds text ----

using testsupport::FakeStory;
using Stories = std::vector<FakeStory>;
constexpr int kFootnotes = testsupport::kFootnotesStory;
constexpr int kEndnotes = testsupport::kEndnotesStory;
constexpr int kTextFrames = testsupport::kTextFrameStory;
constexpr int kPrimaryHeader = testsupport::kPrimaryHeaderStory;
constexpr int kPrimaryFooter = testsupport::kPrimaryFooterStory;
constexpr int kFirstPageFooter = testsupport::kFirstPageFooterStory;

// The run itself over documents of the recording server's disk: one pair,
// replaced or only counted, each result kept.
struct PairHost : replace::RunHost {
  testsupport::TempFolder work;
  std::vector<std::string> files;
  std::string find;
  std::string replacement;
  bool count = false;
  std::vector<replace::RunResult> results;
  std::vector<std::string> lines;

  std::size_t next = 0;

  std::optional<replace::RunFile> nextFile() override {
    if (next >= files.size()) return std::nullopt;
    return replace::RunFile{files.at(next++), ""};
  }
  std::string folder() const override { return work.str(); }
  std::string findText() const override { return find; }
  std::string replaceText() const override { return replacement; }
  office::Object findTextBox() override { return replace::textBoxObject(find); }
  office::Object replaceTextBox() override { return replace::textBoxObject(replacement); }
  bool countOnly() const override { return count; }
  void report(const std::string& text) override { lines.push_back(text); }
  void reportResult(const replace::RunResult& result) override {
    results.push_back(result);
    report(result.line);
  }
  std::string path(const std::string& name) const {
    return testsupport::joinPath(work.str(), name);
  }
};

std::string replacedEverywhere(std::string text, const std::string& what, const std::string& with) {
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

// The run reaches the text wherever the user sees it: main text, footnotes,
// endnotes, text boxes (also the second of two, and linked ones), headers and
// footers of every section (also a kind section 1 leaves empty) and text
// boxes in them. Each place gets the replacement once, even one that holds
// the find text, and the dry run counts the same places. On a server that
// reads '^' codes and one that takes texts literally alike.
TEST(DocumentStories, EveryPlaceIsReplacedOnceAndCountedAndTheLineSaysSo) {
  struct Case {
    const char* what;
    std::string main;
    Stories stories;
    std::int64_t count;
  };
  const std::vector<Case> cases = {
      {"(a) main text", "甲ACME乙ACME", {}, 2},
      {"(b) primary header", "正文", {{kPrimaryHeader, "页眉ACME"}}, 1},
      {"(c) first-page footer of section 2, section 1's empty",
       "正文",
       {{kFirstPageFooter, "", 1}, {kFirstPageFooter, "第二节ACME", 2}},
       1},
      {"(d) footnotes", "正文", {{kFootnotes, "注一ACME\r注二ACME"}}, 2},
      {"(e) endnote", "正文", {{kEndnotes, "尾注ACME"}}, 1},
      {"(f) the second text box, linked to a third",
       "正文",
       {{kTextFrames, "框一"}, {kTextFrames, "框二\r框三ACME"}},
       1},
      {"(g) a text box in a header",
       "正文",
       {{kPrimaryHeader, "页眉", 1, {std::nullopt, "框ACME"}}},
       1},
      {"(h) nowhere",
       "正文",
       {{kPrimaryHeader, "页眉", 1, {"框"}}, {kFootnotes, "注"}, {kTextFrames, "框"}},
       0},
      {"(i) main text and headers and footers of two sections",
       "ACME",
       {{kPrimaryHeader, "ACME 页眉", 1},
        {kPrimaryHeader, "二ACME", 2},
        {kPrimaryFooter, "页脚ACME", 1, {"ACME"}}},
       5},
  };
  for (const bool literal : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (literal ? ", literal server" : ""));
      FakeOffice office;
      office::ServerRegistry servers;
      office.serve(servers, "word.Application", {.findIsLiteral = literal});
      PairHost window;
      window.files = {"a.doc"};
      window.find = "ACME";
      window.replacement = "ACME Ltd";
      office.documents[window.path("a.doc")] = c.main;
      if (!c.stories.empty()) office.stories[window.path("a.doc")] = c.stories;

      window.count = true;
      replace::runDocuments(servers, replace::kWordServer, window);
      ASSERT_EQ(window.results.size(), 1u);
      EXPECT_EQ(window.results[0].count, c.count);
      EXPECT_TRUE(office.saved.empty());

      window.count = false;
      window.results.clear();
      window.next = 0;
      replace::runDocuments(servers, replace::kWordServer, window);
      ASSERT_EQ(window.results.size(), 1u);
      EXPECT_EQ(window.results[0].line,
                c.count > 0 ? "a.doc 已替换内容" : "a.doc 没找到替换的内容");
      if (c.count == 0) {
        EXPECT_TRUE(office.saved.empty());
        continue;
      }
      EXPECT_EQ(office.documents[window.path("a.doc")],
                replacedEverywhere(c.main, "ACME", "ACME Ltd"));
      Stories expected = c.stories;
      for (FakeStory& story : expected) {
        story.text = replacedEverywhere(story.text, "ACME", "ACME Ltd");
        for (auto& shape : story.shapes) {
          if (shape) shape = replacedEverywhere(*shape, "ACME", "ACME Ltd");
        }
      }
      EXPECT_EQ(office.stories[window.path("a.doc")], expected);
    }
  }
}

// Word reads '^' as a code in both texts and refuses either over 255
// characters: a user's '^' arrives as typed, and a long replacement is set
// occurrence by occurrence (also one holding the find text), in every story.
TEST(DocumentStories, CaretsArriveLiterallyAndALongReplacementIsSetOccurrenceByOccurrence) {
  const std::string longText = "旧" + std::string(299, 'x');
  struct Case {
    std::string find, replacement, main, header, mainAfter, headerAfter;
  };
  const std::vector<Case> cases = {
      {"A^pB", "^&^c^", "xA^pBy", "A^pB", "x^&^c^y", "^&^c^"},
      {"^t", "^^", "a^tb\tc", "", "a^^b\tc", ""},
      {"旧", longText, "旧一旧", "页眉旧", longText + "一" + longText, "页眉" + longText},
  };
  for (const bool literal : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(c.find + " -> " + c.replacement.substr(0, 8) + (literal ? ", literal" : ""));
      FakeOffice office;
      office::ServerRegistry servers;
      office.serve(servers, "word.Application", {.findIsLiteral = literal});
      PairHost window;
      window.files = {"a.doc"};
      window.find = c.find;
      window.replacement = c.replacement;
      office.documents[window.path("a.doc")] = c.main;
      office.stories[window.path("a.doc")] = {{kPrimaryHeader, c.header}};
      replace::runDocuments(servers, replace::kWordServer, window);
      EXPECT_EQ(window.lines, (Calls{"a.doc 已替换内容"}));
      EXPECT_EQ(office.documents[window.path("a.doc")], c.mainAfter);
      EXPECT_EQ(office.stories[window.path("a.doc")], (Stories{{kPrimaryHeader, c.headerAfter}}));
    }
  }
}

// Members an older server lacks end that part of the walk, not the
// document: what was reached is replaced and the line says so truly. Any
// other error fails the document.
TEST(DocumentStories, AMemberTheServerLacksLeavesOnlyWhatItHidesUnreplaced) {
  const Stories stories = {
      {kTextFrames, "框ACME"},
      {kTextFrames, "框二ACME"},
      {kPrimaryHeader, "页眉ACME", 1, {"页眉框ACME"}},
      {kFirstPageFooter, "", 1},
      {kFirstPageFooter, "ACME", 2},
  };
  const auto after = [&stories](std::set<std::size_t> reached) {
    Stories expected = stories;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      if (reached.count(i)) expected[i].text = replacedEverywhere(expected[i].text, "ACME", "新");
    }
    return expected;
  };
  struct Case {
    std::string lacking;  // a member, or a call that fails with code
    std::int32_t code;
    std::string main;
    std::string line;
    Stories expected;  // what is saved, when it is
    std::string headerBox;
  };
  constexpr std::int32_t kLacks = office::kErrNoSuchMember;
  const std::vector<Case> cases = {
      {"StoryRanges", kLacks, "ACME", "a.doc 已替换内容", after({}), "页眉框ACME"},
      {"StoryRanges", kLacks, "正文", "a.doc 没找到替换的内容", {}, ""},
      {"Sections", kLacks, "ACME", "a.doc 已替换内容", after({0, 1, 2}), "页眉框新"},
      {"ShapeRange", kLacks, "ACME", "a.doc 已替换内容", after({0, 1, 2, 4}), "页眉框ACME"},
      {"Duplicate", kLacks, "正文", "a.doc 已替换内容", after({}), "页眉框新"},
      {"NextStoryRange", kLacks, "ACME", "a.doc 已替换内容", after({0, 2}), "页眉框新"},
      // A shape that will not say whether it holds text (a picture) is passed over.
      {"TextFrame.HasText", -2147024809, "正文", "a.doc 已替换内容", after({0, 1, 2, 4}),
       "页眉框ACME"},
      {"StoryRanges.Item(7&)",
       5,
       "ACME",
       "a.doc 处理失败，错误代码：5错误描述：无效的过程调用或参数",
       {},
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lacking + " " + c.main);
    FakeOffice office;
    office::ServerRegistry servers;
    office.serve(servers, "word.Application");
    if (c.code == kLacks) {
      office.lacksMember(c.lacking);
    } else {
      office.failCall(c.lacking, c.code, "无效的过程调用或参数");
    }
    PairHost window;
    window.files = {"a.doc"};
    window.find = "ACME";
    window.replacement = "新";
    office.documents[window.path("a.doc")] = c.main;
    office.stories[window.path("a.doc")] = stories;
    replace::runDocuments(servers, replace::kWordServer, window);
    EXPECT_EQ(window.lines, (Calls{c.line}));
    if (c.expected.empty()) {
      EXPECT_TRUE(office.saved.empty());
      continue;
    }
    Stories expected = c.expected;
    expected[2].shapes = {c.headerBox};
    EXPECT_EQ(office.stories[window.path("a.doc")], expected);
  }
}

// A find text Word cannot search for (over 255 characters once each '^' is
// doubled, counted in UTF-16 units) is refused before a server is created,
// with one line per run; a literal server takes any length.
TEST_F(DocumentRun, AFindTextTooLongForTheServerIsRefusedBeforeAnyServerIsCreated) {
  std::string wide;
  for (int i = 0; i < 128; ++i) wide += "\xF0\xA0\x80\x80";  // U+20000: two units each
  struct Case {
    std::string find;
    int option;
    bool literal;
    std::string status;
  };
  const std::string refused = "个字符，Word 无法查找，未处理任何文件\r\n";
  const std::vector<Case> cases = {
      {std::string(300, 'x'), 1, false, "查找内容超过 255 " + refused},
      {std::string(128, '^'), 1, false, "查找内容超过 255 " + refused},
      {wide, 1, false, "查找内容超过 255 " + refused},
      {std::string(300, 'x'), 3, false,
       "查找内容超过 255 个字符，WPS 无法查找，未处理任何文件\r\n"},
      {std::string(255, 'x'), 1, false, "a.doc 已替换内容\r\n"},
      {std::string(127, '^'), 1, false, "a.doc 没找到替换的内容\r\n"},
      {std::string(300, 'x'), 1, true, "a.doc 已替换内容\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status);
    rig.servers = office::ServerRegistry();
    rig.office = FakeOffice();
    for (const char* progId : {"word.Application", "ET.Application", "KWPS.Application"}) {
      rig.office.serve(rig.servers, progId, {.findIsLiteral = c.literal});
    }
    ui::Form1& form = prepare({{"a.doc", std::string(300, 'x')}}, c.option);
    form.Text1.text = c.find;
    form.Command1_Click();
    EXPECT_EQ(testsupport::statusLines(form.Text3.text()), c.status);
    EXPECT_EQ(rig.office.callsContaining("CreateObject").size(),
              c.status.find("a.doc") == 0 ? 1u : 0u);
  }
}

}  // namespace

// One file under several names (a second hard link, a symbolic link) is
// opened once, under its first name; an owner file "~$…" (Word's for a short
// or a long name, Excel's) marks its document as in use, and it is not opened.
TEST(DocumentRunNames, ASecondNameIsSkippedAndAnOwnerFileMeansInUse) {
  const std::string inUse =
      " 处理失败，错误代码：-2147467259错误描述：文件正被其他程序使用，未作改动\r\n";
  struct Case {
    const char* what;
    std::string name;   // made beside a.doc and z.doc, both holding the text
    std::string other;  // "link" (hard), "symlink" (to a.doc), or the owner file's document
    std::size_t opens;
    std::string status;
  };
  std::vector<Case> cases = {
      {"hard link", "b.doc", "link", 2,
       "a.doc 已替换内容\r\nb.doc 与 a.doc 是同一个文件，已处理过，跳过\r\nz.doc 已替换内容\r\n"},
      {"owner file", "~$a.doc", "a.doc", 1, "a.doc" + inUse + "z.doc 已替换内容\r\n"},
      {"owner file of a long name", "~$345678.doc", "12345678.doc", 2,
       "12345678.doc" + inUse + "a.doc 已替换内容\r\nz.doc 已替换内容\r\n"},
      {"owner file of a seven-character name", "~$234567.doc", "1234567.doc", 2,
       "1234567.doc" + inUse + "a.doc 已替换内容\r\nz.doc 已替换内容\r\n"},
      {"owner file of another document", "~$b.doc", "ab.doc", 3,
       "a.doc 已替换内容\r\nab.doc 已替换内容\r\nz.doc 已替换内容\r\n"},
  };
#ifndef _WIN32
  cases.push_back({"symbolic link", "0.doc", "symlink", 2,
                   "0.doc 已替换内容\r\na.doc 与 0.doc 是同一个文件，已处理过，跳过\r\nz.doc "
                   "已替换内容\r\n"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    WindowRig rig;
    rig.office.serve(rig.servers, "word.Application");
    const fs::path docs = rig.work.mkdir("docs");
    const std::string folder = rig.work.sub("docs");
    std::vector<std::string> names{"a.doc", "z.doc"};
    rig.work.write("docs/a.doc", "on disk");
    if (c.other == "link") {
      fs::create_hard_link(docs / "a.doc", docs / text::pathFromUtf8(c.name));
      names.push_back(c.name);
    } else if (c.other == "symlink") {
      fs::create_symlink("a.doc", docs / text::pathFromUtf8(c.name));
      names.push_back(c.name);
    } else {
      rig.work.write("docs/" + c.name, "Word's owner");
      names.push_back(c.other);
    }
    for (const std::string& name : names) {
      if (!fs::exists(docs / text::pathFromUtf8(name))) rig.work.write("docs/" + name, "on disk");
      rig.office.documents[testsupport::joinPath(folder, name)] = "旧";
    }
    ui::Form1& form = rig.build();
    form.Form_Load();
    form.clickOption(1);
    form.openFolder(folder);
    form.Text1.text = "旧";
    form.Text2.text = "新";
    form.Command1_Click();
    EXPECT_EQ(testsupport::statusLines(form.Text3.text()), c.status);
    EXPECT_EQ(rig.office.callsContaining("Documents.Open").size(), c.opens);
    std::istringstream lines(c.status);
    for (std::string line; std::getline(lines, line);) {
      EXPECT_NE(rig.journal().find(line), std::string::npos) << line;
    }
  }
}
