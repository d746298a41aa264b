// Form1 on screen with Qt Widgets: every control built from the layout table
// and named after it; every user action forwarded to the model, every model
// change read back. No behaviour of its own.
#pragma once

#include <QMainWindow>
#include <map>
#include <memory>
#include <string>

#include "ui/layout.h"
#include "ui/main_window.h"

class QAction;
class QComboBox;
class QLabel;
class QListWidget;
class QPlainTextEdit;
class QPushButton;
class QRadioButton;

namespace ui::qt {

class ContactDialog;
class HeldInput;

class MainWindowView : public QMainWindow, public FormView {
 public:
  explicit MainWindowView(Form1& model, QWidget* parent = nullptr);
  ~MainWindowView() override;

  // Centres the window on its screen.
  void centre();

  // FormView
  void showMessage(const std::string& text) override;
  bool confirm(const std::string& question) override;
  void showForm3(Form3& form) override;
  void text3Appended(const std::string& line) override;
  void refresh() override;
  void runStarted() override;
  void runEnded() override;
  void runProgress(std::size_t current, std::size_t total) override;
  void showFolder(const std::filesystem::path& folder) override;
  std::optional<std::string> chooseRulesFile() override;
  std::optional<std::string> chooseReportFile() override;

  // The widget of a control of the layout table, by its name.
  QWidget* control(std::string_view name) const;

 protected:
  // A text box that holds its prompt selects it all as it takes the focus.
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void build();
  void buildMenus();
  void setTabOrder();
  QWidget* makeControl(const ControlGeometry& control, QWidget* container);
  void optionClicked(int number);
  void refreshLists();
  void showTextBox(QPlainTextEdit* box, const std::string& text);
  void answerWindowSystem();

  Form1& model_;
  std::map<std::string, QWidget*, std::less<>> controls_;
  QRadioButton* options_[4] = {};
  QPushButton* command1_ = nullptr;
  QPushButton* command2_ = nullptr;
  QAction* preview_ = nullptr;
  QAction* subfolders_ = nullptr;
  QAction* clearRules_ = nullptr;
  QAction* backup_ = nullptr;
  QAction* undo_ = nullptr;
  QPlainTextEdit* text1_ = nullptr;
  QPlainTextEdit* text2_ = nullptr;
  QPlainTextEdit* text3_ = nullptr;
  QLabel* label2_ = nullptr;
  QComboBox* drive1_ = nullptr;
  QListWidget* dir1_ = nullptr;
  QListWidget* file1_ = nullptr;
  ContactDialog* contact_ = nullptr;
  std::unique_ptr<HeldInput> held_;  // during a run
  std::size_t text3Shown_ = 0;       // bytes of the model's Text3 on screen
  bool syncing_ = false;             // the view is writing the model's state into the widgets
  bool running_ = false;             // a batch run is in progress
};

// Qt's text for the model's: CR LF and lone CR become line breaks, escaped
// bytes of file names U+FFFD.
QString displayText(const std::string& text);

// The model's text for a text box: every character as typed or pasted (a
// no-break space stays one), line breaks as CR LF.
std::string modelText(const QPlainTextEdit& box);

// The application's name and icon; the same for the program and its tests.
void configureApplication();

}  // namespace ui::qt
