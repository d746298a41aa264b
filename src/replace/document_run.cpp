#include "replace/document_run.h"

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

}  // namespace

void runDocuments(const office::ServerRegistry& servers, ServerChoice choice, RunWindow& window) {
  BatchServer server(servers, choice, window);
  if (!server.start()) return;

  // The count is read at every turn: a command-line job learns only as it
  // goes whether another file is left for it. A window's list is fixed
  // during a run.
  for (std::size_t i = 0; i < window.fileCount(); ++i) {
    const Object& app = server.app();
    bool opened = false;
    try {
      const std::string path = composePath(window.folder(), window.fileEntry(i));
      Object document;
      if (!openDocument(server, path, document)) return;
      opened = true;
      app.put("Visible", false);
      if (findIn(document, window.findText())) {
        replaceInActive(app, window.findText(), window.replaceText());
        closeDocuments(app, true);
        window.report(window.fileEntry(i) + " 已替换内容");
      } else {
        closeDocuments(app, false);
        window.report(window.fileEntry(i) + " 没找到替换的内容");
      }
    } catch (const AutomationError& e) {
      const bool gone = office::isServerGone(e.code());
      if (opened && !gone) {
        // Leave the file as it was on disk: whatever the run did to it is dropped.
        try {
          closeDocuments(app, false);
        } catch (const AutomationError&) {
        }
      }
      window.report(failureLine(window.fileEntry(i), e));
      if (gone && !server.restart()) return;
    }
  }
  server.quit();
}

}  // namespace replace
