// The command line as users run it: the installed program started with
// options, against the real office, on documents made by independent writers;
// its output, exit status and journal compared with the window's run.
#include <sys/stat.h>
#include <sys/wait.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempFolder;
using testsupport::WindowRig;
using Lines = std::vector<std::string>;

const std::string kOld = "旧文本";
const std::string kNew = "新文本";

class Corpus {
 public:
  static const fs::path& documents() { return instance().docs_.path(); }
  static const fs::path& workbooks() { return instance().books_.path(); }

 private:
  static Corpus& instance() {
    static Corpus corpus;
    return corpus;
  }
  Corpus() {
    e2e::makeDocuments(docs_.path(), {
                                         {"正文.doc", "正文里有旧文本。", "表格", "页眉旧文本"},
                                         {"无关.doc", "正文没有", "表格没有", "页眉没有"},
                                         {"表格.doc", "正文", "旧文本在表格里", ""},
                                         {"b 报告.doc", "旧文本", "", ""},
                                         {"c.doc", "没有", "", ""},
                                     });
    std::ofstream(docs_.path() / "损坏.doc") << "not a document at all";
    e2e::makeWorkbook(books_.path() / "book.xls", {"Sheet1=a|b", "数据=x 旧文本 y|z"});
    e2e::makeWorkbook(books_.path() / "plain.xls", {"Only=nothing here"});
    std::ofstream(books_.path() / "损坏.xls") << "not a workbook at all";
  }
  TempFolder docs_;
  TempFolder books_;
};

struct Result {
  int status = -1;
  std::string out;
  std::string err;
};

Lines splitLines(const std::string& text) {
  Lines lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// A journal's results without their time stamps ("时间：<date> <time> ").
Lines journalResults(const std::string& journal) {
  Lines results;
  for (const std::string& line : splitLines(journal)) {
    std::size_t at = line.find(' ');
    at = at == std::string::npos ? at : line.find(' ', at + 1);
    results.push_back(at == std::string::npos ? line : line.substr(at + 1));
  }
  return results;
}

// A copy of the program in a folder of its own, so that its journal is the
// test's alone.
class CommandLine : public ::testing::Test {
 protected:
  TempFolder program;
  TempFolder work;

  void SetUp() override {
    fs::copy_file(RAVELSK_PROGRAM, program.path() / "ravelsk");
    fs::permissions(program.path(), fs::perms(0755));
  }
  void TearDown() override {
    EXPECT_TRUE(e2e::officeProcesses().empty()) << "an office process outlived the test";
  }

  Result run(const std::vector<std::string>& args, const std::string& prefix = "") {
    const fs::path errFile = work.path() / "stderr.txt";
    std::string command =
        prefix + "env LC_ALL=C.UTF-8 " + e2e::quote((program.path() / "ravelsk").string());
    for (const std::string& arg : args) command += " " + e2e::quote(arg);
    command += " 2>" + e2e::quote(errFile.string()) + " </dev/null";
    Result result;
    int status = 0;
    result.out = e2e::run(command, &status);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.err = readFile(errFile);
    return result;
  }
  fs::path copy(const fs::path& from, const std::string& name) {
    const fs::path to = work.path() / name;
    fs::create_directories(to);
    fs::copy(from, to, fs::copy_options::recursive);
    return to;
  }
  std::string journal() const {
    std::string all;
    const fs::path folder = program.path() / "Journal";
    if (!fs::exists(folder)) return all;
    for (const auto& day : fs::directory_iterator(folder)) {
      all += readFile(day.path() / (day.path().filename().string() + ".txt"));
    }
    return all;
  }
};

TEST_F(CommandLine, AMixedFolderGivesTheWindowsLinesJournalAndAFailureStatus) {
  struct Case {
    std::string option;
    int windowOption;
    const fs::path& corpus;
  };
  for (const Case& c :
       {Case{"--doc", 1, Corpus::documents()}, Case{"--xls", 2, Corpus::workbooks()}}) {
    SCOPED_TRACE(c.option);
    const fs::path ours = copy(c.corpus, "cli" + c.option);
    const std::string before = journal();
    const Result result = run({c.option, ours.string(), "--find", kOld, "--replace", kNew});

    WindowRig rig;
    ASSERT_TRUE(office::libreoffice::registerServers(rig.servers));
    const fs::path theirs = copy(c.corpus, "window" + c.option);
    ui::Form1& form = rig.build(theirs.string());
    form.Form_Load();
    const std::size_t statusBefore = form.Text3.text().size();
    const std::size_t journalBefore = fs::exists(rig.journalFile()) ? rig.journal().size() : 0;
    form.clickOption(c.windowOption);
    form.Text1.text = kOld;
    form.Text2.text = kNew;
    c.windowOption == 1 ? form.Command1_Click() : form.Command2_Click();
    const Lines windowLines = splitLines(form.Text3.text().substr(statusBefore));
    const Lines windowJournal = journalResults(rig.journal().substr(journalBefore));
    rig.form.reset();

    EXPECT_EQ(result.status, 1) << result.err;  // the broken file
    EXPECT_EQ(result.err, "");
    ASSERT_GE(windowLines.size(), 3u);
    EXPECT_EQ(splitLines(result.out), windowLines);
    EXPECT_EQ(journalResults(journal().substr(before.size())), windowJournal);
  }
  EXPECT_NE(e2e::antiword(work.path() / "cli--doc" / "正文.doc").find(kNew), std::string::npos);
  EXPECT_NE(e2e::readWorkbook(work.path() / "cli--xls" / "book.xls").find("x 新文本 y"),
            std::string::npos);
}

TEST_F(CommandLine, ThreeJobsWriteWhatOneJobWrites) {
  const fs::path one = copy(Corpus::documents(), "one");
  for (const char* name : {"正文.doc", "表格.doc"}) {
    fs::copy_file(one / name, one / (std::string("z") + name));
  }
  const fs::path three = copy(one, "three");
  const Result byOne = run({"--doc", one.string(), "--find", kOld, "--replace", kNew});
  const std::string journalOfOne = journal();
  const Result byThree =
      run({"--jobs", "3", "--doc", three.string(), "--find", kOld, "--replace", kNew});

  EXPECT_EQ(byOne.status, 1);
  EXPECT_EQ(byThree.status, 1);
  ASSERT_EQ(splitLines(byOne.out).size(), 8u) << byOne.out;
  EXPECT_EQ(byThree.out, byOne.out);
  EXPECT_EQ(journalResults(journal().substr(journalOfOne.size())), journalResults(journalOfOne));
  for (const auto& entry : fs::directory_iterator(one)) {
    const std::string name = entry.path().filename().string();
    if (name == "损坏.doc") continue;
    EXPECT_EQ(e2e::catdoc(three / name), e2e::catdoc(entry.path())) << name;
  }
}

TEST_F(CommandLine, RecursiveRunsEverySubfolderDepthFirst) {
  const fs::path tree = work.path() / "tree";
  fs::create_directories(tree / "b" / "deep");
  fs::create_directories(tree / "a");
  fs::copy_file(Corpus::documents() / "正文.doc", tree / "top.doc");
  fs::copy_file(Corpus::documents() / "c.doc", tree / "a" / "x.doc");
  fs::copy_file(Corpus::documents() / "表格.doc", tree / "b" / "deep" / "y.doc");
  fs::copy_file(Corpus::documents() / "b 报告.doc", tree / "b" / "z.doc");
  const Result result = run(
      {"--doc", tree.string(), "--find", kOld, "--replace", kNew, "--recursive", "--jobs", "2"});
  EXPECT_EQ(result.status, 0) << result.err;
  EXPECT_EQ(splitLines(result.out), (Lines{"top.doc 已替换内容", "a/x.doc 没找到替换的内容",
                                           "b/z.doc 已替换内容", "b/deep/y.doc 已替换内容"}));
  EXPECT_NE(e2e::antiword(tree / "b" / "deep" / "y.doc").find(kNew), std::string::npos);
}

TEST_F(CommandLine, UsageErrorsAndNoServerEndWithStatusTwoAndOneLine) {
  const fs::path folder = copy(Corpus::documents(), "docs");
  const fs::path locked = work.path() / "locked";
  fs::create_directories(locked);
  fs::permissions(work.path(), fs::perms(0755));
  fs::permissions(locked, fs::perms(0700));
  const std::string f = folder.string();
  struct Case {
    std::vector<std::string> args;
    std::string reason;
    std::string prefix = "";
  };
  const std::vector<Case> cases = {
      {{"--doc", (work.path() / "nope").string(), "--find", "a", "--replace", "b"}, "文件夹不存在"},
      {{"--doc", (folder / "c.doc").string(), "--find", "a", "--replace", "b"}, "不是文件夹"},
      {{"--doc", locked.string(), "--find", "a", "--replace", "b"},
       "无法打开文件夹",
       "setpriv --reuid=65534 --regid=65534 --clear-groups "},
      {{"--doc", f, "--find", "", "--replace", "b"}, "查找内容为空"},
      {{"--doc", f, "--find", "a"}, "缺少 --replace"},
      {{"--doc", f, "--find", "a", "--replace", "b", "--fast"}, "未知选项：--fast"},
      {{"--doc", f, "--find", "a", "--replace", "b", "--jobs", "many"}, "--jobs"},
      {{"--doc", f, "--xls", f, "--find", "a", "--replace", "b"}, "二者选一"},
      {{"--doc", f, "--find", kOld, "--replace", kNew, "--suite", "wps"}, "无法启动办公软件"},
  };
  const std::string before = readFile(Corpus::documents() / "正文.doc");
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const Result result = run(c.args, c.prefix);
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err.rfind("ravelsk: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
  // Without a server the window's line is still written, to the output and the journal.
  const Result wps = run(cases.back().args);
  EXPECT_EQ(wps.out,
            "无法启动办公软件：KET.Application，错误代码：429错误描述：ActiveX 部件不能创建对象\n");
  EXPECT_EQ(journalResults(journal()).back(), splitLines(wps.out).back());
  EXPECT_EQ(readFile(folder / "正文.doc"), before);

  const Result help = run({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--jobs"), std::string::npos);
  EXPECT_EQ(run({"--version"}).out, "ravelsk 1.0\n");
}

}  // namespace
