#include "support/recording_server.h"

#include <algorithm>
#include <functional>

namespace testsupport {

using office::Arguments;
using office::AutomationError;
using office::CallKind;
using office::Object;
using office::Variant;

namespace {

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

}  // namespace

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
             Handler handler)
      : office_(office),
        app_(std::move(app)),
        label_(std::move(label)),
        handler_(std::move(handler)) {}

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
};

[[noreturn]] void unknownMember() {
  throw AutomationError(office::kErrNoSuchMember, std::string(office::kNoSuchMemberText));
}

Object makeObject(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                  std::string label, Handler handler) {
  return Object(std::make_shared<FakeObject>(office, app, std::move(label), std::move(handler)));
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
  std::string lastFind;  // what FindNext looks for
};

Object makeCells(FakeOffice& office, const std::shared_ptr<FakeOffice::App>& app,
                 std::shared_ptr<Book> book, std::size_t index) {
  return makeObject(
      office, app, "Cells",
      [&office, app, book, index](std::string_view m, CallKind, const Arguments& a) {
        FakeSheet& sheet = book->sheets.at(index);
        // Cell i is "$A$<i+1>"; FindNext comes round to the first after the last.
        const auto cellAt = [&](std::size_t i) {
          return Variant(makeObject(
              office, app, "Cell",
              [cell = sheet.cells[i], i](std::string_view cm, CallKind, const Arguments&) {
                if (office::sameName(cm, "Address")) {
                  return Variant("$A$" + std::to_string(i + 1));
                }
                return Variant(cell);
              }));
        };
        const auto findFrom = [&](const std::string& what, std::size_t start) {
          for (std::size_t k = 0; k < sheet.cells.size(); ++k) {
            const std::size_t i = (start + k) % sheet.cells.size();
            if (sheet.cells[i].find(what) != std::string::npos) return cellAt(i);
          }
          return Variant(Object());
        };
        if (office::sameName(m, "Find")) {
          book->lastFind =
              a.positional.empty() ? named(a, "What").toText() : a.positional.at(0).toText();
          return findFrom(book->lastFind, 0);
        }
        if (office::sameName(m, "FindNext")) {
          const std::string address = a.positional.at(0).toObject().get("Address").toText();
          return findFrom(book->lastFind, std::stoul(address.substr(3)));
        }
        if (office::sameName(m, "Replace")) {
          const std::string what = named(a, "What").toText();
          const std::string with = named(a, "Replacement").toText();
          for (std::string& cell : sheet.cells) cell = replaceAll(cell, what, with);
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
        if (office::sameName(m, "Close")) {
          if (!a.positional.empty() && a.positional[0].toBool()) {
            office.workbooks[book->path] = book->sheets;
            office.saved.push_back(book->path);
            if (office.onSave) office.onSave(book->path);
          }
          return Variant();
        }
        unknownMember();
      });
}

}  // namespace

void FakeOffice::serve(office::ServerRegistry& registry, const std::string& progId,
                       FakeAppSettings settings) {
  registry.add(progId, [this, progId, settings]() {
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
                  return Variant(makeWorkbook(office, app,
                                              std::make_shared<Book>(Book{path, it->second, {}})));
                }));
          }
          unknownMember();
        });
  });
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
