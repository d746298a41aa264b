// Values and errors across COM: VARIANTs both ways, and the errors a
// late-bound caller sees.
#include <windows.h>

#include <oleauto.h>

#include <limits>
#include <map>

#include "office/com/com_backend.h"
#include "office/com/com_internal.h"
#include "text/system_text.h"

namespace office::com {

using text::utf8FromWide;
using text::wideFromUtf8;

namespace {

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

}  // namespace

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

}  // namespace office::com
