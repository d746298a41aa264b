#include "replace/workbook_run.h"

namespace replace {

using office::AutomationError;
using office::Object;
using office::Variant;

namespace {

using Named = std::vector<std::pair<std::string, Variant>>;

// One pair on a worksheet: the test with the pair's find text and, where
// found, the replacement of every occurrence. True when the text was found.
bool replacePair(const Object& sheet, RunWindow& window) {
  Variant found = sheet.get("Cells").toObject().call("Find", {Variant(window.findText())});
  if (!found.isObject() || !found.toObject()) return false;
  sheet.get("Cells").toObject().call("Replace", Named{
                                                    {"What", window.findTextBox()},
                                                    {"Replacement", window.replaceTextBox()},
                                                    {"LookAt", std::int16_t{2}},
                                                    {"SearchOrder", std::int16_t{1}},
                                                    {"MatchCase", false},
                                                    {"SearchFormat", false},
                                                    {"ReplaceFormat", false},
                                                });
  return true;
}

// The cells holding text, counted as an Excel macro counts them: Find, then
// FindNext after each found cell until the search comes round to the first.
std::int64_t countIn(const Object& sheet, const std::string& text) {
  const Object cells = sheet.get("Cells").toObject();
  Variant found = cells.call("Find", Named{{"What", text},
                                           {"LookIn", std::int16_t{-4123}},  // xlFormulas
                                           {"LookAt", std::int16_t{2}},
                                           {"SearchOrder", std::int16_t{1}},
                                           {"MatchCase", false}});
  if (!found.isObject() || !found.toObject()) return 0;
  const std::string first = found.toObject().get("Address").toText();
  std::int64_t count = 0;
  do {
    ++count;
    found = cells.call("FindNext", {Variant(found.toObject())});
  } while (found.isObject() && found.toObject() &&
           found.toObject().get("Address").toText() != first);
  return count;
}

RunResult sheetResult(const std::string& fileName, const std::string& sheet, bool replaced) {
  RunResult result;
  result.entry = fileName;
  result.sheet = sheet;
  result.outcome = replaced ? RunResult::Outcome::Replaced : RunResult::Outcome::NotFound;
  result.line = fileName + "-" + sheet + (replaced ? "已替换内容" : "没找到替换的内容");
  return result;
}

// The worksheets of one open workbook, each tested and replaced (or counted)
// in turn; the result of each, in order. sheetLabel and sheetName name the
// sheet being worked on, for a failure line.
std::vector<RunResult> processSheets(const Object& workbook, const std::string& fileName,
                                     RunWindow& window, std::string& sheetLabel,
                                     std::string& sheetName) {
  std::vector<RunResult> results;
  const auto count = workbook.get("Worksheets").toObject().get("Count").toInteger();
  for (std::int32_t j = 1; j <= count; ++j) {
    sheetLabel = "-第" + std::to_string(j) + "个工作表";
    workbook.get("Sheets", {Variant::byRef(j)}).toObject().call("Activate");
    Object sheet = workbook.get("Worksheets", {Variant::byRef(j)}).toObject();
    const std::string name =
        workbook.get("Worksheets", {Variant::byRef(j)}).toObject().get("Name").toText();
    sheetLabel = "-" + name;
    sheetName = name;
    if (window.countOnly()) {
      std::int64_t found = 0;
      for (std::size_t p = 0; p < window.pairCount(); ++p) {
        window.selectPair(p);
        found += countIn(sheet, window.findText());
      }
      results.push_back(countResult(fileName, name, found));
      continue;
    }
    bool replaced = false;
    for (std::size_t p = 0; p < window.pairCount(); ++p) {
      window.selectPair(p);
      if (replacePair(sheet, window)) replaced = true;
    }
    results.push_back(sheetResult(fileName, name, replaced));
  }
  sheetLabel.clear();
  sheetName.clear();
  return results;
}

}  // namespace

void runWorkbooks(const office::ServerRegistry& servers, ServerChoice choice, RunWindow& window) {
  BatchServer server(servers, choice, window);
  if (!server.start()) return;

  // The count is read at every turn: a command-line job learns only as it
  // goes whether another file is left for it. A window's list is fixed
  // during a run.
  for (std::size_t i = 0; i < window.fileCount(); ++i) {
    const Object& app = server.app();
    const std::string fileName = window.fileEntry(i);
    std::string sheetLabel;
    std::string sheetName;
    Object workbook;
    try {
      workbook =
          openWorkbookIn(app.get("Workbooks").toObject(), composePath(window.folder(), fileName));
      app.put("Visible", false);
      const std::vector<RunResult> results =
          processSheets(workbook, fileName, window, sheetLabel, sheetName);
      // A count changes nothing, so nothing is saved.
      workbook.call("Close", {Variant(!window.countOnly())});
      // Reported once the workbook is saved: a workbook that fails part-way
      // is not saved, and its sheets must not read as replaced.
      for (const RunResult& result : results) window.reportResult(result);
    } catch (const AutomationError& e) {
      const bool gone = office::isServerGone(e.code());
      if (workbook && !gone) {
        // A workbook that failed part-way is not saved: it stays as it was on disk.
        try {
          workbook.call("Close", {Variant(false)});
        } catch (const AutomationError&) {
        }
      }
      window.reportResult(failureResult(fileName, sheetLabel, sheetName, e));
      if (gone && !server.restart()) return;
    }
  }
  server.quit();
}

}  // namespace replace
