// One long document batch through the window model with the real LibreOffice
// server: how much memory its offices take, and whether the time per file
// grows as the batch goes on.
// Usage: ravelsk_memory_bench DOC_FOLDER FIND REPLACE
// Prints "files", "offices", "office_peak_mb" (the highest resident memory any
// office the run started reached, from the kernel's high-water mark),
// "first100_ms_per_file" and "last100_ms_per_file".
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "office/libreoffice/libreoffice_server.h"
#include "platform/posix/termination.h"
#include "replace/journal.h"
#include "ui/main_window.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Watches the offices this process starts (its soffice.bin children).
class OfficeMemory {
 public:
  void sample() {
    std::lock_guard lock(mutex_);
    const std::string self = std::to_string(::getpid());
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator("/proc", ec)) {
      const std::string pid = entry.path().filename().string();
      if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
      std::ifstream status(entry.path() / "status");
      std::string line, name, parent;
      std::size_t peakKb = 0;
      while (std::getline(status, line)) {
        if (line.rfind("Name:", 0) == 0) name = line.substr(line.find_first_not_of(" \t", 5));
        if (line.rfind("PPid:", 0) == 0) parent = line.substr(line.find_first_not_of(" \t", 5));
        if (line.rfind("VmHWM:", 0) == 0) peakKb = std::stoull(line.substr(6));
      }
      if (name != "soffice.bin" || parent != self) continue;
      offices_.insert(pid + "/" + startTime(entry.path()));
      if (peakKb * 1024 > peak_) peak_ = peakKb * 1024;
    }
  }
  std::size_t peakBytes() const { return peak_; }
  std::size_t offices() const { return offices_.size(); }

 private:
  static std::string startTime(const fs::path& process) {
    std::ifstream in(process / "stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return "";
    std::istringstream fields(stat.substr(close + 1));
    std::string field;
    for (int number = 3; fields >> field; ++number) {
      if (number == 22) return field;
    }
    return "";
  }

  std::mutex mutex_;
  std::size_t peak_ = 0;
  std::set<std::string> offices_;  // PID and start time: a PID may come again
};

// Notes when each result line arrives, and the offices' memory with it.
class SamplingView : public ui::FormView {
 public:
  explicit SamplingView(OfficeMemory& memory) : memory_(memory) {}
  std::vector<Clock::time_point> lines;
  void showMessage(const std::string&) override {}
  void showForm3(ui::Form3&) override {}
  void text3Appended(const std::string&) override {
    lines.push_back(Clock::now());
    memory_.sample();
  }
  void refresh() override {}

 private:
  OfficeMemory& memory_;
};

double msPerFile(Clock::time_point from, Clock::time_point to, std::size_t files) {
  return std::chrono::duration<double, std::milli>(to - from).count() / double(files);
}

}  // namespace

int main(int argc, char** argv) {
  platform::posix::installTerminationHandlers();
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s DOC_FOLDER FIND REPLACE\n", argv[0]);
    return 2;
  }
  office::ServerRegistry servers;
  if (!office::libreoffice::registerServers(servers)) {
    std::fprintf(stderr, "no LibreOffice installed\n");
    return 1;
  }
  replace::Clock clock;
  ui::Form1Context context;
  context.servers = &servers;
  context.clock = &clock;
  context.programFolder =
      fs::temp_directory_path() / ("ravelsk-bench-" + std::to_string(::getpid()));
  fs::create_directories(context.programFolder);
  context.startFolder = argv[1];
  context.codeset = "UTF-8";

  OfficeMemory memory;
  SamplingView view(memory);
  // Between lines too: an office may grow and be replaced within one file.
  std::atomic<bool> done{false};
  std::thread sampler([&] {
    while (!done) {
      memory.sample();
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
  });

  ui::Form1 form(context, &view);
  form.Form_Load();
  form.clickOption(1);
  form.openFolder(argv[1]);
  form.Text1.text = argv[2];
  form.Text2.text = argv[3];
  form.Command1_Click();
  done = true;
  sampler.join();

  const std::size_t files = view.lines.size();
  std::printf("files %zu\noffices %zu\noffice_peak_mb %.1f\n", files, memory.offices(),
              double(memory.peakBytes()) / (1024.0 * 1024.0));
  if (files > 200) {
    // From the first line on, so the office's start is not counted.
    std::printf("first100_ms_per_file %.1f\nlast100_ms_per_file %.1f\n",
                msPerFile(view.lines[0], view.lines[100], 100),
                msPerFile(view.lines[files - 101], view.lines[files - 1], 100));
  }
  std::error_code ec;
  fs::remove_all(context.programFolder, ec);
  return 0;
}
