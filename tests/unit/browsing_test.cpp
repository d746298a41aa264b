#include <algorithm>
#include <tuple>

#include <gtest/gtest.h>

#include "files/folder_listing.h"
#include "support/fixtures.h"
#include "text/text_encoding.h"
#include "ui/file_browser.h"

#ifndef _WIN32
#include <sys/mount.h>
#include <unistd.h>

#include "cli/batch.h"
#endif

namespace {

using testsupport::joinPath;
using testsupport::WindowRig;
using Names = std::vector<std::string>;

TEST(Pattern, MatchesWildcardsIgnoringCaseAndShortNameExtensions) {
  struct Case {
    const char* name;
    const char* pattern;
    bool matches;
  };
  const Case cases[] = {
      {"a.doc", "*.doc", true},    {"REPORT.DOC", "*.doc", true}, {".doc", "*.doc", true},
      {"a.b.doc", "*.doc", true},  {"x.doc", "?.doc", true},      {"xy.doc", "?.doc", false},
      {"a.docx", "*.doc", true},   {"A.DOCX", "*.doc", true},     {"b.docm", "*.doc", true},
      {"d.docs", "*.doc", true},   {"报告.docx", "*.doc", true},  {"c.doc.bak", "*.doc", false},
      {"e.do", "*.doc", false},    {"f.xlsx", "*.doc", false},    {"f.xlsx", "*.xls", true},
      {"g.xlsm", "*.xls", true},   {"h.xlsb", "*.xls", true},     {"a.xls", "*.doc", false},
      {"xy.docx", "?.doc", false}, {"a.docx", "*.docx", true},    {"a.docxx", "*.docx", false},
      {"anything", "*", true},     {"a.docx", "*.do?", true},     {"a.docx", "*.d*", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(files::matchesPattern(c.name, c.pattern), c.matches) << c.name << " " << c.pattern;
  }
}

TEST(Listing, ShowsMatchingVisibleFilesSortedByName) {
  testsupport::TempFolder folder;
  for (const char* name : {"b.doc", "A.doc", "c.DOC", ".hidden.doc", "d.xls", "报告 #1.doc",
                           "A.DOCX", "b.docm", "c.doc.bak", "d.docs", "e.do", "f.xlsx", "报告.docx",
                           ".~lock.a.docx#", "~$b.doc", "~$报告.docx", "~$f.xlsx"}) {
    folder.write(name);
  }
  folder.mkdir("folder.doc");
  folder.mkdir("x.docx");
  folder.mkdir(".git");
  folder.mkdir("Sub");
  EXPECT_EQ(
      files::listFiles(folder.str(), "*.doc"),
      (Names{"A.doc", "A.DOCX", "b.doc", "b.docm", "c.DOC", "d.docs", "报告 #1.doc", "报告.docx"}));
  EXPECT_EQ(files::listFiles(folder.str(), "*.xls"), (Names{"d.xls", "f.xlsx"}));
  EXPECT_EQ(files::listSubfolders(folder.str()), (Names{"folder.doc", "Sub", "x.docx"}));
  EXPECT_THROW(files::listFiles(folder.sub("missing"), "*.doc"), files::BrowseError);
}

#ifndef _WIN32
// A tree that holds itself again, through a link back up or a folder mounted
// a second time inside it, is listed once, and the listing ends.
TEST(RecursiveListing, AFolderReachedTwiceIsListedOnce) {
  for (const bool mount : {false, true}) {
    SCOPED_TRACE(mount ? "bind mount" : "symbolic link");
    if (mount && ::geteuid() != 0) GTEST_SKIP() << "the bind mount needs root";
    testsupport::TempFolder tree;
    tree.write("a.doc");
    tree.write("sub/b.doc");
    const std::filesystem::path loop = tree.path() / "sub" / "loop";
    struct Mounted {
      std::filesystem::path point;
      ~Mounted() {
        if (!point.empty()) ::umount2(point.c_str(), MNT_DETACH);
      }
    } mounted;
    if (mount) {
      std::filesystem::create_directory(loop);
      ASSERT_EQ(::mount(tree.path().c_str(), loop.c_str(), nullptr, MS_BIND, nullptr), 0);
      mounted.point = loop;
    } else {
      std::filesystem::create_directory_symlink(tree.path(), loop);
    }
    EXPECT_EQ(cli::listBatchFiles(tree.str(), cli::FileKind::Documents, true),
              (Names{"a.doc", "sub/b.doc"}));
  }
}

// Names from other systems' archives (GBK) are not UTF-8: each is listed, and
// the listed entry leads back to exactly the bytes on disk.
TEST(NamesThatAreNotUtf8, AreListedAndLeadBackToTheSameBytes) {
  struct Case {
    const char* locale;
    std::string onDisk;
    std::string listed;
    std::string shown;
  };
  const std::string e1 = "\xED\xB2\xB1", eA8 = "\xED\xB2\xA8", eB8 = "\xED\xB2\xB8",
                    eE6 = "\xED\xB3\xA6", eFF = "\xED\xB3\xBF", eED = "\xED\xB3\xAD",
                    eA0 = "\xED\xB2\xA0", e80 = "\xED\xB2\x80", eC0 = "\xED\xB3\x80",
                    eAF = "\xED\xB2\xAF", bad = "\xEF\xBF\xBD";
  const std::vector<Case> cases = {
      {"C.UTF-8", "报告 #1.doc", "报告 #1.doc", "报告 #1.doc"},
      {"C.UTF-8", "\xB1\xA8\xB8\xE6.doc", e1 + eA8 + eB8 + eE6 + ".doc",
       bad + bad + bad + bad + ".doc"},
      {"C.UTF-8", "a\xFF.doc", "a" + eFF + ".doc", "a" + bad + ".doc"},
      {"C.UTF-8", "s\xED\xA0\x80.doc", "s" + eED + eA0 + e80 + ".doc",
       "s" + bad + bad + bad + ".doc"},
      {"C.UTF-8", "o\xC0\xAF.doc", "o" + eC0 + eAF + ".doc", "o" + bad + bad + ".doc"},
      {"C", "\xB1\xA8\xB8\xE6.doc", e1 + eA8 + eB8 + eE6 + ".doc", bad + bad + bad + bad + ".doc"},
      {"zh_CN.GBK", "\xB1\xA8\xB8\xE6.doc", "报告.doc", "报告.doc"},
      {"zh_CN.GBK", "\xB1\xA8\xFF.doc", "报" + eFF + ".doc", "报" + bad + ".doc"},
  };
  testsupport::TempFolder locales;
  const bool haveGbk = testsupport::buildLocale(locales, "zh_CN", "GBK");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.locale) + " " + c.listed);
    testsupport::LocaleScope scope(c.locale);
    ASSERT_TRUE(scope.active() && (haveGbk || std::string(c.locale) != "zh_CN.GBK"));
    testsupport::TempFolder folder;
    folder.write(c.onDisk, "content");
    const Names listed = files::listFiles(folder.str(), "*.doc");
    ASSERT_EQ(listed, Names{c.listed});
    const std::filesystem::path back = text::pathFromUtf8(folder.str() + "/" + listed.front());
    EXPECT_EQ(back.filename().native(), c.onDisk);
    EXPECT_EQ(testsupport::readFile(back), "content");
    EXPECT_EQ(text::displayName(listed.front()), c.shown);
  }
}
#endif

#ifdef _WIN32
TEST(Drives, ListTheLogicalDrivesAndFindTheDriveOfAPath) {
  Names drives = ui::listDrives();
  testsupport::TempFolder folder;
  const std::string letter = folder.str().substr(0, 2);
  EXPECT_NE(
      std::find_if(drives.begin(), drives.end(),
                   [&](const std::string& d) { return _stricmp(d.c_str(), letter.c_str()) == 0; }),
      drives.end());
  for (const std::string& drive : drives) {
    EXPECT_EQ(drive.size(), 2u);
    EXPECT_EQ(drive[1], ':');
  }
  const Names some{"C:", "D:"};
  const std::pair<const char*, const char*> cases[] = {
      {"C:\\docs", "C:"}, {"d:\\a\\b", "D:"}, {"D:\\", "D:"}, {"E:\\x", "C:"}};
  for (const auto& [path, drive] : cases) EXPECT_EQ(ui::driveOf(some, path), drive) << path;
  EXPECT_EQ(ui::driveRoot("D:"), "D:\\");
}
#else
TEST(Drives, ListTheRootAndHomeAndFindTheDriveOfAPath) {
  Names drives = ui::listDrives();
  ASSERT_FALSE(drives.empty());
  EXPECT_EQ(drives.front(), "/");
  const Names some{"/", "/home/u", "/media/u/USB"};
  EXPECT_EQ(ui::driveOf(some, "/home/u/docs"), "/home/u");
  EXPECT_EQ(ui::driveOf(some, "/home/user2"), "/");
  EXPECT_EQ(ui::driveOf(some, "/media/u/USB"), "/media/u/USB");
  EXPECT_EQ(ui::driveOf(some, "/etc"), "/");
}
#endif

// The folder list's way down: every folder from the root to the open one, and
// never a drive without its root ("C:" is the drive's working folder).
TEST(FolderChain, RunsFromTheRootDownToTheFolder) {
#ifdef _WIN32
  const std::pair<const char*, Names> cases[] = {
      {"C:\\", {"C:\\"}},
      {"C:\\docs", {"C:\\", "C:\\docs"}},
      {"D:\\文档\\年报", {"D:\\", "D:\\文档", "D:\\文档\\年报"}},
      {"\\\\srv\\共享\\年报", {"\\\\srv\\共享", "\\\\srv\\共享\\年报"}},
  };
#else
  const std::pair<const char*, Names> cases[] = {
      {"/", {"/"}},
      {"/home", {"/", "/home"}},
      {"/home/u/文档", {"/", "/home", "/home/u", "/home/u/文档"}},
  };
#endif
  for (const auto& [path, chain] : cases) EXPECT_EQ(ui::folderChain(path), chain) << path;
}

TEST(FolderRows, TheWayDownThenTheSubfoldersOneLevelBelow) {
#ifdef _WIN32
  const std::string folder = "C:\\文档", root = "C:\\";
#else
  const std::string folder = "/文档", root = "/";
#endif
  const std::string a = joinPath(folder, "a"), b = joinPath(folder, "b c");
  std::vector<std::tuple<std::string, std::string, int, bool>> rows;
  for (const ui::FolderRow& row : ui::folderRows(folder, {"a", "b c"})) {
    rows.emplace_back(row.name, row.path, row.depth, row.onTheWay);
  }
  EXPECT_EQ(rows, (std::vector<std::tuple<std::string, std::string, int, bool>>{
                      {root, root, 0, true},
                      {"文档", folder, 1, true},
                      {"a", a, 2, false},
                      {"b c", b, 2, false},
                  }));
}

class Browsing : public ::testing::Test {
 protected:
  WindowRig rig;
  ui::Form1& form = build();

  ui::Form1& build() {
    rig.work.write("start.doc");
    rig.work.write("docs/a.doc");
    rig.work.write("docs/b.doc");
    rig.work.write("books/a.xls");
    rig.work.mkdir("empty");
    return rig.build();
  }
  std::string sub(const std::string& name) const { return rig.work.sub(name); }
};

TEST_F(Browsing, StartsOnTheWorkingFolderWithDocumentsListedAndRunButtonsDisabled) {
  EXPECT_EQ(form.Dir1.path, rig.work.str());
  EXPECT_EQ(form.File1.path, rig.work.str());
  EXPECT_EQ(form.File1.pattern, "*.doc");
  EXPECT_EQ(form.File1.entries, (Names{"start.doc"}));
  EXPECT_EQ(form.Dir1.subfolders, (Names{"books", "docs", "empty"}));
  EXPECT_FALSE(form.Command1.enabled);
  EXPECT_FALSE(form.Command2.enabled);
  EXPECT_EQ(form.Drive1.drive, ui::driveOf(form.Drive1.drives, rig.work.str()));
}

TEST_F(Browsing, OpeningAFolderListsItsFilesAndSetsBothRunButtonsByTheCount) {
  form.openFolder(sub("docs"));
  EXPECT_EQ(form.File1.path, sub("docs"));
  EXPECT_EQ(form.File1.entries, (Names{"a.doc", "b.doc"}));
  EXPECT_TRUE(form.Command1.enabled);
  EXPECT_TRUE(form.Command2.enabled);

  form.openFolder(sub("empty"));
  EXPECT_TRUE(form.File1.entries.empty());
  EXPECT_FALSE(form.Command1.enabled);
  EXPECT_FALSE(form.Command2.enabled);
}

TEST_F(Browsing, APatternChangeDoesNotTouchTheButtonsUntilTheFolderIsOpenedAgain) {
  form.openFolder(sub("books"));
  EXPECT_FALSE(form.Command1.enabled);
  form.clickOption(2);
  EXPECT_EQ(form.File1.entries, (Names{"a.xls"}));
  EXPECT_FALSE(form.Command2.enabled);
  form.openFolder(sub("books"));
  EXPECT_TRUE(form.Command1.enabled);
  EXPECT_TRUE(form.Command2.enabled);

  form.clickOption(1);
  form.openFolder(sub("docs"));
  form.clickOption(2);
  EXPECT_TRUE(form.File1.entries.empty());
  EXPECT_TRUE(form.Command1.enabled);
  EXPECT_TRUE(form.Command2.enabled);
}

TEST_F(Browsing, OptionClicksSetPatternCaptionsAndPrompts) {
  form.Text1.text = "typed";
  form.Text2.text = "typed too";
  form.clickOption(3);
  EXPECT_EQ(form.Command1.caption, "doc文档替换");
  EXPECT_EQ(form.Text1.text, "请输入要替换原内容");
  EXPECT_EQ(form.Text2.text, "请输入新替换内容");

  form.clickOption(1);
  EXPECT_EQ(form.Command1.caption, "文档内容替换");
  form.clickOption(3);
  EXPECT_EQ(form.Command1.caption, "文档内容替换");
  EXPECT_EQ(form.File1.pattern, "*.doc");

  form.clickOption(2);
  EXPECT_EQ(form.File1.pattern, "*.xls");
  EXPECT_EQ(form.Command2.caption, "表格内容替换");
  EXPECT_EQ(form.Command1.caption, "文档内容替换");

  form.clickOption(1);
  form.clickOption(4);  // workbooks for the WPS spreadsheet server too
  EXPECT_EQ(form.File1.pattern, "*.xls");
  EXPECT_EQ(form.Command2.caption, "表格内容替换");
}

TEST_F(Browsing, OptionButtonsFormOneGroup) {
  form.clickOption(1);
  form.clickOption(2);
  EXPECT_FALSE(form.Option1.value);
  EXPECT_TRUE(form.Option2.value);
  form.clickOption(4);
  int selected = 0;
  for (int n = 1; n <= 4; ++n) selected += form.option(n).value ? 1 : 0;
  EXPECT_EQ(selected, 1);
  EXPECT_TRUE(form.Option4.value);
}

TEST_F(Browsing, AFolderThatCannotBeReadLeavesTheListsAndSaysWhy) {
  form.openFolder(sub("docs"));
  const std::string missing = sub("gone");
  form.openFolder(missing);
  EXPECT_EQ(form.Dir1.path, sub("docs"));
  EXPECT_EQ(form.File1.entries, (Names{"a.doc", "b.doc"}));
  EXPECT_TRUE(form.Command1.enabled);
  const std::string& status = testsupport::statusLines(form.Text3.text());
  EXPECT_EQ(status.rfind("无法打开文件夹：" + missing + "（", 0), 0u) << status;
  EXPECT_EQ(status.substr(status.size() - 2), "\r\n");
  EXPECT_EQ(rig.view.appended.size(), 1u);
}

TEST_F(Browsing, AFolderRemovedWhileListedEmptiesTheListOnAPatternChange) {
  form.openFolder(sub("docs"));
  ASSERT_EQ(std::filesystem::remove_all(text::pathFromUtf8(sub("docs"))), 3u);
  form.clickOption(2);
  EXPECT_TRUE(form.File1.entries.empty());
  EXPECT_NE(testsupport::statusLines(form.Text3.text()).find(sub("docs")), std::string::npos);
}

TEST(BrowsingStart, AnUnreadableWorkingFolderIsReportedOnceWithEmptyLists) {
  WindowRig rig;
  const std::string missing = rig.work.sub("gone");
  ui::Form1& form = rig.build(missing);
  EXPECT_EQ(form.Dir1.path, missing);
  EXPECT_TRUE(form.File1.entries.empty());
  EXPECT_EQ(rig.view.appended.size(), 1u);
  EXPECT_NE(testsupport::statusLines(form.Text3.text()).find(missing), std::string::npos);
  EXPECT_FALSE(form.Command1.enabled);
}

#ifdef _WIN32
TEST_F(Browsing, PickingADriveMovesTheFolderToItsRootAndAnAbsentDriveIsRefused) {
  const std::string current = form.Drive1.drive;
  std::string other;
  for (const std::string& d : form.Drive1.drives) {
    if (d != current) other = d;
  }
  if (other.empty()) GTEST_SKIP() << "a second drive is needed";
  form.pickDrive(other);
  EXPECT_EQ(form.Dir1.path, other + "\\");
  EXPECT_EQ(form.Drive1.drive, other);

  std::string absent;
  for (char c = 'Z'; c >= 'D' && absent.empty(); --c) {
    const std::string letter = std::string(1, c) + ":";
    if (std::find(form.Drive1.drives.begin(), form.Drive1.drives.end(), letter) ==
        form.Drive1.drives.end()) {
      absent = letter;
    }
  }
  form.Drive1.drives.push_back(absent);  // listed, then unplugged
  form.pickDrive(absent);
  EXPECT_EQ(form.Drive1.drive, other);
  EXPECT_EQ(form.Dir1.path, other + "\\");
  EXPECT_NE(testsupport::statusLines(form.Text3.text()).find(absent + "\\"), std::string::npos);
}
#else
TEST_F(Browsing, PickingADriveMovesTheFolderAndTheFileList) {
  form.Drive1.drives.push_back(sub("docs"));  // a mounted medium
  form.pickDrive(sub("docs"));
  EXPECT_EQ(form.Dir1.path, sub("docs"));
  EXPECT_EQ(form.File1.entries, (Names{"a.doc", "b.doc"}));
  EXPECT_TRUE(form.Command2.enabled);

  const std::string before = form.Drive1.drive;
  form.pickDrive(sub("unplugged"));
  EXPECT_EQ(form.Drive1.drive, before);
  EXPECT_EQ(form.Dir1.path, sub("docs"));
  EXPECT_NE(testsupport::statusLines(form.Text3.text()).find(sub("unplugged")), std::string::npos);
}

#endif

#ifndef _WIN32
TEST_F(Browsing, AFolderWithAGbkNameOpensInTheFolderList) {
  rig.work.write("\xB1\xA8\xB8\xE6/\xC4\xEA.doc");
  form.openFolder(rig.work.str());
  const std::string gbkFolder = "\xED\xB2\xB1\xED\xB2\xA8\xED\xB2\xB8\xED\xB3\xA6";
  EXPECT_EQ(form.Dir1.subfolders, (Names{"books", "docs", "empty", gbkFolder}));
  form.openFolder(form.Dir1.path + "/" + gbkFolder);
  EXPECT_EQ(form.Dir1.path, rig.work.str() + "/" + gbkFolder);
  EXPECT_EQ(form.File1.entries, (Names{"\xED\xB3\x84\xED\xB3\xAA.doc"}));
  EXPECT_TRUE(form.Command1.enabled);
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "");
}
#endif

}  // namespace
