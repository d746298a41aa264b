#include "replace/batch_server.h"

#include <memory>

#include "replace/run_host.h"

#ifdef _WIN32
#include "platform/windows/free_to_write.h"
#endif

namespace replace {

using office::AutomationError;
using office::Object;
using office::Variant;

namespace {

class TextBoxObject : public office::Dispatch {
 public:
  explicit TextBoxObject(std::string& text) : text_(text) {}
  Variant invoke(std::string_view member, office::CallKind kind,
                 const office::Arguments& args) override {
    if (!member.empty() && !office::sameName(member, "Text")) {
      throw AutomationError(office::kErrNoSuchMember, std::string(office::kNoSuchMemberText));
    }
    if (kind == office::CallKind::Put && !args.positional.empty()) {
      text_ = args.positional.front().toText();
      return {};
    }
    return text_;
  }

 private:
  std::string& text_;
};

}  // namespace

Object textBoxObject(std::string& text) {
  return Object(std::make_shared<TextBoxObject>(text));
}

std::string composePath(const std::string& folder, const std::string& name) {
#ifdef _WIN32
  return folder + "\\" + name;
#else
  return folder + "/" + name;
#endif
}

namespace {

// As on every face, a file the suite could not write back is refused before
// it opens it (LibreOffice's server checks for itself).
void requireFreeToWrite([[maybe_unused]] const std::string& path) {
#ifdef _WIN32
  switch (platform::windows::writeRefusal(path)) {
    case platform::windows::WriteRefusal::ReadOnly:
      throw AutomationError(office::kErrFailed, "文件只读，未作改动");
    case platform::windows::WriteRefusal::InUse:
      throw AutomationError(office::kErrFailed, "文件正被其他程序使用，未作改动");
    case platform::windows::WriteRefusal::None:
      break;
  }
#endif
}

}  // namespace

std::string failureLine(const std::string& name, const AutomationError& error) {
  return name + " 处理失败，错误代码：" + std::to_string(error.code()) + "错误描述：" +
         error.description();
}

Object openDocumentIn(const Object& documents, const std::string& path) {
  requireFreeToWrite(path);
  const std::string password(kNoPassword);
  return documents
      .call("Open", {Variant(path)},
            {
                {"ConfirmConversions", false},
                {"ReadOnly", false},
                {"AddToRecentFiles", false},
                {"PasswordDocument", password},
                {"WritePasswordDocument", password},
            })
      .toObject();
}

Object openWorkbookIn(const Object& workbooks, const std::string& path) {
  requireFreeToWrite(path);
  const std::string password(kNoPassword);
  return workbooks
      .call("Open", {Variant(path)},
            {
                {"UpdateLinks", std::int16_t{0}},
                {"ReadOnly", false},
                {"Password", password},
                {"WriteResPassword", password},
                {"AddToMru", false},
            })
      .toObject();
}

RunResult failureResult(const std::string& entry, const std::string& label,
                        const std::string& sheet, const AutomationError& error) {
  RunResult result;
  result.line = failureLine(entry + label, error);
  result.entry = entry;
  result.sheet = sheet;
  result.outcome = RunResult::Outcome::Failed;
  result.errorCode = error.code();
  result.errorDescription = error.description();
  return result;
}

RunResult countResult(const std::string& entry, const std::string& sheet, std::int64_t count,
                      std::int64_t locked) {
  RunResult result;
  result.line = (sheet.empty() ? entry + " " : entry + "-" + sheet) + "试运行：找到 " +
                std::to_string(count) + " 处";
  if (locked > 0) {
    // The run fails such a sheet, and with it the workbook.
    result.errorDescription = "部分单元格无法替换：" + std::to_string(locked) + " 处受保护";
    result.line += "，其中 " + std::to_string(locked) + " 处受保护，替换时会失败";
  }
  result.line += "，未作改动";
  result.entry = entry;
  result.sheet = sheet;
  result.outcome = locked > 0  ? RunResult::Outcome::WouldFail
                   : count > 0 ? RunResult::Outcome::WouldReplace
                               : RunResult::Outcome::NotFound;
  result.count = count;
  return result;
}

BatchServer::BatchServer(const office::ServerRegistry& servers, ServerChoice choice, RunHost& host)
    : servers_(servers), choice_(choice), host_(host) {}

BatchServer::~BatchServer() {
  quit();
}

Object BatchServer::create(std::string_view progId) {
  Object app = servers_.create(progId);
  progIdInUse_ = progId;
  // An invisible server must neither run the macros of the documents it opens
  // nor wait on a dialog nobody sees. Servers without these members are used
  // as they are.
  const bool word = office::sameName(progId, "word.Application");
  const bool excel = office::sameName(progId, "excel.Application");
  if (word || excel) {
    try {
      app.put("AutomationSecurity", std::int32_t{3});
    } catch (const AutomationError&) {
    }
    try {
      app.put("DisplayAlerts", word ? Variant(std::int32_t{0}) : Variant(false));
    } catch (const AutomationError&) {
    }
  }
  return app;
}

bool BatchServer::start() {
  return createEither(choice_.progId, choice_.fallbackOn429);
}

bool BatchServer::createEither(std::string_view progId, std::string_view fallbackOn429) {
  try {
    app_ = create(progId);
    return true;
  } catch (const AutomationError& e) {
    if (e.code() != office::kErrCannotCreate || fallbackOn429.empty()) {
      reportCannotStart(progId, e);
      return false;
    }
  }
  try {
    app_ = create(fallbackOn429);
    return true;
  } catch (const AutomationError& e) {
    reportCannotStart(fallbackOn429, e);
    return false;
  }
}

bool BatchServer::restart() {
  app_.release();
  const std::string progId = progIdInUse_;
  try {
    app_ = create(progId);
    return true;
  } catch (const AutomationError& e) {
    reportCannotStart(progId, e);
    return false;
  }
}

bool BatchServer::takeTextServer() {
  if (!canTakeTextServer()) return false;
  textServerTaken_ = true;
  quit();
  return createEither(choice_.textServer, choice_.textFallbackOn429);
}

void BatchServer::quit() {
  if (!app_) return;
  try {
    app_.call("Quit");
  } catch (const AutomationError&) {
  }
  app_.release();
}

void BatchServer::reportCannotStart(std::string_view progId, const AutomationError& error) {
  host_.report("无法启动办公软件：" + std::string(progId) + "，错误代码：" +
               std::to_string(error.code()) + "错误描述：" + error.description());
}

}  // namespace replace
