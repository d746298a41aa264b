// Whether a file the office says it stored is whole, before it takes a
// document's place. An office that runs out of room in its temporary folder
// may return from a store as if all went well, leaving a container that reads
// as empty (an OLE file holding nothing but its root) or one cut short. The
// check reads only the container's own bookkeeping (an OLE file's header,
// allocation table and directory; a zip's central directory and local
// headers), never the content, so a large file costs little more than a
// small one.
#pragma once

#include <filesystem>
#include <string_view>

namespace office::libreoffice {

// The container an export filter writes, and the main stream or part that
// makes it a document or a workbook.
enum class StoredFormat {
  Unchecked,     // a filter whose container we do not know: nothing is checked
  WordBinary,    // OLE compound file with a "WordDocument" stream
  ExcelBinary,   // OLE compound file with a "Workbook" (or "Book") stream
  WordOpenXml,   // zip with [Content_Types].xml and word/document.xml
  ExcelOpenXml,  // zip with [Content_Types].xml and xl/workbook.xml
  OpenDocument,  // zip with content.xml
};
StoredFormat storedFormat(std::string_view filter);

enum class StoredFault {
  None,
  Unreadable,     // cannot be opened or read
  NotAContainer,  // no OLE header (signature, byte order, sector sizes), or no zip end record
  OutsideFile,    // a sector, a chain, the directory or an entry lies past the end, or a chain
                  // or the central directory is broken
  NoMainPart,     // the main stream or part is missing, or empty
};
StoredFault checkStoredFile(const std::filesystem::path& file, StoredFormat format);

}  // namespace office::libreoffice
