// Reading the two containers office files come in: an OLE compound file
// (.doc, .xls) and a zip package (.docx, .xlsx, OpenDocument). Opening one
// reads only its bookkeeping (an OLE file's header, allocation tables and
// directory; a zip's central directory and local headers) and makes sure it
// all lies inside the file; streams and parts are read on request.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace office::libreoffice {

enum class ContainerFault {
  None,
  Unreadable,     // cannot be opened or read
  NotAContainer,  // no OLE header (signature, byte order, sector sizes), or no zip end record
  OutsideFile,    // a sector, a chain, the directory or an entry lies past the end, or a chain
                  // or the central directory is broken
};

// A stream or storage of a compound file.
struct CompoundEntry {
  std::string path;  // the names from the root's children down, joined by '/', in UTF-8
  bool storage = false;
  std::uint64_t size = 0;
  std::uint32_t start = 0;
};

class CompoundFile {
 public:
  explicit CompoundFile(const std::filesystem::path& file);
  ~CompoundFile();
  CompoundFile(const CompoundFile&) = delete;
  CompoundFile& operator=(const CompoundFile&) = delete;

  ContainerFault fault() const;
  // Every stream and storage but the root, parents before their children.
  const std::vector<CompoundEntry>& entries() const;
  // The entry at path, its names compared without ASCII letter case.
  const CompoundEntry* find(std::string_view path) const;
  // Hands each piece of a stream's content, or of its first upTo bytes, to
  // each in order; false when that much cannot be read.
  bool read(const CompoundEntry& stream, const std::function<void(std::string_view)>& each,
            std::uint64_t upTo = UINT64_MAX);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// A part of a zip package.
struct ZipEntry {
  std::string name;
  std::uint16_t method = 0;  // 0 stored, 8 deflated
  std::uint64_t compressed = 0;
  std::uint64_t data = 0;  // where the part's bytes begin
};

class ZipPackage {
 public:
  explicit ZipPackage(const std::filesystem::path& file);
  ~ZipPackage();
  ZipPackage(const ZipPackage&) = delete;
  ZipPackage& operator=(const ZipPackage&) = delete;

  ContainerFault fault() const;
  const std::vector<ZipEntry>& entries() const;
  const ZipEntry* find(std::string_view name) const;
  // Hands each piece of a part's content, inflated, to each in order; false
  // when the part cannot be read or inflated whole, or inflates to more than
  // limit bytes (a part made to fill memory when inflated).
  bool read(const ZipEntry& part, const std::function<void(std::string_view)>& each,
            std::uint64_t limit = UINT64_MAX);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace office::libreoffice
