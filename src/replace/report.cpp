#include "replace/report.h"

#include <stdexcept>

namespace replace {

std::string csvField(const std::string& field) {
  if (field.find_first_of(",\"\r\n") == std::string::npos) return field;
  std::string quoted = "\"";
  for (char c : field) {
    if (c == '"') quoted += '"';
    quoted += c;
  }
  return quoted + '"';
}

std::string outcomeName(replace::RunResult::Outcome outcome) {
  switch (outcome) {
    case replace::RunResult::Outcome::Replaced:
      return "replaced";
    case replace::RunResult::Outcome::NotFound:
      return "not found";
    case replace::RunResult::Outcome::WouldReplace:
      return "would replace";
    case replace::RunResult::Outcome::WouldFail:
      return "would fail";
    case replace::RunResult::Outcome::SameFile:
      return "same file";
    case replace::RunResult::Outcome::Failed:
      break;
  }
  return "failed";
}

namespace {

std::string csvRow(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += csvField(fields[i]);
  }
  return line + "\r\n";
}

OutputFile openReport(const std::string& path) {
  try {
    return OutputFile(path, reportHeading());
  } catch (const std::runtime_error& e) {
    throw std::runtime_error("无法写入报告文件：" + path + "（" + e.what() + "）");
  }
}

}  // namespace

std::string reportHeading() {
  return "\xEF\xBB\xBF" +
         csvRow({"path", "sheet", "result", "count", "error code", "error description"});
}

ReportFile::ReportFile(const std::string& path) : out_(openReport(path)) {
  if (!out_.write(reportHeading())) throw std::runtime_error("无法写入报告文件：" + path);
}

void ReportFile::add(const replace::RunResult& result) {
  if (result.entry.empty()) return;
  const bool failed = result.outcome == replace::RunResult::Outcome::Failed;
  // A dry run's "would fail" says why, without an error code: nothing failed.
  row({result.entry, result.sheet, outcomeName(result.outcome),
       result.count ? std::to_string(*result.count) : "",
       failed ? std::to_string(result.errorCode) : "",
       failed || result.outcome == replace::RunResult::Outcome::WouldFail ? result.errorDescription
                                                                          : ""});
}

void ReportFile::row(const std::vector<std::string>& fields) {
  if (!out_.write(csvRow(fields))) failed_ = true;
}

}  // namespace replace
