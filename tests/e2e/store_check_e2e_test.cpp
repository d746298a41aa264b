// A document the office has no room for in its temporary folder, and a store
// that comes out cut short or empty: the document stays byte for byte as it
// was, its line says why, and nothing is reported replaced. The temporary
// folder is a small file system the test mounts itself (as root). The large
// files are written by the office's converter and compared with cmp.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "office/libreoffice/stored_file_check.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
namespace ll = office::libreoffice;
using office::Variant;
using testsupport::readFile;
using testsupport::TempFolder;

const std::string kOld = "旧文本";
const std::string kNew = "新文本";
const std::string kNoRoom =
    " 处理失败，错误代码：-2147467259错误描述：临时文件夹空间不足，未作改动";

// A .doc of about 1.1 MB of text (the office stores a document of that much
// text into a full folder as an empty skeleton), a .docx of about 1.4 MB
// (mostly an image), a .xls of about 1.3 MB, and a .xlsx.
class LargeFiles {
 public:
  static fs::path file(const std::string& name) { return instance().folder_.path() / name; }

 private:
  static LargeFiles& instance() {
    static LargeFiles files;
    return files;
  }
  LargeFiles() {
    const fs::path folder = folder_.path();
    const std::string script = std::string(RAVELSK_E2E_DIR) + "/large_sources.py";
    e2e::run("/usr/bin/python3 " + e2e::quote(script) + " html " +
             e2e::quote((folder / "big.html").string()) + " 旧文本 6000");
    e2e::run("/usr/bin/python3 " + e2e::quote(script) + " fodt " +
             e2e::quote((folder / "image.fodt").string()) + " 旧文本 40 1400");
    e2e::run("/usr/bin/python3 " + e2e::quote(script) + " fods " +
             e2e::quote((folder / "big.fods").string()) + " 旧文本 16000");
    e2e::convert(folder / "big.html", "doc:MS Word 97");
    e2e::convert(folder / "image.fodt", "docx:MS Word 2007 XML");
    fs::rename(folder / "image.docx", folder / "big.docx");
    e2e::convert(folder / "big.fods", "xls:MS Excel 97");
    e2e::convert(folder / "big.fods", "xlsx:Calc MS Excel 2007 XML");
    for (const char* name : {"big.doc", "big.docx", "big.xls", "big.xlsx"}) {
      if (!fs::exists(folder / name)) throw std::runtime_error(std::string("no ") + name);
    }
  }
  TempFolder folder_;
};

bool same(const fs::path& a, const fs::path& b) {
  int status = -1;
  e2e::run("cmp -s " + e2e::quote(a.string()) + " " + e2e::quote(b.string()), &status);
  return status == 0;
}

// TMPDIR on a small tmpfs of the test's own for the test's length; its
// mount is gone again at the end, also when the test fails.
class SmallTemporaryFolder : public ::testing::Test {
 protected:
  TempFolder mountPoint;
  testsupport::WindowRig rig;
  fs::path folder = rig.work.path() / "folder";

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small temporary folder needs root";
  }
  // The files are copied in before TMPDIR points at the small folder.
  void prepare(const char* size, const std::vector<std::string>& names) {
    ASSERT_TRUE(ll::registerServers(rig.servers));
    fs::create_directories(folder);
    for (const std::string& name : names) fs::copy_file(LargeFiles::file(name), folder / name);
    const std::string options = std::string("size=") + size;
    ASSERT_EQ(::mount("ravelsk-test", mountPoint.path().c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                      options.c_str()),
              0)
        << std::strerror(errno);
    mounted_ = true;
    if (const char* old = std::getenv("TMPDIR")) oldTmpdir_ = old;
    ::setenv("TMPDIR", mountPoint.str().c_str(), 1);
  }
  void TearDown() override {
    if (!mounted_) return;
    if (oldTmpdir_) {
      ::setenv("TMPDIR", oldTmpdir_->c_str(), 1);
    } else {
      ::unsetenv("TMPDIR");
    }
    // The run has quit its office; one still holding the folder is a failure,
    // and the mount goes all the same.
    if (::umount(mountPoint.path().c_str()) != 0) {
      ADD_FAILURE() << "the small folder is still in use: " << std::strerror(errno);
      ::umount2(mountPoint.path().c_str(), MNT_DETACH);
    }
  }
  std::string run(int option) {
    ui::Form1& form = rig.build();
    form.Form_Load();
    form.clickOption(option);
    form.openFolder(folder.string());
    form.Text1.text = kOld;
    form.Text2.text = kNew;
    option == 2 ? form.Command2_Click() : form.Command1_Click();
    return testsupport::statusLines(form.Text3.text());
  }

 private:
  bool mounted_ = false;
  std::optional<std::string> oldTmpdir_;
};

// With 1 MB for the office's temporary files the office does not fail
// plainly: a large document's store may come back with an empty skeleton, a
// workbook's store may keep it busy until the watchdog, a .docx may fail to
// load with a question. Each file fails before the office gets it.
TEST_F(SmallTemporaryFolder, ALargeFileFailsAtOnceAndStaysAsItWas) {
  ASSERT_NO_FATAL_FAILURE(prepare("1m", {"big.doc", "big.docx", "big.xls"}));
  EXPECT_EQ(run(1), "big.doc" + kNoRoom + "\r\nbig.docx" + kNoRoom + "\r\n");
  EXPECT_EQ(run(2), "big.xls" + kNoRoom + "\r\n");
  for (const char* name : {"big.doc", "big.docx", "big.xls"}) {
    EXPECT_TRUE(same(folder / name, LargeFiles::file(name))) << name;
  }
  EXPECT_EQ(rig.journal().find("已替换内容"), std::string::npos) << rig.journal();
  EXPECT_NE(rig.journal().find("big.xls" + kNoRoom), std::string::npos) << rig.journal();
  EXPECT_EQ(e2e::leftovers(folder), std::vector<std::string>{});
}

// The room runs out between the load and the store: the office returns from
// the store having written a skeleton, which never takes the document's place.
TEST_F(SmallTemporaryFolder, AStoreIntoAFolderThatFilledUpLeavesTheDocumentAsItWas) {
  ASSERT_NO_FATAL_FAILURE(prepare("8m", {"big.doc"}));
  office::Object app = rig.servers.create("word.Application");
  app.get("Documents").toObject().call("Open", {Variant((folder / "big.doc").string())});
  struct statvfs room {};
  ASSERT_EQ(::statvfs(mountPoint.path().c_str(), &room), 0);
  // All but 256 KB taken: less than the stored file needs.
  const off_t fill = static_cast<off_t>(room.f_bavail * room.f_frsize) - (256 << 10);
  const int filler =
      ::open((mountPoint.path() / "filler").c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  ASSERT_GE(filler, 0);
  EXPECT_EQ(::posix_fallocate(filler, 0, fill), 0);
  ::close(filler);
  app.get("ActiveDocument")
      .toObject()
      .get("Content")
      .toObject()
      .get("Find")
      .toObject()
      .call("Execute",
            std::vector<std::pair<std::string, Variant>>{
                {"FindText", kOld}, {"ReplaceWith", kNew}, {"Replace", std::int16_t{2}}});
  std::string why = "stored";
  try {
    app.get("Documents").toObject().call("Close", {Variant(true)});
  } catch (const office::AutomationError& e) {
    why = e.description();
  }
  app.call("Quit");
  app.release();
  EXPECT_EQ(why, "临时文件夹空间不足，未作改动");
  EXPECT_TRUE(same(folder / "big.doc", LargeFiles::file("big.doc")));
  EXPECT_EQ(e2e::leftovers(folder), std::vector<std::string>{});
}

// What the office reads but does not write back fails the file, which stays
// byte for byte as it was, naming what it would lose (LibreOffice drops the
// "Company" property of every binary file); what a replacement itself would
// lose (a hyperlink cell's link, on a protected sheet too) is kept.
TEST(KeptParts, AFileThatWouldLoseAPartStaysAsItWas) {
  struct Row {
    std::vector<std::string> book;
    std::string line;  // empty: the file is replaced
    std::string after;
    std::vector<std::string> kept;  // ASCII texts the file still holds (as UTF-16)
  };
  const std::string failed = "book.xls 处理失败，错误代码：-2147467259错误描述：";
  const std::vector<Row> rows{
      {{"@company=旧公司", "S=旧文本"}, failed + "保存后会丢失：文档属性“公司”，未作改动\r\n", ""},
      {{"S={link}http://example.com/ 旧文本链接|{note}旧文本|别的"},
       "",
       "S\t0,0\t新文本链接\nS\t1,0\t新文本\nS\t2,0\t别的\n",
       {"http://example.com/", "note on "}},
      {{"!S={unlocked}{link}http://example.com/ 旧文本链接|{unlocked}旧文本|锁定"},
       "",
       "S\t0,0\t新文本链接\nS\t1,0\t新文本\nS\t2,0\t锁定\n",
       {"http://example.com/"}},
  };
  testsupport::WindowRig rig;
  ASSERT_TRUE(ll::registerServers(rig.servers));
  ui::Form1& form = rig.build();
  form.Form_Load();
  form.clickOption(2);
  for (std::size_t i = 0; i < rows.size(); ++i) {
    SCOPED_TRACE(rows[i].book.front());
    const fs::path folder = rig.work.path() / ("folder" + std::to_string(i));
    fs::create_directories(folder);
    e2e::makeWorkbook(folder / "book.xls", rows[i].book);
    const std::string before = readFile(folder / "book.xls");
    form.openFolder(folder.string());
    form.Text1.text = kOld;
    form.Text2.text = kNew;
    const std::size_t from = testsupport::statusLines(form.Text3.text()).size();
    form.Command2_Click();
    if (!rows[i].line.empty()) {
      EXPECT_EQ(testsupport::statusLines(form.Text3.text()).substr(from), rows[i].line);
      EXPECT_EQ(readFile(folder / "book.xls"), before);
      continue;
    }
    EXPECT_EQ(testsupport::statusLines(form.Text3.text()).substr(from), "book.xls-S已替换内容\r\n");
    EXPECT_EQ(e2e::readWorkbook(folder / "book.xls"), rows[i].after);
    const std::string after = readFile(folder / "book.xls");
    for (const std::string& ascii : rows[i].kept) {
      std::string wide;
      for (const char c : ascii) wide += std::string{c, '\0'};
      EXPECT_NE(after.find(wide), std::string::npos) << ascii;
    }
  }
}

// The check on the files the office writes: whole ones pass, however cut
// short they fail.
TEST(StoredFileCheck, TakesTheOfficesFilesAndRefusesThemCutShort) {
  struct Case {
    const char* name;
    const char* filter;
  };
  const Case cases[] = {{"big.doc", "MS Word 97"},
                        {"big.xls", "MS Excel 97"},
                        {"big.docx", "MS Word 2007 XML"},
                        {"big.xlsx", "Calc MS Excel 2007 XML"}};
  TempFolder work;
  for (const Case& c : cases) {
    const std::string whole = readFile(LargeFiles::file(c.name));
    const ll::StoredFormat format = ll::storedFormat(c.filter);
    EXPECT_EQ(ll::checkStoredFile(LargeFiles::file(c.name), format), ll::StoredFault::None)
        << c.name;
    for (const std::size_t keep : {std::size_t{100}, whole.size() / 2, whole.size() - 100}) {
      const fs::path cut = work.path() / c.name;
      std::ofstream(cut, std::ios::binary | std::ios::trunc) << whole.substr(0, keep);
      EXPECT_NE(ll::checkStoredFile(cut, format), ll::StoredFault::None) << c.name << " " << keep;
    }
  }
}

}  // namespace
