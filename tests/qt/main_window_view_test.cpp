// The Qt window over the model, in a real (offscreen) window.
#include <QAbstractButton>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QGroupBox>
#include <QInputMethodEvent>
#include <QLabel>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>
#include <functional>

#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "text/text_encoding.h"
#include "ui/qt/contact_dialog.h"
#include "ui/qt/main_window_view.h"

namespace {

using testsupport::FakeAppSettings;
using testsupport::WindowRig;

template <typename T = QWidget>
T* widget(ui::qt::MainWindowView& view, std::string_view name) {
  auto* found = qobject_cast<T*>(view.control(name));
  EXPECT_NE(found, nullptr) << name;
  return found;
}

// Runs action, which opens a modal window; inspect sees that window, then it is closed.
void withModal(const std::function<void()>& action, const std::function<void(QWidget*)>& inspect) {
  bool seen = false;
  QTimer::singleShot(0, [&] {
    QWidget* modal = QApplication::activeModalWidget();
    ASSERT_NE(modal, nullptr);
    seen = true;
    inspect(modal);
    if (auto* dialog = qobject_cast<QDialog*>(modal)) dialog->reject();
  });
  action();
  EXPECT_TRUE(seen) << "no modal window was shown";
}

// Types text as a keyboard delivers it, one key press per character (QTest's
// key clicks take ASCII only).
void type(QWidget* target, const QString& text) {
  for (QChar c : text) {
    QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
    QApplication::sendEvent(target, &release);
  }
}

class QtWindow : public ::testing::Test {
 protected:
  WindowRig rig;
  std::unique_ptr<ui::qt::MainWindowView> view;

  ui::qt::MainWindowView& open() {
    rig.work.write("start.doc");
    rig.work.write("docs/a.doc", "x");
    rig.work.write("docs/b.xls", "x");
    rig.office.serve(rig.servers, "excel.Application",
                     FakeAppSettings{.defaultValue = "Microsoft Excel", .version = "14.0"});
    rig.office.serve(rig.servers, "word.Application");
    ui::Form1& form = rig.build();
    view = std::make_unique<ui::qt::MainWindowView>(form);
    form.Form_Load();
    view->show();
    view->centre();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(view.get()));
    return *view;
  }
  ~QtWindow() override { view.reset(); }
};

TEST_F(QtWindow, ShowsTheStartUpReportAndTheEnabledStates) {
  auto& window = open();
  EXPECT_EQ(window.windowTitle(), "Ravelsk");
  EXPECT_EQ(widget<QLabel>(window, "Label2")->text(),
            "1、本机系统提示: 已安装offcce 2007或以上版本 版本号：14.0\n"
            "2、未安装WPS-V8或以下版本\n3、未安装WPS-V9或以上版本");
  EXPECT_TRUE(widget(window, "Option1")->isEnabled());
  EXPECT_TRUE(widget(window, "Option2")->isEnabled());
  EXPECT_FALSE(widget(window, "Option3")->isEnabled());
  EXPECT_FALSE(widget(window, "Option4")->isEnabled());
  EXPECT_FALSE(widget(window, "Command1")->isEnabled());
  EXPECT_FALSE(widget(window, "Command2")->isEnabled());
  for (const char* name : {"Option1", "Option2", "Option3", "Option4"}) {
    EXPECT_FALSE(widget<QRadioButton>(window, name)->isChecked()) << name;
  }
  EXPECT_EQ(widget<QPlainTextEdit>(window, "Text1")->toPlainText(), "请输入要替换的内容");
  EXPECT_EQ(widget<QPlainTextEdit>(window, "Text2")->toPlainText(), "替换内容\n");
  EXPECT_EQ(widget<QListWidget>(window, "File1")->count(), 1);
}

TEST_F(QtWindow, EveryControlStandsWhereTheTableSaysInAFixedWindow) {
  auto& window = open();
  const ui::WindowGeometry& table = ui::mainWindowGeometry();
  EXPECT_EQ(window.centralWidget()->size(), QSize(631, 495));
  EXPECT_EQ(window.minimumSize(), window.maximumSize());
  for (const ui::ControlGeometry& c : table.controls) {
    QWidget* w = widget(window, c.name);
    ASSERT_NE(w, nullptr);
    // 15 twips to the pixel, to the nearest pixel.
    auto px = [](int twips) { return (twips + 7) / 15; };
    EXPECT_EQ(w->geometry(), QRect(px(c.left), px(c.top), px(c.width), px(c.height))) << c.name;
    const QString container =
        c.container.empty() ? "client" : QString::fromUtf8(c.container.data(), c.container.size());
    EXPECT_EQ(w->parentWidget()->objectName(), container) << c.name;
  }
  EXPECT_EQ(widget<QGroupBox>(window, "Frame5")->title(), "替换情况");
  EXPECT_EQ(widget<QGroupBox>(window, "Frame3")->title(), "");
  EXPECT_EQ(widget(window, "Label1")->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(widget(window, "Label3")->palette().color(QPalette::WindowText), QColor(192, 0, 192));
  EXPECT_EQ(widget(window, "Label2")->palette().color(QPalette::Window), QColor(192, 255, 192));
  EXPECT_TRUE(widget(window, "Label2")->autoFillBackground());
}

TEST_F(QtWindow, TabOrderFollowsTheTable) {
  auto& window = open();
  std::vector<std::string> order;
  QWidget* w = widget(window, "Option1");
  for (int i = 0; i < 12; ++i) {
    order.push_back(w->objectName().toStdString());
    do {
      w = w->nextInFocusChain();
    } while (w->focusPolicy() == Qt::NoFocus || w->objectName().isEmpty() ||
             window.control(w->objectName().toStdString()) != w);
  }
  EXPECT_EQ(order, (std::vector<std::string>{"Option1", "Option2", "Text2", "Text1", "Dir1",
                                             "Drive1", "File1", "Command1", "Text3", "Option3",
                                             "Option4", "Command2"}));
}

TEST_F(QtWindow, OptionClicksAndAFolderOpenedByDoubleClickReachTheModel) {
  auto& window = open();
  QTest::mouseClick(widget(window, "Option2"), Qt::LeftButton);
  EXPECT_TRUE(rig.form->Option2.value);
  EXPECT_EQ(widget<QPushButton>(window, "Command2")->text(), "表格内容替换");
  EXPECT_EQ(widget<QPlainTextEdit>(window, "Text1")->toPlainText(), "请输入要替换原内容");
  QTest::mouseClick(widget(window, "Option1"), Qt::LeftButton);
  EXPECT_FALSE(widget<QRadioButton>(window, "Option2")->isChecked());
  EXPECT_TRUE(widget<QRadioButton>(window, "Option1")->isChecked());

  auto* dirs = widget<QListWidget>(window, "Dir1");
  QCoreApplication::processEvents();  // lets the list lay its items out
  QListWidgetItem* docs = dirs->findItems("docs", Qt::MatchEndsWith).value(0);
  ASSERT_NE(docs, nullptr);
  const QPoint at = dirs->visualItemRect(docs).center();
  // A real double-click: the first press and release, then the second click.
  QTest::mouseClick(dirs->viewport(), Qt::LeftButton, {}, at);
  QTest::mouseDClick(dirs->viewport(), Qt::LeftButton, {}, at);
  EXPECT_EQ(rig.form->Dir1.path, (rig.work.path() / "docs").string());
  EXPECT_TRUE(widget(window, "Command1")->isEnabled());
  EXPECT_TRUE(widget(window, "Command2")->isEnabled());
  auto* files = widget<QListWidget>(window, "File1");
  ASSERT_EQ(files->count(), 1);
  EXPECT_EQ(files->item(0)->text(), "a.doc");
}

// A folder and a file named in GBK on a UTF-8 system: shown as the locale reads
// them, and the folder opened from the list is the one on disk.
TEST_F(QtWindow, NamesThatAreNotUtf8AreShownAsReadAndOpenTheFolderListed) {
  auto& window = open();
  rig.work.write("\xB1\xA8\xB8\xE6/\xC4\xEA.doc", "x");
  rig.form->openFolder(rig.work.str());
  auto* dirs = widget<QListWidget>(window, "Dir1");
  const QString unreadable(4, QChar::ReplacementCharacter);
  QListWidgetItem* gbk = dirs->findItems(unreadable, Qt::MatchEndsWith).value(0);
  ASSERT_NE(gbk, nullptr);
  emit dirs->itemActivated(gbk);
  EXPECT_EQ(text::pathFromUtf8(rig.form->Dir1.path), rig.work.path() / "\xB1\xA8\xB8\xE6");
  auto* files = widget<QListWidget>(window, "File1");
  ASSERT_EQ(files->count(), 1);
  EXPECT_EQ(files->item(0)->text(), QString(2, QChar::ReplacementCharacter) + ".doc");
  EXPECT_EQ(rig.form->File1.entries.size(), 1u);
}

TEST_F(QtWindow, TypedTextReachesTheModelAndARunShowsItsLines) {
  auto& window = open();
  QTest::mouseClick(widget(window, "Option1"), Qt::LeftButton);
  rig.form->openFolder((rig.work.path() / "docs").string());
  rig.office.documents[(rig.work.path() / "docs" / "a.doc").string()] = "old text";
  auto* text1 = widget<QPlainTextEdit>(window, "Text1");
  text1->clear();
  QTest::keyClicks(text1, "old");
  auto* text2 = widget<QPlainTextEdit>(window, "Text2");
  text2->clear();
  QTest::keyClicks(text2, "new");
  EXPECT_EQ(rig.form->Text1.text, "old");
  rig.work.write("docs/c.doc", "x");
  rig.office.documents[(rig.work.path() / "docs" / "c.doc").string()] = "nothing";
  rig.form->openFolder((rig.work.path() / "docs").string());
  // While the run goes on: the busy cursor, and the lines so far on screen.
  // What an input method commits to the find box meanwhile waits for the
  // run's end: every document is searched for what the box held at the click.
  std::vector<QString> shownAtOpen;
  std::vector<std::string> findAtOpen;
  bool busy = true;
  text1->setFocus();
  rig.office.onCall = [&](const std::string& call) {
    if (call.find("Documents.Open") == std::string::npos) return;
    busy = busy && QApplication::overrideCursor() != nullptr &&
           QApplication::overrideCursor()->shape() == Qt::WaitCursor;
    shownAtOpen.push_back(widget<QPlainTextEdit>(window, "Text3")->toPlainText());
    findAtOpen.push_back(rig.form->Text1.text + "|" + text1->toPlainText().toStdString());
    QInputMethodEvent commit;
    commit.setCommitString(QStringLiteral("字"));
    QApplication::sendEvent(text1, &commit);
  };
  QTest::mouseClick(widget(window, "Command1"), Qt::LeftButton);
  rig.office.onCall = nullptr;
  EXPECT_TRUE(busy);
  EXPECT_EQ(findAtOpen, (std::vector<std::string>{"old|old", "old|old"}));
  EXPECT_TRUE(QTest::qWaitFor([&] { return rig.form->Text1.text == "old字字"; }))
      << rig.form->Text1.text;
  EXPECT_EQ(shownAtOpen, (std::vector<QString>{"", "a.doc 已替换内容\n"}));
  EXPECT_EQ(QApplication::overrideCursor(), nullptr);
  EXPECT_EQ(rig.office.documents[(rig.work.path() / "docs" / "a.doc").string()], "new text");
  EXPECT_EQ(widget<QPlainTextEdit>(window, "Text3")->toPlainText(),
            "a.doc 已替换内容\nc.doc 没找到替换的内容\n"
            "替换完毕：已替换 1 个文件，没找到 1 个，失败 0 个\n");
  EXPECT_EQ(rig.view.runsStarted, 0);  // the Qt view took the model's view over
}

TEST_F(QtWindow, TabAndShiftTabInTheTextBoxesMoveTheFocusAndLeaveTheText) {
  auto& window = open();
  struct Case {
    const char* box;
    Qt::KeyboardModifiers modifiers;
    const char* next;  // by the tab order: Option2, Text2, Text1, Dir1
  };
  for (const Case& c :
       {Case{"Text1", Qt::NoModifier, "Dir1"}, Case{"Text1", Qt::ShiftModifier, "Text2"},
        Case{"Text2", Qt::NoModifier, "Text1"}, Case{"Text2", Qt::ShiftModifier, "Option2"}}) {
    SCOPED_TRACE(std::string(c.box) + (c.modifiers ? " Shift+Tab" : " Tab"));
    rig.form->Text1.text = "找";
    rig.form->Text2.text = "换";
    window.refresh();
    auto* box = widget<QPlainTextEdit>(window, c.box);
    window.activateWindow();
    box->setFocus();
    ASSERT_TRUE(QTest::qWaitFor([&] { return box->hasFocus(); }));
    QTest::keyClick(box, c.modifiers ? Qt::Key_Backtab : Qt::Key_Tab, c.modifiers);
    EXPECT_EQ(QApplication::focusWidget(), widget(window, c.next));
    EXPECT_EQ(rig.form->Text1.text, "找");
    EXPECT_EQ(rig.form->Text2.text, "换");
    EXPECT_EQ(box->toPlainText(), c.box == std::string("Text1") ? "找" : "换");
  }
}

// What the box holds reaches the server's find call: a no-break space stays
// one, typed or pasted; only line breaks become CR LF.
TEST_F(QtWindow, TheFindTextReachesTheServerAsTypedOrPasted) {
  auto& window = open();
  QTest::mouseClick(widget(window, "Option1"), Qt::LeftButton);
  rig.form->openFolder((rig.work.path() / "docs").string());
  rig.office.documents[(rig.work.path() / "docs" / "a.doc").string()] = "x";
  widget<QPlainTextEdit>(window, "Text2")->setPlainText("新");
  auto* text1 = widget<QPlainTextEdit>(window, "Text1");
  struct Case {
    const char* what;
    std::function<void()> enter;
    std::string find;
  };
  const std::vector<Case> cases = {
      {"typed no-break space", [&] { type(text1, QString::fromUtf8("旧\u00A0字")); }, "旧\u00A0字"},
      {"pasted no-break space",
       [&] {
         QApplication::clipboard()->setText(QString::fromUtf8("a\u00A0\u00A0b"));
         text1->paste();
       },
       "a\u00A0\u00A0b"},
      {"new line",
       [&] {
         QTest::keyClicks(text1, "a");
         QTest::keyClick(text1, Qt::Key_Return);
         QTest::keyClicks(text1, "b");
       },
       "a\r\nb"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    text1->clear();
    text1->setFocus();
    c.enter();
    EXPECT_EQ(rig.form->Text1.text, c.find);
    rig.office.calls.clear();
    QTest::mouseClick(widget(window, "Command1"), Qt::LeftButton);
    const std::vector<std::string> finds = rig.office.callsContaining("Find.Execute(\"");
    ASSERT_FALSE(finds.empty());
    EXPECT_EQ(finds.front(), "Find.Execute(\"" + c.find + "\")");
  }
}

// An empty find text asks first, No the default: Enter runs nothing, Yes
// runs.
TEST_F(QtWindow, AnEmptyFindTextAsksFirstWithNoTheDefault) {
  auto& window = open();
  QTest::mouseClick(widget(window, "Option1"), Qt::LeftButton);
  rig.form->openFolder((rig.work.path() / "docs").string());
  widget<QPlainTextEdit>(window, "Text1")->clear();
  widget<QPlainTextEdit>(window, "Text2")->setPlainText("新");
  for (const bool yes : {false, true}) {
    rig.office.calls.clear();
    bool asked = false;
    QTimer::singleShot(0, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      ASSERT_NE(box, nullptr);
      asked = true;
      EXPECT_EQ(box->buttons().size(), 2);
      EXPECT_EQ(box->defaultButton(), box->button(QMessageBox::No));
      EXPECT_TRUE(box->text().startsWith("要替换的内容是空的")) << box->text().toStdString();
      if (yes) {
        box->button(QMessageBox::Yes)->click();
      } else {
        QTest::keyClick(box, Qt::Key_Return);
      }
    });
    QTest::mouseClick(widget(window, "Command1"), Qt::LeftButton);
    EXPECT_TRUE(asked);
    EXPECT_EQ(rig.office.calls.empty(), !yes) << yes;
  }
}

TEST_F(QtWindow, TheStatusBoxIsReadOnlyWithBothScrollBars) {
  auto& window = open();
  auto* text3 = widget<QPlainTextEdit>(window, "Text3");
  EXPECT_TRUE(text3->isReadOnly());
  EXPECT_EQ(text3->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(text3->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(text3->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  text3->setFocus();
  QTest::keyClicks(text3, "typed");
  EXPECT_EQ(text3->toPlainText(), "");
  EXPECT_EQ(testsupport::statusLines(rig.form->Text3.text()), "");
}

TEST_F(QtWindow, MenusShowTheAboutBoxAndTheContactWindowModally) {
  auto& window = open();
  QList<QAction*> menus = window.menuBar()->actions();
  ASSERT_EQ(menus.size(), 3);
  EXPECT_EQ(menus[0]->text(), "关于");
  EXPECT_EQ(menus[1]->text(), "微信好友");
  EXPECT_EQ(menus[2]->text(), "工具");
  ASSERT_NE(menus[2]->menu(), nullptr);
  ASSERT_EQ(menus[2]->menu()->actions().size(), 8);
  QAction* preview = menus[2]->menu()->actions()[0];
  EXPECT_EQ(preview->text(), "预览（不改动文件）");
  QAction* subfolders = menus[2]->menu()->actions()[1];
  EXPECT_EQ(subfolders->text(), "包含子文件夹");
  EXPECT_TRUE(subfolders->isCheckable());
  EXPECT_FALSE(subfolders->isChecked());
  subfolders->trigger();
  EXPECT_TRUE(rig.form->includesSubfolders());
  EXPECT_TRUE(subfolders->isChecked());
  subfolders->trigger();
  EXPECT_FALSE(rig.form->includesSubfolders());
  QAction* backup = menus[2]->menu()->actions()[2];
  EXPECT_EQ(backup->text(), "替换前备份原文件");
  EXPECT_TRUE(backup->isCheckable());
  EXPECT_EQ(menus[2]->menu()->actions()[3]->text(), "撤销上次替换");
  EXPECT_EQ(menus[2]->menu()->actions()[4]->text(), "规则列表…");
  QAction* clearRules = menus[2]->menu()->actions()[5];
  EXPECT_EQ(clearRules->text(), "清除规则列表");
  EXPECT_FALSE(clearRules->isEnabled());  // until a list is chosen
  const std::filesystem::path rules = rig.work.write("rules.csv", "\"旧,甲\",新\r\n");
  QTimer::singleShot(0, [&] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    ASSERT_NE(dialog, nullptr);
    dialog->selectFile(QString::fromStdString(rules.string()));
    static_cast<QDialog*>(dialog)->accept();  // QFileDialog::accept, as OK calls it
  });
  menus[2]->menu()->actions()[4]->trigger();
  EXPECT_EQ(rig.form->rulesFile(), rules.string());
  EXPECT_TRUE(clearRules->isEnabled());
  clearRules->trigger();
  EXPECT_EQ(rig.form->rulesFile(), "");
  EXPECT_FALSE(clearRules->isEnabled());
  EXPECT_EQ(menus[2]->menu()->actions()[6]->text(), "打开日志文件夹");
  EXPECT_EQ(menus[2]->menu()->actions()[7]->text(), "导出结果…");
  // Only where the selected option's run could run, and then it counts.
  EXPECT_FALSE(preview->isEnabled());
  QTest::mouseClick(widget(window, "Option1"), Qt::LeftButton);
  rig.form->openFolder((rig.work.path() / "docs").string());
  rig.office.documents[(rig.work.path() / "docs" / "a.doc").string()] = "旧旧";
  rig.form->Text1.text = "旧";
  window.refresh();
  ASSERT_TRUE(preview->isEnabled());
  preview->trigger();
  EXPECT_TRUE(testsupport::statusLines(rig.form->Text3.text())
                  .ends_with("a.doc 试运行：找到 2 处，未作改动\r\n"))
      << testsupport::statusLines(rig.form->Text3.text());
  EXPECT_EQ(rig.office.documents[(rig.work.path() / "docs" / "a.doc").string()], "旧旧");

  withModal([&] { menus[0]->trigger(); },
            [](QWidget* modal) {
              auto* box = qobject_cast<QMessageBox*>(modal);
              ASSERT_NE(box, nullptr);
              EXPECT_EQ(box->windowTitle(), "Ravelsk");
              EXPECT_EQ(box->buttons().size(), 1);
              EXPECT_TRUE(box->text().endsWith("\n建议意见：软件使用请提供宝贵意见，谢谢！"));
              EXPECT_EQ(box->text().count('\n'), 2);
            });

  QWidget* first = nullptr;
  withModal([&] { menus[1]->trigger(); },
            [&](QWidget* modal) {
              first = modal;
              EXPECT_EQ(modal->windowTitle(), "联系程序员");
              EXPECT_TRUE(modal->isModal());
              auto* label = modal->findChild<QLabel*>("Label1");
              ASSERT_NE(label, nullptr);
              EXPECT_EQ(label->text(), "添加微信好友（备注：软件咨询）");
              auto* image = modal->findChild<QLabel*>("Image1");
              ASSERT_NE(image, nullptr);
              EXPECT_EQ(image->pixmap().size(), QSize(209, 193));
              EXPECT_EQ(modal->size(), QSize(210, 233));
            });
  withModal([&] { menus[1]->trigger(); }, [&](QWidget* modal) { EXPECT_EQ(modal, first); });
}

// Writes a picture of the window after a short run, for the README.
TEST_F(QtWindow, Screenshot) {
  const char* path = std::getenv("RAVELSK_SCREENSHOT");
  if (path == nullptr) GTEST_SKIP() << "set RAVELSK_SCREENSHOT to a file to write one";
  rig.keepOriginalsIn = testsupport::copyingKeeper();  // as the program has it
  auto& window = open();
  const std::filesystem::path folder = rig.work.mkdir("季度报告");
  for (auto [name, text] :
       {std::pair{"一月.doc", "旧公司名称"}, {"二月.doc", "无"}, {"三月.doc", "旧公司名称"}}) {
    rig.work.write(std::string("季度报告/") + name);
    rig.office.documents[(folder / name).string()] = text;
  }
  QTest::mouseClick(widget(window, "Option1"), Qt::LeftButton);
  rig.form->openFolder(folder.string());
  rig.form->Text1.text = "旧公司名称";
  rig.form->Text2.text = "新公司名称";
  window.refresh();
  QTest::mouseClick(widget(window, "Command1"), Qt::LeftButton);
  ASSERT_TRUE(window.grab().save(path));

  // And with 工具 open, where RAVELSK_MENU_SCREENSHOT names a file.
  const char* menuPath = std::getenv("RAVELSK_MENU_SCREENSHOT");
  if (menuPath == nullptr) return;
  QAction* toolsEntry = window.menuBar()->actions()[2];
  QMenu* tools = toolsEntry->menu();
  tools->popup(
      window.menuBar()->mapToGlobal(window.menuBar()->actionGeometry(toolsEntry).bottomLeft()));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(tools));
  QPixmap shot = window.grab();
  QPainter painter(&shot);
  painter.drawPixmap(window.mapFromGlobal(tools->pos()), tools->grab());
  painter.end();
  tools->close();
  ASSERT_TRUE(shot.save(menuPath));
}

}  // namespace

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM",
          qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  QApplication app(argc, argv);
  ui::qt::configureApplication();
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
