#include "ui/qt/main_window_view.h"

#include <QAbstractButton>
#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QComboBox>
#include <QDesktopServices>
#include <QFile>
#include <QFileDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <vector>

#include "text/text_encoding.h"
#include "ui/file_browser.h"
#include "ui/layout.h"
#include "ui/qt/contact_dialog.h"
#include "ui/qt/held_input.h"

namespace ui::qt {

namespace {

int px(int twips) {
  return (twips + kTwipsPerPixel / 2) / kTwipsPerPixel;
}

QString qs(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::string utf8(const QString& text) {
  return text.toUtf8().toStdString();
}

// A name as the model keeps it: the bytes of a name that is not UTF-8 stay
// escaped, so the folder opened is the folder listed.
QByteArray bytes(const std::string& name) {
  return QByteArray(name.data(), static_cast<qsizetype>(name.size()));
}

// The locale's reading of a name, for the screen.
QString shownName(const std::string& name) {
  return qs(text::displayName(name));
}

void colour(QWidget* widget, QPalette::ColorRole role, const Rgb& rgb) {
  QPalette palette = widget->palette();
  palette.setColor(role, QColor(rgb.r, rgb.g, rgb.b));
  widget->setPalette(palette);
  if (role == QPalette::Window) widget->setAutoFillBackground(true);
}

void centreOnScreen(QWidget* widget) {
  if (QScreen* screen = widget->screen()) {
    QRect frame = widget->frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    widget->move(frame.topLeft());
  }
}

}  // namespace

QString displayText(const std::string& text) {
  QString shown = qs(text::displayName(text));
  shown.replace("\r\n", "\n");
  shown.replace('\r', '\n');
  return shown;
}

std::string modelText(const QPlainTextEdit& box) {
  // The raw text keeps what toPlainText() would flatten (a no-break space
  // becomes a plain space there). The separators the box puts between lines
  // (Enter, Shift+Enter) become CR LF, as a Windows text box gives them.
  QString text = box.document()->toRawText();
  QString out;
  out.reserve(text.size());
  for (QChar c : text) {
    if (c == QChar::ParagraphSeparator || c == QChar::LineSeparator)
      out += QStringLiteral("\r\n");
    else
      out += c;
  }
  return utf8(out);
}

void configureApplication() {
  QApplication::setApplicationName("ravelsk");
  // No application display name: Qt would append it to every window's title
  // on screen, and the contact window's caption must read exactly as designed.
  QApplication::setApplicationDisplayName(QString());
  QApplication::setWindowIcon(QIcon(":/ravelsk/ravelsk.png"));
}

MainWindowView::MainWindowView(Form1& model, QWidget* parent) : QMainWindow(parent), model_(model) {
  setObjectName("Form1");
  setWindowTitle(qs(mainWindowGeometry().caption));
  setWindowIcon(QIcon(":/ravelsk/ravelsk.png"));
  build();
  buildMenus();
  setTabOrder();
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  model_.setView(this);
  refresh();
}

MainWindowView::~MainWindowView() {
  model_.setView(nullptr);
}

void MainWindowView::build() {
  const WindowGeometry& window = mainWindowGeometry();
  auto* client = new QWidget(this);
  client->setObjectName("client");
  client->setFixedSize(px(window.clientWidth), px(window.clientHeight));
  setCentralWidget(client);
  // Containers come before their controls in the table.
  for (const ControlGeometry& geometry : window.controls) {
    QWidget* container = geometry.container.empty() ? client : control(geometry.container);
    QWidget* widget = makeControl(geometry, container);
    widget->setObjectName(qs(geometry.name));
    widget->setGeometry(px(geometry.left), px(geometry.top), px(geometry.width),
                        px(geometry.height));
    if (geometry.foreground) colour(widget, QPalette::WindowText, *geometry.foreground);
    if (geometry.background) colour(widget, QPalette::Window, *geometry.background);
    controls_.emplace(std::string(geometry.name), widget);
  }
}

QWidget* MainWindowView::makeControl(const ControlGeometry& control, QWidget* container) {
  const QString caption = qs(control.caption);
  switch (control.kind) {
    case ControlKind::Frame:
      return new QGroupBox(caption, container);
    case ControlKind::Label: {
      auto* label = new QLabel(caption, container);
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      label->setWordWrap(true);
      if (control.name == "Label2") label2_ = label;
      return label;
    }
    case ControlKind::OptionButton: {
      auto* option = new QRadioButton(caption, container);
      // The model keeps the group exclusive, and may clear every button.
      option->setAutoExclusive(false);
      const int number = control.name.back() - '0';
      options_[number - 1] = option;
      connect(option, &QRadioButton::clicked, this, [this, number] { optionClicked(number); });
      return option;
    }
    case ControlKind::CommandButton: {
      auto* button = new QPushButton(caption, container);
      if (control.name == "Command1") {
        command1_ = button;
        connect(button, &QPushButton::clicked, this, [this] {
          model_.Command1_Click();
          refresh();
        });
      } else {
        command2_ = button;
        connect(button, &QPushButton::clicked, this, [this] {
          model_.Command2_Click();
          refresh();
        });
      }
      return button;
    }
    case ControlKind::TextBox: {
      auto* box = new QPlainTextEdit(container);
      // Tab and Shift+Tab move along the tab order, as in every text box of
      // the window; a tab in the find text would match nothing.
      box->setTabChangesFocus(true);
      if (control.name == "Text3") {
        text3_ = box;
        box->setReadOnly(true);
        box->setLineWrapMode(QPlainTextEdit::NoWrap);
        box->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
        box->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      } else {
        TextBox& text = control.name == "Text1" ? model_.Text1 : model_.Text2;
        (control.name == "Text1" ? text1_ : text2_) = box;
        box->installEventFilter(this);
        connect(box, &QPlainTextEdit::textChanged, this, [this, box, &text] {
          if (!syncing_) text.text = modelText(*box);
        });
      }
      return box;
    }
    case ControlKind::DriveList:
      drive1_ = new QComboBox(container);
      connect(drive1_, &QComboBox::activated, this, [this](int index) {
        if (syncing_ || index < 0) return;
        model_.pickDrive(drive1_->itemData(index).toByteArray().toStdString());
      });
      return drive1_;
    case ControlKind::FolderList:
      dir1_ = new QListWidget(container);
      // Double-click or Enter opens a folder.
      connect(dir1_, &QListWidget::itemActivated, this, [this](QListWidgetItem* item) {
        model_.openFolder(item->data(Qt::UserRole).toByteArray().toStdString());
      });
      return dir1_;
    case ControlKind::FileList:
      file1_ = new QListWidget(container);
      return file1_;
    case ControlKind::Image:
      return new QLabel(container);
  }
  return new QWidget(container);
}

bool MainWindowView::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::FocusIn && (watched == text1_ || watched == text2_)) {
    auto* box = static_cast<QPlainTextEdit*>(watched);
    // After the event that gave the focus: a click places the cursor first.
    const TextBox& text = box == text1_ ? model_.Text1 : model_.Text2;
    if (promptIn(text.text)) QTimer::singleShot(0, box, [box] { box->selectAll(); });
  }
  return QMainWindow::eventFilter(watched, event);
}

QWidget* MainWindowView::control(std::string_view name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

void MainWindowView::buildMenus() {
  QAction* about = menuBar()->addAction(QStringLiteral("关于"));
  about->setObjectName("gy");
  connect(about, &QAction::triggered, this, [this] { model_.gy_Click(); });
  QAction* contact = menuBar()->addAction(QStringLiteral("微信好友"));
  contact->setObjectName("das");
  connect(contact, &QAction::triggered, this, [this] { model_.das_Click(); });
  QMenu* tools = menuBar()->addMenu(QStringLiteral("工具"));
  tools->setObjectName("tools");
  preview_ = tools->addAction(QStringLiteral("预览（不改动文件）"));
  preview_->setObjectName("preview");
  connect(preview_, &QAction::triggered, this, [this] {
    model_.preview_Click();
    refresh();
  });
  subfolders_ = tools->addAction(QStringLiteral("包含子文件夹"));
  subfolders_->setObjectName("includeSubfolders");
  subfolders_->setCheckable(true);
  connect(subfolders_, &QAction::triggered, this, [this] {
    model_.includeSubfolders_Click();
    refresh();
  });
  backup_ = tools->addAction(QStringLiteral("替换前备份原文件"));
  backup_->setObjectName("backupOriginals");
  backup_->setCheckable(true);
  connect(backup_, &QAction::triggered, this, [this] {
    model_.backupOriginals_Click();
    refresh();
  });
  undo_ = tools->addAction(QStringLiteral("撤销上次替换"));
  undo_->setObjectName("undoLastRun");
  connect(undo_, &QAction::triggered, this, [this] { model_.undoLastRun_Click(); });
  QAction* rules = tools->addAction(QStringLiteral("规则列表…"));
  rules->setObjectName("rulesList");
  connect(rules, &QAction::triggered, this, [this] { model_.rulesList_Click(); });
  clearRules_ = tools->addAction(QStringLiteral("清除规则列表"));
  clearRules_->setObjectName("clearRulesList");
  connect(clearRules_, &QAction::triggered, this, [this] { model_.clearRulesList_Click(); });
  QAction* journal = tools->addAction(QStringLiteral("打开日志文件夹"));
  journal->setObjectName("openJournalFolder");
  connect(journal, &QAction::triggered, this, [this] { model_.openJournalFolder_Click(); });
  QAction* exportResults = tools->addAction(QStringLiteral("导出结果…"));
  exportResults->setObjectName("exportResults");
  connect(exportResults, &QAction::triggered, this, [this] { model_.exportResults_Click(); });
}

std::optional<std::string> MainWindowView::chooseRulesFile() {
  const QString chosen = QFileDialog::getOpenFileName(
      this, QStringLiteral("规则列表"), QString(),
      QStringLiteral("规则文件 (*.txt *.csv *.tsv *.xls *.xlsx);;所有文件 (*)"));
  if (chosen.isEmpty()) return std::nullopt;
  return text::utf8FromPath(std::filesystem::path(QFile::encodeName(chosen).toStdString()));
}

std::optional<std::string> MainWindowView::chooseReportFile() {
  const QString chosen =
      QFileDialog::getSaveFileName(this, QStringLiteral("导出结果"), QStringLiteral("结果.csv"),
                                   QStringLiteral("CSV 文件 (*.csv)"));
  if (chosen.isEmpty()) return std::nullopt;
  return text::utf8FromPath(std::filesystem::path(QFile::encodeName(chosen).toStdString()));
}

void MainWindowView::showFolder(const std::filesystem::path& folder) {
  QDesktopServices::openUrl(QUrl::fromLocalFile(QFile::decodeName(folder.c_str())));
}

void MainWindowView::setTabOrder() {
  std::vector<const ControlGeometry*> focusable;
  for (const ControlGeometry& geometry : mainWindowGeometry().controls) {
    QWidget* widget = control(geometry.name);
    if (geometry.kind == ControlKind::Frame || geometry.kind == ControlKind::Label) {
      widget->setFocusPolicy(Qt::NoFocus);
    } else {
      focusable.push_back(&geometry);
    }
  }
  std::sort(focusable.begin(), focusable.end(),
            [](const auto* a, const auto* b) { return a->tabIndex < b->tabIndex; });
  for (std::size_t i = 1; i < focusable.size(); ++i) {
    QWidget::setTabOrder(control(focusable[i - 1]->name), control(focusable[i]->name));
  }
}

void MainWindowView::centre() {
  centreOnScreen(this);
}

void MainWindowView::optionClicked(int number) {
  if (syncing_) return;
  if (model_.option(number).value) {
    // Clicking the selected button changes nothing.
    options_[number - 1]->setChecked(true);
    return;
  }
  model_.clickOption(number);
}

void MainWindowView::showTextBox(QPlainTextEdit* box, const std::string& text) {
  if (modelText(*box) != text && box->toPlainText() != displayText(text)) {
    box->setPlainText(displayText(text));
  }
}

void MainWindowView::refresh() {
  syncing_ = true;
  for (int n = 1; n <= 4; ++n) {
    const OptionButton& option = model_.option(n);
    options_[n - 1]->setChecked(option.value);
    options_[n - 1]->setEnabled(option.enabled);
    options_[n - 1]->setText(qs(option.caption));
  }
  command1_->setText(qs(model_.Command1.caption));
  command1_->setEnabled(model_.Command1.enabled);
  command2_->setText(qs(model_.Command2.caption));
  command2_->setEnabled(model_.Command2.enabled);
  preview_->setEnabled(model_.previewAvailable());
  subfolders_->setChecked(model_.includesSubfolders());
  clearRules_->setEnabled(!model_.rulesFile().empty());
  backup_->setChecked(model_.backsUpOriginals());
  backup_->setEnabled(model_.backupAvailable());
  undo_->setEnabled(model_.backupAvailable());
  showTextBox(text1_, model_.Text1.text);
  showTextBox(text2_, model_.Text2.text);
  label2_->setText(displayText(model_.Label2.caption));
  const std::string& status = model_.Text3.text();
  if (status.size() > text3Shown_) text3Appended(status.substr(text3Shown_));
  refreshLists();
  syncing_ = false;
}

void MainWindowView::refreshLists() {
  drive1_->clear();
  for (const std::string& drive : model_.Drive1.drives) {
    drive1_->addItem(shownName(drive), bytes(drive));
  }
  drive1_->setCurrentIndex(drive1_->findData(bytes(model_.Drive1.drive)));

  // The folder list shows the way down to the open folder, then its subfolders.
  dir1_->clear();
  int openRow = -1;
  for (const FolderRow& row : folderRows(model_.Dir1.path, model_.Dir1.subfolders)) {
    auto* item = new QListWidgetItem(QString(row.depth * 2, ' ') + shownName(row.name), dir1_);
    item->setData(Qt::UserRole, bytes(row.path));
    item->setIcon(
        style()->standardIcon(row.onTheWay ? QStyle::SP_DirOpenIcon : QStyle::SP_DirClosedIcon));
    if (row.onTheWay) ++openRow;
  }
  dir1_->setCurrentRow(openRow);

  file1_->clear();
  for (const std::string& entry : model_.File1.entries) file1_->addItem(shownName(entry));
}

void MainWindowView::text3Appended(const std::string& line) {
  text3Shown_ += line.size();
  QTextCursor cursor(text3_->document());
  cursor.movePosition(QTextCursor::End);
  cursor.insertText(displayText(line));
  text3_->verticalScrollBar()->setValue(text3_->verticalScrollBar()->maximum());
  if (running_) {
    answerWindowSystem();
  } else {
    text3_->viewport()->repaint();
  }
}

void MainWindowView::answerWindowSystem() {
  // Between documents of a run: paint, answer the window manager's pings and
  // run timers; the user's input (keys, clicks, close requests) is held, in
  // order, until the run ends, but Esc or the close box can ask it to stop.
  // Without a window of its own on screen the input waits in the toolkit's
  // queue instead.
  QCoreApplication::processEvents(held_ ? QEventLoop::AllEvents
                                        : QEventLoop::ExcludeUserInputEvents);
}

void MainWindowView::showMessage(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, qs(mainWindowGeometry().caption), displayText(text),
                  QMessageBox::Ok, this);
  box.setObjectName("aboutBox");
  box.exec();
}

bool MainWindowView::confirm(const std::string& question) {
  QMessageBox box(QMessageBox::Question, qs(mainWindowGeometry().caption), displayText(question),
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  box.setObjectName("confirmBox");
  return box.exec() == QMessageBox::Yes;
}

void MainWindowView::showForm3(Form3& form) {
  if (contact_ == nullptr) {
    contact_ = new ContactDialog(form, this);
    contact_->adjustSize();
    centreOnScreen(contact_);
  }
  contact_->exec();
}

void MainWindowView::runStarted() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  running_ = true;
  if (QWindow* window = windowHandle()) {
    held_ = std::make_unique<HeldInput>(window, [this](bool closing) { model_.stopRun(closing); });
  }
  answerWindowSystem();
}

void MainWindowView::runProgress(std::size_t current, std::size_t total) {
  setWindowTitle(qs(mainWindowGeometry().caption) +
                 QStringLiteral(" — %1/%2").arg(current).arg(total));
}

void MainWindowView::runEnded() {
  running_ = false;
  setWindowTitle(qs(mainWindowGeometry().caption));
  if (held_) {
    held_->release();
    held_.reset();
  }
  QApplication::restoreOverrideCursor();
  // Input held during the run is handled by the event loop once the handler
  // that ran it returns; wake the loop so it does not wait for new input.
  if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance()) {
    dispatcher->wakeUp();
  }
}

}  // namespace ui::qt
