// The command line on Windows: the same program as the window, with the
// suites' COM servers, started without a window when options are given, and
// writing to the console it was started from.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace cli {

// The program's arguments as UTF-8, without the program name.
std::vector<std::string> windowsArguments();

// The folder the running program is in.
std::filesystem::path windowsProgramFolder();

// Runs the command line over args; returns the exit status. Creates no window.
int windowsMain(const std::vector<std::string>& args, const std::filesystem::path& programFolder);

}  // namespace cli
