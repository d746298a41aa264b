// Objects across COM: ours as IDispatch objects for a server to call, and a
// server's as automation objects for ours, the latter watched with the
// server's process.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>

#include <algorithm>
#include <map>
#include <vector>

#include "office/com/com_backend.h"
#include "office/com/com_internal.h"
#include "office/com/server_process.h"
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

}  // namespace

Object comObject(IDispatch* dispatch, std::shared_ptr<ServerProcess> server) {
  return Object(std::make_shared<ComObject>(dispatch, std::move(server)));
}

Object fromDispatch(IDispatch* dispatch) {
  if (dispatch == nullptr) return Object();
  IDispatch* own = nullptr;
  if (SUCCEEDED(dispatch->QueryInterface(kOwnObject, reinterpret_cast<void**>(&own)))) {
    Object object = static_cast<OwnDispatch*>(own)->object();
    own->Release();
    return object;
  }
  return comObject(dispatch);
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

Object createObject(std::string_view progId) {
  const std::wstring name = wideFromUtf8(progId);
  CLSID clsid;
  HRESULT hr = CLSIDFromProgID(name.c_str(), &clsid);
  if (FAILED(hr)) throw errorFrom(hr);
  IDispatch* dispatch = nullptr;
  hr = CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch,
                        reinterpret_cast<void**>(&dispatch));
  if (FAILED(hr)) throw errorFrom(hr);
  Object object = comObject(dispatch);
  dispatch->Release();
  return object;
}

}  // namespace office::com
