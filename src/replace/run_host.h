// What the two batch runs read from and report to whoever runs them: the
// window, or a job of the command line.
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

// One file of a run: its entry (a bare name in the folder), and, when it is
// only a later name of a file the run processes under its first (a link, a
// second hard link), that first entry: the run skips it.
struct RunFile {
  std::string entry;
  std::string sameAs;
};

class RunHost {
 public:
  virtual ~RunHost() = default;

  // The next file to process; none when the run has no more. The window
  // hands out its list in order; a command-line job takes the next file off
  // the list its jobs share, and learns only then whether one is left.
  virtual std::optional<RunFile> nextFile() = 0;
  virtual std::string folder() const = 0;
  virtual std::string findText() const = 0;
  virtual std::string replaceText() const = 0;
  // The two texts as text boxes, for servers that read a box's default
  // member (its text).
  virtual office::Object findTextBox() = 0;
  virtual office::Object replaceTextBox() = 0;

  // The pairs applied to each open file, in order: the find and replace
  // texts are one pair. After selectPair(p), findText, replaceText and
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

  // Reports one result line (the window shows it and writes it to the
  // journal). A journal failure does not stop the run.
  virtual void report(const std::string& text) = 0;
  // The same with what the line says, for a caller that keeps more than the
  // line.
  virtual void reportResult(const RunResult& result) { report(result.line); }
};

// Keeps the original of each file a run is about to save, where the servers
// do not keep it themselves. Called from the jobs' threads, never twice at
// once for one file.
class OriginalKeeper {
 public:
  virtual ~OriginalKeeper() = default;
  // file: relative to the batch's folder. Throws office::AutomationError when
  // the original cannot be kept; the file is then left unsaved.
  virtual void keep(const std::string& file) = 0;
  // The save after keep failed: what was kept goes again if the file is
  // still the original.
  virtual void saveFailed(const std::string& file) = 0;
};

// A text box as a server sees it: an object whose default member (or "Text")
// is the box's text, which the server may also set.
office::Object textBoxObject(std::string& text);

}  // namespace replace
