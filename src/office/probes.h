// The start-up probes: each creates one spreadsheet server, reads its version
// and reports it on the window's status label, the suite's option buttons and,
// when the server cannot be created, the journal.
#pragma once

#include <string>
#include <string_view>

#include "office/automation.h"
#include "office/suite.h"

namespace office {

// What a probe needs of the window: the status label that says what is
// installed, the suites' option buttons, and the journal.
class ProbeWindow {
 public:
  virtual ~ProbeWindow() = default;
  virtual std::string statusCaption() const = 0;
  virtual void setStatusCaption(std::string caption) = 0;
  virtual void enableSuite(Suite suite, bool enabled) = 0;
  // Appends a line to the journal; throws when it cannot.
  virtual void writeJournal(std::string line) = 0;
};

struct ProbeSettings {
  std::string_view progId;
  Suite suite;
  bool
      replacesCaption;  // the cannot-run and version lines replace the caption instead of appending
  std::string_view cannotRunLine;
  std::string_view versionPrefix;
  std::string_view notInstalledLine;
  std::string_view errorPrefix;
  std::string_view (*classify)(double version);
};

extern const ProbeSettings kCheckOffice;
extern const ProbeSettings kCheckWpsV8;
extern const ProbeSettings kCheckWpsV9;

inline constexpr std::string_view kUnknownVersion = "未知版本";

std::string_view classifyOffice(double version);
// The WPS probes classify by the major version (the integer part): version 8
// probe: "V8 or earlier" unless 8 < major; version 9 probe: "V9 or later"
// unless 9 > major. A server reporting 8.1 is a V8, one reporting 9.1 a V9.
std::string_view classifyWpsV8(double version);
std::string_view classifyWpsV9(double version);

// Runs one probe. Automation failures are handled here; a failure to write
// the journal passes on to the caller.
void runProbe(const ProbeSettings& probe, const ServerRegistry& servers, ProbeWindow& window);

}  // namespace office
