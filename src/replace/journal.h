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

class Journal {
 public:
  // folder: the "Journal" folder, which must already exist.
  Journal(std::filesystem::path folder, const Clock& clock, std::string codeset);

  // Appends one entry; throws JournalError (nothing written) when the day
  // folder cannot be made or the file cannot be opened or written.
  void append(std::string_view text) const;

  const std::filesystem::path& folder() const { return folder_; }

 private:
  std::filesystem::path folder_;
  const Clock& clock_;
  std::string codeset_;
};

}  // namespace replace
