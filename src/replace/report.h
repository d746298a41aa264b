// The CSV report (--report, and the window's 导出结果…): one row per file or
// worksheet, each written as the run goes, so that it is complete after every
// file.
#pragma once

#include <string>
#include <vector>

#include "replace/output_file.h"
#include "replace/run_host.h"

namespace replace {

// One field quoted as RFC 4180 asks: in double quotes, with its quotes
// doubled, where it holds a comma, a quote, a CR or a LF.
std::string csvField(const std::string& field);

// "replaced", "not found", "failed", "would replace".
std::string outcomeName(replace::RunResult::Outcome outcome);

// What every report begins with: the BOM, which tells a spreadsheet the file
// is UTF-8, and the heading row.
std::string reportHeading();

class ReportFile {
 public:
  // Creates path, or empties it where it is an earlier report (it begins with
  // reportHeading), and writes the heading. Never writes through a link, nor
  // over any other file. Throws std::runtime_error with the reason when it
  // cannot.
  explicit ReportFile(const std::string& path);
  // A result that names a file; other lines (a server that cannot start)
  // have no row.
  void add(const replace::RunResult& result);
  // After a file's rows: false once a write has failed.
  bool flush() const { return !failed_; }

 private:
  void row(const std::vector<std::string>& fields);

  OutputFile out_;
  bool failed_ = false;
};

}  // namespace replace
