#include "cli/windows_backup.h"

#include <windows.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

#include "office/automation.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace cli {

namespace {

namespace fs = std::filesystem;

// The same wording as the careful store's on Linux: "无法保存文档：写入备份：…".
[[noreturn]] void fail(const char* step, const std::string& reason) {
  throw office::AutomationError(office::kErrFailed,
                                std::string("无法保存文档：") + step + "：" + reason);
}
[[noreturn]] void fail(const char* step) {
  fail(step, text::windowsErrorText(GetLastError()));
}

class Handle {
 public:
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() {
    if (valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  HANDLE release() {
    const HANDLE handle = handle_;
    handle_ = INVALID_HANDLE_VALUE;
    return handle;
  }

 private:
  HANDLE handle_;
};

// The suite has the file open; it may have it open for writing, so reading
// it shares everything.
Handle openToRead(const fs::path& path) {
  return Handle(CreateFileW(path.c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
}

bool deleteOnClose(HANDLE file, bool yes) {
  FILE_DISPOSITION_INFO disposition{};
  disposition.DeleteFile = yes ? TRUE : FALSE;
  return SetFileInformationByHandle(file, FileDispositionInfo, &disposition, sizeof disposition) !=
         0;
}

// Reads up to size bytes; false on an error.
bool readSome(HANDLE file, std::vector<char>& buffer, DWORD& got) {
  return ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) != 0;
}

// A name for a copy in the backup's folder that nobody else uses.
fs::path temporaryBeside(const fs::path& target) {
  static std::atomic<unsigned> next{0};
  const std::wstring name = L"~" + target.filename().wstring() + L"." +
                            std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(next++) + L".tmp";
  return target.parent_path() / name;
}

bool sameContent(const fs::path& a, const fs::path& b) {
  const Handle first = openToRead(a);
  const Handle second = openToRead(b);
  if (!first.valid() || !second.valid()) return false;
  std::vector<char> x(1 << 16), y(1 << 16);
  for (;;) {
    DWORD gotX = 0, gotY = 0;
    if (!readSome(first.get(), x, gotX) || !readSome(second.get(), y, gotY)) return false;
    if (gotX != gotY || std::memcmp(x.data(), y.data(), gotX) != 0) return false;
    if (gotX == 0) return true;
  }
}

class BackupFolder : public OriginalKeeper {
 public:
  BackupFolder(const std::string& folder, const std::string& backupFolder)
      : folder_(text::pathFromUtf8(folder)), backup_(text::pathFromUtf8(backupFolder)) {}

  void keep(const std::string& file) override {
    const fs::path source = original(file);
    const fs::path target = backupOf(file);
    const Handle in = openToRead(source);
    FILE_BASIC_INFO times{};
    if (!in.valid()) fail("读取文档");
    if (GetFileInformationByHandleEx(in.get(), FileBasicInfo, &times, sizeof times) == 0) {
      fail("读取文档");
    }
    std::error_code ec;
    fs::create_directories(target.parent_path(), ec);
    if (ec) fail("创建备份文件夹", text::errorText(ec));
    // A backup of an earlier run stays as it is.
    if (GetFileAttributesW(target.c_str()) != INVALID_FILE_ATTRIBUTES) {
      fail("写入备份", text::windowsErrorText(ERROR_FILE_EXISTS));
    }
    // The copy is made under a name of its own and takes the backup's name
    // only when complete, so that a copy cut short is never taken for a
    // backup (nor copied back over the document by a restore).
    const fs::path copy = temporaryBeside(target);
    {
      Handle out(CreateFileW(copy.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
      if (!out.valid()) fail("写入备份");
      // Until it is complete the copy goes with its handle, whatever ends us.
      if (!deleteOnClose(out.get(), true)) {
        const DWORD error = GetLastError();
        CloseHandle(out.release());
        DeleteFileW(copy.c_str());
        fail("写入备份", text::windowsErrorText(error));
      }
      std::vector<char> buffer(1 << 20);
      for (;;) {
        DWORD got = 0;
        if (!readSome(in.get(), buffer, got)) fail("读取文档");
        if (got == 0) break;
        DWORD written = 0;
        if (WriteFile(out.get(), buffer.data(), got, &written, nullptr) == 0) fail("写入备份");
        if (written != got) fail("写入备份", text::windowsErrorText(ERROR_DISK_FULL));
      }
      // The times last: a write after them would move the last-write time.
      // Of the attributes only those every file system takes; never
      // read-only, which a document being saved is not.
      times.ChangeTime.QuadPart = 0;  // the system's own
      times.FileAttributes &= FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                              FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
      if (SetFileInformationByHandle(out.get(), FileBasicInfo, &times, sizeof times) == 0 ||
          FlushFileBuffers(out.get()) == 0 || !deleteOnClose(out.get(), false)) {
        fail("写入备份");
      }
    }
    // Never over anything: a backup that appeared meanwhile stays.
    if (MoveFileExW(copy.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) == 0) {
      const DWORD error = GetLastError();
      DeleteFileW(copy.c_str());
      fail("写入备份", text::windowsErrorText(error));
    }
  }

  void saveFailed(const std::string& file) override {
    // The suite may have failed after writing part or all of the file: the
    // backup stays unless the file is still the original.
    const fs::path target = backupOf(file);
    if (sameContent(original(file), target)) DeleteFileW(target.c_str());
  }

 private:
  fs::path original(const std::string& file) const {
    return (folder_ / text::pathFromUtf8(file)).make_preferred();
  }
  fs::path backupOf(const std::string& file) const {
    return (backup_ / text::pathFromUtf8(file)).make_preferred();
  }

  fs::path folder_;
  fs::path backup_;
};

}  // namespace

std::unique_ptr<OriginalKeeper> keepOriginalsIn(const std::string& folder,
                                                const std::string& backupFolder) {
  return std::make_unique<BackupFolder>(folder, backupFolder);
}

}  // namespace cli
