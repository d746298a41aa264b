#include "office/libreoffice/libreoffice_server.h"

#include "office/libreoffice/excel_objects.h"
#include "office/libreoffice/session.h"
#include "office/libreoffice/word_objects.h"

namespace office::libreoffice {

namespace {

class ApplicationObject : public LoObject {
 public:
  using LoObject::LoObject;
  Variant answer(std::string_view member, CallKind kind, const Arguments&) override {
    if (member.empty() || sameName(member, "Name")) return session_->installation().productName;
    if (sameName(member, "Version")) return session_->installation().version;
    if (sameName(member, "Visible")) return kind == CallKind::Put ? Variant() : Variant(false);
    if (sameName(member, "Documents")) return documentsObject(session_);
    if (sameName(member, "Workbooks")) return workbooksObject(session_);
    if (sameName(member, "ActiveDocument")) {
      auto document = session_->active(false);
      if (!document) throw AutomationError(office::kErrNoDocumentOpen, "没有打开的文档");
      return documentObject(session_, document);
    }
    if (sameName(member, "Quit")) {
      session_->quit();
      return {};
    }
    unknownMember();
  }
};

}  // namespace

bool registerServers(ServerRegistry& registry, const Options& options) {
  std::optional<Installation> installation = findInstallation(options.programFolder);
  if (!installation) return false;
  auto factory = [installation = *installation, options]() {
    return Object(
        std::make_shared<ApplicationObject>(std::make_shared<Session>(installation, options)));
  };
  // Cells.Replace here writes text cells as text (replaceKeepingText); Find
  // takes its texts literally, of any length.
  registry.add("word.Application", factory, {.replaceKeepsText = true, .findIsLiteral = true});
  registry.add("excel.Application", factory, {.replaceKeepsText = true, .findIsLiteral = true});
  return true;
}

}  // namespace office::libreoffice
