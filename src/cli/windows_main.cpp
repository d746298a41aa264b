#include "cli/windows_main.h"

#include <windows.h>

#include <shellapi.h>

#include <atomic>
#include <deque>
#include <iostream>
#include <mutex>
#include <streambuf>
#include <string_view>
#include <thread>

#include "cli/command_line.h"
#include "cli/windows_backup.h"
#include "office/com/com_backend.h"
#include "replace/journal_folder.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace cli {

namespace {

// One standard handle as a stream. A console is written in UTF-16, which it
// shows rightly in any code page (936 included); a file or a pipe gets the
// UTF-8 bytes, as on Linux. Text is passed on at each flush, so a character's
// bytes are never split between two writes.
class HandleBuffer : public std::streambuf {
 public:
  explicit HandleBuffer(DWORD which) : handle_(GetStdHandle(which)) {
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE &&
               GetConsoleMode(handle_, &mode) != 0;
  }
  ~HandleBuffer() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (c != traits_type::eof()) pending_ += static_cast<char>(c);
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    pending_.append(s, static_cast<std::size_t>(n));
    return n;
  }
  int sync() override {
    if (pending_.empty() || handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
      pending_.clear();
      return 0;
    }
    DWORD written = 0;
    if (console_) {
      writeToConsole(text::wideFromUtf8(pending_));
    } else {
      WriteFile(handle_, pending_.data(), static_cast<DWORD>(pending_.size()), &written, nullptr);
    }
    pending_.clear();
    return 0;
  }

 private:
  // A console wants CR LF. The progress line's "erase to the end of the
  // line" is done here, as not every console knows the terminal's escapes
  // (before Windows 10 none does).
  void writeToConsole(const std::wstring& text) {
    static constexpr std::wstring_view kEraseLine = L"\x1b[K";
    std::wstring run;
    const auto flush = [&] {
      DWORD written = 0;
      if (!run.empty()) {
        WriteConsoleW(handle_, run.data(), static_cast<DWORD>(run.size()), &written, nullptr);
      }
      run.clear();
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
      if (text.compare(i, kEraseLine.size(), kEraseLine) == 0) {
        flush();
        eraseToEndOfLine();
        i += kEraseLine.size() - 1;
        continue;
      }
      if (text[i] == L'\n') run += L'\r';
      run += text[i];
    }
    flush();
  }
  void eraseToEndOfLine() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (!GetConsoleScreenBufferInfo(handle_, &info)) return;
    const DWORD left = static_cast<DWORD>(info.dwSize.X - info.dwCursorPosition.X);
    DWORD filled = 0;
    FillConsoleOutputCharacterW(handle_, L' ', left, info.dwCursorPosition, &filled);
    FillConsoleOutputAttribute(handle_, info.wAttributes, left, info.dwCursorPosition, &filled);
  }

  HANDLE handle_;
  bool console_ = false;
  std::string pending_;
};

// Ctrl+C or Ctrl+Break once: no job takes another file, each finishes the
// one it is on and lets its office go, so that no office is killed in the
// middle of a save and none leaves its lock files behind. Twice: at once;
// the job object then ends the offices.
std::atomic<bool> stopRequested{false};
HANDLE runEnded = nullptr;

BOOL WINAPI onConsoleControl(DWORD event) {
  if (event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) {
    if (stopRequested.exchange(true)) TerminateProcess(GetCurrentProcess(), kExitStopped);
    return TRUE;
  }
  // The console window is being closed (a program with windows of its own
  // never hears of a logoff here): the system ends the program once this
  // returns, or after 5 s. Until then the files being worked on may finish.
  stopRequested = true;
  if (runEnded != nullptr) WaitForSingleObject(runEnded, 4000);
  return FALSE;
}

}  // namespace

std::vector<std::string> windowsArguments() {
  std::vector<std::string> args;
  int count = 0;
  LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
  if (argv == nullptr) return args;
  for (int i = 1; i < count; ++i) args.push_back(text::utf8FromWide(argv[i]));
  LocalFree(argv);
  return args;
}

std::filesystem::path windowsProgramFolder() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);
  }
  return std::filesystem::path(path).parent_path();
}

int windowsMain(const std::vector<std::string>& args, const std::filesystem::path& programFolder) {
  // A program built for the window has no console of its own: it writes to
  // the one it was started from, if any. Handles redirected by the caller
  // (to a file, a pipe) are kept as they are.
  const bool redirected = GetStdHandle(STD_OUTPUT_HANDLE) != nullptr &&
                          GetFileType(GetStdHandle(STD_OUTPUT_HANDLE)) != FILE_TYPE_UNKNOWN;
  if (!redirected && AttachConsole(ATTACH_PARENT_PROCESS)) {
    const HANDLE out =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    if (err == nullptr || GetFileType(err) == FILE_TYPE_UNKNOWN)
      SetStdHandle(STD_ERROR_HANDLE, out);
  }
  HandleBuffer outBuffer(STD_OUTPUT_HANDLE);
  HandleBuffer errBuffer(STD_ERROR_HANDLE);
  std::ostream out(&outBuffer);
  std::ostream err(&errBuffer);

  // One registry per job; each job's thread is an apartment of its own, as
  // the suites' servers want.
  std::deque<office::ServerRegistry> registries;
  std::mutex registriesMutex;
  replace::Clock clock;

  Environment env;
  env.servers = [&](unsigned job) -> const office::ServerRegistry& {
    thread_local office::com::Apartment apartment;
    std::lock_guard lock(registriesMutex);
    while (registries.size() <= job) office::com::createThroughCom(registries.emplace_back());
    return registries[job];
  };
  env.clock = &clock;
  env.programFolder = programFolder;
  env.userJournalFolder = replace::defaultUserJournalFolder();
  env.codeset = text::systemCodeset();
  env.out = &out;
  env.err = &err;
  DWORD mode = 0;
  env.showProgress = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
  env.cores = std::max(std::thread::hardware_concurrency(), 1u);
  env.useBackup = [](const std::string& folder, const std::string& backupFolder) {
    return keepOriginalsIn(folder, backupFolder);
  };
  env.stop = &stopRequested;
  runEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  // A program started with Ctrl+C ignored (start /b, a new process group)
  // gets Ctrl+Break only.
  SetConsoleCtrlHandler(onConsoleControl, TRUE);
  const int status = runCommandLine(args, env);
  if (runEnded != nullptr) SetEvent(runEnded);
  out.flush();
  err.flush();
  return status;
}

}  // namespace cli
