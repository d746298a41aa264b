// ravelsk.com: the command line as a console program. cmd.exe and PowerShell
// wait for a console program and take its exit status, which they do not for
// a windowed one such as ravelsk.exe; typed as "ravelsk", the .com beside the
// .exe is the one found. Without options it opens the window (ravelsk.exe).
#include <windows.h>

#include <string>

#include "cli/options.h"
#include "cli/windows_main.h"
#include "text/system_text.h"

int wmain() {
  const std::vector<std::string> args = cli::windowsArguments();
  const std::filesystem::path folder = cli::windowsProgramFolder();
  if (cli::wantsCommandLine(args)) return cli::windowsMain(args, folder);

  // The window takes no arguments.
  const std::filesystem::path window = folder / L"ravelsk.exe";
  std::wstring command = L"\"" + window.wstring() + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(window.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    const std::string message =
        "ravelsk: 无法打开窗口：" + text::windowsErrorText(GetLastError()) + "\r\n";
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    const std::wstring wide = text::wideFromUtf8(message);
    DWORD written = 0;
    if (WriteConsoleW(err, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr) == 0) {
      WriteFile(err, message.data(), static_cast<DWORD>(message.size()), &written, nullptr);
    }
    return 2;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return 0;
}
