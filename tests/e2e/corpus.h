// Real documents for the end-to-end tests, made and read by programs other
// than ours: LibreOffice's converter writes the .doc files, Perl's
// Spreadsheet::WriteExcel the .xls files; antiword, catdoc and
// Spreadsheet::ParseExcel read the results.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace e2e {

struct DocumentSpec {
  std::string name;  // the file name in the folder
  std::string body;
  std::string table;   // one table cell
  std::string header;  // the page header
  // Left out where empty.
  std::string footer = "";    // the page footer
  std::string footnote = "";  // a footnote's text, its mark after the body
  std::string frame = "";     // a text frame anchored in the body
};

// Writes the documents into folder (converted in one batch).
void makeDocuments(const std::filesystem::path& folder, const std::vector<DocumentSpec>& docs);

// sheets: "NAME=CELL|CELL|..." each.
void makeWorkbook(const std::filesystem::path& file, const std::vector<std::string>& sheets);

// Converts source with the office's converter into its own folder, e.g. to
// "docm:MS Word 2007 XML VBA"; the converted file has source's name with the
// new extension.
void convert(const std::filesystem::path& source, const std::string& target);

// A password-protected copy of a document, saved by the office from Python.
void protect(const std::filesystem::path& from, const std::filesystem::path& to,
             const std::string& filter);

std::string antiword(const std::filesystem::path& file);
std::string catdoc(const std::filesystem::path& file);
// "SHEET\tROW,COL\tVALUE" lines; with types "SHEET\tROW,COL\tKIND\tVALUE", KIND
// "Text", "Numeric" or "Date" as Spreadsheet::ParseExcel reads the cell.
std::string readWorkbook(const std::filesystem::path& file, bool types = false);

// The hidden files (".~…": the office's lock files, our temporary files)
// left in a folder of documents.
std::vector<std::string> leftovers(const std::filesystem::path& folder);

// Runs a shell command; its standard output, and its exit status in status.
std::string run(const std::string& command, int* status = nullptr);
std::string quote(const std::string& text);

// The office processes that a process (this one by default) started and that
// are still there; never another program's.
std::vector<int> officeProcesses(int parent = ::getpid());

}  // namespace e2e
