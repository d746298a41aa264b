#include "replace/output_file.h"

#include <filesystem>

#include "text/system_text.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

namespace replace {

namespace {

constexpr const char* kLink = "这是一个符号链接，不经链接写入";
constexpr const char* kNotPlain = "这不是普通文件";
constexpr const char* kNotOurs = "文件已存在，且不是本程序先前写出的，不覆盖";

}  // namespace

#ifdef _WIN32

namespace {

HANDLE handleOf(std::intptr_t handle) {
  return reinterpret_cast<HANDLE>(handle);
}

[[noreturn]] void failWithLastError() {
  throw std::runtime_error(text::windowsErrorText(::GetLastError()));
}

// The file at the handle is ours to empty: a plain file on a disk, no link,
// that begins with heading.
void checkOurs(HANDLE file, std::string_view heading) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!::GetFileInformationByHandle(file, &info)) failWithLastError();
  if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) throw std::runtime_error(kLink);
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || ::GetFileType(file) != FILE_TYPE_DISK) {
    throw std::runtime_error(kNotPlain);
  }
  std::string head(heading.size(), '\0');
  DWORD got = 0;
  for (DWORD n = 0; got < head.size(); got += n) {
    if (!::ReadFile(file, head.data() + got, static_cast<DWORD>(head.size() - got), &n, nullptr)) {
      failWithLastError();
    }
    if (n == 0) break;
  }
  if (std::string_view(head.data(), got) != heading) throw std::runtime_error(kNotOurs);
  LARGE_INTEGER start{};
  if (!::SetFilePointerEx(file, start, nullptr, FILE_BEGIN) || !::SetEndOfFile(file)) {
    failWithLastError();
  }
}

}  // namespace

OutputFile::OutputFile(const std::string& path, std::string_view ownHeading) {
  const std::filesystem::path name = text::pathFromUtf8(path);
  // FILE_FLAG_OPEN_REPARSE_POINT: a link is opened itself, never followed.
  HANDLE file =
      ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                    CREATE_NEW, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) {
      throw std::runtime_error(text::windowsErrorText(error));
    }
    file = ::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) failWithLastError();
    try {
      checkOurs(file, ownHeading);
    } catch (...) {
      ::CloseHandle(file);
      throw;
    }
  }
  handle_ = reinterpret_cast<std::intptr_t>(file);
}

OutputFile::~OutputFile() {
  ::CloseHandle(handleOf(handle_));
}

bool OutputFile::write(std::string_view text) {
  while (!failed_ && !text.empty()) {
    DWORD wrote = 0;
    if (!::WriteFile(handleOf(handle_), text.data(), static_cast<DWORD>(text.size()), &wrote,
                     nullptr) ||
        wrote == 0) {
      failed_ = true;
    }
    text.remove_prefix(wrote);
  }
  return !failed_;
}

#else

namespace {

[[noreturn]] void failWithErrno() {
  throw std::runtime_error(text::errnoText(errno));
}

// The file at fd is ours to empty: a plain file that begins with heading.
void checkOurs(int fd, std::string_view heading) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) failWithErrno();
  if (!S_ISREG(st.st_mode)) throw std::runtime_error(kNotPlain);
  std::string head(heading.size(), '\0');
  std::size_t got = 0;
  while (got < head.size()) {
    const ssize_t n = ::pread(fd, head.data() + got, head.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) failWithErrno();
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (std::string_view(head.data(), got) != heading) throw std::runtime_error(kNotOurs);
  if (::ftruncate(fd, 0) != 0) failWithErrno();
  // Opened without blocking, in case it was a FIFO: writes may block again.
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

}  // namespace

OutputFile::OutputFile(const std::string& path, std::string_view ownHeading) {
  const std::filesystem::path name = text::pathFromUtf8(path);
  // O_EXCL: a new file, never one reached through a link, dangling or not.
  int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0 && errno != EEXIST) failWithErrno();
  if (fd < 0) {
    fd = ::open(name.c_str(), O_RDWR | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0 && errno == ELOOP) throw std::runtime_error(kLink);
    if (fd < 0 && errno == EISDIR) throw std::runtime_error(kNotPlain);
    if (fd < 0) failWithErrno();
    try {
      checkOurs(fd, ownHeading);
    } catch (...) {
      ::close(fd);
      throw;
    }
  }
  handle_ = fd;
}

OutputFile::~OutputFile() {
  ::close(static_cast<int>(handle_));
}

bool OutputFile::write(std::string_view text) {
  while (!failed_ && !text.empty()) {
    const ssize_t n = ::write(static_cast<int>(handle_), text.data(), text.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_ = true;
      break;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return !failed_;
}

#endif

}  // namespace replace
