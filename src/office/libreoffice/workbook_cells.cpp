#include "office/libreoffice/workbook_cells.h"

#include "office/libreoffice/cell_text_rules.h"

namespace office::libreoffice {

namespace {

// A cell's text set through its text is never read as input, but takes the
// text number format: its own is put back.
void setCellText(const Reference<css::table::XCell>& cell, const std::string& value) {
  static const OUString kFormat = "NumberFormat";
  Reference<css::beans::XPropertySet> properties(cell, UNO_QUERY_THROW);
  const Any format = properties->getPropertyValue(kFormat);
  Reference<css::text::XText>(cell, UNO_QUERY_THROW)->setString(toOUString(value));
  properties->setPropertyValue(kFormat, format);
}

}  // namespace

void takeOut(const Reference<css::container::XIndexAccess>& found,
             const std::vector<css::table::CellRangeAddress>& cells) {
  if (cells.empty()) return;
  Reference<css::sheet::XSheetCellRangeContainer>(found, UNO_QUERY_THROW)
      ->removeRangeAddresses(Sequence<css::table::CellRangeAddress>(
          cells.data(), static_cast<sal_Int32>(cells.size())));
}

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

}  // namespace office::libreoffice
