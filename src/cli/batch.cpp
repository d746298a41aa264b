#include "cli/batch.h"

#include <condition_variable>
#include <exception>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include "replace/document_run.h"
#include "replace/run_window.h"
#include "replace/text_encoding.h"
#include "replace/workbook_run.h"
#include "ui/file_browser.h"

namespace cli {

namespace fs = std::filesystem;

replace::ServerChoice serverChoice(FileKind kind, office::Suite suite) {
  if (suite == office::Suite::Wps) return {"ET.Application", "KET.Application"};
  return kind == FileKind::Documents ? replace::ServerChoice{"word.Application", ""}
                                     : replace::ServerChoice{"excel.application", ""};
}

std::string filePattern(FileKind kind) {
  return kind == FileKind::Documents ? "*.doc" : "*.xls";
}

namespace {

// A folder reached twice (through a link back up the tree) is listed once.
void collectFiles(const std::string& root, const std::string& relative, const std::string& pattern,
                  std::set<fs::path>& seen, std::vector<std::string>& files) {
  const std::string folder = relative.empty() ? root : replace::composePath(root, relative);
  std::error_code ec;
  const fs::path real = fs::canonical(replace::pathFromUtf8(folder), ec);
  if (!ec && !seen.insert(real).second) return;
  const auto join = [&relative](const std::string& name) {
    return relative.empty() ? name : replace::composePath(relative, name);
  };
  for (const std::string& name : ui::listFiles(folder, pattern)) files.push_back(join(name));
  for (const std::string& name : ui::listSubfolders(folder)) {
    collectFiles(root, join(name), pattern, seen, files);
  }
}

}  // namespace

std::vector<std::string> listBatchFiles(const std::string& folder, FileKind kind, bool recursive) {
  if (!recursive) return ui::listFiles(folder, filePattern(kind));
  std::vector<std::string> files;
  std::set<fs::path> seen;
  collectFiles(folder, "", filePattern(kind), seen, files);
  return files;
}

bool isSuccessLine(FileKind kind, const std::string& entry, const std::string& line) {
  if (kind == FileKind::Documents) {
    return line == entry + " 已替换内容" || line == entry + " 没找到替换的内容";
  }
  // "<entry>-<sheet>已替换内容" or "<entry>-<sheet>没找到替换的内容"; a
  // failure line names the sheet too, and then the failure.
  const auto endsWith = [&line](std::string_view tail) {
    return line.size() >= tail.size() &&
           line.compare(line.size() - tail.size(), tail.size(), tail.data(), tail.size()) == 0;
  };
  return line.rfind(entry + "-", 0) == 0 &&
         line.find(" 处理失败，错误代码：", entry.size()) == std::string::npos &&
         (endsWith("已替换内容") || endsWith("没找到替换的内容"));
}

namespace {

// What the jobs report and the caller's thread hands on in order.
struct Progress {
  struct Job {
    std::vector<std::string> startLines;  // reported before its first file
    std::ptrdiff_t reached = -1;          // the last of its files begun
    bool finished = false;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<std::vector<std::string>> fileLines;  // by position in the file list
  std::vector<Job> jobs;
};

// The window as one job sees it: its share of the list, and every line it
// reports filed under the file being worked on.
class JobWindow : public replace::RunWindow {
 public:
  JobWindow(const Batch& batch, Progress& progress, unsigned job, unsigned jobs)
      : batch_(batch),
        progress_(progress),
        job_(job),
        jobs_(jobs),
        findText_(batch.findText),
        replaceText_(batch.replaceText) {}

  std::size_t fileCount() const override {
    return (batch_.files.size() - job_ + jobs_ - 1) / jobs_;
  }
  std::string fileEntry(std::size_t index) const override {
    {
      std::lock_guard lock(progress_.mutex);
      Progress::Job& state = progress_.jobs[job_];
      if (static_cast<std::ptrdiff_t>(index) > state.reached) {
        state.reached = static_cast<std::ptrdiff_t>(index);
        progress_.changed.notify_all();
      }
    }
    return batch_.files.at(position(index));
  }
  std::string folder() const override { return batch_.folder; }
  std::string findText() const override { return findText_; }
  std::string replaceText() const override { return replaceText_; }
  office::Object findTextBox() override { return replace::textBoxObject(findText_); }
  office::Object replaceTextBox() override { return replace::textBoxObject(replaceText_); }
  void report(const std::string& text) override {
    std::lock_guard lock(progress_.mutex);
    Progress::Job& state = progress_.jobs[job_];
    if (state.reached < 0) {
      state.startLines.push_back(text);
    } else {
      progress_.fileLines[position(static_cast<std::size_t>(state.reached))].push_back(text);
    }
  }

 private:
  std::size_t position(std::size_t index) const { return job_ + index * jobs_; }

  const Batch& batch_;
  Progress& progress_;
  unsigned job_;
  unsigned jobs_;
  std::string findText_;
  std::string replaceText_;
};

void runJob(const Batch& batch, const office::ServerRegistry& servers, Progress& progress,
            unsigned job, unsigned jobs) {
  JobWindow window(batch, progress, job, jobs);
  const replace::ServerChoice choice = serverChoice(batch.kind, batch.suite);
  if (batch.kind == FileKind::Documents) {
    replace::runDocuments(servers, choice, window);
  } else {
    replace::runWorkbooks(servers, choice, window);
  }
}

}  // namespace

BatchResult runBatch(const Batch& batch, const RegistryForJob& registryFor, BatchOutput& output) {
  BatchResult result;
  const std::size_t total = batch.files.size();
  if (total == 0) return result;
  const unsigned jobs =
      static_cast<unsigned>(std::min<std::size_t>(std::max(batch.jobs, 1u), total));

  Progress progress;
  progress.fileLines.resize(total);
  progress.jobs.resize(jobs);
  std::vector<std::exception_ptr> errors(jobs);
  std::vector<std::thread> threads;
  threads.reserve(jobs);
  for (unsigned job = 0; job < jobs; ++job) {
    threads.emplace_back([&, job] {
      try {
        runJob(batch, registryFor(job), progress, job, jobs);
      } catch (...) {
        errors[job] = std::current_exception();
      }
      std::lock_guard lock(progress.mutex);
      progress.jobs[job].finished = true;
      progress.changed.notify_all();
    });
  }

  // Several jobs that cannot start say the same thing: it is said once, as
  // one server would.
  std::set<std::string> startLinesShown;
  unsigned jobsStarted = 0;
  for (std::size_t p = 0; p < total; ++p) {
    const unsigned job = static_cast<unsigned>(p % jobs);
    const auto index = static_cast<std::ptrdiff_t>(p / jobs);
    std::vector<std::string> lines;
    std::size_t ownLines = 0;  // where the file's own lines begin
    bool ran;
    {
      std::unique_lock lock(progress.mutex);
      Progress::Job& state = progress.jobs[job];
      progress.changed.wait(lock, [&] { return state.finished || state.reached > index; });
      if (index == 0) {
        for (std::string& line : state.startLines) {
          if (startLinesShown.insert(line).second) lines.push_back(std::move(line));
        }
      }
      ran = state.reached >= index;
      if (index == 0 && ran) ++jobsStarted;
      ownLines = lines.size();
      for (std::string& line : progress.fileLines[p]) lines.push_back(std::move(line));
    }
    if (ran) {
      ++result.filesDone;
      for (std::size_t n = ownLines; n < lines.size(); ++n) {
        if (!isSuccessLine(batch.kind, batch.files[p], lines[n])) result.fileFailed = true;
      }
    }
    for (const std::string& line : lines) output.line(line);
    output.fileDone(p + 1, total);
  }
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  result.noServer = jobsStarted == 0;
  result.serverLost = !result.noServer && result.filesDone < total;
  return result;
}

}  // namespace cli
