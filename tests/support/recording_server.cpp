#include "support/recording_server.h"

#include <algorithm>
#include <cstring>
#include <functional>

namespace testsupport {

using office::Arguments;
using office::AutomationError;
using office::CallKind;
using office::Object;
using office::Variant;

namespace {

std::string describeFake(const office::Dispatch* target);

std::string formatValue(const Variant& v) {
  std::string text;
  if (v.isByRef()) text = "ByRef ";
  const auto& value = v.value();
  if (std::holds_alternative<office::Empty>(value)) return text + "Empty";
  if (std::holds_alternative<office::Null>(value)) return text + "Null";
  if (const auto* b = std::get_if<bool>(&value)) return text + (*b ? "True" : "False");
  if (const auto* i = std::get_if<std::int16_t>(&value)) return text + std::to_string(*i) + "%";
  if (const auto* l = std::get_if<std::int32_t>(&value)) return text + std::to_string(*l) + "&";
  if (const auto* d = std::get_if<double>(&value)) return text + office::formatNumber(*d) + "#";
  if (const auto* s = std::get_if<std::string>(&value)) return text + "\"" + *s + "\"";
  const Object& o = std::get<Object>(value);
  if (!o) return text + "Nothing";
  // One of ours is named, not asked for its value: asking would be a call.
  if (const std::string own = describeFake(o.get()); !own.empty()) return text + "Obj(" + own + ")";
  return text + "Obj(\"" + o.defaultValue().toText() + "\")";
}

std::string replaceAll(std::string text, const std::string& what, const std::string& with) {
  if (what.empty()) return text;
  for (std::size_t at = text.find(what); at != std::string::npos;
       at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

const Variant& named(const Arguments& args, const std::string& name) {
  for (const auto& [n, v] : args.named) {
    if (office::sameName(n, name)) return v;
  }
  throw AutomationError(449, "参数不可选");
}

const Variant* namedOrNull(const Arguments& args, const std::string& name) {
  for (const auto& [n, v] : args.named) {
    if (office::sameName(n, name)) return &v;
  }
  return nullptr;
}

// Cells are matched as the servers do with MatchCase False: ASCII letters
// without their case (enough for the tests' texts).
std::string lowered(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::size_t findIn(const std::string& text, const std::string& what, bool matchCase,
                   std::size_t from = 0) {
  return matchCase ? text.find(what, from) : lowered(text).find(lowered(what), from);
}

std::string replaceAllIgnoringCase(std::string text, const std::string& what,
                                   const std::string& with) {
  if (what.empty()) return text;
  for (std::size_t at = findIn(text, what, false); at != std::string::npos;
       at = findIn(text, what, false, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

bool allOf(const std::string& text, std::size_t from, std::size_t to, const char* set) {
  if (from >= to) return false;
  for (std::size_t i = from; i < to; ++i) {
    if (std::strchr(set, text[i]) == nullptr) return false;
  }
  return true;
}

// A decimal number, signed before or after ("-12", "12-", "3.50", "1e5").
bool readsAsNumber(const std::string& t) {
  std::size_t from = 0;
  std::size_t to = t.size();
  if (to > 0 && (t[0] == '-' || t[0] == '+')) {
    ++from;
  } else if (to > 1 && t[to - 1] == '-') {
    --to;
  }
  const std::size_t e = t.find_first_of("eE", from);
  const std::size_t mantissaEnd = e == std::string::npos || e >= to ? to : e;
  const std::string mantissa = t.substr(from, mantissaEnd - from);
  if (mantissa.empty() || mantissa.find_first_not_of("0123456789.") != std::string::npos ||
      std::count(mantissa.begin(), mantissa.end(), '.') > 1 || mantissa == ".") {
    return false;
  }
  if (mantissaEnd == to) return true;
  std::size_t exponent = mantissaEnd + 1;
  if (exponent < to && (t[exponent] == '-' || t[exponent] == '+')) ++exponent;
  return allOf(t, exponent, to, "0123456789");
}

// "2024-01-05", "2024/1/5", "1/2", "1/2/2024".
bool readsAsDate(const std::string& t) {
  for (const char separator : {'-', '/'}) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (std::size_t at; (at = t.find(separator, start)) != std::string::npos; start = at + 1) {
      parts.push_back(t.substr(start, at - start));
    }
    parts.push_back(t.substr(start));
    if (parts.size() < 2 || parts.size() > 3) continue;
    bool digits = true;
    for (const std::string& part : parts) {
      digits = digits && allOf(part, 0, part.size(), "0123456789") && part.size() <= 4;
    }
    if (digits && (separator == '/' || parts.size() == 3)) return true;
  }
  return false;
}

}  // namespace

FakeCell FakeCell::typed(const std::string& input) {
  if (!input.empty() && input[0] == '\'') return FakeCell(input.substr(1));
  if (input.size() > 1 && input[0] == '=') return FakeCell(Kind::Formula, input);
  if (readsAsNumber(input)) {
    const bool trailingMinus = input.size() > 1 && input.back() == '-';
    const double number = std::stod(trailingMinus ? input.substr(0, input.size() - 1) : input);
    return FakeCell(Kind::Number, office::formatNumber(trailingMinus ? -number : number));
  }
  if (readsAsDate(input)) return FakeCell(Kind::Date, input);
  return FakeCell(input);
}

std::string FakeCell::asTyped() const {
  if (kind == Kind::Text && typed(value) != *this) return "'" + value;
  return value;
}

void PrintTo(const FakeCell& cell, std::ostream* out) {
  static const char* const kKinds[] = {"Text", "Number", "Date", "Formula"};
  *out << kKinds[static_cast<int>(cell.kind)] << "(\"" << cell.value << "\")";
}

std::string formatArgs(const Arguments& args) {
  std::string text;
  for (const Variant& v : args.positional) {
    if (!text.empty()) text += ", ";
    text += formatValue(v);
  }
  for (const auto& [name, v] : args.named) {
    if (!text.empty()) text += ", ";
    text += name + ":=" + formatValue(v);
  }
  return text;
}

struct FakeOffice::App {
  FakeAppSettings settings;
  bool dead = false;
  bool quit = false;
  struct Doc {
    std::string path;
    std::string content;
  };
  std::vector<std::shared_ptr<Doc>> openDocs;
};

namespace {

using Handler = std::function<Variant(std::string_view member, CallKind kind, const Arguments&)>;

class FakeObject : public office::Dispatch {
 public:
  FakeObject(FakeOffice& office, std::shared_ptr<FakeOffice::App> app, std::string label,
             Handler handler, std::string description = {})
      : office_(office),
        app_(std::move(app)),
        label_(std::move(label)),
        handler_(std::move(handler)),
        description_(std::move(description)) {}

  // How the call log names this object as an argument.
  std::string describe() const { return description_.empty() ? label_ : description_; }

  Variant invoke(std::string_view member, CallKind kind, const Arguments& args) override {
    std::string text =
        label_ + "." + (member.empty() ? std::string("<default>") : std::string(member));
    if (kind == CallKind::Put) {
      text += " = " + formatArgs(args);
    } else if (kind == CallKind::Method || !args.positional.empty() || !args.named.empty()) {
      text += "(" + formatArgs(args) + ")";
    }
    office_.checkCall(*app_, text, std::string(member));
    Variant result = handler_(member, kind, args);
    return result;
  }

 private:
  FakeOffice& office_;
  std::shared_ptr<FakeOffice::App> app_;
  std::string label_;
  Handler handler_;
  std::string description_;
};

std::string describeFake(const office::Dispatch* target) {
  const auto* fake = dynamic_cast<const FakeObject*>(target);
  return fake == nullptr ? std::string() : fake->describe();
}

[[noreturn]] void unknownMember() {
  throw AutomationError(office::kErrNoSuchMember, std::string(office::kNoSuchMemberText));
}

Object makeObject(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                  std::string label, Handler handler, std::string description = {}) {
  return Object(std::make_shared<FakeObject>(office, app, std::move(label), std::move(handler),
                                             std::move(description)));
}

Object makeFind(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                std::shared_ptr<FakeOffice::App::Doc> doc) {
  // As a Word range's Find: a find without Replace moves the range onto the
  // occurrence found, and the next one searches on from there.
  auto from = std::make_shared<std::size_t>(0);
  return makeObject(
      office, app, "Find", [doc, from](std::string_view m, CallKind, const Arguments& a) {
        if (!office::sameName(m, "Execute")) unknownMember();
        if (!a.positional.empty()) {
          return Variant(doc->content.find(a.positional[0].toText()) != std::string::npos);
        }
        const std::string what = named(a, "FindText").toText();
        if (std::none_of(a.named.begin(), a.named.end(),
                         [](const auto& arg) { return office::sameName(arg.first, "Replace"); })) {
          const std::size_t at = what.empty() ? std::string::npos : doc->content.find(what, *from);
          if (at == std::string::npos) return Variant(false);
          *from = at + what.size();
          return Variant(true);
        }
        const std::string with = named(a, "ReplaceWith").toText();
        const bool found = doc->content.find(what) != std::string::npos;
        if (named(a, "Replace").toInteger() == 2)
          doc->content = replaceAll(doc->content, what, with);
        return Variant(found);
      });
}

Object makeContent(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                   std::shared_ptr<FakeOffice::App::Doc> doc) {
  return makeObject(office, app, "Range",
                    [&office, app, doc](std::string_view m, CallKind, const Arguments&) {
                      if (!office::sameName(m, "Find")) unknownMember();
                      return Variant(makeFind(office, app, doc));
                    });
}

Object makeDocument(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                    std::shared_ptr<FakeOffice::App::Doc> doc) {
  return makeObject(office, app, "Document",
                    [&office, app, doc](std::string_view m, CallKind, const Arguments&) {
                      if (!office::sameName(m, "Content")) unknownMember();
                      return Variant(makeContent(office, app, doc));
                    });
}

struct Book {
  std::string path;
  std::vector<FakeSheet> sheets;
  std::string lastFind;  // what the last Cells.Find looked for: FindNext goes on with it
};

// A cell's content as Find and Replace search it (LookIn xlFormulas).
const std::string& searched(const FakeCell& cell) {
  return cell.value;
}

FakeCell cellFromValue(const Variant& value) {
  if (const auto* d = std::get_if<double>(&value.value())) {
    return FakeCell(FakeCell::Kind::Number, office::formatNumber(*d));
  }
  return FakeCell::typed(value.toText());
}

Object makeCell(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                std::shared_ptr<Book> book, std::size_t sheetIndex, std::size_t index) {
  const std::string address = "$A$" + std::to_string(index + 1);
  return makeObject(
      office, app, "Cell",
      [book, sheetIndex, index, address](std::string_view m, CallKind kind,
                                         const Arguments& a) -> Variant {
        FakeCell& cell = book->sheets.at(sheetIndex).cells.at(index);
        using Kind = FakeCell::Kind;
        if (office::sameName(m, "Address")) return address;
        if (office::sameName(m, "HasFormula")) return cell.kind == Kind::Formula;
        if (kind == CallKind::Put &&
            (m.empty() || office::sameName(m, "Value") || office::sameName(m, "Formula"))) {
          cell = cellFromValue(a.positional.at(0));
          return {};
        }
        if (office::sameName(m, "Formula")) return cell.value;
        const bool value2 = office::sameName(m, "Value2");
        if (!m.empty() && !value2 && !office::sameName(m, "Value")) unknownMember();
        switch (cell.kind) {
          case Kind::Text:
            return cell.value;
          case Kind::Number:
            return std::stod(cell.value);
          case Kind::Date:  // Value is a date, which reaches a caller as text
            return value2 ? Variant(45000.0) : Variant(cell.value);
          case Kind::Formula:
            return 0.0;
        }
        return {};
      },
      "Cell " + address);
}

Object makeCells(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                 std::shared_ptr<Book> book, std::size_t index) {
  return makeObject(
      office, app, "Cells",
      [&office, app, book, index](std::string_view m, CallKind, const Arguments& a) {
        FakeSheet& sheet = book->sheets.at(index);
        // The first cell at or after from (wrapping) that holds what.
        const auto search = [&](const std::string& what, bool matchCase, bool whole,
                                std::size_t from) -> Variant {
          const std::size_t n = sheet.cells.size();
          for (std::size_t k = 0; k < n; ++k) {
            const std::size_t i = (from + k) % n;
            const std::string& text = searched(sheet.cells[i]);
            const bool hit = whole ? (matchCase ? text == what : lowered(text) == lowered(what))
                                   : findIn(text, what, matchCase) != std::string::npos;
            if (hit) return Variant(makeCell(office, app, book, index, i));
          }
          return Variant(Object());
        };
        if (office::sameName(m, "Find")) {
          if (!a.positional.empty()) {
            book->lastFind = a.positional[0].toText();
            return search(book->lastFind, false, false, 0);
          }
          book->lastFind = named(a, "What").toText();
          const Variant* matchCase = namedOrNull(a, "MatchCase");
          const Variant* lookAt = namedOrNull(a, "LookAt");
          return search(book->lastFind, matchCase != nullptr && matchCase->toBool(),
                        lookAt != nullptr && lookAt->toInteger() == 1, 0);
        }
        if (office::sameName(m, "FindNext")) {
          // After the given cell, with what the last Find looked for.
          const std::string after = describeFake(a.positional.at(0).toObject().get());
          const std::size_t row = std::stoul(after.substr(after.rfind('$') + 1));
          return search(book->lastFind, false, false, row);
        }
        if (office::sameName(m, "Replace")) {
          // Every replaced cell is re-read as typed input, as Excel does.
          const std::string what = named(a, "What").toText();
          const std::string with = named(a, "Replacement").toText();
          for (FakeCell& cell : sheet.cells) {
            if (what.empty() || findIn(searched(cell), what, false) == std::string::npos) continue;
            cell = FakeCell::typed(replaceAllIgnoringCase(cell.value, what, with));
          }
          return Variant(true);
        }
        unknownMember();
      });
}

Object makeSheet(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                 std::shared_ptr<Book> book, std::size_t index) {
  return makeObject(office, app, "Worksheet",
                    [&office, app, book, index](std::string_view m, CallKind, const Arguments&) {
                      if (office::sameName(m, "Name")) return Variant(book->sheets.at(index).name);
                      if (office::sameName(m, "Activate")) return Variant(true);
                      if (office::sameName(m, "Cells")) {
                        return Variant(makeCells(office, app, book, index));
                      }
                      unknownMember();
                    });
}

Object makeWorkbook(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                    std::shared_ptr<Book> book) {
  return makeObject(
      office, app, "Workbook",
      [&office, app, book](std::string_view m, CallKind, const Arguments& a) -> Variant {
        if (office::sameName(m, "Worksheets") || office::sameName(m, "Sheets")) {
          if (a.positional.empty()) {
            return Variant(makeObject(office, app, std::string(m),
                                      [book](std::string_view member, CallKind, const Arguments&) {
                                        if (!office::sameName(member, "Count")) unknownMember();
                                        return Variant(
                                            static_cast<std::int32_t>(book->sheets.size()));
                                      }));
          }
          auto j = a.positional[0].toInteger();
          if (j < 1 || j > static_cast<std::int64_t>(book->sheets.size())) {
            throw AutomationError(9, "下标越界");
          }
          return Variant(makeSheet(office, app, book, static_cast<std::size_t>(j - 1)));
        }
        if (office::sameName(m, "Saved")) {
          return Variant(!office.modifiedOnOpen.count(book->path) &&
                         book->sheets == office.workbooks[book->path]);
        }
        if (office::sameName(m, "Close")) {
          if (!a.positional.empty() && a.positional[0].toBool()) {
            office.workbooks[book->path] = book->sheets;
            office.saved.push_back(book->path);
            if (office.onSave) office.onSave(book->path);
          }
          if (office.onClose) office.onClose(book->path);
          return Variant();
        }
        unknownMember();
      });
}

}  // namespace

void FakeOffice::serve(office::ServerRegistry& registry, const std::string& progId,
                       FakeAppSettings settings) {
  registry.add(
      progId,
      [this, progId, settings]() {
        calls.push_back("CreateObject(" + progId + ")");
        if (creationLimit_ >= 0 && created >= creationLimit_) {
          throw AutomationError(creationFailure_.first, creationFailure_.second);
        }
        ++created;
        ++alive;
        auto app = std::make_shared<App>();
        app->settings = settings;
        FakeOffice& office = *this;
        return makeObject(
            office, app, "Application",
            [&office, app](std::string_view m, CallKind kind, const Arguments&) -> Variant {
              if (m.empty()) return app->settings.defaultValue;
              if (office::sameName(m, "Version")) return app->settings.version;
              if (office::sameName(m, "Visible") || office::sameName(m, "AutomationSecurity") ||
                  office::sameName(m, "DisplayAlerts")) {
                return kind == CallKind::Put ? Variant() : Variant(false);
              }
              if (office::sameName(m, "Quit")) {
                if (!app->quit) --office.alive;
                app->quit = true;
                return Variant();
              }
              if (office::sameName(m, "ActiveDocument")) {
                if (app->openDocs.empty()) throw AutomationError(4248, "没有打开的文档");
                return Variant(makeDocument(office, app, app->openDocs.back()));
              }
              if (office::sameName(m, "Hwnd") && !app->settings.hwnd.isEmpty()) {
                return app->settings.hwnd;
              }
              if (office::sameName(m, "Documents") && app->settings.documents) {
                return Variant(makeObject(
                    office, app, "Documents",
                    [&office, app](std::string_view member, CallKind, const Arguments& args) {
                      if (office::sameName(member, "Open")) {
                        const std::string path = args.positional.at(0).toText();
                        if (office.onOpen) office.onOpen(path);
                        auto it = office.documents.find(path);
                        if (it == office.documents.end()) throw AutomationError(5174, "找不到文件");
                        auto doc = std::make_shared<App::Doc>(App::Doc{path, it->second});
                        app->openDocs.push_back(doc);
                        return Variant(makeDocument(office, app, doc));
                      }
                      if (office::sameName(member, "Close")) {
                        const bool save = !args.positional.empty() && args.positional[0].toBool();
                        for (const auto& doc : app->openDocs) {
                          if (save) {
                            office.documents[doc->path] = doc->content;
                            office.saved.push_back(doc->path);
                            if (office.onSave) office.onSave(doc->path);
                          }
                          if (office.onClose) office.onClose(doc->path);
                        }
                        app->openDocs.clear();
                        return Variant();
                      }
                      unknownMember();
                    }));
              }
              if (office::sameName(m, "Workbooks")) {
                return Variant(makeObject(
                    office, app, "Workbooks",
                    [&office, app](std::string_view member, CallKind, const Arguments& args) {
                      if (!office::sameName(member, "Open")) unknownMember();
                      const std::string path = args.positional.at(0).toText();
                      if (office.onOpen) office.onOpen(path);
                      auto it = office.workbooks.find(path);
                      if (it == office.workbooks.end()) throw AutomationError(1004, "找不到文件");
                      return Variant(makeWorkbook(
                          office, app, std::make_shared<Book>(Book{path, it->second, {}})));
                    }));
              }
              unknownMember();
            });
      },
      office::ServerTraits{settings.replaceKeepsText});
}

void FakeOffice::refuse(office::ServerRegistry& registry, const std::string& progId,
                        std::int32_t code, const std::string& description) {
  registry.add(progId,
               [code, description]() -> Object { throw AutomationError(code, description); });
}

void FakeOffice::failCall(const std::string& needle, std::int32_t code,
                          const std::string& description, int nth) {
  failures_.push_back(Failure{needle, code, description, nth});
}

void FakeOffice::killServerAt(const std::string& needle, int nth) {
  Failure f{needle, office::kErrServerUnavailable, "RPC 服务器不可用。", nth};
  f.kill = true;
  failures_.push_back(f);
}

std::vector<std::string> FakeOffice::callsContaining(const std::string& needle) const {
  std::vector<std::string> found;
  for (const std::string& c : calls) {
    if (c.find(needle) != std::string::npos) found.push_back(c);
  }
  return found;
}

void FakeOffice::checkCall(App& app, const std::string& text, const std::string& member) {
  calls.push_back(text);
  if (onCall) onCall(text);
  if (app.dead) throw AutomationError(office::kErrServerUnavailable, "RPC 服务器不可用。");
  for (const std::string& missing : missingMembers_) {
    if (office::sameName(missing, member)) unknownMember();
  }
  for (Failure& f : failures_) {
    if (text.find(f.needle) == std::string::npos) continue;
    if (++f.seen != f.nth) continue;
    if (f.kill) {
      app.dead = true;
      if (!app.quit) --alive;
    }
    throw AutomationError(f.code, f.description);
  }
}

}  // namespace testsupport
