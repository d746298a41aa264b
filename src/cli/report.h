// The --report file: one CSV row per file or worksheet, written as the run
// goes and flushed after every file, so that it is complete after each one.
#pragma once

#include <fstream>
#include <string>
#include <vector>

#include "replace/run_window.h"

namespace cli {

// One field quoted as RFC 4180 asks: in double quotes, with its quotes
// doubled, where it holds a comma, a quote, a CR or a LF.
std::string csvField(const std::string& field);

// "replaced", "not found", "failed", "would replace".
std::string outcomeName(replace::RunResult::Outcome outcome);

class ReportFile {
 public:
  // Creates (or empties) path and writes the BOM and the heading row. Throws
  // std::runtime_error with the reason when it cannot.
  explicit ReportFile(const std::string& path);
  // A result that names a file; other lines (a server that cannot start)
  // have no row.
  void add(const replace::RunResult& result);
  // After a file's rows: false once a write has failed.
  bool flush();

 private:
  void row(const std::vector<std::string>& fields);

  std::string path_;
  std::ofstream out_;
};

}  // namespace cli
