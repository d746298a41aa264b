#include "cli/report.h"

#include <stdexcept>

#include "text/text_encoding.h"

namespace cli {

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
    case replace::RunResult::Outcome::Failed:
      break;
  }
  return "failed";
}

ReportFile::ReportFile(const std::string& path)
    : path_(path), out_(text::pathFromUtf8(path), std::ios::binary | std::ios::trunc) {
  if (!out_) throw std::runtime_error("无法写入报告文件：" + path);
  // The BOM tells a spreadsheet the file is UTF-8.
  out_ << "\xEF\xBB\xBF";
  row({"path", "sheet", "result", "count", "error code", "error description"});
  if (!flush()) throw std::runtime_error("无法写入报告文件：" + path);
}

void ReportFile::add(const replace::RunResult& result) {
  if (result.entry.empty()) return;
  const bool failed = result.outcome == replace::RunResult::Outcome::Failed;
  row({result.entry, result.sheet, outcomeName(result.outcome),
       result.count ? std::to_string(*result.count) : "",
       failed ? std::to_string(result.errorCode) : "", failed ? result.errorDescription : ""});
}

bool ReportFile::flush() {
  out_.flush();
  return static_cast<bool>(out_);
}

void ReportFile::row(const std::vector<std::string>& fields) {
  std::string line;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += ',';
    line += csvField(fields[i]);
  }
  out_ << line << "\r\n";
}

}  // namespace cli
