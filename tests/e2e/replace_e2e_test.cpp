// The whole program against the real office: documents and workbooks made by
// independent writers, replaced through the window's handlers, and read back
// by independent readers.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <memory>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "support/fixtures.h"
#include "text/text_encoding.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::WindowRig;

const std::string kOld = "旧文本";
const std::string kNew = "新文本";

// Made once: converting takes a few seconds.
class Corpus {
 public:
  static const fs::path& documents() { return instance().docs_.path(); }
  static const fs::path& workbooks() { return instance().books_.path(); }
  // Password-protected copies of 正文.doc and book.xls, in both formats.
  static const fs::path& protectedFiles() { return instance().protected_.path(); }

 private:
  static Corpus& instance() {
    static Corpus corpus;
    return corpus;
  }
  Corpus() {
    e2e::makeDocuments(docs_.path(), {
                                         {"正文.doc", "正文里有旧文本，还有一个旧文本。",
                                          "表格旧文本", "页眉旧文本"},
                                         {"只在表格.doc", "正文没有", "旧文本在表格里", "页眉"},
                                         {"只在页眉.doc", "正文没有", "表格没有", "页眉旧文本"},
                                         {"无关.doc", "正文没有", "表格没有", "页眉没有"},
                                         {"a #1 %20 报告.doc", "旧文本", "", ""},
                                     });
    e2e::makeWorkbook(books_.path() / "book.xls",
                      {"Sheet1=a|b", "数据=x 旧文本 y|z", "Sheet3=旧文本|old and OLD"});
    e2e::makeWorkbook(books_.path() / "plain.xls", {"Only=nothing here"});
    e2e::protect(docs_.path() / "正文.doc", protected_.path() / "protected.doc", "MS Word 97");
    e2e::protect(books_.path() / "book.xls", protected_.path() / "protected.xls", "MS Excel 97");
    e2e::protect(docs_.path() / "正文.doc", protected_.path() / "protected.docx",
                 "MS Word 2007 XML");
    e2e::protect(books_.path() / "book.xls", protected_.path() / "protected.xlsx",
                 "Calc MS Excel 2007 XML");
  }
  testsupport::TempFolder docs_;
  testsupport::TempFolder books_;
  testsupport::TempFolder protected_;
};

// The status box's lines, each still ending in its CR.
std::vector<std::string> statusLines(const ui::Form1& form) {
  std::istringstream status(testsupport::statusLines(form.Text3.text()));
  std::vector<std::string> lines;
  for (std::string line; std::getline(status, line);) lines.push_back(line);
  return lines;
}

void copyFolder(const fs::path& from, const fs::path& to) {
  fs::create_directories(to);
  fs::copy(from, to, fs::copy_options::recursive | fs::copy_options::overwrite_existing);
}

class EndToEnd : public ::testing::Test {
 protected:
  WindowRig rig;
  fs::path folder;

  void SetUp() override {
    ASSERT_TRUE(office::libreoffice::registerServers(rig.servers, options()));
  }
  void TearDown() override {
    rig.form.reset();
    EXPECT_TRUE(e2e::officeProcesses().empty()) << "an office process outlived the run";
  }
  virtual office::libreoffice::Options options() { return {}; }

  ui::Form1& prepare(const fs::path& corpus, int option) {
    folder = rig.work.path() / "folder";
    copyFolder(corpus, folder);
    ui::Form1& form = rig.build();
    form.Form_Load();
    form.clickOption(option);
    form.openFolder(folder.string());
    form.Text1.text = kOld;
    form.Text2.text = kNew;
    return form;
  }
  std::string runLines() const {
    // The lines of the run: the journal holds them after start-up's.
    const std::string journal = rig.journal();
    std::string lines;
    std::istringstream in(journal);
    for (std::string line; std::getline(in, line);) {
      if (line.find("错误代码：429") == std::string::npos) lines += line + "\n";
    }
    return lines;
  }
};

TEST_F(EndToEnd, StartUpReadsTheVersionWithoutStartingAnOffice) {
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption.rfind("1、本机系统提示: 已安装LibreOffice 版本号：7.", 0), 0u)
      << form.Label2.caption;
  EXPECT_NE(form.Label2.caption.find("\r\n2、未安装WPS-V8或以下版本\r\n3、未安装WPS-V9或以上版本"),
            std::string::npos);
  EXPECT_TRUE(form.Option1.enabled);
  EXPECT_FALSE(form.Option3.enabled);
  EXPECT_TRUE(e2e::officeProcesses().empty());
}

TEST_F(EndToEnd, DocumentsAreReplacedInBodyTablesAndHeadersAndOthersLeftAlone) {
  ui::Form1& form = prepare(Corpus::documents(), 1);
  form.Command1_Click();

  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a #1 %20 报告.doc 已替换内容\r\n"
            "只在表格.doc 已替换内容\r\n"
            "只在页眉.doc 已替换内容\r\n"
            "无关.doc 没找到替换的内容\r\n"
            "正文.doc 已替换内容\r\n");
  EXPECT_EQ(runLines(),
            "时间：2026/12/8 9:30:05 a #1 %20 报告.doc 已替换内容\r\n"
            "时间：2026/12/8 9:30:05 只在表格.doc 已替换内容\r\n"
            "时间：2026/12/8 9:30:05 只在页眉.doc 已替换内容\r\n"
            "时间：2026/12/8 9:30:05 无关.doc 没找到替换的内容\r\n"
            "时间：2026/12/8 9:30:05 正文.doc 已替换内容\r\n");

  const std::string body = e2e::antiword(folder / "正文.doc");
  EXPECT_NE(body.find("正文里有新文本，还有一个新文本。"), std::string::npos) << body;
  EXPECT_NE(body.find("表格新文本"), std::string::npos) << body;
  EXPECT_EQ(body.find(kOld), std::string::npos) << body;
  EXPECT_NE(e2e::catdoc(folder / "正文.doc").find("页眉新文本"), std::string::npos);
  EXPECT_NE(e2e::antiword(folder / "只在表格.doc").find("新文本在表格里"), std::string::npos);
  const std::string header = e2e::catdoc(folder / "只在页眉.doc");
  EXPECT_NE(header.find("页眉新文本"), std::string::npos) << header;
  EXPECT_EQ(header.find(kOld), std::string::npos) << header;
  EXPECT_NE(e2e::antiword(folder / "a #1 %20 报告.doc").find(kNew), std::string::npos);

  EXPECT_EQ(readFile(folder / "无关.doc"), readFile(Corpus::documents() / "无关.doc"));
  EXPECT_TRUE(e2e::leftovers(folder).empty());
}

// The window keeps each run's originals beside the journal; after a restart
// 撤销上次替换 puts back every file still as the run left it, and leaves the
// one another program edited since, saying so.
class EndToEndBackups : public EndToEnd {
 protected:
  std::shared_ptr<office::libreoffice::Options::BackupPlace> place =
      std::make_shared<office::libreoffice::Options::BackupPlace>();
  office::libreoffice::Options options() override {
    office::libreoffice::Options options;
    options.backupPlace = place;
    return options;
  }
  void SetUp() override {
    EndToEnd::SetUp();
    rig.keepOriginalsIn = [this](const std::string& root, const std::string& backups) {
      place->root = text::pathFromUtf8(root);
      place->folder = text::pathFromUtf8(backups);
      return std::unique_ptr<replace::OriginalKeeper>();
    };
  }
};

TEST_F(EndToEndBackups, AnUndoAfterARestartRestoresAllButTheFileEditedSince) {
  ui::Form1& form = prepare(Corpus::documents(), 1);
  EXPECT_TRUE(form.backsUpOriginals());
  std::map<std::string, std::string> before;
  for (const auto& entry : fs::directory_iterator(folder)) {
    before[entry.path().filename().string()] = readFile(entry.path());
  }
  form.Command1_Click();
  EXPECT_TRUE(place->folder.empty()) << "the offices keep originals after the run";
  const fs::path backups = form.journalFolder() / "备份" / "2026-12-08 09-30-05";
  ASSERT_TRUE(fs::exists(backups / "ravelsk-backup.txt"));
  EXPECT_EQ(readFile(backups / "正文.doc"), before.at("正文.doc"));
  EXPECT_FALSE(fs::exists(backups / "无关.doc"));
  std::ofstream(folder / "只在表格.doc", std::ios::binary | std::ios::app) << "edited";
  const std::string edited = readFile(folder / "只在表格.doc");

  rig.form.reset();  // a restart
  ui::Form1& again = rig.build(folder.string());
  again.Form_Load();
  rig.view.questions.clear();
  rig.view.answer = true;
  again.undoLastRun_Click();
  EXPECT_EQ(rig.view.questions,
            std::vector<std::string>{"将把 4 个文件恢复为 2026-12-08 09-30-05 "
                                     "那次替换前的内容（之后被修改过的文件不动）。要撤销吗？"});
  EXPECT_EQ(statusLines(again), (std::vector<std::string>{
                                    "a #1 %20 报告.doc 已恢复为替换前的内容\r",
                                    "只在表格.doc 已在替换后被修改，未恢复\r",
                                    "只在页眉.doc 已恢复为替换前的内容\r",
                                    "正文.doc 已恢复为替换前的内容\r",
                                }));
  for (const auto& [name, bytes] : before) {
    EXPECT_EQ(readFile(folder / name), name == "只在表格.doc" ? edited : bytes) << name;
  }
  EXPECT_NE(runLines().find("只在表格.doc 已在替换后被修改，未恢复"), std::string::npos);
  // Undone once: the next undo finds no other run.
  again.undoLastRun_Click();
  EXPECT_EQ(rig.view.messages.back(), "没有可以撤销的替换：还没有哪次替换保存过原文件");
}

TEST_F(EndToEnd, WorkbooksAreReplacedSheetBySheetAndUnchangedOnesNotRewritten) {
  ui::Form1& form = prepare(Corpus::workbooks(), 2);
  form.Text1.text = "旧文本";
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "book.xls-Sheet1没找到替换的内容\r\n"
            "book.xls-数据已替换内容\r\n"
            "book.xls-Sheet3已替换内容\r\n"
            "plain.xls-Only没找到替换的内容\r\n");
  EXPECT_EQ(e2e::readWorkbook(folder / "book.xls"),
            "Sheet1\t0,0\ta\nSheet1\t1,0\tb\n"
            "数据\t0,0\tx 新文本 y\n数据\t1,0\tz\n"
            "Sheet3\t0,0\t新文本\nSheet3\t1,0\told and OLD\n");
  EXPECT_EQ(readFile(folder / "plain.xls"), readFile(Corpus::workbooks() / "plain.xls"));
  EXPECT_TRUE(e2e::leftovers(folder).empty());
}

TEST_F(EndToEnd, WorkbookSearchIgnoresCaseAndTakesTheTextLiterally) {
  ui::Form1& form = prepare(Corpus::workbooks(), 2);
  form.Text1.text = "OLD";
  form.Text2.text = "n.w";
  form.Command2_Click();
  EXPECT_NE(e2e::readWorkbook(folder / "book.xls").find("Sheet3\t1,0\tn.w and n.w\n"),
            std::string::npos);
  form.Text1.text = "n.w";  // a dot is no wildcard: "and" does not match
  form.Text2.text = "x";
  form.Command2_Click();
  EXPECT_NE(e2e::readWorkbook(folder / "book.xls").find("Sheet3\t1,0\tx and x\n"),
            std::string::npos);
}

// Text that would read as a number, a date or a formula if typed stays text
// with exactly the replaced string; numbers and formulas are replaced as the
// office replaces them (re-read as typed input), and a formula in a cell
// formatted as text stays a formula.
TEST_F(EndToEnd, AReplacementNeverChangesWhatKindOfValueACellHolds) {
  folder = rig.work.path() / "folder";
  fs::create_directories(folder);
  e2e::makeWorkbook(
      folder / "kinds.xls",
      {"S=110101199003071234-旧|00123-旧|2024-01-05旧|1/2旧|旧=1+1|3.50旧|"
       "{number}12345|{formula}=LEN(\"旧旧旧\")+1|{textformula}=LEN(\"旧1\")|"
       "{dateformula}=DATE(2024,1,LEN(\"旧文本\"))|{percentformula}=LEN(\"旧文本\")/100"});
  ui::Form1& form = rig.build();
  form.Form_Load();
  form.clickOption(2);
  form.openFolder(folder.string());
  struct Pass {
    std::string find, replace, expected;
  };
  const std::vector<Pass> passes{
      {"旧", "",
       "S\t0,0\tText\t110101199003071234-\nS\t1,0\tText\t00123-\nS\t2,0\tText\t2024-01-05\n"
       "S\t3,0\tText\t1/2\nS\t4,0\tText\t=1+1\nS\t5,0\tText\t3.50\n"
       "S\t6,0\tNumeric\t12345\nS\t7,0\tNumeric\t1\nS\t8,0\tNumeric\t1\nS\t9,0\tDate\t2024-01-"
       "02\nS\t10,0\tNumeric\t2%\n"},
      // A number's digits are replaced and the result is a number again.
      {"23", "",
       "S\t0,0\tText\t1101011990030714-\nS\t1,0\tText\t001-\nS\t2,0\tText\t2024-01-05\n"
       "S\t3,0\tText\t1/2\nS\t4,0\tText\t=1+1\nS\t5,0\tText\t3.50\n"
       "S\t6,0\tNumeric\t145\nS\t7,0\tNumeric\t1\nS\t8,0\tNumeric\t1\nS\t9,0\tDate\t2024-01-"
       "02\nS\t10,0\tNumeric\t2%\n"},
      // A replacement holding the find text is not replaced again.
      {"1", "11",
       "S\t0,0\tText\t1111011011119900307114-\nS\t1,0\tText\t0011-\nS\t2,0\tText\t2024-011-05\n"
       "S\t3,0\tText\t11/2\nS\t4,0\tText\t=11+11\nS\t5,0\tText\t3.50\n"
       "S\t6,0\tNumeric\t1145\nS\t7,0\tNumeric\t11\nS\t8,0\tNumeric\t2\nS\t9,0\tDate\t2024-11-"
       "02\nS\t10,0\tNumeric\t0%\n"},
      // A replacement that reads as text does not make a text that begins
      // with "=" a formula.
      {"1+1", "加",
       "S\t0,0\tText\t1111011011119900307114-\nS\t1,0\tText\t0011-\nS\t2,0\tText\t2024-011-05\n"
       "S\t3,0\tText\t11/2\nS\t4,0\tText\t=1加1\nS\t5,0\tText\t3.50\n"
       "S\t6,0\tNumeric\t1145\nS\t7,0\tNumeric\t11\nS\t8,0\tNumeric\t2\nS\t9,0\tDate\t2024-11-"
       "02\nS\t10,0\tNumeric\t0%\n"},
  };
  for (const Pass& pass : passes) {
    form.Text1.text = pass.find;
    form.Text2.text = pass.replace;
    form.Command2_Click();
    EXPECT_EQ(e2e::readWorkbook(folder / "kinds.xls", true), pass.expected) << pass.find;
  }
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "kinds.xls-S已替换内容\r\nkinds.xls-S已替换内容\r\nkinds.xls-S已替换内容\r\n"
            "kinds.xls-S已替换内容\r\n");
}

// The path of a formula's link to another workbook names where that workbook
// is: a folder named with the find text stays as it is, the rest of the
// formula and the sheet's text are replaced.
TEST_F(EndToEnd, ALinkToAnotherWorkbookKeepsItsPath) {
  folder = rig.work.path() / "folder";
  const fs::path linked = rig.work.path() / kOld;
  fs::create_directories(folder);
  fs::create_directories(linked);
  e2e::makeWorkbook(linked / "other.xls", {"Sheet1={number}42"});
  const std::string url = "file://" + (linked / "other.xls").string();
  std::ofstream(folder / "main.fods")
      << R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:of="urn:oasis:names:tc:opendocument:xmlns:of:1.2" office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.spreadsheet">
<office:body><office:spreadsheet><table:table table:name="S">
<table:table-row><table:table-cell table:formula="of:=[')"
      << url << R"('#$Sheet1.A1]" office:value-type="float" office:value="42"/></table:table-row>
<table:table-row><table:table-cell table:formula="of:=LEN(&quot;)"
      << kOld << R"(&quot;)&amp;[')" << url
      << R"('#$Sheet1.A1]" office:value-type="string" office:string-value="342"/></table:table-row>
</table:table></office:spreadsheet></office:body></office:document>
)";
  e2e::convert(folder / "main.fods", "xls:MS Excel 97");
  fs::remove(folder / "main.fods");
  const auto utf16 = [](const std::u16string& text) {
    std::string bytes;
    for (char16_t c : text) {
      bytes += static_cast<char>(c & 0xff);
      bytes += static_cast<char>((c >> 8) & 0xff);
    }
    return bytes;
  };
  // An .xls keeps a link's path in UTF-16, each folder ended by \x03.
  const auto path = [&](const std::u16string& folderName) {
    return utf16(folderName + u"\x03other.xls");
  };
  ASSERT_NE(readFile(folder / "main.xls").find(path(u"旧文本")), std::string::npos);

  ui::Form1& form = rig.build();
  form.Form_Load();
  form.clickOption(2);
  form.openFolder(folder.string());
  form.Text1.text = kOld;
  form.Text2.text = kNew;
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "main.xls-S已替换内容\r\n");
  const std::string after = readFile(folder / "main.xls");
  EXPECT_NE(after.find(path(u"旧文本")), std::string::npos);
  EXPECT_EQ(after.find(path(u"新文本")), std::string::npos);
  EXPECT_NE(after.find(utf16(u"新文本")), std::string::npos);  // in the LEN formula
}

// A sheet whose locked cells keep the text, all of them or some, fails its
// workbook, which stays as it was; its unlocked cells alone are replaced.
TEST_F(EndToEnd, TextInLockedCellsIsAFailureNotAReplacement) {
  struct Row {
    std::string sheet;
    std::string lines;
    std::string after;  // the cells read back; "" for a workbook left as it was
    std::string find = kOld;
  };
  const std::string failed = "locked.xls-S 处理失败，错误代码：-2147467259错误描述：";
  const std::vector<Row> rows{
      {"!S=00123-旧文本|{formula}=LEN(\"旧文本\")",
       failed + "找到的内容位于不能修改的部分（受保护的区域），未作改动\r\n", ""},
      {"!S=旧文本 一|{unlocked}旧文本 二|{unlocked}别的|{formula}=LEN(\"旧文本\")",
       failed + "部分单元格无法替换：2 处受保护，未作改动\r\n", ""},
      {"!S=锁定|{unlocked}旧文本 二|{unlocked}00123-旧文本",
       "locked.xls-S已替换内容\r\nlocked.xls-Open已替换内容\r\n",
       "S\t0,0\t锁定\nS\t1,0\t新文本 二\nS\t2,0\t00123-新文本\nOpen\t0,0\t新文本\n"},
      // A date the office finds by the text it shows cannot be set here; a
      // plain number can.
      {"!S={unlocked}旧23|{unlocked}{number}12345|{unlocked}{date}2024-01-23",
       failed + "部分单元格无法替换：1 处受保护，未作改动\r\n", "", "23"},
      {"!S={unlocked}{number}12345",
       "locked.xls-S已替换内容\r\nlocked.xls-Open没找到替换的内容\r\n",
       "S\t0,0\t1新文本45\nOpen\t0,0\t旧文本\n", "23"},
  };
  ui::Form1& form = rig.build();
  form.Form_Load();
  form.clickOption(2);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].sheet);
    folder = rig.work.path() / ("folder" + std::to_string(i));
    fs::create_directories(folder);
    e2e::makeWorkbook(folder / "locked.xls", {rows[i].sheet, "Open=旧文本"});
    const std::string before = readFile(folder / "locked.xls");
    form.openFolder(folder.string());
    form.Text1.text = rows[i].find;
    form.Text2.text = kNew;
    const std::size_t from = testsupport::statusLines(form.Text3.text()).size();
    form.Command2_Click();
    EXPECT_EQ(testsupport::statusLines(form.Text3.text()).substr(from), rows[i].lines);
    if (rows[i].after.empty()) {
      EXPECT_EQ(readFile(folder / "locked.xls"), before);
    } else {
      EXPECT_EQ(e2e::readWorkbook(folder / "locked.xls"), rows[i].after);
    }
  }
}

TEST_F(EndToEnd, BadFilesAreReportedAndTheRestOfTheBatchIsDone) {
  ui::Form1& form = rig.build();
  folder = rig.work.path() / "folder";
  fs::create_directories(folder);
  fs::copy_file(Corpus::documents() / "正文.doc", folder / "1 good.doc");
  const std::string whole = readFile(Corpus::documents() / "正文.doc");
  std::ofstream(folder / "2 truncated.doc", std::ios::binary) << whole.substr(0, whole.size() / 3);
  std::ofstream(folder / "3 text.doc", std::ios::binary) << "plain text with 旧文本 in it\n";
  fs::copy_file(Corpus::documents() / "正文.doc", folder / "4 locked.doc");
  std::ofstream(folder / ".~lock.4 locked.doc#")
      << "Other User,otherhost,other,08.12.2026 09:00,file:///home/other/.config/libreoffice/4;\n";
  fs::copy_file(Corpus::documents() / "正文.doc", folder / "5 missing.doc");
  fs::copy_file(Corpus::protectedFiles() / "protected.doc", folder / "6 protected.doc");
  fs::copy_file(Corpus::documents() / "正文.doc", folder / "7 good.doc");
  form.Form_Load();
  form.clickOption(1);
  form.openFolder(folder.string());
  fs::remove(folder / "5 missing.doc");
  form.Text1.text = kOld;
  form.Text2.text = kNew;
  form.Command1_Click();

  const std::vector<std::string> lines = statusLines(form);
  ASSERT_EQ(lines.size(), 7u) << testsupport::statusLines(form.Text3.text());
  EXPECT_EQ(lines[0], "1 good.doc 已替换内容\r");
  EXPECT_EQ(lines[1],
            "2 truncated.doc 处理失败，错误代码：-2147467259错误描述：无法打开文档：文档已损坏\r");
  EXPECT_EQ(lines[2].rfind("3 text.doc 处理失败，错误代码：-2147467259错误描述：不是 Word 文档", 0),
            0u)
      << lines[2];
  EXPECT_EQ(
      lines[3].rfind("4 locked.doc "
                     "处理失败，错误代码：-2147467259错误描述：无法打开文档：文档已被其他程序锁定",
                     0),
      0u)
      << lines[3];
  EXPECT_EQ(lines[4], "5 missing.doc 处理失败，错误代码：5174错误描述：找不到文件：" +
                          (folder / "5 missing.doc").string() + "\r");
  EXPECT_EQ(lines[5],
            "6 protected.doc 处理失败，错误代码：-2147467259错误描述：无法打开文档：文档已加密\r");
  EXPECT_EQ(lines[6], "7 good.doc 已替换内容\r");

  EXPECT_EQ(readFile(folder / "2 truncated.doc"), whole.substr(0, whole.size() / 3));
  EXPECT_EQ(readFile(folder / "3 text.doc"), "plain text with 旧文本 in it\n");
  EXPECT_EQ(readFile(folder / "4 locked.doc"), whole);
  EXPECT_EQ(e2e::leftovers(folder), std::vector<std::string>{".~lock.4 locked.doc#"});
  EXPECT_EQ(readFile(folder / "6 protected.doc"),
            readFile(Corpus::protectedFiles() / "protected.doc"));
  EXPECT_EQ(e2e::antiword(folder / "7 good.doc").find(kOld), std::string::npos);
}

TEST_F(EndToEnd, StoringKeepsLinksPermissionsAndOwner) {
  ui::Form1& form = prepare(Corpus::documents(), 1);
  const fs::path real = rig.work.path() / "elsewhere.doc";
  fs::rename(folder / "正文.doc", real);
  fs::create_symlink(real, folder / "正文.doc");
  fs::permissions(folder / "只在表格.doc",
                  fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown((folder / "只在表格.doc").c_str(), 65534, 65534), 0);
  }
  form.openFolder(folder.string());
  form.Command1_Click();

  EXPECT_TRUE(fs::is_symlink(folder / "正文.doc"));
  EXPECT_NE(e2e::antiword(real).find("正文里有新文本"), std::string::npos);
  struct stat st {};
  ASSERT_EQ(::stat((folder / "只在表格.doc").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  if (root) {
    EXPECT_EQ(st.st_uid, 65534u);
  }
  EXPECT_NE(e2e::antiword(folder / "只在表格.doc").find("新文本在表格里"), std::string::npos);
  EXPECT_TRUE(e2e::leftovers(folder).empty());
}

TEST_F(EndToEnd, AProtectedWorkbookIsReportedAndTheNextOneDone) {
  ui::Form1& form = prepare(Corpus::workbooks(), 2);
  fs::copy_file(Corpus::protectedFiles() / "protected.xls", folder / "a protected.xls");
  form.openFolder(folder.string());
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a protected.xls 处理失败，错误代码：-2147467259错误描述：无法打开文档：文档已加密\r\n"
            "book.xls-Sheet1没找到替换的内容\r\n"
            "book.xls-数据已替换内容\r\n"
            "book.xls-Sheet3已替换内容\r\n"
            "plain.xls-Only没找到替换的内容\r\n");
  EXPECT_EQ(readFile(folder / "a protected.xls"),
            readFile(Corpus::protectedFiles() / "protected.xls"));
}

// Each says why in the user's words, with no text of the office's own making.
TEST_F(EndToEnd, FilesTheOfficeCannotOpenSayWhyAndStayAsTheyWere) {
  const std::string whole = readFile(Corpus::protectedFiles() / "protected.docx");
  struct Row {
    std::string name;
    std::string content;
    int option;
    std::string why;
  };
  const std::vector<Row> rows{
      {"加密.doc", readFile(Corpus::protectedFiles() / "protected.doc"), 1, "文档已加密"},
      {"加密.docx", whole, 1, "文档已加密"},
      {"加密.xls", readFile(Corpus::protectedFiles() / "protected.xls"), 2, "文档已加密"},
      {"加密.xlsx", readFile(Corpus::protectedFiles() / "protected.xlsx"), 2, "文档已加密"},
      {"截断.docx", readFile(Corpus::documents() / "正文.doc").substr(0, 3000), 1, "文档已损坏"},
      {"乱码.xls", std::string("\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1 not a workbook"), 2,
       "文件格式无法识别"},
  };
  ui::Form1& form = rig.build();
  form.Form_Load();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    folder = rig.work.path() / row.name;
    fs::create_directories(folder);
    std::ofstream(folder / row.name, std::ios::binary) << row.content;
    form.clickOption(row.option);
    form.openFolder(folder.string());
    form.Text1.text = kOld;
    form.Text2.text = kNew;
    const std::size_t before = testsupport::statusLines(form.Text3.text()).size();
    row.option == 1 ? form.Command1_Click() : form.Command2_Click();
    EXPECT_EQ(
        testsupport::statusLines(form.Text3.text()).substr(before),
        row.name + " 处理失败，错误代码：-2147467259错误描述：无法打开文档：" + row.why + "\r\n");
    EXPECT_EQ(readFile(folder / row.name), row.content);
    EXPECT_TRUE(e2e::leftovers(folder).empty());
  }
}

// Kills the office as soon as the first result is reported.
class KillingView : public testsupport::RecordingView {
 public:
  void text3Appended(const std::string& line) override {
    RecordingView::text3Appended(line);
    if (appended.size() == 1) {
      for (int pid : e2e::officeProcesses()) ::kill(pid, SIGKILL);
    }
  }
};

TEST_F(EndToEnd, AnOfficeKilledMidBatchIsReplacedAndTheBatchGoesOn) {
  KillingView view;
  ui::Form1& form = prepare(Corpus::documents(), 1);
  form.setView(&view);
  form.Command1_Click();
  const std::vector<std::string> lines = statusLines(form);
  ASSERT_EQ(lines.size(), 5u) << testsupport::statusLines(form.Text3.text());
  EXPECT_EQ(lines[0], "a #1 %20 报告.doc 已替换内容\r");
  EXPECT_EQ(lines[1], "只在表格.doc 处理失败，错误代码：" +
                          std::to_string(office::kErrServerUnavailable) +
                          "错误描述：LibreOffice 已停止响应（办公软件处理此文件时意外退出）\r");
  EXPECT_EQ(lines[2], "只在页眉.doc 已替换内容\r");
  EXPECT_EQ(lines[4], "正文.doc 已替换内容\r");
  EXPECT_EQ(readFile(folder / "只在表格.doc"), readFile(Corpus::documents() / "只在表格.doc"));
  EXPECT_TRUE(e2e::leftovers(folder).empty());
  form.setView(&rig.view);
}

class EndToEndWatchdog : public EndToEnd {
 protected:
  office::libreoffice::Options options() override {
    office::libreoffice::Options o;
    o.documentTimeout = std::chrono::milliseconds(1);
    return o;
  }
};

TEST_F(EndToEndWatchdog, ADocumentThatTakesTooLongIsFailedAndTheOfficeEnded) {
  ui::Form1& form = prepare(Corpus::documents(), 1);
  form.Command1_Click();
  const std::string timeout = "处理失败，错误代码：" +
                              std::to_string(office::kErrServerUnavailable) +
                              "错误描述：处理超时，LibreOffice 已被终止\r\n";
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a #1 %20 报告.doc " + timeout + "只在表格.doc " + timeout + "只在页眉.doc " + timeout +
                "无关.doc " + timeout + "正文.doc " + timeout);
  for (const auto& entry : fs::directory_iterator(Corpus::documents())) {
    const fs::path name = entry.path().filename();
    EXPECT_EQ(readFile(folder / name), readFile(entry.path())) << name;
  }
  EXPECT_TRUE(e2e::leftovers(folder).empty());
}

}  // namespace
