#include <gtest/gtest.h>

#include <algorithm>

#include "support/fixtures.h"
#include "text/text_encoding.h"
#include "ui/layout.h"

namespace {

using testsupport::WindowRig;

TEST(Window, DesignTimeStateOfTheControls) {
  WindowRig rig;
  ui::Form1& form = rig.build();
  EXPECT_EQ(form.Text1.text, "请输入要替换的内容");
  EXPECT_EQ(form.Text2.text, "替换内容\r");
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "");
  EXPECT_EQ(form.Label2.caption, "");
  EXPECT_EQ(form.Command1.caption, "doc文档替换");
  EXPECT_EQ(form.Command2.caption, "xls表格替换");
  EXPECT_FALSE(form.Command1.enabled);
  EXPECT_FALSE(form.Command2.enabled);
  EXPECT_EQ(form.strRZ, "");
  for (int n = 1; n <= 4; ++n) {
    EXPECT_TRUE(form.option(n).enabled);
    EXPECT_FALSE(form.option(n).value);
  }
  EXPECT_EQ(form.Option3.caption, "wps.doc");
}

TEST(Window, AboutBoxHasThreeLinesEndingWithTheRequestForOpinions) {
  WindowRig rig;
  ui::Form1& form = rig.build();
  form.gy_Click();
  ASSERT_EQ(rig.view.messages.size(), 1u);
  const std::string& text = rig.view.messages[0];
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
  const std::string last = "\r\n建议意见：软件使用请提供宝贵意见，谢谢！";
  EXPECT_EQ(text.substr(text.size() - last.size()), last);
}

TEST(Window, ContactWindowIsCreatedOnceAndShownOnEveryClick) {
  WindowRig rig;
  ui::Form1& form = rig.build();
  EXPECT_FALSE(form.contactWindow().has_value());
  form.das_Click();
  form.das_Click();
  ASSERT_EQ(rig.view.form3Shown.size(), 2u);
  EXPECT_EQ(rig.view.form3Shown[0], rig.view.form3Shown[1]);
  EXPECT_EQ(rig.view.form3Shown[0]->caption, "联系程序员");
  EXPECT_EQ(rig.view.form3Shown[0]->label1, "添加微信好友（备注：软件咨询）");
}

// 工具 → 打开日志文件夹 opens the folder the journal is written to, made
// first when no line was written yet.
TEST(Window, TheJournalFolderIsMadeAndShownOnRequest) {
  WindowRig rig;
  ui::Form1& form = rig.build();
  form.Form_Load();
  const auto journal = rig.programFolder.path() / "Journal";
  std::filesystem::remove_all(journal);  // as before the first line of a day
  form.openJournalFolder_Click();
  EXPECT_EQ(rig.view.foldersShown, std::vector<std::filesystem::path>{journal});
  EXPECT_TRUE(std::filesystem::is_directory(journal));
  EXPECT_TRUE(rig.view.messages.empty());
}

// 替换前备份原文件 is on at start where originals can be kept, and a
// run then hands the keeping to the context and takes it back at its end;
// with nothing kept yet, 撤销上次替换 says so and asks nothing.
TEST(Window, BackupsAreOnAtStartAndAnUndoWithoutThemSaysSo) {
  for (const bool canKeep : {false, true}) {
    SCOPED_TRACE(canKeep);
    WindowRig rig;
    std::vector<std::string> keeping;
    if (canKeep) {
      rig.keepOriginalsIn = [&](const std::string& folder, const std::string& backups) {
        keeping.push_back(folder.empty() ? "end" : "keep");
        EXPECT_TRUE(backups.empty() || std::filesystem::is_directory(text::pathFromUtf8(backups)));
        return std::unique_ptr<replace::OriginalKeeper>();
      };
    }
    ui::Form1& form = rig.build();
    form.Form_Load();
    EXPECT_EQ(form.backupAvailable(), canKeep);
    EXPECT_EQ(form.backsUpOriginals(), canKeep);
    form.undoLastRun_Click();
    EXPECT_EQ(rig.view.messages,
              std::vector<std::string>{"没有可以撤销的替换：还没有哪次替换保存过原文件"});
    EXPECT_TRUE(rig.view.questions.empty());
    rig.work.write("a.doc");
    form.clickOption(1);
    form.openFolder(rig.work.str());
    form.Text1.text = "旧";
    form.Command1_Click();  // no office serves: nothing changes, but the run kept
    form.preview_Click();   // a preview keeps nothing
    form.backupOriginals_Click();
    EXPECT_FALSE(form.backsUpOriginals());
    form.Command1_Click();
    EXPECT_EQ(keeping,
              canKeep ? (std::vector<std::string>{"keep", "end"}) : std::vector<std::string>{});
    // Nothing was changed: no backup folder is left.
    EXPECT_TRUE(!canKeep ||
                std::filesystem::is_empty(form.journalFolder() / text::pathFromUtf8("备份")));
  }
}

TEST(Layout, TabOrderOverFocusableControlsIsTheDocumentedOne) {
  std::vector<const ui::ControlGeometry*> focusable;
  for (const ui::ControlGeometry& c : ui::mainWindowGeometry().controls) {
    if (c.kind != ui::ControlKind::Frame && c.kind != ui::ControlKind::Label)
      focusable.push_back(&c);
  }
  std::sort(focusable.begin(), focusable.end(),
            [](auto* a, auto* b) { return a->tabIndex < b->tabIndex; });
  std::vector<std::string> order;
  for (auto* c : focusable) order.emplace_back(c->name);
  EXPECT_EQ(order, (std::vector<std::string>{"Option1", "Option2", "Text2", "Text1", "Dir1",
                                             "Drive1", "File1", "Command1", "Text3", "Option3",
                                             "Option4", "Command2"}));
}

TEST(Layout, EveryControlSitsInsideItsContainer) {
  const ui::WindowGeometry& window = ui::mainWindowGeometry();
  EXPECT_EQ(window.clientWidth, 9465);
  EXPECT_EQ(window.clientHeight, 7425);
  for (const ui::ControlGeometry& c : window.controls) {
    int width = window.clientWidth, height = window.clientHeight;
    if (!c.container.empty()) {
      const ui::ControlGeometry* parent = ui::findControl(window, c.container);
      ASSERT_NE(parent, nullptr) << c.name;
      EXPECT_EQ(parent->kind, ui::ControlKind::Frame) << c.name;
      width = parent->width;
      height = parent->height;
    }
    EXPECT_LE(c.left + c.width, width) << c.name;
    EXPECT_LE(c.top + c.height, height) << c.name;
  }
  EXPECT_EQ(ui::findControl(window, "Label2")->background, (ui::Rgb{192, 255, 192}));
  EXPECT_EQ(ui::findControl(window, "Label1")->foreground, (ui::Rgb{255, 0, 0}));
  EXPECT_EQ(ui::findControl(window, "Label3")->foreground, (ui::Rgb{192, 0, 192}));
  EXPECT_EQ(ui::findControl(ui::contactWindowGeometry(), "Image1")->height, 2895);
}

}  // namespace
