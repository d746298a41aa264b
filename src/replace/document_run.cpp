#include "replace/document_run.h"

#include <functional>

#include "replace/document_stories.h"
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

using Named = std::vector<std::pair<std::string, Variant>>;

// MatchCase is passed only when letter case must match: without it the
// calls are the window's, which leave case to the server's default.
Named withCase(Named arguments, bool matchCase) {
  if (matchCase) arguments.emplace_back("MatchCase", true);
  return arguments;
}

bool found(const Object& range, const std::string& text, bool matchCase) {
  const Object find = range.get("Find").toObject();
  const Variant result = matchCase ? find.call("Execute", {Variant(text), Variant(true)})
                                   : find.call("Execute", {Variant(text)});
  return !result.isNull() && result.toBool();
}

void replaceAll(const Object& range, const FindTexts& texts) {
  range.get("Find").toObject().call("Execute", withCase(
                                                   {
                                                       {"FindText", texts.find},
                                                       {"ReplaceWith", texts.replacement},
                                                       {"Replace", std::int16_t{2}},
                                                   },
                                                   texts.matchCase));
}

// A replacement too long for ReplaceWith, set occurrence by occurrence: a
// successful find makes the range the occurrence, and collapsing it to its
// end lets the next find go on after the new text, never inside it.
void replaceEach(const Object& range, const FindTexts& texts) {
  const Object find = range.get("Find").toObject();
  const Named arguments = withCase(
      {{"FindText", texts.find}, {"Forward", true}, {"Wrap", std::int16_t{0}}},  // wdFindStop
      texts.matchCase);
  for (;;) {
    const Variant result = find.call("Execute", arguments);
    if (result.isNull() || !result.toBool()) return;
    range.put("Text", texts.literalReplacement);
    range.call("Collapse", {Variant(std::int16_t{0})});  // wdCollapseEnd
  }
}

// The test on one place of the document and, where it finds the text, the
// replacement on a fresh range over the same place. Whether the place was
// replaced is what the test found: the replacement's own answer is not read.
bool replaceAt(const Object& tested, const std::function<Object()>& again, const FindTexts& texts) {
  if (!found(tested, texts.find, texts.matchCase)) return false;
  if (texts.byOccurrence) {
    replaceEach(again(), texts);
  } else {
    replaceAll(again(), texts);
  }
  return true;
}

// One pair on the open document: its main story (tested on its content,
// replaced on the active document's fresh content), then every other place
// that holds text. True when the text was found anywhere.
bool replacePair(const Object& app, const Object& document, DocumentStories& stories,
                 const FindTexts& texts) {
  bool replaced = replaceAt(
      document.get("Content").toObject(),
      [&app] { return app.get("ActiveDocument").toObject().get("Content").toObject(); }, texts);
  stories.forEach([&](const Object& range, const std::function<Object()>& again) {
    if (replaceAt(range, again, texts)) replaced = true;
  });
  return replaced;
}

// The occurrences of text in a range, counted as a Word macro counts them:
// one range, each successful find moving it onto the next occurrence, never
// wrapping round to the start.
std::int64_t countIn(const Object& range, const std::string& text, bool matchCase) {
  const Object find = range.get("Find").toObject();
  const Named arguments =
      withCase({{"FindText", text}, {"Forward", true}, {"Wrap", std::int16_t{0}}},  // wdFindStop
               matchCase);
  std::int64_t count = 0;
  for (;;) {
    const Variant result = find.call("Execute", arguments);
    if (result.isNull() || !result.toBool()) return count;
    ++count;
  }
}

// The occurrences in every place a replacement reaches.
std::int64_t countPair(const Object& document, DocumentStories& stories, const std::string& text,
                       bool matchCase) {
  std::int64_t count = countIn(document.get("Content").toObject(), text, matchCase);
  stories.forEach([&](const Object& range, const std::function<Object()>&) {
    count += countIn(range, text, matchCase);
  });
  return count;
}

// A find text too long for the servers of the choice is refused before one
// is created: every document would fail with it.
bool refusedFindText(const office::ServerRegistry& servers, ServerChoice choice, RunHost& host) {
  for (std::size_t p = 0; p < host.pairCount(); ++p) {
    host.selectPair(p);
    const std::string refusal = findTextRefusal(servers, choice, host.findText());
    if (refusal.empty()) continue;
    host.report(refusal + "，未处理任何文件");
    return true;
  }
  return false;
}

// The selected pair as the server in use takes it (a WPS choice may have
// traded its server for the suite's text server on opening).
FindTexts pairTexts(const BatchServer& server, const RunHost& host) {
  FindTexts texts = findTexts(host.findText(), host.replaceText(), server.findIsLiteral());
  texts.matchCase = host.matchCase();
  return texts;
}

RunResult fileResult(const std::string& entry, bool replaced) {
  RunResult result;
  result.entry = entry;
  result.outcome = replaced ? RunResult::Outcome::Replaced : RunResult::Outcome::NotFound;
  result.line = entry + (replaced ? " 已替换内容" : " 没找到替换的内容");
  return result;
}

}  // namespace

void runDocuments(const office::ServerRegistry& servers, ServerChoice choice, RunHost& host) {
  if (refusedFindText(servers, choice, host)) return;
  BatchServer server(servers, choice, host);
  if (!server.start()) return;

  while (const std::optional<RunFile> file = host.nextFile()) {
    if (reportedWithoutOpening(host, *file)) continue;
    const Object& app = server.app();
    bool opened = false;
    bool saving = false;
    try {
      const std::string path = composePath(host.folder(), file->entry);
      Object document;
      if (!openDocument(server, path, document)) return;
      opened = true;
      app.put("Visible", false);
      DocumentStories stories(document);
      if (host.countOnly()) {
        std::int64_t count = 0;
        for (std::size_t p = 0; p < host.pairCount(); ++p) {
          host.selectPair(p);
          count += countPair(document, stories, pairTexts(server, host).find, host.matchCase());
        }
        closeDocuments(app, false);
        host.reportResult(countResult(file->entry, "", count));
        continue;
      }
      bool replaced = false;
      for (std::size_t p = 0; p < host.pairCount(); ++p) {
        host.selectPair(p);
        if (replacePair(app, document, stories, pairTexts(server, host))) replaced = true;
      }
      if (replaced) {
        host.keepOriginal(file->entry);
        saving = true;
      }
      closeDocuments(app, replaced);
      host.reportResult(fileResult(file->entry, replaced));
    } catch (const AutomationError& e) {
      const bool gone = office::isServerGone(e.code());
      if (saving) host.saveFailed(file->entry);
      if (opened && !gone) {
        // Leave the file as it was on disk: whatever the run did to it is dropped.
        try {
          closeDocuments(app, false);
        } catch (const AutomationError&) {
        }
      }
      host.reportResult(failureResult(file->entry, "", "", e));
      if (gone && !server.restart()) return;
    }
  }
  server.quit();
}

}  // namespace replace
