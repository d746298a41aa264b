#include "office/libreoffice/private_folders.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>

#include <rtl/digest.h>
#include <osl/file.hxx>

#include "office/libreoffice/lock_files.h"
#include "office/libreoffice/uno_text.h"

namespace office::libreoffice {

namespace fs = std::filesystem;

std::string fileUrl(const fs::path& path) {
  OUString url;
  osl::FileBase::getFileURLFromSystemPath(toOUString(path.string()), url);
  return toUtf8(url);
}

// The office makes the socket of a named pipe in /tmp (in /var/tmp when /tmp
// cannot be written), whatever TMPDIR says, named after our uid.
fs::path pipeSocket(const std::string& pipeName) {
  const char* folder =
      ::access("/tmp", W_OK) != 0 && ::access("/var/tmp", W_OK) == 0 ? "/var/tmp" : "/tmp";
  return fs::path(folder) / ("OSL_PIPE_" + std::to_string(::getuid()) + "_" + pipeName);
}

// Besides the pipe we accept on, the office listens on one for a second
// instance of itself, named after an MD5 of its user installation URL taken
// as UTF-16, each byte in hex without a leading zero.
std::string instancePipeName(const std::string& profileUrl) {
  const OUString url = toOUString(profileUrl);
  sal_uInt8 digest[RTL_DIGEST_LENGTH_MD5];
  rtl_digest_MD5(url.getStr(), static_cast<sal_uInt32>(url.getLength() * sizeof(sal_Unicode)),
                 digest, RTL_DIGEST_LENGTH_MD5);
  std::string name = "SingleOfficeIPC_";
  for (sal_uInt8 byte : digest) {
    char hex[3];
    std::snprintf(hex, sizeof hex, "%x", static_cast<unsigned>(byte));
    name += hex;
  }
  return name;
}

// Removes a pipe socket of ours: only a socket, only this user's.
void removeSocket(const fs::path& socket) {
  struct stat st {};
  if (::lstat(socket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode) && st.st_uid == ::geteuid()) {
    ::unlink(socket.c_str());
  }
}

// Removes a folder that another thread may be removing at the same time (the
// ending's clean-up and the server that saw its office die): remove_all gives
// up at the first entry the other one took, so it is tried again.
void removeTree(const fs::path& folder) {
  for (int attempt = 0; attempt < 10; ++attempt) {
    std::error_code ec;
    fs::remove_all(folder, ec);
    if (!fs::exists(fs::symlink_status(folder, ec))) return;
  }
}

namespace {

void removeRecordedSockets(const fs::path& folder) {
  std::ifstream record(folder / kSocketRecord);
  for (std::string line; std::getline(record, line);) {
    const fs::path socket(line);
    // Only what our offices make: a record could have been altered.
    if (socket.filename().string().rfind("OSL_PIPE_", 0) == 0 &&
        (socket.parent_path() == "/tmp" || socket.parent_path() == "/var/tmp")) {
      removeSocket(socket);
    }
  }
}

// Whether any process names the folder on its command line: an office started
// by a program that records no owner names its profile there.
bool namedOnACommandLine(const fs::path& folder) {
  const std::string name = folder.string();
  // The office names its profile as a URL, escaped where the path is not
  // plain ASCII.
  const std::string url = fileUrl(folder);
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return true;
  bool found = false;
  while (dirent* entry = ::readdir(proc)) {
    if (entry->d_name[0] < '0' || entry->d_name[0] > '9') continue;
    std::ifstream in(std::string("/proc/") + entry->d_name + "/cmdline", std::ios::binary);
    const std::string cmdline((std::istreambuf_iterator<char>(in)),
                              std::istreambuf_iterator<char>());
    if (cmdline.find(name) != std::string::npos || cmdline.find(url) != std::string::npos) {
      found = true;
      break;
    }
  }
  ::closedir(proc);
  return found;
}

}  // namespace

fs::path temporaryRoot() {
  const char* tmp = std::getenv("TMPDIR");
  return fs::path(tmp != nullptr && *tmp == '/' ? tmp : "/tmp");
}

void removeStalePrivateFolders(const fs::path& tempRoot) {
  std::error_code ec;
  fs::directory_iterator it(tempRoot, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::directory_iterator(); it.increment(ec)) {
    const fs::path folder = it->path();
    if (folder.filename().string().rfind(kFolderPrefix, 0) != 0) continue;
    struct stat st {};
    if (::lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) {
      continue;
    }
    std::error_code exists;
    if (fs::exists(folder / "owner", exists)) {
      if (ownerRunning(folder)) continue;
    } else {
      // Being made right now, or made by a program that records no owner and
      // whose office may still run on it.
      if (std::time(nullptr) - st.st_mtime < 60 || namedOnACommandLine(folder)) continue;
    }
    removeRecordedSockets(folder);
    removeTree(folder);
  }
}

}  // namespace office::libreoffice
