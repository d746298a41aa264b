#include <algorithm>

#include <gtest/gtest.h>

#include "replace/text_encoding.h"
#include "support/fixtures.h"
#include "ui/file_browser.h"

namespace {

using testsupport::WindowRig;
using Names = std::vector<std::string>;

TEST(Pattern, MatchesWildcardsIgnoringCase) {
  EXPECT_TRUE(ui::matchesPattern("a.doc", "*.doc"));
  EXPECT_TRUE(ui::matchesPattern("REPORT.DOC", "*.doc"));
  EXPECT_TRUE(ui::matchesPattern(".doc", "*.doc"));
  EXPECT_TRUE(ui::matchesPattern("a.b.doc", "*.doc"));
  EXPECT_TRUE(ui::matchesPattern("x.doc", "?.doc"));
  EXPECT_FALSE(ui::matchesPattern("xy.doc", "?.doc"));
  EXPECT_FALSE(ui::matchesPattern("a.docx", "*.doc"));
  EXPECT_FALSE(ui::matchesPattern("a.doc.bak", "*.doc"));
  EXPECT_FALSE(ui::matchesPattern("a.xls", "*.doc"));
  EXPECT_TRUE(ui::matchesPattern("anything", "*"));
}

TEST(Listing, ShowsMatchingVisibleFilesSortedByName) {
  testsupport::TempFolder folder;
  for (const char* name :
       {"b.doc", "A.doc", "c.DOC", ".hidden.doc", "d.xls", "e.docx", "报告 #1.doc"}) {
    folder.write(name);
  }
  folder.mkdir("folder.doc");
  folder.mkdir(".git");
  folder.mkdir("Sub");
  EXPECT_EQ(ui::listFiles(folder.str(), "*.doc"),
            (Names{"A.doc", "b.doc", "c.DOC", "报告 #1.doc"}));
  EXPECT_EQ(ui::listFiles(folder.str(), "*.xls"), (Names{"d.xls"}));
  EXPECT_EQ(ui::listSubfolders(folder.str()), (Names{"folder.doc", "Sub"}));
  EXPECT_THROW(ui::listFiles(folder.sub("missing"), "*.doc"), ui::BrowseError);
}

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
  const std::string& status = form.Text3.text();
  EXPECT_EQ(status.rfind("无法打开文件夹：" + missing + "（", 0), 0u) << status;
  EXPECT_EQ(status.substr(status.size() - 2), "\r\n");
  EXPECT_EQ(rig.view.appended.size(), 1u);
}

TEST_F(Browsing, AFolderRemovedWhileListedEmptiesTheListOnAPatternChange) {
  form.openFolder(sub("docs"));
  ASSERT_EQ(std::filesystem::remove_all(replace::pathFromUtf8(sub("docs"))), 3u);
  form.clickOption(2);
  EXPECT_TRUE(form.File1.entries.empty());
  EXPECT_NE(form.Text3.text().find(sub("docs")), std::string::npos);
}

TEST(BrowsingStart, AnUnreadableWorkingFolderIsReportedOnceWithEmptyLists) {
  WindowRig rig;
  const std::string missing = rig.work.sub("gone");
  ui::Form1& form = rig.build(missing);
  EXPECT_EQ(form.Dir1.path, missing);
  EXPECT_TRUE(form.File1.entries.empty());
  EXPECT_EQ(rig.view.appended.size(), 1u);
  EXPECT_NE(form.Text3.text().find(missing), std::string::npos);
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
  EXPECT_NE(form.Text3.text().find(absent + "\\"), std::string::npos);
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
  EXPECT_NE(form.Text3.text().find(sub("unplugged")), std::string::npos);
}

#endif

}  // namespace
