// The calls the runs make and the answers they rely on, written once as
// scenarios and run against every server that answers them: the recording
// fake, the Windows test office and the LibreOffice server. A scenario that
// one server answers differently fails there.
#pragma once

#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "office/automation.h"
#include "support/fixtures.h"

namespace contract {

struct Document {
  std::string name;
  std::string body;
  std::string header;  // the first section's primary header; none when empty
};

struct Sheet {
  std::string name;
  std::vector<std::string> cells;  // text cells, one after the other
  bool operator==(const Sheet&) const = default;
};

struct Workbook {
  std::string name;
  std::vector<Sheet> sheets;
};

// A server under contract: its servers, and its documents and workbooks as
// it keeps them, made and read back in its own terms.
class Subject {
 public:
  virtual ~Subject() = default;
  virtual const office::ServerRegistry& servers() = 0;
  // An empty folder for one scenario, as a UTF-8 path.
  std::string freshFolder();
  virtual void make(const std::string& folder, const std::vector<Document>& documents) = 0;
  virtual void make(const std::string& folder, const Workbook& workbook) = 0;
  // Every text the document shows, its stories in any order.
  virtual std::string textOf(const std::string& folder, const std::string& document) = 0;
  virtual std::vector<Sheet> sheetsOf(const std::string& folder, const std::string& workbook) = 0;
  // The calls made of the server since the last take, as it logs them
  // ("Documents.Close(True)"); none for a server that keeps no log.
  virtual std::optional<std::vector<std::string>> takeCalls() { return std::nullopt; }

 private:
  testsupport::TempFolder work_;
  int folders_ = 0;
};

void PrintTo(const Sheet& sheet, std::ostream* out);

// Runs every scenario against subject, each failure a test failure.
void expectTheContract(Subject& subject);

}  // namespace contract
