// Excel's objects on a workbook: Workbooks, Workbook, Worksheets, a
// worksheet, its Cells and a cell.
#pragma once

#include "office/libreoffice/session.h"

namespace office::libreoffice {

Object workbooksObject(const SessionPtr& session);

}  // namespace office::libreoffice
