// What one three-sheet workbook, or one plain letter, costs in UNO messages
// sent to the office: the program's run through the window, against the plain
// loop doing the same work (bench/plain_loop.h) through the same counting
// connection. Counts, unlike times, do not depend on the machine's load, so a
// change that multiplies the calls to the office fails here and not only in a
// benchmark.
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include <gtest/gtest.h>

#include "bench/plain_loop.h"
#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "office/libreoffice/office_process.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using Counter = std::shared_ptr<std::atomic<std::uint64_t>>;

const std::string kOld = "旧文本";
const std::string kNew = "新文本";
constexpr int kFiles = 3;

// The bridge sends a release (and nothing else) without waiting for it, from
// a thread of its own: the count once nothing more has gone out for a while.
std::uint64_t settled(const Counter& sent) {
  for (std::uint64_t last = sent->load();;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    const std::uint64_t now = sent->load();
    if (now == last) return now;
    last = now;
  }
}

// Notes the count as each result line is shown: a workbook's lines come
// together once it is stored and closed.
class CountingView : public testsupport::RecordingView {
 public:
  explicit CountingView(Counter sent) : sent_(std::move(sent)) {}
  std::vector<std::uint64_t> counts;
  // Each file's or sheet's line, not the run's summary.
  void text3Appended(const std::string& line) override {
    if (testsupport::statusLines(line).empty()) return;
    RecordingView::text3Appended(line);
    counts.push_back(settled(sent_));
  }

 private:
  Counter sent_;
};

struct Case {
  const char* name;
  std::vector<std::string> sheets;  // none for a document
  bool hit;
  bool document() const { return sheets.empty(); }
  // A file's result lines.
  std::size_t lines() const { return document() ? 1 : sheets.size(); }
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

class MessageCount : public ::testing::TestWithParam<Case> {
 protected:
  std::string extension() const { return GetParam().document() ? ".doc" : ".xls"; }

  // kFiles identical copies of the case's file: a workbook, or a letter with
  // a header, a footer and a table, and no notes, frames or shapes.
  fs::path makeFolder(const testsupport::TempFolder& root) const {
    const fs::path folder = root.path() / "files";
    fs::create_directories(folder);
    const std::string first = "w1" + extension();
    if (GetParam().document()) {
      e2e::DocumentSpec letter{first, GetParam().hit ? "合同 旧文本 正文" : "合同正文", "表格",
                               "页眉"};
      letter.footer = "页脚";
      e2e::makeDocuments(folder, {letter});
    } else {
      e2e::makeWorkbook(folder / first, GetParam().sheets);
    }
    for (int i = 2; i <= kFiles; ++i) {
      fs::copy_file(folder / first, folder / ("w" + std::to_string(i) + extension()));
    }
    return folder;
  }

  // The second file's messages: the first pays for what is done once per
  // office, and the releases of a file's last objects, which the program
  // sends while the next one opens, fall to it as the first's fall to the
  // second.
  std::uint64_t programCost() const {
    testsupport::WindowRig rig;
    const fs::path folder = makeFolder(rig.work);
    office::libreoffice::Options options;
    options.messagesSent = std::make_shared<std::atomic<std::uint64_t>>(0);
    EXPECT_TRUE(office::libreoffice::registerServers(rig.servers, options));
    CountingView view(options.messagesSent);
    ui::Form1& form = rig.build();
    form.setView(&view);
    form.Form_Load();
    form.clickOption(GetParam().document() ? 1 : 2);
    form.openFolder(folder.string());
    form.Text1.text = kOld;
    form.Text2.text = kNew;
    if (GetParam().document()) {
      form.Command1_Click();
    } else {
      form.Command2_Click();
    }
    // One line per document or sheet, each reporting what the case expects.
    const std::size_t lines = GetParam().lines();
    EXPECT_EQ(view.counts.size(), kFiles * lines);
    if (view.counts.size() != kFiles * lines) return 0;
    for (const std::string& line : view.appended) {
      EXPECT_EQ(line.find("已替换内容") != std::string::npos,
                GetParam().hit && line.find("Sheet1") == std::string::npos)
          << line;
    }
    return view.counts[2 * lines - 1] - view.counts[lines - 1];
  }

  std::uint64_t plainLoopCost() const {
    testsupport::TempFolder root;
    const fs::path folder = makeFolder(root);
    auto installation = office::libreoffice::findInstallation("/usr/lib/libreoffice/program");
    EXPECT_TRUE(installation.has_value());
    if (!installation) return 0;
    const auto sent = std::make_shared<std::atomic<std::uint64_t>>(0);
    office::libreoffice::OfficeProcess office(*installation, std::chrono::seconds(60), sent);
    office.start();
    const auto replaceIn = [&](const std::string& name) {
      const fs::path file = folder / (name + extension());
      if (GetParam().document()) {
        return plain_loop::replaceInDocument(office.desktop(), file, kOld, kNew) ? std::size_t{1}
                                                                                 : 0;
      }
      return plain_loop::replaceInWorkbook(office.desktop(), file, kOld, kNew).size();
    };
    replaceIn("w1");
    const std::uint64_t before = settled(sent);
    const std::size_t replaced = replaceIn("w2");
    const std::uint64_t cost = settled(sent) - before;
    EXPECT_EQ(replaced, GetParam().hit ? GetParam().lines() - (GetParam().document() ? 0 : 1) : 0u);
    office.stop();
    return cost;
  }
};

// A workbook within a tenth of the plain loop. A document within a quarter:
// its run asks for Word's stories (the main text apart from the rest, the
// notes apart from the main text) so that each place is counted and
// replaced once, which a plain loop that replaces everything in one go never
// needs to; about 17 messages of a letter's 99.
TEST_P(MessageCount, AFileCostsAtMostATenthOrADocumentAQuarterMoreMessagesThanThePlainLoop) {
  const std::uint64_t plain = plainLoopCost();
  const std::uint64_t program = programCost();
  std::printf("[ messages ] %s: program %llu, plain loop %llu\n", GetParam().name,
              static_cast<unsigned long long>(program), static_cast<unsigned long long>(plain));
  ASSERT_GT(plain, 0u);
  ASSERT_GT(program, 0u);
  EXPECT_LE(double(program), (GetParam().document() ? 1.25 : 1.1) * double(plain))
      << "program " << program << " messages, plain loop " << plain;
}

INSTANTIATE_TEST_SUITE_P(
    ThreeSheetsOrALetter, MessageCount,
    ::testing::Values(
        Case{"WithTheText", {"Sheet1=a|b|c", "数据=x 旧文本 y|z", "Sheet3=旧文本|old"}, true},
        Case{"WithoutTheText", {"Sheet1=a|b|c", "数据=x y|z", "Sheet3=new|old"}, false},
        Case{"ALetterWithTheText", {}, true}, Case{"ALetterWithoutTheText", {}, false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
