// The batch's work on one file written straight against C++ UNO, with nothing
// between the loop and the office: the floor the program is measured against.
// It does what the program does for a file — loads it hidden with macros off,
// links not updated and every question answered "abort"; finds with the same
// literal search; replaces only where found; stores only a changed file,
// through a synced temporary file beside it and a rename; in a workbook, walks every
// sheet, keeps their names and leaves the last one active — and no more.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <vector>

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XMultiPropertySet.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/document/MacroExecMode.hpp>
#include <com/sun/star/document/UpdateDocMode.hpp>
#include <com/sun/star/drawing/XDrawPageSupplier.hpp>
#include <com/sun/star/frame/XComponentLoader.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/lang/XComponent.hpp>
#include <com/sun/star/sheet/XExternalDocLinks.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheetView.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/style/XStyle.hpp>
#include <com/sun/star/style/XStyleFamiliesSupplier.hpp>
#include <com/sun/star/task/XInteractionAbort.hpp>
#include <com/sun/star/task/XInteractionHandler.hpp>
#include <com/sun/star/task/XInteractionRequest.hpp>
#include <com/sun/star/text/XText.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XModifiable.hpp>
#include <com/sun/star/util/XReplaceable.hpp>
#include <cppuhelper/implbase1.hxx>
#include <osl/file.hxx>
#include <rtl/ustring.hxx>

namespace plain_loop {

using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

inline OUString text(const std::string& utf8) {
  return OUString(utf8.data(), static_cast<sal_Int32>(utf8.size()), RTL_TEXTENCODING_UTF8);
}

inline OUString fileUrl(const std::filesystem::path& path) {
  OUString url;
  osl::FileBase::getFileURLFromSystemPath(text(path.string()), url);
  return url;
}

class AbortEverything : public cppu::WeakImplHelper1<css::task::XInteractionHandler> {
 public:
  void SAL_CALL handle(const Reference<css::task::XInteractionRequest>& request) override {
    for (const auto& c : request->getContinuations()) {
      Reference<css::task::XInteractionAbort> abort(c, UNO_QUERY);
      if (abort.is()) {
        abort->select();
        return;
      }
    }
  }
};

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

inline Reference<css::lang::XComponent> load(const Reference<css::frame::XDesktop2>& desktop,
                                             const std::filesystem::path& file) {
  const Reference<css::task::XInteractionHandler> handler(new AbortEverything);
  return desktop->loadComponentFromURL(
      fileUrl(file), "_blank", 0,
      properties({
          property("Hidden", Any(true)),
          property("MacroExecutionMode", Any(css::document::MacroExecMode::NEVER_EXECUTE)),
          property("UpdateDocMode", Any(css::document::UpdateDocMode::NO_UPDATE)),
          property("InteractionHandler", Any(handler)),
      }));
}

inline Reference<css::util::XSearchDescriptor> descriptor(
    const Reference<css::util::XReplaceable>& target, const std::string& find,
    const std::string& replace) {
  auto d = target->createReplaceDescriptor();
  d->setSearchString(text(find));
  d->setPropertyValue("SearchRegularExpression", Any(false));
  d->setPropertyValue("SearchSimilarity", Any(false));
  d->setPropertyValue("SearchCaseSensitive", Any(false));
  d->setPropertyValue("SearchWords", Any(false));
  d->setPropertyValue("SearchBackwards", Any(false));
  d->setReplaceString(text(replace));
  return Reference<css::util::XSearchDescriptor>(d.get());
}

// Stores a changed file in its own format: a temporary file beside it, synced,
// then a rename over it, and the folder synced (as durable as the program's
// store).
inline void storeIfModified(const Reference<css::lang::XComponent>& component,
                            const std::filesystem::path& file,
                            const Reference<css::sheet::XSpreadsheet>& activeSheet = nullptr) {
  if (!Reference<css::util::XModifiable>(component, UNO_QUERY_THROW)->isModified()) return;
  Reference<css::frame::XModel> model(component, UNO_QUERY_THROW);
  if (activeSheet.is()) {
    Reference<css::sheet::XSpreadsheetView>(model->getCurrentController(), UNO_QUERY_THROW)
        ->setActiveSheet(activeSheet);
  }
  OUString filter;
  for (const auto& arg : model->getArgs()) {
    if (arg.Name == "FilterName") arg.Value >>= filter;
  }
  const std::filesystem::path temporary =
      file.parent_path() / (".~plain." + file.filename().string());
  Reference<css::frame::XStorable>(component, UNO_QUERY_THROW)
      ->storeToURL(fileUrl(temporary), properties({property("FilterName", Any(filter)),
                                                   property("Overwrite", Any(true))}));
  const int written = ::open(temporary.c_str(), O_RDONLY | O_CLOEXEC);
  if (written >= 0) {
    ::fsync(written);
    ::close(written);
  }
  std::filesystem::rename(temporary, file);
  const int folder = ::open(file.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder >= 0) {
    ::fsync(folder);
    ::close(folder);
  }
}

inline void close(const Reference<css::lang::XComponent>& component) {
  Reference<css::util::XCloseable>(component, UNO_QUERY_THROW)->close(true);
}

// Whether the text is in one of texts, each replaced whole where it is:
// what the document's search never reads, the texts of drawing shapes and of
// headers and footers no page shows, is rare enough that the floor keeps it
// simple (letter case counts here; dropping the replaced text's formatting
// costs fewer messages than keeping it, so the floor is if anything lower).
inline bool replaceInTexts(const std::vector<Reference<css::text::XText>>& texts,
                           const std::string& find, const std::string& replace) {
  bool found = false;
  for (const auto& t : texts) {
    const OUString all = t->getString();
    if (all.indexOf(text(find)) < 0) continue;
    found = true;
    t->setString(all.replaceAll(text(find), text(replace)));
  }
  return found;
}

// The texts the document's search does not read: the headers and footers of
// each page style in use (or following one in use), each text once (a shared
// left or first page's text is the style's own), and the draw page's shapes.
inline std::vector<Reference<css::text::XText>> textsBesideTheSearch(
    const Reference<css::lang::XComponent>& component) {
  std::vector<Reference<css::text::XText>> texts;
  Reference<css::container::XNameAccess> styles(
      Reference<css::style::XStyleFamiliesSupplier>(component, UNO_QUERY_THROW)
          ->getStyleFamilies()
          ->getByName("PageStyles"),
      UNO_QUERY_THROW);
  std::vector<OUString> wanted;
  for (const OUString& name : styles->getElementNames()) {
    if (Reference<css::style::XStyle>(styles->getByName(name), UNO_QUERY_THROW)->isInUse()) {
      wanted.push_back(name);
    }
  }
  const OUString flagNames[] = {"HeaderIsOn",     "FooterIsOn",    "HeaderIsShared",
                                "FooterIsShared", "FirstIsShared", "FollowStyle"};
  for (std::size_t i = 0; i < wanted.size(); ++i) {
    Reference<css::beans::XMultiPropertySet> style(styles->getByName(wanted[i]), UNO_QUERY_THROW);
    const Sequence<Any> flags = style->getPropertyValues(Sequence<OUString>(flagNames, 6));
    bool header = false, footer = false, headerShared = true, footerShared = true,
         firstShared = true;
    OUString follow;
    flags[0] >>= header;
    flags[1] >>= footer;
    flags[2] >>= headerShared;
    flags[3] >>= footerShared;
    flags[4] >>= firstShared;
    flags[5] >>= follow;
    if (!follow.isEmpty() && std::find(wanted.begin(), wanted.end(), follow) == wanted.end()) {
      wanted.push_back(follow);
    }
    std::vector<OUString> names;
    if (header) names.push_back("HeaderText");
    if (header && !headerShared) names.push_back("HeaderTextLeft");
    if (header && !firstShared) names.push_back("HeaderTextFirst");
    if (footer) names.push_back("FooterText");
    if (footer && !footerShared) names.push_back("FooterTextLeft");
    if (footer && !firstShared) names.push_back("FooterTextFirst");
    if (names.empty()) continue;
    for (const Any& value : style->getPropertyValues(
             Sequence<OUString>(names.data(), static_cast<sal_Int32>(names.size())))) {
      Reference<css::text::XText> t(value, UNO_QUERY);
      if (t.is()) texts.push_back(t);
    }
  }
  // A text document has one draw page, still handed out this way.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
  Reference<css::container::XIndexAccess> page(
      Reference<css::drawing::XDrawPageSupplier>(component, UNO_QUERY_THROW)->getDrawPage(),
      UNO_QUERY_THROW);
#pragma GCC diagnostic pop
  for (sal_Int32 i = 0; i < page->getCount(); ++i) {
    Reference<css::text::XText> t(page->getByIndex(i), UNO_QUERY);
    if (t.is()) texts.push_back(t);
  }
  return texts;
}

// Whether the document held the text.
inline bool replaceInDocument(const Reference<css::frame::XDesktop2>& desktop,
                              const std::filesystem::path& file, const std::string& find,
                              const std::string& replace) {
  const auto component = load(desktop, file);
  Reference<css::util::XReplaceable> document(component, UNO_QUERY_THROW);
  const auto search = descriptor(document, find, replace);
  const bool inSearch = document->findFirst(search).is();
  if (inSearch) document->replaceAll(search);
  const bool beside = replaceInTexts(textsBesideTheSearch(component), find, replace);
  if (inSearch || beside) storeIfModified(component, file);
  close(component);
  return inSearch || beside;
}

inline bool noLinksToOtherFiles(const Reference<css::lang::XComponent>& component) {
  Reference<css::sheet::XExternalDocLinks> links;
  Reference<css::beans::XPropertySet>(component, UNO_QUERY_THROW)
      ->getPropertyValue("ExternalDocLinks") >>= links;
  return !links.is() || links->getCount() == 0;
}

// The names of the sheets that held the text.
inline std::vector<std::string> replaceInWorkbook(const Reference<css::frame::XDesktop2>& desktop,
                                                  const std::filesystem::path& file,
                                                  const std::string& find,
                                                  const std::string& replace) {
  const auto component = load(desktop, file);
  const auto sheets =
      Reference<css::sheet::XSpreadsheetDocument>(component, UNO_QUERY_THROW)->getSheets();
  const Sequence<OUString> names = sheets->getElementNames();
  Reference<css::container::XIndexAccess> byIndex(sheets, UNO_QUERY_THROW);
  Reference<css::util::XSearchDescriptor> search;
  Reference<css::sheet::XSpreadsheet> sheet;
  std::vector<std::string> replaced;
  for (sal_Int32 i = 0; i < names.getLength(); ++i) {
    sheet.set(byIndex->getByIndex(i), UNO_QUERY_THROW);
    Reference<css::util::XReplaceable> cells(sheet, UNO_QUERY_THROW);
    if (!search.is()) {
      search = descriptor(cells, find, replace);
      // Rows a filter hides hold text of the sheet too.
      Reference<css::beans::XPropertySet>(search, UNO_QUERY_THROW)
          ->setPropertyValue("SearchFiltered", Any(true));
    }
    if (cells->findFirst(search).is()) {
      // The sheet's replacement reaches the paths of links to other files in
      // formulas, which must stay: the floor asks, as the program does, and
      // has no workbooks with such links to replace.
      if (replaced.empty() && !noLinksToOtherFiles(component)) {
        close(component);
        throw std::runtime_error("the floor does not replace in workbooks with external links");
      }
      cells->replaceAll(search);
      replaced.push_back(OUStringToOString(names[i], RTL_TEXTENCODING_UTF8).getStr());
    }
  }
  storeIfModified(component, file, sheet);
  close(component);
  return replaced;
}

}  // namespace plain_loop
