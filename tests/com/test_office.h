// Our out-of-process test office as its tests reach it: the program beside
// theirs, registered under the suites' ProgIDs in the prefix they run in, and
// the registry key its behaviour is set in.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace testoffice {

inline constexpr const wchar_t* kSettingsKey = L"Software\\Ravelsk\\TestOffice";

// name in the folder of the running test program.
std::filesystem::path besideThisProgram(const wchar_t* name);

// The event that closes the "dialog" a test office process hangs on.
inline std::wstring releaseEventName(DWORD pid) {
  return L"RavelskTestOfficeRelease" + std::to_wstring(pid);
}

// Starts commandLine with the caller's console and no handles of its; the
// process's handle and id (hProcess null when it could not be started).
PROCESS_INFORMATION startProcess(std::wstring commandLine);

// Registers the test office; the exit code of its /regserver (0: done).
DWORD registerServer();

}  // namespace testoffice
