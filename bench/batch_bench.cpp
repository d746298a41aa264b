// One batch through the window model with the real LibreOffice server, for the
// benchmark: the documents (or the workbooks) of one folder, as a user's click
// on the button runs them.
// Usage: ravelsk_bench doc|xls FOLDER FIND REPLACE
// Prints "file NS" for each file once its last result line is shown (NS: the
// system clock's nanoseconds since the epoch, so that the caller can set them
// against its own), in the list's order.
#include <unistd.h>
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "office/libreoffice/libreoffice_server.h"
#include "replace/journal.h"
#include "ui/main_window.h"

namespace {

// Notes when each result line arrives.
class TimingView : public ui::FormView {
 public:
  std::vector<std::pair<std::string, std::chrono::system_clock::time_point>> lines;
  void showMessage(const std::string&) override {}
  void showForm3(ui::Form3&) override {}
  void text3Appended(const std::string& line) override {
    lines.emplace_back(line, std::chrono::system_clock::now());
  }
  void refresh() override {}
};

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s doc|xls FOLDER FIND REPLACE\n", argv[0]);
    return 2;
  }
  const bool workbooks = std::string(argv[1]) == "xls";
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
      std::filesystem::temp_directory_path() / ("ravelsk-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(context.programFolder);
  context.startFolder = argv[2];
  context.codeset = "UTF-8";
  TimingView view;
  ui::Form1 form(context, &view);
  form.Form_Load();

  form.clickOption(workbooks ? 2 : 1);
  form.openFolder(argv[2]);
  form.Text1.text = argv[3];
  form.Text2.text = argv[4];
  if (workbooks) {
    form.Command2_Click();
  } else {
    form.Command1_Click();
  }

  // A workbook's lines (one per sheet) come together once it is stored: its
  // time is its last line's.
  int missing = 0;
  for (const auto& entry : form.File1.entries) {
    std::chrono::system_clock::time_point done{};
    for (const auto& [line, at] : view.lines) {
      if (line.rfind(entry, 0) == 0 && line.size() > entry.size() &&
          (line[entry.size()] == ' ' || line[entry.size()] == '-')) {
        done = at;
      }
    }
    if (done == std::chrono::system_clock::time_point{}) {
      ++missing;
      continue;
    }
    std::printf(
        "file %lld\n",
        static_cast<long long>(
            std::chrono::duration_cast<std::chrono::nanoseconds>(done.time_since_epoch()).count()));
  }
  std::filesystem::remove_all(context.programFolder);
  return missing == 0 ? 0 : 1;
}
