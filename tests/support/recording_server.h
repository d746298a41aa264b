// In-process office servers for the tests. They answer the members the probes
// and the runs call, keep documents and workbooks in memory, record every call
// with its arguments in order, and fail chosen calls with chosen codes.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "office/automation.h"

namespace testsupport {

// A cell as a spreadsheet server holds it. value is the text of a text cell,
// else what the cell reads as typed input: "-123", "=1+1", "2024-01-05".
struct FakeCell {
  enum class Kind { Text, Number, Date, Formula };
  Kind kind = Kind::Text;
  std::string value;

  FakeCell() = default;
  FakeCell(std::string text) : value(std::move(text)) {}  // a text cell
  FakeCell(const char* text) : value(text) {}
  FakeCell(Kind k, std::string v) : kind(k), value(std::move(v)) {}
  // What a cell holds after input was typed into it, as Excel reads it: a
  // leading apostrophe makes the rest text; "=..." is a formula; a number
  // (also "00123", "123-", "1e5") a number; "2024-01-05", "1/2" a date; the
  // rest text.
  static FakeCell typed(const std::string& input);
  // The cell as typed input that gives it back: a text that would read as
  // something else gets the apostrophe.
  std::string asTyped() const;
  bool operator==(const FakeCell&) const = default;
};
void PrintTo(const FakeCell& cell, std::ostream* out);

struct FakeSheet {
  std::string name;
  std::vector<FakeCell> cells;  // column A, row by row: what the runs search
  // A protected sheet refuses every change to its locked cells, as Excel's
  // does (all cells are locked but those listed).
  bool protectedContents = false;
  std::set<std::size_t> unlocked;
  // Column B, read through Cells.Item only (a rules list's new texts).
  std::vector<FakeCell> columnB = {};
  bool operator==(const FakeSheet&) const = default;
};

// Word's story types the fakes keep apart from a document's main story.
enum FakeStoryType : int {
  kFootnotesStory = 2,
  kEndnotesStory = 3,
  kTextFrameStory = 5,
  kEvenPagesHeaderStory = 6,
  kPrimaryHeaderStory = 7,
  kEvenPagesFooterStory = 8,
  kPrimaryFooterStory = 9,
  kFirstPageHeaderStory = 10,
  kFirstPageFooterStory = 11,
};

// A story of a document beside its main one, as Word keeps it: the stories of
// one type follow one another in the order given (NextStoryRange). Linked text
// boxes are one story. A header or footer belongs to a section and may hold
// shapes, each with its text or none (a picture).
struct FakeStory {
  int type = kPrimaryHeaderStory;
  std::string text;
  int section = 1;
  std::vector<std::optional<std::string>> shapes;
  bool operator==(const FakeStory&) const = default;
};
void PrintTo(const FakeStory& story, std::ostream* out);

// What "^c" in a ReplaceWith inserts: the clipboard's text.
inline constexpr const char* kFakeClipboard = "〔剪贴板〕";

// How a server of one ProgID answers the probe.
struct FakeAppSettings {
  office::Variant defaultValue = "Microsoft Excel";
  office::Variant version = "14.0";
  office::Variant hwnd;   // the application's Hwnd; Empty: no such member
  bool documents = true;  // false: no Documents member, as a spreadsheet server
  // Registered as a server whose Cells.Replace keeps text cells text (the
  // fake's Replace re-reads them as typed input all the same).
  bool replaceKeepsText = false;
  // Registered as a server whose Find takes its texts as they are. Otherwise
  // Find reads '^' codes as Word does and refuses a text over 255 characters.
  bool findIsLiteral = false;
};

class FakeOffice {
 public:
  // The "disk": document text by path, workbooks by path. Close(True) writes
  // back; the runs never touch these directly.
  std::map<std::string, std::string> documents;
  // A document's other stories by path, kept and written back like its main
  // story (documents): Content reaches the main story only.
  std::map<std::string, std::vector<FakeStory>> stories;
  std::map<std::string, std::vector<FakeSheet>> workbooks;
  std::vector<std::string> saved;  // paths, in the order they were saved
  // Workbooks counted as modified from their opening on (Excel recalculating
  // a file of an older version): their Saved is False.
  std::set<std::string> modifiedOnOpen;

  // Every call, formatted: "Documents.Open(\"/d/a.doc\")", "Application.Visible = False",
  // "Find.Execute(FindText:=\"x\", Replace:=2%)", "CreateObject(word.Application)".
  std::vector<std::string> calls;

  int created = 0;  // servers created
  int alive = 0;    // servers created and neither quit nor dead

  // Serves progId from now on.
  void serve(office::ServerRegistry& registry, const std::string& progId,
             FakeAppSettings settings = {});
  // progId fails to create with the given code.
  static void refuse(office::ServerRegistry& registry, const std::string& progId, std::int32_t code,
                     const std::string& description);

  // Creations after the first n fail with code.
  void refuseCreationsAfter(int n, std::int32_t code, const std::string& description) {
    creationLimit_ = n;
    creationFailure_ = {code, description};
  }

  // The nth call (1-based) whose formatted text contains needle fails with code.
  void failCall(const std::string& needle, std::int32_t code, const std::string& description,
                int nth = 1);
  // After the nth call containing needle, that server dies: the call and every
  // later call on its objects fail with the server-gone code.
  void killServerAt(const std::string& needle, int nth = 1);
  // Member names a server does not know (AutomationSecurity, ...): unknown-member error.
  void lacksMember(const std::string& member) { missingMembers_.push_back(member); }

  // Called with every call's text before it is answered.
  std::function<void(const std::string&)> onCall;
  // Called with the path before a document or workbook is looked up on the
  // "disk", and after one is saved (a server of its own process keeps its
  // disk in real files).
  std::function<void(const std::string&)> onOpen;
  std::function<void(const std::string&)> onSave;
  // Called with the path of each document or workbook closed, after its save.
  std::function<void(const std::string&)> onClose;

  // Calls whose text contains needle.
  std::vector<std::string> callsContaining(const std::string& needle) const;

  // Internal: used by the fake objects.
  struct App;
  void checkCall(App& app, const std::string& text, const std::string& member);

 private:
  struct Failure {
    std::string needle;
    std::int32_t code;
    std::string description;
    int nth;
    int seen = 0;
    bool kill = false;
  };
  std::vector<Failure> failures_;
  std::vector<std::string> missingMembers_;
  int creationLimit_ = -1;
  std::pair<std::int32_t, std::string> creationFailure_;
};

std::string formatArgs(const office::Arguments& args);

}  // namespace testsupport
