#include "replace/journal.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "replace/text_encoding.h"

namespace replace {

namespace fs = std::filesystem;

namespace {

std::string formatTime(const std::tm& t, const char* format) {
  std::array<char, 128> buf{};
  std::size_t n = std::strftime(buf.data(), buf.size(), format, &t);
  return utf8FromLocale(std::string_view(buf.data(), n), LC_TIME);
}

std::string failure(std::string_view what, const fs::path& path, const std::string& why) {
  return std::string(what) + utf8FromPath(path) + "（" + why + "）";
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

std::string Clock::shortDate(const std::tm& t) const {
  return formatTime(t, "%x");
}
std::string Clock::longTime(const std::tm& t) const {
  return formatTime(t, "%X");
}

std::string dayName(const std::tm& t) {
  std::array<char, 32> buf{};
  std::snprintf(buf.data(), buf.size(), "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1,
                t.tm_mday);
  return buf.data();
}

Journal::Journal(fs::path folder, const Clock& clock, std::string codeset)
    : folder_(std::move(folder)), clock_(clock), codeset_(std::move(codeset)) {}

void Journal::append(std::string_view text) const {
  const std::string day = dayName(clock_.now());
  const fs::path dayFolder = folder_ / day;

  std::error_code ec;
  if (!fs::exists(fs::symlink_status(dayFolder, ec))) {
    if (!fs::create_directory(dayFolder, ec) && ec) {
      throw JournalError(failure("无法创建日志文件夹 ", dayFolder, utf8FromLocale(ec.message())));
    }
  }

  const fs::path file = dayFolder / (day + ".txt");
  const std::tm stamp = clock_.now();
  std::string line = "时间：" + clock_.shortDate(stamp) + " " + clock_.longTime(stamp) + " ";
  line.append(text);
  std::string bytes = encodeText(line, codeset_) + "\r\n";

#ifdef _WIN32
  std::FILE* out = _wfopen(file.c_str(), L"ab");
#else
  std::FILE* out = std::fopen(file.c_str(), "ab");
#endif
  if (out == nullptr) {
    throw JournalError(failure("无法打开日志文件 ", file, utf8FromLocale(std::strerror(errno))));
  }
  bool written = std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
  int writeErrno = errno;
  bool closed = std::fclose(out) == 0;
  if (!written || !closed) {
    throw JournalError(failure("无法写入日志文件 ", file,
                               utf8FromLocale(std::strerror(written ? errno : writeErrno))));
  }
}

}  // namespace replace
