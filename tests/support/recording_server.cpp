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

const Variant& named(const Arguments& args, const std::string& name) {
  for (const auto& [n, v] : args.named) {
    if (office::sameName(n, name)) return v;
  }
  throw AutomationError(office::kErrArgumentNotOptional, "参数不可选");
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
                                   const std::string& with, bool matchCase = false) {
  if (what.empty()) return text;
  for (std::size_t at = findIn(text, what, matchCase); at != std::string::npos;
       at = findIn(text, what, matchCase, at + with.size())) {
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

void PrintTo(const FakeStory& story, std::ostream* out) {
  *out << "story " << story.type << " of section " << story.section << " \"" << story.text << "\"";
  for (const std::optional<std::string>& shape : story.shapes) {
    *out << (shape ? " [\"" + *shape + "\"]" : std::string(" [no text]"));
  }
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
    std::string content;  // the main story
    std::vector<FakeStory> stories;
    // Word lists an empty header or footer kind once a header's range was asked for.
    bool headersAsked = false;
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

constexpr std::size_t kWhole = std::string::npos;  // a range up to its story's end

// A range of a document's text: the main story, another story, or a shape's
// text. end and limit kWhole reach the story's end whatever it grows to.
struct Span {
  std::shared_ptr<FakeOffice::App::Doc> doc;
  std::string* text = nullptr;
  int story = -1;  // index in doc->stories; -1: the main story or a shape's text
  std::size_t start = 0;
  std::size_t end = kWhole;
  std::size_t limit = kWhole;             // where a find in this range stops
  bool afterFound = false;                // found: the next find goes on after it
  std::shared_ptr<std::string> detached;  // text of a range nothing else holds

  std::size_t endAt() const { return end == kWhole ? text->size() : end; }
  std::size_t limitAt() const { return limit == kWhole ? text->size() : limit; }
};

// UTF-16 code units, as Word counts a text's length.
std::size_t utf16Units(const std::string& text) {
  std::size_t units = 0;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte & 0xC0) != 0x80) units += byte >= 0xF0 ? 2 : 1;
  }
  return units;
}

// A Find text as Word reads it: "^^" a caret, "^p" a paragraph mark, "^t" a
// tab; in a replacement also "^&" the text found and "^c" the clipboard. Any
// other code is refused, as Word refuses it.
std::string decoded(const std::string& text, bool replacement, const std::string& found) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '^') {
      out += text[i];
      continue;
    }
    const char code = i + 1 < text.size() ? text[++i] : '\0';
    if (code == '^') {
      out += '^';
    } else if (code == 'p') {
      out += '\r';
    } else if (code == 't') {
      out += '\t';
    } else if (replacement && code == '&') {
      out += found;
    } else if (replacement && code == 'c') {
      out += kFakeClipboard;
    } else {
      throw AutomationError(5560, "“查找内容”框中含有无效的特殊字符");
    }
  }
  return out;
}

void checkLength(const std::string& text) {
  if (utf16Units(text) > 255) throw AutomationError(5854, "字符串参数过长");
}

// The next occurrence of what in the range, as a Word range's Find looks: in
// the range at first, after what it found since, up to where it began.
bool findNext(Span& span, const std::string& what, bool matchCase) {
  const std::size_t from = span.afterFound ? span.endAt() : span.start;
  const std::size_t limit = span.limitAt();
  if (what.empty() || from > limit) return false;
  const std::size_t at = findIn(*span.text, what, matchCase, from);
  if (at == std::string::npos || at + what.size() > limit) return false;
  span.start = at;
  span.end = at + what.size();
  span.afterFound = true;
  return true;
}

Object makeRange(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                 std::shared_ptr<Span> span);

Object makeFind(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                std::shared_ptr<Span> span) {
  // As a Word range's Find: a find without Replace moves the range onto the
  // occurrence found, and the next one searches on from there.
  const bool literal = app->settings.findIsLiteral;
  return makeObject(
      office, app, "Find", [span, literal](std::string_view m, CallKind, const Arguments& a) {
        if (!office::sameName(m, "Execute")) unknownMember();
        const std::string findText =
            a.positional.empty() ? named(a, "FindText").toText() : a.positional[0].toText();
        if (!literal) checkLength(findText);
        const std::string what = literal ? findText : decoded(findText, false, "");
        // MatchCase, the second positional argument; letter case is ignored
        // without it, as Word ignores it by default.
        const Variant* matching =
            a.positional.size() > 1 ? &a.positional[1] : namedOrNull(a, "MatchCase");
        const bool matchCase = matching != nullptr && matching->toBool();
        const Variant* replace = namedOrNull(a, "Replace");
        if (replace == nullptr) return Variant(findNext(*span, what, matchCase));
        const std::string replaceWith = named(a, "ReplaceWith").toText();
        if (!literal) checkLength(replaceWith);
        const std::string with = literal ? replaceWith : decoded(replaceWith, true, what);
        const std::size_t limit = span->limitAt();
        const std::string inside = span->text->substr(span->start, limit - span->start);
        const bool found = !what.empty() && findIn(inside, what, matchCase) != std::string::npos;
        if (found && replace->toInteger() == 2) {
          const std::string replaced = replaceAllIgnoringCase(inside, what, with, matchCase);
          span->text->replace(span->start, limit - span->start, replaced);
          if (span->limit != kWhole) span->limit = span->start + replaced.size();
        }
        return Variant(found);
      });
}

bool isHeaderOrFooter(int type) {
  return type >= kEvenPagesHeaderStory && type <= kFirstPageFooterStory;
}

std::shared_ptr<Span> storySpan(const std::shared_ptr<FakeOffice::App::Doc>& doc, int story) {
  auto span = std::make_shared<Span>();
  span->doc = doc;
  span->text = &doc->stories.at(static_cast<std::size_t>(story)).text;
  span->story = story;
  return span;
}

// The shapes anchored in a header or footer story.
Object makeShapes(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                  std::shared_ptr<Span> story) {
  return makeObject(
      office, app, "ShapeRange",
      [&office, app, story](std::string_view m, CallKind, const Arguments& a) {
        auto& shapes = story->doc->stories.at(static_cast<std::size_t>(story->story)).shapes;
        if (office::sameName(m, "Count")) {
          return Variant(static_cast<std::int32_t>(shapes.size()));
        }
        if (!office::sameName(m, "Item")) unknownMember();
        const auto i = a.positional.at(0).toInteger();
        if (i < 1 || i > static_cast<std::int64_t>(shapes.size())) {
          throw AutomationError(office::kErrNoSuchItem, "集合所要求的成员不存在");
        }
        std::optional<std::string>& shape = shapes[static_cast<std::size_t>(i - 1)];
        const auto doc = story->doc;
        Object frame = makeObject(
            office, app, "TextFrame",
            [&office, app, doc, &shape](std::string_view member, CallKind, const Arguments&) {
              if (office::sameName(member, "HasText")) {
                return Variant(shape.has_value() && !shape->empty());
              }
              if (!office::sameName(member, "TextRange")) unknownMember();
              if (!shape) throw AutomationError(4605, "此方法或属性无效");
              auto span = std::make_shared<Span>();
              span->doc = doc;
              span->text = &*shape;
              return Variant(makeRange(office, app, span));
            });
        return Variant(makeObject(office, app, "Shape",
                                  [frame](std::string_view member, CallKind, const Arguments&) {
                                    if (!office::sameName(member, "TextFrame")) unknownMember();
                                    return Variant(frame);
                                  }));
      });
}

Object makeRange(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                 std::shared_ptr<Span> span) {
  return makeObject(
      office, app, "Range",
      [&office, app, span](std::string_view m, CallKind kind, const Arguments& a) -> Variant {
        if (office::sameName(m, "Find")) return Variant(makeFind(office, app, span));
        if (office::sameName(m, "Duplicate")) {
          auto copy = std::make_shared<Span>(*span);
          copy->afterFound = false;
          copy->limit = copy->end;
          return Variant(makeRange(office, app, copy));
        }
        if (office::sameName(m, "Text")) {
          const std::size_t end = span->endAt();
          if (kind != CallKind::Put) return span->text->substr(span->start, end - span->start);
          const std::string text = a.positional.at(0).toText();
          span->text->replace(span->start, end - span->start, text);
          if (span->limit != kWhole) span->limit = span->limit + text.size() - (end - span->start);
          if (span->end != kWhole) span->end = span->start + text.size();
          return {};
        }
        if (office::sameName(m, "Collapse")) {
          const bool toEnd =
              a.positional.empty() ? false : a.positional[0].toInteger() == 0;  // wdCollapseEnd
          if (toEnd) span->start = span->endAt();
          span->end = span->start;
          span->afterFound = false;
          return {};
        }
        const auto& stories = span->doc->stories;
        if (office::sameName(m, "NextStoryRange")) {
          if (span->story < 0) return Variant(Object());
          const int type = stories.at(static_cast<std::size_t>(span->story)).type;
          for (std::size_t j = static_cast<std::size_t>(span->story) + 1; j < stories.size(); ++j) {
            if (stories[j].type == type) {
              return Variant(makeRange(office, app, storySpan(span->doc, static_cast<int>(j))));
            }
          }
          return Variant(Object());
        }
        if (office::sameName(m, "ShapeRange") && span->story >= 0 &&
            isHeaderOrFooter(stories.at(static_cast<std::size_t>(span->story)).type)) {
          return Variant(makeShapes(office, app, span));
        }
        unknownMember();
      });
}

// Word lists a header or footer kind only once section 1's has text, or once
// a header's range was asked for.
bool listed(const FakeOffice::App::Doc& doc, int type) {
  if (!isHeaderOrFooter(type) || doc.headersAsked) return true;
  return std::any_of(doc.stories.begin(), doc.stories.end(), [type](const FakeStory& story) {
    return story.type == type && story.section == 1 && !story.text.empty();
  });
}

Object makeStoryRanges(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                       std::shared_ptr<FakeOffice::App::Doc> doc) {
  return makeObject(
      office, app, "StoryRanges",
      [&office, app, doc](std::string_view m, CallKind, const Arguments& a) {
        if (!office::sameName(m, "Item")) unknownMember();
        const auto type = static_cast<int>(a.positional.at(0).toInteger());
        for (std::size_t j = 0; j < doc->stories.size(); ++j) {
          if (doc->stories[j].type == type && listed(*doc, type)) {
            return Variant(makeRange(office, app, storySpan(doc, static_cast<int>(j))));
          }
        }
        throw AutomationError(office::kErrNoSuchItem, "集合所要求的成员不存在");
      });
}

// Sections(i).Headers(k).Range: section i's header of kind k (1 primary,
// 2 first page, 3 even pages); asking for one lists every kind.
Object makeSections(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                    std::shared_ptr<FakeOffice::App::Doc> doc) {
  int sections = 1;
  for (const FakeStory& story : doc->stories) sections = std::max(sections, story.section);
  const auto item = [](const Arguments& a, std::int64_t count) {
    const auto i = a.positional.at(0).toInteger();
    if (i < 1 || i > count) throw AutomationError(office::kErrNoSuchItem, "集合所要求的成员不存在");
    return static_cast<int>(i);
  };
  return makeObject(
      office, app, "Sections",
      [&office, app, doc, sections, item](std::string_view m, CallKind, const Arguments& a) {
        if (office::sameName(m, "Count")) return Variant(static_cast<std::int32_t>(sections));
        if (!office::sameName(m, "Item")) unknownMember();
        const int section = item(a, sections);
        const Object headers = makeObject(
            office, app, "HeadersFooters",
            [&office, app, doc, section, item](std::string_view member, CallKind,
                                               const Arguments& args) {
              if (!office::sameName(member, "Item")) unknownMember();
              static constexpr int kTypes[] = {kPrimaryHeaderStory, kFirstPageHeaderStory,
                                               kEvenPagesHeaderStory};
              const int type = kTypes[item(args, 3) - 1];
              return Variant(makeObject(
                  office, app, "HeaderFooter",
                  [&office, app, doc, section, type](std::string_view what, CallKind,
                                                     const Arguments&) {
                    if (!office::sameName(what, "Range")) unknownMember();
                    doc->headersAsked = true;
                    for (std::size_t j = 0; j < doc->stories.size(); ++j) {
                      if (doc->stories[j].type == type && doc->stories[j].section == section) {
                        return Variant(makeRange(office, app, storySpan(doc, static_cast<int>(j))));
                      }
                    }
                    auto span = std::make_shared<Span>();
                    span->doc = doc;
                    span->detached = std::make_shared<std::string>();
                    span->text = span->detached.get();
                    return Variant(makeRange(office, app, span));
                  }));
            });
        return Variant(makeObject(office, app, "Section",
                                  [headers](std::string_view member, CallKind, const Arguments&) {
                                    if (!office::sameName(member, "Headers")) unknownMember();
                                    return Variant(headers);
                                  }));
      });
}

Object makeDocument(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                    std::shared_ptr<FakeOffice::App::Doc> doc) {
  return makeObject(office, app, "Document",
                    [&office, app, doc](std::string_view m, CallKind, const Arguments&) {
                      if (office::sameName(m, "StoryRanges")) {
                        return Variant(makeStoryRanges(office, app, doc));
                      }
                      if (office::sameName(m, "Sections")) {
                        return Variant(makeSections(office, app, doc));
                      }
                      if (!office::sameName(m, "Content")) unknownMember();
                      auto span = std::make_shared<Span>();
                      span->doc = doc;
                      span->text = &doc->content;
                      return Variant(makeRange(office, app, span));
                    });
}

struct Book {
  std::string path;
  std::vector<FakeSheet> sheets;
  std::string lastFind;  // what the last Cells.Find looked for: FindNext goes on with it
  bool lastMatchCase = false;
  bool readOnly = false;  // opened with ReadOnly:=True: it cannot be saved
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

// Excel's answer to a change of a locked cell on a protected sheet.
[[noreturn]] void refuseProtected() {
  throw AutomationError(-2146827284, "您试图更改的单元格或图表位于受保护的工作表中。");
}

// A cell's Value (or Value2) as Excel gives it: nothing for an empty cell.
Variant valueOf(const FakeCell& cell, bool value2) {
  switch (cell.kind) {
    case FakeCell::Kind::Text:
      return cell.value.empty() ? Variant() : Variant(cell.value);
    case FakeCell::Kind::Number:
      return std::stod(cell.value);
    case FakeCell::Kind::Date:  // Value is a date, which reaches a caller as text
      return value2 ? Variant(45000.0) : Variant(cell.value);
    case FakeCell::Kind::Formula:
      return 0.0;
  }
  return {};
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
        const FakeSheet& sheet = book->sheets.at(sheetIndex);
        const bool locked = !sheet.unlocked.contains(index);
        if (office::sameName(m, "Address")) return address;
        if (office::sameName(m, "HasFormula")) return cell.kind == Kind::Formula;
        if (office::sameName(m, "Locked")) return locked;
        if (kind == CallKind::Put &&
            (m.empty() || office::sameName(m, "Value") || office::sameName(m, "Formula"))) {
          if (sheet.protectedContents && locked) refuseProtected();
          cell = cellFromValue(a.positional.at(0));
          return {};
        }
        if (office::sameName(m, "Formula")) return cell.value;
        const bool value2 = office::sameName(m, "Value2");
        if (!m.empty() && !value2 && !office::sameName(m, "Value")) unknownMember();
        return valueOf(cell, value2);
      },
      "Cell " + address);
}

// The cell at row and column (1-based) as Cells.Item reads it: Value2 as
// Excel gives it, Text as the sheet shows it; a cell nobody wrote is empty.
Object makeReadCell(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                    std::shared_ptr<Book> book, std::size_t index, std::int64_t row,
                    std::int64_t column) {
  const std::string address =
      "$" + std::string(1, static_cast<char>('A' + column - 1)) + "$" + std::to_string(row);
  return makeObject(
      office, app, "Cell",
      [book, index, row, column](std::string_view m, CallKind, const Arguments&) -> Variant {
        const FakeSheet& sheet = book->sheets.at(index);
        const std::vector<FakeCell>* cells = column == 1   ? &sheet.cells
                                             : column == 2 ? &sheet.columnB
                                                           : nullptr;
        const bool written = cells != nullptr && row >= 1 && row <= std::ssize(*cells);
        const FakeCell cell = written ? (*cells)[static_cast<std::size_t>(row - 1)] : FakeCell();
        using Kind = FakeCell::Kind;
        if (office::sameName(m, "Text")) return cell.kind == Kind::Formula ? "0" : cell.value;
        if (!office::sameName(m, "Value2")) unknownMember();
        return valueOf(cell, true);
      },
      "Cell " + address);
}

// The rows from the first to the last that hold something in column A or B.
Object makeUsedRange(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                     const FakeSheet& sheet) {
  std::size_t first = 0;
  std::size_t last = 0;
  for (const std::vector<FakeCell>* column : {&sheet.cells, &sheet.columnB}) {
    for (std::size_t i = 0; i < column->size(); ++i) {
      if ((*column)[i] == FakeCell()) continue;
      first = first == 0 ? i + 1 : std::min(first, i + 1);
      last = std::max(last, i + 1);
    }
  }
  const auto rows = static_cast<std::int32_t>(first == 0 ? 1 : last - first + 1);
  return makeObject(
      office, app, "UsedRange",
      [&office, app, first, rows](std::string_view m, CallKind, const Arguments&) -> Variant {
        if (office::sameName(m, "Row")) return static_cast<std::int32_t>(first == 0 ? 1 : first);
        if (!office::sameName(m, "Rows")) unknownMember();
        return Variant(makeObject(office, app, "Rows",
                                  [rows](std::string_view member, CallKind, const Arguments&) {
                                    if (!office::sameName(member, "Count")) unknownMember();
                                    return Variant(rows);
                                  }));
      });
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
            book->lastMatchCase = false;
            return search(book->lastFind, false, false, 0);
          }
          book->lastFind = named(a, "What").toText();
          const Variant* matchCase = namedOrNull(a, "MatchCase");
          const Variant* lookAt = namedOrNull(a, "LookAt");
          book->lastMatchCase = matchCase != nullptr && matchCase->toBool();
          return search(book->lastFind, book->lastMatchCase,
                        lookAt != nullptr && lookAt->toInteger() == 1, 0);
        }
        if (office::sameName(m, "Item")) {
          return Variant(makeReadCell(office, app, book, index, a.positional.at(0).toInteger(),
                                      a.positional.at(1).toInteger()));
        }
        if (office::sameName(m, "FindNext")) {
          // After the given cell, with what the last Find looked for.
          const std::string after = describeFake(a.positional.at(0).toObject().get());
          const std::size_t row = std::stoul(after.substr(after.rfind('$') + 1));
          return search(book->lastFind, book->lastMatchCase, false, row);
        }
        if (office::sameName(m, "Replace")) {
          // Every replaced cell is re-read as typed input, as Excel does.
          const std::string what = named(a, "What").toText();
          const std::string with = named(a, "Replacement").toText();
          const Variant* matching = namedOrNull(a, "MatchCase");
          const bool matchCase = matching != nullptr && matching->toBool();
          const auto holds = [&](const FakeCell& cell) {
            return !what.empty() && findIn(searched(cell), what, matchCase) != std::string::npos;
          };
          for (std::size_t i = 0; i < sheet.cells.size(); ++i) {
            if (sheet.protectedContents && !sheet.unlocked.contains(i) && holds(sheet.cells[i])) {
              refuseProtected();
            }
          }
          for (FakeCell& cell : sheet.cells) {
            if (holds(cell)) {
              cell = FakeCell::typed(replaceAllIgnoringCase(cell.value, what, with, matchCase));
            }
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
                      if (office::sameName(m, "ProtectContents")) {
                        return Variant(book->sheets.at(index).protectedContents);
                      }
                      if (office::sameName(m, "Cells")) {
                        return Variant(makeCells(office, app, book, index));
                      }
                      if (office::sameName(m, "UsedRange")) {
                        return Variant(makeUsedRange(office, app, book->sheets.at(index)));
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
            throw AutomationError(office::kErrSubscript, "下标越界");
          }
          return Variant(makeSheet(office, app, book, static_cast<std::size_t>(j - 1)));
        }
        if (office::sameName(m, "Saved")) {
          return Variant(!office.modifiedOnOpen.count(book->path) &&
                         book->sheets == office.workbooks[book->path]);
        }
        if (office::sameName(m, "Close")) {
          if (!a.positional.empty() && a.positional[0].toBool()) {
            // Excel would ask where to save a copy: a dialog nobody sees.
            if (book->readOnly) throw AutomationError(1004, "工作簿是只读打开的");
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
                if (app->openDocs.empty())
                  throw AutomationError(office::kErrNoDocumentOpen, "没有打开的文档");
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
                        if (const auto more = office.stories.find(path);
                            more != office.stories.end()) {
                          doc->stories = more->second;
                        }
                        app->openDocs.push_back(doc);
                        return Variant(makeDocument(office, app, doc));
                      }
                      if (office::sameName(member, "Close")) {
                        const bool save = !args.positional.empty() && args.positional[0].toBool();
                        for (const auto& doc : app->openDocs) {
                          if (save) {
                            office.documents[doc->path] = doc->content;
                            if (!doc->stories.empty()) office.stories[doc->path] = doc->stories;
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
                      const Variant* readOnly = namedOrNull(args, "ReadOnly");
                      return Variant(makeWorkbook(
                          office, app,
                          std::make_shared<Book>(Book{path,
                                                      it->second,
                                                      {},
                                                      false,
                                                      readOnly != nullptr && readOnly->toBool()})));
                    }));
              }
              unknownMember();
            });
      },
      office::ServerTraits{.replaceKeepsText = settings.replaceKeepsText,
                           .findIsLiteral = settings.findIsLiteral});
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
