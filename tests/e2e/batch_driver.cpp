// The window model with the real LibreOffice servers and no window: runs one
// document or workbook batch over a folder and prints each status line as it
// comes, so that a test can end the program at a chosen point of a run.
// Usage: ravelsk_batch_driver doc|xls FOLDER FIND REPLACE
// Prints "LINE <status line>" per line, "MESSAGE <text>" per message box and
// "DONE" at the end. Ends as any program is ended: SIGTERM, SIGINT, SIGHUP.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "office/libreoffice/libreoffice_server.h"
#include "platform/posix/termination.h"
#include "replace/journal.h"
#include "ui/main_window.h"

namespace {

namespace fs = std::filesystem;

std::string withoutLineEnd(std::string text) {
  while (!text.empty() && (text.back() == '\r' || text.back() == '\n')) text.pop_back();
  return text;
}

class PrintingView : public ui::FormView {
 public:
  void showMessage(const std::string& text) override {
    std::printf("MESSAGE %s\n", withoutLineEnd(text).c_str());
    std::fflush(stdout);
  }
  void showForm3(ui::Form3&) override {}
  void text3Appended(const std::string& line) override {
    std::printf("LINE %s\n", withoutLineEnd(line).c_str());
    std::fflush(stdout);
  }
  void refresh() override {}
};

}  // namespace

int main(int argc, char** argv) {
  platform::posix::installTerminationHandlers();
  const std::string kind = argc == 5 ? argv[1] : "";
  if (kind != "doc" && kind != "xls") {
    std::fprintf(stderr, "usage: %s doc|xls FOLDER FIND REPLACE\n", argv[0]);
    return 2;
  }
  office::ServerRegistry servers;
  if (!office::libreoffice::registerServers(servers)) {
    std::fprintf(stderr, "no LibreOffice installed\n");
    return 1;
  }
  // The journal goes to a folder of this run's own.
  const char* tmp = std::getenv("TMPDIR");
  std::string journal =
      (fs::path(tmp != nullptr && *tmp == '/' ? tmp : "/tmp") / "ravelsk-driver-XXXXXX").string();
  if (::mkdtemp(journal.data()) == nullptr) return 1;

  replace::Clock clock;
  ui::Form1Context context;
  context.servers = &servers;
  context.clock = &clock;
  context.programFolder = journal;
  context.startFolder = argv[2];
  context.codeset = "UTF-8";
  PrintingView view;
  ui::Form1 form(context, &view);
  form.Form_Load();
  form.clickOption(kind == "doc" ? 1 : 2);
  form.openFolder(argv[2]);
  form.Text1.text = argv[3];
  form.Text2.text = argv[4];
  if (kind == "doc") {
    form.Command1_Click();
  } else {
    form.Command2_Click();
  }
  std::printf("DONE\n");
  std::fflush(stdout);
  std::error_code ec;
  fs::remove_all(journal, ec);
  return 0;
}
