// The one server a batch run drives: created by ProgID (with the WPS fallback
// on 429), made safe for unattended use, recreated when its process dies, and
// always told to quit at the end of the run.
#pragma once

#include <string>
#include <string_view>

#include "office/automation.h"
#include "replace/run_host.h"

namespace replace {

struct ServerChoice {
  std::string_view progId;
  std::string_view fallbackOn429;  // tried only when progId fails with 429; "" for none
  // For a document run whose server has no Documents (a spreadsheet server):
  // the suite's text server, and the one tried when it fails with 429.
  std::string_view textServer = "";
  std::string_view textFallbackOn429 = "";
};

// The servers of the run buttons. WPS's ET and KET servers are spreadsheet
// servers only; its text servers are KWPS (newer) and WPS (older).
inline constexpr ServerChoice kWordServer{"word.Application", ""};
inline constexpr ServerChoice kExcelServer{"excel.application", ""};
inline constexpr ServerChoice kWpsServer{"ET.Application", "KET.Application", "KWPS.Application",
                                         "WPS.Application"};

// Documents.Open and Workbooks.Open: the path, then the named arguments that
// make a suite fail instead of showing a dialog nobody sees (conversion,
// read-only, password, link update), and keep the file out of its recent list.
// The password is one nobody uses: a protected file fails with the suite's own
// error, an unprotected one ignores it.
inline constexpr std::string_view kNoPassword = "#ravelsk-no-password#";
office::Object openDocumentIn(const office::Object& documents, const std::string& path);
office::Object openWorkbookIn(const office::Object& workbooks, const std::string& path);

class BatchServer {
 public:
  BatchServer(const office::ServerRegistry& servers, ServerChoice choice, RunHost& host);
  ~BatchServer();  // quits the server if it is still alive
  BatchServer(const BatchServer&) = delete;
  BatchServer& operator=(const BatchServer&) = delete;

  // Creates the server; false (and one reported line) when it cannot be.
  bool start();
  // After the server died: a fresh one of the same ProgID; false (and one
  // reported line) when it cannot be created.
  bool restart();
  // Tells the server to quit, ignoring a failure, and releases it.
  void quit();
  // A document run's server that turned out to have no Documents: quits it
  // and takes the suite's text server instead. False when the choice has
  // none, when it was taken already, or when it cannot be created (one
  // reported line).
  bool canTakeTextServer() const { return !choice_.textServer.empty() && !textServerTaken_; }
  bool takeTextServer();

  const office::Object& app() const { return app_; }
  // Whether the server in use registered its Cells.Replace as keeping text.
  bool replaceKeepsText() const { return servers_.traits(progIdInUse_).replaceKeepsText; }
  // Whether the server in use takes Find texts as they are, of any length.
  bool findIsLiteral() const { return servers_.traits(progIdInUse_).findIsLiteral; }

 private:
  office::Object create(std::string_view progId);
  // progId, or fallbackOn429 (if any) when progId fails with 429; false (and
  // one reported line) when no server could be had.
  bool createEither(std::string_view progId, std::string_view fallbackOn429);
  void reportCannotStart(std::string_view progId, const office::AutomationError& error);

  const office::ServerRegistry& servers_;
  ServerChoice choice_;
  RunHost& host_;
  std::string progIdInUse_;
  office::Object app_;
  bool textServerTaken_ = false;
};

// The folder and the name joined by one separator, always added, also after a
// folder that already ends in one: the server receives the path as composed.
std::string composePath(const std::string& folder, const std::string& name);

// "<name> 处理失败，错误代码：<code>错误描述：<description>"
std::string failureLine(const std::string& name, const office::AutomationError& error);

// The failure of the file entry (on sheet, where one is named): its line names
// entry followed by label ("-<sheet>" for a workbook's sheet).
RunResult failureResult(const std::string& entry, const std::string& label,
                        const std::string& sheet, const office::AutomationError& error);

// A line of a run that only counted: "<name> 试运行：找到 N 处，未作改动" for a
// document, without the blank after a workbook's "<file>-<sheet>". locked:
// how many of the cells found a protected sheet keeps from change, for which
// the run would fail the sheet; the line then says so.
RunResult countResult(const std::string& entry, const std::string& sheet, std::int64_t count,
                      std::int64_t locked = 0);

}  // namespace replace
