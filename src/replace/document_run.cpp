#include "replace/document_run.h"

#include "replace/skipped_files.h"

namespace replace {

using office::AutomationError;
using office::Object;
using office::Variant;

namespace {

// The path opened in the server's Documents. A server without Documents (a
// spreadsheet server behind a WPS ProgID) is traded once for the suite's
// text server, which gets the same calls; false when none could be had.
bool openDocument(BatchServer& server, const std::string& path, Object& document) {
  Object documents;
  try {
    documents = server.app().get("Documents").toObject();
  } catch (const AutomationError& e) {
    if (e.code() != office::kErrNoSuchMember || !server.canTakeTextServer()) throw;
    if (!server.takeTextServer()) return false;
    documents = server.app().get("Documents").toObject();
  }
  document = openDocumentIn(documents, path);
  return true;
}

void closeDocuments(const Object& app, bool save) {
  app.get("Documents").toObject().call("Close", {Variant(save)});
}

bool findIn(const Object& document, const std::string& text) {
  Variant found =
      document.get("Content").toObject().get("Find").toObject().call("Execute", {Variant(text)});
  return !found.isNull() && found.toBool();
}

void replaceInActive(const Object& app, const std::string& findText,
                     const std::string& replaceText) {
  app.get("ActiveDocument")
      .toObject()
      .get("Content")
      .toObject()
      .get("Find")
      .toObject()
      .call("Execute", std::vector<std::pair<std::string, Variant>>{
                           {"FindText", findText},
                           {"ReplaceWith", replaceText},
                           {"Replace", std::int16_t{2}},
                       });
}

// One pair on the open document: the test on its content (with the pair's
// find text) and, where found, every occurrence replaced on the active
// document's fresh content. True when the text was found.
bool replacePair(const Object& app, const Object& document, const RunWindow& window) {
  if (!findIn(document, window.findText())) return false;
  replaceInActive(app, window.findText(), window.replaceText());
  return true;
}

// The occurrences of text, counted as a Word macro counts them: one range,
// each successful find moving it onto the next occurrence, never wrapping
// round to the start.
std::int64_t countIn(const Object& document, const std::string& text) {
  const Object find = document.get("Content").toObject().get("Find").toObject();
  const std::vector<std::pair<std::string, Variant>> arguments{
      {"FindText", text}, {"Forward", true}, {"Wrap", std::int16_t{0}},  // wdFindStop
  };
  std::int64_t count = 0;
  for (;;) {
    const Variant found = find.call("Execute", arguments);
    if (found.isNull() || !found.toBool()) return count;
    ++count;
  }
}

RunResult fileResult(const std::string& entry, bool replaced) {
  RunResult result;
  result.entry = entry;
  result.outcome = replaced ? RunResult::Outcome::Replaced : RunResult::Outcome::NotFound;
  result.line = entry + (replaced ? " 已替换内容" : " 没找到替换的内容");
  return result;
}

}  // namespace

void runDocuments(const office::ServerRegistry& servers, ServerChoice choice, RunWindow& window) {
  BatchServer server(servers, choice, window);
  if (!server.start()) return;

  // The count is read at every turn: a command-line job learns only as it
  // goes whether another file is left for it. A window's list is fixed
  // during a run.
  for (std::size_t i = 0; i < window.fileCount(); ++i) {
    if (reportedWithoutOpening(window, i)) continue;
    const Object& app = server.app();
    bool opened = false;
    bool saving = false;
    try {
      const std::string path = composePath(window.folder(), window.fileEntry(i));
      Object document;
      if (!openDocument(server, path, document)) return;
      opened = true;
      app.put("Visible", false);
      if (window.countOnly()) {
        std::int64_t count = 0;
        for (std::size_t p = 0; p < window.pairCount(); ++p) {
          window.selectPair(p);
          count += countIn(document, window.findText());
        }
        closeDocuments(app, false);
        window.reportResult(countResult(window.fileEntry(i), "", count));
        continue;
      }
      bool replaced = false;
      for (std::size_t p = 0; p < window.pairCount(); ++p) {
        window.selectPair(p);
        if (replacePair(app, document, window)) replaced = true;
      }
      if (replaced) {
        window.keepOriginal(window.fileEntry(i));
        saving = true;
      }
      closeDocuments(app, replaced);
      window.reportResult(fileResult(window.fileEntry(i), replaced));
    } catch (const AutomationError& e) {
      const bool gone = office::isServerGone(e.code());
      if (saving) window.saveFailed(window.fileEntry(i));
      if (opened && !gone) {
        // Leave the file as it was on disk: whatever the run did to it is dropped.
        try {
          closeDocuments(app, false);
        } catch (const AutomationError&) {
        }
      }
      window.reportResult(failureResult(window.fileEntry(i), "", "", e));
      if (gone && !server.restart()) return;
    }
  }
  server.quit();
}

}  // namespace replace
