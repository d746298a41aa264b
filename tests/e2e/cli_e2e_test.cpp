// The command line as users run it: the installed program started with
// options, against the real office, on documents made by independent writers;
// its output, exit status and journal compared with the window's run.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "cli/command_line.h"
#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "replace/journal.h"
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

  // redirect: the shell's redirections after the program's own ("2>&-").
  Result run(const std::vector<std::string>& args, const std::string& prefix = "",
             const std::string& redirect = "") {
    const fs::path errFile = work.path() / "stderr.txt";
    std::string command =
        prefix + "env LC_ALL=C.UTF-8 " + e2e::quote((program.path() / "ravelsk").string());
    for (const std::string& arg : args) command += " " + e2e::quote(arg);
    command += " 2>" + e2e::quote(errFile.string()) + " </dev/null" + redirect;
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
    const std::size_t statusBefore = testsupport::statusLines(form.Text3.text()).size();
    const std::size_t journalBefore = fs::exists(rig.journalFile()) ? rig.journal().size() : 0;
    form.clickOption(c.windowOption);
    form.Text1.text = kOld;
    form.Text2.text = kNew;
    c.windowOption == 1 ? form.Command1_Click() : form.Command2_Click();
    const Lines windowLines =
        splitLines(testsupport::statusLines(form.Text3.text()).substr(statusBefore));
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
      {{"--version", "--fast"}, "未知选项：--fast"},
      {{"--doc", f, "--find", "a", "--replace", "b", "--jobs", "many"}, "--jobs"},
      {{"--doc", f, "--xls", f, "--find", "a", "--replace", "b"}, "二者选一"},
      // A bare folder is a mistake with a hint, never a window.
      {{f}, "请用 --doc 或 --xls 指定文件夹"},
      {{"--doc", f, "--find", "a", "--replace", "b", "--", "x"}, "请用 --doc 或 --xls 指定文件夹"},
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
  // -h is help; a folder without a file to process is said, with status 1.
  const Result help = run({"-h"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("--match-case"), std::string::npos);
  const fs::path empty = work.path() / "empty";
  fs::create_directories(empty);
  const Result none = run({"--doc", empty.string(), "--find", "a", "--replace", "b"});
  EXPECT_EQ(none.status, 1);
  EXPECT_EQ(none.err, "ravelsk: 没有找到要处理的文件：" + empty.string() + "\n");
  // Without a server the window's line is still written, to the output and the journal.
  const Result wps = run(cases.back().args);
  EXPECT_EQ(wps.out,
            "无法启动办公软件：KET.Application，错误代码：429错误描述：ActiveX 部件不能创建对象\n");
  EXPECT_EQ(journalResults(journal()).back(), splitLines(wps.out).back());
  EXPECT_EQ(readFile(folder / "正文.doc"), before);

  const Result longHelp = run({"--help"});
  EXPECT_EQ(longHelp.status, 0);
  EXPECT_EQ(longHelp.out, help.out);
  EXPECT_EQ(run({"--version"}).out, "ravelsk 1.0\n");
}

std::size_t occurrences(const std::string& text, const std::string& what) {
  std::size_t count = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
    ++count;
  return count;
}

struct FileState {
  std::string bytes;
  struct stat st {};
};

std::map<std::string, FileState> folderState(const fs::path& folder) {
  std::map<std::string, FileState> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (!entry.is_regular_file()) continue;
    FileState& state = files[entry.path().lexically_relative(folder).string()];
    state.bytes = readFile(entry.path());
    ::stat(entry.path().c_str(), &state.st);
  }
  return files;
}

bool sameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Standard output closed or full: every file is still done and journalled,
// and the lost lines are said on standard error with a failure status.
TEST_F(CommandLine, AClosedOrFullStandardOutputIsSaidAndEveryFileIsStillDone) {
  for (const std::string redirect : {" >/dev/full", " <&- >&-", " >&-"}) {
    SCOPED_TRACE(redirect);
    const fs::path folder = work.path() / "docs";
    fs::remove_all(folder);
    fs::create_directories(folder);
    for (const char* name : {"正文.doc", "c.doc", "表格.doc"}) {
      fs::copy_file(Corpus::documents() / name, folder / name);
    }
    const std::size_t before = journalResults(journal()).size();
    const Result result =
        run({"--doc", folder.string(), "--find", kOld, "--replace", kNew}, "", redirect);
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "ravelsk: 无法写入标准输出，结果行未能全部输出\n");
    const Lines journalled = journalResults(journal());
    EXPECT_EQ(Lines(journalled.begin() + static_cast<std::ptrdiff_t>(before), journalled.end()),
              (Lines{"c.doc 没找到替换的内容", "正文.doc 已替换内容", "表格.doc 已替换内容"}));
    EXPECT_NE(e2e::antiword(folder / "表格.doc").find(kNew), std::string::npos);
  }
}

// A report is never written through a link (one planted in a shared sticky
// folder by another user, or any other), over one of the batch's documents,
// or over a file that is not a report: each is refused before any file is
// touched, and what it names stays byte for byte as it was.
TEST_F(CommandLine, AReportNeverDestroysAFile) {
  const fs::path folder = copy(Corpus::documents(), "docs");
  const fs::path shared = work.path() / "shared";
  fs::create_directories(shared);
  fs::permissions(work.path(), fs::perms(0755));
  fs::permissions(shared, fs::perms(01777));
  const fs::path victim = work.path() / "victim.doc";
  fs::copy_file(Corpus::documents() / "正文.doc", victim);
  std::ofstream(shared / "notes.csv") << "path,not ours\r\n";
  int status = -1;
  e2e::run("setpriv --reuid=65534 --regid=65534 --clear-groups ln -s " + e2e::quote(victim) + " " +
               e2e::quote(shared / "theirs.csv"),
           &status);
  ASSERT_EQ(status, 0);
  fs::create_symlink(victim, shared / "ours.csv");
  fs::create_symlink(folder / "c.doc", shared / "document.csv");
  const auto before = folderState(folder);
  const std::string victimBefore = readFile(victim);
  struct Case {
    fs::path report;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {shared / "theirs.csv", "这是一个符号链接"},
      {shared / "ours.csv", "这是一个符号链接"},
      {folder / "正文.doc", "报告文件不能在要替换的文件夹里"},
      {shared / "document.csv", "报告文件不能在要替换的文件夹里"},
      {shared / "notes.csv", "不是本程序先前写出的，不覆盖"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.report);
    const Result result = run({"--doc", folder.string(), "--find", kOld, "--replace", kNew,
                               "--report", c.report.string()});
    EXPECT_EQ(result.status, 2);
    EXPECT_NE(result.err.find(c.reason), std::string::npos) << result.err;
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(readFile(victim), victimBefore);
  EXPECT_EQ(readFile(shared / "notes.csv"), "path,not ours\r\n");
  const auto after = folderState(folder);
  ASSERT_EQ(after.size(), before.size());
  for (const auto& [name, state] : before) {
    EXPECT_EQ(after.at(name).bytes, state.bytes) << name;
  }
  // A new report there is written, and so is an earlier report of ours again.
  for (int time = 0; time < 2; ++time) {
    const Result result = run({"--doc", folder.string(), "--find", "nowhere", "--replace", "x",
                               "--report", (shared / "new.csv").string()});
    EXPECT_EQ(result.status, 1) << result.err;  // the broken file
    EXPECT_NE(readFile(shared / "new.csv").find("\r\nc.doc,,not found,,,\r\n"), std::string::npos);
  }
}

// Ended by a signal with --jobs 2 while its first file (many pairs over a
// long text) is still being worked on and the other office has changed
// later files: every file whose new content reached the disk has its line on
// standard output, in the journal and in the report.
TEST_F(CommandLine, EndedBySignalEveryChangedFileHasItsLineJournalAndReportRow) {
  const fs::path originals = work.path() / "originals";
  fs::create_directories(originals);
  std::string slow;
  for (int i = 0; i < 10000; ++i) slow += kOld + "，";
  std::vector<e2e::DocumentSpec> documents{{"a.doc", slow, "", ""}};
  for (int i = 1; i <= 6; ++i) {
    documents.push_back({"b" + std::to_string(i) + ".doc", "正文里有" + kOld + "。", "", ""});
  }
  e2e::makeDocuments(originals, documents);
  const fs::path rules = work.path() / "rules.txt";
  std::ofstream(rules) << kOld << "\t" << kNew << "\n"
                       << kNew << "\t" << kOld << "\n"
                       << kOld << "\t" << kNew << "\n";

  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    const fs::path folder = work.path() / "docs";
    fs::remove_all(folder);
    fs::copy(originals, folder);
    const fs::path out = work.path() / "out.txt";
    const fs::path report = work.path() / "report.csv";
    const std::size_t journalBefore = journalResults(journal()).size();

    std::vector<std::string> args{(program.path() / "ravelsk").string(),
                                  "--doc",
                                  folder.string(),
                                  "--rules",
                                  rules.string(),
                                  "--jobs",
                                  "2",
                                  "--report",
                                  report.string()};
    std::vector<std::string> env{"LC_ALL=C.UTF-8"};
    for (char** e = environ; *e != nullptr; ++e) {
      if (std::strncmp(*e, "LC_ALL=", 7) != 0) env.emplace_back(*e);
    }
    std::vector<char*> argv, envp;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int nullFd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ASSERT_GE(outFd, 0);
    ASSERT_GE(nullFd, 0);
    // This process may hold the office bridge's threads: only exec after the fork.
    const pid_t pid = ::fork();
    if (pid == 0) {
      ::dup2(nullFd, 0);
      ::dup2(outFd, 1);
      ::dup2(nullFd, 2);
      ::execve(argv[0], argv.data(), envp.data());
      ::_exit(127);
    }
    ::close(outFd);
    ::close(nullFd);
    ASSERT_GT(pid, 0);

    const auto changed = [&] {
      Lines names;
      for (const auto& entry : fs::directory_iterator(originals)) {
        const fs::path name = entry.path().filename();
        if (readFile(folder / name) != readFile(entry.path())) names.push_back(name.string());
      }
      return names;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (changed().size() < 2 && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ::kill(pid, signal);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;

    const Lines done = changed();
    EXPECT_GE(done.size(), 2u);
    EXPECT_LT(done.size(), documents.size()) << "the run ended before the signal";
    const Lines printed = splitLines(readFile(out));
    const Lines journalled = journalResults(journal());
    const std::string csv = readFile(report);
    for (const std::string& name : done) {
      SCOPED_TRACE(name);
      const std::string line = name + " 已替换内容";
      EXPECT_NE(std::find(printed.begin(), printed.end(), line), printed.end());
      EXPECT_NE(std::find(journalled.begin() + static_cast<std::ptrdiff_t>(journalBefore),
                          journalled.end(), line),
                journalled.end());
      EXPECT_NE(csv.find("\r\n" + name + ",,replaced,,,\r\n"), std::string::npos) << csv;
    }
  }
}

// The text in every part of a document a replacement reaches: a dry run
// counts exactly what the real run then replaces, and touches nothing.
TEST_F(CommandLine, ADryRunCountsWhatTheRunReplacesAndChangesNoByte) {
  const fs::path docs = work.path() / "docs";
  fs::create_directories(docs);
  e2e::makeDocuments(docs, {{"全.doc", "正文旧文本，又一个旧文本。", "表格旧文本", "页眉旧文本",
                             "页脚旧文本", "脚注旧文本", "图文框旧文本"},
                            {"无.doc", "没有", "", ""}});
  fs::copy_file(Corpus::documents() / "损坏.doc", docs / "损坏.doc");
  const fs::path books = copy(Corpus::workbooks(), "books");
  const auto docsBefore = folderState(docs);
  const auto booksBefore = folderState(books);
  const std::string journalBefore = journal();
  const fs::path report = work.path() / "dry.csv";

  const Result dry = run({"--doc", docs.string(), "--find", kOld, "--replace", "替XQ", "--dry-run",
                          "--report", report.string(), "--jobs", "2"});
  const Result dryBooks =
      run({"--xls", books.string(), "--rules", (work.path() / "rules.txt").string(), "--dry-run"},
          "printf '旧文本\\t新\\nx \\ty\\n' > " + e2e::quote((work.path() / "rules.txt").string()) +
              " && ");

  EXPECT_EQ(dry.status, 1) << dry.err;  // the broken file
  const Lines lines = splitLines(dry.out);
  ASSERT_EQ(lines.size(), 3u) << dry.out;
  EXPECT_EQ(lines[0], "全.doc 试运行：找到 7 处，未作改动");
  EXPECT_EQ(lines[1].rfind("损坏.doc 处理失败，错误代码：", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "无.doc 试运行：找到 0 处，未作改动");
  const std::string csv = readFile(report);
  EXPECT_EQ(csv.rfind("\xEF\xBB\xBFpath,sheet,result,count,error code,error description\r\n"
                      "全.doc,,would replace,7,,\r\n损坏.doc,,failed,,-2147467259,",
                      0),
            0u)
      << csv;
  EXPECT_EQ(dryBooks.status, 1) << dryBooks.err;
  EXPECT_EQ(splitLines(dryBooks.out).at(0), "book.xls-Sheet1试运行：找到 0 处，未作改动");
  EXPECT_EQ(splitLines(dryBooks.out).at(1), "book.xls-数据试运行：找到 2 处，未作改动");
  EXPECT_NE(csv.find("\r\n无.doc,,not found,0,,\r\n"), std::string::npos);
  EXPECT_EQ(journal(), journalBefore);
  for (const auto& [before, folder] :
       {std::pair{&docsBefore, docs}, std::pair{&booksBefore, books}}) {
    const auto after = folderState(folder);
    ASSERT_EQ(after.size(), before->size());
    for (const auto& [name, state] : *before) {
      SCOPED_TRACE(name);
      EXPECT_EQ(after.at(name).bytes, state.bytes);
      EXPECT_TRUE(sameTime(after.at(name).st.st_mtim, state.st.st_mtim));
      EXPECT_TRUE(sameTime(after.at(name).st.st_ctim, state.st.st_ctim));
    }
  }

  const Result real = run({"--doc", docs.string(), "--find", kOld, "--replace", "替XQ"});
  EXPECT_EQ(splitLines(real.out).at(0), "全.doc 已替换内容");
  const std::string text = e2e::catdoc(docs / "全.doc");
  EXPECT_EQ(occurrences(text, "替XQ"), 7u) << text;
  EXPECT_EQ(occurrences(text, kOld), 0u) << text;
}

// A dry run says which sheets the run would fail for cells their protection
// keeps from change; the run then does as it said.
TEST_F(CommandLine, ADryRunSaysWhichProtectedSheetsTheRunWouldRefuse) {
  struct Row {
    std::string sheet, dry, real;
  };
  const std::vector<Row> rows{
      {"!S=旧文本 一|{unlocked}旧文本 二",
       "locked.xls-S试运行：找到 2 处，其中 1 处受保护，替换时会失败，未作改动",
       "locked.xls-S 处理失败，错误代码：-2147467259错误描述：部分单元格无法替换：1 处受保护，"
       "未作改动"},
      {"!S=锁定|{unlocked}旧文本 二", "locked.xls-S试运行：找到 1 处，未作改动",
       "locked.xls-S已替换内容"},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].sheet);
    const fs::path books = work.path() / ("locked" + std::to_string(i));
    fs::create_directories(books);
    e2e::makeWorkbook(books / "locked.xls", {rows[i].sheet});
    std::vector<std::string> args{"--xls", books.string(), "--find", kOld, "--replace", "新"};
    std::vector<std::string> dryArgs = args;
    dryArgs.push_back("--dry-run");
    const Result dry = run(dryArgs);
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(dry.out, rows[i].dry + "\n");
    const Result real = run(args);
    EXPECT_EQ(real.out, rows[i].real + "\n");
  }
}

// --match-case: only the find text's own letter case is found, counted and
// replaced, in documents (body, header) and in worksheet cells.
TEST_F(CommandLine, MatchCaseFindsCountsAndReplacesOnlyTheSameLetterCase) {
  const fs::path docs = work.path() / "case-docs";
  fs::create_directories(docs);
  e2e::makeDocuments(docs, {{"c.doc", "abc ABC Abc", "abc", "Abc abc"}});
  const fs::path books = work.path() / "case-books";
  fs::create_directories(books);
  e2e::makeWorkbook(books / "c.xls", {"S=abc|ABC|x Abc x|abc abc"});
  struct Case {
    std::vector<std::string> kind;
    std::string countLine;
  };
  const std::vector<Case> cases = {
      {{"--doc", docs.string()}, "c.doc 试运行：找到 3 处，未作改动"},
      {{"--xls", books.string()}, "c.xls-S试运行：找到 2 处，未作改动"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind.front());
    std::vector<std::string> args = c.kind;
    for (const char* more : {"--find", "abc", "--replace", "Q", "--match-case"}) {
      args.push_back(more);
    }
    std::vector<std::string> dryArgs = args;
    dryArgs.push_back("--dry-run");
    const Result dry = run(dryArgs);
    EXPECT_EQ(dry.status, 0) << dry.err;
    EXPECT_EQ(dry.out, c.countLine + "\n");
    const Result real = run(args);
    EXPECT_EQ(real.status, 0) << real.err;
  }
  const std::string text = e2e::catdoc(docs / "c.doc");
  EXPECT_EQ(occurrences(text, "Q"), 3u) << text;
  EXPECT_EQ(occurrences(text, "ABC"), 1u) << text;
  EXPECT_EQ(occurrences(text, "Abc"), 2u) << text;
  const std::string cells = e2e::readWorkbook(books / "c.xls");
  EXPECT_NE(cells.find("\tQ\n"), std::string::npos) << cells;
  EXPECT_NE(cells.find("\tABC\n"), std::string::npos) << cells;
  EXPECT_NE(cells.find("\tx Abc x\n"), std::string::npos) << cells;
  EXPECT_NE(cells.find("\tQ Q\n"), std::string::npos) << cells;
}

// Counts the documents the servers are asked to open.
class CountingObject : public office::Dispatch {
 public:
  CountingObject(office::Object target, std::shared_ptr<std::atomic<int>> opens)
      : target_(std::move(target)), opens_(std::move(opens)) {}
  office::Variant invoke(std::string_view member, office::CallKind kind,
                         const office::Arguments& args) override {
    if (office::sameName(member, "Open")) ++*opens_;
    office::Variant result = target_.get()->invoke(member, kind, args);
    if (result.isObject() && result.toObject()) {
      return office::Object(std::make_shared<CountingObject>(result.toObject(), opens_));
    }
    return result;
  }

 private:
  office::Object target_;
  std::shared_ptr<std::atomic<int>> opens_;
};

TEST_F(CommandLine, FiftyRulesOverThirtyDocumentsOpenEachDocumentOnce) {
  const fs::path docs = work.path() / "docs";
  fs::create_directories(docs);
  std::vector<e2e::DocumentSpec> documents;
  for (int i = 0; i < 30; ++i) {
    const std::string n = std::to_string(i);
    documents.push_back({"d" + n + ".doc", "词" + n + "号与词" + std::to_string(i + 20) + "号",
                         i % 3 == 0 ? "表中词" + n + "号" : "", ""});
  }
  e2e::makeDocuments(docs, documents);
  std::string rules = "\xEF\xBB\xBF# 五十组，最后一组改写第一组写下的内容\r\n";
  for (int k = 0; k < 49; ++k) {
    rules += "词" + std::to_string(k) + "号\t新" + std::to_string(k) + "号\r\n";
  }
  rules += "新0号\t终\r\n";
  const fs::path rulesFile = work.path() / "rules.txt";
  std::ofstream(rulesFile, std::ios::binary) << rules;

  office::ServerRegistry offices;
  ASSERT_TRUE(office::libreoffice::registerServers(offices));
  office::ServerRegistry counted;
  auto opens = std::make_shared<std::atomic<int>>(0);
  counted.add("word.Application", [&offices, opens] {
    return office::Object(
        std::make_shared<CountingObject>(offices.create("word.Application"), opens));
  });
  replace::Clock clock;
  std::ostringstream out, err;
  cli::Environment env;
  env.servers = [&counted](unsigned) -> const office::ServerRegistry& { return counted; };
  env.clock = &clock;
  env.programFolder = program.path();
  env.userJournalFolder = work.path() / "journal";
  env.codeset = "UTF-8";
  env.out = &out;
  env.err = &err;
  const int status = cli::runCommandLine(
      {"--doc", docs.string(), "--rules", rulesFile.string(), "--jobs", "2"}, env);

  EXPECT_EQ(status, 0) << err.str();
  EXPECT_EQ(opens->load(), 30);
  Lines expected;
  for (int i = 0; i < 30; ++i) expected.push_back("d" + std::to_string(i) + ".doc 已替换内容");
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(splitLines(out.str()), expected);
  for (int i = 0; i < 30; ++i) {
    const std::string text = e2e::catdoc(docs / ("d" + std::to_string(i) + ".doc"));
    SCOPED_TRACE(text);
    EXPECT_EQ(occurrences(text, "词"), i >= 29 ? 1u : 0u);  // 词49号 has no rule
    EXPECT_EQ(occurrences(text, i == 0 ? "终" : "新" + std::to_string(i) + "号"),
              i % 3 == 0 ? 2u : 1u);
  }
}

// A rules workbook, written by another program and in either format, is read
// by the office read-only: it is left as it was, without a lock beside it.
TEST_F(CommandLine, RulesWorkbooksOfEitherFormatChangeWhatTheTypedPairsChange) {
  const fs::path lists = work.path() / "lists";
  fs::create_directories(lists);
  e2e::makeWorkbook(lists / "rules.xls", {"规则=|{pair}# 原内容\t新内容|{pair}旧,名\t新|{blank}|"
                                          "{pair}{number}2025\t{number}2026|{pair}甲\t|"
                                          "{pair}{date}2024-01-05\t{formula}=\"新\"&\"年\"",
                                          "其他=别的"});
  e2e::makeWorkbook(lists / "error.xls", {"规则={pair}a\tb|{pair}c\t{formula}=1/0"});
  e2e::convert(lists / "rules.xls", "xlsx:Calc MS Excel 2007 XML");
  for (const char* name : {"rules.xls", "rules.xlsx"}) {
    SCOPED_TRACE(name);
    const fs::path rules = lists / name;
    fs::permissions(rules, fs::perms(0444));
    const std::string before = readFile(rules);
    const fs::path folder = work.path() / (std::string("docs-") + name);
    fs::create_directories(folder);
    e2e::makeDocuments(
        folder, {{"a.doc", "旧,名 2025 甲乙 别的 2024-01-05", "", ""}, {"b.doc", "无", "", ""}});
    const Result result = run({"--doc", folder.string(), "--rules", rules.string()});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(splitLines(result.out), (Lines{"a.doc 已替换内容", "b.doc 没找到替换的内容"}));
    EXPECT_EQ(e2e::catdoc(folder / "a.doc").find("新 2026 乙 别的 新年"), 0u)
        << e2e::catdoc(folder / "a.doc");
    EXPECT_EQ(readFile(rules), before);

    // A cell showing an error is no text: nothing is touched.
    const std::string written = readFile(folder / "a.doc");
    const Result refused =
        run({"--doc", folder.string(), "--rules", (lists / "error.xls").string()});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "ravelsk: 规则工作簿第 2 行的单元格是错误值，不是文字\n");
    EXPECT_EQ(readFile(folder / "a.doc"), written);
    EXPECT_EQ(e2e::leftovers(lists), Lines{});
  }
}

TEST_F(CommandLine, BackupsKeepTheChangedOriginalsAndRestoreThem) {
  const fs::path folder = copy(Corpus::documents(), "docs");
  fs::create_directories(folder / "子");
  fs::copy_file(Corpus::documents() / "正文.doc", folder / "子" / "深.doc");
  fs::permissions(folder / "表格.doc", fs::perms(0640));
  const auto before = folderState(folder);
  const fs::path report = work.path() / "r.csv";

  struct Case {
    std::string name;
    fs::path backup;  // on the same file system, and on another
  };
  TempFolder shm;  // where the copies go when /dev/shm is another file system
  const fs::path other = fs::exists("/dev/shm") ? fs::path("/dev/shm") : shm.path();
  const fs::path elsewhere = other / ("ravelsk-backup-" + std::to_string(::getpid()));
  for (const Case& c : {Case{"hard links", work.path() / "备份"}, Case{"copies", elsewhere}}) {
    SCOPED_TRACE(c.name);
    for (const auto& [name, state] : before) {
      std::ofstream(folder / name, std::ios::binary) << state.bytes;
      fs::permissions(folder / name, static_cast<fs::perms>(state.st.st_mode & 07777));
    }
    const auto original = folderState(folder);
    // A backup that cannot be written fails its file, which stays as it was.
    fs::create_directories(c.backup);
    std::ofstream(c.backup / "b 报告.doc") << "in the way";
    const Result result =
        run({"--doc", folder.string(), "--find", kOld, "--replace", kNew, "--recursive", "--backup",
             c.backup.string(), "--report", report.string()});
    EXPECT_EQ(result.status, 1) << result.err;
    const Lines lines = splitLines(result.out);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "正文.doc 已替换内容"), lines.end());
    EXPECT_NE(result.out.find("b 报告.doc 处理失败"), std::string::npos) << result.out;
    EXPECT_NE(readFile(report).find("b 报告.doc,,failed,"), std::string::npos);
    EXPECT_EQ(readFile(folder / "b 报告.doc"), original.at("b 报告.doc").bytes);
    fs::remove(c.backup / "b 报告.doc");

    auto kept = folderState(c.backup);
    ASSERT_EQ(kept.count("ravelsk-backup.txt"), 1u);
    kept.erase("ravelsk-backup.txt");
    Lines names;
    for (const auto& [name, state] : kept) names.push_back(name);
    EXPECT_EQ(names, (Lines{"子/深.doc", "正文.doc", "表格.doc"}));
    for (const auto& [name, state] : kept) {
      SCOPED_TRACE(name);
      const struct stat& was = original.at(name).st;
      EXPECT_EQ(state.bytes, original.at(name).bytes);
      EXPECT_NE(readFile(folder / name), state.bytes);
      EXPECT_EQ(state.st.st_mode, was.st_mode);
      EXPECT_TRUE(sameTime(state.st.st_mtim, was.st_mtim));
      EXPECT_EQ(state.st.st_ino == was.st_ino, c.name == "hard links");
    }
    // Another program edits one of them; the undo puts back every other
    // original and leaves that one as it was edited.
    std::ofstream(folder / "表格.doc", std::ios::binary | std::ios::app) << "edited";
    const std::string edited = readFile(folder / "表格.doc");
    const Result undo = run({"--undo", c.backup.string()});
    EXPECT_EQ(undo.status, 1) << undo.err;
    EXPECT_EQ(splitLines(undo.out),
              (Lines{"正文.doc 已恢复为替换前的内容", "表格.doc 已在替换后被修改，未恢复",
                     "子/深.doc 已恢复为替换前的内容"}))
        << undo.out;
    for (const auto& [name, state] : folderState(folder)) {
      SCOPED_TRACE(name);
      EXPECT_EQ(state.bytes, name == "表格.doc" ? edited : original.at(name).bytes);
      EXPECT_EQ(state.st.st_mode, original.at(name).st.st_mode);
    }
    // Undone already: nothing is left to restore, nothing is touched.
    std::ofstream(folder / "表格.doc", std::ios::binary) << original.at("表格.doc").bytes;
    const Result again = run({"--undo", c.backup.string()});
    EXPECT_EQ(again.status, 0) << again.out;
    EXPECT_EQ(std::count(again.out.begin(), again.out.end(), '\n'), 3);
    EXPECT_EQ(again.out.find("已恢复为"), std::string::npos) << again.out;
    fs::remove_all(c.backup);
  }
}

// One document under three names (its own, a second hard link, a symbolic
// link) and a subfolder reached also through a link: each file is replaced
// once, the other names say which name it was replaced under. A document
// whose owner file says Word has it open on a share is left alone.
TEST_F(CommandLine, AFileUnderSeveralNamesIsReplacedOnceAndOneOpenInWordIsLeftAlone) {
  const fs::path docs = work.path() / "names";
  fs::create_directories(docs / "sub");
  e2e::makeDocuments(
      docs, {{"a.doc", "OLDNAME contract", "", ""}, {"inuse.doc", "OLDNAME in use", "", ""}});
  fs::copy_file(docs / "a.doc", docs / "sub" / "d.doc");
  fs::create_hard_link(docs / "a.doc", docs / "b.doc");
  fs::create_symlink("a.doc", docs / "c.doc");
  fs::create_directory_symlink("sub", docs / "sublink");
  const std::string report = (work.path() / "r.csv").string();
  std::vector<std::string> args{"--doc", docs.string(), "--find", "OLDNAME", "--replace"};
  args.insert(args.end(), {"OLDNAME Ltd", "--recursive", "--jobs", "2", "--report", report});
  const std::string same = " 与 a.doc 是同一个文件，已处理过，跳过";

  std::vector<std::string> dryRun = args;
  dryRun.push_back("--dry-run");
  const Result dry = run(dryRun);
  EXPECT_EQ(dry.status, 0) << dry.err;
  EXPECT_EQ(splitLines(dry.out), (Lines{"a.doc 试运行：找到 1 处，未作改动", "b.doc" + same,
                                        "c.doc" + same, "inuse.doc 试运行：找到 1 处，未作改动",
                                        "sub/d.doc 试运行：找到 1 处，未作改动"}));

  std::ofstream(docs / "~$inuse.doc") << "the owner's name";
  const std::string inUse = readFile(docs / "inuse.doc");
  const Result real = run(args);
  EXPECT_EQ(real.status, 1) << real.err;  // the document in use
  const Lines lines{
      "a.doc 已替换内容", "b.doc" + same, "c.doc" + same,
      "inuse.doc 处理失败，错误代码：-2147467259错误描述：文件正被其他程序使用，未作改动",
      "sub/d.doc 已替换内容"};
  EXPECT_EQ(splitLines(real.out), lines);
  EXPECT_EQ(journalResults(journal()), lines);
  EXPECT_NE(readFile(report).find("\r\nb.doc,,same file,,,\r\n"), std::string::npos);
  for (const char* name : {"a.doc", "b.doc", "c.doc", "sub/d.doc"}) {
    const std::string text = e2e::antiword(docs / name);
    EXPECT_EQ(occurrences(text, "OLDNAME"), 1u) << name << ": " << text;
    EXPECT_EQ(occurrences(text, "OLDNAME Ltd contract"), 1u) << name << ": " << text;
  }
  EXPECT_EQ(e2e::catdoc(docs / "a.doc").find("Ltd Ltd"), std::string::npos);
  EXPECT_TRUE(readFile(docs / "inuse.doc") == inUse) << "inuse.doc was changed";
  EXPECT_TRUE(fs::is_symlink(docs / "c.doc"));
  EXPECT_EQ(fs::hard_link_count(docs / "b.doc"), 2u);
}

// Started without HOME (a service, cron, `env -i`) by a user who cannot write
// the program's folder: a journal folder another user made in the shared
// temporary folder gets no line, and the run says why and ends with 1.
TEST_F(CommandLine, WithoutHomeAJournalFolderOthersMadeGetsNoLineAndTheRunEndsWithOne) {
  if (::getuid() != 0) GTEST_SKIP() << "runs as root, to plant a folder as another user";
  const fs::path planted = "/tmp/.local";
  if (fs::exists(fs::symlink_status(planted))) GTEST_SKIP() << planted << " is there: not ours";
  struct Planted {
    fs::path path;
    ~Planted() {
      std::error_code ec;
      fs::remove_all(path, ec);
    }
  } remove{planted};
  const fs::path journalFolder = planted / "share" / "ravelsk" / "Journal";
  fs::create_directories(journalFolder);
  for (fs::path part = journalFolder; part != planted.parent_path(); part = part.parent_path()) {
    fs::permissions(part, fs::perms::all);
    ASSERT_EQ(::chown(part.c_str(), 65533, 65533), 0);
  }
  const fs::path docs = copy(Corpus::documents(), "home-less");
  fs::permissions(work.path(), fs::perms(0755));
  const std::string before = readFile(docs / "正文.doc");

  const Result result = run({"--doc", docs.string(), "--find", kOld, "--replace", kNew},
                            "setpriv --reuid=65534 --regid=65534 --clear-groups env -i ");
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "ravelsk: " + std::string(replace::kNoJournalFolder) + "\n");
  EXPECT_EQ(result.out, "");
  for (const auto& entry : fs::recursive_directory_iterator(planted)) {
    EXPECT_TRUE(entry.is_directory()) << entry.path();
  }
  EXPECT_TRUE(readFile(docs / "正文.doc") == before) << "a document was changed";
}

}  // namespace
