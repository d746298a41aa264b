// The command line on Linux: the same program as the window, with the
// LibreOffice servers, started without a window when options are given.
#pragma once

#include <filesystem>

namespace cli {

// Runs the command line over argv; returns the exit status. Creates no
// toolkit object.
int posixMain(int argc, char** argv, const std::filesystem::path& programFolder);

}  // namespace cli
