#include "platform/posix/temporary_space.h"

#include <sys/statvfs.h>

namespace platform::posix {

bool roomForDocument(const std::filesystem::path& folder, std::uintmax_t documentBytes) {
  struct statvfs fs {};
  if (::statvfs(folder.c_str(), &fs) != 0) return true;
  const std::uintmax_t available = static_cast<std::uintmax_t>(fs.f_bavail) * fs.f_frsize;
  // The stored copy is about the document's size (more where the office writes
  // it less tightly than the program that made it); while loading and
  // storing, the office keeps as much again in its own temporary folder, which
  // lies in the same private folder (a zip package's parts unpacked, an OLE
  // file's streams buffered). Then a margin for what it writes whatever the
  // document: its profile's registry, its lock and recovery files.
  constexpr std::uintmax_t kMargin = 2u << 20;
  const std::uintmax_t needed =
      documentBytes > (UINTMAX_MAX - kMargin) / 2 ? UINTMAX_MAX : 2 * documentBytes + kMargin;
  return available >= needed;
}

}  // namespace platform::posix
