#include "office/libreoffice/container.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <fstream>
#include <optional>
#include <set>

#include "text/letter_case.h"

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

// A directory entry's name, from its UTF-16 code units.
std::string entryName(const std::uint8_t* entry) {
  const std::size_t units = std::min<std::size_t>(u16(&entry[0x40]), 64) / 2;
  std::string name;
  for (std::size_t i = 0; i + 1 < units; ++i) {
    const std::uint32_t c = u16(&entry[2 * i]);
    if (c < 0x80) {
      name += static_cast<char>(c);
    } else if (c < 0x800) {
      name += static_cast<char>(0xC0 | c >> 6);
      name += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      name += static_cast<char>(0xE0 | c >> 12);
      name += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      name += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return name;
}

constexpr std::array<std::uint8_t, 8> kOleSignature{0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFE;
constexpr std::uint32_t kNoEntry = 0xFFFFFFFF;
constexpr std::size_t kEntrySize = 128;
constexpr std::uint32_t kMiniSectorSize = 64;

}  // namespace

// ---- OLE compound files ----

struct CompoundFile::Impl {
  explicit Impl(const std::filesystem::path& file) : in(file) {}

  ContainerFault open() {
    if (!in.ok()) return ContainerFault::Unreadable;
    std::array<std::uint8_t, 512> header{};
    if (!in.read(0, header.data(), header.size()) ||
        !std::equal(kOleSignature.begin(), kOleSignature.end(), header.begin())) {
      return ContainerFault::NotAContainer;
    }
    major = u16(&header[0x1A]);
    const std::uint16_t shift = u16(&header[0x1E]);
    if (u16(&header[0x1C]) != 0xFFFE || u16(&header[0x20]) != 6 ||
        !((major == 3 && shift == 9) || (major == 4 && shift == 12))) {
      return ContainerFault::NotAContainer;
    }
    sectorSize = std::uint32_t{1} << shift;
    if (in.size() < 2 * std::uint64_t{sectorSize}) return ContainerFault::OutsideFile;
    // Sector n starts at (n + 1) × the sector size: the header takes the first.
    sectorCount = in.size() / sectorSize - 1;
    if (!readFat(header)) return ContainerFault::OutsideFile;

    // The directory: entry 0 is the root, whose own stream is the mini stream
    // that holds every stream smaller than the cutoff.
    if (!readChain(u32(&header[0x30]), directory)) return ContainerFault::OutsideFile;
    if (directory.empty() || directory[0x42] != 5) return ContainerFault::OutsideFile;
    cutoff = u32(&header[0x38]);
    miniStart = u32(&directory[0x74]);
    miniSize = streamSize(directory.data());
    if (!chainHolds(miniStart, miniSize)) return ContainerFault::OutsideFile;
    miniFatStart = u32(&header[0x3C]);
    for (std::size_t at = kEntrySize; at + kEntrySize <= directory.size(); at += kEntrySize) {
      const std::uint8_t* entry = &directory[at];
      if (entry[0x42] != 2) continue;
      const std::uint64_t size = streamSize(entry);
      if (size >= cutoff ? !chainHolds(u32(&entry[0x74]), size) : size > miniSize) {
        return ContainerFault::OutsideFile;
      }
    }
    list();
    return ContainerFault::None;
  }

  bool inside(std::uint32_t sector) const { return sector < sectorCount; }
  std::uint64_t offsetOf(std::uint32_t sector) const {
    return (static_cast<std::uint64_t>(sector) + 1) * sectorSize;
  }

  // The allocation table, from the sectors the header and the DIFAT chain name.
  bool readFat(const std::array<std::uint8_t, 512>& header) {
    const std::uint32_t fatSectors = u32(&header[0x2C]);
    if (fatSectors == 0 || fatSectors > sectorCount) return false;
    std::vector<std::uint32_t> sectors;
    for (std::size_t i = 0; i < 109 && sectors.size() < fatSectors; ++i) {
      sectors.push_back(u32(&header[0x4C + 4 * i]));
    }
    const std::uint32_t perDifat = sectorSize / 4 - 1;
    std::vector<std::uint8_t> block(sectorSize);
    std::uint32_t difat = u32(&header[0x44]);
    for (std::uint32_t n = u32(&header[0x48]); n > 0 && sectors.size() < fatSectors; --n) {
      if (!inside(difat) || !in.read(offsetOf(difat), block.data(), block.size())) return false;
      for (std::uint32_t i = 0; i < perDifat && sectors.size() < fatSectors; ++i) {
        sectors.push_back(u32(&block[4 * i]));
      }
      difat = u32(&block[4 * perDifat]);
    }
    if (sectors.size() < fatSectors) return false;
    fat.reserve(static_cast<std::size_t>(fatSectors) * (sectorSize / 4));
    for (const std::uint32_t sector : sectors) {
      if (!inside(sector) || !in.read(offsetOf(sector), block.data(), block.size())) return false;
      for (std::uint32_t i = 0; i < sectorSize / 4; ++i) fat.push_back(u32(&block[4 * i]));
    }
    return true;
  }

  // Calls each(sector) along a chain of table; false when it leaves the
  // table, loops or does not end as a chain ends.
  template <typename Each>
  static bool walk(const std::vector<std::uint32_t>& table, std::uint64_t limit,
                   std::uint32_t sector, Each&& each) {
    for (std::uint64_t steps = 0; sector != kEndOfChain; ++steps) {
      if (sector >= limit || sector >= table.size() || steps >= limit) return false;
      if (!each(sector)) return false;
      sector = table[sector];
    }
    return true;
  }

  // Sectors that follow each other in the file are read in one go: a
  // stream's chain mostly runs straight on.
  bool readChain(std::uint32_t start, std::vector<std::uint8_t>& into,
                 std::uint64_t limit = UINT64_MAX) {
    std::uint32_t runStart = 0, runLength = 0;
    const auto flush = [&] {
      if (runLength == 0) return true;
      const std::size_t at = into.size();
      into.resize(at + std::size_t{runLength} * sectorSize);
      return in.read(offsetOf(runStart), into.data() + at, std::size_t{runLength} * sectorSize);
    };
    std::uint64_t taken = 0;
    const bool whole = walk(fat, sectorCount, start, [&](std::uint32_t sector) {
      if (taken >= limit) return true;
      taken += sectorSize;
      if (runLength > 0 && sector == runStart + runLength) {
        ++runLength;
        return true;
      }
      if (!flush()) return false;
      runStart = sector;
      runLength = 1;
      return true;
    });
    return whole && flush();
  }

  // Whether a chain has exactly the sectors a stream of size needs, all
  // inside the file.
  bool chainHolds(std::uint32_t start, std::uint64_t size) {
    const std::optional<std::uint64_t> sectors = chainLength(start);
    return sectors && *sectors == (size + sectorSize - 1) / sectorSize;
  }

  // The sectors from start to its chain's end; none when the chain leaves
  // the file or loops. Each sector's distance to the end is kept, so that
  // a file whose streams share a chain costs no more than one that does not.
  std::optional<std::uint64_t> chainLength(std::uint32_t start) {
    constexpr std::uint32_t kUnknown = 0, kOnTheWay = 0xFFFFFFFF, kBroken = 0xFFFFFFFE;
    if (toEnd.empty()) toEnd.assign(std::min<std::uint64_t>(fat.size(), sectorCount), kUnknown);
    std::vector<std::uint32_t> way;
    std::uint32_t length = 0;
    bool broken = false;
    for (std::uint32_t sector = start; sector != kEndOfChain; sector = fat[sector]) {
      if (sector >= toEnd.size() || toEnd[sector] == kOnTheWay || toEnd[sector] == kBroken) {
        broken = true;
        break;
      }
      if (toEnd[sector] != kUnknown) {
        length = toEnd[sector];
        break;
      }
      toEnd[sector] = kOnTheWay;
      way.push_back(sector);
    }
    for (auto sector = way.rbegin(); sector != way.rend(); ++sector) {
      toEnd[*sector] = broken ? kBroken : ++length;
    }
    if (broken) return std::nullopt;
    return length;
  }

  // Version 3 files keep only the low 32 bits of a size.
  std::uint64_t streamSize(const std::uint8_t* entry) const {
    return major == 3 ? u32(&entry[0x78]) : u64(&entry[0x78]);
  }

  // The entries under the root, each named by its path: every storage's
  // children form a tree of their own.
  void list() {
    const std::size_t count = directory.size() / kEntrySize;
    std::set<std::uint32_t> seen{0};
    struct Pending {
      std::uint32_t id;
      std::string parent;
    };
    std::vector<Pending> storages{{0, ""}};
    while (!storages.empty()) {
      const Pending storage = storages.front();
      storages.erase(storages.begin());
      std::vector<std::uint32_t> pending{u32(&directory[storage.id * kEntrySize + 0x4C])};
      std::vector<std::uint32_t> children;
      while (!pending.empty()) {
        const std::uint32_t id = pending.back();
        pending.pop_back();
        if (id == kNoEntry || id >= count || !seen.insert(id).second) continue;
        const std::uint8_t* entry = &directory[id * kEntrySize];
        pending.push_back(u32(&entry[0x44]));
        pending.push_back(u32(&entry[0x48]));
        if (entry[0x42] == 1 || entry[0x42] == 2) children.push_back(id);
      }
      std::sort(children.begin(), children.end());
      for (const std::uint32_t id : children) {
        const std::uint8_t* entry = &directory[id * kEntrySize];
        CompoundEntry item{storage.parent + entryName(entry), entry[0x42] == 1,
                           entry[0x42] == 2 ? streamSize(entry) : 0, u32(&entry[0x74])};
        if (item.storage) storages.push_back({id, item.path + "/"});
        entries.push_back(std::move(item));
      }
    }
  }

  // A large stream is read a run of sectors at a time into one buffer:
  // allocating a stream's whole size costs more than reading it.
  bool read(const CompoundEntry& stream, const std::function<void(std::string_view)>& each,
            std::uint64_t upTo) {
    if (stream.storage) return false;
    std::uint64_t left = std::min(stream.size, upTo);
    bool stopped = false;  // all that was asked for was read
    const auto hand = [&](const std::uint8_t* bytes, std::uint64_t size) {
      const auto n = static_cast<std::size_t>(std::min(size, left));
      if (n > 0) each(std::string_view(reinterpret_cast<const char*>(bytes), n));
      left -= n;
    };
    if (stream.size < cutoff) {
      if (!mini && !readMini()) return false;
      const std::uint64_t sectors = mini->size() / kMiniSectorSize;
      const bool whole = walk(miniFat, sectors, stream.start, [&](std::uint32_t sector) {
        if (left == 0) return !(stopped = true);
        hand(mini->data() + std::size_t{sector} * kMiniSectorSize, kMiniSectorSize);
        return true;
      });
      return (whole || stopped) && left == 0;
    }
    constexpr std::uint32_t kRunSectors = 128;
    std::vector<std::uint8_t> buffer;
    std::uint32_t runStart = 0, runLength = 0;
    const auto flush = [&] {
      if (runLength == 0) return true;
      buffer.resize(std::size_t{runLength} * sectorSize);
      if (!in.read(offsetOf(runStart), buffer.data(), buffer.size())) return false;
      hand(buffer.data(), buffer.size());
      runLength = 0;
      return true;
    };
    const bool whole = walk(fat, sectorCount, stream.start, [&](std::uint32_t sector) {
      if (left == 0) {
        runLength = 0;
        return !(stopped = true);
      }
      if (runLength > 0 && runLength < kRunSectors && sector == runStart + runLength) {
        ++runLength;
        return true;
      }
      if (!flush()) return false;
      runStart = sector;
      runLength = 1;
      return true;
    });
    return (whole || stopped) && flush() && left == 0;
  }

  bool readMini() {
    std::vector<std::uint8_t> table;
    if (miniFatStart != kEndOfChain && !readChain(miniFatStart, table)) return false;
    for (std::size_t i = 0; i + 4 <= table.size(); i += 4) miniFat.push_back(u32(&table[i]));
    std::vector<std::uint8_t> stream;
    if (!readChain(miniStart, stream, miniSize)) {
      miniFat.clear();
      return false;
    }
    mini = std::move(stream);
    return true;
  }

  Reader in;
  ContainerFault fault = ContainerFault::None;
  std::uint16_t major = 3;
  std::uint32_t sectorSize = 512;
  std::uint64_t sectorCount = 0;
  std::vector<std::uint32_t> fat;
  std::vector<std::uint32_t> toEnd;  // see chainLength
  std::vector<std::uint8_t> directory;
  std::uint64_t cutoff = 4096;
  std::uint32_t miniStart = kEndOfChain;
  std::uint64_t miniSize = 0;
  std::uint32_t miniFatStart = kEndOfChain;
  std::vector<std::uint32_t> miniFat;
  std::optional<std::vector<std::uint8_t>> mini;
  std::vector<CompoundEntry> entries;
};

CompoundFile::CompoundFile(const std::filesystem::path& file)
    : impl_(std::make_unique<Impl>(file)) {
  impl_->fault = impl_->open();
}
CompoundFile::~CompoundFile() = default;
ContainerFault CompoundFile::fault() const {
  return impl_->fault;
}
const std::vector<CompoundEntry>& CompoundFile::entries() const {
  return impl_->entries;
}
const CompoundEntry* CompoundFile::find(std::string_view path) const {
  for (const CompoundEntry& entry : impl_->entries) {
    if (text::sameIgnoringAsciiCase(entry.path, path)) return &entry;
  }
  return nullptr;
}
bool CompoundFile::read(const CompoundEntry& stream,
                        const std::function<void(std::string_view)>& each, std::uint64_t upTo) {
  if (impl_->fault != ContainerFault::None) return false;
  return impl_->read(stream, each, upTo);
}

// ---- zip packages ----

namespace {

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

}  // namespace

struct ZipPackage::Impl {
  explicit Impl(const std::filesystem::path& file) : in(file) {}

  ContainerFault open() {
    if (!in.ok()) return ContainerFault::Unreadable;
    const std::optional<CentralDirectory> cd = findCentralDirectory(in);
    if (!cd) return ContainerFault::NotAContainer;
    if (cd->offset > cd->end || cd->size > cd->end - cd->offset) return ContainerFault::OutsideFile;
    std::vector<std::uint8_t> list(cd->size);
    if (!in.read(cd->offset, list.data(), list.size())) return ContainerFault::OutsideFile;

    std::uint64_t count = 0;
    for (std::size_t at = 0; at < list.size(); ++count) {
      if (list.size() - at < 46 || u32(&list[at]) != kCentralEntry) {
        return ContainerFault::OutsideFile;
      }
      const std::uint8_t* entry = &list[at];
      const std::size_t nameSize = u16(&entry[28]), extraSize = u16(&entry[30]);
      const std::size_t length = 46 + nameSize + extraSize + u16(&entry[32]);
      if (list.size() - at < length) return ContainerFault::OutsideFile;
      std::uint64_t compressed = u32(&entry[20]);
      std::uint64_t local = u32(&entry[42]);
      // Zip64 sizes and offsets, in this order, for the fields that overflowed.
      for (std::size_t x = 46 + nameSize; x + 4 <= 46 + nameSize + extraSize;) {
        const std::uint16_t id = u16(&entry[x]), size = u16(&entry[x + 2]);
        if (id == 0x0001) {
          std::size_t field = x + 4;
          const std::size_t fieldEnd = std::min(field + size, 46 + nameSize + extraSize);
          auto next = [&](std::uint64_t& value) {
            if (value == 0xFFFFFFFF && field + 8 <= fieldEnd)
              value = u64(&entry[field]), field += 8;
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
        return ContainerFault::OutsideFile;
      }
      const std::uint64_t dataStart = local + header.size() + u16(&header[26]) + u16(&header[28]);
      if (dataStart > cd->offset || compressed > cd->offset - dataStart) {
        return ContainerFault::OutsideFile;
      }
      entries.push_back({std::string(reinterpret_cast<const char*>(&entry[46]), nameSize),
                         u16(&entry[10]), compressed, dataStart});
      at += length;
    }
    if (count != cd->entries) return ContainerFault::OutsideFile;
    return ContainerFault::None;
  }

  bool read(const ZipEntry& part, const std::function<void(std::string_view)>& each,
            std::uint64_t limit) {
    constexpr std::size_t kPiece = 64 * 1024;
    std::uint64_t handed = 0;
    std::vector<std::uint8_t> input(kPiece);
    if (part.method == 0) {
      if (part.compressed > limit) return false;
      for (std::uint64_t done = 0; done < part.compressed;) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, part.compressed - done));
        if (!in.read(part.data + done, input.data(), n)) return false;
        each(std::string_view(reinterpret_cast<const char*>(input.data()), n));
        done += n;
      }
      return true;
    }
    if (part.method != 8) return false;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
    std::vector<std::uint8_t> output(kPiece);
    int status = Z_OK;
    for (std::uint64_t done = 0; status != Z_STREAM_END;) {
      // More input whenever the last piece is used up; a full output buffer
      // may also leave inflate holding output of its own.
      if (z.avail_in == 0 && done < part.compressed) {
        const auto n =
            static_cast<std::size_t>(std::min<std::uint64_t>(kPiece, part.compressed - done));
        if (!in.read(part.data + done, input.data(), n)) break;
        done += n;
        z.next_in = input.data();
        z.avail_in = static_cast<uInt>(n);
      }
      z.next_out = output.data();
      z.avail_out = static_cast<uInt>(output.size());
      status = inflate(&z, Z_NO_FLUSH);
      if (status != Z_OK && status != Z_STREAM_END) break;
      const std::size_t n = output.size() - z.avail_out;
      if (n > limit - handed) {
        status = Z_DATA_ERROR;
        break;
      }
      handed += n;
      each(std::string_view(reinterpret_cast<const char*>(output.data()), n));
      // All input taken, no output held back, and no end: the part is cut short.
      if (status == Z_OK && z.avail_in == 0 && done >= part.compressed && z.avail_out > 0) break;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
  }

  Reader in;
  ContainerFault fault = ContainerFault::None;
  std::vector<ZipEntry> entries;
};

ZipPackage::ZipPackage(const std::filesystem::path& file) : impl_(std::make_unique<Impl>(file)) {
  impl_->fault = impl_->open();
}
ZipPackage::~ZipPackage() = default;
ContainerFault ZipPackage::fault() const {
  return impl_->fault;
}
const std::vector<ZipEntry>& ZipPackage::entries() const {
  return impl_->entries;
}
const ZipEntry* ZipPackage::find(std::string_view name) const {
  for (const ZipEntry& entry : impl_->entries) {
    if (entry.name == name) return &entry;
  }
  return nullptr;
}
bool ZipPackage::read(const ZipEntry& part, const std::function<void(std::string_view)>& each,
                      std::uint64_t limit) {
  if (impl_->fault != ContainerFault::None) return false;
  return impl_->read(part, each, limit);
}

}  // namespace office::libreoffice
