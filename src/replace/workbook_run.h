// The workbook batch: every worksheet of every listed workbook tested with a
// find, replaced where found, and reported with one line; a workbook is
// saved only when something in it was replaced.
#pragma once

#include "office/automation.h"
#include "replace/batch_server.h"
#include "replace/run_host.h"

namespace replace {

// Replaces every occurrence of findText on sheet by replaceText, the
// boxes being what Cells.Replace receives for them; a text cell stays text
// with exactly its replaced string also where the server's Cells.Replace
// would re-read it as typed input (serverKeepsText false). Letter case is
// ignored unless matchCase.
void replaceOnSheet(const office::Object& sheet, const office::Variant& findBox,
                    const office::Variant& replaceBox, const std::string& findText,
                    const std::string& replaceText, bool serverKeepsText, bool matchCase);

void runWorkbooks(const office::ServerRegistry& servers, ServerChoice choice, RunHost& host);

}  // namespace replace
