// The office calls' contract against the recording fake, whose "disk" is a
// map of texts.
#include <gtest/gtest.h>

#include <utility>

#include "replace/batch_server.h"
#include "support/contract.h"
#include "support/fixtures.h"
#include "support/recording_server.h"

namespace {

using testsupport::FakeOffice;

class FakeSubject : public contract::Subject {
 public:
  FakeSubject() {
    office_.serve(servers_, "word.Application");
    office_.serve(servers_, "excel.application");
  }
  const office::ServerRegistry& servers() override { return servers_; }
  void make(const std::string& folder, const std::vector<contract::Document>& documents) override {
    for (const contract::Document& d : documents) {
      const std::string path = replace::composePath(folder, d.name);
      office_.documents[path] = d.body;
      if (!d.header.empty()) office_.stories[path] = {{testsupport::kPrimaryHeaderStory, d.header}};
    }
  }
  void make(const std::string& folder, const contract::Workbook& workbook) override {
    std::vector<testsupport::FakeSheet> sheets;
    for (const contract::Sheet& s : workbook.sheets) {
      sheets.push_back({s.name, {s.cells.begin(), s.cells.end()}});
    }
    office_.workbooks[replace::composePath(folder, workbook.name)] = sheets;
  }
  std::string textOf(const std::string& folder, const std::string& document) override {
    const std::string path = replace::composePath(folder, document);
    std::string text = office_.documents.at(path);
    for (const testsupport::FakeStory& story : office_.stories[path]) text += "\n" + story.text;
    return text;
  }
  std::optional<std::vector<std::string>> takeCalls() override {
    return std::exchange(office_.calls, {});
  }
  std::vector<contract::Sheet> sheetsOf(const std::string& folder,
                                        const std::string& workbook) override {
    std::vector<contract::Sheet> sheets;
    for (const testsupport::FakeSheet& s :
         office_.workbooks.at(replace::composePath(folder, workbook))) {
      contract::Sheet sheet{s.name, {}};
      for (const testsupport::FakeCell& cell : s.cells) sheet.cells.push_back(cell.value);
      sheets.push_back(sheet);
    }
    return sheets;
  }

 private:
  FakeOffice office_;
  office::ServerRegistry servers_;
};

TEST(Contract, TheRecordingFakeAnswersAsTheOthers) {
  FakeSubject subject;
  contract::expectTheContract(subject);
}

}  // namespace
