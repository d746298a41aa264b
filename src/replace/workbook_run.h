// The workbook batch: every worksheet of every listed workbook tested with a
// find, replaced where found, and reported with one line; every workbook is
// closed with saving.
#pragma once

#include "office/automation.h"
#include "replace/batch_server.h"
#include "replace/run_window.h"

namespace replace {

void runWorkbooks(const office::ServerRegistry& servers, ServerChoice choice, RunWindow& window);

}  // namespace replace
