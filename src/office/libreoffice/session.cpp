#include "office/libreoffice/session.h"

#include "office/libreoffice/filters.h"
#include "office/libreoffice/stored_file_check.h"
#include "platform/posix/temporary_space.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace office::libreoffice {

using namespace platform::posix;

namespace {

// A document the private folder has no room for, before or after the office
// tried.
constexpr std::string_view kNoRoomText = "临时文件夹空间不足，未作改动";

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

}  // namespace

std::shared_ptr<OpenDocument> Session::open(const std::string& path, bool workbook, bool readOnly) {
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
  switch (readOnly ? WriteBlock::None : writeBlock(file)) {
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
  if (readOnly) {
    loadProperties.realloc(loadProperties.getLength() + 1);
    loadProperties.getArray()[loadProperties.getLength() - 1] = property("ReadOnly", Any(true));
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
    if (!readOnly) requireWritableFormat(filter, workbook);
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
  document->readOnly = readOnly;
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
  // Checking and placing are our own work, however long a large file on a
  // slow disk takes: the watchdog is for the office.
  process_.disarm();
  struct Rearm {
    OfficeProcess& process;
    std::chrono::milliseconds timeout;
    ~Rearm() { process.arm(timeout); }
  } rearm{process_, options_.documentTimeout};
  // The office may return from a store as if all went well and leave a file
  // cut short or holding no document: only a whole one takes the document's
  // place.
  const StoredFormat format = storedFormat(document.filter);
  const Holdings& before = holdingsOfOriginal(document);
  const Holdings after = before.read ? holdingsOf(content, format) : Holdings{};
  if (checkStoredFile(content, format) != StoredFault::None || (before.read && !after.whole)) {
    throw failed("无法保存文档：办公软件写出的文件不完整，未作改动");
  }
  // Nor one that left out what the office read but could not write back.
  const std::string lost = lostParts(before, after);
  if (!lost.empty()) {
    discard();
    throw AutomationError(kErrFailed, "保存后会丢失：" + lost + "，未作改动");
  }
  try {
    placeContent(content, document.path, document.loaded, backup);
  } catch (const ChangedSinceLoad&) {
    discard();
    throw AutomationError(kErrFailed, "文件在处理期间被其他程序修改，未作改动");
  } catch (const std::system_error& e) {
    discard();
    throw AutomationError(kErrFailed, "无法保存文档：" + systemErrorText(e));
  }
  discard();
}

void Session::close(const std::shared_ptr<OpenDocument>& document, bool save) {
  if (save && document->readOnly) throw AutomationError(kErrFailed, "文档是只读打开的，不能保存");
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
                                           const std::string& text, bool matchCase,
                                           bool wholeCell) {
  if (text.empty()) return {};
  const auto& descriptor =
      descriptorFor(document, target, text, document.search.with, matchCase, wholeCell);
  return target->findFirst(Reference<css::util::XSearchDescriptor>(descriptor.get()));
}

bool findIn(OpenDocument& document, const Reference<css::util::XReplaceable>& target,
            const std::string& text, bool matchCase, bool wholeCell) {
  return firstFound(document, target, text, matchCase, wholeCell).is();
}

sal_Int32 replaceIn(OpenDocument& document, const Reference<css::util::XReplaceable>& target,
                    const std::string& what, const std::string& with, bool matchCase,
                    bool wholeCell) {
  if (what.empty()) return 0;
  const auto& descriptor = descriptorFor(document, target, what, with, matchCase, wholeCell);
  return target->replaceAll(Reference<css::util::XSearchDescriptor>(descriptor.get()));
}

void requireNothingLeft(bool stillFound) {
  if (stillFound) {
    throw AutomationError(kErrFailed, "找到的内容位于不能修改的部分（受保护的区域），未作改动");
  }
}

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

}  // namespace office::libreoffice
