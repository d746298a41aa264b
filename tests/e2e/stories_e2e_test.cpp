// Every place a Word document shows text, replaced once and counted once by
// the command line against the real office: documents written by the office's
// converter from flat OpenDocument text (.doc and .docx, with frames, linked
// text boxes, drawing shapes with text, a group of them, notes, two page styles
// standing for two sections, and a comment), read back by antiword and catdoc,
// or from the .docx's own XML; tracked changes accepted and rejected by the
// office itself.
#include <fstream>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "e2e/corpus.h"
#include "support/fixtures.h"

#ifndef RAVELSK_PROGRAM
#error "RAVELSK_PROGRAM must name the program under test"
#endif

namespace {

namespace fs = std::filesystem;
using testsupport::TempFolder;

// Where one document holds the text; the rest of it is filler.
struct Places {
  // Section 2 is one page with a footer of its own for it: its primary
  // footer is on no page.
  std::string body, header, footer, footnote, endnote, secondFirstFooter, secondFooter,
      linkedSecond, headerFrame, headerShape, bodyShape, comment, grouped;
};

struct Case {
  const char* name;
  Places places;
  int occurrences;
  // Left as they are: Word's Find never reaches a comment.
  int inComments = 0;
  std::vector<std::string> formats = {".doc", ".docx"};
};

void PrintTo(const Case& c, std::ostream* out) {
  *out << c.name;
}

std::string paragraph(const std::string& text) {
  return "<text:p>" + text + "</text:p>";
}

// A flat OpenDocument text: page style Standard (section 1) with a header and
// a footer, page style Second (section 2, from a page break on) with its own
// header, footer and first-page footer; a footnote and an endnote; two linked
// frames whose first is too small for its text; frames and shapes in the body
// and in the header.
std::string flatDocument(const Places& p) {
  std::ostringstream xml;
  xml << R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:dc="http://purl.org/dc/elements/1.1/" xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" xmlns:fo="urn:oasis:names:tc:opendocument:xmlns:xsl-fo-compatible:1.0" office:version="1.3" office:mimetype="application/vnd.oasis.opendocument.text">
<office:automatic-styles>
<style:page-layout style:name="pm1"><style:page-layout-properties fo:page-width="21cm" fo:page-height="29.7cm"/></style:page-layout>
<style:style style:name="P2" style:family="paragraph" style:master-page-name="Second"><style:paragraph-properties fo:break-before="page"/></style:style>
</office:automatic-styles>
<office:master-styles>
<style:master-page style:name="Standard" style:page-layout-name="pm1"><style:header><text:p>页眉 )"
      << p.header
      << R"(<draw:frame draw:name="HF" text:anchor-type="paragraph" svg:x="8cm" svg:width="3cm" svg:height="1cm"><draw:text-box><text:p>框 )"
      << p.headerFrame
      << R"(</text:p></draw:text-box></draw:frame><draw:custom-shape draw:name="HS" text:anchor-type="paragraph" svg:x="12cm" svg:width="3cm" svg:height="1cm"><text:p>形 )"
      << p.headerShape
      << R"(</text:p><draw:enhanced-geometry draw:type="rectangle"/></draw:custom-shape></text:p></style:header><style:footer>)"
      << paragraph("页脚 " + p.footer) << R"(</style:footer></style:master-page>
<style:master-page style:name="Second" style:page-layout-name="pm1"><style:header>)"
      << paragraph("第二节页眉") << "</style:header><style:footer>"
      << paragraph("第二节页脚 " + p.secondFooter) << "</style:footer><style:footer-first>"
      << paragraph("第二节首页页脚 " + p.secondFirstFooter)
      << R"(</style:footer-first></style:master-page>
</office:master-styles>
<office:body><office:text>
<text:p>正文 )"
      << p.body << R"(</text:p>
<text:p>注<text:note text:id="n1" text:note-class="footnote"><text:note-citation>1</text:note-citation><text:note-body>)"
      << paragraph("脚注 " + p.footnote)
      << R"(</text:note-body></text:note><text:note text:id="n2" text:note-class="endnote"><text:note-citation>i</text:note-citation><text:note-body>)"
      << paragraph("尾注 " + p.endnote) << R"(</text:note-body></text:note></text:p>
<text:p><draw:frame draw:name="F1" text:anchor-type="paragraph" svg:width="6cm" svg:height="1cm"><draw:text-box draw:chain-next-name="F2">)"
      << paragraph("链接一") << paragraph("链接二") << paragraph("链接三")
      << paragraph("链接四 " + p.linkedSecond)
      << R"(</draw:text-box></draw:frame><draw:frame draw:name="F2" text:anchor-type="paragraph" svg:y="3cm" svg:width="6cm" svg:height="3cm"><draw:text-box/></draw:frame><draw:custom-shape draw:name="S1" text:anchor-type="paragraph" svg:x="8cm" svg:y="3cm" svg:width="4cm" svg:height="2cm"><text:p>图形 )"
      << p.bodyShape
      << R"(</text:p><draw:enhanced-geometry draw:type="rectangle"/></draw:custom-shape></text:p>
<text:p>组<draw:g text:anchor-type="paragraph"><draw:custom-shape draw:name="G1" svg:x="1cm" svg:y="8cm" svg:width="4cm" svg:height="2cm"><text:p>组一 )"
      << p.grouped
      << R"(</text:p><draw:enhanced-geometry draw:type="rectangle"/></draw:custom-shape><draw:custom-shape draw:name="G2" svg:x="6cm" svg:y="8cm" svg:width="4cm" svg:height="2cm"><text:p>组二 )"
      << p.grouped
      << R"(</text:p><draw:enhanced-geometry draw:type="rectangle"/></draw:custom-shape></draw:g></text:p>
<text:p><office:annotation><dc:creator>审阅人</dc:creator>)"
      << paragraph("批注 " + p.comment) << R"(</office:annotation>批注所在段</text:p>
)";
  for (int i = 0; i < 40; ++i) {
    xml << "<text:p>第" << i
        << "段 filler paragraph so that the text stream is not too small.</text:p>\n";
  }
  xml << R"(<text:p text:style-name="P2">第二节正文</text:p>
</office:text></office:body></office:document>
)";
  return xml.str();
}

const std::string kFind = "ACME";
const std::string kReplace = "ACME Ltd";

std::string program(const std::string& arguments) {
  return e2e::run(std::string(RAVELSK_PROGRAM) + " " + arguments + " 2>&1");
}

// What an independent reader sees of a document: catdoc reads every story of
// a .doc; a .docx is its XML parts without the fallback copies of its text
// boxes.
std::string readBack(const fs::path& file) {
  if (file.extension() == ".doc") return e2e::catdoc(file);
  const std::string xml =
      e2e::run("unzip -p " + e2e::quote(file.string()) +
               " 'word/*.xml' | perl -0pe 's{<mc:Fallback>.*?</mc:Fallback>}{}gs'");
  return std::regex_replace(xml, std::regex("<[^>]*>"), "");
}

int count(const std::string& text, const std::string& what) {
  int n = 0;
  for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) {
    ++n;
  }
  return n;
}

std::vector<Case> allCases() {
  return {
      {"a_body", {.body = kFind}, 1},
      {"b_header", {.header = kFind}, 1},
      {"c_second_first_footer", {.secondFirstFooter = kFind}, 1},
      // The office's own .docx export drops a footer no page shows, also
      // from a file it only opens and saves.
      {"c_second_unshown_footer", {.secondFooter = kFind}, 1, 0, {".doc"}},
      {"d_footnote", {.footnote = kFind}, 1},
      {"e_endnote", {.endnote = kFind}, 1},
      {"f_linked_second", {.linkedSecond = kFind}, 1},
      {"g_header_frame", {.headerFrame = kFind}, 1},
      {"g_header_shape", {.headerShape = kFind}, 1},
      {"h_nowhere", {}, 0},
      {"i_body_and_header", {.body = kFind + " " + kFind, .header = kFind}, 3},
      {"j_body_shape", {.bodyShape = kFind}, 1},
      {"j_grouped_shapes", {.grouped = kFind}, 2},
      {"everywhere",
       {kFind, kFind, kFind, kFind, kFind, kFind, "", kFind, kFind, kFind, kFind},
       10},
      {"k_comment", {.comment = kFind}, 0, 1},
      {"l_body_and_comment", {.body = kFind, .comment = kFind}, 1, 1},
  };
}

class Stories : public ::testing::TestWithParam<Case> {
 protected:
  // Every case as .doc and .docx, converted once for all the cases.
  static void SetUpTestSuite() {
    folder_ = new TempFolder;
    const fs::path sources = folder_->path() / ".sources";
    fs::create_directories(sources);
    std::string inputs;
    for (const Case& c : allCases()) {
      const fs::path source = sources / (std::string(c.name) + ".fodt");
      std::ofstream(source) << flatDocument(c.places);
      inputs += " " + e2e::quote(source.string());
    }
    for (const char* target : {"doc:MS Word 97", "docx:MS Word 2007 XML"}) {
      e2e::run("soffice --headless --norestore -env:UserInstallation=file://" +
               (sources / "profile").string() + " --convert-to " + e2e::quote(target) +
               " --outdir " + e2e::quote(folder_->path().string()) + inputs + " >/dev/null 2>&1");
    }
    fs::remove_all(sources);
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  // The case's document of one format, alone in a folder of the test's.
  fs::path alone(const std::string& extension) {
    const fs::path made = folder_->path() / (std::string(GetParam().name) + extension);
    const fs::path folder = work_.path() / extension.substr(1);
    fs::create_directories(folder);
    fs::copy_file(made, folder / made.filename());
    return folder / made.filename();
  }

  static TempFolder* folder_;
  TempFolder work_;
};

TempFolder* Stories::folder_ = nullptr;

TEST_P(Stories, EveryPlaceIsCountedAndReplacedOnce) {
  for (const std::string& extension : GetParam().formats) {
    SCOPED_TRACE(extension);
    const fs::path file = alone(extension);
    const std::string name = file.filename().string();
    const std::string folder = e2e::quote(file.parent_path().string());
    const int n = GetParam().occurrences;
    const int kept = GetParam().inComments;
    // The reader sees what the case put there, and only that.
    ASSERT_EQ(count(readBack(file), kFind), n + kept) << readBack(file);
    const std::string before = testsupport::readFile(file);

    EXPECT_EQ(program("--doc " + folder + " --find ACME --replace 'ACME Ltd' --dry-run"),
              name + " 试运行：找到 " + std::to_string(n) + " 处，未作改动\n");
    EXPECT_EQ(program("--doc " + folder + " --find ACME --replace 'ACME Ltd'"),
              name + (n > 0 ? " 已替换内容\n" : " 没找到替换的内容\n"));

    if (n == 0) {
      EXPECT_EQ(testsupport::readFile(file), before);
      continue;
    }
    const std::string after = readBack(file);
    EXPECT_EQ(count(after, kReplace), n) << after;
    EXPECT_EQ(count(after, kFind), n + kept) << after;  // the rest inside replacements
    EXPECT_EQ(count(after, "Ltd Ltd"), 0) << after;
    EXPECT_EQ(count(after, "批注 " + kFind), kept) << after;
    EXPECT_EQ(count(after, "批注 " + kReplace), 0) << after;
  }
}

INSTANTIATE_TEST_SUITE_P(WordStories, Stories, ::testing::ValuesIn(allCases()),
                         [](const ::testing::TestParamInfo<Case>& param) {
                           return std::string(param.param.name);
                         });

// The office takes find and replacement texts as they are: Word's special
// codes mean nothing to it, and neither text has a length limit.
TEST(LiteralFind, CaretCodesAndLongTextsArriveAsTheyAre) {
  TempFolder folder;
  const std::string longFind(300, 'x');
  const std::string longWith = std::string(299, 'y') + "z";
  e2e::makeDocuments(folder.path(), {{"特殊.doc", "甲^p^&^c乙 " + longFind, "表格", "页眉"}});
  TempFolder elsewhere;
  const fs::path rules =
      elsewhere.write("改名.txt", "甲^p^&^c乙\t丙^p^&^c丁\n" + longFind + "\t" + longWith + "\n");

  EXPECT_EQ(program("--doc " + e2e::quote(folder.path().string()) + " --rules " +
                    e2e::quote(rules.string())),
            "特殊.doc 已替换内容\n");
  // Unwrapped, so that the long replacement stays on one line.
  const std::string body =
      e2e::run("antiword -w 0 -m UTF-8.txt " + e2e::quote((folder.path() / "特殊.doc").string()));
  EXPECT_NE(body.find("丙^p^&^c丁 " + longWith), std::string::npos) << body;
  EXPECT_EQ(body.find(longFind.substr(0, 10)), std::string::npos) << body;
}

// Text a tracked change deletes is no longer the document's: it is neither
// counted nor replaced, so that after Accept All a document reads as it read
// before with the replacement made once. In a document that records changes
// the replacement is recorded too (Reject All takes it back); in one that
// does not, it is an edit like any other; a later rule does not reach what
// an earlier one deleted. Accepted and rejected by the office, through
// python3-uno.
TEST(TrackedChanges, DeletedTextIsNeitherCountedNorReplaced) {
  struct Row {
    bool recording;
    std::string rules;  // empty: 旧文本 is replaced by 新文本
    int found;          // in a dry run
    std::string accepted, rejected;
  };
  const Row rows[] = {
      {false, "", 2, "Before after 新文本 plain inserted 新文本 end.",
       "Before 旧文本 deletedafter 新文本 plain 新文本 end."},
      {true, "", 2, "Before after 新文本 plain inserted 新文本 end.",
       "Before 旧文本 deletedafter 旧文本 plain  end."},
      {true, "旧文本\t新文本\n文本\tX\n", 4, "Before after 新X plain inserted 新X end.",
       "Before 旧文本 deletedafter 旧文本 plain  end."},
  };
  TempFolder folder;
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& row = rows[i];
    const std::string name = row.recording ? "recording" : "tracked";
    SCOPED_TRACE(name + " " + row.rules);
    const fs::path made = folder.path() / std::to_string(i);
    fs::create_directories(made);
    const char* change = R"(<office:change-info><dc:creator>A</dc:creator>)"
                         R"(<dc:date>2024-01-01T10:00:00</dc:date></office:change-info>)";
    std::ofstream(made / (name + ".fodt"))
        << R"(<?xml version="1.0" encoding="UTF-8"?>)"
        << R"(<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" )"
        << R"(xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" )"
        << R"(xmlns:dc="http://purl.org/dc/elements/1.1/" office:version="1.2" )"
        << R"(office:mimetype="application/vnd.oasis.opendocument.text"><office:body><office:text>)"
        << R"(<text:tracked-changes text:track-changes=")" << (row.recording ? "true" : "false")
        << R"("><text:changed-region text:id="d"><text:deletion>)" << change
        << R"(<text:p>旧文本 deleted</text:p></text:deletion></text:changed-region>)"
        << R"(<text:changed-region text:id="i"><text:insertion>)" << change
        << R"(</text:insertion></text:changed-region></text:tracked-changes>)"
        << R"(<text:p>Before <text:change text:change-id="d"/>after 旧文本 plain )"
        << R"(<text:change-start text:change-id="i"/>inserted 旧文本<text:change-end )"
        << R"(text:change-id="i"/> end.</text:p></office:text></office:body></office:document>)";
    for (const char* target : {"doc:MS Word 97", "docx:MS Word 2007 XML"}) {
      e2e::convert(made / (name + ".fodt"), target);
    }
    fs::remove(made / (name + ".fodt"));
    const std::string texts =
        row.rules.empty()
            ? std::string(" --find 旧文本 --replace 新文本")
            : " --rules " + e2e::quote(folder.write(name + ".rules", row.rules).string());
    const std::string at = e2e::quote(made.string());
    const std::string found = " 试运行：找到 " + std::to_string(row.found) + " 处，未作改动\n";
    EXPECT_EQ(program("--doc " + at + texts + " --dry-run"),
              name + ".doc" + found + name + ".docx" + found);
    EXPECT_EQ(program("--doc " + at + texts),
              name + ".doc 已替换内容\n" + name + ".docx 已替换内容\n");
    for (const char* extension : {".doc", ".docx"}) {
      EXPECT_EQ(
          e2e::run("/usr/bin/python3 " + e2e::quote(std::string(RAVELSK_E2E_DIR) + "/review.py") +
                   " " + e2e::quote((made / (name + extension)).string())),
          row.accepted + "\n" + row.rejected + "\n")
          << extension;
    }
  }
}

}  // namespace
