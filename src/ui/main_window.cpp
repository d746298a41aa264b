#include "ui/main_window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <system_error>

#include "files/folder_listing.h"
#include "replace/document_run.h"
#include "replace/journal_folder.h"
#include "replace/report.h"
#include "replace/undo.h"
#include "replace/workbook_rules.h"
#include "replace/workbook_run.h"
#include "text/text_encoding.h"
#include "ui/file_browser.h"
#include "ui/layout.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>
#endif

namespace ui {

namespace fs = std::filesystem;

namespace {

constexpr const char* kOldTextPrompt = "请输入要替换原内容";
constexpr const char* kNewTextPrompt = "请输入新替换内容";
// The runs' backups, beside the journal; a folder's mark once undone.
constexpr const char* kBackups = "备份";
constexpr const char* kUndoneMark = "已撤销.txt";

// The view busy (a wait cursor, input held) while the office works, and
// leaving that state however the work ends, or it would ignore the user for
// good.
class ViewBusy {
 public:
  explicit ViewBusy(FormView* view) : view_(view) {
    if (view_ != nullptr) view_->runStarted();
  }
  ~ViewBusy() {
    if (view_ != nullptr) view_->runEnded();
  }
  ViewBusy(const ViewBusy&) = delete;
  ViewBusy& operator=(const ViewBusy&) = delete;

 private:
  FormView* view_;
};

}  // namespace

Form1Context userContext(const office::ServerRegistry& servers, const replace::Clock& clock,
                         std::filesystem::path programFolder) {
  std::error_code ec;
  Form1Context context;
  context.servers = &servers;
  context.clock = &clock;
  context.programFolder = std::move(programFolder);
  context.userJournalFolder = replace::defaultUserJournalFolder();
  context.startFolder = text::utf8FromPath(std::filesystem::current_path(ec));
  context.codeset = text::systemCodeset();
  return context;
}

Form1::Form1(Form1Context context, FormView* view)
    : context_(std::move(context)),
      view_(view),
      journalFolder_(context_.programFolder / "Journal") {
  journal_.emplace(journalFolder_, *context_.clock, context_.codeset);
  Drive1.drives = listDrives();
  Drive1.drive = driveOf(Drive1.drives, context_.startFolder);
  // The lists start on the working folder; this is no folder change, so the
  // run buttons keep their design-time state.
  Dir1.path = context_.startFolder;
  File1.path = context_.startFolder;
  try {
    Dir1.subfolders = files::listSubfolders(Dir1.path);
  } catch (const files::BrowseError& e) {
    appendStatus(std::string(e.what()) + "\r\n");
    return;  // one line for the folder; the file list stays empty
  }
  setFile1Path(File1.path);
}

Form1::~Form1() = default;

OptionButton& Form1::option(int number) {
  switch (number) {
    case 1:
      return Option1;
    case 2:
      return Option2;
    case 3:
      return Option3;
    default:
      return Option4;
  }
}

// ---- start-up ----

void Form1::Form_Load() {
  beginRun();
  resolveJournalFolder();
  for (void (Form1::*probe)() : {&Form1::CheckOffice, &Form1::CheckWpsV8, &Form1::CheckWpsV9}) {
    try {
      (this->*probe)();
    } catch (const replace::JournalError& e) {
      reportJournalFailure(e);
    }
  }
  Option1.value = false;
  Option2.value = false;
  Option3.value = false;
  Option4.value = false;
  refreshView();
}

void Form1::resolveJournalFolder() {
  journalFolder_ =
      replace::resolveJournalFolder(context_.programFolder, context_.userJournalFolder);
  journal_.emplace(journalFolder_, *context_.clock, context_.codeset);
  if (journalFolder_.empty())
    reportJournalFailure(replace::JournalError(replace::kNoJournalFolder));
}

void Form1::CheckOffice() {
  office::runProbe(office::kCheckOffice, *context_.servers, *this);
}
void Form1::CheckWpsV8() {
  office::runProbe(office::kCheckWpsV8, *context_.servers, *this);
}
void Form1::CheckWpsV9() {
  office::runProbe(office::kCheckWpsV9, *context_.servers, *this);
}

void Form1::enableSuite(office::Suite suite, bool enabled) {
  if (suite == office::Suite::Microsoft) {
    Option1.enabled = enabled;
    Option2.enabled = enabled;
  } else {
    Option3.enabled = enabled;
    Option4.enabled = enabled;
  }
}

// ---- journal ----

void Form1::rz() {
  journal_->append(strRZ);
}

void Form1::beginRun() {
  journalFailureShown_ = false;
}

void Form1::reportJournalFailure(const replace::JournalError& error) {
  if (journalFailureShown_) return;
  journalFailureShown_ = true;
  appendStatus(std::string("日志写入失败：") + error.what() + "\r\n");
}

void Form1::appendStatus(const std::string& line) {
  Text3.text_ += line;
  if (view_ != nullptr) view_->text3Appended(line);
}

void Form1::refreshView() {
  if (view_ != nullptr) view_->refresh();
}

// ---- browsing ----

void Form1::pickDrive(const std::string& drive) {
  if (drive == Drive1.drive) return;
  Drive1.drive = drive;
  Drive1_Change();
  refreshView();
}

void Form1::openFolder(const std::string& path) {
  setDir1Path(path, true);
  refreshView();
}

void Form1::Drive1_Change() {
  const std::string previous = driveOf(Drive1.drives, Dir1.path);
  if (!setDir1Path(driveRoot(Drive1.drive), false)) Drive1.drive = previous;
}

bool Form1::setDir1Path(const std::string& path, bool alwaysRaiseChange) {
  std::vector<std::string> subfolders;
  try {
    subfolders = files::listSubfolders(path);
  } catch (const files::BrowseError& e) {
    appendStatus(std::string(e.what()) + "\r\n");
    return false;
  }
  const bool changed = path != Dir1.path;
  Dir1.path = path;
  Dir1.subfolders = std::move(subfolders);
  if (changed || alwaysRaiseChange) Dir1_Change();
  return true;
}

void Form1::Dir1_Change() {
  setFile1Path(Dir1.path);
  const bool any = !File1.entries.empty();
  Command1.enabled = any;
  Command2.enabled = any;
}

void Form1::setFile1Path(const std::string& path) {
  try {
    File1.entries = files::listFiles(path, File1.pattern);
    File1.path = path;
  } catch (const files::BrowseError& e) {
    // The old folder's names must not be run in the new one.
    File1.entries.clear();
    appendStatus(std::string(e.what()) + "\r\n");
  }
}

void Form1::setFile1Pattern(const std::string& pattern) {
  File1.pattern = pattern;
  try {
    File1.entries = files::listFiles(File1.path, pattern);
  } catch (const files::BrowseError& e) {
    File1.entries.clear();
    appendStatus(std::string(e.what()) + "\r\n");
  }
}

// ---- type selection ----

void Form1::clickOption(int number) {
  for (int n = 1; n <= 4; ++n) option(n).value = n == number;
  switch (number) {
    case 1:
      Option1_Click();
      break;
    case 2:
      Option2_Click();
      break;
    case 3:
      Option3_Click();
      break;
    default:
      Option4_Click();
      break;
  }
  refreshView();
}

void Form1::Option1_Click() {
  setFile1Pattern("*.doc");
  Command1.caption = "文档内容替换";
  Text1.text = kOldTextPrompt;
  Text2.text = kNewTextPrompt;
}

void Form1::Option2_Click() {
  setFile1Pattern("*.xls");
  Command2.caption = "表格内容替换";
  Text1.text = kOldTextPrompt;
  Text2.text = kNewTextPrompt;
}

void Form1::Option3_Click() {
  setFile1Pattern("*.doc");
  Text1.text = kOldTextPrompt;
  Text2.text = kNewTextPrompt;
}

// The workbook choice lists workbooks: without this the list would keep showing
// documents, and the workbook run would open and save them as workbooks.
void Form1::Option4_Click() {
  setFile1Pattern("*.xls");
  Text1.text = kOldTextPrompt;
  Text2.text = kNewTextPrompt;
}

// ---- menus ----

void Form1::gy_Click() {
  if (view_ != nullptr) view_->showMessage(kAboutText);
}

void Form1::das_Click() {
  if (!form3_) form3_.emplace();
  if (view_ != nullptr) view_->showForm3(*form3_);
}

// ---- batch runs ----

std::string Form1::findText() const {
  return rules_.empty() ? Text1.text : rules_[pair_].find;
}

std::string Form1::replaceText() const {
  return rules_.empty() ? Text2.text : rules_[pair_].replace;
}

void Form1::selectPair(std::size_t pair) {
  pair_ = pair < rules_.size() ? pair : 0;
}

// With a rule list the servers get copies: a server that sets a box's text
// must not change the list.
office::Object Form1::findTextBox() {
  if (rules_.empty()) return replace::textBoxObject(Text1.text);
  pairFind_ = rules_[pair_].find;
  return replace::textBoxObject(pairFind_);
}

office::Object Form1::replaceTextBox() {
  if (rules_.empty()) return replace::textBoxObject(Text2.text);
  pairReplace_ = rules_[pair_].replace;
  return replace::textBoxObject(pairReplace_);
}

void Form1::report(const std::string& text) {
  appendStatus(text + "\r\n");
  if (previewing_) return;  // a preview changes nothing: the journal has no line of it
  strRZ = text;
  try {
    rz();
  } catch (const replace::JournalError& e) {
    reportJournalFailure(e);
  }
}

void Form1::reportResult(const replace::RunResult& result) {
  using Outcome = replace::RunResult::Outcome;
  switch (result.outcome) {
    case Outcome::Replaced:
    case Outcome::WouldReplace:
      ++tally_.replaced;
      break;
    case Outcome::NotFound:
      ++tally_.notFound;
      break;
    case Outcome::Failed:
    case Outcome::WouldFail:
      ++tally_.failed;
      break;
    case Outcome::SameFile:
      break;
  }
  if (result.count) tally_.found += *result.count;
  lastResults_.push_back(result);
  // What the run wrote is on disk before its line: an undo needs both
  // digests of every file changed.
  if (manifest_ && result.outcome == replace::RunResult::Outcome::Replaced && !manifestFailed_) {
    try {
      manifest_->add(result.entry);
    } catch (const replace::ManifestError& e) {
      manifestFailed_ = true;
      appendStatus(std::string(e.what()) + "，之后的文件无法撤销\r\n");
    }
  }
  report(result.line);
}

std::string Form1::summaryLine(bool workbooks) const {
  const std::string unit = workbooks ? " 个工作表" : " 个文件";
  const auto n = [](std::size_t count) { return std::to_string(count) + " 个"; };
  // Files the run never reached (stopped, or no office to start) are no
  // file that was fine.
  const std::string notReached =
      filesTaken_ < runFiles_.size()
          ? "，未处理 " + std::to_string(runFiles_.size() - filesTaken_) + " 个文件"
          : "";
  const std::string counts = std::to_string(tally_.replaced) + unit + "，没找到 " +
                             n(tally_.notFound) + "，" + (previewing_ ? "会失败 " : "失败 ") +
                             n(tally_.failed) + notReached;
  if (previewing_) {
    return "预览完毕：共找到 " + std::to_string(tally_.found) + " 处；可替换 " + counts +
           "，未作改动";
  }
  return "替换完毕：已替换 " + counts;
}

std::optional<replace::RunFile> Form1::nextFile() {
  if (nextFile_ >= runFiles_.size()) return std::nullopt;
  if (stopping_) {
    report("已停止：还有 " + std::to_string(runFiles_.size() - nextFile_) + " 个文件未处理");
    nextFile_ = runFiles_.size();
    return std::nullopt;
  }
  const std::size_t index = nextFile_++;
  filesTaken_ = nextFile_;
  if (view_ != nullptr) view_->runProgress(index + 1, runFiles_.size());
  return replace::RunFile{runFiles_[index], sameFiles_.firstName(index)};
}

void Form1::run(const std::function<void()>& runs) {
  beginRun();
  running_ = true;
  stopping_ = false;
  struct Running {
    bool& running;
    ~Running() { running = false; }
  } running{running_};
  const auto start = [this, &runs] {
    // The tree below the folder is walked only for a run: a folder clicked
    // on the way (a drive's root) must not hold the window.
    runFiles_ = File1.entries;
    if (includeSubfolders_) {
      try {
        runFiles_ = files::listFilesBelow(File1.path, File1.pattern);
        // The journal's backups may lie below the folder: they are never
        // replaced themselves.
        const fs::path backups = journalFolder_ / text::pathFromUtf8(kBackups);
        std::erase_if(runFiles_, [&](const std::string& entry) {
          const fs::path file = text::pathFromUtf8(File1.path) / text::pathFromUtf8(entry);
          const fs::path inside = file.lexically_normal().lexically_relative(backups);
          return !journalFolder_.empty() && !inside.empty() && *inside.begin() != "..";
        });
      } catch (const files::BrowseError& e) {
        appendStatus(std::string(e.what()) + "\r\n");
      }
    }
    sameFiles_ = replace::SameFiles(Dir1.path, runFiles_);
    tally_ = {};
    filesTaken_ = 0;
    lastResults_.clear();
    pair_ = 0;
    if (!rules_.empty()) {
      report("使用规则列表：" + text::displayName(rulesFile_) + "，共 " +
             std::to_string(rules_.size()) + " 组");
    }
    if (!previewing_) beginBackup();
    struct BackupEnd {
      Form1& form;
      ~BackupEnd() { form.endBackup(); }
    } backupEnd{*this};
    runs();
    appendStatus(summaryLine(File1.pattern == "*.xls") + "\r\n");
  };
  const ViewBusy busy(view_);
  start();
}

std::optional<std::string> promptIn(const std::string& text) {
  for (const char* box : {"Text1", "Text2"}) {
    const std::string_view atStart = findControl(mainWindowGeometry(), box)->caption;
    if (text != atStart) continue;
    std::string shown(atStart);
    while (!shown.empty() && (shown.back() == '\r' || shown.back() == '\n')) shown.pop_back();
    return shown;
  }
  if (text == kOldTextPrompt || text == kNewTextPrompt) return text;
  return std::nullopt;
}

// An empty find text finds nothing anywhere; a box that still holds its
// prompt looks for the prompt, or writes it into every file.
bool Form1::runWanted() {
  if (view_ == nullptr || !rules_.empty()) return true;
  const auto prompt = promptIn;
  std::string question;
  if (Text1.text.empty()) {
    question = "要替换的内容是空的，每个文件都会是“没找到替换的内容”。仍要运行吗？";
  } else if (const auto find = prompt(Text1.text)) {
    question = "要替换的内容还是提示文字“" + *find + "”。仍要运行吗？";
  } else if (const auto with = prompt(Text2.text)) {
    question = "新内容还是提示文字“" + *with + "”，找到的内容都会被换成这句提示。仍要运行吗？";
  } else {
    return true;
  }
  return view_->confirm(question);
}

void Form1::Command1_Click() {
  if (!Option1.value && !Option3.value) return;
  if (!runWanted()) return;
  run([this] {
    if (Option1.value)
      replace::runDocuments(*context_.servers, replace::kWordServer, fromFirstFile());
    if (Option3.value) {
      replace::runDocuments(*context_.servers, replace::kWpsServer, fromFirstFile());
    }
  });
}

void Form1::Command2_Click() {
  if (!Option2.value && !Option4.value) return;
  if (!runWanted()) return;
  run([this] {
    if (Option2.value)
      replace::runWorkbooks(*context_.servers, replace::kExcelServer, fromFirstFile());
    if (Option4.value) {
      replace::runWorkbooks(*context_.servers, replace::kWpsServer, fromFirstFile());
    }
  });
}

bool Form1::previewAvailable() const {
  return ((Option1.value || Option3.value) && Command1.enabled) ||
         ((Option2.value || Option4.value) && Command2.enabled);
}

void Form1::preview_Click() {
  if (!previewAvailable()) return;
  previewing_ = true;
  struct Done {
    bool& previewing;
    ~Done() { previewing = false; }
  } done{previewing_};
  run([this] {
    const office::ServerRegistry& servers = *context_.servers;
    if (Option1.value) replace::runDocuments(servers, replace::kWordServer, fromFirstFile());
    if (Option3.value) replace::runDocuments(servers, replace::kWpsServer, fromFirstFile());
    if (Option2.value) replace::runWorkbooks(servers, replace::kExcelServer, fromFirstFile());
    if (Option4.value) replace::runWorkbooks(servers, replace::kWpsServer, fromFirstFile());
  });
}

void Form1::openJournalFolder_Click() {
  if (view_ == nullptr) return;
  std::error_code ec;
  if (!journalFolder_.empty()) std::filesystem::create_directories(journalFolder_, ec);
  if (journalFolder_.empty() || ec) {
    view_->showMessage(replace::kNoJournalFolder);
    return;
  }
  view_->showFolder(journalFolder_);
}

void Form1::stopRun(bool closing) {
  if (!running_ || stopping_ || askingToStop_ || view_ == nullptr) return;
  askingToStop_ = true;
  const bool stop = view_->confirm(std::string(closing ? "窗口将在替换结束后关闭。" : "") +
                                   "要在当前文件处理完后停止吗？");
  askingToStop_ = false;
  stopping_ = stop;
}

void Form1::rulesList_Click() {
  if (view_ == nullptr) return;
  const std::optional<std::string> chosen = view_->chooseRulesFile();
  if (!chosen) return;
  try {
    if (!replace::isRulesWorkbook(*chosen)) {
      rules_ = replace::readRulesFile(*chosen, context_.codeset);
    } else {
      if (context_.servers == nullptr) throw replace::RulesError("无法读取规则工作簿");
      // Read with the spreadsheet server of the suite the options name; the
      // window waits for the office as it does during a run.
      const ViewBusy busy(view_);
      const bool wps = Option3.value || Option4.value;
      rules_ = replace::readWorkbookRules(
          *context_.servers, wps ? replace::kWpsServer : replace::kExcelServer, *chosen);
    }
    rulesFile_ = *chosen;
    // The boxes stay as they are but are no longer read: say so.
    appendStatus("已选用规则列表：" + text::displayName(rulesFile_) + "，共 " +
                 std::to_string(rules_.size()) + " 组；替换和预览不再使用两个输入框\r\n");
  } catch (const replace::RulesError& e) {
    view_->showMessage(std::string(e.what()) + "，未使用这个规则文件");
  }
  refreshView();
}

void Form1::clearRulesList_Click() {
  if (!rules_.empty()) appendStatus("已清除规则列表；替换和预览使用两个输入框\r\n");
  rules_.clear();
  rulesFile_.clear();
  refreshView();
}

void Form1::exportResults_Click() {
  if (view_ == nullptr) return;
  if (lastResults_.empty()) {
    view_->showMessage("还没有可以导出的结果：请先替换或预览");
    return;
  }
  const std::optional<std::string> chosen = view_->chooseReportFile();
  if (!chosen) return;
  try {
    replace::ReportFile report(*chosen);
    for (const replace::RunResult& result : lastResults_) report.add(result);
    if (!report.flush()) throw std::runtime_error("无法写入报告文件：" + *chosen);
  } catch (const std::runtime_error& e) {
    view_->showMessage(e.what());
    return;
  }
  appendStatus("结果已导出：" + text::displayName(*chosen) + "\r\n");
}

void Form1::beginBackup() {
  if (!backsUpOriginals() || journalFolder_.empty()) return;
  const std::tm now = context_.clock->now();
  char stamp[64];
  std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02d %02d-%02d-%02d", now.tm_year + 1900,
                now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min, now.tm_sec);
  // Two runs within a second each get a folder of their own.
  const fs::path backups = journalFolder_ / text::pathFromUtf8(kBackups);
  std::error_code ec;
  fs::create_directories(backups, ec);
  fs::path folder = backups / text::pathFromUtf8(stamp);
  for (int n = 2; !fs::create_directory(folder, ec); ++n) {
    if (ec || n > 100) {
      appendStatus("无法建立备份文件夹：" + text::utf8FromPath(folder) +
                   "，这次替换不备份原文件\r\n");
      return;
    }
    folder = backups / text::pathFromUtf8(std::string(stamp) + " (" + std::to_string(n) + ")");
  }
  backupFolder_ = folder;
  const std::string backupFolder = text::utf8FromPath(folder);
  keeper_ = context_.keepOriginalsIn(Dir1.path, backupFolder);
  manifest_.emplace(backupFolder, Dir1.path);
  manifestFailed_ = false;
}

void Form1::endBackup() {
  if (!manifest_) return;
  keeper_.reset();
  manifest_.reset();
  context_.keepOriginalsIn("", "");
  // A run that changed nothing leaves no folder.
  std::error_code ec;
  fs::remove(backupFolder_, ec);
}

void Form1::backupOriginals_Click() {
  backupOriginals_ = !backupOriginals_;
  refreshView();
}

void Form1::undoLastRun_Click() {
  if (view_ == nullptr) return;
  // The newest run's folder that kept something and was not undone: the
  // folders' names sort as their times do.
  std::vector<fs::path> folders;
  std::error_code ec;
  for (fs::directory_iterator it(journalFolder_ / text::pathFromUtf8(kBackups), ec), end;
       !ec && it != end; it.increment(ec)) {
    if (it->is_directory(ec)) folders.push_back(it->path());
  }
  std::sort(folders.begin(), folders.end());
  for (auto folder = folders.rbegin(); folder != folders.rend(); ++folder) {
    if (fs::exists(*folder / text::pathFromUtf8(kUndoneMark), ec)) continue;
    replace::Manifest manifest;
    try {
      manifest = replace::readManifest(text::utf8FromPath(*folder));
    } catch (const replace::ManifestError&) {
      continue;  // a run that changed nothing
    }
    const std::string name = text::utf8FromPath(folder->filename());
    if (!view_->confirm("将把 " + std::to_string(manifest.files.size()) + " 个文件恢复为 " + name +
                        " 那次替换前的内容（之后被修改过的文件不动）。要撤销吗？")) {
      return;
    }
    beginRun();
    try {
      bool failed = false;
      replace::undoBackup(text::utf8FromPath(*folder), [&](const replace::UndoResult& result) {
        failed = failed || result.outcome == replace::UndoResult::Outcome::Failed;
        report(result.line);
      });
      // A file that could not be written (open elsewhere, say) may be
      // undone by the next click; one changed since is the user's.
      if (!failed) std::ofstream(*folder / text::pathFromUtf8(kUndoneMark)) << "\n";
    } catch (const replace::ManifestError& e) {
      appendStatus(std::string(e.what()) + "\r\n");
    }
    return;
  }
  view_->showMessage("没有可以撤销的替换：还没有哪次替换保存过原文件");
}

void Form1::includeSubfolders_Click() {
  includeSubfolders_ = !includeSubfolders_;
  refreshView();
}

}  // namespace ui
