// The document batch: every file of the list opened in a word-processor
// server, tested with a find, replaced and saved where found, closed, and
// reported with one line.
#pragma once

#include "office/automation.h"
#include "replace/batch_server.h"
#include "replace/run_host.h"

namespace replace {

void runDocuments(const office::ServerRegistry& servers, ServerChoice choice, RunHost& host);

}  // namespace replace
