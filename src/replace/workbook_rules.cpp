#include "replace/workbook_rules.h"

#include <fstream>

#include "text/letter_case.h"
#include "text/text_encoding.h"

namespace replace {

using office::AutomationError;
using office::Object;
using office::Variant;

namespace {

// The server's start-up failure is the one thing a BatchServer reports.
class ReadingHost : public RunHost {
 public:
  std::optional<RunFile> nextFile() override { return std::nullopt; }
  std::string folder() const override { return {}; }
  std::string findText() const override { return {}; }
  std::string replaceText() const override { return {}; }
  Object findTextBox() override { return {}; }
  Object replaceTextBox() override { return {}; }
  void report(const std::string& text) override { reported += text; }
  std::string reported;
};

std::string rowName(std::int64_t row) {
  return "规则工作簿第 " + std::to_string(row) + " 行";
}

// A cell as its sheet shows it: a text as it is, a number or a date as it is
// formatted (Value2 would give a date as its serial number).
std::string cellText(const Object& cells, std::int64_t row, std::int32_t column) {
  const Object cell =
      cells.get("Item", {Variant(static_cast<std::int32_t>(row)), Variant(column)}).toObject();
  Variant value;
  try {
    value = cell.get("Value2");
  } catch (const AutomationError& e) {
    // An error value (#N/A, #DIV/0!) comes as a VARIANT error, which a
    // late-bound caller cannot take: a type mismatch.
    if (e.code() != office::kErrTypeMismatch) throw;
    throw RulesError(rowName(row) + "的单元格是错误值，不是文字");
  }
  if (value.isEmpty()) return {};
  if (const auto* text = std::get_if<std::string>(&value.value())) return *text;
  std::string shown = cell.get("Text").toText();
  if (!shown.empty() && shown.find_first_not_of('#') == std::string::npos) {
    throw RulesError(rowName(row) + "的单元格显示为 " + shown +
                     "：请加宽这一列，或把它设为文本格式");
  }
  return shown;
}

// Each row costs the server ten calls or so, all while the watchdog of an
// open workbook (two minutes) runs: a sheet whose used range a format
// stretched down to its end would have the office killed for a hang.
constexpr std::int64_t kMostRows = 5000;

std::vector<ReplacePair> pairsOf(const Object& sheet) {
  const Object used = sheet.get("UsedRange").toObject();
  const std::int64_t first = used.get("Row").toInteger();
  const std::int64_t rows = used.get("Rows").toObject().get("Count").toInteger();
  if (rows > kMostRows) {
    throw RulesError("规则工作簿的第一个工作表用到了 " + std::to_string(rows) + " 行，多于 " +
                     std::to_string(kMostRows) + " 行：请把规则复制到一个新工作簿");
  }
  const Object cells = sheet.get("Cells").toObject();
  std::vector<ReplacePair> pairs;
  for (std::int64_t row = first; row < first + rows; ++row) {
    // As in a text file: a row whose old text begins with '#' (a note, or a
    // heading made one) is no rule, whatever its column B shows; nor is an
    // empty row.
    ReplacePair pair{cellText(cells, row, 1), {}};
    if (pair.find.starts_with('#')) continue;
    pair.replace = cellText(cells, row, 2);
    if (pair.find.empty() && pair.replace.empty()) continue;
    if (pair.find.empty()) throw RulesError(rowName(row) + "的原内容（A 列）为空");
    for (const std::string* text : {&pair.find, &pair.replace}) {
      if (const std::string control = controlCharacterIn(*text); !control.empty()) {
        throw RulesError(rowName(row) + "含有控制字符 " + control + "（例如单元格内换行）");
      }
    }
    pairs.push_back(std::move(pair));
  }
  return pairs;
}

}  // namespace

bool isRulesWorkbook(const std::string& path) {
  const std::string name = text::asciiLowered(path);
  if (!name.ends_with(".xls") && !name.ends_with(".xlsx")) return false;
  // A text file named so (a sheet exported as tab-separated text) is read as
  // text, as it always was.
  char start[4] = {};
  std::ifstream(text::pathFromUtf8(path), std::ios::binary).read(start, sizeof start);
  const std::string_view bytes(start, sizeof start);
  return bytes == std::string_view("PK\x03\x04", 4) || bytes == "\xD0\xCF\x11\xE0";
}

ServerChoice spreadsheetServerOf(ServerChoice choice) {
  return office::sameName(choice.progId, kWpsServer.progId) ? kWpsServer : kExcelServer;
}

std::vector<ReplacePair> readWorkbookRules(const office::ServerRegistry& servers,
                                           ServerChoice choice, const std::string& path) {
  ReadingHost host;
  BatchServer server(servers, spreadsheetServerOf(choice), host);
  if (!server.start()) throw RulesError("无法读取规则工作簿：" + host.reported);
  Object workbook;
  std::vector<ReplacePair> pairs;
  try {
    // Read-only: a list others keep open, or one in a folder we may not
    // write, is read all the same, and nothing of it can be saved.
    const std::string password(kNoPassword);
    workbook = server.app()
                   .get("Workbooks")
                   .toObject()
                   .call("Open", {Variant(path)},
                         {
                             {"UpdateLinks", std::int16_t{0}},
                             {"ReadOnly", true},
                             {"Password", password},
                             {"AddToMru", false},
                         })
                   .toObject();
    server.app().put("Visible", false);
    pairs = pairsOf(workbook.get("Worksheets", {Variant(std::int32_t{1})}).toObject());
    workbook.call("Close", {Variant(false)});
  } catch (const AutomationError& e) {
    if (workbook && !office::isServerGone(e.code())) {
      try {
        workbook.call("Close", {Variant(false)});
      } catch (const AutomationError&) {
      }
    }
    throw RulesError("无法读取规则工作簿 " + path + "，错误代码：" + std::to_string(e.code()) +
                     "错误描述：" + e.description());
  } catch (const RulesError&) {
    try {
      if (workbook) workbook.call("Close", {Variant(false)});
    } catch (const AutomationError&) {
    }
    throw;
  }
  if (pairs.empty()) throw RulesError("规则工作簿的第一个工作表中没有规则");
  return pairs;
}

}  // namespace replace
