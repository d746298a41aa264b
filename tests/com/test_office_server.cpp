// A stand-in office for the Windows tests: an out-of-process COM server that
// registers itself (per machine of the Wine prefix the tests run in, never
// elsewhere) under word.Application, excel.Application, ET.Application,
// KET.Application, KWPS.Application and WPS.Application. It answers with the
// object model of the recording test servers, keeps its "disk" in real files
// (a document is its text in UTF-8, or its stories as com/story_file.h
// writes them: main text, headers and footers of each section, footnotes,
// endnotes, text boxes; a workbook has one line per sheet: the name, then the
// cells, tab-separated, each as typed input: "'00123" a text, "00123" a
// number, "=1+1" a formula), appends every call to a log, and can
// be told to die in the middle of a batch, or to behave as the real suites
// do. Word and the WPS text servers tell a window of theirs as Hwnd. Like
// the suites, it holds each open file for writing, shared for reading only.
// Settings come from HKCU\Software\Ravelsk\TestOffice:
//   Log     the call log (UTF-8, one call a line)
//   Pids    each process appends its process id to this file (one a line)
//   KillAt  the process dies during the KillNth call containing this text,
//           once: it sets Killed to 1, and later processes live on.
//   HangAt  the first call containing this text does not return (a modal
//           dialog nobody sees) until the process's release event is set;
//           the process then ends.
//   BusyAt, BusyMs  after the first call containing BusyAt, every incoming
//           call is rejected as busy (SERVERCALL_RETRYLATER) for BusyMs ms.
//   SlowAt, SlowMs  the first call containing SlowAt takes SlowMs ms to
//           answer (a large document).
//   PasswordAt  the files whose path contains this text are protected: an
//           Open without a password argument waits on its prompt forever,
//           one with a wrong password fails.
//   ReadOnlyFailsAtClose  1: a read-only file, or one another program holds,
//           still opens (read-only) and fails at Close(True).
//   SpreadsheetOnly  1: ET.Application and KET.Application have no Documents.
//   MultipleUse  1: one process serves every creation and stays when they
//           are let go (an office the user started, that automation clients
//           reach too).
//
//   ravelsk_test_office.exe /regserver | /unregserver
#include <windows.h>

#include <objbase.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include "com/story_file.h"
#include "com/test_office.h"
#include "office/com/com_backend.h"
#include "support/recording_server.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace {

using text::pathFromUtf8;
using text::utf8FromWide;
using text::wideFromUtf8;

struct ServedClass {
  const wchar_t* progId;
  CLSID clsid;
  const char* defaultValue;
  const char* version;
  bool text;         // a text server: it tells its window
  bool spreadsheet;  // ET and KET: no Documents under SpreadsheetOnly
};

// {5E0B7A10-2C4D-4E8F-9A61-0D3B5C7E9F01} and its neighbours.
const ServedClass kClasses[] = {
    {L"word.Application",
     {0x5e0b7a10, 0x2c4d, 0x4e8f, {0x9a, 0x61, 0x0d, 0x3b, 0x5c, 0x7e, 0x9f, 0x01}},
     "Microsoft Word",
     "16.0",
     true,
     false},
    {L"excel.Application",
     {0x5e0b7a10, 0x2c4d, 0x4e8f, {0x9a, 0x61, 0x0d, 0x3b, 0x5c, 0x7e, 0x9f, 0x02}},
     "Microsoft Excel",
     "16.0",
     false,
     false},
    {L"ET.Application",
     {0x5e0b7a10, 0x2c4d, 0x4e8f, {0x9a, 0x61, 0x0d, 0x3b, 0x5c, 0x7e, 0x9f, 0x03}},
     "ET",
     "8.1",
     false,
     true},
    {L"KET.Application",
     {0x5e0b7a10, 0x2c4d, 0x4e8f, {0x9a, 0x61, 0x0d, 0x3b, 0x5c, 0x7e, 0x9f, 0x04}},
     "KET",
     "9.1",
     false,
     true},
    {L"KWPS.Application",
     {0x5e0b7a10, 0x2c4d, 0x4e8f, {0x9a, 0x61, 0x0d, 0x3b, 0x5c, 0x7e, 0x9f, 0x05}},
     "WPS 文字",
     "11.1",
     true,
     false},
    {L"WPS.Application",
     {0x5e0b7a10, 0x2c4d, 0x4e8f, {0x9a, 0x61, 0x0d, 0x3b, 0x5c, 0x7e, 0x9f, 0x06}},
     "WPS 文字",
     "8.1",
     true,
     false},
};

using testoffice::kSettingsKey;

std::wstring readSetting(const wchar_t* name) {
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_SZ, nullptr, buffer, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return buffer;
}

DWORD readNumber(const wchar_t* name) {
  DWORD value = 0;
  DWORD size = sizeof value;
  if (RegGetValueW(HKEY_CURRENT_USER, kSettingsKey, name, RRF_RT_REG_DWORD, nullptr, &value,
                   &size) != ERROR_SUCCESS) {
    return 0;
  }
  return value;
}

std::wstring guidText(const CLSID& clsid) {
  wchar_t text[64];
  StringFromGUID2(clsid, text, 64);
  return text;
}

std::wstring ownPath() {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return path;
}

// Per machine: Wine's HKEY_CLASSES_ROOT reads the machine's classes.
int registerServer(bool add) {
  for (const ServedClass& c : kClasses) {
    const std::wstring clsidKey = L"Software\\Classes\\CLSID\\" + guidText(c.clsid);
    const std::wstring progIdKey = std::wstring(L"Software\\Classes\\") + c.progId;
    if (!add) {
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, clsidKey.c_str());
      RegDeleteTreeW(HKEY_LOCAL_MACHINE, progIdKey.c_str());
      continue;
    }
    const std::wstring command = L"\"" + ownPath() + L"\" -progid " + c.progId;
    const std::wstring clsid = guidText(c.clsid);
    auto set = [](const std::wstring& key, const std::wstring& value) {
      return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, REG_SZ, value.c_str(),
                             static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    if (set(clsidKey + L"\\LocalServer32", command) != ERROR_SUCCESS ||
        set(clsidKey + L"\\ProgID", c.progId) != ERROR_SUCCESS ||
        set(progIdKey + L"\\CLSID", clsid) != ERROR_SUCCESS) {
      return 1;
    }
  }
  return 0;
}

// ---- the "disk" ----

std::string readAll(const std::string& path) {
  std::ifstream in(pathFromUtf8(path), std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool isWorkbook(const std::string& path) {
  return path.size() > 4 && _stricmp(path.c_str() + path.size() - 4, ".xls") == 0;
}

// The story types by the labels of the document files (com/story_file.h).
struct StoryLabel {
  const char* label;
  int type;
  bool sectioned;  // a header or footer: the label ends in its section
};
const StoryLabel kStoryLabels[] = {
    {"footnotes", testsupport::kFootnotesStory, false},
    {"endnotes", testsupport::kEndnotesStory, false},
    {"textbox", testsupport::kTextFrameStory, false},
    {"header even", testsupport::kEvenPagesHeaderStory, true},
    {"header primary", testsupport::kPrimaryHeaderStory, true},
    {"footer even", testsupport::kEvenPagesFooterStory, true},
    {"footer primary", testsupport::kPrimaryFooterStory, true},
    {"header first", testsupport::kFirstPageHeaderStory, true},
    {"footer first", testsupport::kFirstPageFooterStory, true},
};

// A label the test office does not know is a test's mistake: it stops here
// rather than dropping a story and then passing for a run that missed it.
[[noreturn]] void unknownLabel(const std::string& label) {
  std::fprintf(stderr, "ravelsk_test_office: unknown story label \"%s\"\n", label.c_str());
  std::abort();
}

testsupport::FakeStory storyOf(const std::string& label, const std::string& text) {
  for (const StoryLabel& known : kStoryLabels) {
    const std::string name = known.label;
    if (!known.sectioned && label == name) return {.type = known.type, .text = text};
    if (known.sectioned && label.rfind(name + " ", 0) == 0) {
      return {.type = known.type, .text = text, .section = std::stoi(label.substr(name.size()))};
    }
  }
  unknownLabel(label);
}

std::string labelOf(const testsupport::FakeStory& story) {
  for (const StoryLabel& known : kStoryLabels) {
    if (known.type != story.type) continue;
    if (!known.sectioned) return known.label;
    return std::string(known.label) + " " + std::to_string(story.section);
  }
  return "type " + std::to_string(story.type);
}

void loadDocument(testsupport::FakeOffice& office, const std::string& path,
                  const std::string& content) {
  std::string main;
  std::vector<testsupport::FakeStory> stories;
  for (const testoffice::StoryRecord& record : testoffice::storyRecords(content)) {
    if (record.label == "main") {
      main = record.text;
    } else if (record.label == "shape" || record.label == "picture") {
      if (stories.empty()) unknownLabel(record.label);
      stories.back().shapes.push_back(
          record.label == "shape" ? std::optional<std::string>(record.text) : std::nullopt);
    } else {
      stories.push_back(storyOf(record.label, record.text));
    }
  }
  office.documents[path] = main;
  office.stories[path] = stories;
}

// A document without other stories is stored as its main text alone, as
// the older tests write and read their documents.
std::string documentFile(testsupport::FakeOffice& office, const std::string& path) {
  const std::vector<testsupport::FakeStory>& stories = office.stories[path];
  if (stories.empty()) return office.documents[path];
  std::vector<testoffice::StoryRecord> records{{"main", office.documents[path]}};
  for (const testsupport::FakeStory& story : stories) {
    records.push_back({labelOf(story), story.text});
    for (const std::optional<std::string>& shape : story.shapes) {
      records.push_back(shape ? testoffice::StoryRecord{"shape", *shape}
                              : testoffice::StoryRecord{"picture", {}});
    }
  }
  return testoffice::storyFile(records);
}

void load(testsupport::FakeOffice& office, const std::string& path) {
  std::ifstream probe(pathFromUtf8(path), std::ios::binary);
  if (!probe) return;  // the server answers "file not found"
  const std::string content = readAll(path);
  if (!isWorkbook(path)) {
    loadDocument(office, path, content);
    return;
  }
  std::vector<testsupport::FakeSheet> sheets;
  std::istringstream lines(content);
  std::string line;
  while (std::getline(lines, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    // A workbook's file may begin as a real one does, its signature on a
    // line of its own.
    if (line.starts_with("\xD0\xCF\x11\xE0")) continue;
    // A line beginning with a tab holds the column B of the sheet before it.
    if (!line.empty() && line.front() == '\t' && !sheets.empty()) {
      std::istringstream cells(line.substr(1));
      std::string cell;
      while (std::getline(cells, cell, '\t')) {
        sheets.back().columnB.push_back(testsupport::FakeCell::typed(cell));
      }
      continue;
    }
    testsupport::FakeSheet sheet;
    std::istringstream cells(line);
    std::string cell;
    std::getline(cells, sheet.name, '\t');
    while (std::getline(cells, cell, '\t')) {
      sheet.cells.push_back(testsupport::FakeCell::typed(cell));
    }
    sheets.push_back(sheet);
  }
  office.workbooks[path] = sheets;
}

// What a suite does with a file it could only open read-only: it fails when
// the document is saved.
void requireWritable(const std::string& path) {
  const std::wstring wide = wideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  if (file == INVALID_HANDLE_VALUE ||
      (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)) {
    throw office::AutomationError(5155, "文档是只读的，无法保存");
  }
}

// A suite keeps each file it has open, for writing where it may, and lets
// others read it only.
class HeldFiles {
 public:
  ~HeldFiles() {
    for (auto& [path, handle] : held_) CloseHandle(handle);
  }
  void hold(const std::string& path) {
    const std::wstring wide = wideFromUtf8(path);
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      file = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (file != INVALID_HANDLE_VALUE) held_[path] = file;
  }
  void release(const std::string& path) {
    const auto it = held_.find(path);
    if (it == held_.end()) return;
    CloseHandle(it->second);
    held_.erase(it);
  }

 private:
  std::map<std::string, HANDLE> held_;
};

void store(testsupport::FakeOffice& office, const std::string& path) {
  std::ofstream out(pathFromUtf8(path), std::ios::binary | std::ios::trunc);
  if (!isWorkbook(path)) {
    out << documentFile(office, path);
    return;
  }
  for (const testsupport::FakeSheet& sheet : office.workbooks[path]) {
    out << sheet.name;
    for (const testsupport::FakeCell& cell : sheet.cells) out << '\t' << cell.asTyped();
    out << "\r\n";
    if (sheet.columnB.empty()) continue;
    for (const testsupport::FakeCell& cell : sheet.columnB) out << '\t' << cell.asTyped();
    out << "\r\n";
  }
}

// ---- the server ----

// Incoming calls are rejected as busy until the time it holds (GetTickCount64).
std::atomic<ULONGLONG> busyUntil{0};

class Server {
 public:
  Server(const ServedClass& served, HWND window) : served_(served) {
    log_ = readSetting(L"Log");
    killAt_ = utf8FromWide(readSetting(L"KillAt"));
    killNth_ = static_cast<int>(readNumber(L"KillNth"));
    hangAt_ = utf8FromWide(readSetting(L"HangAt"));
    busyAt_ = utf8FromWide(readSetting(L"BusyAt"));
    busyMs_ = readNumber(L"BusyMs");
    slowAt_ = utf8FromWide(readSetting(L"SlowAt"));
    slowMs_ = readNumber(L"SlowMs");
    passwordAt_ = utf8FromWide(readSetting(L"PasswordAt"));
    const bool readOnlyFails = readNumber(L"ReadOnlyFailsAtClose") != 0;
    testsupport::FakeAppSettings settings{.defaultValue = served.defaultValue,
                                          .version = served.version};
    if (served.text) {
      settings.hwnd = static_cast<std::int32_t>(reinterpret_cast<INT_PTR>(window));
    }
    settings.documents = !(served.spreadsheet && readNumber(L"SpreadsheetOnly") != 0);
    office_.serve(registry_, utf8FromWide(served.progId), settings);
    office_.onOpen = [this](const std::string& path) {
      load(office_, path);
      held_.hold(path);
    };
    office_.onSave = [this, readOnlyFails](const std::string& path) {
      held_.release(path);
      if (readOnlyFails) requireWritable(path);
      store(office_, path);
    };
    office_.onClose = [this](const std::string& path) { held_.release(path); };
    office_.onCall = [this](const std::string& text) { called(text); };
  }

  void record(const std::string& text) {
    if (log_.empty()) return;
    std::string line;
    for (char c : text) {
      if (c == '\r') {
        line += "\\r";
      } else if (c == '\n') {
        line += "\\n";
      } else {
        line += c;
      }
    }
    std::FILE* out = _wfopen(log_.c_str(), L"ab");
    if (out == nullptr) return;
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), out);
    std::fclose(out);
  }

  office::Object create() {
    record("CreateObject(" + utf8FromWide(served_.progId) + ")");
    created_ = true;
    return registry_.create(utf8FromWide(served_.progId));
  }

  bool created() const { return created_; }

 private:
  void called(const std::string& text) {
    record(text);
    // A modal dialog nobody sees: the call never comes back.
    const bool prompt = !passwordAt_.empty() && text.find(".Open(") != std::string::npos &&
                        text.find(passwordAt_) != std::string::npos;
    if (prompt && text.find("Password") != std::string::npos) {
      throw office::AutomationError(5408, "密码不正确");
    }
    if (prompt || (!hangAt_.empty() && text.find(hangAt_) != std::string::npos)) {
      record("<hung>");
      // Until somebody closes the dialog (the event of releaseEventName):
      // the office then ends as its user would end it.
      HANDLE release = CreateEventW(nullptr, TRUE, FALSE,
                                    testoffice::releaseEventName(GetCurrentProcessId()).c_str());
      WaitForSingleObject(release, INFINITE);
      CloseHandle(release);
      PostQuitMessage(0);
      throw office::AutomationError(office::kErrUnexpected, "对话框已关闭");
    }
    if (!slowAt_.empty() && text.find(slowAt_) != std::string::npos) {
      slowAt_.clear();
      Sleep(slowMs_);
    }
    if (!busyAt_.empty() && text.find(busyAt_) != std::string::npos) {
      busyAt_.clear();
      busyUntil = GetTickCount64() + busyMs_;
    }
    if (killAt_.empty() || text.find(killAt_) == std::string::npos) return;
    if (++seen_ != killNth_ || readNumber(L"Killed") != 0) return;
    DWORD one = 1;
    RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, L"Killed", REG_DWORD, &one, sizeof one);
    record("<died>");
    TerminateProcess(GetCurrentProcess(), 3);
  }

  const ServedClass& served_;
  std::wstring log_;
  std::string killAt_;
  int killNth_ = 0;
  std::string hangAt_;
  std::string busyAt_;
  DWORD busyMs_ = 0;
  std::string slowAt_;
  DWORD slowMs_ = 0;
  std::string passwordAt_;
  int seen_ = 0;
  bool created_ = false;
  office::ServerRegistry registry_;
  HeldFiles held_;  // before the office, whose calls use it
  testsupport::FakeOffice office_;
};

class Factory : public IClassFactory {
 public:
  explicit Factory(Server& server) : server_(server) {}
  virtual ~Factory() = default;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
      *out = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    try {
      IDispatch* app = office::com::toDispatch(server_.create());
      const HRESULT hr = app->QueryInterface(riid, out);
      app->Release();
      return hr;
    } catch (...) {
      return E_FAIL;
    }
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

 private:
  Server& server_;
};

// The server's side of the busy habit; every other call is handled.
class BusyFilter : public IMessageFilter {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMessageFilter)) {
      *out = static_cast<IMessageFilter*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
    return GetTickCount64() < busyUntil ? SERVERCALL_RETRYLATER : SERVERCALL_ISHANDLED;
  }
  DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD, DWORD) override {
    return static_cast<DWORD>(-1);
  }
  DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override {
    return PENDINGMSG_WAITDEFPROCESS;
  }
};

void notePid() {
  const std::wstring pids = readSetting(L"Pids");
  if (pids.empty()) return;
  std::FILE* out = _wfopen(pids.c_str(), L"ab");
  if (out == nullptr) return;
  std::fprintf(out, "%lu\n", GetCurrentProcessId());
  std::fclose(out);
}

int serve(const ServedClass& served) {
  office::com::Apartment apartment;
  BusyFilter busy;
  IMessageFilter* previous = nullptr;
  CoRegisterMessageFilter(&busy, &previous);
  // The window a text server tells as its Hwnd: never shown.
  HWND window = CreateWindowExW(0, L"STATIC", served.progId, 0, 0, 0, 0, 0, nullptr, nullptr,
                                nullptr, nullptr);
  DWORD cookie = 0;
  {
    Server server(served, window);
    Factory factory(server);
    // One process per created server, as an office started for each
    // CreateObject: killing one leaves the others.
    const DWORD use = readNumber(L"MultipleUse") != 0 ? REGCLS_MULTIPLEUSE : REGCLS_SINGLEUSE;
    if (FAILED(CoRegisterClassObject(served.clsid, &factory, CLSCTX_LOCAL_SERVER, use, &cookie))) {
      return 1;
    }
    // Once it can be reached. Under Wine a class registered for several
    // clients was seen, once, to be reached by a creation only a moment
    // after CoRegisterClassObject had returned: the test that starts an
    // office as a user would, and then creates the object, got an office of
    // its own.
    if (use == REGCLS_MULTIPLEUSE) Sleep(1000);
    notePid();
    // Ends once the client has let go of every object, or when nobody
    // comes for a minute.
    const UINT_PTR timer = SetTimer(nullptr, 0, 100, nullptr);
    const ULONGLONG start = GetTickCount64();
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
      if (msg.message == WM_TIMER && msg.hwnd == nullptr) {
        const bool released =
            server.created() && office::com::ownObjectsAlive() == 0 && use == REGCLS_SINGLEUSE;
        const bool unused = !server.created() && GetTickCount64() - start > 60000;
        if (released || unused) break;
        continue;
      }
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
    KillTimer(nullptr, timer);
    CoRevokeClassObject(cookie);
  }
  if (window != nullptr) DestroyWindow(window);
  IMessageFilter* ours = nullptr;
  CoRegisterMessageFilter(previous, &ours);
  if (previous != nullptr) previous->Release();
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    if (arg == L"/regserver") return registerServer(true);
    if (arg == L"/unregserver") return registerServer(false);
    if (arg == L"-progid" && i + 1 < argc) {
      for (const ServedClass& c : kClasses) {
        if (_wcsicmp(c.progId, argv[i + 1]) == 0) return serve(c);
      }
    }
  }
  std::fprintf(stderr, "usage: ravelsk_test_office.exe /regserver | /unregserver\n");
  return 2;
}
