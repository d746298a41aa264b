// What the LibreOffice server's parts share: one server's session (its
// office process and the documents open in it), the automation objects' base,
// the argument helpers and the document's search.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <system_error>
#include <vector>

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/beans/XPropertyState.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/UpdateDocMode.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/lang/IllegalArgumentException.hpp>
#include <com/sun/star/lang/Locale.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/lang/XMultiComponentFactory.hpp>
#include <com/sun/star/sheet/CellFlags.hpp>
#include <com/sun/star/sheet/XCellAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XExternalDocLinks.hpp>
#include <com/sun/star/sheet/XSheetCellRangeContainer.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheetView.hpp>
#include <com/sun/star/sheet/XUniqueCellFormatRangesSupplier.hpp>
#include <com/sun/star/table/CellContentType.hpp>
#include <com/sun/star/table/CellRangeAddress.hpp>
#include <com/sun/star/table/XCell.hpp>
#include <com/sun/star/table/XCellRange.hpp>
#include <com/sun/star/task/ErrorCodeIOException.hpp>
#include <com/sun/star/task/ErrorCodeRequest.hpp>
#include <com/sun/star/task/XInteractionAbort.hpp>
#include <com/sun/star/task/XInteractionApprove.hpp>
#include <com/sun/star/task/XInteractionHandler.hpp>
#include <com/sun/star/task/XInteractionRequest.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/text/XTextDocument.hpp>
#include <com/sun/star/text/XTextFieldsSupplier.hpp>
#include <com/sun/star/util/CellProtection.hpp>
#include <com/sun/star/util/NumberFormat.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <com/sun/star/util/XNumberFormatTypes.hpp>
#include <com/sun/star/util/XNumberFormats.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <com/sun/star/util/XProtectable.hpp>
#include <com/sun/star/util/XReplaceable.hpp>
#include <com/sun/star/util/XSearchable.hpp>
#include <cppuhelper/implbase1.hxx>
#include <osl/file.hxx>
#include <rtl/ref.hxx>

#include "office/automation.h"
#include "office/libreoffice/kept_parts.h"
#include "office/libreoffice/libreoffice_server.h"
#include "office/libreoffice/lock_files.h"
#include "office/libreoffice/office_process.h"
#include "office/libreoffice/uno_text.h"
#include "office/libreoffice/word_stories.h"
#include "platform/posix/safe_store.h"
#include "platform/posix/termination.h"

namespace office::libreoffice {

namespace fs = std::filesystem;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

[[noreturn]] inline void unknownMember() {
  throw AutomationError(kErrNoSuchMember, std::string(kNoSuchMemberText));
}

// The argument at a position, or by its name; nullptr when omitted.
inline const Variant* argument(const Arguments& args, std::size_t position, std::string_view name) {
  if (position < args.positional.size()) return &args.positional[position];
  for (const auto& [n, v] : args.named) {
    if (sameName(n, name)) return &v;
  }
  return nullptr;
}

inline const Variant& required(const Arguments& args, std::size_t position, std::string_view name) {
  const Variant* v = argument(args, position, name);
  if (v == nullptr)
    throw AutomationError(office::kErrArgumentNotOptional, "参数不可选：" + std::string(name));
  return *v;
}

// An optional boolean argument; false when omitted.
inline bool flag(const Arguments& args, std::size_t position, std::string_view name) {
  const Variant* v = argument(args, position, name);
  return v != nullptr && !v->isEmpty() && v->toBool();
}

inline css::beans::PropertyValue property(const char* name, const Any& value) {
  css::beans::PropertyValue p;
  p.Name = OUString::createFromAscii(name);
  p.Value = value;
  return p;
}

inline Sequence<css::beans::PropertyValue> properties(
    std::initializer_list<css::beans::PropertyValue> values) {
  Sequence<css::beans::PropertyValue> sequence(static_cast<sal_Int32>(values.size()));
  std::copy(values.begin(), values.end(), sequence.getArray());
  return sequence;
}

// The office reaches files by URL, and its URLs carry UTF-8 names only.
inline bool isUtf8Name(const std::string& bytes) {
  return toUtf8(toOUString(bytes)) == bytes;
}

// The documents our office may hold locked, with the profile it locks them
// as: when the program is ended by a signal, their lock files go with it.
// Each keeps its folder open from the load on, so that its lock is found
// even in a folder renamed during the run.
class HeldLocks {
 public:
  void add(const fs::path& document, const fs::path& profile) {
    std::lock_guard lock(mutex_);
    held_.push_back(std::make_unique<Held>(document, profile));
  }
  // Once the program is ending, nothing is forgotten any more: a document
  // whose close failed because the ending killed its office (a placement it
  // waited for had just finished) still has its lock beside it.
  void remove(const fs::path& document) {
    std::lock_guard lock(mutex_);
    if (platform::posix::programEnding()) return;
    std::erase_if(held_, [&](const auto& entry) { return entry->document == document; });
  }
  void clear() {
    std::lock_guard lock(mutex_);
    if (!platform::posix::programEnding()) held_.clear();
  }
  void removeLockFiles() const {
    std::lock_guard lock(mutex_);
    for (const auto& entry : held_) {
      removeOwnLock(entry->folder, entry->document.filename().string(), entry->profile);
    }
  }

 private:
  struct Held {
    Held(const fs::path& d, const fs::path& p)
        : document(d),
          profile(p),
          folder(::open(d.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC)) {}
    ~Held() {
      if (folder >= 0) ::close(folder);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;
    fs::path document;
    fs::path profile;
    int folder;
  };
  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<Held>> held_;
};

struct OpenDocument {
  Reference<css::lang::XComponent> component;
  fs::path path;
  bool workbook = false;
  // What the office loaded: only that file is written when it is stored.
  platform::posix::LoadedFile loaded;
  std::string filter;
  // A replacement reported hits: the document must be stored, even where the
  // office opened it read-only and so never counts it as modified.
  bool replaced = false;
  bool readOnly = false;

  // Reused by every search in the document: building a descriptor costs
  // about nine calls to the office, more than a search in a small file.
  struct Search {
    std::string what;
    std::string with;
    bool matchCase = false;
    bool wholeCell = false;
    Reference<css::util::XReplaceDescriptor> descriptor;
  };
  Search search;

  // A workbook's sheets, looked up once: the run asks for each several times.
  struct Sheet {
    Reference<css::sheet::XSpreadsheet> sheet;
    Reference<css::util::XReplaceable> replaceable;
    std::string name;
    // The cells that hold foundFor, row by row, for FindNext.
    std::optional<std::vector<std::pair<sal_Int32, sal_Int32>>> found;
    std::string foundFor;
    // What the last Cells.Find found on the sheet, for the Replace that
    // follows it with the same search: nothing found, or the cells.
    Reference<css::container::XIndexAccess> lastFound;
    Reference<css::util::XSearchDescriptor> lastFoundWith;
  };
  std::optional<std::vector<Sheet>> sheets;
  // A text document's stories, looked up on first use.
  std::shared_ptr<WordStories> stories;
  // Cells whose text begins with what makes typed input a formula or a sign.
  Reference<css::util::XSearchDescriptor> leadingMarks;
  // Whether the workbook links to cells of other files, asked once.
  std::optional<bool> externalLinks;
  // What the file held beyond its text, read from it on first use.
  std::optional<Holdings> holdings;
  // Its number formats, and which of them are the text format.
  Reference<css::util::XNumberFormats> numberFormats;
  std::map<sal_Int32, bool> textFormats;
  // The sheet activated last; made the view's active sheet before storing,
  // the only moment a hidden workbook's active sheet matters.
  Reference<css::sheet::XSpreadsheet> active;
};

class Session {
 public:
  Session(Installation installation, const Options& options)
      : installation_(installation),
        options_(options),
        process_(std::move(installation), options.startTimeout, options.messagesSent) {}

  ~Session() { quit(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

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
    } catch (const css::lang::DisposedException&) {
      throw markGone();
    } catch (const css::uno::RuntimeException& e) {
      if (process_.started() && !process_.running()) throw markGone();
      throw AutomationError(kErrFailed, "LibreOffice：" + toUtf8(e.Message));
    } catch (const css::uno::Exception& e) {
      throw AutomationError(kErrFailed, "LibreOffice：" + toUtf8(e.Message));
    }
  }

  // readOnly: loaded for reading only (a workbook's rules), also from a file
  // or folder we may not write; it is never stored.
  std::shared_ptr<OpenDocument> open(const std::string& path, bool workbook, bool readOnly = false);
  // Stores the document if it changed (when save), then closes it.
  void close(const std::shared_ptr<OpenDocument>& document, bool save);
  // Whatever made the document change: it must be stored when closed with saving.
  static void noteReplaced(OpenDocument& document) { document.replaced = true; }
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

  // The bridge's own words (where in its source it noticed) tell the user
  // nothing: the office ended while it had this file.
  AutomationError markGone() {
    gone_ = true;
    goneWhy_ = process_.watchdogFired() ? "处理超时，LibreOffice 已被终止"
                                        : "LibreOffice 已停止响应（办公软件处理此文件时意外退出）";
    // A killed office leaves its lock files beside our documents, also beside
    // the one it was still loading; a lock of anybody else stays.
    process_.kill();
    held_->removeLockFiles();
    held_->clear();
    docs_.clear();
    books_.clear();
    process_.stop();
    return serverGone(goneWhy_);
  }

  void startOffice() {
    if (startFailure_) throw *startFailure_;
    // An office that ended between documents held nothing of ours: the next
    // document gets a fresh one, and does not take the blame.
    if (process_.started() && docs_.empty() && books_.empty() && !process_.running()) {
      process_.stop();
    }
    if (process_.started()) return;
    try {
      process_.start();
    } catch (const AutomationError& e) {
      if (renewing_) {
        // The server worked until it was renewed: the run gets a fresh
        // server rather than every remaining file failing.
        gone_ = true;
        goneWhy_ = e.description();
        throw serverGone(goneWhy_);
      }
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

  void store(OpenDocument& document);
  // The URL the office loads a document from: its own path, or for a name
  // that is not UTF-8, a link to it in our private folder.
  OUString loadUrl(const fs::path& file);
  // A file of ours in the private folder standing for document: the office
  // tells formats by the extension, which is kept where it is UTF-8.
  fs::path privateFile(const std::string& stem, const fs::path& document) const {
    const std::string extension = document.extension().native();
    return process_.folder() / (stem + (isUtf8Name(extension) ? extension : std::string()));
  }
  // Fails a document the office could read but not write back, before anything
  // is changed in it.
  void requireWritableFormat(const std::string& filter, bool workbook);
  // Where the original of document is kept before it is stored: "" for
  // nowhere. A document outside the backup root fails rather than being
  // stored without its backup.
  fs::path backupPath(const fs::path& document) const {
    const fs::path& root = options_.backupPlace ? options_.backupPlace->root : options_.backupRoot;
    const fs::path& folder =
        options_.backupPlace ? options_.backupPlace->folder : options_.backupFolder;
    if (folder.empty()) return {};
    const fs::path relative = document.lexically_relative(root);
    if (relative.empty() || *relative.begin() == "..") {
      throw AutomationError(kErrFailed, "无法备份文档：不在要替换的文件夹里，未作改动");
    }
    return folder / relative;
  }
  // Between documents: a fresh office once this one has served many or grown
  // large, since the office's memory grows with every document it opens.
  void recycleIfDue();

  Installation installation_;
  Options options_;
  OfficeProcess process_;
  std::vector<std::shared_ptr<OpenDocument>> docs_;
  std::vector<std::shared_ptr<OpenDocument>> books_;
  std::optional<AutomationError> startFailure_;
  std::set<fs::path> recoveredFolders_;
  const std::shared_ptr<HeldLocks> held_ = std::make_shared<HeldLocks>();
  platform::posix::TerminationCleanup endWithLocks_{[held = held_] { held->removeLockFiles(); }};
  std::map<std::string, bool> writableFilters_;
  unsigned servedSinceStart_ = 0;
  bool renewing_ = false;
  bool gone_ = false;
  bool quit_ = false;
  std::string goneWhy_;
};

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

// Word's error for a member of a collection the document does not have.
inline AutomationError noSuchMember() {
  return AutomationError(kErrNoSuchItem, "集合所要求的成员不存在");
}

// The document's descriptor for a literal search of what, built through
// replaceable (any searchable part of the document) when the document has none
// for it yet; its replacement set to with.
const Reference<css::util::XReplaceDescriptor>& descriptorFor(
    OpenDocument& document, const Reference<css::util::XReplaceable>& replaceable,
    const std::string& what, const std::string& with, bool matchCase, bool wholeCell);

Reference<css::uno::XInterface> firstFound(OpenDocument& document,
                                           const Reference<css::util::XReplaceable>& target,
                                           const std::string& text, bool matchCase = false,
                                           bool wholeCell = false);

bool findIn(OpenDocument& document, const Reference<css::util::XReplaceable>& target,
            const std::string& text, bool matchCase = false, bool wholeCell = false);

sal_Int32 replaceIn(OpenDocument& document, const Reference<css::util::XReplaceable>& target,
                    const std::string& what, const std::string& with, bool matchCase = false,
                    bool wholeCell = false);

// A replacement that changed nothing while the text is still there met a part
// the office will not change (a protected section, field or cell): saying
// nothing would let the run report the file as replaced.
void requireNothingLeft(bool stillFound);

// A workbook's sheets, in order, looked up on first use.
std::vector<OpenDocument::Sheet>& sheetsOf(OpenDocument& workbook);

// What the document's file held beyond its text, read from it once.
const Holdings& holdingsOfOriginal(OpenDocument& document);

}  // namespace office::libreoffice
