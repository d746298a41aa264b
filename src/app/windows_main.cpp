// Ravelsk on Windows: the Win32 window over the window model, with the
// office suites' own servers reached through COM.
#include <windows.h>

#include <commctrl.h>

#include "cli/options.h"
#include "cli/windows_backup.h"
#include "cli/windows_main.h"
#include "office/com/com_backend.h"
#include "replace/journal.h"
#include "ui/main_window.h"
#include "ui/win32/main_window_view.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // With options of ours the batch runs without a window, as on Linux.
  const std::vector<std::string> args = cli::windowsArguments();
  if (cli::wantsCommandLine(args)) return cli::windowsMain(args, cli::windowsProgramFolder());

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // The suites' servers and the picture decoder want a single-threaded apartment.
  office::com::Apartment apartment;

  office::ServerRegistry servers;
  office::com::createThroughCom(servers);
  replace::Clock clock;

  ui::Form1Context context = ui::userContext(servers, clock, cli::windowsProgramFolder());
  // The suites write each file themselves: its original is copied aside
  // just before the suite saves it.
  context.keepOriginalsIn = [](const std::string& folder, const std::string& backupFolder) {
    return folder.empty() ? std::unique_ptr<replace::OriginalKeeper>()
                          : cli::keepOriginalsIn(folder, backupFolder);
  };
  ui::Form1 form(std::move(context));
  ui::win32::MainWindowView window(form, instance);
  form.Form_Load();
  window.show();

  MSG msg;
  while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (window.preTranslate(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return static_cast<int>(msg.wParam);
}
