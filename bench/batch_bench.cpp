// Times whole batches through the window model with the real LibreOffice
// server: one document batch, then one workbook batch.
// Usage: ravelsk_bench DOC_FOLDER XLS_FOLDER FIND REPLACE
// Prints "start_ms", "doc_ms_per_file" and "xls_ms_per_file".
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "office/libreoffice/libreoffice_server.h"
#include "replace/journal.h"
#include "ui/main_window.h"

namespace {

using Clock = std::chrono::steady_clock;

// Notes when each result line arrives.
class TimingView : public ui::FormView {
 public:
  std::vector<Clock::time_point> lines;
  void showMessage(const std::string&) override {}
  void showForm3(ui::Form3&) override {}
  void text3Appended(const std::string&) override { lines.push_back(Clock::now()); }
  void refresh() override {}
};

double ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s DOC_FOLDER XLS_FOLDER FIND REPLACE\n", argv[0]);
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
  context.programFolder = std::filesystem::temp_directory_path() / "ravelsk-bench";
  std::filesystem::create_directories(context.programFolder);
  context.startFolder = argv[1];
  context.codeset = "UTF-8";
  TimingView view;
  ui::Form1 form(context, &view);
  form.Form_Load();

  // Documents: the first line carries the office start with it.
  form.clickOption(1);
  form.openFolder(argv[1]);
  form.Text1.text = argv[3];
  form.Text2.text = argv[4];
  const auto docStart = Clock::now();
  form.Command1_Click();
  const std::size_t docs = form.File1.entries.size();
  const double docPerFile = ms(view.lines.back() - view.lines.front()) / double(docs - 1);
  const double start = ms(view.lines.front() - docStart) - docPerFile;

  // Workbooks: per file from the end of one workbook's lines to the next.
  form.clickOption(2);
  form.openFolder(argv[2]);
  form.Text1.text = argv[3];
  form.Text2.text = argv[4];
  view.lines.clear();
  const auto xlsStart = Clock::now();
  form.Command2_Click();
  const auto xlsEnd = Clock::now();
  const std::size_t books = form.File1.entries.size();
  const double xlsPerFile = (ms(xlsEnd - xlsStart) - start) / double(books);

  std::printf("start_ms %.1f\ndoc_ms_per_file %.1f\nxls_ms_per_file %.1f\n", start, docPerFile,
              xlsPerFile);
  std::filesystem::remove_all(context.programFolder);
  return 0;
}
