#include "cli/command_line.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "text/system_text.h"
#include "text/text_encoding.h"
#include "ui/file_browser.h"
#include "ui/main_window.h"

namespace cli {

namespace fs = std::filesystem;

namespace {

// The journal failure line the window shows, once per run.
constexpr const char* kJournalFailure = "日志写入失败：";

class Failure {
 public:
  explicit Failure(std::string reason) : reason_(std::move(reason)) {}
  const std::string& reason() const { return reason_; }

 private:
  std::string reason_;
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

class ConsoleOutput : public BatchOutput {
 public:
  ConsoleOutput(const Environment& environment, const replace::Journal& journal)
      : env_(environment), journal_(journal), start_(std::chrono::steady_clock::now()) {}

  ~ConsoleOutput() override { clearProgress(); }

  void line(const std::string& text) override {
    clearProgress();
    *env_.out << text << '\n' << std::flush;
    try {
      journal_.append(text);
    } catch (const replace::JournalError& e) {
      if (!journalFailed_) {
        journalFailed_ = true;
        *env_.out << kJournalFailure << e.what() << '\n' << std::flush;
      }
    }
  }

  void fileDone(std::size_t done, std::size_t total) override {
    if (!env_.showProgress) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    *env_.err << '\r' << progressText(done, total, seconds) << "\x1b[K" << std::flush;
    progressShown_ = true;
  }

  bool journalFailed() const { return journalFailed_; }

 private:
  void clearProgress() {
    if (!progressShown_) return;
    *env_.err << "\r\x1b[K" << std::flush;
    progressShown_ = false;
  }

  const Environment& env_;
  const replace::Journal& journal_;
  std::chrono::steady_clock::time_point start_;
  bool journalFailed_ = false;
  bool progressShown_ = false;
};

int run(const Options& options, const Environment& env) {
  Batch batch;
  batch.kind = options.kind;
  batch.suite = options.suite;
  batch.findText = options.findText;
  batch.replaceText = options.replaceText;
  batch.folder = absoluteFolder(options.folder);
  try {
    batch.files = listBatchFiles(batch.folder, options.kind, options.recursive);
  } catch (const ui::BrowseError& e) {
    throw Failure(e.what());
  }
  batch.jobs = options.jobs == 0 ? std::max(env.cores, 1u) : options.jobs;

  const replace::Journal journal(ui::resolveJournalFolder(env.programFolder, env.userJournalFolder),
                                 *env.clock, env.codeset);
  ConsoleOutput output(env, journal);
  const BatchResult result = runBatch(batch, env.servers, output);
  if (result.noServer) {
    *env.err << "ravelsk: 无法启动办公软件，未处理任何文件\n";
    return kExitUsage;
  }
  return result.fileFailed || result.serverLost || output.journalFailed() ? kExitFailures
                                                                          : kExitDone;
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
  if (options.help) {
    *env.out << usageText();
    return kExitDone;
  }
  if (options.version) {
    *env.out << versionText();
    return kExitDone;
  }
  try {
    return run(options, env);
  } catch (const Failure& e) {
    *env.err << "ravelsk: " << e.reason() << '\n';
    return kExitUsage;
  }
}

}  // namespace cli
