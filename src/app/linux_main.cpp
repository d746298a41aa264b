// Ravelsk on Linux: the command line when started with options, else the Qt
// window over the window model; word.Application and excel.Application are
// served by LibreOffice.

#include <fcntl.h>
#include <unistd.h>

#include <QApplication>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/posix_main.h"
#include "office/libreoffice/libreoffice_server.h"
#include "platform/posix/termination.h"
#include "replace/journal.h"
#include "text/text_encoding.h"
#include "ui/main_window.h"
#include "ui/qt/main_window_view.h"

namespace {

constexpr const char* kNoDisplay =
    "ravelsk: 没有可用的图形显示，无法打开窗口（请在桌面环境中运行，或设置 DISPLAY）\n";

bool haveDisplay() {
  for (const char* name : {"QT_QPA_PLATFORM", "DISPLAY", "WAYLAND_DISPLAY"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && *value != 0) return true;
  }
  return false;
}

// A display that is named but cannot be reached ends Qt with a fatal message,
// after a few warnings: say it in one line instead of aborting.
void startupMessages(QtMsgType type, const QMessageLogContext&, const QString&) {
  if (type == QtFatalMsg) {
    std::fputs(kNoDisplay, stderr);
    std::_Exit(2);
  }
}

// A program started with descriptor 0, 1 or 2 closed would hand it to the
// first file or pipe it opens (the ending's signal pipe among them), and
// what it writes to standard output would go there. Each closed one is held
// by /dev/null, read-only, so that writing to a closed output still fails
// as it would have, and is said so.
void occupyStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    const int opened = ::open("/dev/null", O_RDONLY);
    if (opened >= 0 && opened != fd) {
      ::dup2(opened, fd);
      ::close(opened);
    }
  }
}

std::filesystem::path programFolder() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::filesystem::current_path() : exe.parent_path();
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything opens a descriptor.
  occupyStandardDescriptors();
  // Then: told to end at any later moment, the program ends its offices and
  // removes what they left.
  platform::posix::installTerminationHandlers();
  std::setlocale(LC_ALL, "");
  if (cli::wantsCommandLine(std::vector<std::string>(argv + 1, argv + argc))) {
    return cli::posixMain(argc, argv, programFolder());
  }
  if (!haveDisplay()) {
    std::fputs(kNoDisplay, stderr);
    return 2;
  }
  qInstallMessageHandler(startupMessages);
  QApplication app(argc, argv);
  qInstallMessageHandler(nullptr);
  ui::qt::configureApplication();

  office::ServerRegistry servers;
  // The offices keep each run's originals where the window says, as they
  // place the new content.
  office::libreoffice::Options options;
  options.backupPlace = std::make_shared<office::libreoffice::Options::BackupPlace>();
  office::libreoffice::registerServers(servers, options);
  replace::Clock clock;

  ui::Form1Context context = ui::userContext(servers, clock, programFolder());
  context.keepOriginalsIn = [place = options.backupPlace](const std::string& folder,
                                                          const std::string& backupFolder) {
    place->root = text::pathFromUtf8(folder);
    place->folder = text::pathFromUtf8(backupFolder);
    return std::unique_ptr<replace::OriginalKeeper>();
  };
  ui::Form1 form(std::move(context));
  ui::qt::MainWindowView window(form);
  form.Form_Load();
  window.show();
  window.centre();
  return QApplication::exec();
}
