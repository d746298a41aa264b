#include "office/automation.h"

#include <array>
#include <charconv>
#include <cmath>
#include <new>

#include "text/letter_case.h"

namespace office {

namespace {

std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

[[noreturn]] void typeMismatch() {
  throw AutomationError(kErrTypeMismatch, "类型不匹配");
}
[[noreturn]] void invalidNull() {
  throw AutomationError(kErrInvalidNull, "无效使用 Null");
}

}  // namespace

std::string formatNumber(double value) {
  if (!std::isfinite(value)) typeMismatch();
  std::array<char, 400> buf{};
  auto [end, ec] =
      std::to_chars(buf.data(), buf.data() + buf.size(), value, std::chars_format::fixed);
  if (ec != std::errc{}) typeMismatch();
  std::string text(buf.data(), end);
  if (text == "-0") text = "0";
  return text;
}

bool isServerGone(std::int32_t code) {
  return code == kErrServerUnavailable || code == kErrServerDied || code == kErrDisconnected ||
         code == kErrCallFailed || code == kErrServerDiedDne;
}

AutomationError::AutomationError(std::int32_t code, std::string description)
    : std::runtime_error(description), code_(code), description_(std::move(description)) {}

bool sameName(std::string_view a, std::string_view b) {
  return text::sameIgnoringAsciiCase(a, b);
}

// ---- Object ----

namespace {

Dispatch& target(const Object& o) {
  if (!o) throw AutomationError(kErrObjectRequired, "要求对象");
  return *o.get();
}

// Whatever goes wrong inside a server reaches its caller as an automation
// error, as it would across a process boundary: a batch run reports it for
// that file and goes on.
template <typename F>
auto translated(F&& call) -> decltype(call()) {
  try {
    return call();
  } catch (const AutomationError&) {
    throw;
  } catch (const std::bad_alloc&) {
    throw AutomationError(kErrOutOfMemory, "内存不足");
  } catch (const std::exception& e) {
    throw AutomationError(kErrUnexpected, e.what());
  } catch (...) {
    throw AutomationError(kErrUnexpected, "灾难性故障");
  }
}

Variant invokeOn(const Object& o, std::string_view member, CallKind kind, Arguments args) {
  Dispatch& d = target(o);
  return translated([&] { return d.invoke(member, kind, args); });
}

}  // namespace

Variant Object::get(std::string_view member) const {
  return invokeOn(*this, member, CallKind::Get, {});
}

Variant Object::get(std::string_view member, std::vector<Variant> positional) const {
  return invokeOn(*this, member, CallKind::Get, Arguments{std::move(positional), {}});
}

void Object::put(std::string_view member, Variant value) const {
  invokeOn(*this, member, CallKind::Put, Arguments{{std::move(value)}, {}});
}

Variant Object::call(std::string_view member) const {
  return invokeOn(*this, member, CallKind::Method, {});
}

Variant Object::call(std::string_view member, std::vector<Variant> positional) const {
  return invokeOn(*this, member, CallKind::Method, Arguments{std::move(positional), {}});
}

Variant Object::call(std::string_view member,
                     std::vector<std::pair<std::string, Variant>> named) const {
  return invokeOn(*this, member, CallKind::Method, Arguments{{}, std::move(named)});
}

Variant Object::call(std::string_view member, std::vector<Variant> positional,
                     std::vector<std::pair<std::string, Variant>> named) const {
  return invokeOn(*this, member, CallKind::Method,
                  Arguments{std::move(positional), std::move(named)});
}

Variant Object::defaultValue() const {
  return invokeOn(*this, "", CallKind::Get, {});
}

// ---- Variant ----

std::string_view Variant::typeName() const {
  static constexpr std::array<std::string_view, 8> names = {"Empty", "Null",   "Boolean", "Integer",
                                                            "Long",  "Double", "String",  "Object"};
  return names[value_.index()];
}

std::string Variant::toText() const {
  struct Visitor {
    std::string operator()(Empty) const { return {}; }
    std::string operator()(Null) const { invalidNull(); }
    std::string operator()(bool b) const { return b ? "True" : "False"; }
    std::string operator()(std::int16_t i) const { return std::to_string(i); }
    std::string operator()(std::int32_t i) const { return std::to_string(i); }
    std::string operator()(double d) const { return formatNumber(d); }
    std::string operator()(const std::string& s) const { return s; }
    std::string operator()(const Object& o) const { return o.defaultValue().toText(); }
  };
  return std::visit(Visitor{}, value_);
}

double Variant::toDouble() const {
  struct Visitor {
    double operator()(Empty) const { return 0; }
    double operator()(Null) const { invalidNull(); }
    double operator()(bool b) const { return b ? -1 : 0; }
    double operator()(std::int16_t i) const { return i; }
    double operator()(std::int32_t i) const { return i; }
    double operator()(double d) const { return d; }
    double operator()(const std::string& s) const {
      std::string_view t = trimBlanks(s);
      if (!t.empty() && t.front() == '+') t.remove_prefix(1);
      double d = 0;
      auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), d);
      if (t.empty() || ec != std::errc{} || end != t.data() + t.size() || !std::isfinite(d)) {
        typeMismatch();
      }
      return d;
    }
    double operator()(const Object& o) const { return o.defaultValue().toDouble(); }
  };
  return std::visit(Visitor{}, value_);
}

bool Variant::toBool() const {
  if (const auto* b = std::get_if<bool>(&value_)) return *b;
  if (const auto* s = std::get_if<std::string>(&value_)) {
    if (sameName(trimBlanks(*s), "true")) return true;
    if (sameName(trimBlanks(*s), "false")) return false;
  }
  return toDouble() != 0;
}

std::int64_t Variant::toInteger() const {
  // Converting a double the integer cannot hold is undefined behaviour, so NaN,
  // the infinities and every value outside [-2^63, 2^63) are refused first.
  constexpr double kLimit = 9223372036854775808.0;  // 2^63, exact in a double
  const double d = std::nearbyint(toDouble());
  if (!(d >= -kLimit && d < kLimit)) throw AutomationError(kErrOverflow, "溢出");
  return static_cast<std::int64_t>(d);
}

Object Variant::toObject() const {
  if (const auto* o = std::get_if<Object>(&value_)) return *o;
  throw AutomationError(kErrObjectRequired, "要求对象");
}

// ---- ServerRegistry ----

bool ServerRegistry::NameLess::operator()(std::string_view a, std::string_view b) const {
  std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    char x = text::asciiLower(a[i]);
    char y = text::asciiLower(b[i]);
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

void ServerRegistry::add(std::string progId, Factory factory, Traits traits) {
  factories_.insert_or_assign(std::move(progId), Entry{std::move(factory), traits});
}

void ServerRegistry::remove(std::string_view progId) {
  auto it = factories_.find(progId);
  if (it != factories_.end()) factories_.erase(it);
}

bool ServerRegistry::has(std::string_view progId) const {
  return factories_.find(progId) != factories_.end();
}

Object ServerRegistry::create(std::string_view progId) const {
  auto it = factories_.find(progId);
  if (it != factories_.end()) return translated([&] { return it->second.factory(); });
  if (fallback_) return translated([&] { return fallback_(progId); });
  throw AutomationError(kErrCannotCreate, std::string(kCannotCreateText));
}

ServerRegistry::Traits ServerRegistry::traits(std::string_view progId) const {
  auto it = factories_.find(progId);
  return it == factories_.end() ? Traits{} : it->second.traits;
}

}  // namespace office
