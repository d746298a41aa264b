#include "office/libreoffice/stored_file_check.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace office::libreoffice {

namespace {

class Reader {
 public:
  explicit Reader(const std::filesystem::path& file) : in_(file, std::ios::binary) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    ok_ = in_.is_open() && !ec;
    size_ = ok_ ? size : 0;
  }
  bool ok() const { return ok_; }
  std::uint64_t size() const { return size_; }

  // Exactly n bytes at offset, all inside the file.
  bool read(std::uint64_t offset, void* into, std::size_t n) {
    if (offset > size_ || n > size_ - offset) return false;
    in_.clear();
    in_.seekg(static_cast<std::streamoff>(offset));
    in_.read(static_cast<char*>(into), static_cast<std::streamsize>(n));
    return static_cast<std::size_t>(in_.gcount()) == n;
  }

 private:
  std::ifstream in_;
  std::uint64_t size_ = 0;
  bool ok_ = false;
};

std::uint16_t u16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}
std::uint32_t u32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}
std::uint64_t u64(const std::uint8_t* p) {
  return u32(p) | static_cast<std::uint64_t>(u32(p + 4)) << 32;
}

// ---- OLE compound files ----

constexpr std::array<std::uint8_t, 8> kOleSignature{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
constexpr std::size_t kEntrySize = 128;

class CompoundFile {
 public:
  explicit CompoundFile(Reader& in) : in_(in) {}

  StoredFault check(std::initializer_list<std::string_view> mainStreams) {
    std::array<std::uint8_t, 512> header{};
    if (!in_.read(0, header.data(), header.size()) ||
        !std::equal(kOleSignature.begin(), kOleSignature.end(), header.begin())) {
      return StoredFault::NotAContainer;
    }
    const std::uint16_t major = u16(&header[0x1A]);
    const std::uint16_t shift = u16(&header[0x1E]);
    if (u16(&header[0x1C]) != 0xFFFE || u16(&header[0x20]) != 6 ||
        !((major == 3 && shift == 9) || (major == 4 && shift == 12))) {
      return StoredFault::NotAContainer;
    }
    sectorSize_ = std::uint32_t{1} << shift;
    if (in_.size() < 2 * std::uint64_t{sectorSize_}) return StoredFault::OutsideFile;
    // Sector n starts at (n + 1) × the sector size: the header takes the first.
    sectorCount_ = in_.size() / sectorSize_ - 1;

    if (!readFat(header)) return StoredFault::OutsideFile;

    // The directory: entry 0 is the root, whose own stream is the mini stream
    // that holds every stream smaller than the cutoff.
    std::vector<std::uint8_t> directory;
    if (!readChain(u32(&header[0x30]), directory)) return StoredFault::OutsideFile;
    if (directory.empty() || directory[0x42] != 5) return StoredFault::OutsideFile;
    const std::uint64_t cutoff = u32(&header[0x38]);
    const std::uint64_t mini = streamSize(directory.data(), major);
    if (!chainHolds(u32(&directory[0x74]), mini)) return StoredFault::OutsideFile;
    for (std::size_t at = kEntrySize; at + kEntrySize <= directory.size(); at += kEntrySize) {
      const std::uint8_t* entry = &directory[at];
      if (entry[0x42] != 2) continue;
      const std::uint64_t size = streamSize(entry, major);
      if (size >= cutoff ? !chainHolds(u32(&entry[0x74]), size) : size > mini) {
        return StoredFault::OutsideFile;
      }
    }
    const std::uint8_t* stream = findAtRoot(directory, mainStreams);
    return stream == nullptr || streamSize(stream, major) == 0 ? StoredFault::NoMainPart
                                                               : StoredFault::None;
  }

 private:
  bool inside(std::uint32_t sector) const { return sector < sectorCount_; }
  std::uint64_t offsetOf(std::uint32_t sector) const {
    return (static_cast<std::uint64_t>(sector) + 1) * sectorSize_;
  }

  // The allocation table, from the sectors the header and the DIFAT chain name.
  bool readFat(const std::array<std::uint8_t, 512>& header) {
    const std::uint32_t fatSectors = u32(&header[0x2C]);
    if (fatSectors == 0 || fatSectors > sectorCount_) return false;
    std::vector<std::uint32_t> sectors;
    for (std::size_t i = 0; i < 109 && sectors.size() < fatSectors; ++i) {
      sectors.push_back(u32(&header[0x4C + 4 * i]));
    }
    const std::uint32_t perDifat = sectorSize_ / 4 - 1;
    std::vector<std::uint8_t> block(sectorSize_);
    std::uint32_t difat = u32(&header[0x44]);
    for (std::uint32_t n = u32(&header[0x48]); n > 0 && sectors.size() < fatSectors; --n) {
      if (!inside(difat) || !in_.read(offsetOf(difat), block.data(), block.size())) return false;
      for (std::uint32_t i = 0; i < perDifat && sectors.size() < fatSectors; ++i) {
        sectors.push_back(u32(&block[4 * i]));
      }
      difat = u32(&block[4 * perDifat]);
    }
    if (sectors.size() < fatSectors) return false;
    fat_.reserve(static_cast<std::size_t>(fatSectors) * (sectorSize_ / 4));
    for (const std::uint32_t sector : sectors) {
      if (!inside(sector) || !in_.read(offsetOf(sector), block.data(), block.size())) return false;
      for (std::uint32_t i = 0; i < sectorSize_ / 4; ++i) fat_.push_back(u32(&block[4 * i]));
    }
    return true;
  }

  // Calls each(sector) along a chain; false when it leaves the file, loops
  // or does not end as a chain ends.
  template <typename Each>
  bool walk(std::uint32_t sector, Each&& each) const {
    for (std::uint64_t steps = 0; sector != kEndOfChain; ++steps) {
      if (!inside(sector) || sector >= fat_.size() || steps >= sectorCount_) return false;
      if (!each(sector)) return false;
      sector = fat_[sector];
    }
    return true;
  }

  bool readChain(std::uint32_t start, std::vector<std::uint8_t>& into) {
    return walk(start, [&](std::uint32_t sector) {
      into.resize(into.size() + sectorSize_);
      return in_.read(offsetOf(sector), into.data() + into.size() - sectorSize_, sectorSize_);
    });
  }

  // Whether a chain has exactly the sectors a stream of size needs, all
  // inside the file.
  bool chainHolds(std::uint32_t start, std::uint64_t size) const {
    std::uint64_t sectors = 0;
    const bool whole = walk(start, [&sectors](std::uint32_t) {
      ++sectors;
      return true;
    });
    return whole && sectors == (size + sectorSize_ - 1) / sectorSize_;
  }

  // Version 3 files keep only the low 32 bits of a size.
  static std::uint64_t streamSize(const std::uint8_t* entry, std::uint16_t major) {
    return major == 3 ? u32(&entry[0x78]) : u64(&entry[0x78]);
  }

  // A stream among the root's children (the red-black tree under the root;
  // streams of embedded objects lie deeper and do not count).
  static const std::uint8_t* findAtRoot(const std::vector<std::uint8_t>& directory,
                                        std::initializer_list<std::string_view> names) {
    const std::size_t entries = directory.size() / kEntrySize;
    std::vector<std::uint32_t> pending{u32(&directory[0x4C])};
    std::set<std::uint32_t> seen;
    while (!pending.empty()) {
      const std::uint32_t id = pending.back();
      pending.pop_back();
      if (id == kNoEntry || id >= entries || !seen.insert(id).second) continue;
      const std::uint8_t* entry = &directory[id * kEntrySize];
      pending.push_back(u32(&entry[0x44]));
      pending.push_back(u32(&entry[0x48]));
      if (entry[0x42] == 2 && std::any_of(names.begin(), names.end(), [&](std::string_view name) {
            return hasName(entry, name);
          })) {
        return entry;
      }
    }
    return nullptr;
  }

  // Names are UTF-16 and compared without letter case; ours are ASCII.
  static bool hasName(const std::uint8_t* entry, std::string_view name) {
    const std::uint16_t bytes = u16(&entry[0x40]);
    if (bytes != 2 * (name.size() + 1) || bytes > 64) return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
      const std::uint16_t c = u16(&entry[2 * i]);
      const auto lower = [](std::uint16_t x) { return x >= 'A' && x <= 'Z' ? x + 32 : x; };
      if (lower(c) != lower(static_cast<std::uint8_t>(name[i]))) return false;
    }
    return true;
  }

  Reader& in_;
  std::uint32_t sectorSize_ = 512;
  std::uint64_t sectorCount_ = 0;
  std::vector<std::uint32_t> fat_;
};

// ---- zip packages ----

constexpr std::uint32_t kEndRecord = 0x06054B50;
constexpr std::uint32_t kZip64EndRecord = 0x06064B50;
constexpr std::uint32_t kZip64Locator = 0x07064B50;
constexpr std::uint32_t kCentralEntry = 0x02014B50;
constexpr std::uint32_t kLocalHeader = 0x04034B50;
constexpr std::size_t kEndRecordSize = 22;

struct CentralDirectory {
  std::uint64_t entries = 0;
  std::uint64_t size = 0;
  std::uint64_t offset = 0;
  std::uint64_t end = 0;  // where the records after it begin
};

// The end record is the last thing in the file, followed only by its comment.
std::optional<CentralDirectory> findCentralDirectory(Reader& in) {
  if (in.size() < kEndRecordSize) return std::nullopt;
  const std::uint64_t tailSize = std::min<std::uint64_t>(in.size(), kEndRecordSize + 0xFFFF);
  std::vector<std::uint8_t> tail(tailSize);
  const std::uint64_t tailStart = in.size() - tailSize;
  if (!in.read(tailStart, tail.data(), tail.size())) return std::nullopt;
  for (std::size_t at = tail.size() - kEndRecordSize + 1; at-- > 0;) {
    const std::uint8_t* end = &tail[at];
    if (u32(end) != kEndRecord || at + kEndRecordSize + u16(&end[20]) != tail.size()) continue;
    CentralDirectory cd{u16(&end[10]), u32(&end[12]), u32(&end[16]), tailStart + at};
    if (cd.entries != 0xFFFF && cd.size != 0xFFFFFFFF && cd.offset != 0xFFFFFFFF) return cd;
    // Zip64: a locator just before the end record names the larger record.
    std::array<std::uint8_t, 20> locator{};
    std::array<std::uint8_t, 56> record{};
    if (cd.end < locator.size() || !in.read(cd.end - locator.size(), locator.data(), 20) ||
        u32(locator.data()) != kZip64Locator || !in.read(u64(&locator[8]), record.data(), 56) ||
        u32(record.data()) != kZip64EndRecord) {
      return std::nullopt;
    }
    return CentralDirectory{u64(&record[32]), u64(&record[40]), u64(&record[48]), u64(&locator[8])};
  }
  return std::nullopt;
}

StoredFault checkZip(Reader& in, std::initializer_list<std::string_view> mainParts) {
  const std::optional<CentralDirectory> cd = findCentralDirectory(in);
  if (!cd) return StoredFault::NotAContainer;
  if (cd->offset > cd->end || cd->size > cd->end - cd->offset) return StoredFault::OutsideFile;
  std::vector<std::uint8_t> entries(cd->size);
  if (!in.read(cd->offset, entries.data(), entries.size())) return StoredFault::OutsideFile;

  std::set<std::string, std::less<>> names;
  std::uint64_t count = 0;
  for (std::size_t at = 0; at < entries.size(); ++count) {
    if (entries.size() - at < 46 || u32(&entries[at]) != kCentralEntry) {
      return StoredFault::OutsideFile;
    }
    const std::uint8_t* entry = &entries[at];
    const std::size_t nameSize = u16(&entry[28]), extraSize = u16(&entry[30]);
    const std::size_t length = 46 + nameSize + extraSize + u16(&entry[32]);
    if (entries.size() - at < length) return StoredFault::OutsideFile;
    std::uint64_t compressed = u32(&entry[20]);
    std::uint64_t local = u32(&entry[42]);
    // Zip64 sizes and offsets, in this order, for the fields that overflowed.
    for (std::size_t x = 46 + nameSize; x + 4 <= 46 + nameSize + extraSize;) {
      const std::uint16_t id = u16(&entry[x]), size = u16(&entry[x + 2]);
      if (id == 0x0001) {
        std::size_t field = x + 4;
        const std::size_t fieldEnd = std::min(field + size, 46 + nameSize + extraSize);
        auto next = [&](std::uint64_t& value) {
          if (value == 0xFFFFFFFF && field + 8 <= fieldEnd) value = u64(&entry[field]), field += 8;
        };
        std::uint64_t uncompressed = u32(&entry[24]);
        next(uncompressed);
        next(compressed);
        next(local);
      }
      x += 4 + size;
    }
    std::array<std::uint8_t, 30> header{};
    if (local > cd->offset || cd->offset - local < header.size() ||
        !in.read(local, header.data(), header.size()) || u32(header.data()) != kLocalHeader) {
      return StoredFault::OutsideFile;
    }
    const std::uint64_t dataEnd = local + header.size() + u16(&header[26]) + u16(&header[28]);
    if (dataEnd > cd->offset || compressed > cd->offset - dataEnd) return StoredFault::OutsideFile;
    names.emplace(reinterpret_cast<const char*>(&entry[46]), nameSize);
    at += length;
  }
  if (count != cd->entries) return StoredFault::OutsideFile;
  for (std::string_view part : mainParts) {
    if (names.find(part) == names.end()) return StoredFault::NoMainPart;
  }
  return StoredFault::None;
}

}  // namespace

StoredFormat storedFormat(std::string_view filter) {
  if (filter.starts_with("MS Word 97")) return StoredFormat::WordBinary;
  if (filter.starts_with("MS Word 2007 XML") || filter.starts_with("Office Open XML Text")) {
    return StoredFormat::WordOpenXml;
  }
  if (filter.starts_with("MS Excel 97")) return StoredFormat::ExcelBinary;
  if (filter == "Calc MS Excel 2007 XML" || filter == "Calc MS Excel 2007 VBA XML" ||
      filter == "Calc Office Open XML") {
    return StoredFormat::ExcelOpenXml;
  }
  if (filter == "writer8" || filter == "calc8" || filter == "StarOffice XML (Writer)" ||
      filter == "StarOffice XML (Calc)") {
    return StoredFormat::OpenDocument;
  }
  return StoredFormat::Unchecked;
}

StoredFault checkStoredFile(const std::filesystem::path& file, StoredFormat format) {
  if (format == StoredFormat::Unchecked) return StoredFault::None;
  Reader in(file);
  if (!in.ok()) return StoredFault::Unreadable;
  switch (format) {
    case StoredFormat::WordBinary:
      return CompoundFile(in).check({"WordDocument"});
    case StoredFormat::ExcelBinary:
      return CompoundFile(in).check({"Workbook", "Book"});
    case StoredFormat::WordOpenXml:
      return checkZip(in, {"[Content_Types].xml", "word/document.xml"});
    case StoredFormat::ExcelOpenXml:
      return checkZip(in, {"[Content_Types].xml", "xl/workbook.xml"});
    case StoredFormat::OpenDocument:
      return checkZip(in, {"content.xml"});
    case StoredFormat::Unchecked:
      break;
  }
  return StoredFault::None;
}

}  // namespace office::libreoffice
