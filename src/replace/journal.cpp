#include "replace/journal.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <stdexcept>
#include <system_error>

#include "text/system_text.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace replace {

namespace fs = std::filesystem;

namespace {

#ifndef _WIN32
std::string formatTime(const std::tm& t, const char* format) {
  std::array<char, 128> buf{};
  std::size_t n = std::strftime(buf.data(), buf.size(), format, &t);
  return text::utf8FromLocale(std::string_view(buf.data(), n), LC_TIME);
}
#endif

std::string failure(std::string_view what, const fs::path& path, const std::string& why) {
  return std::string(what) + text::utf8FromPath(path) + "（" + why + "）";
}

}  // namespace

std::tm Clock::now() const {
  std::time_t t = std::time(nullptr);
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &t);
#else
  localtime_r(&t, &local);
#endif
  return local;
}

#ifdef _WIN32

// mingw's strftime gives "03/05/21 08:04:09" whatever the user chose; the
// user's forms come from the locale functions.
namespace {

SYSTEMTIME systemTime(const std::tm& t) {
  SYSTEMTIME st{};
  st.wYear = static_cast<WORD>(t.tm_year + 1900);
  st.wMonth = static_cast<WORD>(t.tm_mon + 1);
  st.wDay = static_cast<WORD>(t.tm_mday);
  st.wDayOfWeek = static_cast<WORD>(t.tm_wday);
  st.wHour = static_cast<WORD>(t.tm_hour);
  st.wMinute = static_cast<WORD>(t.tm_min);
  st.wSecond = static_cast<WORD>(t.tm_sec);
  return st;
}

}  // namespace

std::string Clock::shortDate(const std::tm& t) const {
  const SYSTEMTIME st = systemTime(t);
  wchar_t buf[128];
  int n =
      GetDateFormatEx(LOCALE_NAME_USER_DEFAULT, DATE_SHORTDATE, &st, nullptr, buf, 128, nullptr);
  return n > 0 ? text::utf8FromWide(std::wstring_view(buf, static_cast<std::size_t>(n - 1))) : "";
}

std::string Clock::longTime(const std::tm& t) const {
  const SYSTEMTIME st = systemTime(t);
  wchar_t buf[128];
  int n = GetTimeFormatEx(LOCALE_NAME_USER_DEFAULT, 0, &st, nullptr, buf, 128);
  return n > 0 ? text::utf8FromWide(std::wstring_view(buf, static_cast<std::size_t>(n - 1))) : "";
}

#else

std::string Clock::shortDate(const std::tm& t) const {
  return formatTime(t, "%x");
}
std::string Clock::longTime(const std::tm& t) const {
  return formatTime(t, "%X");
}

#endif

std::string dayName(const std::tm& t) {
  std::array<char, 32> buf{};
  std::snprintf(buf.data(), buf.size(), "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday);
  return buf.data();
}

Journal::Journal(fs::path folder, const Clock& clock, std::string codeset)
    : folder_(std::move(folder)), clock_(clock), codeset_(std::move(codeset)) {}

namespace {

#ifdef _WIN32

void makeDayFolder(const fs::path& dayFolder) {
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(dayFolder, ec))) {
    if (!fs::create_directory(dayFolder, ec) && ec) {
      throw JournalError(failure("无法创建日志文件夹 ", dayFolder, text::errorText(ec)));
    }
  }
}

// Append access only: Windows puts each write at the end of the file as one,
// whoever else is appending.
void appendToFile(const fs::path& file, const std::string& bytes) {
  HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    throw JournalError(failure("无法打开日志文件 ", file, text::windowsErrorText(GetLastError())));
  }
  DWORD written = 0;
  const bool ok =
      WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) != 0 &&
      written == bytes.size();
  const DWORD error = GetLastError();
  const bool closed = CloseHandle(h) != 0;
  if (!ok || !closed) {
    throw JournalError(
        failure("无法写入日志文件 ", file, text::windowsErrorText(ok ? GetLastError() : error)));
  }
}

#else

void makeDayFolder(const fs::path& dayFolder) {
  if (::mkdir(dayFolder.c_str(), 0777) != 0 && errno != EEXIST) {
    throw JournalError(failure("无法创建日志文件夹 ", dayFolder, text::errnoText(errno)));
  }
}

// O_APPEND and one write: the line lands at the end of the file whole, also
// beside another run's lines written at the same moment.
void appendToFile(const fs::path& file, const std::string& bytes) {
  const int folder =
      ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) throw JournalError(failure("无法打开日志文件 ", file, text::errnoText(errno)));
  const int fd = ::openat(folder, file.filename().c_str(),
                          O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  const int openErrno = errno;
  ::close(folder);
  if (fd < 0) throw JournalError(failure("无法打开日志文件 ", file, text::errnoText(openErrno)));
  ssize_t written;
  do {
    written = ::write(fd, bytes.data(), bytes.size());
  } while (written < 0 && errno == EINTR);
  const int writeErrno = written < 0 ? errno : ENOSPC;  // a short write: the disk is full
  const bool closed = ::close(fd) == 0;
  if (written != static_cast<ssize_t>(bytes.size()) || !closed) {
    throw JournalError(failure(
        "无法写入日志文件 ", file,
        text::errnoText(written == static_cast<ssize_t>(bytes.size()) ? errno : writeErrno)));
  }
}

#endif

}  // namespace

void Journal::append(std::string_view text) const {
  if (folder_.empty()) throw JournalError(kNoJournalFolder);
  const std::string day = dayName(clock_.now());
  const fs::path dayFolder = folder_ / day;
  makeDayFolder(dayFolder);

  const fs::path file = dayFolder / (day + ".txt");
  const std::tm stamp = clock_.now();
  std::string line = "时间：" + clock_.shortDate(stamp) + " " + clock_.longTime(stamp) + " ";
  line.append(text);
  std::string bytes;
  try {
    bytes = text::encodeText(line, codeset_) + "\r\n";
  } catch (const std::invalid_argument& e) {
    throw JournalError(e.what());
  }
  appendToFile(file, bytes);
}

}  // namespace replace
