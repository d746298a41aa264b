#include "office/libreoffice/libreoffice_server.h"

#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <vector>

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/UpdateDocMode.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheetView.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/task/XInteractionAbort.hpp>
#include <com/sun/star/task/XInteractionHandler.hpp>
#include <com/sun/star/task/XInteractionRequest.hpp>
#include <com/sun/star/text/XTextDocument.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <com/sun/star/util/XReplaceable.hpp>
#include <com/sun/star/util/XSearchable.hpp>
#include <cppuhelper/implbase1.hxx>
#include <osl/file.hxx>
#include <rtl/ref.hxx>

#include "office/libreoffice/office_process.h"
#include "office/libreoffice/uno_text.h"

namespace office::libreoffice {

namespace fs = std::filesystem;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

namespace {

// ---- helpers ----

[[noreturn]] void unknownMember() {
  throw AutomationError(kErrNoSuchMember, std::string(kNoSuchMemberText));
}

// The argument at a position, or by its name; nullptr when omitted.
const Variant* argument(const Arguments& args, std::size_t position, std::string_view name) {
  if (position < args.positional.size()) return &args.positional[position];
  for (const auto& [n, v] : args.named) {
    if (sameName(n, name)) return &v;
  }
  return nullptr;
}

const Variant& required(const Arguments& args, std::size_t position, std::string_view name) {
  const Variant* v = argument(args, position, name);
  if (v == nullptr) throw AutomationError(449, "参数不可选：" + std::string(name));
  return *v;
}

// An optional boolean argument; false when omitted.
bool flag(const Arguments& args, std::size_t position, std::string_view name) {
  const Variant* v = argument(args, position, name);
  return v != nullptr && !v->isEmpty() && v->toBool();
}

css::beans::PropertyValue property(const char* name, const Any& value) {
  css::beans::PropertyValue p;
  p.Name = OUString::createFromAscii(name);
  p.Value = value;
  return p;
}

Sequence<css::beans::PropertyValue> properties(
    std::initializer_list<css::beans::PropertyValue> values) {
  Sequence<css::beans::PropertyValue> sequence(static_cast<sal_Int32>(values.size()));
  std::copy(values.begin(), values.end(), sequence.getArray());
  return sequence;
}

bool startsWith(const std::string& s, std::string_view prefix) {
  return s.rfind(prefix, 0) == 0;
}

// Formats a word processor may store back as it loaded them. Plain text,
// RTF, HTML and the like load too, but writing them back would not give the
// user the document they had.
bool isDocumentFilter(const std::string& filter) {
  return startsWith(filter, "MS Word") || startsWith(filter, "MS WinWord") ||
         filter == "Office Open XML Text" || filter == "writer8" ||
         filter == "StarOffice XML (Writer)";
}

bool isWorkbookFilter(const std::string& filter) {
  return startsWith(filter, "MS Excel") || filter == "Calc MS Excel 2007 XML" ||
         filter == "Calc Office Open XML" || filter == "calc8" || filter == "StarOffice XML (Calc)";
}

// Answers every question the office asks while loading with "abort", and
// keeps what was asked, to say why the document did not open.
class AbortingHandler : public cppu::WeakImplHelper1<css::task::XInteractionHandler> {
 public:
  void SAL_CALL handle(const Reference<css::task::XInteractionRequest>& request) override {
    {
      std::lock_guard lock(mutex_);
      seen_.push_back(toUtf8(request->getRequest().getValueTypeName()));
    }
    const auto continuations = request->getContinuations();
    for (const auto& c : continuations) {
      Reference<css::task::XInteractionAbort> abort(c, UNO_QUERY);
      if (abort.is()) {
        abort->select();
        return;
      }
    }
  }

  std::string why() const {
    std::lock_guard lock(mutex_);
    for (const std::string& type : seen_) {
      if (type.find("PasswordRequest") != std::string::npos) return "文档受密码保护";
      if (type.find("Lock") != std::string::npos) return "文档已被其他程序锁定";
      if (type.find("BrokenPackage") != std::string::npos) return "文档已损坏";
      if (type.find("FilterOptions") != std::string::npos) return "文件格式无法识别";
    }
    for (const std::string& type : seen_) {
      if (type.find("IOException") != std::string::npos) return "无法读取文件";
    }
    return seen_.empty() ? std::string() : "办公软件询问：" + seen_.front();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> seen_;
};

// ---- one server: its office process and the documents open in it ----

struct OpenDocument {
  Reference<css::lang::XComponent> component;
  fs::path path;
  std::string filter;
};

class Session {
 public:
  Session(Installation installation, const Options& options)
      : installation_(installation),
        options_(options),
        process_(std::move(installation), options.startTimeout) {}

  ~Session() { quit(); }

  const Installation& installation() const { return installation_; }

  // Runs one call on the office, translating its failures; a bridge that is
  // gone makes the whole server gone.
  template <typename F>
  Variant guard(F&& call) {
    if (gone_) throw serverGone(goneWhy_);
    try {
      return call();
    } catch (const AutomationError&) {
      throw;
    } catch (const css::lang::DisposedException& e) {
      throw markGone(toUtf8(e.Message));
    } catch (const css::uno::RuntimeException& e) {
      if (process_.started() && !process_.running()) throw markGone(toUtf8(e.Message));
      throw AutomationError(kErrOfficeFailed, "LibreOffice：" + toUtf8(e.Message));
    } catch (const css::uno::Exception& e) {
      throw AutomationError(kErrOfficeFailed, "LibreOffice：" + toUtf8(e.Message));
    }
  }

  std::shared_ptr<OpenDocument> open(const std::string& path, bool workbook);
  // Stores the document if it changed (when save), then closes it.
  void close(const std::shared_ptr<OpenDocument>& document, bool save);
  // Closes every open document of one kind, Word's Documents.Close.
  void closeAll(bool workbooks, bool save);
  std::shared_ptr<OpenDocument> active(bool workbook) const {
    const auto& list = workbook ? books_ : docs_;
    return list.empty() ? nullptr : list.back();
  }

  void quit() {
    if (quit_) return;
    quit_ = true;
    if (!gone_) {
      for (auto* list : {&docs_, &books_}) {
        for (const auto& doc : *list) closeQuietly(doc->component);
        list->clear();
      }
    }
    process_.stop();
    if (!gone_) goneWhy_ = "LibreOffice 已退出";
    gone_ = true;
  }

 private:
  static AutomationError serverGone(const std::string& why) {
    return AutomationError(kErrServerUnavailable, why);
  }

  AutomationError markGone(const std::string& detail) {
    gone_ = true;
    goneWhy_ = process_.watchdogFired() ? "处理超时，LibreOffice 已被终止"
                                        : "LibreOffice 已停止响应（" + detail + "）";
    // A killed office leaves its lock files beside our documents.
    for (auto* list : {&docs_, &books_}) {
      for (const auto& doc : *list) {
        std::error_code ec;
        fs::remove(doc->path.parent_path() / (".~lock." + doc->path.filename().string() + "#"), ec);
      }
      list->clear();
    }
    process_.kill();
    process_.stop();
    return serverGone(goneWhy_);
  }

  void startOffice() {
    if (startFailure_) throw *startFailure_;
    if (process_.started()) return;
    try {
      process_.start();
    } catch (const AutomationError& e) {
      startFailure_ = e;
      throw;
    }
  }

  static void closeQuietly(const Reference<css::lang::XComponent>& component) {
    try {
      Reference<css::util::XCloseable> closeable(component, UNO_QUERY);
      if (closeable.is()) {
        closeable->close(true);
      } else if (component.is()) {
        component->dispose();
      }
    } catch (const css::uno::Exception&) {
    }
  }

  void store(const OpenDocument& document);

  Installation installation_;
  Options options_;
  OfficeProcess process_;
  std::vector<std::shared_ptr<OpenDocument>> docs_;
  std::vector<std::shared_ptr<OpenDocument>> books_;
  std::optional<AutomationError> startFailure_;
  bool gone_ = false;
  bool quit_ = false;
  std::string goneWhy_;
};

std::shared_ptr<OpenDocument> Session::open(const std::string& path, bool workbook) {
  std::error_code ec;
  const fs::path file = fs::absolute(fs::path(path), ec).lexically_normal();
  if (!fs::is_regular_file(file, ec)) {
    throw AutomationError(kErrFileNotFound, "找不到文件：" + path);
  }
  startOffice();
  OUString url;
  if (osl::FileBase::getFileURLFromSystemPath(toOUString(file.string()), url) !=
      osl::FileBase::E_None) {
    throw AutomationError(kErrOfficeFailed, "无法打开文档：路径无效");
  }

  process_.arm(options_.documentTimeout);
  rtl::Reference<AbortingHandler> handler(new AbortingHandler);
  const auto loadProperties = properties({
      property("Hidden", Any(true)),
      property("MacroExecutionMode", Any(css::document::MacroExecMode::NEVER_EXECUTE)),
      property("UpdateDocMode", Any(css::document::UpdateDocMode::NO_UPDATE)),
      property("InteractionHandler", Any(Reference<css::task::XInteractionHandler>(handler.get()))),
  });
  Reference<css::lang::XComponent> component;
  try {
    Reference<css::frame::XComponentLoader> loader(process_.desktop(), UNO_QUERY_THROW);
    component = loader->loadComponentFromURL(url, "_blank", 0, loadProperties);
  } catch (const css::lang::DisposedException&) {
    throw;
  } catch (const css::uno::RuntimeException&) {
    throw;
  } catch (const css::uno::Exception& e) {
    process_.disarm();
    const std::string why = handler->why();
    throw AutomationError(kErrOfficeFailed,
                          "无法打开文档：" + (why.empty() ? toUtf8(e.Message) : why));
  }
  if (!component.is()) {
    process_.disarm();
    const std::string why = handler->why();
    throw AutomationError(kErrOfficeFailed, "无法打开文档" + (why.empty() ? "" : "：" + why));
  }

  std::string filter;
  Reference<css::frame::XModel> model(component, UNO_QUERY);
  if (model.is()) {
    for (const auto& arg : model->getArgs()) {
      OUString name;
      if (arg.Name == "FilterName" && (arg.Value >>= name)) filter = toUtf8(name);
    }
  }
  const bool rightKind =
      workbook ? Reference<css::sheet::XSpreadsheetDocument>(component, UNO_QUERY).is() &&
                     isWorkbookFilter(filter)
               : Reference<css::text::XTextDocument>(component, UNO_QUERY).is() &&
                     isDocumentFilter(filter);
  if (!rightKind) {
    closeQuietly(component);
    process_.disarm();
    throw AutomationError(kErrOfficeFailed,
                          std::string(workbook ? "不是 Excel 工作簿" : "不是 Word 文档") +
                              "（文件格式：" + (filter.empty() ? "未知" : filter) + "），未作改动");
  }
  auto document = std::make_shared<OpenDocument>(OpenDocument{component, file, filter});
  (workbook ? books_ : docs_).push_back(document);
  return document;
}

// The new content goes to a file beside the original, which it replaces only
// once it is complete: a failure at any point leaves the original as it was.
void Session::store(const OpenDocument& document) {
  Reference<css::util::XModifiable> modifiable(document.component, UNO_QUERY);
  if (modifiable.is() && !modifiable->isModified()) return;

  // Through a symbolic link to the file itself, so the link stays a link.
  std::error_code ec;
  fs::path target = fs::canonical(document.path, ec);
  if (ec) target = document.path;
  const fs::path temp = target.parent_path() / (".~ravelsk." + std::to_string(::getpid()) + "." +
                                                target.filename().string() + ".tmp");
  OUString url;
  osl::FileBase::getFileURLFromSystemPath(toOUString(temp.string()), url);
  auto discard = [&temp] {
    std::error_code ec;
    fs::remove(temp, ec);
  };
  try {
    Reference<css::frame::XStorable> storable(document.component, UNO_QUERY_THROW);
    storable->storeToURL(url, properties({property("FilterName", Any(toOUString(document.filter))),
                                          property("Overwrite", Any(true))}));
  } catch (const css::lang::DisposedException&) {
    discard();
    throw;
  } catch (const css::uno::RuntimeException&) {
    discard();
    throw;
  } catch (const css::uno::Exception& e) {
    discard();
    throw AutomationError(kErrOfficeFailed, "无法保存文档：" + toUtf8(e.Message));
  }
  if (!fs::is_regular_file(temp, ec) || fs::file_size(temp, ec) == 0) {
    discard();
    throw AutomationError(kErrOfficeFailed, "无法保存文档：办公软件没有写出文件");
  }
  // The new file takes the old one's permissions and, where we may, its owner.
  struct stat original {};
  if (::stat(target.c_str(), &original) == 0) {
    ::chmod(temp.c_str(), original.st_mode & 07777);
    if (::chown(temp.c_str(), original.st_uid, original.st_gid) != 0) {
      // Not ours to give away: the file stays ours, as any editor would leave it.
    }
  }
  fs::rename(temp, target, ec);
  if (ec) {
    discard();
    throw AutomationError(kErrOfficeFailed, "无法保存文档：" + ec.message());
  }
}

void Session::close(const std::shared_ptr<OpenDocument>& document, bool save) {
  if (save) store(*document);
  closeQuietly(document->component);
  for (auto* list : {&docs_, &books_}) {
    std::erase(*list, document);
  }
  if (docs_.empty() && books_.empty()) process_.disarm();
}

void Session::closeAll(bool workbooks, bool save) {
  const auto list = workbooks ? books_ : docs_;
  for (const auto& document : list) close(document, save);
}

// ---- the automation objects ----

using SessionPtr = std::shared_ptr<Session>;
using DocumentPtr = std::shared_ptr<OpenDocument>;

// Every object keeps its server's session alive: the office ends when the
// last reference to any of them goes.
class LoObject : public Dispatch {
 public:
  explicit LoObject(SessionPtr session) : session_(std::move(session)) {}
  Variant invoke(std::string_view member, CallKind kind, const Arguments& args) final {
    return session_->guard([&] { return answer(member, kind, args); });
  }

 protected:
  virtual Variant answer(std::string_view member, CallKind kind, const Arguments& args) = 0;
  template <typename T, typename... A>
  Object make(A&&... a) const {
    return Object(std::make_shared<T>(session_, std::forward<A>(a)...));
  }
  SessionPtr session_;
};

template <typename Descriptor>
void literalSearch(const Reference<Descriptor>& descriptor, const std::string& text, bool matchCase,
                   bool wholeCell) {
  descriptor->setSearchString(toOUString(text));
  Reference<css::beans::XPropertySet> props(descriptor, UNO_QUERY_THROW);
  props->setPropertyValue("SearchRegularExpression", Any(false));
  props->setPropertyValue("SearchSimilarity", Any(false));
  props->setPropertyValue("SearchCaseSensitive", Any(matchCase));
  props->setPropertyValue("SearchWords", Any(wholeCell));
  props->setPropertyValue("SearchBackwards", Any(false));
}

bool findIn(const Reference<css::uno::XInterface>& target, const std::string& text,
            bool matchCase = false, bool wholeCell = false) {
  if (text.empty()) return false;
  Reference<css::util::XSearchable> searchable(target, UNO_QUERY_THROW);
  auto descriptor = searchable->createSearchDescriptor();
  literalSearch(descriptor, text, matchCase, wholeCell);
  return searchable->findFirst(descriptor).is();
}

sal_Int32 replaceIn(const Reference<css::uno::XInterface>& target, const std::string& what,
                    const std::string& with, bool matchCase = false, bool wholeCell = false) {
  if (what.empty()) return 0;
  Reference<css::util::XReplaceable> replaceable(target, UNO_QUERY_THROW);
  auto descriptor = replaceable->createReplaceDescriptor();
  literalSearch(descriptor, what, matchCase, wholeCell);
  descriptor->setReplaceString(toOUString(with));
  return replaceable->replaceAll(Reference<css::util::XSearchDescriptor>(descriptor.get()));
}

class FindObject : public LoObject {
 public:
  FindObject(SessionPtr s, DocumentPtr d) : LoObject(std::move(s)), doc_(std::move(d)) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (!sameName(member, "Execute")) unknownMember();
    const std::string text = required(args, 0, "FindText").toText();
    const bool caseSensitive = flag(args, 1, "MatchCase");
    const Variant* replace = argument(args, 10, "Replace");
    const auto mode = replace == nullptr ? 0 : replace->toInteger();
    if (mode == 0) return findIn(doc_->component, text, caseSensitive);
    const Variant* with = argument(args, 9, "ReplaceWith");
    const std::string replacement = with == nullptr ? std::string() : with->toText();
    if (mode == 2) return replaceIn(doc_->component, text, replacement, caseSensitive) > 0;
    throw AutomationError(kErrOfficeFailed, "不支持的替换方式");
  }

 private:
  DocumentPtr doc_;
};

class RangeObject : public LoObject {
 public:
  RangeObject(SessionPtr s, DocumentPtr d) : LoObject(std::move(s)), doc_(std::move(d)) {}
  Variant answer(std::string_view member, CallKind, const Arguments&) override {
    if (sameName(member, "Find")) return make<FindObject>(doc_);
    if (member.empty() || sameName(member, "Text")) {
      Reference<css::text::XTextDocument> text(doc_->component, UNO_QUERY_THROW);
      return toUtf8(text->getText()->getString());
    }
    unknownMember();
  }

 private:
  DocumentPtr doc_;
};

// What a document and a workbook both answer: their names and Close.
class OpenFileObject : public LoObject {
 public:
  OpenFileObject(SessionPtr s, DocumentPtr d) : LoObject(std::move(s)), doc_(std::move(d)) {}

 protected:
  Variant fileMember(std::string_view member, const Arguments& args) {
    if (member.empty() || sameName(member, "Name")) return doc_->path.filename().string();
    if (sameName(member, "FullName")) return doc_->path.string();
    if (sameName(member, "Close")) {
      session_->close(doc_, flag(args, 0, "SaveChanges"));
      return {};
    }
    unknownMember();
  }

  DocumentPtr doc_;
};

class DocumentObject : public OpenFileObject {
 public:
  using OpenFileObject::OpenFileObject;
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Content")) return make<RangeObject>(doc_);
    return fileMember(member, args);
  }
};

class DocumentsObject : public LoObject {
 public:
  using LoObject::LoObject;
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Open")) {
      return make<DocumentObject>(session_->open(required(args, 0, "FileName").toText(), false));
    }
    if (sameName(member, "Close")) {
      session_->closeAll(false, flag(args, 0, "SaveChanges"));
      return {};
    }
    unknownMember();
  }
};

class CellObject : public LoObject {
 public:
  CellObject(SessionPtr s, Reference<css::uno::XInterface> cell)
      : LoObject(std::move(s)), cell_(std::move(cell)) {}
  Variant answer(std::string_view member, CallKind, const Arguments&) override {
    if (!member.empty() && !sameName(member, "Value") && !sameName(member, "Formula")) {
      unknownMember();
    }
    Reference<css::table::XCell> cell(cell_, UNO_QUERY);
    return cell.is() ? toUtf8(cell->getFormula()) : std::string();
  }

 private:
  Reference<css::uno::XInterface> cell_;
};

class CellsObject : public LoObject {
 public:
  CellsObject(SessionPtr s, Reference<css::sheet::XSpreadsheet> sheet)
      : LoObject(std::move(s)), sheet_(std::move(sheet)) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Find")) {
      const std::string what = required(args, 0, "What").toText();
      if (what.empty()) return Object();
      Reference<css::util::XSearchable> searchable(sheet_, UNO_QUERY_THROW);
      auto descriptor = searchable->createSearchDescriptor();
      literalSearch(descriptor, what, false, false);
      auto found = searchable->findFirst(descriptor);
      return found.is() ? make<CellObject>(found) : Object();
    }
    if (sameName(member, "Replace")) {
      const std::string what = required(args, 0, "What").toText();
      const std::string with = required(args, 1, "Replacement").toText();
      const Variant* lookAt = argument(args, 2, "LookAt");
      const bool wholeCell = lookAt != nullptr && lookAt->toInteger() == 1;  // xlWhole
      replaceIn(sheet_, what, with, flag(args, 4, "MatchCase"), wholeCell);
      return true;
    }
    unknownMember();
  }

 private:
  Reference<css::sheet::XSpreadsheet> sheet_;
};

class WorksheetObject : public LoObject {
 public:
  WorksheetObject(SessionPtr s, DocumentPtr d, Reference<css::sheet::XSpreadsheet> sheet)
      : LoObject(std::move(s)), doc_(std::move(d)), sheet_(std::move(sheet)) {}
  Variant answer(std::string_view member, CallKind, const Arguments&) override {
    if (sameName(member, "Name")) {
      return toUtf8(Reference<css::container::XNamed>(sheet_, UNO_QUERY_THROW)->getName());
    }
    if (sameName(member, "Cells")) return make<CellsObject>(sheet_);
    if (sameName(member, "Activate")) {
      Reference<css::frame::XModel> model(doc_->component, UNO_QUERY);
      Reference<css::sheet::XSpreadsheetView> view(
          model.is() ? model->getCurrentController() : nullptr, UNO_QUERY);
      if (view.is()) view->setActiveSheet(sheet_);
      return {};
    }
    unknownMember();
  }

 private:
  DocumentPtr doc_;
  Reference<css::sheet::XSpreadsheet> sheet_;
};

class SheetsObject : public LoObject {
 public:
  SheetsObject(SessionPtr s, DocumentPtr d) : LoObject(std::move(s)), doc_(std::move(d)) {}

  Object item(const Variant& index) const {
    auto sheets =
        Reference<css::sheet::XSpreadsheetDocument>(doc_->component, UNO_QUERY_THROW)->getSheets();
    Any sheet;
    if (const auto* name = std::get_if<std::string>(&index.value())) {
      if (!sheets->hasByName(toOUString(*name))) throw AutomationError(9, "下标越界");
      sheet = sheets->getByName(toOUString(*name));
    } else {
      Reference<css::container::XIndexAccess> list(sheets, UNO_QUERY_THROW);
      const auto n = index.toInteger();
      if (n < 1 || n > list->getCount()) throw AutomationError(9, "下标越界");
      sheet = list->getByIndex(static_cast<sal_Int32>(n - 1));
    }
    return make<WorksheetObject>(doc_, Reference<css::sheet::XSpreadsheet>(sheet, UNO_QUERY_THROW));
  }

  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Count")) {
      auto sheets = Reference<css::sheet::XSpreadsheetDocument>(doc_->component, UNO_QUERY_THROW)
                        ->getSheets();
      return Reference<css::container::XIndexAccess>(sheets, UNO_QUERY_THROW)->getCount();
    }
    if (member.empty() || sameName(member, "Item")) return item(required(args, 0, "Index"));
    unknownMember();
  }

 private:
  DocumentPtr doc_;
};

class WorkbookObject : public OpenFileObject {
 public:
  using OpenFileObject::OpenFileObject;
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Worksheets") || sameName(member, "Sheets")) {
      auto sheets = std::make_shared<SheetsObject>(session_, doc_);
      if (args.positional.empty()) return Object(sheets);
      return sheets->item(args.positional[0]);
    }
    return fileMember(member, args);
  }
};

class WorkbooksObject : public LoObject {
 public:
  using LoObject::LoObject;
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Open")) {
      return make<WorkbookObject>(session_->open(required(args, 0, "Filename").toText(), true));
    }
    unknownMember();
  }
};

class ApplicationObject : public LoObject {
 public:
  using LoObject::LoObject;
  Variant answer(std::string_view member, CallKind kind, const Arguments&) override {
    if (member.empty() || sameName(member, "Name")) return session_->installation().productName;
    if (sameName(member, "Version")) return session_->installation().version;
    if (sameName(member, "Visible")) return kind == CallKind::Put ? Variant() : Variant(false);
    if (sameName(member, "Documents")) return make<DocumentsObject>();
    if (sameName(member, "Workbooks")) return make<WorkbooksObject>();
    if (sameName(member, "ActiveDocument")) {
      auto document = session_->active(false);
      if (!document) throw AutomationError(4248, "没有打开的文档");
      return make<DocumentObject>(document);
    }
    if (sameName(member, "Quit")) {
      session_->quit();
      return {};
    }
    unknownMember();
  }
};

}  // namespace

bool registerServers(ServerRegistry& registry, const Options& options) {
  std::optional<Installation> installation = findInstallation(options.programFolder);
  if (!installation) return false;
  auto factory = [installation = *installation, options]() {
    return Object(
        std::make_shared<ApplicationObject>(std::make_shared<Session>(installation, options)));
  };
  registry.add("word.Application", factory);
  registry.add("excel.Application", factory);
  return true;
}

}  // namespace office::libreoffice
