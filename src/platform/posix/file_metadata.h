// A new file given an existing one's owner, group, extended attributes
// (POSIX ACLs among them) and mode, so that replacing a document changes
// nothing of who may do what with it.
#pragma once

#include <sys/stat.h>

namespace platform::posix {

// Whether a new file of ours can be given the document's owner and group.
bool canKeepOwner(const struct stat& document);

// The original's extended attributes and no others: a folder's default ACL
// must not widen what the document allowed.
void copyAttributes(int from, int to);

// Gives the temporary file the document's owner, group, extended attributes
// and mode. False when the owner or group cannot be given; nothing was
// changed then.
bool takeOverMetadata(int original, int scratch, const struct stat& document);

}  // namespace platform::posix
