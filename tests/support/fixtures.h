// Shared test fixtures: a temporary folder, a clock the test sets, a view
// that records what the window model asks of it, and a window wired to them.
#pragma once

#include <ctime>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "office/automation.h"
#include "replace/journal.h"
#include "support/recording_server.h"
#include "ui/main_window.h"

namespace testsupport {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const;  // UTF-8
  // The UTF-8 path of relative inside the folder, with the system's separator.
  std::string sub(const std::string& relative) const;
  // Writes a file (creating its folders) and returns its path.
  std::filesystem::path write(const std::string& relative, const std::string& content = "") const;
  std::filesystem::path mkdir(const std::string& relative) const;

 private:
  std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& file);

// folder and name (UTF-8) joined with the system's separator, as the file
// system would join them; the tests never join paths with a literal "/".
#ifdef _WIN32
inline constexpr const char* kSeparator = "\\";
#else
inline constexpr const char* kSeparator = "/";
#endif
std::string joinPath(const std::string& folder, const std::string& name);

// text in UTF-16 with its BOM, little or big endian, as a file holds it.
std::string utf16WithBom(const std::u16string& text, bool littleEndian);

// A window context's keepOriginalsIn for servers that keep nothing
// themselves: each original is copied under the run's backup folder.
std::function<std::unique_ptr<replace::OriginalKeeper>(const std::string&, const std::string&)>
copyingKeeper();

// The status box's text without the summary that ends each run and preview:
// the lines of the files, for tests about them (the summary has its own).
std::string statusLines(const std::string& text3);

// Documents.Open and Workbooks.Open of path as the runs call them, as the
// recording servers write them down.
std::string documentOpenCall(const std::string& path);
std::string workbookOpenCall(const std::string& path);

// What a document run asks, after the main story, of a document that has no
// other story: a header's range, then each story type in turn, none there.
std::vector<std::string> storyWalkOfAPlainDocument();

// a followed by b, for writing call lists in parts.
std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b);

// Reads the time the test set; dates and times in fixed forms, so journal
// lines can be compared byte for byte.
class FixedClock : public replace::Clock {
 public:
  FixedClock(int year, int month, int day, int hour, int minute, int second);
  std::tm now() const override { return time_; }
  std::string shortDate(const std::tm& t) const override;
  std::string longTime(const std::tm& t) const override;
  void set(int year, int month, int day, int hour, int minute, int second);

 private:
  std::tm time_{};
};

#ifndef _WIN32
// Compiles locale (for example "zh_CN") in charmap ("GBK") with localedef into
// folder and points LOCPATH there, so no system set-up is needed; false when
// localedef fails.
bool buildLocale(const TempFolder& folder, const std::string& locale, const std::string& charmap);

// Switches the process to a locale for the scope, then back to the one before.
class LocaleScope {
 public:
  explicit LocaleScope(const char* name);
  ~LocaleScope();
  LocaleScope(const LocaleScope&) = delete;
  LocaleScope& operator=(const LocaleScope&) = delete;
  bool active() const { return active_; }

 private:
  std::string previous_;
  bool active_;
};
#endif

class RecordingView : public ui::FormView {
 public:
  std::vector<std::string> messages;
  std::vector<const ui::Form3*> form3Shown;
  std::vector<std::string> appended;
  int refreshes = 0;
  int runsStarted = 0;
  int runsEnded = 0;
  std::vector<std::string> questions;
  bool answer = true;  // to every question
  std::vector<std::filesystem::path> foldersShown;
  std::optional<std::string> rulesFile;   // what the file dialog gives
  std::optional<std::string> reportFile;  // what the save dialog gives

  void showMessage(const std::string& text) override { messages.push_back(text); }
  void showForm3(ui::Form3& form) override { form3Shown.push_back(&form); }
  void text3Appended(const std::string& line) override { appended.push_back(line); }
  void refresh() override { ++refreshes; }
  void runStarted() override { ++runsStarted; }
  void runEnded() override { ++runsEnded; }
  std::vector<std::string> progress;  // "current/total", as the title shows it
  void runProgress(std::size_t current, std::size_t total) override {
    progress.push_back(std::to_string(current) + "/" + std::to_string(total));
  }
  std::function<void()> whileAsking;  // what happens while a question is open
  bool confirm(const std::string& question) override {
    questions.push_back(question);
    if (whileAsking) whileAsking();
    return answer;
  }
  void showFolder(const std::filesystem::path& folder) override { foldersShown.push_back(folder); }
  std::optional<std::string> chooseRulesFile() override { return rulesFile; }
  std::optional<std::string> chooseReportFile() override { return reportFile; }
};

// A program folder, a working folder and a window built on them, with a
// server registry the test fills before Form_Load.
struct WindowRig {
  TempFolder programFolder;
  TempFolder userData;
  TempFolder work;
  FixedClock clock{2026, 12, 8, 9, 30, 5};
  office::ServerRegistry servers;
  FakeOffice office;
  RecordingView view;
  std::string codeset = "UTF-8";  // the journal's
  // The window's context keeps originals through this, where set.
  std::function<std::unique_ptr<replace::OriginalKeeper>(const std::string&, const std::string&)>
      keepOriginalsIn;
  std::unique_ptr<ui::Form1> form;

  // Builds the window on the given start folder (the work folder by default).
  ui::Form1& build(const std::string& startFolder = "");
  std::filesystem::path journalFile(const std::string& day = "2026-12-08") const;
  std::string journal(const std::string& day = "2026-12-08") const;
};

}  // namespace testsupport
