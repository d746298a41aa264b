// What the two batch runs read from and report to the window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "office/automation.h"

namespace replace {

// One file's or one worksheet's result, as a run reports it.
struct RunResult {
  // SameFile: a second name of a file the run processed under its first.
  enum class Outcome { Replaced, NotFound, Failed, WouldReplace, WouldFail, SameFile };
  std::string line;   // the status box's line, without its line end
  std::string entry;  // the file list's entry; empty for a line about no file
  std::string sheet;  // a workbook's sheet, where one is named
  Outcome outcome = Outcome::Failed;
  std::optional<std::int64_t> count;  // occurrences, where the run counted them
  std::int32_t errorCode = 0;
  std::string errorDescription;
};

class RunWindow {
 public:
  virtual ~RunWindow() = default;

  virtual std::size_t fileCount() const = 0;
  virtual std::string fileEntry(std::size_t index) const = 0;  // a bare name
  // The entry of this run under which the file of entry index is processed,
  // when index is only a later name of it (a link, a second hard link): the
  // run skips it. Empty for a file's first name.
  virtual std::string sameFileAs(std::size_t index) const {
    (void)index;
    return {};
  }
  virtual std::string folder() const = 0;
  virtual std::string findText() const = 0;     // Text1
  virtual std::string replaceText() const = 0;  // Text2
  // The two text boxes themselves, for servers that read a box's default
  // member (its text).
  virtual office::Object findTextBox() = 0;
  virtual office::Object replaceTextBox() = 0;

  // The pairs applied to each open file, in order: the window's two text
  // boxes are its one pair. After selectPair(p), findText, replaceText and
  // the text boxes answer for pair p; a later pair sees what an earlier one
  // wrote.
  virtual std::size_t pairCount() const { return 1; }
  virtual void selectPair(std::size_t pair) { (void)pair; }
  // Count each pair's occurrences and change nothing: no replacement, no save.
  virtual bool countOnly() const { return false; }
  // Letter case must match (the suites' MatchCase); the window's runs, as
  // their buttons always did, ignore it.
  virtual bool matchCase() const { return false; }

  // Called just before a changed file is saved, with its entry: a caller that
  // keeps the originals of what a run changes keeps this one now. Throws
  // office::AutomationError when it cannot: the file is then closed unsaved
  // and fails.
  virtual void keepOriginal(const std::string& entry) { (void)entry; }
  // Whether keepOriginal keeps anything: only then does a run ask whether
  // a workbook it did not change will be written all the same.
  virtual bool keepsOriginals() const { return false; }
  // The save that followed keepOriginal failed: the file may be as it was.
  virtual void saveFailed(const std::string& entry) { (void)entry; }

  // Reports one result: appends text and CR LF to the status box, sets strRZ
  // to text and calls rz. A journal failure does not stop the run.
  virtual void report(const std::string& text) = 0;
  // The same with what the line says, for a caller that keeps more than the
  // line.
  virtual void reportResult(const RunResult& result) { report(result.line); }
};

// A text box as a server sees it: an object whose default member (or "Text")
// is the box's text, which the server may also set.
office::Object textBoxObject(std::string& text);

}  // namespace replace
