#include "cli/batch.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include "files/folder_listing.h"
#include "replace/document_run.h"
#include "replace/run_host.h"
#include "replace/same_file.h"
#include "replace/workbook_run.h"
#include "text/text_encoding.h"

namespace cli {

namespace fs = std::filesystem;

replace::ServerChoice serverChoice(FileKind kind, office::Suite suite) {
  if (suite == office::Suite::Wps) return replace::kWpsServer;
  return kind == FileKind::Documents ? replace::kWordServer : replace::kExcelServer;
}

std::string filePattern(FileKind kind) {
  return kind == FileKind::Documents ? "*.doc" : "*.xls";
}

std::vector<std::string> listBatchFiles(const std::string& folder, FileKind kind, bool recursive) {
  return recursive ? files::listFilesBelow(folder, filePattern(kind))
                   : files::listFiles(folder, filePattern(kind));
}

namespace {

// What the jobs report, and what the caller's thread hands on in order. A job
// takes the next file of the list each time it is ready for one, so a slow
// office or a folder of heavy files keeps no other job waiting, and a job
// whose server cannot start leaves its files to the others.
struct Progress {
  struct Job {
    std::vector<replace::RunResult> startLines;  // reported before its first file
    std::vector<std::size_t> taken;              // positions in the list, in order; the last begun
    bool finished = false;
  };
  // A file is complete once its job asks for another (the runs ask only
  // between files) or ends: no line of its can come after that.
  struct File {
    static constexpr unsigned kNobody = ~0u;
    unsigned job = kNobody;
    bool begun = false;
    bool complete = false;
    std::vector<replace::RunResult> lines;
    // When the program may be ended at once: the file as it was when begun,
    // to tell at the ending whether its new content has reached the disk.
    std::optional<std::pair<fs::file_time_type, std::uintmax_t>> stamp;
  };
  std::mutex mutex;
  std::condition_variable changed;
  std::size_t next = 0;  // the first file no job has taken
  std::vector<File> files;
  std::vector<Job> jobs;
  // Lines are written by the caller's thread, or by an ending, under
  // writing (taken before mutex); output is null once runBatch has returned.
  std::mutex writing;
  std::size_t written = 0;  // files whose lines are written, in list order
  BatchOutput* output = nullptr;
  bool takenOver = false;  // the ending wrote what was held; nothing more is written
  // Several jobs that cannot start say the same thing: it is said once, as
  // one server would.
  std::set<std::string> startLinesShown;
  // Copied for an ending, which may outlive runBatch.
  std::string folder;
  std::vector<std::string> names;
  // Shared by the jobs: a second name of a file is skipped whichever job
  // takes it.
  replace::SameFiles sameFiles;

  bool allFinished() const {
    return std::all_of(jobs.begin(), jobs.end(), [](const Job& job) { return job.finished; });
  }
  void takeStartLines(Job& job, std::vector<replace::RunResult>& lines) {
    for (replace::RunResult& line : job.startLines) {
      if (startLinesShown.insert(line.line).second) lines.push_back(std::move(line));
    }
    job.startLines.clear();
  }
};

// What a file is on disk: when it was last written, and its size.
std::optional<std::pair<fs::file_time_type, std::uintmax_t>> stampOf(const std::string& folder,
                                                                     const std::string& entry) {
  const fs::path path = text::pathFromUtf8(replace::composePath(folder, entry));
  std::error_code ec;
  const fs::file_time_type written = fs::last_write_time(path, ec);
  if (ec) return std::nullopt;
  const std::uintmax_t size = fs::file_size(path, ec);
  if (ec) return std::nullopt;
  return std::pair{written, size};
}

// The run's host as one job sees it: the files it has taken so far, and
// every line it reports filed under the file being worked on.
class JobHost : public replace::RunHost {
 public:
  JobHost(const Batch& batch, Progress& progress, unsigned job)
      : batch_(batch),
        progress_(progress),
        job_(job),
        findText_(batch.pairs.at(0).find),
        replaceText_(batch.pairs.at(0).replace) {}

  // The file before is complete, and the next of the list no job has taken
  // is this job's, begun now.
  std::optional<replace::RunFile> nextFile() override {
    std::size_t position = 0;
    {
      std::lock_guard lock(progress_.mutex);
      Progress::Job& state = progress_.jobs[job_];
      if (!state.taken.empty()) progress_.files[state.taken.back()].complete = true;
      const bool stopping = batch_.stop != nullptr && batch_.stop->load();
      if (progress_.next >= progress_.files.size() || stopping) {
        progress_.changed.notify_all();
        return std::nullopt;
      }
      position = progress_.next++;
      state.taken.push_back(position);
      progress_.files[position].job = job_;
      progress_.files[position].begun = true;
      progress_.changed.notify_all();
    }
    // The file is looked at outside the lock all jobs share: a slow share
    // then holds up this job only.
    if (batch_.whenEnded) {
      auto stamp = stampOf(batch_.folder, batch_.files.at(position));
      std::lock_guard lock(progress_.mutex);
      progress_.files[position].stamp = std::move(stamp);
    }
    std::lock_guard lock(progress_.mutex);
    return replace::RunFile{batch_.files.at(position), progress_.sameFiles.firstName(position)};
  }
  std::string folder() const override { return batch_.folder; }
  std::string findText() const override { return findText_; }
  std::string replaceText() const override { return replaceText_; }
  office::Object findTextBox() override { return replace::textBoxObject(findText_); }
  office::Object replaceTextBox() override { return replace::textBoxObject(replaceText_); }
  std::size_t pairCount() const override { return batch_.pairs.size(); }
  void selectPair(std::size_t pair) override {
    findText_ = batch_.pairs.at(pair).find;
    replaceText_ = batch_.pairs.at(pair).replace;
  }
  bool countOnly() const override { return batch_.countOnly; }
  bool matchCase() const override { return batch_.matchCase; }
  void keepOriginal(const std::string& entry) override {
    if (batch_.keeper != nullptr) batch_.keeper->keep(entry);
  }
  bool keepsOriginals() const override { return batch_.keeper != nullptr; }
  void saveFailed(const std::string& entry) override {
    if (batch_.keeper != nullptr) batch_.keeper->saveFailed(entry);
  }
  void report(const std::string& text) override {
    replace::RunResult result;
    result.line = text;
    reportResult(result);
  }
  void reportResult(const replace::RunResult& result) override {
    std::lock_guard lock(progress_.mutex);
    Progress::Job& state = progress_.jobs[job_];
    if (state.taken.empty()) {
      state.startLines.push_back(result);
    } else {
      progress_.files[state.taken.back()].lines.push_back(result);
    }
  }

 private:
  const Batch& batch_;
  Progress& progress_;
  unsigned job_;
  std::string findText_;
  std::string replaceText_;
};

void runJob(const Batch& batch, const office::ServerRegistry& servers, Progress& progress,
            unsigned job) {
  JobHost host(batch, progress, job);
  const replace::ServerChoice choice = serverChoice(batch.kind, batch.suite);
  if (batch.kind == FileKind::Documents) {
    replace::runDocuments(servers, choice, host);
  } else {
    replace::runWorkbooks(servers, choice, host);
  }
}

// How long an ending waits for a lock, and for the line of a file whose new
// content is on disk: a job hands it in right after the placement.
constexpr auto kEndingWait = std::chrono::seconds(3);

// Run by an ending on its own thread, while the jobs and the caller's thread
// go on, just before the program ends: the lines held back for the list's
// order are written now, out of that order, and so is the line of a file
// whose new content is on disk but whose job has not handed it in yet (it is
// waited for a while; failing that, the file is said replaced). A file left
// half done gets no line, as it would not have had one. Each lock is waited
// for a bounded time only: no thread may keep the program from ending.
void writeHeldLines(Progress& progress) {
  const auto deadline = std::chrono::steady_clock::now() + kEndingWait;
  const auto lockInTime = [&deadline](std::mutex& mutex) {
    std::unique_lock lock(mutex, std::defer_lock);
    while (!lock.try_lock() && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return lock;
  };
  std::unique_lock writing = lockInTime(progress.writing);
  if (!writing.owns_lock() || progress.output == nullptr || progress.takenOver) return;
  std::vector<replace::RunResult> lines;
  for (;;) {
    std::unique_lock lock = lockInTime(progress.mutex);
    if (!lock.owns_lock()) return;
    const auto onDisk = [&progress](std::size_t p) {
      const Progress::File& file = progress.files[p];
      if (!file.begun || file.complete || !file.stamp) return false;
      const auto now = stampOf(progress.folder, progress.names[p]);
      return now && now != file.stamp;
    };
    bool waiting = false;
    for (std::size_t p = progress.written; p < progress.files.size(); ++p) {
      if (onDisk(p)) waiting = true;
    }
    if (waiting && std::chrono::steady_clock::now() < deadline) {
      lock.unlock();
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    for (Progress::Job& job : progress.jobs) progress.takeStartLines(job, lines);
    for (std::size_t p = progress.written; p < progress.files.size(); ++p) {
      Progress::File& file = progress.files[p];
      const bool placed = onDisk(p);
      if (!file.complete && !placed) continue;
      if (placed && file.lines.empty()) {
        replace::RunResult replaced;
        replaced.entry = progress.names[p];
        replaced.outcome = replace::RunResult::Outcome::Replaced;
        replaced.line = replaced.entry + " 已替换内容";
        lines.push_back(std::move(replaced));
      }
      for (replace::RunResult& line : file.lines) lines.push_back(std::move(line));
      file.lines.clear();
    }
    progress.takenOver = true;
    break;
  }
  for (const replace::RunResult& line : lines) progress.output->result(line);
}

}  // namespace

BatchResult runBatch(const Batch& batch, const RegistryForJob& registryFor, BatchOutput& output) {
  BatchResult result;
  const std::size_t total = batch.files.size();
  if (total == 0) return result;
  const unsigned jobs =
      static_cast<unsigned>(std::min<std::size_t>(std::max(batch.jobs, 1u), total));

  // Shared with an ending, which may come after the return.
  const auto shared = std::make_shared<Progress>();
  Progress& progress = *shared;
  progress.output = &output;
  progress.files.resize(total);
  progress.sameFiles = replace::SameFiles(batch.folder, batch.files);
  progress.jobs.resize(jobs);
  std::shared_ptr<void> ending;
  if (batch.whenEnded) {
    progress.folder = batch.folder;
    progress.names = batch.files;
    ending = batch.whenEnded([shared] { writeHeldLines(*shared); });
  }
  // However the run returns, an ending after that writes nothing.
  struct Returned {
    Progress& progress;
    ~Returned() {
      std::lock_guard lock(progress.writing);
      progress.output = nullptr;
    }
  } returned{progress};
  std::vector<std::exception_ptr> errors(jobs);
  std::vector<std::thread> threads;
  threads.reserve(jobs);
  for (unsigned job = 0; job < jobs; ++job) {
    threads.emplace_back([&, job] {
      try {
        runJob(batch, registryFor(job), progress, job);
      } catch (...) {
        errors[job] = std::current_exception();
      }
      std::lock_guard lock(progress.mutex);
      progress.jobs[job].finished = true;
      for (std::size_t position : progress.jobs[job].taken)
        progress.files[position].complete = true;
      progress.changed.notify_all();
    });
  }

  using Results = std::vector<replace::RunResult>;
  for (std::size_t p = 0; p < total; ++p) {
    Results lines;
    std::size_t ownLines = 0;  // where the file's own lines begin
    bool ran;
    std::unique_lock writing(progress.writing, std::defer_lock);
    {
      std::unique_lock lock(progress.mutex);
      Progress::File& file = progress.files[p];
      progress.changed.wait(lock, [&] {
        return file.complete || (file.job == Progress::File::kNobody && progress.allFinished());
      });
      lock.unlock();
      writing.lock();
      lock.lock();
      if (progress.takenOver) break;
      if (file.job != Progress::File::kNobody) {
        Progress::Job& job = progress.jobs[file.job];
        if (job.taken.front() == p) progress.takeStartLines(job, lines);
      } else {
        // Nobody could take it: what stopped them is said here, as one
        // server says it before the files it never reaches.
        for (Progress::Job& job : progress.jobs) progress.takeStartLines(job, lines);
      }
      ran = file.begun;
      ownLines = lines.size();
      for (replace::RunResult& line : file.lines) lines.push_back(std::move(line));
    }
    if (ran) {
      ++result.filesDone;
      for (std::size_t n = ownLines; n < lines.size(); ++n) {
        if (lines[n].outcome == replace::RunResult::Outcome::Failed) result.fileFailed = true;
      }
    }
    for (const replace::RunResult& line : lines) output.result(line);
    output.fileDone(p + 1, total);
    progress.written = p + 1;
  }
  for (std::thread& thread : threads) thread.join();
  {
    // A job whose server could not start while the others did all the work.
    std::lock_guard writing(progress.writing);
    std::unique_lock lock(progress.mutex);
    Results lines;
    if (!progress.takenOver) {
      for (Progress::Job& job : progress.jobs) progress.takeStartLines(job, lines);
    }
    lock.unlock();
    for (const replace::RunResult& line : lines) output.result(line);
  }
  for (const std::exception_ptr& error : errors) {
    if (error) std::rethrow_exception(error);
  }
  result.stopped = progress.takenOver ||
                   (batch.stop != nullptr && batch.stop->load() && result.filesDone < total);
  result.noServer = result.filesDone == 0 && !result.stopped;
  result.serverLost = !result.noServer && !result.stopped && result.filesDone < total;
  return result;
}

}  // namespace cli
