// Our out-of-process test office as its tests reach it: the program beside
// theirs, registered under the suites' ProgIDs in the prefix they run in, and
// the registry key its behaviour is set in.
#pragma once

#include <windows.h>

#include <filesystem>

namespace testoffice {

inline constexpr const wchar_t* kSettingsKey = L"Software\\Ravelsk\\TestOffice";

// name in the folder of the running test program.
std::filesystem::path besideThisProgram(const wchar_t* name);

// Registers the test office; the exit code of its /regserver (0: done).
DWORD registerServer();

}  // namespace testoffice
