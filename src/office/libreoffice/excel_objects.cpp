#include "office/libreoffice/excel_objects.h"

#include "office/libreoffice/cell_text_rules.h"
#include "office/libreoffice/workbook_cells.h"

#include <com/sun/star/sheet/FormulaResult.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/text/XTextRange.hpp>

namespace office::libreoffice {

namespace {

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
    if (sameName(member, "Value2")) return value2();
    if (sameName(member, "Text")) {
      // The cell as the sheet shows it, formatted.
      Reference<css::text::XTextRange> text(cell_, UNO_QUERY);
      return text.is() ? toUtf8(text->getString()) : std::string();
    }
    if (!member.empty() && !sameName(member, "Value") && !sameName(member, "Formula")) {
      unknownMember();
    }
    Reference<css::table::XCell> cell(cell_, UNO_QUERY);
    return cell.is() ? toUtf8(cell->getFormula()) : std::string();
  }

 private:
  // As Excel's: a number (a date's serial number too) as a number, a text as
  // text, nothing for an empty cell; an error value fails, as it does for a
  // late-bound caller.
  Variant value2() const {
    Reference<css::table::XCell> cell(cell_, UNO_QUERY_THROW);
    css::table::CellContentType type = cell->getType();
    if (type == css::table::CellContentType_FORMULA) {
      if (cell->getError() != 0) throw AutomationError(kErrTypeMismatch, "类型不匹配");
      sal_Int32 result = 0;
      Reference<css::beans::XPropertySet>(cell_, UNO_QUERY_THROW)
          ->getPropertyValue("FormulaResultType2") >>= result;
      type = result == css::sheet::FormulaResult::VALUE ? css::table::CellContentType_VALUE
                                                        : css::table::CellContentType_TEXT;
    }
    switch (type) {
      case css::table::CellContentType_EMPTY:
        return {};
      case css::table::CellContentType_VALUE:
        return cell->getValue();
      default:
        return toUtf8(Reference<css::text::XTextRange>(cell_, UNO_QUERY_THROW)->getString());
    }
  }

  Reference<css::uno::XInterface> cell_;
  Reference<css::container::XIndexAccess> found_;
};

// A sheet's used area: its first row and how many rows it spans.
class UsedRangeObject : public LoObject {
 public:
  UsedRangeObject(SessionPtr s, css::table::CellRangeAddress area)
      : LoObject(std::move(s)), area_(area) {}
  Variant answer(std::string_view member, CallKind, const Arguments&) override {
    if (sameName(member, "Row")) return static_cast<std::int32_t>(area_.StartRow + 1);
    if (sameName(member, "Column")) return static_cast<std::int32_t>(area_.StartColumn + 1);
    if (sameName(member, "Rows") || sameName(member, "Columns")) {
      const auto count = sameName(member, "Rows") ? area_.EndRow - area_.StartRow + 1
                                                  : area_.EndColumn - area_.StartColumn + 1;
      return make<CountObject>(static_cast<std::int32_t>(count));
    }
    unknownMember();
  }

 private:
  class CountObject : public LoObject {
   public:
    CountObject(SessionPtr s, std::int32_t count) : LoObject(std::move(s)), count_(count) {}
    Variant answer(std::string_view member, CallKind, const Arguments&) override {
      if (sameName(member, "Count")) return count_;
      unknownMember();
    }

   private:
    std::int32_t count_;
  };

  css::table::CellRangeAddress area_;
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
    if (sameName(member, "Item")) {
      const auto row = required(args, 0, "RowIndex").toInteger();
      const auto column = required(args, 1, "ColumnIndex").toInteger();
      if (row < 1 || column < 1 || row > 1048576 || column > 16384) {
        throw AutomationError(kErrFailed, "单元格位置无效");
      }
      Reference<css::table::XCellRange> cells(sheetsOf(*doc_).at(index_).sheet, UNO_QUERY_THROW);
      return make<CellObject>(Reference<css::uno::XInterface>(cells->getCellByPosition(
          static_cast<sal_Int32>(column - 1), static_cast<sal_Int32>(row - 1))));
    }
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
    // The links among the cells left are replaced inside them, as on an
    // unprotected sheet: written through its text, a cell loses its link.
    if (holdingsOfOriginal(*doc_)[Held::Hyperlink] > 0) {
      done.cells = replaceInHyperlinks(sheet.sheet, found, what, with, matchCase, wholeCell);
    }
    const auto [replaced, left] =
        replaceCellByCell(sheet.sheet, found, what, with, matchCase, wholeCell);
    done.cells += replaced;
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
    if (sameName(member, "UsedRange")) {
      const Reference<css::sheet::XSpreadsheet>& sheet = sheetsOf(*doc_).at(index_).sheet;
      Reference<css::sheet::XUsedAreaCursor> cursor(sheet->createCursor(), UNO_QUERY_THROW);
      cursor->gotoStartOfUsedArea(false);
      cursor->gotoEndOfUsedArea(true);
      return make<UsedRangeObject>(
          Reference<css::sheet::XCellRangeAddressable>(cursor, UNO_QUERY_THROW)->getRangeAddress());
    }
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
      return make<WorkbookObject>(
          session_->open(required(args, 0, "Filename").toText(), true, flag(args, 2, "ReadOnly")));
    }
    unknownMember();
  }
};

}  // namespace

Object workbooksObject(const SessionPtr& session) {
  return Object(std::make_shared<WorkbooksObject>(session));
}

}  // namespace office::libreoffice
