// What the workbook objects do with found cells themselves, where the
// office's own replacement would change what a cell is (a text read as a
// number, a link made plain text) or refuses the sheet.
#pragma once

#include "office/libreoffice/session.h"

namespace office::libreoffice {

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
                             const std::function<bool(sal_Int32)>& textFormat);

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
    const std::string& with, bool matchCase, bool wholeCell);

// The found cells that are a hyperlink, replaced inside the link's text and
// taken out of found: the office's replacement would make them plain text,
// losing the link. A hyperlink cell, as Excel makes it, is one link field
// that is the whole of the cell's text; other cells are left to the office.
// The number of cells replaced.
sal_Int32 replaceInHyperlinks(const Reference<css::sheet::XSpreadsheet>& sheet,
                              const Reference<css::container::XIndexAccess>& found,
                              const std::string& what, const std::string& with, bool matchCase,
                              bool wholeCell);

// The cells of found that their protected sheet keeps from change, taken out
// of found; how many there were.
sal_Int32 takeOutLockedCells(const Reference<css::sheet::XSpreadsheet>& sheet,
                             const Reference<css::container::XIndexAccess>& found);

// Leaves cells out of found, the office's container of found cells.
void takeOut(const Reference<css::container::XIndexAccess>& found,
             const std::vector<css::table::CellRangeAddress>& cells);

}  // namespace office::libreoffice
