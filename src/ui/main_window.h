// Form1, the main window, as a model of its controls and shared state with all
// its event handlers. The toolkit views render this model and forward the
// user's actions to it; nothing here depends on a toolkit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "office/automation.h"
#include "office/probes.h"
#include "replace/backup_manifest.h"
#include "replace/journal.h"
#include "replace/rules_file.h"
#include "replace/run_host.h"
#include "replace/same_file.h"

namespace ui {

struct TextBox {
  std::string text;
};

struct Label {
  std::string caption;
};

struct OptionButton {
  std::string caption;
  bool value = false;
  bool enabled = true;
};

struct CommandButton {
  std::string caption;
  bool enabled = false;
};

struct DriveListBox {
  std::vector<std::string> drives;
  std::string drive;
};

struct DirListBox {
  std::string path;
  std::vector<std::string> subfolders;  // names, for the view
};

struct FileListBox {
  std::string path;
  std::string pattern = "*.doc";
  std::vector<std::string> entries;
};

// The status box: the program only ever appends to it.
class StatusBox {
 public:
  const std::string& text() const { return text_; }

 private:
  friend class Form1;
  std::string text_;
};

// The contact window: fixed texts and a picture, no code of its own.
struct Form3 {
  std::string caption = "联系程序员";
  std::string label1 = "添加微信好友（备注：软件咨询）";
};

inline constexpr const char* kAboutText =
    "Ravelsk 文档批量替换工具，由 Ravelsk 开发组编写\r\n"
    "联系方式：点击菜单“微信好友”添加程序员\r\n"
    "建议意见：软件使用请提供宝贵意见，谢谢！";

// What the model asks of the toolkit.
class FormView {
 public:
  virtual ~FormView() = default;
  // A message box with one OK button; returns when the user closes it.
  virtual void showMessage(const std::string& text) = 0;
  // Shows the contact window modally; returns when the user closes it.
  virtual void showForm3(Form3& form) = 0;
  // A line was appended to Text3 (during a run: repaint it now).
  virtual void text3Appended(const std::string& line) = 0;
  // Some control changed; the view reads the model again.
  virtual void refresh() = 0;
  // A batch run begins or ends (the view shows the busy cursor meanwhile).
  virtual void runStarted() {}
  virtual void runEnded() {}
  // The run is at file number current (from 1) of total: the title bar says
  // so until the run ends.
  virtual void runProgress(std::size_t current, std::size_t total) {
    (void)current;
    (void)total;
  }
  // A question with Yes and No, No the default; true for Yes. A view that
  // asks nobody (a driver, a benchmark) runs as asked.
  virtual bool confirm(const std::string& /*question*/) { return true; }
  // Opens the system's file manager on folder; a view without one does
  // nothing.
  virtual void showFolder(const std::filesystem::path& /*folder*/) {}
  // The rules file the user chooses (UTF-8); none when the user cancels.
  virtual std::optional<std::string> chooseRulesFile() { return std::nullopt; }
  // Where the user saves the results (UTF-8); none when the user cancels.
  virtual std::optional<std::string> chooseReportFile() { return std::nullopt; }
};

struct Form1Context {
  const office::ServerRegistry* servers = nullptr;
  const replace::Clock* clock = nullptr;
  std::filesystem::path programFolder;      // the folder that holds the executable
  std::filesystem::path userJournalFolder;  // used when the program folder cannot hold "Journal"
  std::string startFolder;                  // where the lists start: the working folder
  std::string codeset;                      // the journal's code page
  // Keeps the originals of what a run changes in folder under backupFolder
  // (both absolute, UTF-8) from now on, as --backup does; what it returns
  // keeps them where the servers do not (nothing where they do). Called with
  // two empty folders when the run ends. Unset: the window keeps none.
  std::function<std::unique_ptr<replace::OriginalKeeper>(const std::string& folder,
                                                         const std::string& backupFolder)>
      keepOriginalsIn;
};

// The prompt a text box's text still is, as the box shows it: the boxes'
// texts at start, and those an option click puts. None for a text the user
// gave. A box that holds its prompt selects it all when it takes the focus,
// so that what is typed or pasted replaces it.
std::optional<std::string> promptIn(const std::string& text);

class Form1 : private office::ProbeWindow, private replace::RunHost {
 public:
  explicit Form1(Form1Context context, FormView* view = nullptr);
  ~Form1() override;
  Form1(const Form1&) = delete;
  Form1& operator=(const Form1&) = delete;

  void setView(FormView* view) { view_ = view; }

  // ---- controls and shared state ----
  TextBox Text1{"请输入要替换的内容"};
  TextBox Text2{"替换内容\r"};
  StatusBox Text3;
  Label Label2;
  OptionButton Option1{"word.doc"};
  OptionButton Option2{"excel.xls"};
  OptionButton Option3{"wps.doc"};
  OptionButton Option4{"wps.xls"};
  CommandButton Command1{"doc文档替换"};
  CommandButton Command2{"xls表格替换"};
  DriveListBox Drive1;
  DirListBox Dir1;
  FileListBox File1;
  std::string strRZ;

  // The option button by its number, 1 to 4.
  OptionButton& option(int number);

  // ---- event handlers ----
  void Form_Load();
  void Drive1_Change();
  void Dir1_Change();
  void Option1_Click();
  void Option2_Click();
  void Option3_Click();
  void Option4_Click();
  void Command1_Click();
  void Command2_Click();
  void gy_Click();
  void das_Click();
  // 工具 → 预览（不改动文件）: the run of the selected option over the listed
  // files, only counting: a line per file or sheet with its count, nothing
  // changed, nothing written to the journal. Only where that run could run.
  void preview_Click();
  bool previewAvailable() const;
  // 工具 → 打开日志文件夹: the file manager on the journal's folder, made
  // first if no line was written yet.
  void openJournalFolder_Click();
  // 工具 → 包含子文件夹, a check mark: runs and previews also take the
  // matching files of every subfolder, each named by its path relative to
  // the folder (the list shows the folder's own files).
  void includeSubfolders_Click();
  bool includesSubfolders() const { return includeSubfolders_; }
  // 工具 → 规则列表…: a rules file whose pairs runs and previews apply in
  // order instead of Text1's and Text2's, until 清除规则列表. A file that
  // cannot be read is refused with its line in a message; the list before
  // it stays.
  void rulesList_Click();
  void clearRulesList_Click();
  const std::string& rulesFile() const { return rulesFile_; }
  // 工具 → 替换前备份原文件, a check mark, on at start: each run keeps the
  // originals of the files it changes in a folder of its own beside the
  // journal (备份/<date> <time>), with the manifest an undo reads. Only
  // where the context can keep originals.
  void backupOriginals_Click();
  bool backsUpOriginals() const { return backupOriginals_ && backupAvailable(); }
  bool backupAvailable() const { return static_cast<bool>(context_.keepOriginalsIn); }
  // 工具 → 撤销上次替换: after a question naming how many files, puts back
  // the originals of the last run that kept them and was not undone yet
  // (found on disk, so also after a restart). A file changed since is left
  // and named; a line per file in the status box and the journal.
  void undoLastRun_Click();
  // 工具 → 导出结果…: the last run's or preview's results as the command
  // line's CSV report, in a file the user names (never over a file that is
  // not an earlier report).
  void exportResults_Click();

  // Esc (or the close box: closing) during a run: asks whether to stop, and
  // on Yes the run stops after the file it is working on (the office let go
  // as at any run's end); one line says how many files were left. Nothing
  // when no run is going on, a stop is already asked for, or the question is
  // open.
  void stopRun(bool closing = false);
  bool running() const { return running_; }

  // Appends strRZ, time-stamped, to the day's journal; throws
  // replace::JournalError when it cannot.
  void rz();

  // ---- what the user does, as the toolkit turns it into events ----
  // Selects one option button: clears the other three, then runs its handler.
  void clickOption(int number);
  // Picks a drive in the drive list.
  void pickDrive(const std::string& drive);
  // Opens a folder in the folder list (double-click or Enter).
  void openFolder(const std::string& path);

  const std::filesystem::path& journalFolder() const { return journalFolder_; }
  const std::optional<Form3>& contactWindow() const { return form3_; }

 private:
  // The probes, run by Form_Load.
  void CheckOffice();
  void CheckWpsV8();
  void CheckWpsV9();

  void appendStatus(const std::string& line);
  void setFile1Path(const std::string& path);
  void setFile1Pattern(const std::string& pattern);
  // False (and a status line) when the folder cannot be read.
  bool setDir1Path(const std::string& path, bool alwaysRaiseChange);
  void resolveJournalFolder();
  void reportJournalFailure(const replace::JournalError& error);
  void beginRun();
  void run(const std::function<void()>& runs);
  // False when the texts would make a run that nobody means and the user,
  // asked, says No.
  bool runWanted();
  void refreshView();

  // office::ProbeWindow
  std::string statusCaption() const override { return Label2.caption; }
  void setStatusCaption(std::string caption) override { Label2.caption = std::move(caption); }
  void enableSuite(office::Suite suite, bool enabled) override;
  void writeJournal(std::string line) override {
    strRZ = std::move(line);
    rz();
  }

  // replace::RunHost
  // The run's files in order (File1's, and with 包含子文件夹 those below),
  // from the first for each run.
  std::optional<replace::RunFile> nextFile() override;
  replace::RunHost& fromFirstFile() {
    nextFile_ = 0;
    return *this;
  }
  std::string folder() const override { return Dir1.path; }
  std::string findText() const override;
  std::string replaceText() const override;
  std::size_t pairCount() const override { return rules_.empty() ? 1 : rules_.size(); }
  void selectPair(std::size_t pair) override;
  office::Object findTextBox() override;
  office::Object replaceTextBox() override;
  void report(const std::string& text) override;
  void reportResult(const replace::RunResult& result) override;
  void keepOriginal(const std::string& entry) override {
    if (keeper_) keeper_->keep(entry);
  }
  bool keepsOriginals() const override { return keeper_ != nullptr; }
  void saveFailed(const std::string& entry) override {
    if (keeper_) keeper_->saveFailed(entry);
  }
  // The run's backup folder made ready; false (and a status line) when it
  // cannot be, and the run then keeps nothing.
  void beginBackup();
  void endBackup();
  // The line that ends every run and preview: what its lines said, counted.
  std::string summaryLine(bool workbooks) const;
  bool countOnly() const override { return previewing_; }

  Form1Context context_;
  FormView* view_;
  std::filesystem::path journalFolder_;
  std::optional<replace::Journal> journal_;
  replace::SameFiles sameFiles_;       // of the run going on
  std::vector<std::string> runFiles_;  // of the run going on
  std::size_t nextFile_ = 0;           // of runFiles_
  std::size_t filesTaken_ = 0;         // by the run going on
  bool previewing_ = false;            // the run going on only counts
  bool running_ = false;
  bool stopping_ = false;  // the run going on takes no further file
  bool askingToStop_ = false;
  bool includeSubfolders_ = false;
  std::string rulesFile_;                    // "" for none
  std::vector<replace::ReplacePair> rules_;  // of rulesFile_
  std::size_t pair_ = 0;                     // the pair a run works on
  std::string pairFind_, pairReplace_;       // its texts, as text boxes
  // What the lines of the run going on said, for its summary.
  struct Tally {
    std::size_t replaced = 0, notFound = 0, failed = 0;
    std::int64_t found = 0;  // occurrences a preview counted
  } tally_;
  std::vector<replace::RunResult> lastResults_;  // of the last run or preview
  bool backupOriginals_ = true;
  std::unique_ptr<replace::OriginalKeeper> keeper_;  // of the run going on
  std::optional<replace::BackupManifest> manifest_;  // of the run going on
  std::filesystem::path backupFolder_;               // of the run going on
  bool manifestFailed_ = false;
  std::optional<Form3> form3_;
  bool journalFailureShown_ = false;
};

// Form1's context as a user starts the program: the lists start in the
// working folder, the journal falls back to the per-user folder and is
// written in the system's code page.
Form1Context userContext(const office::ServerRegistry& servers, const replace::Clock& clock,
                         std::filesystem::path programFolder);

}  // namespace ui
