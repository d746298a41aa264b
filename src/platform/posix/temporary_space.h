// Whether the office has room to work on a document in our private folder.
// An office short of room there does not say so: a store returns having
// written a skeleton of the document, a load fails with a question nobody
// asked for, a workbook's store never ends. So a document is not given to the
// office when the room is clearly too small, and a store that went wrong is
// put down to the room when the room has run out.
#pragma once

#include <cstdint>
#include <filesystem>

namespace platform::posix {

// Whether the file system holding folder has room to load and then store a
// document of documentBytes; true when its free space cannot be told.
bool roomForDocument(const std::filesystem::path& folder, std::uintmax_t documentBytes);

}  // namespace platform::posix
