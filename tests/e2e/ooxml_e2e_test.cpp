// The files "*.doc" and "*.xls" also list (.docx, .docm, .xlsx, .xlsm), written
// by python-docx, openpyxl and the office's converter, replaced through the
// window's handlers, and read back by the same independent libraries.
#include <fstream>

#include <gtest/gtest.h>

#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;

const std::string kScript = std::string(RAVELSK_E2E_DIR) + "/ooxml.py";

void python(const std::string& arguments) {
  int status = 0;
  const std::string out =
      e2e::run("/usr/bin/python3 " + e2e::quote(kScript) + " " + arguments + " 2>&1", &status);
  if (status != 0) throw std::runtime_error(out);
}

std::string readBack(const fs::path& file) {
  return e2e::run("/usr/bin/python3 " + e2e::quote(kScript) + " read " + e2e::quote(file.string()) +
                  " 2>&1");
}

std::string contentTypes(const fs::path& file) {
  return e2e::run("unzip -p " + e2e::quote(file.string()) + " '\\[Content_Types\\].xml'");
}

class NewerFormats : public ::testing::Test {
 protected:
  testsupport::WindowRig rig;
  fs::path folder;

  void SetUp() override {
    ASSERT_TRUE(office::libreoffice::registerServers(rig.servers));
    folder = rig.work.path() / "folder";
    fs::create_directories(folder);
  }
  std::string run(int option) {
    ui::Form1& form = rig.build();
    form.Form_Load();
    form.clickOption(option);
    form.openFolder(folder.string());
    form.Text1.text = "旧文本";
    form.Text2.text = "新文本";
    if (option == 2) {
      form.Command2_Click();
    } else {
      form.Command1_Click();
    }
    return testsupport::statusLines(form.Text3.text());
  }
};

TEST_F(NewerFormats, DocxAndDocmAreListedReplacedAndKeepTheirFormat) {
  python("docx " + e2e::quote((folder / "a.docx").string()) + " 正文旧文本 表格旧文本 页眉旧文本");
  python("docx " + e2e::quote((folder / "b.docx").string()) + " 正文 表格 页眉");
  python("docx " + e2e::quote((folder / "c.docx").string()) + " 宏旧文本 表格 页眉");
  e2e::convert(folder / "c.docx", "docm:MS Word 2007 XML VBA");
  fs::remove(folder / "c.docx");
  ASSERT_NE(contentTypes(folder / "c.docm").find("macroEnabled"), std::string::npos);
  const std::string untouched = readFile(folder / "b.docx");

  EXPECT_EQ(run(1), "a.docx 已替换内容\r\nb.docx 没找到替换的内容\r\nc.docm 已替换内容\r\n");
  EXPECT_EQ(readBack(folder / "a.docx"),
            "body\t正文新文本\ntable\t表格新文本\nheader\t页眉新文本\n");
  EXPECT_EQ(readFile(folder / "b.docx"), untouched);
  // python-docx refuses macro-enabled documents: read the body's XML.
  const std::string body =
      e2e::run("unzip -p " + e2e::quote((folder / "c.docm").string()) + " word/document.xml");
  EXPECT_NE(body.find("宏新文本"), std::string::npos);
  EXPECT_EQ(body.find("宏旧文本"), std::string::npos);
  EXPECT_NE(contentTypes(folder / "c.docm").find("macroEnabled"), std::string::npos);
}

TEST_F(NewerFormats, XlsxAndXlsmAreListedReplacedSheetBySheetAndKeepTheirFormat) {
  python("xlsx " + e2e::quote((folder / "d.xlsx").string()) +
         " 'S1=a|x 旧文本 y' '数据=旧文本' '筛选=标题|旧文本 显示|{hidden}旧文本 藏'");
  python("xlsx " + e2e::quote((folder / "e.xlsx").string()) + " 'Only=nothing'");
  python("xlsx " + e2e::quote((folder / "f.xlsx").string()) + " 'M=宏旧文本'");
  e2e::convert(folder / "f.xlsx", "xlsm:Calc MS Excel 2007 VBA XML");
  fs::remove(folder / "f.xlsx");
  ASSERT_NE(contentTypes(folder / "f.xlsm").find("macroEnabled"), std::string::npos);
  const std::string untouched = readFile(folder / "e.xlsx");

  EXPECT_EQ(run(2),
            "d.xlsx-S1已替换内容\r\nd.xlsx-数据已替换内容\r\nd.xlsx-筛选已替换内容\r\n"
            "e.xlsx-Only没找到替换的内容\r\nf.xlsm-M已替换内容\r\n");
  // Also in the row the filter hides.
  EXPECT_EQ(readBack(folder / "d.xlsx"),
            "S1\t1\ta\nS1\t2\tx 新文本 y\n数据\t1\t新文本\n"
            "筛选\t1\t标题\n筛选\t2\t新文本 显示\n筛选\t3\t新文本 藏\n");
  EXPECT_EQ(readFile(folder / "e.xlsx"), untouched);
  EXPECT_EQ(readBack(folder / "f.xlsm"), "M\t1\t宏新文本\n");
  EXPECT_NE(contentTypes(folder / "f.xlsm").find("macroEnabled"), std::string::npos);
}

}  // namespace

TEST_F(NewerFormats, XlsxTextCellsStayTextAndNumbersAndFormulasKeepTheirKind) {
  python("xlsx " + e2e::quote((folder / "k.xlsx").string()) +
         " 'S=110101199003071234-旧|00123-旧|2024-01-05旧|1/2旧|旧=1+1|3.50旧|{number}12345|"
         "{formula}=LEN(\"旧旧旧\")+1' 'H=标题|旧 显示|{hidden}=旧 藏'");
  ui::Form1& form = rig.build();
  form.Form_Load();
  form.clickOption(2);
  form.openFolder(folder.string());
  form.Text1.text = "旧";
  form.Text2.text = "";
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "k.xlsx-S已替换内容\r\nk.xlsx-H已替换内容\r\n");
  const auto types = [&] {
    return e2e::run("/usr/bin/python3 " + e2e::quote(kScript) + " types " +
                    e2e::quote((folder / "k.xlsx").string()) + " 2>&1");
  };
  EXPECT_EQ(types(),
            "S\t1\ts\t110101199003071234-\nS\t2\ts\t00123-\nS\t3\ts\t2024-01-05\nS\t4\ts\t1/2\n"
            "S\t5\ts\t=1+1\nS\t6\ts\t3.50\nS\t7\tn\t12345\nS\t8\tf\t=LEN(\"\")+1\n"
            // Also in a row a filter hides.
            "H\t1\ts\t标题\nH\t2\ts\t 显示\nH\t3\ts\t= 藏\n");
  // The one cell beginning with "=" is in the hidden row.
  form.Text1.text = "藏";
  form.Text2.text = "新藏";
  form.Command2_Click();
  EXPECT_NE(types().find("H\t3\ts\t= 新藏\n"), std::string::npos) << types();
}
