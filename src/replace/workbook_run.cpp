#include "replace/workbook_run.h"

namespace replace {

using office::AutomationError;
using office::Object;
using office::Variant;

namespace {

using Named = std::vector<std::pair<std::string, Variant>>;

// The worksheets of one open workbook, each tested and replaced in turn; the
// result line of each, in order. sheetLabel names the sheet being worked on,
// for a failure line.
std::vector<std::string> processSheets(const Object& workbook, const std::string& fileName,
                                       RunWindow& window, std::string& sheetLabel) {
  std::vector<std::string> results;
  const auto count = workbook.get("Worksheets").toObject().get("Count").toInteger();
  for (std::int32_t j = 1; j <= count; ++j) {
    sheetLabel = "-第" + std::to_string(j) + "个工作表";
    workbook.get("Sheets", {Variant::byRef(j)}).toObject().call("Activate");
    Object sheet = workbook.get("Worksheets", {Variant::byRef(j)}).toObject();
    const std::string name =
        workbook.get("Worksheets", {Variant::byRef(j)}).toObject().get("Name").toText();
    sheetLabel = "-" + name;
    Variant found = sheet.get("Cells").toObject().call("Find", {Variant(window.findText())});
    if (found.isObject() && found.toObject()) {
      sheet.get("Cells").toObject().call("Replace", Named{
                                                        {"What", window.findTextBox()},
                                                        {"Replacement", window.replaceTextBox()},
                                                        {"LookAt", std::int16_t{2}},
                                                        {"SearchOrder", std::int16_t{1}},
                                                        {"MatchCase", false},
                                                        {"SearchFormat", false},
                                                        {"ReplaceFormat", false},
                                                    });
      results.push_back(fileName + "-" + name + "已替换内容");
    } else {
      results.push_back(fileName + "-" + name + "没找到替换的内容");
    }
  }
  sheetLabel.clear();
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
    Object workbook;
    try {
      workbook =
          openWorkbookIn(app.get("Workbooks").toObject(), composePath(window.folder(), fileName));
      app.put("Visible", false);
      const std::vector<std::string> results =
          processSheets(workbook, fileName, window, sheetLabel);
      workbook.call("Close", {Variant(true)});
      // Reported once the workbook is saved: a workbook that fails part-way
      // is not saved, and its sheets must not read as replaced.
      for (const std::string& result : results) window.report(result);
    } catch (const AutomationError& e) {
      const bool gone = office::isServerGone(e.code());
      if (workbook && !gone) {
        // A workbook that failed part-way is not saved: it stays as it was on disk.
        try {
          workbook.call("Close", {Variant(false)});
        } catch (const AutomationError&) {
        }
      }
      window.report(failureLine(fileName + sheetLabel, e));
      if (gone && !server.restart()) return;
    }
  }
  server.quit();
}

}  // namespace replace
