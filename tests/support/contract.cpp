#include "support/contract.h"

#include <gtest/gtest.h>

#include <optional>

#include "replace/document_run.h"
#include "replace/workbook_run.h"
#include "support/fixtures.h"

namespace contract {

namespace {

constexpr const char* kFind = "旧";
constexpr const char* kReplace = "新";

// One run over the files of a folder, each result line kept.
class Host : public replace::RunHost {
 public:
  Host(std::string folder, std::vector<std::string> files, bool countOnly)
      : folder_(std::move(folder)), files_(std::move(files)), countOnly_(countOnly) {}

  std::optional<replace::RunFile> nextFile() override {
    if (next_ >= files_.size()) return std::nullopt;
    return replace::RunFile{files_[next_++], ""};
  }
  std::string folder() const override { return folder_; }
  std::string findText() const override { return find_; }
  std::string replaceText() const override { return replace_; }
  office::Object findTextBox() override { return replace::textBoxObject(find_); }
  office::Object replaceTextBox() override { return replace::textBoxObject(replace_); }
  bool countOnly() const override { return countOnly_; }
  void report(const std::string& text) override { lines.push_back(text); }

  std::vector<std::string> lines;

 private:
  std::string folder_;
  std::vector<std::string> files_;
  bool countOnly_;
  std::size_t next_ = 0;
  std::string find_ = kFind;
  std::string replace_ = kReplace;
};

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
    ++n;
  }
  return n;
}

// Documents: the main text and a header replaced and counted alike, a file
// without the text left as it was, a file that went missing after it was
// listed failed while the run goes on.
void documents(Subject& subject, bool countOnly) {
  SCOPED_TRACE(countOnly ? "documents, counted" : "documents, replaced");
  const std::string folder = subject.freshFolder();
  subject.make(folder, {{"a.doc", "一个旧字，又一个旧字", "页眉旧字"}, {"b.doc", "没有", ""}});
  Host host(folder, {"a.doc", "gone.doc", "b.doc"}, countOnly);
  replace::runDocuments(subject.servers(), replace::kWordServer, host);

  ASSERT_EQ(host.lines.size(), 3u) << ::testing::PrintToString(host.lines);
  if (countOnly) {
    EXPECT_EQ(host.lines[0], "a.doc 试运行：找到 3 处，未作改动");
    EXPECT_EQ(host.lines[2], "b.doc 试运行：找到 0 处，未作改动");
  } else {
    EXPECT_EQ(host.lines[0], "a.doc 已替换内容");
    EXPECT_EQ(host.lines[2], "b.doc 没找到替换的内容");
  }
  EXPECT_EQ(host.lines[1].rfind("gone.doc 处理失败，错误代码：", 0), 0u) << host.lines[1];

  const std::string a = subject.textOf(folder, "a.doc");
  EXPECT_EQ(count(a, kFind), countOnly ? 3 : 0) << a;
  EXPECT_EQ(count(a, kReplace), countOnly ? 0 : 3) << a;
  EXPECT_EQ(count(a, "一个"), 2) << a;
  EXPECT_EQ(count(a, "页眉"), 1) << a;
  EXPECT_NE(subject.textOf(folder, "b.doc").find("没有"), std::string::npos);
}

// Workbooks: a line per sheet, a sheet without the text named as such, text
// cells replaced inside and whole.
void workbooks(Subject& subject, bool countOnly) {
  SCOPED_TRACE(countOnly ? "workbooks, counted" : "workbooks, replaced");
  const std::string folder = subject.freshFolder();
  const std::vector<Sheet> before{{"S1", {"x"}}, {"表二", {"an 旧 one", "旧", "别的"}}};
  subject.make(folder, Workbook{"a.xls", before});
  Host host(folder, {"a.xls"}, countOnly);
  replace::runWorkbooks(subject.servers(), replace::kExcelServer, host);

  const std::vector<std::string> lines =
      countOnly ? std::vector<std::string>{"a.xls-S1试运行：找到 0 处，未作改动",
                                           "a.xls-表二试运行：找到 2 处，未作改动"}
                : std::vector<std::string>{"a.xls-S1没找到替换的内容", "a.xls-表二已替换内容"};
  EXPECT_EQ(host.lines, lines);
  const std::vector<Sheet> after =
      countOnly ? before : std::vector<Sheet>{{"S1", {"x"}}, {"表二", {"an 新 one", "新", "别的"}}};
  EXPECT_EQ(subject.sheetsOf(folder, "a.xls"), after);
}

// The calls of a document run, on a server that logs them: each document
// opened without dialogs, searched, replaced where it holds the text, its
// stories walked, closed saved or not, and the server quit.
void documentCalls(Subject& subject) {
  SCOPED_TRACE("the calls of a document run");
  const std::string folder = subject.freshFolder();
  subject.make(folder, {{"a.doc", "一个旧字，又一个旧字", ""}, {"b.doc", "没有", ""}});
  subject.takeCalls();
  Host host(folder, {"a.doc", "b.doc"}, false);
  replace::runDocuments(subject.servers(), replace::kWordServer, host);
  EXPECT_EQ(host.lines, (std::vector<std::string>{"a.doc 已替换内容", "b.doc 没找到替换的内容"}));
  const auto calls = subject.takeCalls();
  if (!calls) return;
  using testsupport::operator+;
  const auto open = [&folder](const char* name) {
    return testsupport::documentOpenCall(testsupport::joinPath(folder, name));
  };
  EXPECT_EQ(*calls, (std::vector<std::string>{
                         "CreateObject(word.Application)",
                         "Application.AutomationSecurity = 3&",
                         "Application.DisplayAlerts = 0&",
                         "Application.Documents",
                         open("a.doc"),
                         "Application.Visible = False",
                         "Document.Content",
                         "Range.Find",
                         "Find.Execute(\"旧\")",
                         "Application.ActiveDocument",
                         "Document.Content",
                         "Range.Find",
                         "Find.Execute(FindText:=\"旧\", ReplaceWith:=\"新\", Replace:=2%)",
                     } +
                     testsupport::storyWalkOfAPlainDocument() +
                     std::vector<std::string>{
                         "Application.Documents",
                         "Documents.Close(True)",
                         "Application.Documents",
                         open("b.doc"),
                         "Application.Visible = False",
                         "Document.Content",
                         "Range.Find",
                         "Find.Execute(\"旧\")",
                     } +
                     testsupport::storyWalkOfAPlainDocument() +
                     std::vector<std::string>{
                         "Application.Documents",
                         "Documents.Close(False)",
                         "Application.Quit()",
                     }));
}

}  // namespace

std::string Subject::freshFolder() {
  const std::string name = "s" + std::to_string(++folders_);
  work_.mkdir(name);
  return work_.sub(name);
}

void PrintTo(const Sheet& sheet, std::ostream* out) {
  *out << sheet.name << ::testing::PrintToString(sheet.cells);
}

void expectTheContract(Subject& subject) {
  documentCalls(subject);
  for (const bool countOnly : {false, true}) {
    documents(subject, countOnly);
    workbooks(subject, countOnly);
  }
}

}  // namespace contract
