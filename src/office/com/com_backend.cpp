#include "office/com/com_backend.h"

#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "text/letter_case.h"
#include "text/system_text.h"

namespace office::com {

using text::utf8FromWide;
using text::wideFromUtf8;

namespace {

// Marks the IDispatch objects of this program, so that an object of ours that
// a server hands back is unwrapped instead of being called through COM.
// {6B1F2E4A-8C3D-4F5B-9A7E-2D1C0B3A4E5F}
const IID kOwnObject = {
    0x6b1f2e4a, 0x8c3d, 0x4f5b, {0x9a, 0x7e, 0x2d, 0x1c, 0x0b, 0x3a, 0x4e, 0x5f}};

std::int32_t signedCode(HRESULT hr) {
  return static_cast<std::int32_t>(hr);
}

// Codes of the control facility (FACILITY_CONTROL, 0x800A....) are the
// caller-side error numbers themselves.
std::int32_t callerCode(HRESULT hr) {
  if (HRESULT_FACILITY(hr) == FACILITY_CONTROL) return HRESULT_CODE(hr);
  switch (hr) {
    case CO_E_CLASSSTRING:
    case REGDB_E_CLASSNOTREG:
      return kErrCannotCreate;
    case DISP_E_MEMBERNOTFOUND:
    case DISP_E_UNKNOWNNAME:
      return kErrNoSuchMember;
    case DISP_E_NONAMEDARGS:
    case DISP_E_PARAMNOTFOUND:
      return kErrNamedArgument;
    case DISP_E_PARAMNOTOPTIONAL:
      return kErrArgumentNotOptional;
    case DISP_E_BADPARAMCOUNT:
      return kErrArgumentCount;
    case DISP_E_TYPEMISMATCH:
    case DISP_E_BADVARTYPE:
      return kErrTypeMismatch;
    case DISP_E_OVERFLOW:
      return kErrOverflow;
    case DISP_E_BADINDEX:
      return kErrSubscript;
    case E_OUTOFMEMORY:
      return kErrOutOfMemory;
    case E_INVALIDARG:
      return kErrBadCallOrArgument;
    default:
      return signedCode(hr);
  }
}

std::string textOf(BSTR s) {
  return s == nullptr ? std::string() : utf8FromWide(std::wstring_view(s, SysStringLen(s)));
}

BSTR bstrOf(const std::string& utf8) {
  const std::wstring wide = wideFromUtf8(utf8);
  return SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
}

[[noreturn]] void fail(std::int32_t code) {
  throw AutomationError(code, std::string(describe(code)));
}

// ---- objects of ours as COM objects ----

// One COM interface implemented by an object of ours: it lives as long as
// somebody holds a reference, starting with its creator's.
template <typename Interface>
class Counted : public Interface {
 public:
  virtual ~Counted() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --references_;
    if (left == 0) delete this;
    return left;
  }

 private:
  std::atomic<ULONG> references_{1};
};

std::atomic<std::size_t> ownAlive{0};

class OwnDispatch : public Counted<IDispatch> {
 public:
  explicit OwnDispatch(Object object) : object_(std::move(object)) { ++ownAlive; }
  ~OwnDispatch() override { --ownAlive; }
  OwnDispatch(const OwnDispatch&) = delete;
  OwnDispatch& operator=(const OwnDispatch&) = delete;

  const Object& object() const { return object_; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (out == nullptr) return E_POINTER;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, kOwnObject)) {
      *out = static_cast<IDispatch*>(this);
      AddRef();
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
    return DISP_E_BADINDEX;
  }

  // Every name gets an identifier of its own, members and argument names
  // alike; the object itself decides at the call whether it knows them.
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    for (UINT i = 0; i < count; ++i) {
      const std::string name = utf8FromWide(names[i]);
      auto it = std::find_if(names_.begin(), names_.end(),
                             [&](const std::string& n) { return sameName(n, name); });
      if (it == names_.end()) it = names_.insert(names_.end(), name);
      ids[i] = static_cast<DISPID>(it - names_.begin()) + 1;
    }
    return S_OK;
  }

  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                   VARIANT* result, EXCEPINFO* excepinfo, UINT*) override {
    try {
      const std::string member = id == DISPID_VALUE ? std::string() : nameOf(id);
      CallKind kind = CallKind::Get;
      if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        kind = CallKind::Put;
      } else if (flags == DISPATCH_METHOD) {
        kind = CallKind::Method;
      }
      Arguments args;
      const UINT named = kind == CallKind::Put ? 0 : params->cNamedArgs;
      // A by-reference argument stays one: the object may tell the two apart.
      auto argument = [&](UINT i) {
        const VARIANT& v = params->rgvarg[i];
        return V_ISBYREF(&v) ? Variant::byRef(fromVariant(v)) : fromVariant(v);
      };
      for (UINT i = params->cArgs; i > named; --i) args.positional.push_back(argument(i - 1));
      for (UINT i = 0; i < named; ++i) {
        args.named.emplace_back(nameOf(params->rgdispidNamedArgs[i]), argument(i));
      }
      Variant value = object_.get()->invoke(member, kind, args);
      if (result != nullptr) toVariant(value, *result);
      return S_OK;
    } catch (const AutomationError& e) {
      if (excepinfo != nullptr) {
        *excepinfo = EXCEPINFO{};
        excepinfo->bstrSource = bstrOf("Ravelsk");
        excepinfo->bstrDescription = bstrOf(e.description());
        const auto code = static_cast<std::uint32_t>(e.code());
        excepinfo->scode = code <= 0xFFFF ? MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, code)
                                          : static_cast<HRESULT>(code);
      }
      return DISP_E_EXCEPTION;
    } catch (...) {
      return E_UNEXPECTED;
    }
  }

 private:
  std::string nameOf(DISPID id) const {
    if (id < 1 || static_cast<std::size_t>(id) > names_.size()) fail(kErrNoSuchMember);
    return names_[static_cast<std::size_t>(id) - 1];
  }

  Object object_;
  std::vector<std::string> names_;
};

// ---- the process behind a server we started ----

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

// One server's process and the watchdog on its documents, shared by every
// object the server hands out.
class ServerProcess {
 public:
  // process: a handle of ours on the server's process, or null when it is
  // not known; ours: the process appeared for our creation.
  ServerProcess(std::string progId, HANDLE process, bool ours, std::chrono::milliseconds limit)
      : progId_(std::move(progId)), process_(process), ours_(ours), limit_(limit) {
    if (process_ != nullptr && ours_) {
      timer_ = CreateThreadpoolTimer(&ServerProcess::expired, this, nullptr);
    }
  }
  ~ServerProcess() {
    if (timer_ != nullptr) {
      SetThreadpoolTimer(timer_, nullptr, 0, 0);
      WaitForThreadpoolTimerCallbacks(timer_, TRUE);
      CloseThreadpoolTimer(timer_);
    }
    if (process_ != nullptr) CloseHandle(process_);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool ours() const { return ours_; }
  bool ended() const { return ended_; }
  AutomationError endedError() const {
    return AutomationError(kErrServerUnavailable, "处理超时，" + progId_ + " 已被终止");
  }

  // From now on the calls have the whole limit again.
  void arm() {
    if (timer_ == nullptr) return;
    const auto ticks = -static_cast<LONGLONG>(limit_.count()) * 10'000;  // relative, 100 ns
    FILETIME due;
    due.dwLowDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) & 0xFFFFFFFFu);
    due.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) >> 32);
    SetThreadpoolTimer(timer_, &due, 0, 0);
  }
  void disarm() {
    if (timer_ != nullptr) SetThreadpoolTimer(timer_, nullptr, 0, 0);
  }

 private:
  // The call that overran is still waiting on the server: ending the process
  // makes it fail, and the run goes on with a fresh server.
  static void CALLBACK expired(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
    auto* self = static_cast<ServerProcess*>(context);
    self->ended_ = true;
    TerminateProcess(self->process_, 1);
  }

  std::string progId_;
  HANDLE process_;
  bool ours_;
  std::chrono::milliseconds limit_;
  PTP_TIMER timer_ = nullptr;
  std::atomic<bool> ended_{false};
};

// As on every face, a file the office could not write back, or that another
// program holds open, is refused before the office opens it: the office would
// open it read-only, or ask, and fail only when saving.
void requireFreeToWrite(const std::string& path) {
  const std::wstring wide = wideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return;  // the office says what is wrong with it
  }
  const AutomationError readOnly(kErrFailed, "文件只读，未作改动");
  if ((attributes & FILE_ATTRIBUTE_READONLY) != 0) throw readOnly;
  // Opened for writing and shared with nobody, read nor written: it fails
  // when somebody has it open, and when the user may not write it.
  HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) {
    CloseHandle(file);
    return;
  }
  switch (GetLastError()) {
    case ERROR_ACCESS_DENIED:
      throw readOnly;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      throw AutomationError(kErrFailed, "文件正被其他程序使用，未作改动");
    default:
      return;
  }
}

// ---- COM objects as automation objects ----

class ComObject : public Dispatch {
 public:
  explicit ComObject(IDispatch* dispatch, std::shared_ptr<ServerProcess> server = nullptr)
      : dispatch_(dispatch), server_(std::move(server)) {
    dispatch_->AddRef();
  }
  ~ComObject() override { dispatch_->Release(); }
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  IDispatch* dispatch() const { return dispatch_; }

  Variant invoke(std::string_view member, CallKind kind, const Arguments& args) override {
    if (!server_) return call(member, kind, args);
    if (server_->ended()) throw server_->endedError();
    // A document's calls are watched from its Open to its Close, and the
    // server's own ending too.
    const bool open = sameName(member, "Open") && kind == CallKind::Method;
    const bool quit = sameName(member, "Quit") && kind == CallKind::Method;
    if (quit && !server_->ours()) return {};  // somebody else's office stays as it is
    if (open && !args.positional.empty()) {
      if (const auto* path = std::get_if<std::string>(&args.positional.front().value())) {
        requireFreeToWrite(*path);
      }
    }
    if (open || quit) server_->arm();
    const bool ends = quit || (sameName(member, "Close") && kind == CallKind::Method);
    try {
      Variant result = call(member, kind, args);
      if (ends) server_->disarm();
      // What the server hands out belongs to it: watched alike.
      if (result.isObject()) {
        if (auto* com = dynamic_cast<ComObject*>(result.toObject().get())) {
          if (!com->server_) com->server_ = server_;
        }
      }
      return result;
    } catch (const AutomationError&) {
      if (server_->ended()) throw server_->endedError();
      if (open || ends) server_->disarm();
      throw;
    }
  }

 private:
  Variant call(std::string_view member, CallKind kind, const Arguments& args) {
    std::vector<DISPID> named;
    const DISPID id = idsOf(member, args, named);

    // Arguments go in reverse order: the named ones first, then the
    // positional ones from the last to the first.
    const std::size_t count = args.named.size() + args.positional.size();
    std::vector<VARIANT> values(count);
    std::vector<VARIANT> referenced(count);
    for (VARIANT& v : values) VariantInit(&v);
    for (VARIANT& v : referenced) VariantInit(&v);
    struct Clear {
      std::vector<VARIANT>& a;
      std::vector<VARIANT>& b;
      ~Clear() {
        for (VARIANT& v : a) VariantClear(&v);
        for (VARIANT& v : b) VariantClear(&v);
      }
    } clear{values, referenced};
    auto place = [&](std::size_t slot, const Variant& value) {
      if (value.isByRef()) {
        toVariant(value, referenced[slot]);
        V_VT(&values[slot]) = VT_BYREF | VT_VARIANT;
        V_VARIANTREF(&values[slot]) = &referenced[slot];
      } else {
        toVariant(value, values[slot]);
      }
    };
    for (std::size_t i = 0; i < args.named.size(); ++i) place(i, args.named[i].second);
    for (std::size_t i = 0; i < args.positional.size(); ++i) {
      place(count - 1 - i, args.positional[i]);
    }

    DISPPARAMS params{};
    params.cArgs = static_cast<UINT>(count);
    params.rgvarg = values.data();
    DISPID putId = DISPID_PROPERTYPUT;
    WORD flags = DISPATCH_METHOD;
    if (kind == CallKind::Put) {
      flags = DISPATCH_PROPERTYPUT;
      params.cNamedArgs = 1;
      params.rgdispidNamedArgs = &putId;
    } else {
      if (kind == CallKind::Get) flags = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
      params.cNamedArgs = static_cast<UINT>(named.size());
      params.rgdispidNamedArgs = named.empty() ? nullptr : named.data();
    }

    VARIANT result;
    VariantInit(&result);
    EXCEPINFO excepinfo{};
    UINT argumentError = 0;
    const HRESULT hr =
        dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params,
                          kind == CallKind::Put ? nullptr : &result, &excepinfo, &argumentError);
    if (FAILED(hr)) {
      VariantClear(&result);
      throw errorFrom(hr, &excepinfo);
    }
    struct ClearResult {
      VARIANT& v;
      ~ClearResult() { VariantClear(&v); }
    } clearResult{result};
    return fromVariant(result);
  }

 private:
  // The member's identifier and those of its named arguments, asked once per
  // object and name.
  DISPID idsOf(std::string_view member, const Arguments& args, std::vector<DISPID>& named) {
    if (member.empty() && args.named.empty()) return DISPID_VALUE;
    const std::string key = lower(member);
    bool known = member.empty() || ids_.count(key) != 0;
    for (const auto& [name, value] : args.named) {
      known = known && ids_.count(key + '\x01' + lower(name)) != 0;
    }
    if (!known) {
      std::vector<std::wstring> wide;
      wide.push_back(wideFromUtf8(member));
      for (const auto& [name, value] : args.named) wide.push_back(wideFromUtf8(name));
      std::vector<LPOLESTR> names;
      for (std::wstring& w : wide) names.push_back(w.data());
      std::vector<DISPID> ids(names.size(), DISPID_UNKNOWN);
      const HRESULT hr = dispatch_->GetIDsOfNames(
          IID_NULL, names.data(), static_cast<UINT>(names.size()), LOCALE_USER_DEFAULT, ids.data());
      // A dead server leaves the ids unknown too: it must read as gone.
      if (FAILED(hr) && hr != DISP_E_UNKNOWNNAME) throw errorFrom(hr);
      if (ids[0] == DISPID_UNKNOWN && !member.empty()) fail(kErrNoSuchMember);
      for (std::size_t i = 1; i < ids.size(); ++i) {
        if (ids[i] == DISPID_UNKNOWN) fail(kErrNamedArgument);
      }
      if (!member.empty()) ids_[key] = ids[0];
      for (std::size_t i = 0; i < args.named.size(); ++i) {
        ids_[key + '\x01' + lower(args.named[i].first)] = ids[i + 1];
      }
    }
    for (const auto& [name, value] : args.named) {
      named.push_back(ids_.at(key + '\x01' + lower(name)));
    }
    return member.empty() ? DISPID_VALUE : ids_.at(key);
  }

  static std::string lower(std::string_view s) { return text::asciiLowered(s); }

  IDispatch* dispatch_;
  std::shared_ptr<ServerProcess> server_;
  std::map<std::string, DISPID> ids_;
};

// ---- the message filter ----

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

std::string_view describe(std::int32_t code) {
  static const std::map<std::int32_t, std::string_view> texts = {
      {5, "无效的过程调用或参数"},
      {kErrOverflow, "溢出"},
      {kErrOutOfMemory, "内存不足"},
      {9, "下标越界"},
      {kErrTypeMismatch, "类型不匹配"},
      {91, "对象变量或 With 块变量未设置"},
      {kErrObjectRequired, "要求对象"},
      {kErrCannotCreate, kCannotCreateText},
      {kErrNoSuchMember, kNoSuchMemberText},
      {448, "未找到命名参数"},
      {449, "参数不可选"},
      {450, "错误的参数号或无效的属性赋值"},
      {457, "此键已经与该集合的一个元素相关联"},
      {kErrServerUnavailable, "RPC 服务器不可用。"},
      {kErrCallFailed, "远程过程调用失败。"},
      {kErrServerDied, "服务器进程已终止。"},
      {kErrServerDiedDne, "服务器进程已终止。"},
      {kErrDisconnected, "对象已与其客户端断开连接。"},
      {static_cast<std::int32_t>(0x80080005u), "服务器运行失败"},
  };
  auto it = texts.find(code);
  return it == texts.end() ? std::string_view() : it->second;
}

AutomationError errorFrom(HRESULT hr, EXCEPINFO* excepinfo) {
  std::int32_t code = callerCode(hr);
  std::string description;
  if (hr == DISP_E_EXCEPTION && excepinfo != nullptr) {
    if (excepinfo->pfnDeferredFillIn != nullptr) excepinfo->pfnDeferredFillIn(excepinfo);
    if (excepinfo->wCode != 0) {
      code = excepinfo->wCode;
    } else if (excepinfo->scode != 0) {
      code = callerCode(excepinfo->scode);
    }
    description = textOf(excepinfo->bstrDescription);
  }
  if (excepinfo != nullptr) {
    SysFreeString(excepinfo->bstrSource);
    SysFreeString(excepinfo->bstrDescription);
    SysFreeString(excepinfo->bstrHelpFile);
    *excepinfo = EXCEPINFO{};
  }
  if (description.empty()) description = describe(code);
  if (description.empty()) {
    description = text::windowsErrorText(static_cast<unsigned long>(code));
  }
  return AutomationError(code, description);
}

// ---- values ----

void toVariant(const Variant& value, VARIANT& out) {
  VariantClear(&out);
  struct Visitor {
    VARIANT& v;
    void operator()(Empty) const { V_VT(&v) = VT_EMPTY; }
    void operator()(Null) const { V_VT(&v) = VT_NULL; }
    void operator()(bool b) const {
      V_VT(&v) = VT_BOOL;
      V_BOOL(&v) = b ? VARIANT_TRUE : VARIANT_FALSE;
    }
    void operator()(std::int16_t i) const {
      V_VT(&v) = VT_I2;
      V_I2(&v) = i;
    }
    void operator()(std::int32_t i) const {
      V_VT(&v) = VT_I4;
      V_I4(&v) = i;
    }
    void operator()(double d) const {
      V_VT(&v) = VT_R8;
      V_R8(&v) = d;
    }
    void operator()(const std::string& s) const {
      BSTR b = bstrOf(s);
      if (b == nullptr && !s.empty()) fail(kErrOutOfMemory);
      V_VT(&v) = VT_BSTR;
      V_BSTR(&v) = b;
    }
    void operator()(const Object& o) const {
      V_VT(&v) = VT_DISPATCH;
      V_DISPATCH(&v) = o ? toDispatch(o) : nullptr;
    }
  };
  std::visit(Visitor{out}, value.value());
}

Variant fromVariant(const VARIANT& in) {
  const VARIANT* v = &in;
  while (V_VT(v) == (VT_BYREF | VT_VARIANT)) v = V_VARIANTREF(v);
  if (V_ISARRAY(v)) fail(kErrTypeMismatch);
  auto whole = [](long long n) -> Variant {
    if (n >= std::numeric_limits<std::int32_t>::min() &&
        n <= std::numeric_limits<std::int32_t>::max()) {
      return static_cast<std::int32_t>(n);
    }
    return static_cast<double>(n);
  };
  const bool ref = V_ISBYREF(v);
  switch (V_VT(v) & ~VT_BYREF) {
    case VT_EMPTY:
      return {};
    case VT_NULL:
      return Null{};
    case VT_BOOL:
      return (ref ? *V_BOOLREF(v) : V_BOOL(v)) != VARIANT_FALSE;
    case VT_I2:
      return ref ? *V_I2REF(v) : V_I2(v);
    case VT_I4:
      return static_cast<std::int32_t>(ref ? *V_I4REF(v) : V_I4(v));
    case VT_R8:
      return ref ? *V_R8REF(v) : V_R8(v);
    case VT_R4:
      return static_cast<double>(ref ? *V_R4REF(v) : V_R4(v));
    case VT_UI1:
      return static_cast<std::int16_t>(ref ? *V_UI1REF(v) : V_UI1(v));
    case VT_I1:
      return static_cast<std::int16_t>(ref ? *V_I1REF(v) : V_I1(v));
    case VT_UI2:
      return whole(ref ? *V_UI2REF(v) : V_UI2(v));
    case VT_UI4:
      return whole(ref ? *V_UI4REF(v) : V_UI4(v));
    case VT_INT:
      return whole(ref ? *V_INTREF(v) : V_INT(v));
    case VT_UINT:
      return whole(ref ? *V_UINTREF(v) : V_UINT(v));
    case VT_I8:
      return whole(ref ? *V_I8REF(v) : V_I8(v));
    case VT_UI8: {
      const unsigned long long n = ref ? *V_UI8REF(v) : V_UI8(v);
      if (n > static_cast<unsigned long long>(std::numeric_limits<std::int32_t>::max())) {
        return static_cast<double>(n);
      }
      return static_cast<std::int32_t>(n);
    }
    case VT_BSTR:
      return textOf(ref ? *V_BSTRREF(v) : V_BSTR(v));
    case VT_DISPATCH:
      return fromDispatch(ref ? *V_DISPATCHREF(v) : V_DISPATCH(v));
    case VT_UNKNOWN: {
      IUnknown* unknown = ref ? *V_UNKNOWNREF(v) : V_UNKNOWN(v);
      if (unknown == nullptr) return Object();
      IDispatch* dispatch = nullptr;
      if (FAILED(unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)))) {
        fail(kErrTypeMismatch);
      }
      Object object = fromDispatch(dispatch);
      dispatch->Release();
      return object;
    }
    case VT_DATE:
    case VT_CY:
    case VT_DECIMAL: {
      VARIANT text;
      VariantInit(&text);
      if (FAILED(VariantChangeType(&text, const_cast<VARIANT*>(v), 0, VT_BSTR))) {
        fail(kErrTypeMismatch);
      }
      std::string s = textOf(V_BSTR(&text));
      VariantClear(&text);
      return s;
    }
    default:
      fail(kErrTypeMismatch);
  }
}

Object fromDispatch(IDispatch* dispatch) {
  if (dispatch == nullptr) return Object();
  IDispatch* own = nullptr;
  if (SUCCEEDED(dispatch->QueryInterface(kOwnObject, reinterpret_cast<void**>(&own)))) {
    Object object = static_cast<OwnDispatch*>(own)->object();
    own->Release();
    return object;
  }
  return Object(std::make_shared<ComObject>(dispatch));
}

IDispatch* toDispatch(const Object& object) {
  if (!object) return nullptr;
  if (auto* com = dynamic_cast<ComObject*>(object.get())) {
    com->dispatch()->AddRef();
    return com->dispatch();
  }
  return new OwnDispatch(object);
}

std::size_t ownObjectsAlive() {
  return ownAlive;
}

// ---- servers ----

Object createObject(std::string_view progId) {
  const std::wstring name = wideFromUtf8(progId);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
  if (FAILED(hr)) throw errorFrom(hr);
  IDispatch* dispatch = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&dispatch));
  if (FAILED(hr)) throw errorFrom(hr);
  Object object(std::make_shared<ComObject>(dispatch));
  dispatch->Release();
  return object;
}

namespace {

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
  Object app(std::make_shared<ComObject>(dispatch));
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
  Object watched(std::make_shared<ComObject>(own, server));
  own->Release();
  return watched;
}

void createThroughCom(ServerRegistry& registry, ServerOptions options) {
  registry.setFallback(
      [options](std::string_view progId) { return createServer(progId, options); });
}

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
