#include "office/libreoffice/stored_file_check.h"

#include <gtest/gtest.h>
#include <zlib.h>

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
// 4096 bytes, which begin with content.
std::string compoundFile(const std::string& streamName, const std::string& content = {}) {
  std::string file(512 * 11, '\0');
  const std::string head = content.substr(0, 4096);
  file.replace(512 * 3, head.size(), head);
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

// A zip of stored entries (method 0), or of entries whose content is given
// deflated (method 8): each part's name and content.
std::string zipWith(const std::vector<std::pair<std::string, std::string>>& parts,
                    std::uint16_t method = 0) {
  std::string file, directory;
  for (const auto& [name, content] : parts) {
    std::string local(30, '\0'), central(46, '\0');
    put32(local, 0, 0x04034B50);
    put16(local, 8, method);
    put16(central, 10, method);
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

// A part's content as a zip deflates it.
std::string deflated(const std::string& text) {
  z_stream z{};
  deflateInit2(&z, Z_BEST_SPEED, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(text.size())), '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// A property set stream of one section: its code page, and one 8-bit
// string property (its bytes as written, terminator included).
std::string propertySet(std::uint16_t codePage, std::uint32_t id, const std::string& value) {
  std::string set(48 + 8 + 16 + 8 + 8 + value.size(), '\0');
  put16(set, 0, 0xFFFE);
  put32(set, 24, 1);   // one section
  put32(set, 44, 48);  // where it begins
  put32(set, 52, 2);   // two properties
  put32(set, 56, 1);   // the code page, 24 bytes into the section
  put32(set, 60, 24);
  put32(set, 64, id);  // the string, after it
  put32(set, 68, 32);
  put16(set, 48 + 24, 0x02);
  put16(set, 48 + 28, codePage);
  put16(set, 48 + 32, 0x1E);
  put32(set, 48 + 36, static_cast<std::uint32_t>(value.size()));
  set.replace(48 + 40, value.size(), value);
  return set;
}

// What a stored copy lacks of the original, in a failure line's words; what
// it holds more of, or holds otherwise (a chart without its data's workbook,
// Word's own wrapper around a table of contents, properties in another code
// page), is no loss. A stored copy with a part that cannot be read whole is
// not whole.
TEST(KeptParts, NamesWhatTheStoredCopyLacks) {
  using Parts = std::vector<std::pair<std::string, std::string>>;
  const Parts xlsx{{"[Content_Types].xml", "types"}, {"xl/workbook.xml", "book"}};
  const Parts docx{{"[Content_Types].xml", "types"}, {"word/document.xml", "<w:body/>"}};
  const auto with = [](Parts parts, const Parts& more) {
    parts.insert(parts.end(), more.begin(), more.end());
    return parts;
  };
  const auto zip = [](const Parts& parts) { return zipWith(parts); };
  // Every part deflated; the one named cut keeps only half its deflated bytes.
  const auto deflatedZip = [](Parts parts, const std::string& cut = {}) {
    for (auto& [name, content] : parts) {
      content = deflated(content);
      if (name == cut) content.resize(content.size() / 2);
    }
    return zipWith(parts, 8);
  };
  const std::string toc =
      "<w:sdt><w:sdtPr><w:docPartObj><w:docPartGallery w:val=\"Table of Contents\"/>"
      "</w:docPartObj></w:sdtPr><w:sdtContent><w:instrText> TOC \\o \"1-3\" </w:instrText>"
      "</w:sdtContent></w:sdt>";
  const std::string control = "<w:sdt><w:sdtPr><w:text/></w:sdtPr></w:sdt>";
  const std::string spaces(200 * 1024, ' ');
  const std::string company = "\5DocumentSummaryInformation";
  constexpr std::uint32_t kCompany = 15;
  struct Row {
    const char* name;
    StoredFormat format;
    std::string before, after;  // empty: no container
    std::string lost;
    bool whole = true;  // what the stored copy's reading says
  };
  const Row cases[] = {
      {"a workbook's objects, chart, macros, links and conditional formats",
       StoredFormat::ExcelOpenXml,
       zip(with(xlsx, {{"xl/embeddings/oleObject1.bin", "ole"},
                       {"xl/charts/chart1.xml", "chart"},
                       {"xl/vbaProject.bin", "vba"},
                       {"xl/worksheets/sheet1.xml",
                        "<hyperlink ref=\"A1\"/><hyperlink ref=\"A2\"/><cfRule type=\"x\"/>"},
                       {"xl/comments1.xml", "<comment ref=\"A1\"/>"}})),
       zip(with(xlsx, {{"xl/worksheets/sheet1.xml", "<hyperlink ref=\"A1\"/>"},
                       {"xl/comments1.xml", "<comment ref=\"A1\"/>"}})),
       "1 个嵌入对象，1 个图表，宏（VBA 工程），1 个超链接，条件格式"},
      {"a link that runs over the reader's 64 KB pieces", StoredFormat::ExcelOpenXml,
       zip(with(xlsx,
                {{"xl/worksheets/sheet1.xml", std::string(65536 - 5, ' ') + "<hyperlink />"}})),
       zip(with(xlsx, {{"xl/worksheets/sheet1.xml", std::string(65536, ' ')}})), "1 个超链接"},
      {"links in deflated parts, each inflated to more than a piece", StoredFormat::ExcelOpenXml,
       deflatedZip(with(xlsx, {{"xl/worksheets/sheet1.xml",
                                spaces + "<hyperlink />" + spaces + "<hyperlink />"}})),
       deflatedZip(with(xlsx, {{"xl/worksheets/sheet1.xml", spaces + "<hyperlink />" + spaces}})),
       "1 个超链接"},
      {"a deflated part cut short in the stored copy", StoredFormat::ExcelOpenXml,
       zip(with(xlsx, {{"xl/worksheets/sheet1.xml", "<hyperlink />" + spaces}})),
       deflatedZip(with(xlsx, {{"xl/worksheets/sheet1.xml", "<hyperlink />" + spaces}}),
                   "xl/worksheets/sheet1.xml"),
       "", false},
      {"more of everything", StoredFormat::ExcelOpenXml,
       zip(with(xlsx, {{"xl/worksheets/sheet1.xml", "<hyperlink />"}})),
       zip(with(xlsx, {{"xl/worksheets/sheet1.xml", "<hyperlink /><hyperlink /><cfRule />"},
                       {"xl/charts/chart1.xml", "chart"}})),
       ""},
      {"a chart written without its data's workbook", StoredFormat::ExcelOpenXml,
       zip(with(xlsx, {{"xl/charts/chart1.xml", "chart"},
                       {"xl/charts/_rels/chart1.xml.rels",
                        "<Relationship Target=\"../embeddings/Microsoft_Excel_Sheet1.xlsx\"/>"},
                       {"xl/embeddings/Microsoft_Excel_Sheet1.xlsx", "data"}})),
       zip(with(xlsx, {{"xl/charts/chart1.xml", "chart"}})), ""},
      {"a content control, the company, the author", StoredFormat::WordOpenXml,
       zip(with(docx,
                {{"word/document.xml", toc + control},
                 {"docProps/app.xml", "<Properties><Company>旧公司</Company></Properties>"},
                 {"docProps/core.xml", "<dc:title>T</dc:title><dc:creator>我</dc:creator>"}})),
       zip(with(docx, {{"word/document.xml",
                        "<w:instrText xml:space=\"preserve\">TOC \\o \"1-3\" </w:instrText>"},
                       {"docProps/app.xml", "<Properties><Company/></Properties>"},
                       {"docProps/core.xml", "<dc:title>T</dc:title><dc:creator></dc:creator>"}})),
       "1 个内容控件，文档属性“作者”“公司”"},
      {"a table of contents and a comment", StoredFormat::WordOpenXml,
       zip(with(docx,
                {{"word/footer1.xml", toc}, {"word/comments.xml", "<w:comment w:id=\"0\"/>"}})),
       zip(docx), "1 条批注，目录"},
      {"text that only reads like a table of contents' code", StoredFormat::WordOpenXml,
       zip(with(docx, {{"word/document.xml", "<w:t>TOC \\o</w:t>"}})), zip(docx), ""},
      {"the company, written again in UTF-16", StoredFormat::WordBinary,
       compoundFile(company, propertySet(1252, kCompany, std::string("ACME\0", 5))),
       compoundFile(company, propertySet(1200, kCompany, std::string("\0\x4E\0\0", 4))), ""},
      {"the company, lost from UTF-16 properties", StoredFormat::WordBinary,
       compoundFile(company, propertySet(1200, kCompany, std::string("\0\x4E\0\0", 4))),
       compoundFile(company, propertySet(1200, kCompany, std::string(2, '\0'))), "文档属性“公司”"},
      {"an original that is no container", StoredFormat::WordOpenXml, {}, zip(docx), ""},
  };
  testsupport::TempFolder folder;
  for (const Row& c : cases) {
    const auto holdings = [&](const std::string& bytes, const char* name) {
      const fs::path file = folder.path() / name;
      std::ofstream(file, std::ios::binary | std::ios::trunc)
          << (bytes.empty() ? std::string("not a zip") : bytes);
      return ll::holdingsOf(file, c.format);
    };
    const ll::Holdings after = holdings(c.after, "after");
    EXPECT_EQ(ll::lostParts(holdings(c.before, "before"), after), c.lost) << c.name;
    EXPECT_EQ(after.whole, c.whole) << c.name;
  }
}

// Whether a Word file may hold tracked deletions, read from the file: a
// .doc by its table of revision authors, a .docx by its deletions and moves.
// Only a file that says it has none is spared the office's answer.
TEST(KeptParts, AWordFileMayHoldTrackedDeletionsUnlessItSaysItHasNone) {
  // A Word 97 FIB: its counted fields, then `pairs` pairs of offset and
  // size; the 52nd pair is the revision authors' table.
  const auto fib = [](std::uint16_t pairs, std::uint32_t authorsSize) {
    std::string bytes(1024, '\0');
    put16(bytes, 0, 0xA5EC);
    put16(bytes, 32, 14);
    put16(bytes, 62, 22);
    put16(bytes, 152, pairs);
    put32(bytes, 154 + 51 * 8 + 4, authorsSize);
    return bytes;
  };
  using Parts = std::vector<std::pair<std::string, std::string>>;
  const Parts docx{{"[Content_Types].xml", "types"}};
  const auto with = [&docx](const std::string& body) {
    Parts parts = docx;
    parts.emplace_back("word/document.xml", body);
    return zipWith(parts);
  };
  struct Row {
    const char* name;
    StoredFormat format;
    std::string bytes;
    bool may;
  };
  const Row cases[] = {
      {"a .doc without revision authors", StoredFormat::WordBinary,
       compoundFile("WordDocument", fib(136, 0)), false},
      {"a .doc with revision authors", StoredFormat::WordBinary,
       compoundFile("WordDocument", fib(136, 26)), true},
      {"a .doc whose FIB has too few pairs to tell", StoredFormat::WordBinary,
       compoundFile("WordDocument", fib(40, 0)), true},
      {"no Word stream", StoredFormat::WordBinary, compoundFile("Workbook"), true},
      {"a .docx without deletions", StoredFormat::WordOpenXml, with("<w:ins w:id=\"1\"/>"), false},
      {"a .docx with a deletion", StoredFormat::WordOpenXml, with("<w:del w:id=\"1\"/>"), true},
      {"a .docx with a move", StoredFormat::WordOpenXml, with("<w:moveFrom w:id=\"1\"/>"), true},
      {"an OpenDocument file", StoredFormat::OpenDocument, zipFile({"mimetype"}), true},
  };
  testsupport::TempFolder folder;
  for (const Row& c : cases) {
    const fs::path file = folder.path() / "word";
    std::ofstream(file, std::ios::binary | std::ios::trunc) << c.bytes;
    EXPECT_EQ(ll::mayHoldTrackedDeletions(file, c.format), c.may) << c.name;
  }
}

}  // namespace
