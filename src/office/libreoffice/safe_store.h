// Writing a user's document as a careful editor does. The office never writes
// beside the user's files: it stores the new content in our private folder,
// and placeContent puts it in the document's place, so that the document is
// always either unchanged or wholly replaced, and keeps its owner, group,
// mode, extended attributes, hard links and symbolic link.
#pragma once

#include <filesystem>

namespace office::libreoffice {

// Why a document may not be written, judged from the file system with the
// user's effective ids (as root, a file with no write bit counts as read-only).
enum class WriteBlock { None, ReadOnlyFile, ReadOnlyFolder };
WriteBlock writeBlock(const std::filesystem::path& document);

// Puts the complete file `content` in the place of `document` (through a
// symbolic link to its target). Throws std::system_error naming what failed;
// the document is then as it was.
void placeContent(const std::filesystem::path& content, const std::filesystem::path& document);

// Finishes an in-place write that a killed run left unfinished (its recovery
// copy still beside the document) and removes temporary files of ours that a
// killed run left beside it. recoverFolder does it for every document of a
// folder. Neither throws: what cannot be done is left for the next time.
void recoverDocument(const std::filesystem::path& document);
void recoverFolder(const std::filesystem::path& folder);

}  // namespace office::libreoffice
