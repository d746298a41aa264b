// The office calls' contract against the LibreOffice server: documents
// written by the office's converter and workbooks by Spreadsheet::WriteExcel,
// read back by catdoc and Spreadsheet::ParseExcel.
#include <gtest/gtest.h>

#include <sstream>

#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "support/contract.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
namespace ll = office::libreoffice;

class LibreOfficeSubject : public contract::Subject {
 public:
  LibreOfficeSubject() { ll::registerServers(servers_); }
  const office::ServerRegistry& servers() override { return servers_; }
  void make(const std::string& folder, const std::vector<contract::Document>& documents) override {
    std::vector<e2e::DocumentSpec> made;
    for (const contract::Document& d : documents) made.push_back({d.name, d.body, "", d.header});
    e2e::makeDocuments(folder, made);
  }
  void make(const std::string& folder, const contract::Workbook& workbook) override {
    std::vector<std::string> sheets;
    for (const contract::Sheet& s : workbook.sheets) {
      std::string cells;
      for (const std::string& cell : s.cells) cells += (cells.empty() ? "" : "|") + cell;
      sheets.push_back(s.name + "=" + cells);
    }
    e2e::makeWorkbook(fs::path(folder) / workbook.name, sheets);
  }
  std::string textOf(const std::string& folder, const std::string& document) override {
    return e2e::catdoc(fs::path(folder) / document);
  }
  // "SHEET\tROW,COL\tVALUE" lines, the cells down column A.
  std::vector<contract::Sheet> sheetsOf(const std::string& folder,
                                        const std::string& workbook) override {
    std::vector<contract::Sheet> sheets;
    std::istringstream lines(e2e::readWorkbook(fs::path(folder) / workbook));
    for (std::string line; std::getline(lines, line);) {
      const std::size_t tab = line.find('\t'), second = line.find('\t', tab + 1);
      if (tab == std::string::npos || second == std::string::npos) continue;
      const std::string name = line.substr(0, tab);
      if (sheets.empty() || sheets.back().name != name) sheets.push_back({name, {}});
      sheets.back().cells.push_back(line.substr(second + 1));
    }
    return sheets;
  }

 private:
  office::ServerRegistry servers_;
};

TEST(Contract, TheLibreOfficeServerAnswersAsTheOthers) {
  LibreOfficeSubject subject;
  contract::expectTheContract(subject);
}

}  // namespace
