#include "office/libreoffice/stored_file_check.h"

#include <algorithm>

#include "office/libreoffice/container.h"

namespace office::libreoffice {

namespace {

StoredFault faultOf(ContainerFault fault) {
  switch (fault) {
    case ContainerFault::None:
      break;
    case ContainerFault::Unreadable:
      return StoredFault::Unreadable;
    case ContainerFault::NotAContainer:
      return StoredFault::NotAContainer;
    case ContainerFault::OutsideFile:
      return StoredFault::OutsideFile;
  }
  return StoredFault::None;
}

// The main stream is among the root's children: streams of embedded objects
// lie deeper and do not count.
StoredFault checkCompound(const std::filesystem::path& file,
                          std::initializer_list<std::string_view> mainStreams) {
  CompoundFile container(file);
  if (container.fault() != ContainerFault::None) return faultOf(container.fault());
  const bool whole =
      std::any_of(mainStreams.begin(), mainStreams.end(), [&](std::string_view name) {
        const CompoundEntry* stream = container.find(name);
        return stream != nullptr && !stream->storage && stream->size > 0;
      });
  return whole ? StoredFault::None : StoredFault::NoMainPart;
}

StoredFault checkZip(const std::filesystem::path& file,
                     std::initializer_list<std::string_view> mainParts) {
  ZipPackage container(file);
  if (container.fault() != ContainerFault::None) return faultOf(container.fault());
  for (std::string_view part : mainParts) {
    if (container.find(part) == nullptr) return StoredFault::NoMainPart;
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
  switch (format) {
    case StoredFormat::WordBinary:
      return checkCompound(file, {"WordDocument"});
    case StoredFormat::ExcelBinary:
      return checkCompound(file, {"Workbook", "Book"});
    case StoredFormat::WordOpenXml:
      return checkZip(file, {"[Content_Types].xml", "word/document.xml"});
    case StoredFormat::ExcelOpenXml:
      return checkZip(file, {"[Content_Types].xml", "xl/workbook.xml"});
    case StoredFormat::OpenDocument:
      return checkZip(file, {"content.xml"});
    case StoredFormat::Unchecked:
      break;
  }
  return StoredFault::None;
}

}  // namespace office::libreoffice
