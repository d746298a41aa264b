// A rules workbook: the pairs in columns A and B of its first sheet, read
// through a spreadsheet server, since no text file holds them.
#pragma once

#include <string>
#include <vector>

#include "office/automation.h"
#include "replace/batch_server.h"
#include "replace/rules_file.h"

namespace replace {

// Whether a rules file (path UTF-8) is a workbook: named *.xls or *.xlsx and
// beginning as one (OLE2 or zip). Such a file is read through a spreadsheet
// server, never as text.
bool isRulesWorkbook(const std::string& path);

// The spreadsheet server of the suite whose run or text server is choice.
ServerChoice spreadsheetServerOf(ServerChoice choice);

// The pairs of the workbook at path (UTF-8, absolute), opened read-only in
// the server of choice and closed unsaved; the server quits before this
// returns. Row by row from the sheet's first used row: empty rows and rows
// whose column A begins with '#' are skipped; a number or date is taken as
// the cell shows it. A row with an empty column A or a cell that shows no
// value (an error, "####"), and a workbook that cannot be read, are refused
// with RulesError naming the row.
std::vector<ReplacePair> readWorkbookRules(const office::ServerRegistry& servers,
                                           ServerChoice choice, const std::string& path);

}  // namespace replace
