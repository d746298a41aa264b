#include "office/libreoffice/kept_parts.h"

#include <algorithm>
#include <initializer_list>
#include <set>
#include <span>
#include <string_view>
#include <vector>

#include "office/libreoffice/container.h"

namespace office::libreoffice {

namespace {

std::uint16_t u16(std::string_view b, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(b[at]) |
                                    static_cast<std::uint8_t>(b[at + 1]) << 8);
}
std::uint32_t u32(std::string_view b, std::size_t at) {
  return u16(b, at) | static_cast<std::uint32_t>(u16(b, at + 2)) << 16;
}

void add(Holdings& h, Held kind, std::uint32_t n = 1) {
  h.count[static_cast<std::size_t>(kind)] += n;
}

// ---- OLE files ----

// The property sets "\5SummaryInformation" and "\5DocumentSummaryInformation":
// which of the properties a user fills in hold a value, and how many custom
// properties the second section of the latter holds.
struct PropertyOf {
  std::uint32_t id;
  Held kind;
};
constexpr PropertyOf kSummary[] = {{2, Held::Title},
                                   {3, Held::Subject},
                                   {4, Held::Author},
                                   {5, Held::Keywords},
                                   {6, Held::Description}};
constexpr PropertyOf kDocumentSummary[] = {
    {2, Held::Category}, {14, Held::Manager}, {15, Held::Company}};

void readPropertySet(std::string_view set, std::span<const PropertyOf> builtIn, bool custom,
                     Holdings& h) {
  if (set.size() < 28) return;
  const std::uint32_t sections = std::min<std::uint32_t>(u32(set, 24), 2);
  for (std::uint32_t s = 0; s < sections && 28 + 20 * (s + 1) <= set.size(); ++s) {
    const std::size_t section = u32(set, 28 + 20 * s + 16);
    if (section + 8 > set.size()) return;
    const std::uint32_t count = u32(set, section + 4);
    // In a set of code page 1200 (UTF-16) the 8-bit strings are UTF-16 too.
    bool wide = false;
    for (std::uint32_t i = 0; i < count && section + 16 + 8 * i <= set.size(); ++i) {
      const std::size_t at = section + u32(set, section + 12 + 8 * i);
      if (u32(set, section + 8 + 8 * i) == 1 && at + 8 <= set.size() && u16(set, at) == 0x02) {
        wide = u16(set, at + 4) == 1200;
      }
    }
    for (std::uint32_t i = 0; i < count && section + 16 + 8 * i <= set.size(); ++i) {
      const std::uint32_t id = u32(set, section + 8 + 8 * i);
      const std::size_t at = section + u32(set, section + 12 + 8 * i);
      if (at + 12 > set.size()) continue;
      const std::uint16_t type = u16(set, at);
      if (s == 1) {
        // 0 is the names' dictionary, 1 the code page, 0x80000000 the locale;
        // a blob or a vector is the writer's own bookkeeping (Excel keeps its
        // hyperlinks' list in one), not a property a user set.
        if (custom && id >= 2 && id < 0x80000000 && type != 0x41 && (type & 0x1000) == 0) {
          add(h, Held::CustomProperty);
        }
        continue;
      }
      const std::uint32_t size = u32(set, at + 4);
      const bool filled =
          (type == 0x1E && !wide && size > 1 && set[at + 8] != 0) ||
          ((type == 0x1F || (type == 0x1E && wide)) && size > 1 && u16(set, at + 8) != 0);
      for (const PropertyOf& p : builtIn) {
        if (p.id == id && filled) add(h, p.kind);
      }
    }
  }
}

// The streams that carry an embedded object's content: an object whose
// stream of these is empty has lost it (the office keeps the frame).
bool emptiedObject(CompoundFile& file, const std::string& storage) {
  for (const char* name : {"WordDocument", "Workbook", "Book", "CONTENTS", "Package",
                           "\1Ole10Native", "PowerPoint Document", "EmbeddedOdf"}) {
    const CompoundEntry* stream = file.find(storage + "/" + name);
    if (stream != nullptr && !stream->storage && stream->size == 0) return true;
  }
  return false;
}

void countObject(CompoundFile& file, const CompoundEntry& storage, Holdings& h) {
  if (file.find(storage.path + "/\3OCXNAME") != nullptr) {
    add(h, Held::ActiveXControl);
  } else if (!emptiedObject(file, storage.path)) {
    add(h, Held::EmbeddedObject);
  }
}

// A workbook stream's records, read as the stream comes: comments (NOTE),
// hyperlinks (HLINK), conditional formats (CONDFMT, CONDFMT12), charts (the
// BOF of a chart substream) and header and footer pictures (HFPicture).
class WorkbookRecords {
 public:
  explicit WorkbookRecords(Holdings& h) : h_(h) {}
  void feed(std::string_view piece) {
    while (!piece.empty()) {
      if (skip_ > 0) {
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(skip_, piece.size()));
        piece.remove_prefix(n);
        skip_ -= n;
        continue;
      }
      // A record's type and size, and for a BOF the first four bytes of its
      // body, whose last two say what the substream is.
      const std::size_t wanted = head_.size() >= 4 && u16(head_, 0) == 0x0809 ? 8 : 4;
      const std::size_t n = std::min(wanted - head_.size(), piece.size());
      head_.append(piece.substr(0, n));
      piece.remove_prefix(n);
      if (head_.size() < wanted) continue;
      if (wanted == 4 && u16(head_, 0) == 0x0809 && u16(head_, 2) >= 4) continue;
      count();
      skip_ = u16(head_, 2) - (head_.size() - 4);
      head_.clear();
    }
  }

 private:
  void count() {
    switch (u16(head_, 0)) {
      case 0x001C:
        add(h_, Held::Comment);
        break;
      case 0x01B8:
        add(h_, Held::Hyperlink);
        break;
      case 0x01B0:
      case 0x0879:
        add(h_, Held::ConditionalFormat);
        break;
      case 0x0866:
        add(h_, Held::HeaderFooterPicture);
        break;
      case 0x0809:
        if (head_.size() == 8 && u16(head_, 6) == 0x0020) add(h_, Held::Chart);
        break;
      default:
        break;
    }
  }

  Holdings& h_;
  std::string head_;
  std::uint64_t skip_ = 0;
};

Holdings compoundHoldings(const std::filesystem::path& path, bool workbook) {
  Holdings h;
  CompoundFile file(path);
  if (file.fault() != ContainerFault::None) return h;
  h.read = h.whole = true;
  for (const CompoundEntry& entry : file.entries()) {
    const std::string_view p = entry.path;
    if (entry.storage && !workbook && p.starts_with("ObjectPool/") &&
        p.find('/', 11) == std::string_view::npos) {
      countObject(file, entry, h);
    } else if (entry.storage && workbook && p.starts_with("MBD") &&
               p.find('/') == std::string_view::npos) {
      countObject(file, entry, h);
    } else if (p == "Macros" || p == "_VBA_PROJECT_CUR") {
      add(h, Held::Macros);
    } else if (workbook && p == "Ctls" && entry.size > 0) {
      add(h, Held::ActiveXControl);
    }
  }
  const auto readStream = [&file, &h](std::string_view name) {
    std::string content;
    const CompoundEntry* stream = file.find(name);
    // The properties come first; a set larger than this is read in part.
    if (stream != nullptr && !stream->storage) {
      h.whole &= file.read(
          *stream, [&content](std::string_view piece) { content.append(piece); }, 1024 * 1024);
    }
    return content;
  };
  readPropertySet(readStream("\5SummaryInformation"), kSummary, false, h);
  readPropertySet(readStream("\5DocumentSummaryInformation"), kDocumentSummary, true, h);
  const CompoundEntry* book = file.find("Workbook");
  if (book == nullptr) book = file.find("Book");
  if (workbook && book != nullptr) {
    WorkbookRecords records(h);
    h.whole &= file.read(*book, [&records](std::string_view piece) { records.feed(piece); });
  }
  return h;
}

// ---- zip packages ----

// Counts occurrences of patterns in a part, read piece by piece.
class Counter {
 public:
  explicit Counter(std::initializer_list<std::string_view> patterns)
      : patterns_(patterns), counts_(patterns.size()) {
    for (std::string_view p : patterns_) longest_ = std::max(longest_, p.size());
  }
  void feed(std::string_view piece) {
    window_.append(piece);
    // Every match that starts before keep is counted now; the rest may run
    // into the next piece.
    const std::size_t keep = window_.size() >= longest_ ? window_.size() - longest_ + 1 : 0;
    for (std::size_t i = 0; i < patterns_.size(); ++i) {
      for (std::size_t at = window_.find(patterns_[i]); at != std::string::npos && at < keep;
           at = window_.find(patterns_[i], at + 1)) {
        ++counts_[i];
      }
    }
    window_.erase(0, keep);
  }
  std::uint32_t finish(std::size_t i) {
    if (!window_.empty()) {
      for (std::size_t at = window_.find(patterns_[i]); at != std::string::npos;
           at = window_.find(patterns_[i], at + 1)) {
        ++counts_[i];
      }
    }
    return counts_[i];
  }

 private:
  std::vector<std::string_view> patterns_;
  std::vector<std::uint32_t> counts_;
  std::size_t longest_ = 1;
  std::string window_;
};

std::vector<std::uint32_t> countIn(ZipPackage& zip, const ZipEntry& part, Holdings& h,
                                   std::initializer_list<std::string_view> patterns) {
  Counter counter(patterns);
  h.whole &= zip.read(part, [&counter](std::string_view piece) { counter.feed(piece); });
  std::vector<std::uint32_t> counts;
  for (std::size_t i = 0; i < patterns.size(); ++i) counts.push_back(counter.finish(i));
  return counts;
}

// A small part's content, whole.
std::string contentOf(ZipPackage& zip, std::string_view name, Holdings& h) {
  const ZipEntry* part = zip.find(name);
  std::string content;
  if (part != nullptr) {
    h.whole &= zip.read(
        *part, [&content](std::string_view piece) { content.append(piece); }, 16 * 1024 * 1024);
  }
  return content;
}

// Whether an element (a property of docProps) holds a value.
bool filledElement(const std::string& xml, std::string_view tag) {
  const std::string open = "<" + std::string(tag);
  for (std::size_t at = xml.find(open); at != std::string::npos; at = xml.find(open, at + 1)) {
    const std::size_t end = xml.find('>', at);
    if (end == std::string::npos) return false;
    const char after = xml[at + open.size()];
    if (after != '>' && after != ' ') continue;  // a longer name
    if (xml[end - 1] == '/') return false;
    return end + 1 < xml.size() && xml[end + 1] != '<';
  }
  return false;
}

bool isIn(std::string_view name, std::string_view folder, std::string_view prefix,
          std::string_view suffix) {
  const std::size_t slash = name.find('/');
  if (slash == std::string_view::npos) return false;
  const std::string_view rest = name.substr(slash + 1);
  return rest.starts_with(folder) && rest.size() > folder.size() &&
         rest.substr(folder.size()).starts_with(prefix) && rest.ends_with(suffix) &&
         rest.substr(folder.size()).find('/') == std::string_view::npos;
}

std::string_view baseName(std::string_view name) {
  const std::size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

Holdings zipHoldings(const std::filesystem::path& path, bool workbook) {
  Holdings h;
  ZipPackage zip(path);
  if (zip.fault() != ContainerFault::None) return h;
  h.read = h.whole = true;
  // A chart keeps its data in a workbook among the embeddings, which an
  // office may or may not write with the chart: those are the chart's, not
  // embedded objects.
  std::set<std::string, std::less<>> chartData;
  for (const ZipEntry& part : zip.entries()) {
    if (!isIn(part.name, "charts/_rels/", "", ".rels")) continue;
    const std::string rels = contentOf(zip, part.name, h);
    for (std::size_t at = rels.find("embeddings/"); at != std::string::npos;
         at = rels.find("embeddings/", at + 1)) {
      const std::size_t end = rels.find('"', at);
      chartData.emplace(rels.substr(at + 11, end == std::string::npos ? 0 : end - at - 11));
    }
  }
  for (const ZipEntry& part : zip.entries()) {
    const std::string_view name = part.name;
    if (isIn(name, "embeddings/", "", "") && !chartData.contains(baseName(name))) {
      add(h, Held::EmbeddedObject);
    } else if (isIn(name, "charts/", "chart", ".xml")) {
      add(h, Held::Chart);
    } else if (name.ends_with("/vbaProject.bin")) {
      add(h, Held::Macros);
    } else if (isIn(name, "activeX/", "activeX", ".xml")) {
      add(h, Held::ActiveXControl);
    } else if (!workbook && name == "word/comments.xml") {
      add(h, Held::Comment, countIn(zip, part, h, {"<w:comment "})[0]);
    } else if (workbook && isIn(name, "", "comments", ".xml")) {
      add(h, Held::Comment, countIn(zip, part, h, {"<comment "})[0]);
    } else if (workbook && isIn(name, "worksheets/", "sheet", ".xml")) {
      const auto n = countIn(zip, part, h, {"<hyperlink ", "<cfRule ", "<legacyDrawingHF "});
      add(h, Held::Hyperlink, n[0]);
      add(h, Held::ConditionalFormat, n[1]);
      add(h, Held::HeaderFooterPicture, n[2]);
    } else if (!workbook && (name == "word/document.xml" || isIn(name, "", "header", ".xml") ||
                             isIn(name, "", "footer", ".xml"))) {
      // A table of contents is a field, its code in a field's instruction
      // (text that only reads "TOC \\" is none); Word wraps it in a content
      // control of its own, which is no content control the user made.
      const auto n = countIn(
          zip, part, h,
          {"<w:sdt>", "<w:sdt ", "<w:docPartGallery ", "<w:instrText xml:space=\"preserve\"> TOC ",
           "<w:instrText xml:space=\"preserve\">TOC ", "<w:instrText> TOC ", "<w:instrText>TOC ",
           "w:instr=\" TOC ", "w:instr=\"TOC "});
      add(h, Held::ContentControl, n[0] + n[1] > n[2] ? n[0] + n[1] - n[2] : 0);
      add(h, Held::TableOfContents, n[3] + n[4] + n[5] + n[6] + n[7] + n[8]);
    } else if (name == "docProps/custom.xml") {
      add(h, Held::CustomProperty, countIn(zip, part, h, {"<property "})[0]);
    }
  }
  const std::string core = contentOf(zip, "docProps/core.xml", h);
  const std::string app = contentOf(zip, "docProps/app.xml", h);
  const std::pair<Held, const char*> inCore[] = {{Held::Title, "dc:title"},
                                                 {Held::Subject, "dc:subject"},
                                                 {Held::Author, "dc:creator"},
                                                 {Held::Keywords, "cp:keywords"},
                                                 {Held::Description, "dc:description"},
                                                 {Held::Category, "cp:category"}};
  for (const auto& [kind, tag] : inCore) {
    if (filledElement(core, tag)) add(h, kind);
  }
  if (filledElement(app, "Manager")) add(h, Held::Manager);
  if (filledElement(app, "Company")) add(h, Held::Company);
  return h;
}

// How each kind is named in a failure line; kinds an office may write in
// other numbers without losing any (a table of contents as one field or
// several, conditional formats merged) are compared as present or not.
struct Wording {
  const char* unit;  // null: compared as present or not, named without a number
  const char* what;
  bool property = false;
};
constexpr Wording kWording[kHeldKinds] = {
    {"个", "嵌入对象"},
    {"个", "图表"},
    {nullptr, "宏（VBA 工程）"},
    {"个", "ActiveX 控件"},
    {"条", "批注"},
    {"个", "超链接"},
    {nullptr, "条件格式"},
    {nullptr, "页眉页脚中的图片"},
    {nullptr, "目录"},
    {"个", "内容控件"},
    {"个", "自定义属性"},
    {nullptr, "标题", true},
    {nullptr, "主题", true},
    {nullptr, "作者", true},
    {nullptr, "关键词", true},
    {nullptr, "备注", true},
    {nullptr, "类别", true},
    {nullptr, "经理", true},
    {nullptr, "公司", true},
};

}  // namespace

Holdings holdingsOf(const std::filesystem::path& file, StoredFormat format) {
  switch (format) {
    case StoredFormat::WordBinary:
      return compoundHoldings(file, false);
    case StoredFormat::ExcelBinary:
      return compoundHoldings(file, true);
    case StoredFormat::WordOpenXml:
      return zipHoldings(file, false);
    case StoredFormat::ExcelOpenXml:
      return zipHoldings(file, true);
    case StoredFormat::OpenDocument:
    case StoredFormat::Unchecked:
      break;
  }
  return {};
}

bool mayHoldTrackedDeletions(const std::filesystem::path& path, StoredFormat format) {
  if (format == StoredFormat::WordBinary) {
    CompoundFile file(path);
    const CompoundEntry* stream = file.find("WordDocument");
    std::string fib;
    if (file.fault() != ContainerFault::None || stream == nullptr ||
        !file.read(
            *stream, [&fib](std::string_view piece) { fib.append(piece); }, 1024) ||
        fib.size() < 36 || u16(fib, 0) != 0xA5EC) {
      return true;
    }
    // The FIB's two arrays of counted fields, then its pairs of offsets and
    // sizes; the 52nd pair is the table of revision authors: none, no
    // revisions.
    std::size_t at = 32;
    at += 2 + 2 * std::size_t{u16(fib, at)};
    if (at + 2 > fib.size()) return true;
    at += 2 + 4 * std::size_t{u16(fib, at)};
    if (at + 2 > fib.size()) return true;
    const std::size_t authors = at + 2 + 51 * 8 + 4;
    return u16(fib, at) <= 51 || authors + 4 > fib.size() || u32(fib, authors) != 0;
  }
  if (format == StoredFormat::WordOpenXml) {
    ZipPackage zip(path);
    if (zip.fault() != ContainerFault::None) return true;
    for (const ZipEntry& part : zip.entries()) {
      if (!part.name.starts_with("word/") || !part.name.ends_with(".xml")) continue;
      Holdings read;
      read.whole = true;
      // The office reads a moved-away text (w:moveFrom) as deleted too.
      const auto n =
          countIn(zip, part, read, {"<w:del ", "<w:del>", "<w:moveFrom ", "<w:moveFrom>"});
      if (!read.whole || n[0] + n[1] + n[2] + n[3] > 0) return true;
    }
    return false;
  }
  return true;
}

std::string lostParts(const Holdings& before, const Holdings& after) {
  if (!before.read) return {};
  std::string parts;
  std::string properties;
  for (std::size_t i = 0; i < kHeldKinds; ++i) {
    const Wording& w = kWording[i];
    const std::uint32_t had = before.count[i];
    const std::uint32_t has = after.read ? after.count[i] : 0;
    if (w.unit == nullptr ? (had == 0 || has > 0) : has >= had) continue;
    if (w.property) {
      properties += std::string("“") + w.what + "”";
      continue;
    }
    if (!parts.empty()) parts += "，";
    if (w.unit != nullptr) parts += std::to_string(had - has) + " " + w.unit;
    parts += w.what;
  }
  if (!properties.empty()) {
    if (!parts.empty()) parts += "，";
    parts += "文档属性" + properties;
  }
  return parts;
}

}  // namespace office::libreoffice
