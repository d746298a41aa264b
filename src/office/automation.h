// Late-bound automation: values, objects called by member name, errors with a
// numeric code, and servers created by ProgID. Every backend (COM, UNO, the
// test servers) speaks only this interface, so the window and the runs never
// know which office answers.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace office {

// Codes callers test or backends raise. Large COM codes are HRESULTs seen as
// signed 32-bit numbers, as the caller's error object reports them.
inline constexpr std::int32_t kErrCannotCreate = 429;
inline constexpr std::int32_t kErrOverflow = 6;
inline constexpr std::int32_t kErrOutOfMemory = 7;
// E_UNEXPECTED: a server failed in a way it has no code for.
inline constexpr std::int32_t kErrUnexpected = static_cast<std::int32_t>(0x8000FFFFu);
// E_FAIL: a failure the office or the program reports for a file (refused
// before the office opens it, not loaded, not stored), on every face alike;
// its description says what happened.
inline constexpr std::int32_t kErrFailed = static_cast<std::int32_t>(0x80004005u);
inline constexpr std::int32_t kErrBadCallOrArgument = 5;
inline constexpr std::int32_t kErrSubscript = 9;
inline constexpr std::int32_t kErrNamedArgument = 448;
inline constexpr std::int32_t kErrArgumentNotOptional = 449;
inline constexpr std::int32_t kErrArgumentCount = 450;
// Word's answer to ActiveDocument when no document is open.
inline constexpr std::int32_t kErrNoDocumentOpen = 4248;
// Word's answer for a member of a collection (a story, a header) the
// document does not have.
inline constexpr std::int32_t kErrNoSuchItem = 5941;
inline constexpr std::int32_t kErrTypeMismatch = 13;
inline constexpr std::int32_t kErrInvalidNull = 94;
inline constexpr std::int32_t kErrObjectRequired = 424;
inline constexpr std::int32_t kErrNoSuchMember = 438;
inline constexpr std::int32_t kErrServerUnavailable = static_cast<std::int32_t>(0x800706BAu);
inline constexpr std::int32_t kErrServerDied = static_cast<std::int32_t>(0x80010007u);
inline constexpr std::int32_t kErrDisconnected = static_cast<std::int32_t>(0x80010108u);
// RPC_S_CALL_FAILED: the answer to the call during which the server died.
inline constexpr std::int32_t kErrCallFailed = static_cast<std::int32_t>(0x800706BEu);
inline constexpr std::int32_t kErrServerDiedDne = static_cast<std::int32_t>(0x80010012u);

inline constexpr std::string_view kCannotCreateText = "ActiveX 部件不能创建对象";
inline constexpr std::string_view kNoSuchMemberText = "对象不支持该属性或方法";

// True for the codes that mean the server process is gone and every further
// call on its objects will fail.
bool isServerGone(std::int32_t code);

// The shortest ordinary decimal form of a number: 16 gives "16", 11.5 gives
// "11.5", never an exponent. Not finite: 13 (type mismatch).
std::string formatNumber(double value);

class AutomationError : public std::runtime_error {
 public:
  AutomationError(std::int32_t code, std::string description);
  std::int32_t code() const { return code_; }
  const std::string& description() const { return description_; }

 private:
  std::int32_t code_;
  std::string description_;
};

class Dispatch;
class Variant;

// A reference to an automation object; empty when it holds nothing.
class Object {
 public:
  Object() = default;
  explicit Object(std::shared_ptr<Dispatch> target) : target_(std::move(target)) {}

  explicit operator bool() const { return target_ != nullptr; }
  Dispatch* get() const { return target_.get(); }
  void release() { target_.reset(); }

  Variant get(std::string_view member) const;
  Variant get(std::string_view member, std::vector<Variant> positional) const;
  void put(std::string_view member, Variant value) const;
  Variant call(std::string_view member) const;
  Variant call(std::string_view member, std::vector<Variant> positional) const;
  Variant call(std::string_view member, std::vector<std::pair<std::string, Variant>> named) const;
  Variant call(std::string_view member, std::vector<Variant> positional,
               std::vector<std::pair<std::string, Variant>> named) const;
  // The member with dispatch identifier 0, read as a property.
  Variant defaultValue() const;

 private:
  std::shared_ptr<Dispatch> target_;
};

struct Empty {
  bool operator==(const Empty&) const = default;
};
struct Null {
  bool operator==(const Null&) const = default;
};

class Variant {
 public:
  using Value =
      std::variant<Empty, Null, bool, std::int16_t, std::int32_t, double, std::string, Object>;

  Variant() = default;
  Variant(Null) : value_(Null{}) {}
  Variant(bool b) : value_(b) {}
  Variant(std::int16_t i) : value_(i) {}
  Variant(std::int32_t i) : value_(i) {}
  Variant(double d) : value_(d) {}
  Variant(std::string s) : value_(std::move(s)) {}
  Variant(const char* s) : value_(std::string(s)) {}
  Variant(Object o) : value_(std::move(o)) {}

  // A value the callee may write back to, as a loop variable passed to a
  // late-bound call is; servers read it like the plain value.
  static Variant byRef(Variant v) {
    v.by_ref_ = true;
    return v;
  }
  bool isByRef() const { return by_ref_; }

  const Value& value() const { return value_; }
  bool isEmpty() const { return std::holds_alternative<Empty>(value_); }
  bool isNull() const { return std::holds_alternative<Null>(value_); }
  bool isObject() const { return std::holds_alternative<Object>(value_); }
  // The value's kind, as the servers see it: "Empty", "Null", "Boolean",
  // "Integer" (16-bit), "Long" (32-bit), "Double", "String", "Object".
  std::string_view typeName() const;

  // Conversions as a late-bound caller makes them; an object converts through
  // its default member. Failures raise AutomationError (13 or 94).
  std::string toText() const;
  double toDouble() const;
  bool toBool() const;
  std::int64_t toInteger() const;
  Object toObject() const;  // 424 when the value is not an object

 private:
  Value value_;
  bool by_ref_ = false;
};

enum class CallKind { Get, Put, Method };

struct Arguments {
  std::vector<Variant> positional;
  std::vector<std::pair<std::string, Variant>> named;  // in the caller's order
};

// One automation object as a server exposes it. Member names compare
// case-insensitively; the empty name is the default member.
class Dispatch {
 public:
  virtual ~Dispatch() = default;
  virtual Variant invoke(std::string_view member, CallKind kind, const Arguments& args) = 0;
};

bool sameName(std::string_view a, std::string_view b);

// What a run may trust a server's members to do beyond the object model.
struct ServerTraits {
  // Cells.Replace leaves a text cell text. Excel and WPS re-read every
  // replaced cell as typed input (a text "00123-" becomes the number -123),
  // so a server reached through the fallback never counts as keeping text.
  bool replaceKeepsText = false;
  // Find.Execute takes FindText and ReplaceWith as they are, of any length.
  // Word and WPS read '^' as the start of a special code (^p, ^&, ^c) and
  // refuse either text over 255 characters.
  bool findIsLiteral = false;
};

// Creates application objects by ProgID. Backends register their ProgIDs at
// start; a ProgID with no server goes to the fallback (on Windows: COM, which
// knows every registered class), else fails with 429, as an unregistered
// class does.
class ServerRegistry {
 public:
  using Factory = std::function<Object()>;
  using Fallback = std::function<Object(std::string_view progId)>;

  using Traits = ServerTraits;

  void add(std::string progId, Factory factory, Traits traits = {});
  void remove(std::string_view progId);
  bool has(std::string_view progId) const;
  Object create(std::string_view progId) const;
  Traits traits(std::string_view progId) const;
  void setFallback(Fallback fallback) { fallback_ = std::move(fallback); }

 private:
  struct NameLess {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  struct Entry {
    Factory factory;
    Traits traits;
  };
  std::map<std::string, Entry, NameLess> factories_;
  Fallback fallback_;
};

}  // namespace office
