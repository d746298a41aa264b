// Internal text is UTF-8; these convert it where it leaves the program: file
// names for the file system and journal lines for the system code page.
#pragma once

#include <clocale>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace text {

// A file name as UTF-8 and back, losslessly. The name's bytes are read in the
// locale's codeset (systemCodeset()); each byte that does not decode is carried
// as the code point U+DC80..U+DCFF (Python's "surrogateescape"), written in
// the string as its three UTF-8 bytes, so pathFromUtf8 gives back exactly the
// bytes utf8FromPath was given, and the file a run opens is the file listed.
// Such a string is not valid UTF-8: show it with displayName.
std::filesystem::path pathFromUtf8(std::string_view utf8);
std::string utf8FromPath(const std::filesystem::path& path);

// The locale's reading of a name for the screen: every escaped byte (and any
// other byte that is not UTF-8) becomes U+FFFD.
std::string displayName(std::string_view utf8);

// UTF-8 text as UTF-16, for judging it character by character; a byte that is
// not part of a character becomes U+FFFD.
std::u16string utf16FromUtf8(std::string_view utf8);

// UTF-16 as UTF-8; none when it holds a surrogate without its pair.
std::optional<std::string> utf8FromUtf16(std::u16string_view utf16);

// Where the first byte that is no part of a UTF-8 character stands (an
// overlong form and a surrogate count as none); npos when every byte is.
std::size_t invalidUtf8At(std::string_view bytes);

// Text of the given codeset as UTF-8; none when a byte sequence is no
// character of it or the codeset is unknown. Nothing is replaced or guessed:
// a caller tells encodings apart by it.
std::optional<std::string> decodeText(std::string_view bytes, const std::string& codeset);

// Text the C library wrote in the locale's codeset (dates and times of the
// category LC_TIME, system error texts of LC_CTYPE) as UTF-8; a byte that does
// not decode becomes '?'. Called once, where such text enters the program.
// (Windows hands the program its texts in UTF-16.)
#ifndef _WIN32
std::string utf8FromLocale(std::string_view text, int category = LC_CTYPE);
#endif

// The code page the user's files are written in: the codeset of the user's
// locale on POSIX (UTF-8 under the C locale), the ANSI code page on Windows.
std::string systemCodeset();

// UTF-8 text in the given codeset; a character the codeset cannot hold, or a
// byte that is not UTF-8, becomes '?'. A complete sequence whose value is no
// character (an overlong form, a surrogate such as an escaped byte of a file
// name, a value past U+10FFFF) is one '?'; so is each stray, truncating or
// impossible byte. On Windows a codeset name it does not know raises
// std::invalid_argument.
std::string encodeText(std::string_view utf8, const std::string& codeset);

}  // namespace text
