// Internal text is UTF-8; these convert it where it leaves the program: file
// names for the file system and journal lines for the system code page.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace replace {

std::filesystem::path pathFromUtf8(std::string_view utf8);
std::string utf8FromPath(const std::filesystem::path& path);

// The code page the user's files are written in: the codeset of the user's
// locale on POSIX (UTF-8 under the C locale), the ANSI code page on Windows.
std::string systemCodeset();

// UTF-8 text in the given codeset; a character the codeset cannot hold, or a
// byte that is not UTF-8, becomes '?'. On Windows a codeset name it does not
// know raises std::invalid_argument.
std::string encodeText(std::string_view utf8, const std::string& codeset);

}  // namespace replace
