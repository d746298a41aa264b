#include "com/test_office.h"

#include <string>

namespace testoffice {

std::filesystem::path besideThisProgram(const wchar_t* name) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path() / name;
}

PROCESS_INFORMATION startProcess(std::wstring commandLine) {
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &si, &pi)) {
    return {};
  }
  CloseHandle(pi.hThread);
  pi.hThread = nullptr;
  return pi;
}

DWORD registerServer() {
  const PROCESS_INFORMATION pi = startProcess(
      L"\"" + besideThisProgram(L"ravelsk_test_office.exe").wstring() + L"\" /regserver");
  if (pi.hProcess == nullptr) return GetLastError();
  WaitForSingleObject(pi.hProcess, 60000);
  DWORD code = 1;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  return code;
}

}  // namespace testoffice
