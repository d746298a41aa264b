// What a document or workbook holds beyond its text that the office may not
// write back: embedded objects, charts, macros, controls, comments, links,
// conditional formats, header and footer pictures, a table of contents,
// content controls, and the document's properties. The office reads more
// than it writes in several formats (LibreOffice drops the "Company"
// property of every binary file, for one), and says nothing when it leaves
// something out; a store is therefore taken only when the new file holds at
// least what the original held. Both are read from the container, never
// through the office: a .doc's ObjectPool, Macros and property sets; an
// .xls's MBD storages, Ctls, _VBA_PROJECT_CUR, property sets and Workbook
// records; an Office Open XML file's parts and the elements in them.
// OpenDocument files are not compared.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>

#include "office/libreoffice/stored_file_check.h"

namespace office::libreoffice {

enum class Held {
  EmbeddedObject,
  Chart,
  Macros,
  ActiveXControl,
  Comment,
  Hyperlink,
  ConditionalFormat,
  HeaderFooterPicture,
  TableOfContents,
  ContentControl,
  CustomProperty,
  Title,
  Subject,
  Author,
  Keywords,
  Description,
  Category,
  Manager,
  Company,
};
inline constexpr std::size_t kHeldKinds = static_cast<std::size_t>(Held::Company) + 1;

struct Holdings {
  bool read = false;   // false: the file could not be read as its format's container
  bool whole = false;  // false: some part or stream could not be read (counted as empty)
  std::array<std::uint32_t, kHeldKinds> count{};
  std::uint32_t operator[](Held kind) const { return count[static_cast<std::size_t>(kind)]; }
};

Holdings holdingsOf(const std::filesystem::path& file, StoredFormat format);

// Whether a Word file may hold text a tracked change deletes: false only
// where its container says it holds no revisions (a .doc without revision
// authors, a .docx without a deletion), so that the office need not be asked.
bool mayHoldTrackedDeletions(const std::filesystem::path& file, StoredFormat format);

// What after lacks of before, in the words of a failure line ("2 个嵌入对象，
// 文档属性“公司”"); empty when nothing is lost, or when before could not be
// read.
std::string lostParts(const Holdings& before, const Holdings& after);

}  // namespace office::libreoffice
