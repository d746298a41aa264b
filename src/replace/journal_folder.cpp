#include "replace/journal_folder.h"

#include <cstdlib>
#include <string>
#include <system_error>

#ifdef _WIN32
#include <windows.h>
#else
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>
#endif

namespace replace {

namespace fs = std::filesystem;

namespace {

bool isWritableFolder(const fs::path& folder) {
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) return false;
#ifdef _WIN32
  // Windows has no cheap question for this (the folder's ACL decides, and the
  // read-only attribute means nothing on folders): a file is made and removed.
  // Named per thread too: two runs in one process may ask at the same moment.
  const fs::path probe =
      folder / (L".ravelsk-write-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(GetCurrentThreadId()));
  HANDLE h = CreateFileW(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  CloseHandle(h);
  return true;
#else
  return ::access(folder.c_str(), W_OK | X_OK) == 0;
#endif
}

#ifndef _WIN32

// The user's entry in the system's user database: name and home.
bool userEntry(std::string& name, std::string& home) {
  std::vector<char> buffer(16384);
  struct passwd entry {};
  struct passwd* found = nullptr;
  if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) {
    return false;
  }
  name = found->pw_name != nullptr ? found->pw_name : "";
  home = found->pw_dir != nullptr ? found->pw_dir : "";
  return true;
}

// A group that is the user's own (a user private group: its name is the
// user's, and nobody else is in it); its write bit lets nobody else in.
bool isPrivateGroup(gid_t gid) {
  std::string user, home;
  if (!userEntry(user, home)) return false;
  std::vector<char> buffer(16384);
  struct group entry {};
  struct group* found = nullptr;
  if (::getgrgid_r(gid, &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return false;
  if (found->gr_name == nullptr || user != found->gr_name) return false;
  for (char** member = found->gr_mem; member != nullptr && *member != nullptr; ++member) {
    if (user != *member) return false;
  }
  return true;
}

bool othersMayWrite(const struct stat& st) {
  return (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && !isPrivateGroup(st.st_gid));
}

// folder, its missing parts made (mode 0700), when nobody but the user and
// the system can have made or can change any folder on the way to it and the
// folder is the user's alone: another user could else read the journal's
// file names, or plant a link that sends its lines into a file of the
// user's. A folder others may write is passed only where it is sticky (as
// /tmp), which keeps them from the user's folders in it. Its real path, else
// empty.
fs::path safeUserFolder(const fs::path& folder) {
  std::error_code ec;
  const fs::path real = fs::weakly_canonical(folder, ec).lexically_normal();
  if (ec || !real.is_absolute()) return {};
  std::vector<fs::path> way;
  fs::path built;
  for (const fs::path& part : real) {
    if (part.empty()) continue;
    built /= part;
    way.push_back(built);
  }
  for (std::size_t i = 0; i < way.size(); ++i) {
    const bool last = i + 1 == way.size();
    struct stat st {};
    if (::lstat(way[i].c_str(), &st) != 0) {
      if (errno != ENOENT) return {};
      // Made by another run at the same moment, it is judged as any other.
      if (::mkdir(way[i].c_str(), 0700) != 0 && errno != EEXIST) return {};
      if (::lstat(way[i].c_str(), &st) != 0) return {};
    }
    // A link here was put after the links were resolved: by someone else.
    if (!S_ISDIR(st.st_mode)) return {};
    const bool ours = st.st_uid == ::geteuid();
    if (!ours && (last || st.st_uid != 0)) return {};
    if (othersMayWrite(st) && (last || (st.st_mode & S_ISVTX) == 0)) return {};
  }
  return real;
}

#endif

}  // namespace

// Never a shared folder such as the temporary one: anybody could make its
// parts first.
fs::path defaultUserJournalFolder() {
#ifdef _WIN32
  if (const wchar_t* local = _wgetenv(L"LOCALAPPDATA"); local != nullptr && *local != 0) {
    return fs::path(local) / "Ravelsk" / "Journal";
  }
  if (const wchar_t* profile = _wgetenv(L"USERPROFILE"); profile != nullptr && *profile != 0) {
    return fs::path(profile) / "AppData" / "Local" / "Ravelsk" / "Journal";
  }
  return {};
#else
  if (const char* data = std::getenv("XDG_DATA_HOME"); data != nullptr && *data == '/') {
    return fs::path(data) / "ravelsk" / "Journal";
  }
  std::string home;
  if (const char* variable = std::getenv("HOME"); variable != nullptr && *variable == '/') {
    home = variable;
  } else {
    // A service, cron or `env -i` starts the program without HOME.
    std::string user;
    if (!userEntry(user, home) || home.empty() || home.front() != '/') return {};
  }
  return fs::path(home) / ".local" / "share" / "ravelsk" / "Journal";
#endif
}

fs::path resolveJournalFolder(const fs::path& programFolder, const fs::path& userJournalFolder) {
  const fs::path own = programFolder / "Journal";
  // Two first runs of a fresh copy make it at the same moment: found made by
  // the other, it is as good. A plain file of that name stays as it is.
  std::error_code ec;
  fs::create_directory(own, ec);
  if (isWritableFolder(own)) return own;
  if (userJournalFolder.empty()) return {};
#ifdef _WIN32
  fs::create_directories(userJournalFolder, ec);
  return isWritableFolder(userJournalFolder) ? userJournalFolder : fs::path();
#else
  const fs::path safe = safeUserFolder(userJournalFolder);
  return !safe.empty() && isWritableFolder(safe) ? safe : fs::path();
#endif
}

}  // namespace replace
