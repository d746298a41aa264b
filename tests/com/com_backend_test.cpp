// The COM backend against servers Wine itself ships (scrrun, vbscript,
// msxml3): nobody here wrote them, so they check our side of IDispatch the
// way a real office would.
#include "office/com/com_backend.h"

#include <windows.h>

#include <functional>
#include <memory>

#include <gtest/gtest.h>

#include "support/fixtures.h"
#include "text/text_encoding.h"

namespace {

using office::AutomationError;
using office::CallKind;
using office::Object;
using office::Variant;
using Named = std::vector<std::pair<std::string, Variant>>;

struct Failure {
  std::int32_t code = 0;
  std::string description;
};

Failure failureOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const AutomationError& e) {
    return {e.code(), e.description()};
  }
  return {};
}

// An object of this program, handed to a server as an IDispatch.
class Note : public office::Dispatch {
 public:
  explicit Note(std::string text) : text_(std::move(text)) {}
  Variant invoke(std::string_view member, CallKind kind, const office::Arguments& args) override {
    if (!member.empty() && !office::sameName(member, "Text")) {
      throw AutomationError(office::kErrNoSuchMember, std::string(office::kNoSuchMemberText));
    }
    if (kind == CallKind::Put) text_ = args.positional.back().toText();
    return text_;
  }

 private:
  std::string text_;
};

class Com : public ::testing::Test {
 protected:
  office::com::Apartment apartment;  // first in, last out: every object below goes before it
  office::ServerRegistry servers;

  Com() { office::com::createThroughCom(servers); }
  Object create(const char* progId) { return servers.create(progId); }
};

TEST_F(Com, DictionaryTakesPositionalAndNamedArgumentsInAnyOrder) {
  Object dict = create("Scripting.Dictionary");
  dict.call("Add", {Variant("a"), Variant(std::int32_t{1})});
  dict.call("Add", Named{{"Key", "b"}, {"Item", std::int32_t{2}}});
  dict.call("Add", Named{{"item", std::int32_t{3}}, {"KEY", "c"}});

  const Variant count = dict.get("Count");
  EXPECT_EQ(count.typeName(), "Long");
  EXPECT_EQ(count.toInteger(), 3);
  for (const auto& [key, item] : {std::pair{"a", 1}, std::pair{"b", 2}, std::pair{"c", 3}}) {
    EXPECT_EQ(dict.get("Item", {Variant(key)}).toInteger(), item) << key;
  }
  EXPECT_TRUE(dict.call("Exists", {Variant("b")}).toBool());
  EXPECT_FALSE(dict.call("Exists", {Variant("z")}).toBool());

  // Indexed put, and the default member (Item) read with an argument.
  dict.get()->invoke("Item", CallKind::Put, {{Variant("b"), Variant("二")}, {}});
  EXPECT_EQ(dict.get("", {Variant("b")}).toText(), "二");
  dict.get()->invoke("", CallKind::Put, {{Variant("d"), Variant(4.5)}, {}});
  EXPECT_EQ(dict.get("Item", {Variant("d")}).toDouble(), 4.5);
}

TEST_F(Com, DictionaryGivesTheErrorsALateBoundCallerSees) {
  Object dict = create("Scripting.Dictionary");
  dict.call("Add", {Variant("a"), Variant(std::int32_t{1})});
  const struct {
    const char* what;
    std::function<void()> call;
    std::int32_t code;
  } cases[] = {
      {"duplicate key",
       [&] {
         dict.call("Add", {Variant("a"), Variant(std::int32_t{2})});
       },
       457},
      {"unknown member", [&] { dict.get("NoSuchMember"); }, 438},
      {"unknown named argument",
       [&] {
         dict.call("Add", Named{{"Key", "x"}, {"Nope", 1.0}});
       },
       448},
  };
  for (const auto& c : cases) {
    const Failure f = failureOf(c.call);
    EXPECT_EQ(f.code, c.code) << c.what;
    EXPECT_FALSE(f.description.empty()) << c.what;
  }
  EXPECT_EQ(failureOf([&] { dict.get("NoSuchMember"); }).description, "对象不支持该属性或方法");
  // The default member (Item) needs its key.
  EXPECT_EQ(failureOf([&] { dict.defaultValue(); }).code, 450);
}

TEST_F(Com, EveryKindOfValueRoundTripsThroughAServer) {
  Object dict = create("Scripting.Dictionary");
  auto note = std::make_shared<Note>("便笺");
  const std::string withNul("a\0表", 5);
  const struct {
    Variant value;
    const char* type;
    std::string text;
  } cases[] = {
      {Variant(), "Empty", ""},
      {Variant(office::Null{}), "Null", ""},
      {Variant(true), "Boolean", "True"},
      {Variant(false), "Boolean", "False"},
      {Variant(std::int16_t{-2}), "Integer", "-2"},
      {Variant(std::int32_t{70000}), "Long", "70000"},
      {Variant(11.5), "Double", "11.5"},
      {Variant("替换 ：“引号”\xF0\x9F\x98\x80"), "String", "替换 ：“引号”\xF0\x9F\x98\x80"},
      {Variant(withNul), "String", withNul},
      {Variant(""), "String", ""},
      {Variant(Object()), "Object", ""},
      {Variant::byRef(std::int32_t{5}), "Long", "5"},
      {Variant::byRef(Variant("引用")), "String", "引用"},
  };
  std::int32_t key = 0;
  for (const auto& c : cases) {
    dict.call("Add", {Variant(++key), c.value});
    const Variant back = dict.get("Item", {Variant(key)});
    EXPECT_EQ(back.typeName(), c.type) << key;
    if (back.isObject()) {
      EXPECT_FALSE(back.toObject()) << key;
    } else if (!back.isNull()) {
      EXPECT_EQ(back.toText(), c.text) << key;
    }
  }

  dict.call("Add", {Variant("ours"), Variant(Object(note))});
  const Object back = dict.get("Item", {Variant("ours")}).toObject();
  EXPECT_EQ(back.get(), note.get()) << "our object comes back as itself";
  EXPECT_EQ(back.defaultValue().toText(), "便笺");
}

TEST_F(Com, FileSystemObjectSeesChineseNames) {
  testsupport::TempFolder folder;
  folder.write("报告 #1.doc", "x");
  Object fso = create("Scripting.FileSystemObject");
  EXPECT_EQ(fso.call("BuildPath", {Variant("C:\\文件夹"), Variant("报告.doc")}).toText(),
            "C:\\文件夹\\报告.doc");
  EXPECT_TRUE(fso.call("FolderExists", {Variant(folder.str())}).toBool());
  EXPECT_TRUE(fso.call("FileExists", {Variant(folder.sub("报告 #1.doc"))}).toBool());
  EXPECT_FALSE(fso.call("FileExists", {Variant(folder.sub("报告 #2.doc"))}).toBool());
  const Object files =
      fso.call("GetFolder", {Variant(folder.str())}).toObject().get("Files").toObject();
  EXPECT_EQ(files.get("Count").toInteger(), 1);
  EXPECT_EQ(fso.call("GetFileName", {Variant(folder.sub("报告 #1.doc"))}).toText(), "报告 #1.doc");
}

TEST_F(Com, RegExpTakesPropertiesAndReplacesChineseText) {
  Object re = create("VBScript.RegExp");
  re.put("Pattern", "旧+");
  re.put("Global", true);
  EXPECT_EQ(re.get("Pattern").toText(), "旧+");
  EXPECT_TRUE(re.get("Global").toBool());
  EXPECT_TRUE(re.call("Test", {Variant("一个旧旧字")}).toBool());
  EXPECT_FALSE(re.call("Test", {Variant("没有")}).toBool());
  EXPECT_EQ(re.call("Replace", {Variant("旧字，旧旧字"), Variant("新")}).toText(), "新字，新字");
  EXPECT_EQ(re.call("Execute", {Variant("旧 旧旧")}).toObject().get("Count").toInteger(), 2);
}

TEST_F(Com, DomDocumentParsesAndRefusesNamedArguments) {
  Object doc = create("MSXML2.DOMDocument");
  EXPECT_TRUE(doc.call("loadXML", {Variant("<a><b>表</b><b>格</b></a>")}).toBool());
  const Object root = doc.get("documentElement").toObject();
  EXPECT_EQ(root.get("nodeName").toText(), "a");
  EXPECT_EQ(root.get("text").toText(), "表格");
  EXPECT_EQ(root.call("selectNodes", {Variant("b")}).toObject().get("length").toInteger(), 2);
  EXPECT_EQ(failureOf([&] { doc.call("loadXML", Named{{"bstrXML", "<a/>"}}); }).code, 448);
}

TEST_F(Com, AnUnknownProgIdCannotCreateAnObject) {
  for (const char* progId : {"Ravelsk.NoSuchServer", "not a progid", "word.Application.99"}) {
    const Failure f = failureOf([&] { create(progId); });
    EXPECT_EQ(f.code, 429) << progId;
    EXPECT_EQ(f.description, "ActiveX 部件不能创建对象") << progId;
  }
}

// ---- the error and value rules, without a server ----

HRESULT controlCode(int n) {
  return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, n);
}

int deferredCalls = 0;
HRESULT STDAPICALLTYPE fillIn(EXCEPINFO* info) {
  ++deferredCalls;
  info->scode = controlCode(1004);
  info->bstrDescription = SysAllocString(L"延迟填写的说明");
  return S_OK;
}

TEST(ComErrors, AreTheCodesAndTextsALateBoundCallerSees) {
  struct Case {
    HRESULT hr;
    WORD wCode;
    HRESULT scode;
    const wchar_t* description;
    bool deferred;
    std::int32_t code;
    std::string text;
  };
  const Case cases[] = {
      {CO_E_CLASSSTRING, 0, 0, nullptr, false, 429, "ActiveX 部件不能创建对象"},
      {REGDB_E_CLASSNOTREG, 0, 0, nullptr, false, 429, "ActiveX 部件不能创建对象"},
      {CO_E_SERVER_EXEC_FAILURE, 0, 0, nullptr, false, -2146959355, "服务器运行失败"},
      {DISP_E_MEMBERNOTFOUND, 0, 0, nullptr, false, 438, "对象不支持该属性或方法"},
      {DISP_E_UNKNOWNNAME, 0, 0, nullptr, false, 438, "对象不支持该属性或方法"},
      {DISP_E_PARAMNOTFOUND, 0, 0, nullptr, false, 448, "未找到命名参数"},
      {DISP_E_NONAMEDARGS, 0, 0, nullptr, false, 448, "未找到命名参数"},
      {DISP_E_PARAMNOTOPTIONAL, 0, 0, nullptr, false, 449, "参数不可选"},
      {DISP_E_BADPARAMCOUNT, 0, 0, nullptr, false, 450, "错误的参数号或无效的属性赋值"},
      {DISP_E_TYPEMISMATCH, 0, 0, nullptr, false, 13, "类型不匹配"},
      {DISP_E_OVERFLOW, 0, 0, nullptr, false, 6, "溢出"},
      {DISP_E_BADINDEX, 0, 0, nullptr, false, 9, "下标越界"},
      {controlCode(457), 0, 0, nullptr, false, 457, "此键已经与该集合的一个元素相关联"},
      {DISP_E_EXCEPTION, 0, controlCode(5174), L"找不到文件", false, 5174, "找不到文件"},
      {DISP_E_EXCEPTION, 1004, controlCode(5174), L"wCode 优先", false, 1004, "wCode 优先"},
      {DISP_E_EXCEPTION, 0, static_cast<HRESULT>(0x800A01A8u), L"", false, 424, "要求对象"},
      {DISP_E_EXCEPTION, 0, E_FAIL, L"服务器的说明", false, static_cast<std::int32_t>(E_FAIL),
       "服务器的说明"},
      {DISP_E_EXCEPTION, 0, 0, nullptr, true, 1004, "延迟填写的说明"},
      {static_cast<HRESULT>(0x800706BEu), 0, 0, nullptr, false, office::kErrCallFailed,
       "远程过程调用失败。"},
      {RPC_E_DISCONNECTED, 0, 0, nullptr, false, office::kErrDisconnected,
       "对象已与其客户端断开连接。"},
  };
  for (const Case& c : cases) {
    EXCEPINFO info{};
    info.wCode = c.wCode;
    info.scode = c.scode;
    if (c.description != nullptr) info.bstrDescription = SysAllocString(c.description);
    if (c.deferred) info.pfnDeferredFillIn = fillIn;
    const AutomationError e = office::com::errorFrom(c.hr, &info);
    EXPECT_EQ(e.code(), c.code) << std::hex << c.hr;
    EXPECT_EQ(e.description(), c.text) << std::hex << c.hr;
    EXPECT_EQ(info.bstrDescription, nullptr) << "freed";
  }
  EXPECT_EQ(deferredCalls, 1);
}

TEST(ComValues, KindsWithoutAValueOfTheirOwnFollowTheRule) {
  struct Case {
    VARTYPE type;
    std::function<void(VARIANT&)> set;
    const char* typeName;  // nullptr: error 13
    std::string text;
  };
  const Case cases[] = {
      {VT_UI1, [](VARIANT& v) { V_UI1(&v) = 200; }, "Integer", "200"},
      {VT_UI4, [](VARIANT& v) { V_UI4(&v) = 7; }, "Long", "7"},
      {VT_UI4, [](VARIANT& v) { V_UI4(&v) = 3000000000u; }, "Double", "3000000000"},
      {VT_I8, [](VARIANT& v) { V_I8(&v) = -12; }, "Long", "-12"},
      {VT_I8, [](VARIANT& v) { V_I8(&v) = 1LL << 40; }, "Double", "1099511627776"},
      {VT_R4, [](VARIANT& v) { V_R4(&v) = 0.5f; }, "Double", "0.5"},
      {VT_CY, [](VARIANT& v) { V_CY(&v).int64 = 123450; }, "String", "12.345"},
      {VT_DATE, [](VARIANT& v) { V_DATE(&v) = 0.5; }, "String", ""},
      {VT_ARRAY | VT_VARIANT, [](VARIANT& v) { V_ARRAY(&v) = nullptr; }, nullptr, ""},
      {VT_ERROR, [](VARIANT& v) { V_ERROR(&v) = DISP_E_PARAMNOTFOUND; }, nullptr, ""},
  };
  for (const Case& c : cases) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = c.type;
    c.set(v);
    if (c.typeName == nullptr) {
      EXPECT_EQ(failureOf([&] { office::com::fromVariant(v); }).code, 13) << c.type;
      continue;
    }
    const Variant value = office::com::fromVariant(v);
    EXPECT_EQ(value.typeName(), c.typeName) << c.type;
    if (!c.text.empty()) {
      EXPECT_EQ(value.toText(), c.text) << c.type;
    } else {
      EXPECT_FALSE(value.toText().empty()) << c.type;
    }
  }
}

}  // namespace
