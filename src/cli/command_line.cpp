#include "cli/command_line.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

#include "files/folder_listing.h"
#include "replace/backup_manifest.h"
#include "replace/document_stories.h"
#include "replace/journal_folder.h"
#include "replace/report.h"
#include "replace/rules_file.h"
#include "replace/undo.h"
#include "replace/workbook_rules.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace cli {

namespace fs = std::filesystem;

namespace {

// The journal failure line the window shows, once per run.
constexpr const char* kJournalFailure = "日志写入失败：";
// Once per run: lines that went nowhere must not end in a status that says
// all is well.
constexpr const char* kOutputFailure = "ravelsk: 无法写入标准输出，结果行未能全部输出\n";

// After writing to standard output: false, said on standard error, once it
// has failed (a full disk, a closed output, a reader gone).
bool outputWritten(const Environment& env, bool& failureSaid) {
  if (*env.out) return true;
  if (!failureSaid) *env.err << kOutputFailure << std::flush;
  failureSaid = true;
  return false;
}

class Failure {
 public:
  explicit Failure(std::string reason) : reason_(std::move(reason)) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
};

// Nothing was wrong with the call, but there was nothing to process.
class NothingToDo : public Failure {
 public:
  using Failure::Failure;
};

// The folder as the window's folder list would hold it: absolute, without a
// trailing separator.
std::string absoluteFolder(const std::string& given) {
  std::error_code ec;
  fs::path path = fs::absolute(text::pathFromUtf8(given), ec).lexically_normal();
  if (ec) throw Failure("无法打开文件夹：" + given + "（" + text::errorText(ec) + "）");
  if (!path.has_filename() && path.has_relative_path()) path = path.parent_path();
  const fs::file_status status = fs::status(path, ec);
  if (!fs::exists(status)) throw Failure("文件夹不存在：" + given);
  if (!fs::is_directory(status)) throw Failure("不是文件夹：" + given);
  return text::utf8FromPath(path);
}

// The rules file, read whole before any document is touched; a workbook
// through the spreadsheet server of the batch's suite.
std::vector<ReplacePair> readRules(const std::string& path, const std::string& codeset,
                                   const office::ServerRegistry* servers,
                                   replace::ServerChoice choice) {
  try {
    if (servers == nullptr) return replace::readRulesFile(path, codeset);
    std::error_code ec;
    const fs::path file = fs::absolute(text::pathFromUtf8(path), ec);
    if (ec || !fs::is_regular_file(file, ec)) throw Failure("无法读取规则文件：" + path);
    return replace::readWorkbookRules(*servers, choice, text::utf8FromPath(file));
  } catch (const replace::RulesError& e) {
    throw Failure(e.what());
  }
}

// Whether path (canonical) lies inside folder, or is folder itself.
bool insideFolder(const fs::path& path, const std::string& folder) {
  std::error_code ec;
  const fs::path root = fs::weakly_canonical(text::pathFromUtf8(folder), ec);
  const fs::path inside = path.lexically_relative(root);
  return !ec && !inside.empty() && *inside.begin() != "..";
}

// The backup folder, absolute; never inside the folder being replaced, whose
// listing would then take in the backups of an earlier run.
std::string absoluteBackupFolder(const std::string& given, const std::string& folder) {
  std::error_code ec;
  const fs::path path = fs::weakly_canonical(fs::absolute(text::pathFromUtf8(given), ec), ec);
  if (ec) throw Failure("无法使用备份文件夹：" + given + "（" + text::errorText(ec) + "）");
  if (insideFolder(path, folder)) throw Failure("备份文件夹不能在要替换的文件夹里：" + given);
  if (fs::exists(path, ec) && !fs::is_directory(path, ec)) {
    throw Failure("备份文件夹不是文件夹：" + given);
  }
  return text::utf8FromPath(path);
}

// The report is never written inside the folder being replaced: named after
// one of its documents (or a link to one), it would be emptied before any
// file is touched.
void checkReportPlace(const std::string& given, const std::string& folder) {
  std::error_code ec;
  const fs::path path = fs::weakly_canonical(fs::absolute(text::pathFromUtf8(given), ec), ec);
  if (ec) throw Failure("无法写入报告文件：" + given + "（" + text::errorText(ec) + "）");
  if (insideFolder(path, folder)) throw Failure("报告文件不能在要替换的文件夹里：" + given);
}

// Word and WPS cannot search for a text this long: every document would fail
// with it, so none is opened.
void refuseLongFindTexts(const Batch& batch, const office::ServerRegistry& servers, bool rules) {
  const replace::ServerChoice choice = serverChoice(batch.kind, batch.suite);
  for (std::size_t p = 0; p < batch.pairs.size(); ++p) {
    const std::string refusal = replace::findTextRefusal(servers, choice, batch.pairs[p].find);
    if (refusal.empty()) continue;
    const std::string rule = rules ? "第 " + std::to_string(p + 1) + " 条规则的" : std::string();
    throw Failure(rule + refusal + "，未处理任何文件");
  }
}

class ConsoleOutput : public BatchOutput {
 public:
  // journal: nullptr for a dry run, which writes none; report: nullptr for none.
  ConsoleOutput(const Environment& environment, const replace::Journal* journal,
                replace::ReportFile* report, replace::BackupManifest* manifest)
      : env_(environment),
        journal_(journal),
        report_(report),
        manifest_(manifest),
        start_(std::chrono::steady_clock::now()) {}

  ~ConsoleOutput() override { clearProgress(); }

  // The progress line goes before a closing message.
  void clearProgress() {
    if (!progressShown_) return;
    *env_.err << "\r\x1b[K" << std::flush;
    progressShown_ = false;
  }

  void result(const replace::RunResult& result) override {
    const std::string& text = result.line;
    using Outcome = replace::RunResult::Outcome;
    found_ = found_ || result.outcome == Outcome::Replaced ||
             result.outcome == Outcome::WouldReplace || result.outcome == Outcome::WouldFail;
    clearProgress();
    // What the run wrote is on disk before its line: an undo needs both
    // digests of every file changed.
    if (manifest_ != nullptr && result.outcome == Outcome::Replaced && !manifestFailed_) {
      try {
        manifest_->add(result.entry);
      } catch (const replace::ManifestError& e) {
        manifestFailed_ = true;
        *env_.err << "ravelsk: " << e.what() << "（之后的文件无法撤销）\n" << std::flush;
      }
    }
    *env_.out << text << '\n' << std::flush;
    outputWritten(env_, outputFailed_);
    if (report_ != nullptr) report_->add(result);
    if (journal_ == nullptr) return;
    try {
      journal_->append(text);
    } catch (const replace::JournalError& e) {
      if (!journalFailed_) {
        journalFailed_ = true;
        *env_.out << kJournalFailure << e.what() << '\n' << std::flush;
        outputWritten(env_, outputFailed_);
      }
    }
  }

  void fileDone(std::size_t done, std::size_t total) override {
    if (report_ != nullptr && !report_->flush() && !reportFailed_) {
      reportFailed_ = true;
      *env_.err << "ravelsk: 报告文件写入失败\n" << std::flush;
    }
    if (!env_.showProgress) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    *env_.err << '\r' << progressText(done, total, seconds) << "\x1b[K" << std::flush;
    progressShown_ = true;
  }

  bool journalFailed() const { return journalFailed_; }
  bool reportFailed() const { return reportFailed_; }
  bool outputFailed() const { return outputFailed_; }
  bool manifestFailed() const { return manifestFailed_; }
  // Whether any file or sheet held a text the run replaced or would replace.
  bool found() const { return found_; }

 private:
  const Environment& env_;
  const replace::Journal* journal_;
  replace::ReportFile* report_;
  replace::BackupManifest* manifest_;
  std::chrono::steady_clock::time_point start_;
  bool journalFailed_ = false;
  bool reportFailed_ = false;
  bool outputFailed_ = false;
  bool progressShown_ = false;
  bool found_ = false;
  bool manifestFailed_ = false;
};

int run(const Options& options, const Environment& env) {
  Batch batch;
  batch.kind = options.kind;
  batch.suite = options.suite;
  const bool rulesWorkbook = replace::isRulesWorkbook(options.rulesFile);
  if (options.rulesFile.empty()) {
    batch.pairs = {{options.findText, options.replaceText}};
  } else if (!rulesWorkbook) {
    batch.pairs = readRules(options.rulesFile, env.codeset, nullptr, {});
  }
  batch.countOnly = options.dryRun;
  batch.matchCase = options.matchCase;
  batch.folder = absoluteFolder(options.folder);
  try {
    batch.files = listBatchFiles(batch.folder, options.kind, options.recursive);
  } catch (const files::BrowseError& e) {
    throw Failure(e.what());
  }
  // A mistyped folder name and an empty folder must not look like a run
  // that went well.
  if (batch.files.empty()) throw NothingToDo("没有找到要处理的文件：" + options.folder);
  batch.jobs = options.jobs == 0 ? std::max(env.cores, 1u) : options.jobs;
  batch.stop = env.stop;
  batch.whenEnded = env.whenEnded;

  std::unique_ptr<OriginalKeeper> keeper;
  std::optional<replace::BackupManifest> manifest;
  if (!options.backupFolder.empty()) {
    const std::string backup = absoluteBackupFolder(options.backupFolder, batch.folder);
    try {
      manifest.emplace(backup, batch.folder);
    } catch (const replace::ManifestError& e) {
      throw Failure(e.what());
    }
    if (!env.useBackup) throw Failure("此版本不支持 --backup");
    keeper = env.useBackup(batch.folder, backup);
    batch.keeper = keeper.get();
  }
  if (!options.reportFile.empty()) checkReportPlace(options.reportFile, batch.folder);
  // The first job's registry is asked only now: it takes the backup's
  // settings with it. A rules workbook is read through it once the cheaper
  // checks have passed, and before the report replaces an earlier one.
  if (rulesWorkbook) {
    batch.pairs = readRules(options.rulesFile, env.codeset, &env.servers(0),
                            serverChoice(batch.kind, batch.suite));
  }
  if (batch.kind == FileKind::Documents) {
    refuseLongFindTexts(batch, env.servers(0), !options.rulesFile.empty());
  }
  std::optional<replace::ReportFile> report;
  if (!options.reportFile.empty()) {
    try {
      report.emplace(options.reportFile);
    } catch (const std::runtime_error& e) {
      throw Failure(e.what());
    }
  }

  const replace::Journal journal(
      replace::resolveJournalFolder(env.programFolder, env.userJournalFolder), *env.clock,
      env.codeset);
  // A run whose lines could only go where another user may read or redirect
  // them does not begin; a dry run writes none.
  if (journal.folder().empty() && !options.dryRun) {
    *env.err << "ravelsk: " << replace::kNoJournalFolder << '\n';
    return kExitFailures;
  }
  ConsoleOutput output(env, options.dryRun ? nullptr : &journal, report ? &*report : nullptr,
                       manifest ? &*manifest : nullptr);
  const BatchResult result = runBatch(batch, env.servers, output);
  output.clearProgress();
  if (result.noServer) {
    *env.err << "ravelsk: 无法启动办公软件，未处理任何文件\n";
    return kExitUsage;
  }
  if (result.stopped) {
    *env.err << "ravelsk: 已停止，" << batch.files.size() - result.filesDone << " 个文件未处理\n";
    return kExitStopped;
  }
  // A rules file that matched nothing (saved in another encoding, say) must
  // not pass for a run that changed what it should.
  if (!options.rulesFile.empty() && !output.found() && !result.fileFailed && !result.serverLost) {
    *env.err << "ravelsk: 规则文件中的规则在所有文件中都没有找到\n";
  }
  return result.fileFailed || result.serverLost || output.journalFailed() ||
                 output.manifestFailed() || output.reportFailed() || output.outputFailed()
             ? kExitFailures
             : kExitDone;
}

// --undo: the originals of a backup folder put back, a line per file, each
// also in the journal.
int undo(const Options& options, const Environment& env) {
  std::error_code ec;
  const fs::path folder = fs::absolute(text::pathFromUtf8(options.undoFolder), ec);
  if (ec || !fs::is_directory(folder, ec)) throw Failure("备份文件夹不存在：" + options.undoFolder);
  // A folder that is no backup is refused before the journal is made.
  try {
    replace::readManifest(text::utf8FromPath(folder));
  } catch (const replace::ManifestError& e) {
    throw Failure(e.what());
  }
  const replace::Journal journal(
      replace::resolveJournalFolder(env.programFolder, env.userJournalFolder), *env.clock,
      env.codeset);
  if (journal.folder().empty()) {
    *env.err << "ravelsk: " << replace::kNoJournalFolder << '\n';
    return kExitFailures;
  }
  bool journalFailed = false;
  bool all = false;
  try {
    all = replace::undoBackup(text::utf8FromPath(folder), [&](const replace::UndoResult& result) {
      *env.out << result.line << '\n' << std::flush;
      try {
        journal.append(result.line);
      } catch (const replace::JournalError& e) {
        if (!journalFailed) *env.out << kJournalFailure << e.what() << '\n' << std::flush;
        journalFailed = true;
      }
    });
  } catch (const replace::ManifestError& e) {
    throw Failure(e.what());
  }
  bool failureSaid = false;
  return all && !journalFailed && outputWritten(env, failureSaid) ? kExitDone : kExitFailures;
}

}  // namespace

std::string progressText(std::size_t done, std::size_t total, double seconds) {
  const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
  char text[160];
  if (rate > 0) {
    const auto left = static_cast<long long>(static_cast<double>(total - done) / rate + 0.5);
    std::snprintf(text, sizeof text, "%zu/%zu 个文件，每秒 %.1f 个，剩余约 %lld:%02lld", done,
                  total, rate, left / 60, left % 60);
  } else {
    std::snprintf(text, sizeof text, "%zu/%zu 个文件", done, total);
  }
  return text;
}

int runCommandLine(const std::vector<std::string>& args, const Environment& env) {
  Options options;
  try {
    options = parseOptions(args);
  } catch (const UsageError& e) {
    *env.err << "ravelsk: " << e.what() << "（用法见 ravelsk --help）\n";
    return kExitUsage;
  }
  if (options.help || options.version) {
    *env.out << (options.help ? usageText() : versionText()) << std::flush;
    bool failureSaid = false;
    return outputWritten(env, failureSaid) ? kExitDone : kExitFailures;
  }
  try {
    if (!options.undoFolder.empty()) return undo(options, env);
    return run(options, env);
  } catch (const NothingToDo& e) {
    *env.err << "ravelsk: " << e.reason() << '\n';
    return kExitFailures;
  } catch (const Failure& e) {
    *env.err << "ravelsk: " << e.reason() << '\n';
    return kExitUsage;
  }
}

}  // namespace cli
