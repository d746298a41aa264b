// What the program may never do to a user's files, against the real office:
// report a change it did not save, write a document it may not write, turn a
// format into another, or leave the office's lock files behind.
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::WindowRig;

const std::string kOld = "旧文本";
const std::string kNew = "新文本";
const std::string kFailed = " 处理失败，错误代码：-2147467259错误描述：";
constexpr uid_t kNobody = 65534;

// One document with the text, converted once.
const fs::path& sampleDocument() {
  static testsupport::TempFolder folder;
  static const fs::path sample = [] {
    e2e::makeDocuments(folder.path(), {{"sample.doc", "正文里有旧文本。", "表格", "页眉"}});
    return folder.path() / "sample.doc";
  }();
  return sample;
}

class Trust : public ::testing::Test {
 protected:
  WindowRig rig;
  fs::path folder;

  void SetUp() override {
    ASSERT_TRUE(office::libreoffice::registerServers(rig.servers, options()));
    folder = rig.work.path() / "folder";
    fs::create_directories(folder);
  }
  void TearDown() override {
    rig.form.reset();
    EXPECT_TRUE(e2e::officeProcesses().empty()) << "an office process outlived the run";
  }
  virtual office::libreoffice::Options options() { return {}; }

  std::string run(int option) {
    ui::Form1& form = rig.build();
    form.Form_Load();
    form.clickOption(option);
    form.openFolder(folder.string());
    form.Text1.text = option == 2 ? "old text" : kOld;
    form.Text2.text = option == 2 ? "new text" : kNew;
    if (option == 2) {
      form.Command2_Click();
    } else {
      form.Command1_Click();
    }
    return testsupport::statusLines(form.Text3.text());
  }
};

// Read-only documents and folders, a colleague's document in a group folder
// and a hard-linked one, as the user who runs the program. Run by
// TrustAsAnotherUser in a process of its own under an unprivileged uid, since
// a process that holds the office bridge's threads cannot safely fork.
TEST_F(Trust, DISABLED_RunAsAnUnprivilegedUser) {
  const char* prepared = std::getenv("RAVELSK_TRUST_FOLDER");
  if (prepared == nullptr) GTEST_SKIP() << "started by TrustAsAnotherUser";
  folder = fs::path(prepared) / "a";
  EXPECT_EQ(run(1), "not mine.doc" + kFailed + "文件只读，未作改动\r\n" + "read-only.doc" +
                        kFailed + "文件只读，未作改动\r\n" + "writable.doc 已替换内容\r\n");
  folder = fs::path(prepared) / "b";
  EXPECT_EQ(run(1), "writable.doc" + kFailed + "文件夹不可写，未作改动\r\n");
  folder = fs::path(prepared) / "shared";
  EXPECT_EQ(run(1), "colleague's.doc 已替换内容\r\nlinked.doc 已替换内容\r\n");
}

TEST(TrustAsAnotherUser, ReadOnlyDocumentsFailAndSharedOrLinkedOnesKeepOwnerGroupAndLinks) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to make another user's files";
  testsupport::TempFolder top;
  fs::permissions(top.path(), fs::perms(0755));
  const fs::path a = top.path() / "a", b = top.path() / "b", home = top.path() / "home";
  const fs::path shared = top.path() / "shared";
  for (const fs::path& f : {a, b, home, shared}) fs::create_directories(f);
  for (const char* name : {"not mine.doc", "read-only.doc", "writable.doc"}) {
    fs::copy_file(sampleDocument(), a / name);
  }
  fs::copy_file(sampleDocument(), b / "writable.doc");
  for (const fs::path& f :
       {a, b, home, a / "read-only.doc", a / "writable.doc", b / "writable.doc"}) {
    ASSERT_EQ(::chown(f.c_str(), kNobody, kNobody), 0);
  }
  fs::permissions(a / "read-only.doc", fs::perms(0444));
  fs::permissions(a / "not mine.doc", fs::perms(0644));
  fs::permissions(b, fs::perms(0555));
  // A group folder: a colleague's document we may write through the group,
  // and one of ours with a second hard link and an extended attribute.
  constexpr uid_t kColleague = 1001;
  constexpr gid_t kGroup = 2000;
  fs::copy_file(sampleDocument(), shared / "colleague's.doc");
  fs::copy_file(sampleDocument(), shared / "linked.doc");
  fs::create_hard_link(shared / "linked.doc", top.path() / "other name.doc");
  ASSERT_EQ(::chown(shared.c_str(), kColleague, kGroup), 0);
  fs::permissions(shared, fs::perms(0775));
  ASSERT_EQ(::chown((shared / "colleague's.doc").c_str(), kColleague, kGroup), 0);
  fs::permissions(shared / "colleague's.doc", fs::perms(0664));
  ASSERT_EQ(::chown((shared / "linked.doc").c_str(), kNobody, kGroup), 0);
  const bool xattrs =
      e2e::run("setfattr -n user.origin -v scanner " +
               e2e::quote((shared / "linked.doc").string()) + " 2>&1 && echo ok") == "ok\n";

  // A copy of this program where the other user can reach it, wherever the
  // build folder is.
  const std::string self = (top.path() / "tests").string();
  fs::copy_file("/proc/self/exe", self);
  fs::permissions(self, fs::perms(0755));
  int status = 0;
  const std::string output = e2e::run(
      "setpriv --reuid=65534 --regid=65534 --groups=2000 env HOME=" + e2e::quote(home.string()) +
          " TMPDIR=" + e2e::quote(home.string()) +
          " RAVELSK_TRUST_FOLDER=" + e2e::quote(top.str()) + " " + e2e::quote(self) +
          " --gtest_also_run_disabled_tests --gtest_filter=Trust.DISABLED_RunAsAnUnprivilegedUser "
          "2>&1",
      &status);
  EXPECT_EQ(status, 0) << output;
  EXPECT_NE(output.find("[  PASSED  ] 1 test"), std::string::npos) << output;
  const std::string original = readFile(sampleDocument());
  EXPECT_EQ(readFile(a / "not mine.doc"), original);
  EXPECT_EQ(readFile(a / "read-only.doc"), original);
  EXPECT_EQ(readFile(b / "writable.doc"), original);
  EXPECT_NE(e2e::antiword(a / "writable.doc").find(kNew), std::string::npos);
  fs::permissions(b, fs::perms(0755));

  struct stat st {};
  ASSERT_EQ(::stat((shared / "colleague's.doc").c_str(), &st), 0);
  EXPECT_EQ(st.st_uid, kColleague);
  EXPECT_EQ(st.st_gid, kGroup);
  EXPECT_EQ(st.st_mode & 07777, 0664u);
  EXPECT_NE(e2e::antiword(shared / "colleague's.doc").find(kNew), std::string::npos);
  ASSERT_EQ(::stat((shared / "linked.doc").c_str(), &st), 0);
  EXPECT_EQ(st.st_nlink, 2u);
  EXPECT_EQ(st.st_gid, kGroup);
  EXPECT_EQ(readFile(top.path() / "other name.doc"), readFile(shared / "linked.doc"));
  EXPECT_NE(e2e::antiword(top.path() / "other name.doc").find(kNew), std::string::npos);
  if (xattrs) {
    EXPECT_EQ(e2e::run("getfattr --only-values -n user.origin " +
                       e2e::quote((shared / "linked.doc").string()) + " 2>/dev/null"),
              "scanner");
  }
}

TEST_F(Trust, AReadOnlyDocumentIsNotWrittenEvenByRoot) {
  fs::copy_file(sampleDocument(), folder / "read-only.doc");
  fs::permissions(folder / "read-only.doc", fs::perms(0444));
  EXPECT_EQ(run(1), "read-only.doc" + kFailed + "文件只读，未作改动\r\n");
  EXPECT_EQ(readFile(folder / "read-only.doc"), readFile(sampleDocument()));
}

TEST_F(Trust, AFormatTheOfficeCannotWriteIsFailedBeforeAnyChange) {
  // Excel 95 (BIFF7) holds no Unicode text: ASCII only.
  const fs::path csv = rig.work.path() / "book.csv";
  std::ofstream(csv) << "some old text here\nnothing\n";
  int status = 0;
  const std::string made =
      e2e::run("ssconvert --export-type=Gnumeric_Excel:excel_biff7 " + e2e::quote(csv.string()) +
                   " " + e2e::quote((folder / "excel95.xls").string()) + " 2>&1",
               &status);
  ASSERT_EQ(status, 0) << made;
  const std::string before = readFile(folder / "excel95.xls");
  EXPECT_EQ(run(2),
            "excel95.xls" + kFailed +
                "无法保存此工作簿（文件格式：MS Excel 95）办公软件只能读取这种格式，未作改动\r\n");
  EXPECT_EQ(readFile(folder / "excel95.xls"), before);
  EXPECT_TRUE(e2e::leftovers(folder).empty());
}

TEST_F(Trust, LongAndNonUtf8NamesAreReplacedInTheFileListed) {
  std::string longName;
  for (int i = 0; i < 82; ++i) longName += "报";
  longName += ".doc";  // 250 bytes: no room left for the office's lock file
  ASSERT_EQ(longName.size(), 250u);
  const std::string gbkName = "\xB1\xA8\xB8\xE6.doc";  // "报告.doc" in GBK
  fs::copy_file(sampleDocument(), folder / longName);
  fs::copy_file(sampleDocument(), folder / gbkName);

  const std::string status = run(1);
  std::istringstream lines(status);
  std::vector<std::string> results;
  for (std::string line; std::getline(lines, line);) results.push_back(line);
  ASSERT_EQ(results.size(), 2u) << status;
  for (const std::string& line : results) {
    EXPECT_NE(line.find(" 已替换内容\r"), std::string::npos) << line;
  }
  EXPECT_NE(e2e::antiword(folder / longName).find("正文里有新文本"), std::string::npos);
  EXPECT_NE(e2e::antiword(folder / gbkName).find("正文里有新文本"), std::string::npos);
  EXPECT_TRUE(e2e::leftovers(folder).empty());
}

TEST_F(Trust, TextTheOfficeWillNotChangeIsAFailureNotAReplacement) {
  std::ofstream(folder / "protected.fodt") << R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.text">
<office:body><office:text><text:p>A paragraph anybody may change.</text:p>
<text:section text:name="S1" text:protected="true"><text:p>保护区里的旧文本</text:p></text:section>
</office:text></office:body></office:document>
)";
  e2e::convert(folder / "protected.fodt", "doc:MS Word 97");
  fs::remove(folder / "protected.fodt");
  const std::string before = readFile(folder / "protected.doc");
  EXPECT_EQ(run(1), "protected.doc" + kFailed +
                        "找到的内容位于不能修改的部分（受保护的区域），未作改动\r\n");
  EXPECT_EQ(readFile(folder / "protected.doc"), before);
}

// A lock file as the office writes it: "name,user,host,time,profile URL;".
std::string lockText(const std::string& host, const std::string& profileUrl) {
  return ",someone," + host + ",08.12.2026 09:00," + profileUrl + ";";
}

std::string hostName() {
  char name[256] = {};
  ::gethostname(name, sizeof name - 1);
  return name;
}

TEST_F(Trust, OnlyStaleLocksOfOurOwnOfficesAreTakenOver) {
  const std::string tmp = fs::temp_directory_path().string();
  testsupport::TempFolder live;  // stands for a private folder in use: its owner is us
  fs::create_directories(live.path() / "profile");
  std::ofstream(live.path() / "owner") << ::getpid() << " " << [] {
    std::ifstream stat("/proc/self/stat");
    std::string s((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream f(s.substr(s.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 22; ++i) f >> field;
    return field;
  }() << "\n";
  const fs::path liveFolder = fs::path(tmp) / ("ravelsk-office-" + live.path().filename().string());
  fs::create_directory_symlink(live.path(), liveFolder);
  struct Case {
    std::string name;
    std::string lock;
    bool takenOver;
  };
  const std::vector<Case> cases = {
      {"1 gone office.doc", lockText(hostName(), "file://" + tmp + "/ravelsk-office-gone1/profile"),
       true},
      {"2 live office.doc", lockText(hostName(), "file://" + liveFolder.string() + "/profile"),
       false},
      {"3 other machine.doc",
       lockText("otherhost", "file://" + tmp + "/ravelsk-office-gone2/profile"), false},
      {"4 other program.doc", lockText(hostName(), "file:///home/someone/.config/libreoffice/4"),
       false},
  };
  for (const Case& c : cases) {
    fs::copy_file(sampleDocument(), folder / c.name);
    std::ofstream(folder / (".~lock." + c.name + "#")) << c.lock;
  }
  const std::string status = run(1);
  fs::remove(liveFolder);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool replaced = status.find(c.name + " 已替换内容\r\n") != std::string::npos;
    EXPECT_EQ(replaced, c.takenOver) << status;
    EXPECT_EQ(fs::exists(folder / (".~lock." + c.name + "#")), !c.takenOver);
    if (!c.takenOver) {
      EXPECT_NE(status.find(c.name + kFailed + "无法打开文档：文档已被其他程序锁定"),
                std::string::npos)
          << status;
    }
  }
}

TEST_F(Trust, AKilledOfficeTakesItsOwnLocksAndLeavesAnybodyElses) {
  fs::copy_file(sampleDocument(), folder / "a.doc");
  office::Object app = rig.servers.create("word.Application");
  office::Object doc = app.get("Documents")
                           .toObject()
                           .call("Open", {office::Variant((folder / "a.doc").string())})
                           .toObject();
  const fs::path lock = folder / ".~lock.a.doc#";
  ASSERT_TRUE(fs::exists(lock));
  // Somebody else took the document over after our office had locked it.
  const std::string theirs = lockText("otherhost", "file:///home/other/.config/libreoffice/4");
  std::ofstream(lock) << theirs;
  for (int pid : e2e::officeProcesses()) ::kill(pid, SIGKILL);
  EXPECT_THROW(
      doc.get("Content").toObject().get("Find").toObject().call("Execute", {office::Variant(kOld)}),
      office::AutomationError);
  EXPECT_EQ(readFile(lock), theirs);
}

// A document large enough that the office is still loading it when the
// watchdog's limit passes.
class TrustWatchdog : public Trust {
 protected:
  office::libreoffice::Options options() override {
    office::libreoffice::Options o;
    o.documentTimeout = std::chrono::milliseconds(300);
    return o;
  }
};

TEST_F(TrustWatchdog, AKillDuringLoadingLeavesNoLockBehind) {
  std::string body;
  for (int i = 0; i < 8000; ++i) body += "第" + std::to_string(i) + "句旧文本，还有很多别的字。";
  e2e::makeDocuments(folder, {{"large.doc", body, "表格", "页眉"}});
  const std::string before = readFile(folder / "large.doc");
  const std::string status = run(1);
  EXPECT_NE(status.find("处理超时，LibreOffice 已被终止"), std::string::npos) << status;
  EXPECT_EQ(readFile(folder / "large.doc"), before);
  EXPECT_TRUE(e2e::leftovers(folder).empty());
}

}  // namespace

// Notes which offices were running as each result was reported.
class OfficeWatchingView : public testsupport::RecordingView {
 public:
  std::set<int> offices;
  void text3Appended(const std::string& line) override {
    RecordingView::text3Appended(line);
    for (int pid : e2e::officeProcesses()) offices.insert(pid);
  }
};

class TrustRecycling : public Trust {
 protected:
  office::libreoffice::Options options() override {
    office::libreoffice::Options o;
    o.recycleAfterDocuments = 2;
    return o;
  }
};

TEST_F(TrustRecycling, AFreshOfficeBetweenDocumentsChangesNothingTheRunSees) {
  for (const char* name : {"1.doc", "2.doc", "3.doc", "4.doc", "5.doc"}) {
    fs::copy_file(sampleDocument(), folder / name);
  }
  OfficeWatchingView view;
  ui::Form1& form = rig.build();
  form.setView(&view);
  form.Form_Load();
  form.clickOption(1);
  form.openFolder(folder.string());
  form.Text1.text = kOld;
  form.Text2.text = kNew;
  form.Command1_Click();
  form.setView(&rig.view);
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "1.doc 已替换内容\r\n2.doc 已替换内容\r\n3.doc 已替换内容\r\n4.doc 已替换内容\r\n5.doc "
            "已替换内容\r\n");
  EXPECT_EQ(view.offices.size(), 3u);
  for (const char* name : {"1.doc", "3.doc", "5.doc"}) {
    EXPECT_NE(e2e::antiword(folder / name).find("正文里有新文本"), std::string::npos) << name;
  }
}

namespace {

// What another program does to a document while the office holds it open;
// the store must write the file it loaded and nothing else.
TEST_F(Trust, AnotherProgramsChangeWhileTheOfficeHoldsADocumentIsNeverOverwritten) {
  const fs::path outside = rig.work.path() / "outside.doc";
  struct Case {
    std::string name;
    std::function<void(const fs::path& doc)> change;
    std::string expected;  // what the document's name leads to afterwards
    bool stored;
  };
  const std::string sample = readFile(sampleDocument());
  const std::string theirs = "their new content";
  const std::vector<Case> cases = {
      {"untouched", [](const fs::path&) {}, "", true},
      {"symbolic link planted",
       [&](const fs::path& doc) {
         fs::remove(doc);
         fs::create_symlink(outside, doc);
       },
       sample, false},
      {"new file renamed over",
       [&](const fs::path& doc) {
         std::ofstream(doc.string() + ".new") << theirs;
         fs::rename(doc.string() + ".new", doc);
       },
       theirs, false},
      {"written in place",
       [&](const fs::path& doc) { std::ofstream(doc, std::ios::app) << theirs; }, sample + theirs,
       false},
      {"folder renamed and another made",
       [&](const fs::path& doc) {
         fs::rename(doc.parent_path(), doc.parent_path().string() + ".away");
         fs::create_directories(doc.parent_path());
         std::ofstream(doc) << theirs;
       },
       theirs, false},
  };
  office::Object app = rig.servers.create("word.Application");
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path own = rig.work.path() / c.name;
    fs::create_directories(own);
    const fs::path doc = own / "a.doc";
    fs::copy_file(sampleDocument(), doc);
    fs::copy_file(sampleDocument(), outside, fs::copy_options::overwrite_existing);
    office::Object documents = app.get("Documents").toObject();
    office::Object opened = documents.call("Open", {office::Variant(doc.string())}).toObject();
    c.change(doc);
    opened.get("Content").toObject().get("Find").toObject().call(
        "Execute", {{"FindText", office::Variant(kOld)},
                    {"ReplaceWith", office::Variant(kNew)},
                    {"Replace", office::Variant(std::int16_t{2})}});
    std::string failure;
    try {
      documents.call("Close", {office::Variant(true)});
    } catch (const office::AutomationError& e) {
      failure = e.description();
      documents.call("Close", {office::Variant(false)});
    }
    EXPECT_EQ(failure, c.stored ? "" : "文件在处理期间被其他程序修改，未作改动");
    if (c.stored) {
      EXPECT_NE(e2e::antiword(doc).find("正文里有新文本"), std::string::npos);
    } else {
      EXPECT_TRUE(readFile(doc) == c.expected) << "what the other program left was written over";
    }
    EXPECT_TRUE(readFile(outside) == sample) << "a file outside the folder was written";
    if (fs::exists(own.string() + ".away")) {
      EXPECT_TRUE(readFile(own.string() + ".away/a.doc") == sample) << "the moved document";
    }
  }
}

TEST_F(Trust, AListedFileThatBecameSomethingElseSaysWhatItIs) {
  fs::create_directories(folder / "folder.doc");
  ASSERT_EQ(::mkfifo((folder / "fifo.doc").c_str(), 0644), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"folder.doc", "不是文件而是文件夹，未作改动"},
      {"fifo.doc", "不是普通文件，未作改动"},
      {"missing.doc", "找不到文件：" + (folder / "missing.doc").string()},
  };
  office::Object documents = rig.servers.create("word.Application").get("Documents").toObject();
  for (const auto& [name, why] : cases) {
    try {
      documents.call("Open", {office::Variant((folder / name).string())});
      ADD_FAILURE() << name << " opened";
    } catch (const office::AutomationError& e) {
      EXPECT_EQ(e.description(), why) << name;
    }
  }
}

}  // namespace
