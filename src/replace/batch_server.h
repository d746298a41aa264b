// The one server a batch run drives: created by ProgID (with the WPS fallback
// on 429), made safe for unattended use, recreated when its process dies, and
// always told to quit at the end of the run.
#pragma once

#include <string>
#include <string_view>

#include "office/automation.h"
#include "replace/run_window.h"

namespace replace {

struct ServerChoice {
  std::string_view progId;
  std::string_view fallbackOn429;  // tried only when progId fails with 429; "" for none
};

// The servers of the run buttons.
inline constexpr ServerChoice kWordServer{"word.Application", ""};
inline constexpr ServerChoice kExcelServer{"excel.application", ""};
inline constexpr ServerChoice kWpsServer{"ET.Application", "KET.Application"};

class BatchServer {
 public:
  BatchServer(const office::ServerRegistry& servers, ServerChoice choice, RunWindow& window);
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

  const office::Object& app() const { return app_; }
  // Whether the server in use registered its Cells.Replace as keeping text.
  bool replaceKeepsText() const { return servers_.traits(progIdInUse_).replaceKeepsText; }

 private:
  office::Object create(std::string_view progId);
  void reportCannotStart(std::string_view progId, const office::AutomationError& error);

  const office::ServerRegistry& servers_;
  ServerChoice choice_;
  RunWindow& window_;
  std::string progIdInUse_;
  office::Object app_;
};

// The folder and the name joined by one separator, always added, also after a
// folder that already ends in one: the server receives the path as composed.
std::string composePath(const std::string& folder, const std::string& name);

// "<name> 处理失败，错误代码：<code>错误描述：<description>"
std::string failureLine(const std::string& name, const office::AutomationError& error);

}  // namespace replace
