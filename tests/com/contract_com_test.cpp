// The office calls' contract against the Windows test office, through COM:
// its documents are their stories' texts, its workbooks a line per sheet.
#include <windows.h>

#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include "com/story_file.h"
#include "com/test_office.h"
#include "office/com/com_backend.h"
#include "support/contract.h"
#include "support/fixtures.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace {

class TestOfficeSubject : public contract::Subject {
 public:
  TestOfficeSubject() {
    office::com::createThroughCom(servers_, {std::chrono::milliseconds(4000)});
    RegDeleteTreeW(HKEY_CURRENT_USER, testoffice::kSettingsKey);
    const std::wstring log = text::wideFromUtf8(logs_.sub("calls.txt"));
    RegSetKeyValueW(HKEY_CURRENT_USER, testoffice::kSettingsKey, L"Log", REG_SZ, log.c_str(),
                    static_cast<DWORD>((log.size() + 1) * sizeof(wchar_t)));
  }
  ~TestOfficeSubject() override { RegDeleteTreeW(HKEY_CURRENT_USER, testoffice::kSettingsKey); }
  const office::ServerRegistry& servers() override { return servers_; }
  void make(const std::string& folder, const std::vector<contract::Document>& documents) override {
    for (const contract::Document& d : documents) {
      std::vector<testoffice::StoryRecord> records{{"main", d.body}};
      if (!d.header.empty()) records.push_back({"header primary 1", d.header});
      write(folder, d.name, testoffice::storyFile(records));
    }
  }
  void make(const std::string& folder, const contract::Workbook& workbook) override {
    std::string lines;
    for (const contract::Sheet& s : workbook.sheets) {
      lines += s.name;
      for (const std::string& cell : s.cells) lines += "\t" + cell;
      lines += "\r\n";
    }
    write(folder, workbook.name, lines);
  }
  std::string textOf(const std::string& folder, const std::string& document) override {
    std::string text;
    for (const auto& record : testoffice::storyRecords(read(folder, document))) {
      text += record.text + "\n";
    }
    return text;
  }
  // Hwnd, asked right after a text server is created, is the COM layer's
  // own question (which process serves it), not the run's.
  std::optional<std::vector<std::string>> takeCalls() override {
    const auto log = text::pathFromUtf8(logs_.sub("calls.txt"));
    std::istringstream lines(testsupport::readFile(log));
    std::filesystem::remove(log);
    std::vector<std::string> calls;
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      if (line == "Application.Hwnd" && !calls.empty() &&
          calls.back().starts_with("CreateObject(")) {
        continue;
      }
      calls.push_back(line);
    }
    return calls;
  }
  std::vector<contract::Sheet> sheetsOf(const std::string& folder,
                                        const std::string& workbook) override {
    std::vector<contract::Sheet> sheets;
    std::istringstream lines(read(folder, workbook));
    for (std::string line; std::getline(lines, line);) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      std::istringstream cells(line);
      contract::Sheet sheet;
      std::getline(cells, sheet.name, '\t');
      for (std::string cell; std::getline(cells, cell, '\t');) sheet.cells.push_back(cell);
      sheets.push_back(sheet);
    }
    return sheets;
  }

 private:
  void write(const std::string& folder, const std::string& name, const std::string& content) {
    std::ofstream(text::pathFromUtf8(testsupport::joinPath(folder, name)),
                  std::ios::binary | std::ios::trunc)
        << content;
  }
  std::string read(const std::string& folder, const std::string& name) {
    return testsupport::readFile(text::pathFromUtf8(testsupport::joinPath(folder, name)));
  }

  office::com::Apartment apartment_;
  office::ServerRegistry servers_;
  testsupport::TempFolder logs_;
};

TEST(Contract, TheWindowsTestOfficeAnswersAsTheOthers) {
  ASSERT_EQ(testoffice::registerServer(), 0u);
  TestOfficeSubject subject;
  contract::expectTheContract(subject);
}

}  // namespace
