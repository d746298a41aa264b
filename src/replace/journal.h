// The daily journal: one line per result, "时间：" + date + time + text, in
// Journal/D/D.txt where D is the day written yyyy-mm-dd. The file is opened,
// appended to and closed for every entry, so it is complete on disk after each.
#pragma once

#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace replace {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::tm now() const;
  // The user's short date and long time forms (the locale's %x and %X).
  virtual std::string shortDate(const std::tm& t) const;
  virtual std::string longTime(const std::tm& t) const;
};

// yyyy-mm-dd, zero-padded.
std::string dayName(const std::tm& t);

class JournalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Why there is no journal where no folder is safe for it.
inline constexpr const char* kNoJournalFolder =
    "没有可以安全存放日志的文件夹（程序所在的文件夹不可写，也没有只有当前用户能写入的个人文件夹）";

class Journal {
 public:
  // folder: the "Journal" folder, which must already exist; empty where there
  // is none (every entry then fails with kNoJournalFolder).
  Journal(std::filesystem::path folder, const Clock& clock, std::string codeset);

  // Appends one entry in one write at the end of the file, so that the
  // entries of runs writing at the same moment stay whole; throws JournalError
  // (nothing written) when the day folder cannot be made or the file cannot
  // be opened or written. A link in place of the day's folder or file is not
  // followed.
  void append(std::string_view text) const;

  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  const Clock& clock_;
  std::string codeset_;
};

}  // namespace replace
