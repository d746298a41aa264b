// The command line over the recording test servers: its options, its file
// list, and that its runs make exactly the window's calls and lines, in the
// file list's order however many servers share the list.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <deque>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "cli/batch.h"
#include "cli/command_line.h"
#include "cli/options.h"
#include "replace/journal.h"
#include "replace/report.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using testsupport::FakeOffice;
using testsupport::FixedClock;
using testsupport::TempFolder;
using testsupport::WindowRig;
using Lines = std::vector<std::string>;
using namespace std::string_literals;

Lines splitLines(const std::string& text, const std::string& end = "\n") {
  Lines lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t next = text.find(end, at);
    lines.push_back(text.substr(at, next - at));
    if (next == std::string::npos) break;
    at = next + end.size();
  }
  return lines;
}

// ---- options ----

TEST(CommandLineOptions, AcceptedFormsAndWhatTheyMean) {
  struct Case {
    std::vector<std::string> args;
    cli::FileKind kind;
    std::string folder, find, replacement;
    office::Suite suite;
    unsigned jobs;
    bool recursive;
  };
  const auto ms = office::Suite::Microsoft;
  const auto docs = cli::FileKind::Documents;
  const auto books = cli::FileKind::Workbooks;
  const std::vector<Case> cases = {
      {{"--doc", "d", "--find", "旧", "--replace", "新"}, docs, "d", "旧", "新", ms, 1, false},
      {{"--xls=d", "--find=a=b", "--replace="}, books, "d", "a=b", "", ms, 1, false},
      {{"--replace", "-x", "--find", "--y", "--xls", "/f"}, books, "/f", "--y", "-x", ms, 1, false},
      {{"--doc", "d", "--find", "a", "--replace", "b", "--suite", "wps", "--jobs", "0",
        "--recursive"},
       docs,
       "d",
       "a",
       "b",
       office::Suite::Wps,
       0,
       true},
      {{"--jobs=12", "--suite=microsoft", "--doc", "d", "--find", "a", "--replace", "b"},
       docs,
       "d",
       "a",
       "b",
       ms,
       12,
       false},
      {{"--doc", "d", "--find", "-x", "--replace", "--", "--"},
       docs,
       "d",
       "-x",
       "--",
       ms,
       1,
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const cli::Options o = cli::parseOptions(c.args);
    EXPECT_EQ(o.kind, c.kind);
    EXPECT_EQ(o.folder, c.folder);
    EXPECT_EQ(o.findText, c.find);
    EXPECT_EQ(o.replaceText, c.replacement);
    EXPECT_EQ(o.suite, c.suite);
    EXPECT_EQ(o.jobs, c.jobs);
    EXPECT_EQ(o.recursive, c.recursive);
    EXPECT_FALSE(o.help || o.version);
  }
  EXPECT_TRUE(cli::parseOptions({"--find", "--bogus", "--help"}).help);
  EXPECT_TRUE(cli::parseOptions({"--doc", "--version"}).version);
  EXPECT_TRUE(cli::parseOptions({"-h"}).help);
  EXPECT_TRUE(
      cli::parseOptions({"--doc", "d", "--find", "a", "--replace", "b", "--match-case"}).matchCase);
  EXPECT_FALSE(cli::parseOptions({"--doc", "d", "--find", "a", "--replace", "b"}).matchCase);
}

TEST(CommandLineOptions, OnlyTheToolkitsOptionsLeaveTheWindow) {
  const std::vector<std::pair<std::vector<std::string>, bool>> cases = {
      {{}, false},
      {{"-platform", "offscreen"}, false},
      {{"-style=fusion", "-reverse"}, false},
      {{"-style=fusion", "somefile"}, true},
      {{"合同"}, true},
      {{"-h"}, true},
      {{"/?"}, true},
      {{"--"}, true},
      {{"--help"}, true},
      {{"--doc", "x"}, true},
      {{"-reverse", "--bogus"}, true},
  };
  for (const auto& [args, wanted] : cases) {
    EXPECT_EQ(cli::wantsCommandLine(args), wanted) << testing::PrintToString(args);
  }
}

// ---- the file list ----

TEST(CommandLineFiles, RecursiveListIsDepthFirstSortedAndRelative) {
  TempFolder root;
  for (const char* name :
       {"a.doc", "B.DOC", "x.xls", ".hidden.doc", "sub2/c.doc", "Sub1/d.doc", "Sub1/deep/e.docx",
        "Sub1/deep/notes.txt", "Sub1/.hid/f.doc", "sub2/z/y.xlsx"}) {
    root.write(name);
  }
  fs::create_directory_symlink("..", root.path() / "Sub1" / "up");
  const std::string folder = root.str();
  EXPECT_EQ(cli::listBatchFiles(folder, cli::FileKind::Documents, false),
            (Lines{"a.doc", "B.DOC"}));
  EXPECT_EQ(cli::listBatchFiles(folder, cli::FileKind::Documents, true),
            (Lines{"a.doc", "B.DOC", "Sub1/d.doc", "Sub1/deep/e.docx", "sub2/c.doc"}));
  EXPECT_EQ(cli::listBatchFiles(folder, cli::FileKind::Workbooks, true),
            (Lines{"x.xls", "sub2/z/y.xlsx"}));
}

TEST(CommandLineFiles, ProgressSaysDoneRateAndTimeLeft) {
  const std::vector<std::tuple<std::size_t, std::size_t, double, std::string>> cases = {
      {0, 10, 0.0, "0/10 个文件"},
      {5, 10, 2.0, "5/10 个文件，每秒 2.5 个，剩余约 0:02"},
      {10, 200, 5.0, "10/200 个文件，每秒 2.0 个，剩余约 1:35"},
      {200, 200, 80.0, "200/200 个文件，每秒 2.5 个，剩余约 0:00"},
  };
  for (const auto& [done, total, seconds, text] : cases) {
    EXPECT_EQ(cli::progressText(done, total, seconds), text);
  }
}

// ---- runs ----

// What the command line owns, handing each call on to a keeper the test keeps.
class ForwardingKeeper : public cli::OriginalKeeper {
 public:
  explicit ForwardingKeeper(cli::OriginalKeeper& to) : to_(to) {}
  void keep(const std::string& file) override { to_.keep(file); }
  void saveFailed(const std::string& file) override { to_.saveFailed(file); }

 private:
  cli::OriginalKeeper& to_;
};

// A folder of documents and workbooks known to every test office, one office
// (with its own registry) per job, and the command line wired to them.
struct CliRig {
  TempFolder program;
  TempFolder userData;
  TempFolder work;
  FixedClock clock{2026, 12, 8, 9, 30, 5};
  std::deque<office::ServerRegistry> registries;
  std::deque<FakeOffice> offices;
  std::ostringstream out;
  std::ostringstream err;
  std::string folder;
  std::atomic<bool> stop{false};
  // The keeper --backup gives the runs; without one --backup is refused.
  cli::OriginalKeeper* keeper = nullptr;
  // Standard output as a closed or full one: every write fails.
  bool outputFails = false;
  std::ostream failingOut{nullptr};
  // Where the program could be ended at once (a signal).
  std::function<std::shared_ptr<void>(std::function<void()>)> whenEnded;
  std::string codeset = "UTF-8";  // the system's code page

  explicit CliRig(unsigned jobs = 1) : folder((work.path() / "files").string()) {
    work.mkdir("files");
    for (unsigned k = 0; k < jobs; ++k) {
      FakeOffice& office = offices.emplace_back();
      office::ServerRegistry& registry = registries.emplace_back();
      for (const char* progId : {"word.Application", "excel.application"}) {
        office.serve(registry, progId);
      }
    }
  }
  // name's content: nullopt leaves it unknown to the offices (it cannot be opened).
  void document(const std::string& name, std::optional<std::string> text) {
    work.write("files/" + name, "on disk");
    if (!text) return;
    for (FakeOffice& office : offices) office.documents[folder + "/" + name] = *text;
  }
  void workbook(const std::string& name, const std::vector<testsupport::FakeSheet>& sheets) {
    work.write("files/" + name, "on disk");
    for (FakeOffice& office : offices) office.workbooks[folder + "/" + name] = sheets;
  }
  int run(std::vector<std::string> args) {
    out.str("");
    err.str("");
    cli::Environment env;
    env.servers = [this](unsigned job) -> const office::ServerRegistry& {
      return registries.at(job);
    };
    env.clock = &clock;
    env.programFolder = program.path();
    env.userJournalFolder = userData.path() / "ravelsk" / "Journal";
    env.codeset = codeset;
    env.out = outputFails ? &failingOut : &out;
    env.err = &err;
    env.cores = 3;
    env.stop = &stop;
    env.whenEnded = whenEnded;
    if (keeper != nullptr) {
      env.useBackup = [this](const std::string&, const std::string&) {
        return std::unique_ptr<cli::OriginalKeeper>(std::make_unique<ForwardingKeeper>(*keeper));
      };
    }
    return cli::runCommandLine(args, env);
  }
  int replace(const std::string& kind, unsigned jobs, std::vector<std::string> more = {}) {
    std::vector<std::string> args{kind,        folder, "--find", "旧",
                                  "--replace", "新",   "--jobs", std::to_string(jobs)};
    args.insert(args.end(), more.begin(), more.end());
    return run(args);
  }
  fs::path journalFile() const {
    return program.path() / "Journal" / "2026-12-08" / "2026-12-08.txt";
  }
  std::string journal() const {
    return fs::exists(journalFile()) ? testsupport::readFile(journalFile()) : "";
  }
  Lines output() const { return splitLines(out.str()); }
};

void setUpMixedFolder(CliRig& rig) {
  rig.document("a.doc", "一个旧字");
  rig.document("b.doc", "没有");
  rig.document("c.doc", std::nullopt);
  rig.document("d.docx", "旧旧");
  rig.workbook("e.xls", {{"Sheet1", {"旧"}}, {"数据", {"x"}}});
  rig.workbook("f.xls", {{"Only", {"y 旧"}}});
}

// How each test office is set up before a run, by name.
struct OfficeSetup {
  std::string name;
  std::function<void(FakeOffice&, office::ServerRegistry&)> apply;
};

const std::vector<OfficeSetup>& setups() {
  static const std::vector<OfficeSetup> all = {
      {"healthy", [](FakeOffice&, office::ServerRegistry&) {}},
      {"second open kills the server, which comes back",
       [](FakeOffice& o, office::ServerRegistry&) { o.killServerAt("s.Open", 2); }},
      {"server lost for good after its first open",
       [](FakeOffice& o, office::ServerRegistry&) {
         o.killServerAt("s.Open", 1);
         o.refuseCreationsAfter(1, office::kErrCannotCreate, "ActiveX 部件不能创建对象");
       }},
      {"a replacement fails",
       [](FakeOffice& o, office::ServerRegistry&) { o.failCall("Replace", 91, "对象变量未设置"); }},
      {"no server at all",
       [](FakeOffice&, office::ServerRegistry& r) {
         FakeOffice::refuse(r, "word.Application", office::kErrCannotCreate,
                            "ActiveX 部件不能创建对象");
         FakeOffice::refuse(r, "excel.application", office::kErrCannotCreate,
                            "ActiveX 部件不能创建对象");
       }},
  };
  return all;
}

TEST(CommandLineRun, WithOneJobEachServerGetsTheWindowsCallsAndTheSameLinesAndJournal) {
  struct Kind {
    std::string option;
    int windowOption;
  };
  for (const Kind& kind : {Kind{"--doc", 1}, Kind{"--xls", 2}}) {
    for (const OfficeSetup& setup : setups()) {
      SCOPED_TRACE(kind.option + ", " + setup.name);
      CliRig cli;
      setUpMixedFolder(cli);
      setup.apply(cli.offices[0], cli.registries[0]);
      WindowRig rig;
      rig.office.documents = cli.offices[0].documents;
      rig.office.workbooks = cli.offices[0].workbooks;
      cli.replace(kind.option, 1);

      for (const char* progId : {"word.Application", "excel.application"}) {
        rig.office.serve(rig.servers, progId);
      }
      setup.apply(rig.office, rig.servers);
      ui::Form1& form = rig.build(cli.folder);
      form.Form_Load();
      const std::size_t journalBefore = fs::exists(rig.journalFile()) ? rig.journal().size() : 0;
      const std::size_t statusBefore = testsupport::statusLines(form.Text3.text()).size();
      rig.office.calls.clear();
      rig.office.created = 0;
      rig.office.alive = 0;
      rig.office.saved.clear();
      form.clickOption(kind.windowOption);
      form.Text1.text = "旧";
      form.Text2.text = "新";
      if (kind.windowOption == 1) form.Command1_Click();
      if (kind.windowOption == 2) form.Command2_Click();

      ASSERT_FALSE(cli.output().empty());
      EXPECT_EQ(cli.offices[0].calls, rig.office.calls);
      EXPECT_EQ(cli.offices[0].saved, rig.office.saved);
      EXPECT_EQ(cli.offices[0].alive, rig.office.alive);
      std::string status = testsupport::statusLines(form.Text3.text()).substr(statusBefore);
      EXPECT_EQ(cli.output(), splitLines(status.substr(0, status.size() - 2), "\r\n"));
      EXPECT_EQ(cli.journal(), rig.journal().substr(journalBefore));
    }
  }
}

// The first office answers slowly, so later jobs finish their files first.
TEST(CommandLineRun, SeveralJobsShareTheListAndReportInItsOrderAsOneJobWould) {
  struct Outcome {
    int status;
    std::string out, journal;
  };
  // Failures that follow a file, whichever server opens it.
  const std::vector<OfficeSetup> shared = {
      setups()[0],
      {"the server dies opening b.doc and e.xls, and comes back",
       [](FakeOffice& o, office::ServerRegistry&) {
         o.killServerAt("/b.doc\"");
         o.killServerAt("/e.xls\"");
       }},
      setups().back(),
  };
  for (const std::string kind : {"--doc", "--xls"}) {
    for (const OfficeSetup& setup : shared) {
      SCOPED_TRACE(kind + ", " + setup.name);
      Outcome one;
      {
        CliRig rig(1);
        setUpMixedFolder(rig);
        rig.document("g.doc", "旧");
        rig.workbook("h.xls", {{"S", {"旧"}}});
        setup.apply(rig.offices[0], rig.registries[0]);
        one = {rig.replace(kind, 1), rig.out.str(), rig.journal()};
        ASSERT_FALSE(one.out.empty());
      }
      for (unsigned jobs : {2u, 3u, 7u}) {
        SCOPED_TRACE(jobs);
        CliRig rig(jobs);
        setUpMixedFolder(rig);
        rig.document("g.doc", "旧");
        rig.workbook("h.xls", {{"S", {"旧"}}});
        for (unsigned k = 0; k < jobs; ++k) setup.apply(rig.offices[k], rig.registries[k]);
        rig.offices[0].onCall = [](const std::string& call) {
          if (call.find(".Open(") != std::string::npos) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
          }
        };
        const int status = rig.replace(kind, jobs);
        // Every file was opened once, each job took its files in list order,
        // and the slow office was left fewer than an even share.
        const Lines files = cli::listBatchFiles(
            rig.folder, kind == "--doc" ? cli::FileKind::Documents : cli::FileKind::Workbooks,
            false);
        if (setup.name != "no server at all") {
          Lines opened;
          for (unsigned k = 0; k < jobs; ++k) {
            Lines own;
            for (const std::string& call : rig.offices[k].callsContaining(".Open(")) {
              const std::string name = call.substr(call.find('(') + 2 + rig.folder.size() + 1);
              own.push_back(name.substr(0, name.find('"')));
            }
            EXPECT_TRUE(std::is_sorted(own.begin(), own.end())) << "job " << k;
            EXPECT_EQ(rig.offices[k].alive, 0) << "job " << k;
            if (k == 0 && jobs == 2) {
              EXPECT_LE(own.size(), 1u);
            }
            opened.insert(opened.end(), own.begin(), own.end());
          }
          std::sort(opened.begin(), opened.end());
          Lines expected;
          for (const std::string& file : files) expected.push_back(file);
          EXPECT_EQ(opened, expected);
        }
        EXPECT_EQ(status, one.status);
        EXPECT_EQ(rig.out.str(), one.out);
        EXPECT_EQ(rig.journal(), one.journal);
      }
    }
  }
}

TEST(CommandLineRun, ExitStatusAndStandardError) {
  struct Case {
    std::string name;
    std::function<void(CliRig&)> setUp;
    unsigned jobs;
    int status;
    Lines out;  // empty: not checked
    std::string err;
  };
  const std::string gone = "处理失败，错误代码：-2147023174错误描述：RPC 服务器不可用。";
  const std::string cannot =
      "无法启动办公软件：word.Application，错误代码：429错误描述：ActiveX 部件不能创建对象";
  const std::vector<Case> cases = {
      {"all replaced or not found",
       [](CliRig&) {},
       2,
       0,
       {"a.doc 已替换内容", "b.doc 没找到替换的内容"},
       ""},
      {"a file fails",
       [](CliRig& r) { r.document("c.doc", std::nullopt); },
       2,
       1,
       {"a.doc 已替换内容", "b.doc 没找到替换的内容",
        "c.doc 处理失败，错误代码：5174错误描述：找不到文件"},
       ""},
      {"no server can be started",
       [](CliRig& r) {
         for (auto& registry : r.registries) {
           FakeOffice::refuse(registry, "word.Application", 429, "ActiveX 部件不能创建对象");
         }
       },
       2,
       2,
       {cannot},
       "ravelsk: 无法启动办公软件，未处理任何文件\n"},
      {"one job's server cannot be started: the other takes every file",
       [](CliRig& r) {
         FakeOffice::refuse(r.registries[1], "word.Application", 429, "ActiveX 部件不能创建对象");
       },
       2,
       0,
       {"a.doc 已替换内容", "b.doc 没找到替换的内容", cannot},
       ""},
      {"a server is lost and cannot be recreated: its job stops, the others take the rest",
       [](CliRig& r) {
         r.document("c.doc", "旧");
         for (unsigned k = 0; k < 2; ++k) {
           r.offices[k].killServerAt("/a.doc\"");
           r.offices[k].refuseCreationsAfter(1, 429, "ActiveX 部件不能创建对象");
         }
       },
       2,
       1,
       {"a.doc " + gone, cannot, "b.doc 没找到替换的内容", "c.doc 已替换内容"},
       ""},
      {"stopped while a file is open: it is finished, no file after it is begun",
       [](CliRig& r) {
         r.document("c.doc", "旧");
         r.offices[0].onCall = [&r](const std::string& call) {
           if (call.find("b.doc\"") != std::string::npos) r.stop = true;
         };
       },
       1,
       130,
       {"a.doc 已替换内容", "b.doc 没找到替换的内容"},
       "ravelsk: 已停止，1 个文件未处理\n"},
      {"standard output cannot be written: said once, and the run goes on",
       [](CliRig& r) {
         r.outputFails = true;
         r.document("c.doc", "旧");
       },
       2,
       1,
       {},
       "ravelsk: 无法写入标准输出，结果行未能全部输出\n"},
      {"a folder without a file to process: said, and not a success",
       [](CliRig& r) {
         fs::remove(r.folder + "/a.doc");
         fs::remove(r.folder + "/b.doc");
       },
       1,
       1,
       {},
       "ravelsk: 没有找到要处理的文件：{folder}\n"},
      {"the journal cannot be written",
       [](CliRig& r) { r.program.write("Journal/2026-12-08", "a file in the way"); },
       1,
       1,
       {},
       ""},
      {"no safe folder for the journal: said, and no file is touched",
       [](CliRig& r) {
         r.program.write("Journal", "a file in the way");
         r.userData.write("ravelsk", "a file in the way");
       },
       1,
       1,
       {},
       std::string("ravelsk: ") + replace::kNoJournalFolder + "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CliRig rig(2);
    rig.document("a.doc", "旧");
    rig.document("b.doc", "新");
    c.setUp(rig);
    EXPECT_EQ(rig.replace("--doc", c.jobs), c.status);
    if (!c.out.empty()) {
      EXPECT_EQ(rig.output(), c.out);
    }
    std::string err = c.err;
    if (const auto at = err.find("{folder}"); at != std::string::npos) {
      err.replace(at, 8, rig.folder);
    }
    EXPECT_EQ(rig.err.str(), err);
    for (const FakeOffice& office : rig.offices) EXPECT_EQ(office.alive, 0);
  }
  // The journal failure: one line after the first result, none after the others.
  CliRig rig;
  rig.document("a.doc", "旧");
  rig.document("b.doc", "x");
  rig.program.write("Journal/2026-12-08", "");
  rig.replace("--doc", 1);
  const Lines out = rig.output();
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0], "a.doc 已替换内容");
  EXPECT_EQ(out[1].rfind("日志写入失败：", 0), 0u);
  EXPECT_EQ(out[2], "b.doc 没找到替换的内容");
}

// Ended at once (by a signal) while the first file is still being worked on:
// what another job finished, and a file whose new content is already on
// disk, are written at once, to the output, the journal and the report; the
// file left half done is not, nor anything after the ending.
TEST(CommandLineRun, AnEndingWritesWhatIsHeldBackAndEveryFileOnDiskAtOnce) {
  CliRig rig(2);
  for (const char* name : {"a.doc", "b.doc", "d.doc", "e.doc"}) rig.document(name, "旧");
  rig.document("c.doc", "没有");
  const std::string report = (rig.work.path() / "r.csv").string();
  std::function<void()> lastWords;
  rig.whenEnded = [&lastWords](std::function<void()> work) {
    lastWords = std::move(work);
    return std::shared_ptr<void>();
  };
  std::atomic<bool> ended{false};
  std::thread ending;
  for (FakeOffice& office : rig.offices) {
    // a.doc is held open until the ending is over.
    office.onCall = [&ended](const std::string& call) {
      if (call.find("/a.doc\"") == std::string::npos || call.find(".Open(") == std::string::npos) {
        return;
      }
      for (int i = 0; i < 1000 && !ended; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    };
    // The signal comes just after e.doc's new content was placed, before its
    // job has handed in its line.
    office.onSave = [&](const std::string& path) {
      if (path != rig.folder + "/e.doc") return;
      rig.work.write("files/e.doc", "the new content");
      ending = std::thread([&] {
        lastWords();
        ended = true;
      });
      std::this_thread::sleep_for(std::chrono::milliseconds(200));
    };
  }
  rig.replace("--doc", 2, {"--report", report});
  if (ending.joinable()) ending.join();

  ASSERT_TRUE(ended);
  const Lines written{"b.doc 已替换内容", "c.doc 没找到替换的内容", "d.doc 已替换内容",
                      "e.doc 已替换内容"};
  EXPECT_EQ(rig.output(), written);
  EXPECT_EQ(testsupport::readFile(report),
            "\xEF\xBB\xBFpath,sheet,result,count,error code,error description\r\n"
            "b.doc,,replaced,,,\r\nc.doc,,not found,,,\r\nd.doc,,replaced,,,\r\n"
            "e.doc,,replaced,,,\r\n");
  Lines journalled;
  for (const std::string& line : splitLines(rig.journal(), "\r\n")) {
    if (!line.empty()) journalled.push_back(line.substr(line.find(' ', line.find(' ') + 1) + 1));
  }
  EXPECT_EQ(journalled, written);
}

TEST(CommandLineRun, BadInputIsRefusedBeforeAnyServerIsCreated) {
  CliRig rig;
  rig.document("a.doc", "旧");
  rig.work.write("plain.txt");
  const std::string missing = (rig.work.path() / "nope").string();
  const std::string file = (rig.work.path() / "plain.txt").string();
  rig.work.write("rules.txt", "a\tb\n");
  rig.work.write("bad.txt", "a\tb\n# c d\nc d\n");
  rig.work.write("nul.txt", "a\tb\n旧\tx\0y\n"s);
  const std::string tooLong(256, 'x');  // Word's limit is 255
  rig.work.write("long.txt", "a\tb\n" + tooLong + "\tc\n");
  // Reports that would destroy a file: none of them may be written.
  const std::string notOurs = rig.work.write("notes.csv", "path,其他\r\n").string();
  const std::string workbook = rig.work.write("rules.xlsx", "PK\x03\x04").string();
  const std::string notOurBackup =
      rig.work.write("notes/ravelsk-backup.txt", "").parent_path().string();
  const std::string otherBackup =
      rig.work.write("kept/ravelsk-backup.txt", "ravelsk backup\t/elsewhere\n")
          .parent_path()
          .string();
  const std::string victim = rig.work.write("victim.txt", "keep me").string();
  const std::string toVictim = (rig.work.path() / "to-victim.csv").string();
  const std::string dangling = (rig.work.path() / "dangling.csv").string();
  const std::string toDocument = (rig.work.path() / "to-document.csv").string();
  fs::create_symlink(victim, toVictim);
  fs::create_symlink(rig.work.path() / "created.csv", dangling);
  fs::create_symlink(rig.folder + "/a.doc", toDocument);
  const std::string rules = (rig.work.path() / "rules.txt").string();
  const std::string badRules = (rig.work.path() / "bad.txt").string();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--doc", missing, "--find", "a", "--replace", "b"}, "文件夹不存在：" + missing},
      {{"--doc", file, "--find", "a", "--replace", "b"}, "不是文件夹：" + file},
      {{"--doc", rig.folder, "--find", "", "--replace", "b"}, "查找内容为空"},
      {{"--doc", rig.folder, "--replace", "b"}, "缺少 --find"},
      {{"--doc", rig.folder, "--find", "a"}, "缺少 --replace"},
      {{"--doc", rig.folder, "--xls", rig.folder, "--find", "a", "--replace", "b"}, "二者选一"},
      {{"--find", "a", "--replace", "b"}, "二者选一"},
      {{"--doc", rig.folder, "--find", "a", "--replace", "b", "--colour"}, "未知选项：--colour"},
      {{"--doc", rig.folder, "--find", "a", "--replace", "b", "stray"},
       "请用 --doc 或 --xls 指定文件夹"},
      {{rig.folder}, "请用 --doc 或 --xls 指定文件夹"},
      {{"--doc", rig.folder, "--find", "a", "--replace", "b", "--", "x"},
       "请用 --doc 或 --xls 指定文件夹"},
      {{"/?"}, "请用 --doc 或 --xls 指定文件夹"},  // help only on Windows
      {{"--doc", rig.folder, "--find", "a", "--find", "c", "--replace", "b"}, "选项重复：--find"},
      {{"--doc", rig.folder, "--find", "a", "--replace", "b", "--jobs", "-1"}, "--jobs"},
      {{"--doc", rig.folder, "--find", "a", "--replace", "b", "--jobs", "2x"}, "--jobs"},
      {{"--doc", rig.folder, "--find", "a", "--replace", "b", "--suite", "other"}, "--suite"},
      {{"--doc", rig.folder, "--find", "a", "--replace", "b", "--recursive=yes"}, "--recursive"},
      {{"--doc", rig.folder, "--find", "a", "--replace"}, "缺少值：--replace"},
      {{"--doc", rig.folder, "--rules", rules, "--find", "a"}, "不能与 --find"},
      {{"--doc", rig.folder, "--rules", missing}, "无法读取规则文件"},
      {{"--doc", rig.folder, "--rules", badRules}, "规则文件第 3 行没有制表符"},
      {{"--doc", rig.folder, "--rules", (rig.work.path() / "nul.txt").string()},
       "规则文件第 2 行含有控制字符 U+0000"},
      {{"--doc", rig.folder, "--find", tooLong, "--replace", "b"},
       "查找内容超过 255 个字符，Word 无法查找，未处理任何文件"},
      {{"--doc", rig.folder, "--find", tooLong, "--replace", "b", "--suite", "wps"},
       "WPS 无法查找"},
      {{"--doc", rig.folder, "--rules", (rig.work.path() / "long.txt").string()},
       "第 2 条规则的查找内容超过 255 个字符"},
      {{"--version", "--bogus"}, "未知选项：--bogus"},
      {{"--bogus", "--help"}, "未知选项：--bogus"},
      {{"--doc", rig.folder, "--rules", rules, "--dry-run", "--backup", missing}, "--dry-run"},
      {{"--doc", rig.folder, "--rules", rules, "--dry-run=1"}, "选项不带值：--dry-run"},
      {{"--doc", rig.folder, "--rules", rules, "--report", missing + "/x/r.csv"}, "无法写入报告"},
      {{"--doc", rig.folder, "--rules", rules, "--report", rig.folder + "/a.doc"},
       "报告文件不能在要替换的文件夹里"},
      {{"--doc", rig.folder, "--rules", rules, "--report", toDocument},
       "报告文件不能在要替换的文件夹里"},
      {{"--doc", rig.folder, "--rules", rules, "--report", notOurs},
       "无法写入报告文件：" + notOurs + "（文件已存在，且不是本程序先前写出的，不覆盖）"},
      {{"--doc", rig.folder, "--rules", rules, "--report", toVictim}, "这是一个符号链接"},
      {{"--doc", rig.folder, "--rules", rules, "--report", dangling}, "这是一个符号链接"},
      {{"--doc", rig.folder, "--rules", rules, "--report", rig.work.str()}, "这不是普通文件"},
      {{"--doc", rig.folder, "--rules", rules, "--backup", rig.folder + "/b"}, "备份文件夹不能在"},
      {{"--doc", rig.folder, "--rules", rules, "--backup", missing}, "不支持 --backup"},
      {{"--doc", rig.folder, "--rules", workbook, "--report", rig.folder + "/r.csv"},
       "报告文件不能在要替换的文件夹里"},
      {{"--doc", rig.folder, "--rules", rules, "--backup", notOurBackup},
       "备份文件夹里的 ravelsk-backup.txt 不是本程序的备份清单"},
      {{"--doc", rig.folder, "--rules", rules, "--backup", otherBackup},
       "备份文件夹 " + otherBackup + " 里已有另一个文件夹（/elsewhere）的备份：请换一个备份文件夹"},
      {{"--undo", rig.work.str(), "--doc", rig.folder}, "--undo 不能与其他选项同时使用"},
      {{"--undo", missing}, "备份文件夹不存在：" + missing},
      {{"--undo", rig.work.str()}, "没有备份清单："},
  };
  for (const auto& [args, reason] : cases) {
    SCOPED_TRACE(testing::PrintToString(args));
    EXPECT_EQ(rig.run(args), cli::kExitUsage);
    const std::string err = rig.err.str();
    EXPECT_EQ(err.rfind("ravelsk: ", 0), 0u) << err;
    EXPECT_NE(err.find(reason), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    EXPECT_EQ(rig.out.str(), "");
  }
  EXPECT_EQ(rig.offices[0].created, 0);
  EXPECT_FALSE(fs::exists(rig.program.path() / "Journal"));
  EXPECT_EQ(testsupport::readFile(rig.folder + "/a.doc"), "on disk");
  EXPECT_EQ(testsupport::readFile(notOurs), "path,其他\r\n");
  EXPECT_EQ(testsupport::readFile(victim), "keep me");
  EXPECT_FALSE(fs::exists(rig.work.path() / "created.csv"));

  EXPECT_EQ(rig.run({"--help"}), 0);
  EXPECT_NE(rig.out.str().find("--recursive"), std::string::npos);
  EXPECT_EQ(rig.run({"--version"}), 0);
  EXPECT_EQ(rig.out.str().rfind("ravelsk ", 0), 0u);
  EXPECT_EQ(rig.offices[0].created, 0);
  rig.outputFails = true;
  for (const char* asked : {"--help", "--version"}) {
    EXPECT_EQ(rig.run({asked}), cli::kExitFailures) << asked;
    EXPECT_EQ(rig.err.str(), "ravelsk: 无法写入标准输出，结果行未能全部输出\n");
  }
}

TEST(CommandLineRun, RecursiveRunNamesFilesRelativeToTheFolderOnOneServerPerJob) {
  for (unsigned jobs : {1u, 2u}) {
    CliRig rig(jobs);
    rig.document("top.doc", "旧");
    rig.document("sub/b/inner.doc", "x");
    rig.document("sub/a.doc", "旧");
    EXPECT_EQ(rig.replace("--doc", jobs, {"--recursive"}), 0);
    EXPECT_EQ(rig.output(), (Lines{"top.doc 已替换内容", "sub/a.doc 已替换内容",
                                   "sub/b/inner.doc 没找到替换的内容"}));
    Lines opens;
    for (FakeOffice& office : rig.offices) {
      EXPECT_EQ(office.created, 1);
      for (const std::string& call : office.callsContaining(".Open(")) opens.push_back(call);
    }
    EXPECT_NE(std::find(opens.begin(), opens.end(),
                        testsupport::documentOpenCall(rig.folder + "/top.doc")),
              opens.end());
  }
}

// --match-case reaches every search a run makes: the document's test,
// replacement and count, the workbook's Find, FindNext, Replace and the
// text cells the run sets itself; without it letter case is ignored.
TEST(CommandLineRun, MatchCaseReachesEverySearchOfBothRuns) {
  for (const bool matchCase : {false, true}) {
    SCOPED_TRACE(matchCase ? "--match-case" : "letter case ignored");
    CliRig rig;
    rig.document("a.doc", "abc ABC Abc");
    rig.workbook("b.xls", {{"S", {"abc", "ABC", "x abc Abc", "7"}}});
    std::vector<std::string> options = {"--find", "abc", "--replace", "Q"};
    if (matchCase) options.push_back("--match-case");
    const auto run = [&](const char* kind, bool dry) {
      std::vector<std::string> args = {kind, rig.folder};
      args.insert(args.end(), options.begin(), options.end());
      if (dry) args.push_back("--dry-run");
      EXPECT_EQ(rig.run(args), 0) << rig.err.str();
      return rig.output();
    };
    EXPECT_EQ(run("--doc", true), Lines{matchCase ? "a.doc 试运行：找到 1 处，未作改动"
                                                  : "a.doc 试运行：找到 3 处，未作改动"});
    EXPECT_EQ(run("--xls", true), Lines{matchCase ? "b.xls-S试运行：找到 2 处，未作改动"
                                                  : "b.xls-S试运行：找到 3 处，未作改动"});
    run("--doc", false);
    run("--xls", false);
    EXPECT_EQ(rig.offices[0].documents[rig.folder + "/a.doc"], matchCase ? "Q ABC Abc" : "Q Q Q");
    const std::vector<testsupport::FakeSheet> expected = {
        {"S", matchCase ? std::vector<testsupport::FakeCell>{{"Q"}, {"ABC"}, {"x Q Abc"}, {"7"}}
                        : std::vector<testsupport::FakeCell>{{"Q"}, {"Q"}, {"x Q Q"}, {"7"}}}};
    EXPECT_EQ(rig.offices[0].workbooks[rig.folder + "/b.xls"], expected);
  }
}

TEST(CommandLineRun, JobsZeroMeansOnePerCoreAndNoJobWithoutFiles) {
  for (const auto& [files, jobs, servers] :
       std::vector<std::tuple<int, std::string, std::vector<int>>>{
           {5, "0", {1, 1, 1}}, {2, "0", {1, 1, 0}}, {2, "3", {1, 1, 0}}, {0, "2", {0, 0, 0}}}) {
    SCOPED_TRACE(std::to_string(files) + " files, --jobs " + jobs);
    CliRig rig(3);  // three cores
    for (int i = 0; i < files; ++i) rig.document("f" + std::to_string(i) + ".doc", "旧");
    // Nothing to process is said, and is no success.
    EXPECT_EQ(rig.run({"--doc", rig.folder, "--find", "旧", "--replace", "新", "--jobs", jobs}),
              files == 0 ? 1 : 0);
    EXPECT_EQ(rig.output().size(), static_cast<std::size_t>(files));
    for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(rig.offices[k].created, servers[k]) << k;
  }
}

TEST(CommandLineOptions, RulesDryRunReportAndBackupAreTaken) {
  const cli::Options o = cli::parseOptions(
      {"--xls", "d", "--rules", "r.txt", "--dry-run", "--report=r.csv", "--jobs", "2"});
  EXPECT_EQ(o.rulesFile, "r.txt");
  EXPECT_TRUE(o.dryRun);
  EXPECT_EQ(o.reportFile, "r.csv");
  EXPECT_EQ(cli::parseOptions({"--doc", "d", "--find", "a", "--replace", "b", "--backup", "k"})
                .backupFolder,
            "k");
}

TEST(CommandLineReport, FieldsAreQuotedOnlyWhereTheyMustBe) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"a.doc", "a.doc"},
      {"报告 1.doc", "报告 1.doc"},
      {"a,b", "\"a,b\""},
      {"say \"x\"", "\"say \"\"x\"\"\""},
      {"two\r\nlines", "\"two\r\nlines\""},
      {"", ""},
  };
  for (const auto& [field, csv] : cases) EXPECT_EQ(replace::csvField(field), csv);
}

// A rules file as Windows' editors and Excel save it gives the documents of
// the same pairs typed; one that matched nothing says so.
TEST(CommandLineRun, RulesFilesInEveryEncodingChangeWhatTheTypedPairsChange) {
  const std::string pairs = "旧,名\t新\n甲\t\"乙\"\n";
  // A file that begins as a workbook is read by the spreadsheet server (the
  // recording office's sheet); one named so but holding text, as text (the
  // office's sheet would change b.doc).
  const testsupport::FakeSheet sheet{"规则", {"旧,名", "甲"}, false, {}, {"新", "\"乙\""}};
  const testsupport::FakeSheet wrong{"错", {"无"}, false, {}, {"错"}};
  const std::vector<std::pair<std::string, std::string>> files = {
      {"utf8.txt", pairs},
      {"bom.txt", "\xEF\xBB\xBF" + pairs},
      {"gbk.txt", "\xBE\xC9,\xC3\xFB\t\xD0\xC2\r\n\xBC\xD7\t\"\xD2\xD2\"\r\n"},
      {"utf16.txt", testsupport::utf16WithBom(u"旧,名\t新\r\n甲\t\"乙\"\r\n", true)},
      {"rules.csv", "\"旧,名\",新\r\n甲,\"\"\"乙\"\"\"\r\n"},
      {"rules.xlsx", "PK\x03\x04"},
      {"exported.xls", pairs},
  };
  for (const auto& [name, content] : files) {
    SCOPED_TRACE(name);
    CliRig typed;
    typed.document("a.doc", "旧,名 甲");
    typed.document("b.doc", "无");
    ASSERT_EQ(typed.run({"--doc", typed.folder, "--find", "旧,名", "--replace", "新"}), 0);
    ASSERT_EQ(typed.run({"--doc", typed.folder, "--find", "甲", "--replace", "\"乙\""}), 0);

    CliRig rig;
    rig.codeset = "GBK";
    rig.document("a.doc", "旧,名 甲");
    rig.document("b.doc", "无");
    const std::string rules = rig.work.write(name, content).string();
    rig.offices[0].workbooks[rules] = {content.starts_with("PK") ? sheet : wrong};
    EXPECT_EQ(rig.run({"--doc", rig.folder, "--rules", rules}), 0) << rig.err.str();
    for (const char* file : {"/a.doc", "/b.doc"}) {
      EXPECT_EQ(rig.offices[0].documents[rig.folder + file],
                typed.offices[0].documents[typed.folder + file]);
    }
    EXPECT_EQ(rig.offices[0].documents[rig.folder + "/a.doc"], "新 \"乙\"");
    EXPECT_EQ(rig.output(), (Lines{"a.doc 已替换内容", "b.doc 没找到替换的内容"}));
    EXPECT_EQ(rig.err.str(), "");
  }
  CliRig rig;
  rig.document("a.doc", "旧");
  const std::string gbk = rig.work.write("gbk.txt", "\xBE\xC9\t\xD0\xC2\n").string();
  const std::string other = rig.work.write("other.txt", "别的\t新\n").string();
  EXPECT_EQ(rig.run({"--doc", rig.folder, "--rules", gbk}), cli::kExitUsage);
  EXPECT_EQ(rig.err.str(), "ravelsk: 规则文件第 1 行不是 UTF-8 文字\n");
  EXPECT_EQ(rig.offices[0].created, 0);
  EXPECT_EQ(rig.run({"--doc", rig.folder, "--rules", other}), 0);
  EXPECT_EQ(rig.err.str(), "ravelsk: 规则文件中的规则在所有文件中都没有找到\n");
  EXPECT_EQ(rig.run({"--doc", rig.folder, "--rules", other, "--dry-run"}), 0);
  EXPECT_EQ(rig.err.str(), "ravelsk: 规则文件中的规则在所有文件中都没有找到\n");
}

// Each file is opened once for all the pairs, which work in order on what
// the earlier ones wrote; a dry run counts what the same pairs would replace
// and saves nothing; the report has a row per file or sheet.
TEST(CommandLineRun, RulesDryRunAndReportWithEveryJobCount) {
  for (unsigned jobs : {1u, 2u}) {
    SCOPED_TRACE(jobs);
    CliRig rig(jobs);
    rig.document("a.doc", "旧甲 旧甲 旧");
    rig.document("b.doc", "没有");
    rig.document("c,d.doc", "乙");
    rig.workbook("e.xls", {{"S1", {"旧", "x", "旧旧"}}, {"S2", {"乙"}}, {"S3", {"y"}}});
    // A protected sheet with one of its two cells that hold the text unlocked.
    rig.workbook("f.xls", {{"P", {"旧", "旧"}, true, {1}}});
    rig.work.write("rules.txt", "# 两组\n旧\t新\n新甲\t丙\n乙\t丁\n");
    const std::string rules = (rig.work.path() / "rules.txt").string();
    const std::string report = (rig.work.path() / "report.csv").string();

    // The dry run first: it counts each pair on the unchanged text.
    EXPECT_EQ(rig.run({"--doc", rig.folder, "--rules", rules, "--dry-run", "--report", report,
                       "--jobs", std::to_string(jobs)}),
              0);
    EXPECT_EQ(rig.output(),
              (Lines{"a.doc 试运行：找到 3 处，未作改动", "b.doc 试运行：找到 0 处，未作改动",
                     "c,d.doc 试运行：找到 1 处，未作改动"}));
    EXPECT_EQ(testsupport::readFile(report),
              "\xEF\xBB\xBFpath,sheet,result,count,error code,error description\r\n"
              "a.doc,,would replace,3,,\r\n"
              "b.doc,,not found,0,,\r\n"
              "\"c,d.doc\",,would replace,1,,\r\n");
    EXPECT_EQ(rig.run({"--xls", rig.folder, "--rules", rules, "--dry-run", "--report", report}), 0);
    EXPECT_EQ(rig.output(),
              (Lines{"e.xls-S1试运行：找到 2 处，未作改动", "e.xls-S2试运行：找到 1 处，未作改动",
                     "e.xls-S3试运行：找到 0 处，未作改动",
                     "f.xls-P试运行：找到 2 处，其中 1 处受保护，替换时会失败，未作改动"}));
    EXPECT_NE(testsupport::readFile(report).find(
                  "f.xls,P,would fail,2,,部分单元格无法替换：1 处受保护\r\n"),
              std::string::npos);
    for (FakeOffice& office : rig.offices) {
      EXPECT_TRUE(office.saved.empty());
      EXPECT_TRUE(office.callsContaining("Replace").empty());
    }
    EXPECT_EQ(rig.journal(), "");

    for (FakeOffice& office : rig.offices) office.calls.clear();
    EXPECT_EQ(rig.run({"--doc", rig.folder, "--rules", rules, "--report", report, "--jobs",
                       std::to_string(jobs)}),
              0);
    EXPECT_EQ(rig.output(),
              (Lines{"a.doc 已替换内容", "b.doc 没找到替换的内容", "c,d.doc 已替换内容"}));
    EXPECT_EQ(testsupport::readFile(report),
              "\xEF\xBB\xBFpath,sheet,result,count,error code,error description\r\n"
              "a.doc,,replaced,,,\r\n"
              "b.doc,,not found,,,\r\n"
              "\"c,d.doc\",,replaced,,,\r\n");
    EXPECT_NE(rig.journal().find("a.doc 已替换内容"), std::string::npos);
    Lines opens;
    std::size_t replacements = 0;
    for (FakeOffice& office : rig.offices) {
      for (const std::string& call : office.callsContaining(".Open(")) opens.push_back(call);
      replacements += office.callsContaining("Replace:=2").size();
      if (office.documents.count(rig.folder + "/a.doc") && !office.saved.empty() &&
          office.saved.front() == rig.folder + "/a.doc") {
        EXPECT_EQ(office.documents[rig.folder + "/a.doc"], "丙 丙 新");
      }
    }
    EXPECT_EQ(opens.size(), 3u);  // once per document
    EXPECT_EQ(replacements, 3u);  // a.doc: both its pairs; c,d.doc: one

    EXPECT_EQ(rig.run({"--xls", rig.folder, "--rules", rules}), 1);
    EXPECT_EQ(rig.output(),
              (Lines{"e.xls-S1已替换内容", "e.xls-S2已替换内容", "e.xls-S3没找到替换的内容",
                     "f.xls-P 处理失败，错误代码：-2146827284错误描述："
                     "您试图更改的单元格或图表位于受保护的工作表中。"}));
    EXPECT_EQ(rig.offices[0].workbooks[rig.folder + "/e.xls"][0].cells,
              (std::vector<testsupport::FakeCell>{"新", "x", "新新"}));
  }
}

// Records each call, with how many files its office had saved by then; fails
// to keep the files named in refuse.
class RecordingKeeper : public cli::OriginalKeeper {
 public:
  RecordingKeeper(const std::deque<FakeOffice>& offices, std::set<std::string> refuse)
      : offices_(offices), refuse_(std::move(refuse)) {}
  void keep(const std::string& file) override {
    calls.push_back("keep " + file + " after " + std::to_string(saved()) + " saves");
    if (refuse_.count(file)) throw office::AutomationError(-2147467259, "无法保存文档：写入备份");
  }
  void saveFailed(const std::string& file) override { calls.push_back("save failed " + file); }
  Lines calls;

 private:
  std::size_t saved() const {
    std::size_t n = 0;
    for (const FakeOffice& office : offices_) n += office.saved.size();
    return n;
  }
  const std::deque<FakeOffice>& offices_;
  std::set<std::string> refuse_;
};

TEST(CommandLineRun, OriginalsAreKeptJustBeforeEachChangedFileIsSavedAndOnlyThen) {
  struct Case {
    std::string name;
    std::vector<std::string> args;  // after the folder
    std::set<std::string> refuse;
    std::function<void(FakeOffice&, const std::string& folder)> setUp;
    Lines out;
    Lines kept;
  };
  const TempFolder backups;  // the run writes its manifest there
  const std::vector<std::string> replace{"--find", "旧",       "--replace",
                                         "新",     "--backup", backups.sub("k")};
  const auto with = [&replace](std::vector<std::string> more) {
    more.insert(more.begin(), replace.begin(), replace.end());
    return more;
  };
  const std::vector<Case> cases = {
      {"documents: the changed ones, each before its own save",
       with({"--doc"}),
       {},
       [](FakeOffice&, const std::string&) {},
       {"a.doc 已替换内容", "b.doc 没找到替换的内容", "c.doc 已替换内容"},
       {"keep a.doc after 0 saves", "keep c.doc after 1 saves"}},
      {"a backup that cannot be made fails its file, unsaved, and the batch goes on",
       with({"--doc"}),
       {"a.doc"},
       [](FakeOffice&, const std::string&) {},
       {"a.doc 处理失败，错误代码：-2147467259错误描述：无法保存文档：写入备份",
        "b.doc 没找到替换的内容", "c.doc 已替换内容"},
       {"keep a.doc after 0 saves", "keep c.doc after 0 saves"}},
      {"a save that fails after the backup is told of",
       with({"--doc"}),
       {},
       [](FakeOffice& o, const std::string&) {
         o.failCall("Documents.Close(True)", 5153, "磁盘已满");
       },
       {"a.doc 处理失败，错误代码：5153错误描述：磁盘已满", "b.doc 没找到替换的内容",
        "c.doc 已替换内容"},
       {"keep a.doc after 0 saves", "save failed a.doc", "keep c.doc after 0 saves"}},
      {"workbooks: one whose sheets hold the text, and only that one",
       with({"--xls"}),
       {},
       [](FakeOffice&, const std::string&) {},
       {"e.xls-S1没找到替换的内容", "e.xls-S2已替换内容", "f.xls-Only没找到替换的内容"},
       {"keep e.xls after 0 saves"}},
      {"a workbook the office counts as modified is neither kept nor saved when nothing was "
       "replaced",
       with({"--xls"}),
       {},
       [](FakeOffice& o, const std::string& folder) { o.modifiedOnOpen.insert(folder + "/f.xls"); },
       {"e.xls-S1没找到替换的内容", "e.xls-S2已替换内容", "f.xls-Only没找到替换的内容"},
       {"keep e.xls after 0 saves"}},
      {"a workbook whose save fails",
       with({"--xls"}),
       {},
       [](FakeOffice& o, const std::string&) {
         o.failCall("Workbook.Close(True)", 1004, "无法保存");
       },
       {"e.xls 处理失败，错误代码：1004错误描述：无法保存", "f.xls-Only没找到替换的内容"},
       {"keep e.xls after 0 saves", "save failed e.xls"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CliRig rig;
    rig.document("a.doc", "旧");
    rig.document("b.doc", "没有");
    rig.document("c.doc", "又一个旧");
    rig.workbook("e.xls", {{"S1", {"x"}}, {"S2", {"旧"}}});
    rig.workbook("f.xls", {{"Only", {"y"}}});
    c.setUp(rig.offices[0], rig.folder);
    RecordingKeeper keeper(rig.offices, c.refuse);
    rig.keeper = &keeper;
    std::vector<std::string> args{c.args.back(), rig.folder};
    args.insert(args.end(), c.args.begin(), c.args.end() - 1);
    rig.run(args);
    EXPECT_EQ(rig.output(), c.out);
    EXPECT_EQ(keeper.calls, c.kept);
    if (!c.refuse.empty()) {
      EXPECT_EQ(rig.offices[0].documents[rig.folder + "/a.doc"], "旧");
    }
  }
}

}  // namespace
