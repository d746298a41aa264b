#include "office/libreoffice/stored_file_check.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "office/libreoffice/kept_parts.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
namespace ll = office::libreoffice;
using ll::StoredFault;
using ll::StoredFormat;

void put16(std::string& bytes, std::size_t at, std::uint16_t value) {
  for (int i = 0; i < 2; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}
void put32(std::string& bytes, std::size_t at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[at + i] = static_cast<char>(value >> (8 * i));
}

constexpr std::uint32_t kEnd = 0xFFFFFFFE, kFree = 0xFFFFFFFF;

// A version 3 compound file laid out by hand: sector 0 the allocation table,
// sector 1 the directory (the root and one stream), sectors 2..9 the stream's
// 4096 bytes.
std::string compoundFile(const std::string& streamName) {
  std::string file(512 * 11, '\0');
  const std::string signature = "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1";
  file.replace(0, 8, signature);
  put16(file, 0x18, 0x3E);
  put16(file, 0x1A, 3);
  put16(file, 0x1C, 0xFFFE);
  put16(file, 0x1E, 9);
  put16(file, 0x20, 6);
  put32(file, 0x2C, 1);     // one allocation table sector
  put32(file, 0x30, 1);     // the directory's first sector
  put32(file, 0x38, 4096);  // the mini stream cutoff
  put32(file, 0x3C, kEnd);  // no mini table
  put32(file, 0x44, kEnd);  // no DIFAT sectors
  for (int i = 0; i < 109; ++i) put32(file, 0x4C + 4 * i, i == 0 ? 0 : kFree);
  const std::size_t fat = 512;
  for (int i = 0; i < 128; ++i) put32(file, fat + 4 * i, kFree);
  put32(file, fat, 0xFFFFFFFD);
  put32(file, fat + 4, kEnd);
  for (int s = 2; s < 9; ++s) put32(file, fat + 4 * s, s + 1);
  put32(file, fat + 4 * 9, kEnd);
  auto entry = [&file](int index, const std::string& name, int type, std::uint32_t child,
                       std::uint32_t start, std::uint32_t size) {
    const std::size_t at = 1024 + 128 * index;
    for (std::size_t i = 0; i < name.size(); ++i) file[at + 2 * i] = name[i];
    put16(file, at + 0x40, static_cast<std::uint16_t>(2 * (name.size() + 1)));
    file[at + 0x42] = static_cast<char>(type);
    put32(file, at + 0x44, kFree);
    put32(file, at + 0x48, kFree);
    put32(file, at + 0x4C, child);
    put32(file, at + 0x74, start);
    put32(file, at + 0x78, size);
  };
  entry(0, "Root Entry", 5, streamName.empty() ? kFree : 1, kEnd, 0);
  if (!streamName.empty()) entry(1, streamName, 2, kFree, 2, 4096);
  for (int i = streamName.empty() ? 1 : 2; i < 4; ++i) entry(i, "", 0, kFree, kFree, 0);
  return file;
}

// A zip of stored entries: each part's name and content.
std::string zipWith(const std::vector<std::pair<std::string, std::string>>& parts) {
  std::string file, directory;
  for (const auto& [name, content] : parts) {
    std::string local(30, '\0'), central(46, '\0');
    put32(local, 0, 0x04034B50);
    put32(local, 18, static_cast<std::uint32_t>(content.size()));
    put32(local, 22, static_cast<std::uint32_t>(content.size()));
    put16(local, 26, static_cast<std::uint16_t>(name.size()));
    put32(central, 0, 0x02014B50);
    put32(central, 20, static_cast<std::uint32_t>(content.size()));
    put32(central, 24, static_cast<std::uint32_t>(content.size()));
    put16(central, 28, static_cast<std::uint16_t>(name.size()));
    put32(central, 42, static_cast<std::uint32_t>(file.size()));
    file += local + name + content;
    directory += central + name;
  }
  std::string end(22, '\0');
  put32(end, 0, 0x06054B50);
  put16(end, 8, static_cast<std::uint16_t>(parts.size()));
  put16(end, 10, static_cast<std::uint16_t>(parts.size()));
  put32(end, 12, static_cast<std::uint32_t>(directory.size()));
  put32(end, 16, static_cast<std::uint32_t>(file.size()));
  return file + directory + end;
}

// A zip of stored entries, each named part holding its name as content.
std::string zipFile(const std::vector<std::string>& parts) {
  std::vector<std::pair<std::string, std::string>> named;
  for (const std::string& name : parts) named.emplace_back(name, name);
  return zipWith(named);
}

const std::vector<std::string> kDocx{"[Content_Types].xml", "_rels/.rels", "word/document.xml"};
const std::vector<std::string> kXlsx{"[Content_Types].xml", "xl/workbook.xml"};
constexpr std::size_t kSecondEntry = 30 + 2 * 19;  // after "[Content_Types].xml"

struct Case {
  const char* name;
  std::function<std::string()> bytes;
  StoredFormat format;
  StoredFault fault;
};

TEST(StoredFileCheck, OnlyAWholeContainerWithItsMainPartPasses) {
  const std::string word = compoundFile("WordDocument");
  const std::string docx = zipFile(kDocx);
  const std::size_t docxDirectory = docx.size() - 22 - (46 * 3 + 19 + 11 + 17);
  auto with = [](std::string bytes, const std::function<void(std::string&)>& change) {
    change(bytes);
    return bytes;
  };
  const Case cases[] = {
      {"whole document", [&] { return word; }, StoredFormat::WordBinary, StoredFault::None},
      {"whole workbook", [] { return compoundFile("Workbook"); }, StoredFormat::ExcelBinary,
       StoredFault::None},
      {"Excel 5 workbook stream", [] { return compoundFile("Book"); }, StoredFormat::ExcelBinary,
       StoredFault::None},
      {"only the root, as a store into a full folder leaves it", [] { return compoundFile(""); },
       StoredFormat::WordBinary, StoredFault::NoMainPart},
      {"a workbook for a document", [] { return compoundFile("Workbook"); },
       StoredFormat::WordBinary, StoredFault::NoMainPart},
      {"empty", [] { return std::string(); }, StoredFormat::WordBinary, StoredFault::NotAContainer},
      {"cut inside the header", [&] { return word.substr(0, 100); }, StoredFormat::WordBinary,
       StoredFault::NotAContainer},
      {"cut inside the stream", [&] { return word.substr(0, 512 * 6); }, StoredFormat::WordBinary,
       StoredFault::OutsideFile},
      {"cut after the directory", [&] { return word.substr(0, 512 * 3); }, StoredFormat::WordBinary,
       StoredFault::OutsideFile},
      {"bad signature", [&] { return with(word, [](std::string& b) { b[7] = 0; }); },
       StoredFormat::WordBinary, StoredFault::NotAContainer},
      {"bad sector size", [&] { return with(word, [](std::string& b) { put16(b, 0x1E, 10); }); },
       StoredFormat::WordBinary, StoredFault::NotAContainer},
      {"table sector past the end",
       [&] { return with(word, [](std::string& b) { put32(b, 0x4C, 50); }); },
       StoredFormat::WordBinary, StoredFault::OutsideFile},
      {"directory past the end",
       [&] { return with(word, [](std::string& b) { put32(b, 0x30, 50); }); },
       StoredFormat::WordBinary, StoredFault::OutsideFile},
      {"stream larger than its chain",
       [&] { return with(word, [](std::string& b) { put32(b, 1024 + 128 + 0x78, 8192); }); },
       StoredFormat::WordBinary, StoredFault::OutsideFile},
      {"stream chain in a loop",
       [&] { return with(word, [](std::string& b) { put32(b, 512 + 4 * 9, 2); }); },
       StoredFormat::WordBinary, StoredFault::OutsideFile},
      {"stream chain into a sector past the end",
       [&] { return with(word, [](std::string& b) { put32(b, 512 + 4 * 5, 60); }); },
       StoredFormat::WordBinary, StoredFault::OutsideFile},

      {"whole docx", [&] { return docx; }, StoredFormat::WordOpenXml, StoredFault::None},
      {"whole xlsx", [] { return zipFile(kXlsx); }, StoredFormat::ExcelOpenXml, StoredFault::None},
      {"whole odt",
       [] {
         return zipFile({"mimetype", "content.xml"});
       },
       StoredFormat::OpenDocument, StoredFault::None},
      {"a docx without its document", [] { return zipFile({"[Content_Types].xml"}); },
       StoredFormat::WordOpenXml, StoredFault::NoMainPart},
      {"a docx without its content types", [] { return zipFile({"word/document.xml"}); },
       StoredFormat::WordOpenXml, StoredFault::NoMainPart},
      {"a docx for a workbook", [&] { return docx; }, StoredFormat::ExcelOpenXml,
       StoredFault::NoMainPart},
      {"zip cut before its end record", [&] { return docx.substr(0, docx.size() - 10); },
       StoredFormat::WordOpenXml, StoredFault::NotAContainer},
      {"zip cut in its entries", [&] { return docx.substr(0, 100); }, StoredFormat::WordOpenXml,
       StoredFault::NotAContainer},
      {"end record comment past the end",
       [&] { return with(docx, [](std::string& b) { put16(b, b.size() - 2, 5); }); },
       StoredFormat::WordOpenXml, StoredFault::NotAContainer},
      {"central directory past the end",
       [&] { return with(docx, [](std::string& b) { put32(b, b.size() - 6, 9000); }); },
       StoredFormat::WordOpenXml, StoredFault::OutsideFile},
      {"more entries counted than listed",
       [&] { return with(docx, [](std::string& b) { put16(b, b.size() - 12, 4); }); },
       StoredFormat::WordOpenXml, StoredFault::OutsideFile},
      {"local header past the central directory",
       [&] { return with(docx, [&](std::string& b) { put32(b, docxDirectory + 42, 5000); }); },
       StoredFormat::WordOpenXml, StoredFault::OutsideFile},
      {"local header that is not one",
       [&] { return with(docx, [](std::string& b) { b[kSecondEntry] = 'X'; }); },
       StoredFormat::WordOpenXml, StoredFault::OutsideFile},
      {"entry data running into the central directory",
       [&] { return with(docx, [&](std::string& b) { put32(b, docxDirectory + 20, 900); }); },
       StoredFormat::WordOpenXml, StoredFault::OutsideFile},
  };
  testsupport::TempFolder folder;
  for (const Case& c : cases) {
    const fs::path file = folder.path() / "stored";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes();
    EXPECT_EQ(ll::checkStoredFile(file, c.format), c.fault) << c.name;
  }
  EXPECT_EQ(ll::checkStoredFile(folder.path() / "missing", StoredFormat::WordBinary),
            StoredFault::Unreadable);
}

// What a stored copy lacks of the original, in a failure line's words; what
// it holds more of, or holds otherwise (a chart without its data's workbook,
// Word's own wrapper around a table of contents), is no loss.
TEST(KeptParts, NamesWhatTheStoredCopyLacks) {
  using Parts = std::vector<std::pair<std::string, std::string>>;
  const Parts xlsx{{"[Content_Types].xml", "types"}, {"xl/workbook.xml", "book"}};
  const Parts docx{{"[Content_Types].xml", "types"}, {"word/document.xml", "<w:body/>"}};
  const auto with = [](Parts parts, const Parts& more) {
    parts.insert(parts.end(), more.begin(), more.end());
    return parts;
  };
  const std::string toc =
      "<w:sdt><w:sdtPr><w:docPartObj><w:docPartGallery w:val=\"Table of Contents\"/>"
      "</w:docPartObj></w:sdtPr><w:sdtContent><w:instrText> TOC \\o \"1-3\" </w:instrText>"
      "</w:sdtContent></w:sdt>";
  const std::string control = "<w:sdt><w:sdtPr><w:text/></w:sdtPr></w:sdt>";
  struct Row {
    const char* name;
    StoredFormat format;
    Parts before, after;
    std::string lost;
  };
  const Row cases[] = {
      {"a workbook's objects, chart, macros, links and conditional formats",
       StoredFormat::ExcelOpenXml,
       with(xlsx, {{"xl/embeddings/oleObject1.bin", "ole"},
                   {"xl/charts/chart1.xml", "chart"},
                   {"xl/vbaProject.bin", "vba"},
                   {"xl/worksheets/sheet1.xml",
                    "<hyperlink ref=\"A1\"/><hyperlink ref=\"A2\"/><cfRule type=\"x\"/>"},
                   {"xl/comments1.xml", "<comment ref=\"A1\"/>"}}),
       with(xlsx, {{"xl/worksheets/sheet1.xml", "<hyperlink ref=\"A1\"/>"},
                   {"xl/comments1.xml", "<comment ref=\"A1\"/>"}}),
       "1 个嵌入对象，1 个图表，宏（VBA 工程），1 个超链接，条件格式"},
      {"a link that runs over the reader's 64 KB pieces", StoredFormat::ExcelOpenXml,
       with(xlsx, {{"xl/worksheets/sheet1.xml", std::string(65536 - 5, ' ') + "<hyperlink />"}}),
       with(xlsx, {{"xl/worksheets/sheet1.xml", std::string(65536, ' ')}}), "1 个超链接"},
      {"more of everything", StoredFormat::ExcelOpenXml,
       with(xlsx, {{"xl/worksheets/sheet1.xml", "<hyperlink />"}}),
       with(xlsx, {{"xl/worksheets/sheet1.xml", "<hyperlink /><hyperlink /><cfRule />"},
                   {"xl/charts/chart1.xml", "chart"}}),
       ""},
      {"a chart written without its data's workbook", StoredFormat::ExcelOpenXml,
       with(xlsx, {{"xl/charts/chart1.xml", "chart"},
                   {"xl/charts/_rels/chart1.xml.rels",
                    "<Relationship Target=\"../embeddings/Microsoft_Excel_Sheet1.xlsx\"/>"},
                   {"xl/embeddings/Microsoft_Excel_Sheet1.xlsx", "data"}}),
       with(xlsx, {{"xl/charts/chart1.xml", "chart"}}), ""},
      {"a content control, the company, the author", StoredFormat::WordOpenXml,
       with(docx, {{"word/document.xml", toc + control},
                   {"docProps/app.xml", "<Properties><Company>旧公司</Company></Properties>"},
                   {"docProps/core.xml", "<dc:title>T</dc:title><dc:creator>我</dc:creator>"}}),
       with(docx, {{"word/document.xml", " TOC \\o \"1-3\" "},
                   {"docProps/app.xml", "<Properties><Company/></Properties>"},
                   {"docProps/core.xml", "<dc:title>T</dc:title><dc:creator></dc:creator>"}}),
       "1 个内容控件，文档属性“作者”“公司”"},
      {"a table of contents and a comment", StoredFormat::WordOpenXml,
       with(docx, {{"word/footer1.xml", toc}, {"word/comments.xml", "<w:comment w:id=\"0\"/>"}}),
       docx, "1 条批注，目录"},
      {"an original that is no container", StoredFormat::WordOpenXml, {}, docx, ""},
  };
  testsupport::TempFolder folder;
  for (const Row& c : cases) {
    const auto holdings = [&](const Parts& parts, const char* name) {
      const fs::path file = folder.path() / name;
      std::ofstream(file, std::ios::binary | std::ios::trunc)
          << (parts.empty() ? std::string("not a zip") : zipWith(parts));
      return ll::holdingsOf(file, c.format);
    };
    EXPECT_EQ(ll::lostParts(holdings(c.before, "before"), holdings(c.after, "after")), c.lost)
        << c.name;
  }
}

}  // namespace
