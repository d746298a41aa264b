#include "office/automation.h"

#include <gtest/gtest.h>

#include <limits>

#include "support/recording_server.h"

namespace {

using office::AutomationError;
using office::Variant;

std::int32_t codeOf(const std::function<void()>& f) {
  try {
    f();
  } catch (const AutomationError& e) {
    return e.code();
  }
  return 0;
}

TEST(ServerRegistry, CreatesByProgIdIgnoringCaseAndRefusesUnknownWith429) {
  office::ServerRegistry registry;
  testsupport::FakeOffice office;
  office.serve(registry, "excel.Application");

  EXPECT_TRUE(registry.create("EXCEL.APPLICATION"));
  EXPECT_TRUE(registry.create("excel.application"));
  EXPECT_EQ(office.created, 2);

  try {
    registry.create("ET.Application");
    FAIL() << "an unregistered ProgID must not create";
  } catch (const AutomationError& e) {
    EXPECT_EQ(e.code(), 429);
    EXPECT_EQ(e.description(), "ActiveX 部件不能创建对象");
  }
  registry.remove("Excel.Application");
  EXPECT_FALSE(registry.has("excel.application"));
}

TEST(ServerRegistry, AProgIdItDoesNotKnowGoesToTheFallback) {
  office::ServerRegistry registry;
  testsupport::FakeOffice office;
  office.serve(registry, "word.Application");
  std::vector<std::string> asked;
  registry.setFallback([&](std::string_view progId) -> office::Object {
    asked.emplace_back(progId);
    if (progId == "Gone.Application") throw AutomationError(429, "no class");
    return registry.create("word.Application");
  });
  EXPECT_TRUE(registry.create("Scripting.Dictionary"));
  EXPECT_TRUE(registry.create("WORD.application"));
  EXPECT_EQ(codeOf([&] { registry.create("Gone.Application"); }), 429);
  EXPECT_EQ(asked, (std::vector<std::string>{"Scripting.Dictionary", "Gone.Application"}));
  EXPECT_EQ(office.created, 2);
}

TEST(Object, CallsByMemberNameWithPositionalAndNamedArguments) {
  office::ServerRegistry registry;
  testsupport::FakeOffice office;
  office.serve(registry, "word.Application");
  office.documents["/d/a.doc"] = "abc";
  office::Object app = registry.create("word.Application");

  app.put("visible", false);
  office::Object doc =
      app.get("Documents").toObject().call("open", {Variant("/d/a.doc")}).toObject();
  EXPECT_TRUE(doc.get("Content")
                  .toObject()
                  .get("Find")
                  .toObject()
                  .call("Execute", {Variant("b")})
                  .toBool());
  EXPECT_EQ(office.calls.back(), "Find.Execute(\"b\")");
  EXPECT_EQ(office.calls[1], "Application.visible = False");

  EXPECT_EQ(codeOf([&] { app.get("NoSuchThing"); }), office::kErrNoSuchMember);
  EXPECT_EQ(codeOf([] { office::Object().get("Anything"); }), office::kErrObjectRequired);
}

TEST(Variant, ConvertsAsALateBoundCallerDoes) {
  EXPECT_DOUBLE_EQ(Variant("14.0").toDouble(), 14.0);
  EXPECT_DOUBLE_EQ(Variant(" 11.5 ").toDouble(), 11.5);
  EXPECT_DOUBLE_EQ(Variant(std::int16_t{12}).toDouble(), 12.0);
  EXPECT_DOUBLE_EQ(Variant(true).toDouble(), -1.0);
  EXPECT_DOUBLE_EQ(Variant().toDouble(), 0.0);

  EXPECT_EQ(codeOf([] { Variant("abc").toDouble(); }), office::kErrTypeMismatch);
  EXPECT_EQ(codeOf([] { Variant("").toDouble(); }), office::kErrTypeMismatch);
  EXPECT_EQ(codeOf([] { Variant("14.0x").toDouble(); }), office::kErrTypeMismatch);
  EXPECT_EQ(codeOf([] { Variant(office::Null{}).toDouble(); }), office::kErrInvalidNull);
  EXPECT_EQ(codeOf([] { Variant(office::Null{}).toText(); }), office::kErrInvalidNull);
  EXPECT_EQ(codeOf([] { Variant("x").toObject(); }), office::kErrObjectRequired);

  EXPECT_EQ(Variant(false).toText(), "False");
  EXPECT_EQ(Variant(std::int32_t{-7}).toText(), "-7");
  EXPECT_TRUE(Variant("True").toBool());
  EXPECT_FALSE(Variant(std::int32_t{0}).toBool());
  EXPECT_EQ(Variant::byRef(std::int32_t{3}).typeName(), "Long");
  EXPECT_TRUE(Variant::byRef(std::int32_t{3}).isByRef());
  EXPECT_EQ(Variant(std::int16_t{2}).typeName(), "Integer");
}

TEST(Variant, ToIntegerRoundsAndRaisesOverflowForWhatAnIntegerCannotHold) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  for (double d : {nan, -nan, inf, -inf, 9223372036854775808.0, -9223372036854777856.0, 1e300}) {
    EXPECT_EQ(codeOf([d] { Variant(d).toInteger(); }), office::kErrOverflow) << d;
  }
  // Both ends of the range still convert.
  EXPECT_EQ(Variant(-9223372036854775808.0).toInteger(), std::numeric_limits<std::int64_t>::min());
  EXPECT_EQ(Variant(9223372036854774784.0).toInteger(), 9223372036854774784);
  EXPECT_EQ(Variant(2.5).toInteger(), 2);
  EXPECT_EQ(Variant(-3.5).toInteger(), -4);
  EXPECT_EQ(Variant("7").toInteger(), 7);
}

TEST(FormatNumber, WritesTheShortestOrdinaryDecimalForm) {
  EXPECT_EQ(office::formatNumber(16), "16");
  EXPECT_EQ(office::formatNumber(11.5), "11.5");
  EXPECT_EQ(office::formatNumber(0.1), "0.1");
  EXPECT_EQ(office::formatNumber(-0.0), "0");
  EXPECT_EQ(office::formatNumber(1e20), "100000000000000000000");
  EXPECT_EQ(office::formatNumber(12.25), "12.25");
}

TEST(ServerGone, RecognisesTheCodesOfADeadServer) {
  // RPC_S_SERVER_UNAVAILABLE, RPC_S_CALL_FAILED, RPC_E_SERVER_DIED,
  // RPC_E_SERVER_DIED_DNE, RPC_E_DISCONNECTED.
  for (std::uint32_t code : {0x800706BAu, 0x800706BEu, 0x80010007u, 0x80010012u, 0x80010108u}) {
    EXPECT_TRUE(office::isServerGone(static_cast<std::int32_t>(code))) << std::hex << code;
  }
  EXPECT_FALSE(office::isServerGone(429));
  EXPECT_FALSE(office::isServerGone(5174));
}

}  // namespace
