#include "office/libreoffice/libreoffice_server.h"

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

#include "office/libreoffice/cell_text_rules.h"
#include "office/libreoffice/filters.h"
#include "office/libreoffice/kept_parts.h"
#include "office/libreoffice/lock_files.h"
#include "office/libreoffice/office_process.h"
#include "office/libreoffice/safe_store.h"
#include "office/libreoffice/stored_file_check.h"
#include "office/libreoffice/temporary_space.h"
#include "office/libreoffice/termination.h"
#include "office/libreoffice/uno_text.h"
#include "office/libreoffice/word_stories.h"
#include "text/letter_case.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace office::libreoffice {

namespace fs = std::filesystem;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;

namespace {

// ---- helpers ----

// A document the private folder has no room for, before or after the office
// tried.
constexpr std::string_view kNoRoomText = "临时文件夹空间不足，未作改动";

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
  if (v == nullptr)
    throw AutomationError(office::kErrArgumentNotOptional, "参数不可选：" + std::string(name));
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

// A system error's text is our own step, then the system's words in the
// locale's codeset.
std::string systemErrorText(const std::system_error& e) {
  std::string text = e.what();
  const std::string system = e.code().message();
  if (text.ends_with(system)) {
    text.replace(text.size() - system.size(), system.size(), text::errorText(e.code()));
  }
  return text;
}

// The office reaches files by URL, and its URLs carry UTF-8 names only.
bool isUtf8Name(const std::string& bytes) {
  return toUtf8(toOUString(bytes)) == bytes;
}

// The view a text document is opened in: the page preview. Search needs a
// view's layout (text without one is never found), but the editing view
// builds a window for each comment from UI files that the office's headless
// packages do not ship (swriter/ui/annotation.ui), and the office aborts on
// any document with a comment. The preview lays the pages out and shows no
// comments. Its number is fixed: the office stores it in documents to
// reopen them in the view they were left in. A workbook keeps its editing
// view, through which its active sheet is set.
constexpr sal_Int16 kTextPagePreview = 7;

constexpr std::string_view kEncryptedText = "文档已加密";
constexpr std::string_view kUnreadableText = "办公软件无法读取此文件";
constexpr std::string_view kUnknownFormatText = "文件格式无法识别";

// A load failure the office reports by its error code (an ErrCode: its class
// in bits 8 to 12), in the user's words.
std::string loadErrorText(sal_uInt32 code) {
  switch ((code >> 8) & 0x1f) {
    case 3:  // not there
    case 6:  // bad path
      return "找不到文件";
    case 5:
      return "没有读取文件的权限";
    case 7:
      return "文档已被其他程序锁定";
    case 9:
      return "磁盘空间不足";
    case 10:  // not supported
    case 13:  // unknown
      return std::string(kUnknownFormatText);
    case 11:  // read
    case 15:  // format
    case 17:  // import
      return "文档已损坏";
    case 14:
      return "文档格式的版本不受支持";
    default:
      return std::string(kUnreadableText);
  }
}

// Answers every question the office asks while loading with "abort", and
// keeps what was asked, to say why the document did not open.
class AbortingHandler : public cppu::WeakImplHelper1<css::task::XInteractionHandler> {
 public:
  void SAL_CALL handle(const Reference<css::task::XInteractionRequest>& request) override {
    const auto continuations = request->getContinuations();
    const Any asked = request->getRequest();
    const OUString type = asked.getValueTypeName();
    // A lock file that cannot be made at all (the name leaves no room for
    // ".~lock.…#") means nobody else can hold one either: open it anyway.
    if (type.endsWith("LockFileIgnoreRequest")) {
      for (const auto& c : continuations) {
        Reference<css::task::XInteractionApprove> approve(c, UNO_QUERY);
        if (approve.is()) {
          approve->select();
          return;
        }
      }
    }
    {
      std::lock_guard lock(mutex_);
      seen_.push_back(toUtf8(type));
      css::task::ErrorCodeRequest failure;
      if (!errorCode_ && (asked >>= failure)) {
        errorCode_ = static_cast<sal_uInt32>(failure.ErrCode);
      }
    }
    for (const auto& c : continuations) {
      Reference<css::task::XInteractionAbort> abort(c, UNO_QUERY);
      if (abort.is()) {
        abort->select();
        return;
      }
    }
  }

  // Why the document did not open, in the user's words; "" when nothing was
  // asked.
  std::string why() const {
    std::lock_guard lock(mutex_);
    for (const std::string& type : seen_) {
      if (type.find("PasswordRequest") != std::string::npos) return std::string(kEncryptedText);
      if (type.find("Lock") != std::string::npos) return "文档已被其他程序锁定";
      if (type.find("BrokenPackage") != std::string::npos) return "文档已损坏";
      if (type.find("FilterOptions") != std::string::npos) return "文件格式无法识别";
    }
    if (errorCode_) return loadErrorText(*errorCode_);
    for (const std::string& type : seen_) {
      if (type.find("IOException") != std::string::npos) return "无法读取文件";
    }
    return seen_.empty() ? std::string() : std::string(kUnreadableText);
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> seen_;
  // The office's own code for the first failure it reported by asking.
  std::optional<sal_uInt32> errorCode_;
};

// ---- one server: its office process and the documents open in it ----

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
    if (programEnding()) return;
    std::erase_if(held_, [&](const auto& entry) { return entry->document == document; });
  }
  void clear() {
    std::lock_guard lock(mutex_);
    if (!programEnding()) held_.clear();
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
  LoadedFile loaded;
  std::string filter;
  // A replacement reported hits: the document must be stored, even where the
  // office opened it read-only and so never counts it as modified.
  bool replaced = false;

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

  std::shared_ptr<OpenDocument> open(const std::string& path, bool workbook);
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
    if (options_.backupFolder.empty()) return {};
    const fs::path relative = document.lexically_relative(options_.backupRoot);
    if (relative.empty() || *relative.begin() == "..") {
      throw AutomationError(kErrFailed, "无法备份文档：不在要替换的文件夹里，未作改动");
    }
    return options_.backupFolder / relative;
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
  TerminationCleanup endWithLocks_{[held = held_] { held->removeLockFiles(); }};
  std::map<std::string, bool> writableFilters_;
  unsigned servedSinceStart_ = 0;
  bool renewing_ = false;
  bool gone_ = false;
  bool quit_ = false;
  std::string goneWhy_;
};

std::shared_ptr<OpenDocument> Session::open(const std::string& path, bool workbook) {
  std::error_code ec;
  const fs::path file = fs::absolute(text::pathFromUtf8(path), ec).lexically_normal();
  // A write that a killed run left half done is finished before anything
  // reads the folder's files.
  // (Through a symbolic link, what a write left is beside the link's target.)
  const fs::path target = fs::canonical(file, ec);
  for (const fs::path& folder : {file.parent_path(), ec ? fs::path() : target.parent_path()}) {
    if (!folder.empty() && recoveredFolders_.insert(folder).second) recoverFolder(folder);
  }
  // Listed as a file, it may have been replaced by something else since.
  switch (fs::status(file, ec).type()) {
    case fs::file_type::regular:
      break;
    case fs::file_type::directory:
      throw AutomationError(kErrFailed, "不是文件而是文件夹，未作改动");
    case fs::file_type::not_found:
    case fs::file_type::none:
    case fs::file_type::unknown:
      throw AutomationError(kErrFileNotFound, "找不到文件：" + path);
    default:
      throw AutomationError(kErrFailed, "不是普通文件，未作改动");
  }
  switch (writeBlock(file)) {
    case WriteBlock::ReadOnlyFile:
      throw AutomationError(kErrFailed, "文件只读，未作改动");
    case WriteBlock::ReadOnlyFolder:
      throw AutomationError(kErrFailed, "文件夹不可写，未作改动");
    case WriteBlock::None:
      break;
  }
  removeStaleLock(file);
  startOffice();
  const OUString url = loadUrl(file);
  // Taken before the load: a change from here on, even one the office still
  // read, makes the store refuse rather than write over it.
  LoadedFile loaded;
  try {
    loaded = loadedFile(file);
  } catch (const std::system_error&) {
    throw AutomationError(kErrFileNotFound, "找不到文件：" + path);
  }

  // Given a document it has no room for, the office does not fail plainly
  // (see temporary_space.h): the document fails here, untouched.
  {
    const std::uintmax_t size = fs::file_size(file, ec);
    if (!roomForDocument(process_.folder(), ec ? 0 : size)) {
      throw AutomationError(kErrFailed, std::string(kNoRoomText));
    }
  }

  process_.arm(options_.documentTimeout);
  held_->add(file, process_.profileFolder());
  rtl::Reference<AbortingHandler> handler(new AbortingHandler);
  auto loadProperties = properties({
      property("Hidden", Any(true)),
      property("MacroExecutionMode", Any(css::document::MacroExecMode::NEVER_EXECUTE)),
      property("UpdateDocMode", Any(css::document::UpdateDocMode::NO_UPDATE)),
      property("InteractionHandler", Any(Reference<css::task::XInteractionHandler>(handler.get()))),
  });
  if (!workbook) {
    loadProperties.realloc(loadProperties.getLength() + 1);
    loadProperties.getArray()[loadProperties.getLength() - 1] =
        property("ViewId", Any(kTextPagePreview));
  }
  // This document holds no lock of ours any more, nor the watchdog.
  const auto forget = [this, &file] {
    held_->remove(file);
    process_.disarm();
  };
  Reference<css::lang::XComponent> component;
  try {
    Reference<css::frame::XComponentLoader> loader(process_.desktop(), UNO_QUERY_THROW);
    component = loader->loadComponentFromURL(url, "_blank", 0, loadProperties);
  } catch (const css::lang::DisposedException&) {
    throw;
  } catch (const css::lang::IllegalArgumentException&) {
    // The loader's word for a file whose kind it could not tell, also when it
    // stopped telling because a question it asked was declined.
    forget();
    const std::string why = handler->why();
    throw AutomationError(kErrFailed,
                          "无法打开文档：" + (why.empty() ? std::string(kUnknownFormatText) : why));
  } catch (const css::uno::RuntimeException&) {
    // A gone office is handled by the caller, who needs to know what it was
    // loading; one that is still there just failed this document.
    if (process_.running()) forget();
    throw;
  } catch (const css::task::ErrorCodeIOException& e) {
    forget();
    const std::string why = handler->why();
    throw AutomationError(kErrFailed,
                          "无法打开文档：" + (why.empty() ? loadErrorText(e.ErrCode) : why));
  } catch (const css::uno::Exception&) {
    forget();
    const std::string why = handler->why();
    throw AutomationError(kErrFailed,
                          "无法打开文档：" + (why.empty() ? std::string(kUnreadableText) : why));
  }
  if (!component.is()) {
    forget();
    const std::string why = handler->why();
    throw AutomationError(kErrFailed, "无法打开文档" + (why.empty() ? "" : "：" + why));
  }

  std::string filter;
  try {
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
      throw AutomationError(
          kErrFailed, std::string(workbook ? "不是 Excel 工作簿" : "不是 Word 文档") +
                          "（文件格式：" + (filter.empty() ? "未知" : filter) + "），未作改动");
    }
    requireWritableFormat(filter, workbook);
  } catch (const css::lang::DisposedException&) {
    throw;  // the office is gone: its documents and locks go with markGone
  } catch (const css::uno::RuntimeException&) {
    // As while loading: a gone office's lock is the caller's to remove.
    if (process_.running()) {
      closeQuietly(component);
      forget();
    }
    throw;
  } catch (...) {
    closeQuietly(component);
    forget();
    throw;
  }
  auto document = std::make_shared<OpenDocument>();
  document->component = component;
  document->path = file;
  document->loaded = loaded;
  document->filter = filter;
  document->workbook = workbook;
  (workbook ? books_ : docs_).push_back(document);
  return document;
}

OUString Session::loadUrl(const fs::path& file) {
  fs::path target = file;
  if (!isUtf8Name(file.native())) {
    target = privateFile("open", file);
    std::error_code ec;
    fs::remove(target, ec);
    fs::create_symlink(file, target, ec);
    if (ec) {
      throw AutomationError(kErrFailed, "无法打开文档：" + text::errorText(ec));
    }
  }
  OUString url;
  if (osl::FileBase::getFileURLFromSystemPath(toOUString(target.native()), url) !=
      osl::FileBase::E_None) {
    throw AutomationError(kErrFailed, "无法打开文档：路径无效");
  }
  return url;
}

void Session::requireWritableFormat(const std::string& filter, bool workbook) {
  auto known = writableFilters_.find(filter);
  if (known == writableFilters_.end()) {
    bool writable = false;
    Reference<css::container::XNameAccess> filters(
        process_.context()->getServiceManager()->createInstanceWithContext(
            "com.sun.star.document.FilterFactory", process_.context()),
        UNO_QUERY_THROW);
    Sequence<css::beans::PropertyValue> description;
    if (filters->hasByName(toOUString(filter)) &&
        (filters->getByName(toOUString(filter)) >>= description)) {
      for (const auto& p : description) {
        sal_Int32 flags = 0;
        if (p.Name == "Flags" && (p.Value >>= flags)) writable = isWritableFilter(flags);
      }
    }
    known = writableFilters_.emplace(filter, writable).first;
  }
  if (!known->second) {
    throw AutomationError(
        kErrFailed, std::string(workbook ? "无法保存此工作簿" : "无法保存此文档") + "（文件格式：" +
                        filter + "）办公软件只能读取这种格式，未作改动");
  }
}

const Holdings& holdingsOfOriginal(OpenDocument& document) {
  if (!document.holdings) {
    document.holdings = holdingsOf(document.path, storedFormat(document.filter));
  }
  return *document.holdings;
}

// The office writes the new content inside our private folder only; the
// document then takes it in one step (see safe_store.h), so that it is never
// seen half written, nor written through a link planted beside it.
void Session::store(OpenDocument& document) {
  if (!document.replaced) {
    Reference<css::util::XModifiable> modifiable(document.component, UNO_QUERY);
    if (modifiable.is() && !modifiable->isModified()) return;
  }
  if (document.active.is()) {
    Reference<css::frame::XModel> model(document.component, UNO_QUERY);
    Reference<css::sheet::XSpreadsheetView> view(
        model.is() ? model->getCurrentController() : nullptr, UNO_QUERY);
    if (view.is()) view->setActiveSheet(document.active);
  }
  const fs::path backup = backupPath(document.path);
  const fs::path content = privateFile("new", document.path);
  OUString url;
  osl::FileBase::getFileURLFromSystemPath(toOUString(content.native()), url);
  auto discard = [&content] {
    std::error_code ec;
    fs::remove(content, ec);
  };
  // A store that went wrong where the private folder has run out of room is
  // put down to the room, the one thing the user can mend.
  auto failed = [&](const std::string& why) {
    discard();
    std::error_code ec;
    const std::uintmax_t size = fs::file_size(document.path, ec);
    const bool room = roomForDocument(process_.folder(), ec ? 0 : size);
    return AutomationError(kErrFailed, room ? why : std::string(kNoRoomText));
  };
  try {
    Reference<css::frame::XStorable> storable(document.component, UNO_QUERY_THROW);
    storable->storeToURL(url, properties({property("FilterName", Any(toOUString(document.filter))),
                                          property("Overwrite", Any(true))}));
  } catch (const css::uno::RuntimeException&) {
    discard();
    throw;
  } catch (const css::uno::Exception& e) {
    throw failed("无法保存文档：" + toUtf8(e.Message));
  }
  std::error_code ec;
  if (!fs::is_regular_file(content, ec) || fs::file_size(content, ec) == 0) {
    throw failed("无法保存文档：办公软件没有写出文件");
  }
  // The office may return from a store as if all went well and leave a file
  // cut short or holding no document: only a whole one takes the document's
  // place.
  const StoredFormat format = storedFormat(document.filter);
  if (checkStoredFile(content, format) != StoredFault::None) {
    throw failed("无法保存文档：办公软件写出的文件不完整，未作改动");
  }
  // Nor one that left out what the office read but could not write back.
  const std::string lost = lostParts(holdingsOfOriginal(document), holdingsOf(content, format));
  if (!lost.empty()) {
    discard();
    throw AutomationError(kErrFailed, "保存后会丢失：" + lost + "，未作改动");
  }
  // Placing is our own work, however long a large file on a slow disk takes:
  // the watchdog is for the office.
  process_.disarm();
  try {
    placeContent(content, document.path, document.loaded, backup);
  } catch (const ChangedSinceLoad&) {
    discard();
    process_.arm(options_.documentTimeout);
    throw AutomationError(kErrFailed, "文件在处理期间被其他程序修改，未作改动");
  } catch (const std::system_error& e) {
    discard();
    process_.arm(options_.documentTimeout);
    throw AutomationError(kErrFailed, "无法保存文档：" + systemErrorText(e));
  }
  process_.arm(options_.documentTimeout);
  discard();
}

void Session::close(const std::shared_ptr<OpenDocument>& document, bool save) {
  if (save) store(*document);
  closeQuietly(document->component);
  held_->remove(document->path);
  for (auto* list : {&docs_, &books_}) {
    std::erase(*list, document);
  }
  if (docs_.empty() && books_.empty()) {
    process_.disarm();
    ++servedSinceStart_;
    recycleIfDue();
  }
}

void Session::recycleIfDue() {
  if (servedSinceStart_ < options_.recycleAfterDocuments &&
      process_.residentBytes() < options_.recycleAboveBytes) {
    return;
  }
  servedSinceStart_ = 0;
  renewing_ = true;
  process_.stop();
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

// The document's descriptor for a literal search of what, built through
// replaceable (any searchable part of the document) when the document has none
// for it yet; its replacement set to with.
const Reference<css::util::XReplaceDescriptor>& descriptorFor(
    OpenDocument& document, const Reference<css::util::XReplaceable>& replaceable,
    const std::string& what, const std::string& with, bool matchCase, bool wholeCell) {
  OpenDocument::Search& search = document.search;
  if (!search.descriptor.is() || search.what != what || search.matchCase != matchCase ||
      search.wholeCell != wholeCell) {
    search = OpenDocument::Search{what, {}, matchCase, wholeCell, nullptr};
    auto descriptor = replaceable->createReplaceDescriptor();
    descriptor->setSearchString(toOUString(what));
    // A fresh descriptor of either kind of document searches literally,
    // forwards, ignoring case, within words (regular expressions, similarity,
    // case, words and backwards all off): only what differs costs a call,
    // which on a small workbook is a tenth of all it costs.
    if (matchCase) descriptor->setPropertyValue("SearchCaseSensitive", Any(true));
    if (wholeCell) descriptor->setPropertyValue("SearchWords", Any(true));
    // A workbook's search passes over rows a filter hides, which Excel's
    // Replace does not: the text there would stay while the sheet reads as
    // replaced.
    if (document.workbook) descriptor->setPropertyValue("SearchFiltered", Any(true));
    search.descriptor = descriptor;
  }
  if (search.with != with) {
    search.descriptor->setReplaceString(toOUString(with));
    search.with = with;
  }
  return search.descriptor;
}

Reference<css::uno::XInterface> firstFound(OpenDocument& document,
                                           const Reference<css::util::XReplaceable>& target,
                                           const std::string& text, bool matchCase = false,
                                           bool wholeCell = false) {
  if (text.empty()) return {};
  const auto& descriptor =
      descriptorFor(document, target, text, document.search.with, matchCase, wholeCell);
  return target->findFirst(Reference<css::util::XSearchDescriptor>(descriptor.get()));
}

bool findIn(OpenDocument& document, const Reference<css::util::XReplaceable>& target,
            const std::string& text, bool matchCase = false, bool wholeCell = false) {
  return firstFound(document, target, text, matchCase, wholeCell).is();
}

sal_Int32 replaceIn(OpenDocument& document, const Reference<css::util::XReplaceable>& target,
                    const std::string& what, const std::string& with, bool matchCase = false,
                    bool wholeCell = false) {
  if (what.empty()) return 0;
  const auto& descriptor = descriptorFor(document, target, what, with, matchCase, wholeCell);
  return target->replaceAll(Reference<css::util::XSearchDescriptor>(descriptor.get()));
}

// A replacement that changed nothing while the text is still there met a part
// the office will not change (a protected section, field or cell): saying
// nothing would let the run report the file as replaced.
void requireNothingLeft(bool stillFound) {
  if (stillFound) {
    throw AutomationError(kErrFailed, "找到的内容位于不能修改的部分（受保护的区域），未作改动");
  }
}

// A cell's text set through its text is never read as input, but takes the
// text number format: its own is put back.
void setCellText(const Reference<css::table::XCell>& cell, const std::string& value) {
  static const OUString kFormat = "NumberFormat";
  Reference<css::beans::XPropertySet> properties(cell, UNO_QUERY_THROW);
  const Any format = properties->getPropertyValue(kFormat);
  Reference<css::text::XText>(cell, UNO_QUERY_THROW)->setString(toOUString(value));
  properties->setPropertyValue(kFormat, format);
}

// Calls visit with each cell of ranges, as the address of that cell alone.
template <typename Visit>
void forEachCell(const Sequence<css::table::CellRangeAddress>& ranges, const Visit& visit) {
  for (const auto& a : ranges) {
    for (sal_Int32 r = a.StartRow; r <= a.EndRow; ++r) {
      for (sal_Int32 c = a.StartColumn; c <= a.EndColumn; ++c) {
        visit(css::table::CellRangeAddress(a.Sheet, c, r, c, r));
      }
    }
  }
}

// Leaves cells out of found, the office's container of found cells.
void takeOut(const Reference<css::container::XIndexAccess>& found,
             const std::vector<css::table::CellRangeAddress>& cells) {
  if (cells.empty()) return;
  Reference<css::sheet::XSheetCellRangeContainer>(found, UNO_QUERY_THROW)
      ->removeRangeAddresses(Sequence<css::table::CellRangeAddress>(
          cells.data(), static_cast<sal_Int32>(cells.size())));
}

// Every occurrence on a sheet replaced, each text cell kept text with the
// exact replaced string, where the office's own replacement would not: it
// re-reads a replaced cell as typed input, which would make the text "00123-"
// the number -123. Those text cells are written here, as text, with their own
// number format kept; the office replaces all the rest (numbers, dates,
// formulas, and texts it keeps text anyway) as it always has. found: the
// sheet's cells that hold what (empty: none). The number of cells replaced.
sal_Int32 replaceKeepingText(const Reference<css::sheet::XSpreadsheet>& sheet,
                             const Reference<css::util::XReplaceable>& cells,
                             const Reference<css::util::XSearchDescriptor>& descriptor,
                             const Reference<css::container::XIndexAccess>& found,
                             const std::string& what, const std::string& with, bool matchCase,
                             bool wholeCell, bool linksToOtherFiles,
                             const std::function<bool(sal_Int32)>& textFormat) {
  if (!found.is()) return 0;
  Reference<css::sheet::XCellRangesQuery> query(found, UNO_QUERY_THROW);
  const Sequence<css::table::CellRangeAddress> text =
      query->queryContentCells(css::sheet::CellFlags::STRING)->getRangeAddresses();
  struct Write {
    sal_Int32 column, row;
    std::string value;
  };
  std::vector<Write> writes;
  if (text.getLength() > 0) {
    // The texts of the found text cells, in one request for the block around
    // them where it is of reasonable size, else range by range.
    css::table::CellRangeAddress box = text[0];
    for (const auto& a : text) {
      box.StartColumn = std::min(box.StartColumn, a.StartColumn);
      box.StartRow = std::min(box.StartRow, a.StartRow);
      box.EndColumn = std::max(box.EndColumn, a.EndColumn);
      box.EndRow = std::max(box.EndRow, a.EndRow);
    }
    const auto area = static_cast<std::int64_t>(box.EndColumn - box.StartColumn + 1) *
                      (box.EndRow - box.StartRow + 1);
    const auto dataOf = [&](const css::table::CellRangeAddress& a) {
      return Reference<css::sheet::XCellRangeData>(
                 sheet->getCellRangeByPosition(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow),
                 UNO_QUERY_THROW)
          ->getDataArray();
    };
    const auto consider = [&](const Sequence<Sequence<Any>>& data,
                              const css::table::CellRangeAddress& origin,
                              const css::table::CellRangeAddress& a) {
      for (sal_Int32 r = a.StartRow; r <= a.EndRow; ++r) {
        for (sal_Int32 c = a.StartColumn; c <= a.EndColumn; ++c) {
          OUString old;
          data[r - origin.StartRow][c - origin.StartColumn] >>= old;
          auto value = replacedText(toUtf8(old), what, with, matchCase, wholeCell);
          if (value && couldReadAsOtherThanText(*value))
            writes.push_back({c, r, std::move(*value)});
        }
      }
    };
    if (area <= 1'000'000) {
      const auto data = dataOf(box);
      for (const auto& a : text) consider(data, box, a);
    } else {
      for (const auto& a : text) consider(dataOf(a), a, a);
    }
  }
  // The office re-reads a replaced formula as input, which in a cell formatted
  // as text makes it a text: the found formulas have the standard format
  // during its replacement, and their own after it. Where the workbook links
  // to other files, the office's replacement would reach the links' paths:
  // formulas are then replaced here, outside the paths (an array formula,
  // which cannot be set cell by cell, is left to the office).
  const Reference<css::sheet::XSheetCellRanges> formulaRanges =
      query->queryContentCells(css::sheet::CellFlags::FORMULA);
  const Sequence<css::table::CellRangeAddress> formulaCells = formulaRanges->getRangeAddresses();
  std::vector<Write> formulas;
  std::vector<css::table::CellRangeAddress> formulasOfMine;
  std::vector<css::table::CellRangeAddress> ofTheOffice;
  forEachCell(formulaCells, [&](const css::table::CellRangeAddress& cell) {
    if (linksToOtherFiles) {
      const std::string formula =
          toUtf8(sheet->getCellByPosition(cell.StartColumn, cell.StartRow)->getFormula());
      if (!formula.starts_with("{")) {
        formulasOfMine.push_back(cell);
        auto value = replacedOutsideLinks(formula, what, with, matchCase, wholeCell);
        if (value) formulas.push_back({cell.StartColumn, cell.StartRow, std::move(*value)});
        return;
      }
    }
    ofTheOffice.push_back(cell);
  });
  static const OUString kFormat = "NumberFormat";
  std::vector<std::pair<Reference<css::beans::XPropertySet>, Any>> formats;
  const auto keepIfText = [&](const Reference<css::beans::XPropertySet>& cells) {
    const Any key = cells->getPropertyValue(kFormat);
    sal_Int32 number = 0;
    if ((key >>= number) && textFormat(number)) formats.emplace_back(cells, key);
  };
  if (!ofTheOffice.empty()) {
    // Usually all of one format, read in one call (the office answers the
    // standard format for cells of several: it is asked first). Only the
    // cells formatted as text get the standard format: the office formats a
    // date's formula for dates again after it, whatever it had.
    Reference<css::beans::XPropertySet> all(formulaRanges, UNO_QUERY_THROW);
    const bool oneFormat =
        !linksToOtherFiles &&
        Reference<css::beans::XPropertyState>(formulaRanges, UNO_QUERY_THROW)
                ->getPropertyState(kFormat) != css::beans::PropertyState_AMBIGUOUS_VALUE;
    if (oneFormat) {
      keepIfText(all);
    } else {
      for (const auto& a : ofTheOffice) {
        keepIfText(Reference<css::beans::XPropertySet>(
            sheet->getCellByPosition(a.StartColumn, a.StartRow), UNO_QUERY_THROW));
      }
    }
    for (const auto& entry : formats) {
      entry.first->setPropertyValue(kFormat, Any(sal_Int32(0)));  // the standard format
    }
  }
  const auto formatsBack = [&formats] {
    for (const auto& [cells, format] : formats) cells->setPropertyValue(kFormat, format);
  };
  sal_Int32 replaced = 0;
  try {
    if (writes.empty() && formulasOfMine.empty()) {
      replaced = cells->replaceAll(descriptor);
      formatsBack();
      return replaced;
    }
    // The cells written here are left out of the office's replacement, which
    // then covers only the rest of the found cells.
    std::vector<css::table::CellRangeAddress> mine = formulasOfMine;
    const sal_Int16 sheetIndex = text.getLength() > 0 ? text[0].Sheet : formulaCells[0].Sheet;
    for (const Write& w : writes) mine.emplace_back(sheetIndex, w.column, w.row, w.column, w.row);
    takeOut(found, mine);
    if (found->getCount() > 0) {
      replaced +=
          Reference<css::util::XReplaceable>(found, UNO_QUERY_THROW)->replaceAll(descriptor);
    }
  } catch (...) {
    formatsBack();
    throw;
  }
  formatsBack();
  for (const Write& w : writes) {
    setCellText(sheet->getCellByPosition(w.column, w.row), w.value);
    ++replaced;
  }
  for (const Write& w : formulas) {
    sheet->getCellByPosition(w.column, w.row)->setFormula(toOUString(w.value));
    ++replaced;
  }
  return replaced;
}

// The found cells of a protected sheet replaced one by one, since the
// office's replacement refuses such a sheet as a whole. A text cell stays
// text; a formula is replaced and read as input, as Excel's Replace does.
// found: the sheet's cells that hold what, none of them locked. The cells
// replaced, and those left: a date or formatted number the office found by
// the text it shows (its formula is the bare number), or a part of an array
// formula, cannot be set here.
std::pair<sal_Int32, sal_Int32> replaceCellByCell(
    const Reference<css::sheet::XSpreadsheet>& sheet,
    const Reference<css::container::XIndexAccess>& found, const std::string& what,
    const std::string& with, bool matchCase, bool wholeCell) {
  sal_Int32 replaced = 0;
  sal_Int32 left = 0;
  forEachCell(
      Reference<css::sheet::XSheetCellRangeContainer>(found, UNO_QUERY_THROW)->getRangeAddresses(),
      [&](const css::table::CellRangeAddress& at) {
        const auto cell = sheet->getCellByPosition(at.StartColumn, at.StartRow);
        const bool text = cell->getType() == css::table::CellContentType_TEXT;
        const std::string old =
            text ? toUtf8(Reference<css::text::XText>(cell, UNO_QUERY_THROW)->getString())
                 : toUtf8(cell->getFormula());
        const auto value = text ? replacedText(old, what, with, matchCase, wholeCell)
                           : !old.starts_with("{")
                               ? replacedOutsideLinks(old, what, with, matchCase, wholeCell)
                               : std::nullopt;
        if (!value) {
          ++left;
        } else if (text) {
          setCellText(cell, *value);
          ++replaced;
        } else {
          cell->setFormula(toOUString(*value));
          ++replaced;
        }
      });
  return {replaced, left};
}

// The found cells that are a hyperlink, replaced inside the link's text and
// taken out of found: the office's replacement would make them plain text,
// losing the link. A hyperlink cell, as Excel makes it, is one link field
// that is the whole of the cell's text; other cells are left to the office.
// The number of cells replaced.
sal_Int32 replaceInHyperlinks(const Reference<css::sheet::XSpreadsheet>& sheet,
                              const Reference<css::container::XIndexAccess>& found,
                              const std::string& what, const std::string& with, bool matchCase,
                              bool wholeCell) {
  static const OUString kRepresentation = "Representation";
  std::vector<css::table::CellRangeAddress> linked;
  // Cells whose text is more than plain text: links among them.
  forEachCell(Reference<css::sheet::XCellRangesQuery>(found, UNO_QUERY_THROW)
                  ->queryContentCells(css::sheet::CellFlags::FORMATTED)
                  ->getRangeAddresses(),
              [&](const css::table::CellRangeAddress& at) {
                const auto cell = sheet->getCellByPosition(at.StartColumn, at.StartRow);
                const auto fields = Reference<css::text::XTextFieldsSupplier>(cell, UNO_QUERY_THROW)
                                        ->getTextFields()
                                        ->createEnumeration();
                if (!fields->hasMoreElements()) return;
                Reference<css::beans::XPropertySet> field(fields->nextElement(), UNO_QUERY);
                if (!field.is() || fields->hasMoreElements() ||
                    !field->getPropertySetInfo()->hasPropertyByName(kRepresentation)) {
                  return;
                }
                OUString shown;
                field->getPropertyValue(kRepresentation) >>= shown;
                if (shown != Reference<css::text::XText>(cell, UNO_QUERY_THROW)->getString())
                  return;
                const auto value = replacedText(toUtf8(shown), what, with, matchCase, wholeCell);
                if (!value) return;
                field->setPropertyValue(kRepresentation, Any(toOUString(*value)));
                linked.push_back(at);
              });
  takeOut(found, linked);
  return static_cast<sal_Int32>(linked.size());
}

// The cells of found that their protected sheet keeps from change, taken out
// of found; how many there were.
sal_Int32 takeOutLockedCells(const Reference<css::sheet::XSpreadsheet>& sheet,
                             const Reference<css::container::XIndexAccess>& found) {
  std::vector<css::table::CellRangeAddress> locked;
  forEachCell(
      Reference<css::sheet::XSheetCellRangeContainer>(found, UNO_QUERY_THROW)->getRangeAddresses(),
      [&](const css::table::CellRangeAddress& at) {
        css::util::CellProtection protection;
        Reference<css::beans::XPropertySet>(sheet->getCellByPosition(at.StartColumn, at.StartRow),
                                            UNO_QUERY_THROW)
            ->getPropertyValue("CellProtection") >>= protection;
        if (protection.IsLocked) locked.push_back(at);
      });
  takeOut(found, locked);
  return static_cast<sal_Int32>(locked.size());
}

// A workbook's sheets, in order, looked up on first use.
std::vector<OpenDocument::Sheet>& sheetsOf(OpenDocument& workbook) {
  if (!workbook.sheets) {
    auto sheets = Reference<css::sheet::XSpreadsheetDocument>(workbook.component, UNO_QUERY_THROW)
                      ->getSheets();
    Reference<css::container::XIndexAccess> list(sheets, UNO_QUERY_THROW);
    // In sheet order, as the index counts them.
    const Sequence<OUString> names = sheets->getElementNames();
    std::vector<OpenDocument::Sheet> found;
    for (sal_Int32 i = 0; i < names.getLength(); ++i) {
      Reference<css::sheet::XSpreadsheet> sheet(list->getByIndex(i), UNO_QUERY_THROW);
      found.push_back({sheet, nullptr, toUtf8(names[i]), std::nullopt, {}, nullptr, nullptr});
    }
    workbook.sheets = std::move(found);
  }
  return *workbook.sheets;
}

// Word's error for a member of a collection the document does not have.
AutomationError noSuchMember() {
  return AutomationError(5941, "集合所要求的成员不存在");
}

// Which text of a document a range stands for: a story (0, the main text,
// is served by the document's own search), or one shape of a header's or
// footer's story.
struct StoryTarget {
  std::size_t story = 0;
  std::optional<std::size_t> shape;
};

WordStories& storiesOf(OpenDocument& document) {
  if (!document.stories) document.stories = std::make_shared<WordStories>(document.component);
  return *document.stories;
}

// What a range's Find found last, for the range's Text and Collapse.
struct FoundState {
  Reference<css::container::XIndexAccess> all;  // the main text's, when it is all there is
  std::vector<Reference<css::text::XTextRange>> list;
  Reference<css::text::XTextRange> current;
};

class FindObject : public LoObject {
 public:
  FindObject(SessionPtr s, DocumentPtr d, StoryTarget t, std::shared_ptr<FoundState> state)
      : LoObject(std::move(s)), doc_(std::move(d)), target_(t), state_(std::move(state)) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (!sameName(member, "Execute")) unknownMember();
    const std::string text = required(args, 0, "FindText").toText();
    const bool caseSensitive = flag(args, 1, "MatchCase");
    const Variant* replace = argument(args, 10, "Replace");
    const auto mode = replace == nullptr ? 0 : replace->toInteger();
    if (!replaceable_.is()) replaceable_.set(doc_->component, UNO_QUERY_THROW);
    if (mode == 0) return findNext(text, caseSensitive);
    const Variant* with = argument(args, 9, "ReplaceWith");
    const std::string replacement = with == nullptr ? std::string() : with->toText();
    if (mode != 2) throw AutomationError(kErrFailed, "不支持的替换方式");
    if (!isMain()) {
      bool any = false;
      for (const StoryText& story : texts()) {
        const auto found = occurrencesIn(story, text, caseSensitive);
        replaceOccurrences(found, replacement);
        any = any || !found.empty();
      }
      if (any) Session::noteReplaced(*doc_);
      return any;
    }
    if (storiesOf(*doc_).mainOnly()) {
      if (replaceIn(*doc_, replaceable_, text, replacement, caseSensitive) > 0) {
        Session::noteReplaced(*doc_);
        return true;
      }
      requireNothingLeft(findIn(*doc_, replaceable_, text, caseSensitive));
      return false;
    }
    // The document's search reaches every story: only the main text's
    // occurrences are replaced here, each where it was found.
    const auto found = mainOccurrences(text, caseSensitive);
    replaceOccurrences(found, replacement);
    if (found.empty()) return false;
    Session::noteReplaced(*doc_);
    return true;
  }

 private:
  bool isMain() const { return target_.story == 0 && !target_.shape; }

  std::vector<StoryText> texts() {
    const Story& story = storiesOf(*doc_).at(target_.story);
    if (target_.shape) return {story.shapes.at(*target_.shape)};
    return story.texts;
  }

  Reference<css::text::XText> body() {
    if (!body_.is()) {
      body_ = Reference<css::text::XTextDocument>(doc_->component, UNO_QUERY_THROW)->getText();
    }
    return body_;
  }

  std::vector<Reference<css::text::XTextRange>> mainOccurrences(const std::string& text,
                                                                bool caseSensitive) {
    std::vector<Reference<css::text::XTextRange>> found;
    const auto& descriptor =
        descriptorFor(*doc_, replaceable_, text, doc_->search.with, caseSensitive, false);
    const auto all =
        replaceable_->findAll(Reference<css::util::XSearchDescriptor>(descriptor.get()));
    for (sal_Int32 i = 0; all.is() && i < all->getCount(); ++i) {
      Reference<css::text::XTextRange> range(all->getByIndex(i), UNO_QUERY_THROW);
      if (inMainText(body(), range)) found.push_back(range);
    }
    return found;
  }

  // Finds on one Find object move on from one occurrence to the next, as a
  // Word range does, and stop at the last. A single test costs one search;
  // a loop asks the office once for all occurrences.
  bool findNext(const std::string& text, bool caseSensitive) {
    if (text != loop_.text || caseSensitive != loop_.matchCase) {
      loop_ = Loop{text, caseSensitive, 0, std::nullopt};
      *state_ = FoundState{};
    }
    if (loop_.found == 0 && isMain()) {
      // The document's search reads the main text first: a first occurrence
      // elsewhere means none in it.
      const auto first = firstFound(*doc_, replaceable_, text, caseSensitive);
      Reference<css::text::XTextRange> range(first, UNO_QUERY);
      if (!range.is() || !inMainText(body(), range)) return false;
      loop_.found = 1;
      state_->current = range;
      return true;
    }
    if (!loop_.total) {
      if (!isMain()) {
        for (const StoryText& story : texts()) {
          const auto found = occurrencesIn(story, text, caseSensitive);
          state_->list.insert(state_->list.end(), found.begin(), found.end());
        }
        loop_.total = static_cast<sal_Int32>(state_->list.size());
      } else if (storiesOf(*doc_).mainOnly()) {
        const auto& descriptor =
            descriptorFor(*doc_, replaceable_, text, doc_->search.with, caseSensitive, false);
        state_->all =
            replaceable_->findAll(Reference<css::util::XSearchDescriptor>(descriptor.get()));
        loop_.total = state_->all.is() ? state_->all->getCount() : 0;
      } else {
        state_->list = mainOccurrences(text, caseSensitive);
        loop_.total = static_cast<sal_Int32>(state_->list.size());
      }
    }
    if (loop_.found >= *loop_.total) return false;
    ++loop_.found;
    state_->current.clear();
    return true;
  }

  struct Loop {
    std::string text;
    bool matchCase = false;
    sal_Int32 found = 0;
    std::optional<sal_Int32> total;
  };
  DocumentPtr doc_;
  StoryTarget target_;
  std::shared_ptr<FoundState> state_;
  Reference<css::util::XReplaceable> replaceable_;
  Reference<css::text::XText> body_;
  Loop loop_;

  friend class RangeObject;
  // The occurrence the last find stopped at, looked up only when asked for.
  Reference<css::text::XTextRange> current() const {
    if (state_->current.is() || loop_.found == 0) return state_->current;
    const auto at = loop_.found - 1;
    if (!state_->list.empty()) return state_->list.at(static_cast<std::size_t>(at));
    if (state_->all.is())
      return Reference<css::text::XTextRange>(state_->all->getByIndex(at), UNO_QUERY);
    return nullptr;
  }
};

// The shapes with text anchored in a header or footer: Count, Item(i), and
// each one's TextFrame (HasText, TextRange).
class ShapeRangeObject : public LoObject {
 public:
  ShapeRangeObject(SessionPtr s, DocumentPtr d, std::size_t story)
      : LoObject(std::move(s)), doc_(std::move(d)), story_(story), level_(0) {}
  ShapeRangeObject(SessionPtr s, DocumentPtr d, std::size_t story, std::size_t shape, int level)
      : LoObject(std::move(s)), doc_(std::move(d)), story_(story), shape_(shape), level_(level) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override;

 private:
  DocumentPtr doc_;
  std::size_t story_;
  std::size_t shape_ = 0;
  int level_;  // 0 the shapes, 1 one shape, 2 its text frame
};

// A story's range (Word's Content, StoryRanges.Item, Duplicate, NextStoryRange,
// a header shape's TextFrame.TextRange).
class RangeObject : public LoObject {
 public:
  RangeObject(SessionPtr s, DocumentPtr d, StoryTarget t = {})
      : LoObject(std::move(s)), doc_(std::move(d)), target_(t) {}
  Variant answer(std::string_view member, CallKind kind, const Arguments& args) override {
    if (sameName(member, "Find")) {
      find_ = std::make_shared<FindObject>(session_, doc_, target_, state_);
      return Object(find_);
    }
    if (sameName(member, "Duplicate")) return make<RangeObject>(doc_, target_);
    if (sameName(member, "StoryType")) {
      return static_cast<std::int32_t>(storiesOf(*doc_).at(target_.story).kind);
    }
    if (sameName(member, "NextStoryRange")) {
      if (target_.shape) return {};
      const auto next = storiesOf(*doc_).next(target_.story);
      return next ? Variant(make<RangeObject>(doc_, StoryTarget{*next, std::nullopt})) : Variant();
    }
    if (sameName(member, "ShapeRange")) return make<ShapeRangeObject>(doc_, target_.story);
    if (sameName(member, "Collapse")) {
      // Empty at the occurrence's end: the next find goes on after it.
      state_->current.clear();
      if (find_) find_->state_->current.clear();
      return {};
    }
    if (member.empty() || sameName(member, "Text")) {
      if (kind == CallKind::Put) {
        putText(required(args, 0, "Text").toText());
        return {};
      }
      std::string all;
      for (const auto& text : texts()) all += toUtf8(text->getString());
      return all;
    }
    unknownMember();
  }

 private:
  std::vector<Reference<css::text::XText>> texts() {
    if (target_.story == 0 && !target_.shape) {
      return {Reference<css::text::XTextDocument>(doc_->component, UNO_QUERY_THROW)->getText()};
    }
    const Story& story = storiesOf(*doc_).at(target_.story);
    std::vector<Reference<css::text::XText>> all;
    if (target_.shape) return {story.shapes.at(*target_.shape).text};
    for (const StoryText& text : story.texts) all.push_back(text.text);
    return all;
  }

  // Sets the occurrence the last find stopped at, else the whole story.
  void putText(const std::string& value) {
    const auto found = find_ ? find_->current() : nullptr;
    if (found.is()) {
      found->setString(toOUString(value));
    } else {
      const auto all = texts();
      for (std::size_t i = 0; i < all.size(); ++i) {
        all[i]->setString(i == 0 ? toOUString(value) : OUString());
      }
    }
    Session::noteReplaced(*doc_);
  }

  DocumentPtr doc_;
  StoryTarget target_;
  std::shared_ptr<FoundState> state_ = std::make_shared<FoundState>();
  std::shared_ptr<FindObject> find_;
};

Variant ShapeRangeObject::answer(std::string_view member, CallKind, const Arguments& args) {
  const auto& shapes = storiesOf(*doc_).at(story_).shapes;
  if (level_ == 0 && sameName(member, "Count")) return static_cast<std::int32_t>(shapes.size());
  if (level_ == 0 && (member.empty() || sameName(member, "Item"))) {
    const auto n = required(args, 0, "Index").toInteger();
    if (n < 1 || n > static_cast<std::int64_t>(shapes.size())) throw noSuchMember();
    return make<ShapeRangeObject>(doc_, story_, static_cast<std::size_t>(n - 1), 1);
  }
  if (level_ == 1 && sameName(member, "TextFrame")) {
    return make<ShapeRangeObject>(doc_, story_, shape_, 2);
  }
  if (level_ == 2 && sameName(member, "HasText")) {
    const StoryText& text = shapes.at(shape_);
    return text.drawing || !text.text->getString().isEmpty();
  }
  if (level_ == 2 && sameName(member, "TextRange")) {
    return make<RangeObject>(doc_, StoryTarget{story_, shape_});
  }
  unknownMember();
}

// StoryRanges: Item(kind) is the first story of that kind.
class StoryRangesObject : public LoObject {
 public:
  StoryRangesObject(SessionPtr s, DocumentPtr d) : LoObject(std::move(s)), doc_(std::move(d)) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (!member.empty() && !sameName(member, "Item")) unknownMember();
    const auto kind = required(args, 0, "Index").toInteger();
    const auto story = storiesOf(*doc_).first(static_cast<int>(kind));
    if (!story) throw noSuchMember();
    return make<RangeObject>(doc_, StoryTarget{*story, std::nullopt});
  }

 private:
  DocumentPtr doc_;
};

// Sections.Item(1).Headers.Item(1).Range (or Footers): the first page style's
// primary header (footer). Each step is one level of this object.
class SectionsObject : public LoObject {
 public:
  SectionsObject(SessionPtr s, DocumentPtr d, int level = 0, int kind = kPrimaryHeaderStory)
      : LoObject(std::move(s)), doc_(std::move(d)), level_(level), kind_(kind) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    const bool item = member.empty() || sameName(member, "Item");
    if ((level_ == 0 || level_ == 2) && item) {
      if (required(args, 0, "Index").toInteger() != 1) throw noSuchMember();
      return make<SectionsObject>(doc_, level_ + 1, kind_);
    }
    if (level_ == 1 && (sameName(member, "Headers") || sameName(member, "Footers"))) {
      return make<SectionsObject>(
          doc_, 2, sameName(member, "Headers") ? kPrimaryHeaderStory : kPrimaryFooterStory);
    }
    if (level_ == 3 && sameName(member, "Range")) {
      const auto story = storiesOf(*doc_).first(kind_);
      if (!story) throw noSuchMember();
      return make<RangeObject>(doc_, StoryTarget{*story, std::nullopt});
    }
    unknownMember();
  }

 private:
  DocumentPtr doc_;
  int level_;  // 0 Sections, 1 a section, 2 its headers (footers), 3 one of them
  int kind_;
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
    if (sameName(member, "StoryRanges")) return make<StoryRangesObject>(doc_);
    if (sameName(member, "Sections")) return make<SectionsObject>(doc_);
    return fileMember(member, args);
  }
};

class DocumentsObject : public LoObject {
 public:
  using LoObject::LoObject;
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    // The runs' named arguments (no conversion dialog, not read-only, a
    // password nobody uses, out of the recent list) ask what this server
    // always does: it loads for writing, never lists a file, and answers
    // every question of the office, a password prompt too, with "abort".
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
  // The first of found cells, looked up only when asked about: a run's Find
  // only tells found from not found.
  CellObject(SessionPtr s, Reference<css::container::XIndexAccess> found)
      : LoObject(std::move(s)), found_(std::move(found)) {}
  Variant answer(std::string_view member, CallKind, const Arguments&) override {
    if (!cell_.is() && found_.is()) {
      Reference<css::table::XCellRange> range(found_->getByIndex(0), UNO_QUERY_THROW);
      cell_ = range->getCellByPosition(0, 0);
    }
    if (sameName(member, "Address")) {
      Reference<css::sheet::XCellAddressable> addressable(cell_, UNO_QUERY_THROW);
      const auto address = addressable->getCellAddress();
      return cellAddress(address.Column, address.Row);
    }
    if (sameName(member, "Locked")) {
      css::util::CellProtection protection;
      Reference<css::beans::XPropertySet>(cell_, UNO_QUERY_THROW)
          ->getPropertyValue("CellProtection") >>= protection;
      return static_cast<bool>(protection.IsLocked);
    }
    if (!member.empty() && !sameName(member, "Value") && !sameName(member, "Formula")) {
      unknownMember();
    }
    Reference<css::table::XCell> cell(cell_, UNO_QUERY);
    return cell.is() ? toUtf8(cell->getFormula()) : std::string();
  }

 private:
  Reference<css::uno::XInterface> cell_;
  Reference<css::container::XIndexAccess> found_;
};

class CellsObject : public LoObject {
 public:
  CellsObject(SessionPtr s, DocumentPtr d, std::size_t index)
      : LoObject(std::move(s)), doc_(std::move(d)), index_(index) {}
  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Find")) {
      // Every cell that holds the text, in one search: the Replace that
      // usually follows needs them all.
      const std::string what = required(args, 0, "What").toText();
      if (what.empty()) return Object();
      OpenDocument::Sheet& sheet = sheetsOf(*doc_).at(index_);
      const Variant* lookAt = argument(args, 3, "LookAt");
      const bool wholeCell = lookAt != nullptr && lookAt->toInteger() == 1;  // xlWhole
      const auto& descriptor = descriptorFor(*doc_, replaceable(), what, doc_->search.with,
                                             flag(args, 6, "MatchCase"), wholeCell);
      sheet.lastFoundWith = Reference<css::util::XSearchDescriptor>(descriptor.get());
      sheet.lastFound =
          cellsHolding(sheet.lastFoundWith, what, doc_->search.matchCase, doc_->search.wholeCell);
      return sheet.lastFound.is() ? make<CellObject>(sheet.lastFound) : Object();
    }
    if (sameName(member, "FindNext")) return findNext(args);
    if (sameName(member, "Replace")) {
      const std::string what = required(args, 0, "What").toText();
      const std::string with = required(args, 1, "Replacement").toText();
      const Variant* lookAt = argument(args, 2, "LookAt");
      const bool wholeCell = lookAt != nullptr && lookAt->toInteger() == 1;  // xlWhole
      const bool matchCase = flag(args, 4, "MatchCase");
      const Replaced done = replaceTextKept(what, with, matchCase, wholeCell);
      if (done.cells == 0) {
        // Left by the protection: no second search needed to tell.
        if (done.locked > 0) requireNothingLeft(true);
        if (done.found)
          requireNothingLeft(findIn(*doc_, replaceable(), what, matchCase, wholeCell));
        return true;
      }
      Session::noteReplaced(*doc_);
      // Replaced in part, the sheet must not read as replaced: its workbook
      // fails, and is left as it was.
      if (done.locked > 0) {
        throw AutomationError(kErrFailed, "部分单元格无法替换：" + std::to_string(done.locked) +
                                              " 处受保护，未作改动");
      }
      return true;
    }
    unknownMember();
  }

 private:
  // The cell after the one given, in the order of rows, coming round to the
  // first after the last, as Excel's FindNext does, for the text of the last
  // Find. The office is asked once for all the cells that hold it.
  Variant findNext(const Arguments& args) {
    const Variant* after = argument(args, 0, "After");
    const std::string& what = doc_->search.what;
    if (after == nullptr || !after->isObject() || !after->toObject() || what.empty()) {
      throw AutomationError(kErrFailed, "FindNext 需要先用 Find 找到的单元格");
    }
    const auto from = parseCellAddress(after->toObject().get("Address").toText());
    if (!from) throw AutomationError(kErrFailed, "不是单元格");
    OpenDocument::Sheet& sheet = sheetsOf(*doc_).at(index_);
    if (!sheet.found || sheet.foundFor != what) {
      const auto& descriptor = descriptorFor(*doc_, replaceable(), what, doc_->search.with,
                                             doc_->search.matchCase, doc_->search.wholeCell);
      const auto all = cellsHolding(Reference<css::util::XSearchDescriptor>(descriptor.get()), what,
                                    doc_->search.matchCase, doc_->search.wholeCell);
      std::vector<std::pair<sal_Int32, sal_Int32>> cells;  // row, column
      for (sal_Int32 i = 0; all.is() && i < all->getCount(); ++i) {
        Reference<css::sheet::XCellRangeAddressable> range(all->getByIndex(i), UNO_QUERY_THROW);
        const auto a = range->getRangeAddress();
        for (sal_Int32 r = a.StartRow; r <= a.EndRow; ++r) {
          for (sal_Int32 c = a.StartColumn; c <= a.EndColumn; ++c) cells.emplace_back(r, c);
        }
      }
      std::sort(cells.begin(), cells.end());
      sheet.found = std::move(cells);
      sheet.foundFor = what;
    }
    const auto& cells = *sheet.found;
    if (cells.empty()) return Object();
    auto next = std::upper_bound(cells.begin(), cells.end(), std::pair{from->second, from->first});
    if (next == cells.end()) next = cells.begin();
    return make<CellObject>(sheet.sheet->getCellByPosition(next->second, next->first));
  }

  struct Replaced {
    bool found = false;    // cells hold the text
    sal_Int32 cells = 0;   // replaced
    sal_Int32 locked = 0;  // holding the text, left as a protected sheet keeps them
  };

  // Every cell of the sheet that holds what as the office's search finds it,
  // but for formulas that hold it only in the path of a link to another
  // file; null when none. Only a workbook with such links pays for the look
  // at its formulas.
  Reference<css::container::XIndexAccess> cellsHolding(
      const Reference<css::util::XSearchDescriptor>& descriptor, const std::string& what,
      bool matchCase, bool wholeCell) {
    auto found = replaceable()->findAll(descriptor);
    if (!found.is() || !linksToOtherFiles()) return found;
    const auto& sheet = sheetsOf(*doc_).at(index_).sheet;
    std::vector<css::table::CellRangeAddress> pathOnly;
    forEachCell(Reference<css::sheet::XCellRangesQuery>(found, UNO_QUERY_THROW)
                    ->queryContentCells(css::sheet::CellFlags::FORMULA)
                    ->getRangeAddresses(),
                [&](const css::table::CellRangeAddress& at) {
                  const std::string formula =
                      toUtf8(sheet->getCellByPosition(at.StartColumn, at.StartRow)->getFormula());
                  if (!replacedOutsideLinks(formula, what, "", matchCase, wholeCell)) {
                    pathOnly.push_back(at);
                  }
                });
    if (pathOnly.empty()) return found;
    takeOut(found, pathOnly);
    return found->getCount() > 0 ? found : nullptr;
  }

  // Whether a number format is the text format ("@"), asked once a format.
  bool textFormat(sal_Int32 key) {
    const auto known = doc_->textFormats.find(key);
    if (known != doc_->textFormats.end()) return known->second;
    if (!doc_->numberFormats.is()) {
      doc_->numberFormats =
          Reference<css::util::XNumberFormatsSupplier>(doc_->component, UNO_QUERY_THROW)
              ->getNumberFormats();
    }
    sal_Int16 type = 0;
    const auto format = doc_->numberFormats->getByKey(key);
    if (format.is()) format->getPropertyValue("Type") >>= type;
    const bool text = (type & css::util::NumberFormat::TEXT) != 0;
    doc_->textFormats.emplace(key, text);
    return text;
  }

  bool linksToOtherFiles() {
    if (!doc_->externalLinks) {
      Reference<css::sheet::XExternalDocLinks> links;
      Reference<css::beans::XPropertySet>(doc_->component, UNO_QUERY_THROW)
          ->getPropertyValue("ExternalDocLinks") >>= links;
      doc_->externalLinks = links.is() && links->getCount() > 0;
    }
    return *doc_->externalLinks;
  }

  Replaced replaceTextKept(const std::string& what, const std::string& with, bool matchCase,
                           bool wholeCell) {
    if (what.empty()) return {};
    OpenDocument::Sheet& sheet = sheetsOf(*doc_).at(index_);
    const Reference<css::util::XSearchDescriptor> descriptor(
        descriptorFor(*doc_, replaceable(), what, with, matchCase, wholeCell).get());
    Reference<css::container::XIndexAccess> found =
        sheet.lastFoundWith == descriptor ? sheet.lastFound
                                          : cellsHolding(descriptor, what, matchCase, wholeCell);
    // What was found is out of date once anything is replaced.
    sheet.lastFound.clear();
    sheet.lastFoundWith.clear();
    sheet.found.reset();
    if (found.is() && !doc_->leadingMarks.is()) {
      doc_->leadingMarks = replaceable()->createSearchDescriptor();
      doc_->leadingMarks->setSearchString(toOUString(kLeadingMarkPattern));
      doc_->leadingMarks->setPropertyValue("SearchRegularExpression", Any(true));
      doc_->leadingMarks->setPropertyValue("SearchFiltered", Any(true));
    }
    if (!found.is()) return {};
    // The office's replacement changes nothing on a protected sheet: asked
    // only where it could matter, since most sheets are not.
    const auto isProtected = [&] {
      return Reference<css::util::XProtectable>(sheet.sheet, UNO_QUERY_THROW)->isProtected();
    };
    // Hyperlinks are replaced here; only a workbook whose file holds some
    // pays for the look.
    sal_Int32 links = 0;
    if (holdingsOfOriginal(*doc_)[Held::Hyperlink] > 0 && !isProtected()) {
      links = replaceInHyperlinks(sheet.sheet, found, what, with, matchCase, wholeCell);
    }
    Replaced done = links == 0 || found->getCount() > 0
                        ? replaceFound(sheet, found, descriptor, what, with, matchCase, wholeCell,
                                       links > 0, isProtected)
                        : Replaced{};
    done.found = true;
    done.cells += links;
    return done;
  }

  // found: the sheet's cells holding what, as cellsHolding finds them;
  // onlyFound: the office's replacement is to reach those cells only.
  template <typename IsProtected>
  Replaced replaceFound(OpenDocument::Sheet& sheet,
                        const Reference<css::container::XIndexAccess>& found,
                        const Reference<css::util::XSearchDescriptor>& descriptor,
                        const std::string& what, const std::string& with, bool matchCase,
                        bool wholeCell, bool onlyFound, const IsProtected& isProtected) {
    Replaced done;
    // With links to other files, only the cells found are given to the
    // office's replacement: the sheet's would reach the links' paths.
    Reference<css::util::XReplaceable> target = replaceable();
    if (onlyFound || linksToOtherFiles()) target.set(found, UNO_QUERY_THROW);
    // The usual case costs the office one more search: a replacement that
    // keeps every changed cell text, on cells none of which begins with a mark.
    if (replacementKeepsText(with) && !Reference<css::util::XSearchable>(found, UNO_QUERY_THROW)
                                           ->findAll(doc_->leadingMarks)
                                           .is()) {
      done.cells = target->replaceAll(descriptor);
      if (done.cells > 0 || !isProtected()) return done;
    } else if (!isProtected()) {
      done.cells = replaceKeepingText(sheet.sheet, target, descriptor, found, what, with, matchCase,
                                      wholeCell, linksToOtherFiles(),
                                      [this](sal_Int32 key) { return textFormat(key); });
      return done;
    }
    done.locked = takeOutLockedCells(sheet.sheet, found);
    const auto [replaced, left] =
        replaceCellByCell(sheet.sheet, found, what, with, matchCase, wholeCell);
    done.cells = replaced;
    done.locked += left;  // kept from change by the protection all the same
    return done;
  }

  const Reference<css::util::XReplaceable>& replaceable() {
    OpenDocument::Sheet& sheet = sheetsOf(*doc_).at(index_);
    if (!sheet.replaceable.is()) sheet.replaceable.set(sheet.sheet, UNO_QUERY_THROW);
    return sheet.replaceable;
  }

  DocumentPtr doc_;
  std::size_t index_;
};

class WorksheetObject : public LoObject {
 public:
  WorksheetObject(SessionPtr s, DocumentPtr d, std::size_t index)
      : LoObject(std::move(s)), doc_(std::move(d)), index_(index) {}
  Variant answer(std::string_view member, CallKind, const Arguments&) override {
    if (sameName(member, "Name")) return sheetsOf(*doc_).at(index_).name;
    if (sameName(member, "Cells")) return make<CellsObject>(doc_, index_);
    if (sameName(member, "ProtectContents")) {
      return static_cast<bool>(
          Reference<css::util::XProtectable>(sheetsOf(*doc_).at(index_).sheet, UNO_QUERY_THROW)
              ->isProtected());
    }
    if (sameName(member, "Activate")) {
      doc_->active = sheetsOf(*doc_).at(index_).sheet;
      return {};
    }
    unknownMember();
  }

 private:
  DocumentPtr doc_;
  std::size_t index_;
};

class SheetsObject : public LoObject {
 public:
  SheetsObject(SessionPtr s, DocumentPtr d) : LoObject(std::move(s)), doc_(std::move(d)) {}

  Object item(const Variant& index) const {
    const auto& sheets = sheetsOf(*doc_);
    if (const auto* name = std::get_if<std::string>(&index.value())) {
      for (std::size_t i = 0; i < sheets.size(); ++i) {
        if (sheets[i].name == *name) return make<WorksheetObject>(doc_, i);
      }
      throw AutomationError(office::kErrSubscript, "下标越界");
    }
    const auto n = index.toInteger();
    if (n < 1 || n > static_cast<std::int64_t>(sheets.size())) {
      throw AutomationError(office::kErrSubscript, "下标越界");
    }
    return make<WorksheetObject>(doc_, static_cast<std::size_t>(n - 1));
  }

  Variant answer(std::string_view member, CallKind, const Arguments& args) override {
    if (sameName(member, "Count")) return static_cast<std::int32_t>(sheetsOf(*doc_).size());
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
    // Its named arguments are answered as Documents.Open's are.
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
      if (!document) throw AutomationError(office::kErrNoDocumentOpen, "没有打开的文档");
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
  // Cells.Replace here writes text cells as text (replaceKeepingText); Find
  // takes its texts literally, of any length.
  registry.add("word.Application", factory, {.replaceKeepsText = true, .findIsLiteral = true});
  registry.add("excel.Application", factory, {.replaceKeepsText = true, .findIsLiteral = true});
  return true;
}

}  // namespace office::libreoffice
