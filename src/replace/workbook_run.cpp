#include "replace/workbook_run.h"

#include <algorithm>
#include <optional>

#include "replace/skipped_files.h"

#include "text/letter_case.h"

namespace replace {

using office::AutomationError;
using office::Object;
using office::Variant;

namespace {

using Named = std::vector<std::pair<std::string, Variant>>;

// ---- text cells replaced by the run itself ----

using text::containsText;
using text::replacedAll;

// xlFormulas, the contents Cells.Replace searches; xlPart; xlByRows.
constexpr std::int32_t kLookInFormulas = -4123;
constexpr std::int16_t kLookAtPart = 2;
constexpr std::int16_t kByRows = 1;

struct FoundCell {
  Object cell;
  bool text = false;
  std::string value;  // a text cell's text
};

// Every cell Cells.Find and FindNext come to, in their order, until they
// come back to one already seen. Nothing is changed during the walk: a
// changed cell could make FindNext never come back to the first.
std::vector<FoundCell> foundCells(const Object& cells, const std::string& what, bool matchCase) {
  std::vector<FoundCell> found;
  std::vector<std::string> addresses;
  Variant next = cells.call("Find", Named{
                                        {"What", Variant(what)},
                                        {"LookIn", kLookInFormulas},
                                        {"LookAt", kLookAtPart},
                                        {"SearchOrder", kByRows},
                                        {"MatchCase", matchCase},
                                    });
  while (next.isObject() && next.toObject()) {
    Object cell = next.toObject();
    std::string address = cell.get("Address").toText();
    if (std::find(addresses.begin(), addresses.end(), address) != addresses.end()) break;
    addresses.push_back(std::move(address));
    FoundCell entry{cell, false, {}};
    if (!cell.get("HasFormula").toBool()) {
      // Value2, unlike Value, reads dates and currency as numbers.
      const Variant value = cell.get("Value2");
      if (const auto* text = std::get_if<std::string>(&value.value())) {
        entry.text = true;
        entry.value = *text;
      }
    }
    found.push_back(std::move(entry));
    next = cells.call("FindNext", {Variant(cell)});
  }
  return found;
}

}  // namespace

// Every occurrence of the find text on one worksheet replaced. A server whose
// Cells.Replace re-reads each replaced cell as typed input (Excel, WPS) would
// make a text "00123-旧" the number -123: its text cells are replaced here,
// each set as text with the apostrophe prefix, and Cells.Replace does only
// the numbers and formulas, as it always has.
void replaceOnSheet(const Object& sheet, const Variant& findBox, const Variant& replaceBox,
                    const std::string& findText, const std::string& replaceText,
                    bool serverKeepsText, bool matchCase) {
  const auto replaceByServer = [&] {
    sheet.get("Cells").toObject().call("Replace", Named{
                                                      {"What", findBox},
                                                      {"Replacement", replaceBox},
                                                      {"LookAt", kLookAtPart},
                                                      {"SearchOrder", kByRows},
                                                      {"MatchCase", matchCase},
                                                      {"SearchFormat", false},
                                                      {"ReplaceFormat", false},
                                                  });
  };
  if (serverKeepsText || findText.empty()) {
    replaceByServer();
    return;
  }
  const std::vector<FoundCell> found =
      foundCells(sheet.get("Cells").toObject(), findText, matchCase);
  bool others = false;
  bool stillFound = false;
  for (const FoundCell& entry : found) {
    if (!entry.text) {
      others = true;
      continue;
    }
    const std::string value = replacedAll(entry.value, findText, replaceText, matchCase);
    stillFound = stillFound || containsText(value, findText, matchCase);
    entry.cell.put("Value", value.empty() ? Variant(std::string()) : Variant("'" + value));
  }
  if (!others) return;
  if (!stillFound) {
    replaceByServer();  // the text cells hold the find text no more
    return;
  }
  // Cells.Replace would replace the replaced text cells once more: each
  // number and formula is replaced in its formula as Cells.Replace does, and
  // re-read as typed input as it does.
  for (const FoundCell& entry : found) {
    if (entry.text) continue;
    entry.cell.put("Formula", replacedAll(entry.cell.get("Formula").toText(), findText, replaceText,
                                          matchCase));
  }
}

namespace {

// One pair on a worksheet: the test with the pair's find text and, where
// found, the replacement of every occurrence. True when the text was found.
bool replacePair(const Object& sheet, RunHost& host, bool serverKeepsText) {
  const Object cells = sheet.get("Cells").toObject();
  // The window's test passes the text alone; told to match case, the search
  // says so, since the suites keep no such default for it.
  Variant found = host.matchCase()
                      ? cells.call("Find", Named{{"What", host.findText()}, {"MatchCase", true}})
                      : cells.call("Find", {Variant(host.findText())});
  if (!found.isObject() || !found.toObject()) return false;
  replaceOnSheet(sheet, host.findTextBox(), host.replaceTextBox(), host.findText(),
                 host.replaceText(), serverKeepsText, host.matchCase());
  return true;
}

// The cells holding text, counted as an Excel macro counts them: Find, then
// FindNext after each found cell until the search comes round to the first.
// How many cells of a sheet hold text, and how many of those its protection
// keeps from change, which the run would fail the sheet for. Whether the
// sheet is protected is asked once, only where something is found.
struct SheetCount {
  std::int64_t found = 0;
  std::int64_t locked = 0;
};
SheetCount countIn(const Object& sheet, const std::string& text, bool matchCase,
                   std::optional<bool>& protectedSheet) {
  const Object cells = sheet.get("Cells").toObject();
  Variant found = cells.call("Find", Named{{"What", text},
                                           {"LookIn", std::int16_t{-4123}},  // xlFormulas
                                           {"LookAt", std::int16_t{2}},
                                           {"SearchOrder", std::int16_t{1}},
                                           {"MatchCase", matchCase}});
  if (!found.isObject() || !found.toObject()) return {};
  if (!protectedSheet) protectedSheet = sheet.get("ProtectContents").toBool();
  const std::string first = found.toObject().get("Address").toText();
  SheetCount count;
  do {
    ++count.found;
    if (*protectedSheet && found.toObject().get("Locked").toBool()) ++count.locked;
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
                                     RunHost& host, std::string& sheetLabel, std::string& sheetName,
                                     bool serverKeepsText) {
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
    if (host.countOnly()) {
      SheetCount total;
      std::optional<bool> protectedSheet;
      for (std::size_t p = 0; p < host.pairCount(); ++p) {
        host.selectPair(p);
        const SheetCount pair = countIn(sheet, host.findText(), host.matchCase(), protectedSheet);
        total.found += pair.found;
        total.locked += pair.locked;
      }
      results.push_back(countResult(fileName, name, total.found, total.locked));
      continue;
    }
    bool replaced = false;
    for (std::size_t p = 0; p < host.pairCount(); ++p) {
      host.selectPair(p);
      if (replacePair(sheet, host, serverKeepsText)) replaced = true;
    }
    results.push_back(sheetResult(fileName, name, replaced));
  }
  sheetLabel.clear();
  sheetName.clear();
  return results;
}

}  // namespace

void runWorkbooks(const office::ServerRegistry& servers, ServerChoice choice, RunHost& host) {
  BatchServer server(servers, choice, host);
  if (!server.start()) return;

  while (const std::optional<RunFile> file = host.nextFile()) {
    if (reportedWithoutOpening(host, *file)) continue;
    const Object& app = server.app();
    const std::string fileName = file->entry;
    std::string sheetLabel;
    std::string sheetName;
    Object workbook;
    bool saving = false;
    try {
      workbook =
          openWorkbookIn(app.get("Workbooks").toObject(), composePath(host.folder(), fileName));
      app.put("Visible", false);
      const std::vector<RunResult> results =
          processSheets(workbook, fileName, host, sheetLabel, sheetName, server.replaceKeepsText());
      // Only a workbook in which something was replaced is saved (a count
      // replaces nothing). One the office counts as modified all the same
      // (Excel after recalculating an older file) would be rewritten in the
      // office's own way, losing what it cannot keep, for no change of ours.
      const bool changed = std::any_of(results.begin(), results.end(), [](const RunResult& r) {
        return r.outcome == RunResult::Outcome::Replaced;
      });
      if (changed && host.keepsOriginals()) {
        host.keepOriginal(fileName);
        saving = true;
      }
      workbook.call("Close", {Variant(changed)});
      // Reported once the workbook is saved: a workbook that fails part-way
      // is not saved, and its sheets must not read as replaced.
      for (const RunResult& result : results) host.reportResult(result);
    } catch (const AutomationError& e) {
      const bool gone = office::isServerGone(e.code());
      if (saving) host.saveFailed(fileName);
      if (workbook && !gone) {
        // A workbook that failed part-way is not saved: it stays as it was on disk.
        try {
          workbook.call("Close", {Variant(false)});
        } catch (const AutomationError&) {
        }
      }
      host.reportResult(failureResult(fileName, sheetLabel, sheetName, e));
      if (gone && !server.restart()) return;
    }
  }
  server.quit();
}

}  // namespace replace
