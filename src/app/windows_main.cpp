// Ravelsk on Windows: the Win32 window over the window model, with the
// office suites' own servers reached through COM.
#include <windows.h>

#include <commctrl.h>

#include <filesystem>
#include <string>

#include "cli/options.h"
#include "cli/windows_main.h"
#include "office/com/com_backend.h"
#include "replace/journal.h"
#include "ui/main_window.h"
#include "ui/win32/main_window_view.h"

namespace {

std::filesystem::path programFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return std::filesystem::path(path).parent_path();
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int) {
  // With options of ours the batch runs without a window, as on Linux.
  const std::vector<std::string> args = cli::windowsArguments();
  if (cli::wantsCommandLine(args)) return cli::windowsMain(args, programFolder());

  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);
  // The suites' servers and the picture decoder want a single-threaded apartment.
  office::com::Apartment apartment;

  office::ServerRegistry servers;
  office::com::createThroughCom(servers);
  replace::Clock clock;

  ui::Form1 form(ui::userContext(servers, clock, programFolder()));
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
