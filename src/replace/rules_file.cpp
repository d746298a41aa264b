#include "replace/rules_file.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "text/letter_case.h"
#include "text/text_encoding.h"

namespace replace {

namespace {

constexpr std::size_t npos = std::string_view::npos;

std::string lineName(std::size_t number) {
  return "规则文件第 " + std::to_string(number) + " 行";
}

// The number of the line the byte at offset stands on.
std::size_t lineOf(std::string_view text, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

std::string decodeUtf16(std::string_view bytes, bool littleEndian) {
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]);
    const auto b = static_cast<unsigned char>(bytes[i + 1]);
    units.push_back(static_cast<char16_t>(littleEndian ? a | (b << 8) : (a << 8) | b));
  }
  const std::size_t lines =
      1 + static_cast<std::size_t>(std::count(units.begin(), units.end(), u'\n'));
  if (bytes.size() % 2 != 0) throw RulesError(lineName(lines) + "不是完整的 UTF-16 文字");
  if (auto text = text::utf8FromUtf16(units)) return *text;
  std::size_t start = 0;
  for (std::size_t number = 1;; ++number) {
    const std::size_t end = std::min(units.find(u'\n', start), units.size());
    if (!text::utf8FromUtf16(std::u16string_view(units).substr(start, end - start))) {
      throw RulesError(lineName(number) + "不是有效的 UTF-16 文字");
    }
    start = end + 1;
  }
}

// Without a BOM a file is UTF-8 when every byte is part of a UTF-8
// character: text in GBK (or another East Asian code page) almost never is.
std::string decodeRules(std::string_view content, const std::string& codeset) {
  // A workbook saved as such is no text at all: say what to do instead of
  // naming a line of its bytes.
  if (content.starts_with("PK\x03\x04") || content.starts_with("\xD0\xCF\x11\xE0")) {
    throw RulesError(
        "规则文件是工作簿或文档，却不以 .xls 或 .xlsx 结尾：请改正文件名，或在表格软件中另存为 "
        "CSV（逗号分隔）或文本文件（制表符分隔）");
  }
  if (content.starts_with("\xEF\xBB\xBF")) {
    content.remove_prefix(3);
    if (const std::size_t bad = text::invalidUtf8At(content); bad != npos) {
      throw RulesError(lineName(lineOf(content, bad)) + "不是有效的 UTF-8 文字");
    }
    return std::string(content);
  }
  if (content.starts_with("\xFF\xFE") || content.starts_with("\xFE\xFF")) {
    return decodeUtf16(content.substr(2), content.front() == '\xFF');
  }
  const std::size_t notUtf8 = text::invalidUtf8At(content);
  if (notUtf8 == npos) return std::string(content);
  // A line of UTF-8 beside one that is not: the two encodings mixed, and
  // no reading of the whole is right.
  for (std::size_t start = 0; start < content.size();) {
    const std::size_t end = std::min(content.find('\n', start), content.size());
    const std::string_view line = content.substr(start, end - start);
    const bool ascii = std::all_of(line.begin(), line.end(),
                                   [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii && text::invalidUtf8At(line) == npos) {
      throw RulesError(lineName(lineOf(content, notUtf8)) + "不是 UTF-8 文字，而第 " +
                       std::to_string(lineOf(content, start)) + " 行是：文件混用了两种编码");
    }
    start = end + 1;
  }
  if (auto decoded = text::decodeText(content, codeset)) return *decoded;
  std::string name = text::asciiLowered(codeset);
  std::erase_if(name, [](char c) { return c == '-' || c == '_'; });
  const bool utf8System = name == "utf8";
  const std::string what =
      utf8System ? "不是 UTF-8 文字" : "既不是 UTF-8，也不是本机代码页 " + codeset + " 的文字";
  std::size_t start = 0;
  for (std::size_t number = 1; start <= content.size(); ++number) {
    const std::size_t end = std::min(content.find('\n', start), content.size());
    const std::string_view line = content.substr(start, end - start);
    if (text::invalidUtf8At(line) != npos && !text::decodeText(line, codeset)) {
      throw RulesError(lineName(number) + what);
    }
    start = end + 1;
  }
  throw RulesError(std::string("规则文件") + what);
}

// Any control character but the tab, as a code point: U+0000..U+001F, U+007F
// and U+0080..U+009F (two bytes in UTF-8). -1 for none.
long controlCharacter(std::string_view text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if ((c < 0x20 && c != '\t') || c == 0x7F) return c;
    if (c == 0xC2 && i + 1 < text.size()) {
      const auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9F) return next;
    }
  }
  return -1;
}

// A CR LF line end is no such character.
void refuseControls(std::string_view text, std::size_t number) {
  if (const std::string control = controlCharacterIn(text); !control.empty()) {
    throw RulesError(lineName(number) + "含有控制字符 " + control + "，规则中只允许制表符");
  }
}

bool skipped(std::string_view line) {
  return line.empty() || line == "\r" || line.front() == '#';
}

std::vector<ReplacePair> tabSeparated(std::string_view rest) {
  std::vector<ReplacePair> pairs;
  for (std::size_t number = 1; !rest.empty(); ++number) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == npos ? rest.size() : end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    // A sheet's empty row, saved as tabs only, is no rule.
    if (line.find_first_not_of('\t') == npos || line.front() == '#') continue;
    refuseControls(line, number);
    const std::size_t tab = line.find('\t');
    if (tab == npos) throw RulesError(lineName(number) + "没有制表符分隔原内容和新内容");
    if (tab == 0) throw RulesError(lineName(number) + "的原内容为空");
    pairs.push_back({std::string(line.substr(0, tab)), std::string(line.substr(tab + 1))});
  }
  return pairs;
}

// RFC 4180: fields separated by commas; a field in double quotes may hold
// commas, line breaks and doubled quotes. A record is named by the line it
// begins on; empty columns after the second (a sheet saved with wider rows)
// are allowed.
class CsvReader {
 public:
  explicit CsvReader(std::string_view text) : text_(text) {}

  std::vector<ReplacePair> pairs() {
    std::vector<ReplacePair> pairs;
    while (i_ < text_.size()) {
      const std::size_t end = std::min(text_.find('\n', i_), text_.size());
      if (skipped(text_.substr(i_, end - i_))) {
        i_ = end + 1;
        ++line_;
        continue;
      }
      const std::size_t number = line_;
      const std::vector<std::string> fields = record(number);
      // A sheet's empty row, saved as commas only, is no rule.
      if (std::all_of(fields.begin(), fields.end(), [](const auto& f) { return f.empty(); })) {
        continue;
      }
      for (const std::string& field : fields) {
        if (field.find_first_of("\r\n") != std::string::npos) {
          throw RulesError(lineName(number) + "引号中的内容不能换行");
        }
        refuseControls(field, number);
      }
      if (fields.size() < 2) throw RulesError(lineName(number) + "没有逗号分隔原内容和新内容");
      for (std::size_t k = 2; k < fields.size(); ++k) {
        if (!fields[k].empty()) throw RulesError(lineName(number) + "多于两列");
      }
      if (fields[0].empty()) throw RulesError(lineName(number) + "的原内容为空");
      pairs.push_back({fields[0], fields[1]});
    }
    return pairs;
  }

 private:
  bool atLineEnd() const {
    return i_ >= text_.size() || text_[i_] == '\n' ||
           (text_[i_] == '\r' && i_ + 1 < text_.size() && text_[i_ + 1] == '\n');
  }

  void endLine() {
    if (i_ < text_.size() && text_[i_] == '\r') ++i_;
    if (i_ < text_.size()) ++i_;
    ++line_;
  }

  std::vector<std::string> record(std::size_t number) {
    std::vector<std::string> fields;
    for (;;) {
      std::string field;
      if (i_ < text_.size() && text_[i_] == '"') {
        ++i_;
        for (;;) {
          if (i_ >= text_.size()) throw RulesError(lineName(number) + "的引号没有结束");
          const char c = text_[i_++];
          if (c == '"' && i_ < text_.size() && text_[i_] == '"') {
            ++i_;
          } else if (c == '"') {
            break;
          }
          if (c == '\n') ++line_;
          field += c;
        }
        if (!atLineEnd() && text_[i_] != ',') {
          throw RulesError(lineName(line_) + "的引号后面不是逗号或行尾");
        }
      } else {
        while (!atLineEnd() && text_[i_] != ',') field += text_[i_++];
      }
      fields.push_back(std::move(field));
      if (atLineEnd()) break;
      ++i_;  // the comma
    }
    endLine();
    return fields;
  }

  std::string_view text_;
  std::size_t i_ = 0;
  std::size_t line_ = 1;
};

// A file holding no tab but commas is CSV, as is one named *.csv, whatever
// its fields hold.
bool isCsv(std::string_view text, std::string_view fileName) {
  if (text::asciiLowered(fileName).ends_with(".csv")) return true;
  return text.find('\t') == npos && text.find(',') != npos;
}

}  // namespace

std::string controlCharacterIn(std::string_view text) {
  const long control = controlCharacter(text);
  if (control < 0) return {};
  char code[16];
  std::snprintf(code, sizeof code, "U+%04lX", control);
  return code;
}

std::vector<ReplacePair> parseRules(std::string_view content, std::string_view fileName,
                                    const std::string& codeset) {
  const std::string text = decodeRules(content, codeset);
  std::vector<ReplacePair> pairs =
      isCsv(text, fileName) ? CsvReader(text).pairs() : tabSeparated(text);
  if (pairs.empty()) throw RulesError("规则文件中没有规则");
  return pairs;
}

std::vector<ReplacePair> readRulesFile(const std::string& path, const std::string& codeset) {
  std::ifstream in(text::pathFromUtf8(path), std::ios::binary);
  if (!in) throw RulesError("无法读取规则文件：" + path);
  std::ostringstream content;
  content << in.rdbuf();
  if (in.bad()) throw RulesError("无法读取规则文件：" + path);
  return parseRules(content.str(), path, codeset);
}

}  // namespace replace
