#include "office/com/server_process.h"

#include <objbase.h>
#include <tlhelp32.h>

#include <mutex>
#include <set>
#include <vector>

#include "office/com/com_backend.h"
#include "office/com/com_internal.h"
#include "text/system_text.h"

namespace office::com {

using text::wideFromUtf8;

namespace {

// Every server process this program starts: when the program ends, however
// it ends (a crash, Task Manager, a logoff), the system ends them with it.
HANDLE serverJob() {
  static const HANDLE job = [] {
    HANDLE created = CreateJobObjectW(nullptr, nullptr);
    if (created != nullptr) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(created, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
    return created;  // never closed: its handle goes only with the program
  }();
  return job;
}

std::set<DWORD> runningProcesses() {
  std::set<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more;
       more = Process32NextW(snapshot, &entry)) {
    ids.insert(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return ids;
}

// Word's and WPS's text servers tell their main window, and so their process.
bool tellsItsWindow(std::string_view progId) {
  for (std::string_view prefix : {"word.", "kwps.", "wps."}) {
    if (progId.size() >= prefix.size() && sameName(progId.substr(0, prefix.size()), prefix)) {
      return true;
    }
  }
  return false;
}

DWORD processOfWindow(const Object& app) {
  try {
    const auto handle = app.get("Hwnd").toInteger();
    DWORD process = 0;
    if (handle != 0 && GetWindowThreadProcessId(
                           reinterpret_cast<HWND>(static_cast<INT_PTR>(handle)), &process) != 0) {
      return process;
    }
  } catch (const AutomationError&) {
  }
  return 0;
}

}  // namespace

Object createServer(std::string_view progId, const ServerOptions& options) {
  const std::wstring name = wideFromUtf8(progId);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
  if (FAILED(hr)) throw errorFrom(hr);
  // Creations one at a time, so that the process that appears is this one's.
  static std::mutex creating;
  std::unique_lock lock(creating);
  const std::set<DWORD> before = runningProcesses();
  IDispatch* dispatch = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&dispatch));
  if (hr == REGDB_E_CLASSNOTREG) {
    lock.unlock();
    return createObject(progId);  // no process of its own: nothing to watch
  }
  if (FAILED(hr)) throw errorFrom(hr);
  Object app = comObject(dispatch);
  dispatch->Release();

  DWORD process = tellsItsWindow(progId) ? processOfWindow(app) : 0;
  bool ours = false;
  if (process != 0) {
    ours = before.count(process) == 0;
  } else {
    std::vector<DWORD> appeared;
    for (DWORD id : runningProcesses()) {
      if (before.count(id) == 0) appeared.push_back(id);
    }
    // None: an office somebody else started serves it. Several: it is not
    // known which, and none is ended; the server is still ours to quit.
    ours = !appeared.empty();
    if (appeared.size() == 1) process = appeared.front();
  }
  lock.unlock();
  HANDLE handle = nullptr;
  if (ours && process != 0) {
    handle = OpenProcess(
        PROCESS_TERMINATE | PROCESS_SET_QUOTA | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION,
        FALSE, process);
    if (handle != nullptr && serverJob() != nullptr) AssignProcessToJobObject(serverJob(), handle);
  }
  auto server =
      std::make_shared<ServerProcess>(std::string(progId), handle, ours, options.documentTimeout);
  // The application object is watched like everything it hands out.
  IDispatch* own = toDispatch(app);
  Object watched = comObject(own, server);
  own->Release();
  return watched;
}

void createThroughCom(ServerRegistry& registry, ServerOptions options) {
  registry.setFallback(
      [options](std::string_view progId) { return createServer(progId, options); });
}

namespace {

class RetryFilter : public Counted<IMessageFilter> {
 public:
  explicit RetryFilter(unsigned retryMilliseconds) : retry_(retryMilliseconds) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IMessageFilter)) {
      *out = static_cast<IMessageFilter*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  DWORD STDMETHODCALLTYPE HandleInComingCall(DWORD, HTASK, DWORD, LPINTERFACEINFO) override {
    return SERVERCALL_ISHANDLED;
  }
  // A server that is busy (a dialog open, a document loading) rejects the
  // call: it is tried again every 100 ms until the time is up, then it fails.
  DWORD STDMETHODCALLTYPE RetryRejectedCall(HTASK, DWORD elapsed, DWORD rejectType) override {
    if (rejectType == SERVERCALL_REJECTED || rejectType == SERVERCALL_RETRYLATER) {
      if (elapsed < retry_) return 100;
    }
    return static_cast<DWORD>(-1);
  }
  // While a call is outstanding the windows of this thread still repaint
  // (a document may keep the server busy up to the watchdog's limit); input
  // stays queued for after the call.
  DWORD STDMETHODCALLTYPE MessagePending(HTASK, DWORD, DWORD) override {
    MSG msg;
    for (int i = 0; i < 16 && PeekMessageW(&msg, nullptr, WM_PAINT, WM_PAINT, PM_REMOVE); ++i) {
      DispatchMessageW(&msg);
    }
    return PENDINGMSG_WAITDEFPROCESS;
  }

 private:
  DWORD retry_;
};

}  // namespace

Apartment::Apartment(unsigned retryMilliseconds) {
  const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
  if (FAILED(hr)) throw errorFrom(hr);
  filter_ = new RetryFilter(retryMilliseconds);
  if (FAILED(CoRegisterMessageFilter(filter_, &previous_))) previous_ = nullptr;
}

Apartment::~Apartment() {
  IMessageFilter* ours = nullptr;
  CoRegisterMessageFilter(previous_, &ours);
  if (ours != nullptr) ours->Release();
  if (previous_ != nullptr) previous_->Release();
  if (filter_ != nullptr) filter_->Release();
  CoUninitialize();
}

}  // namespace office::com
