#include "e2e/corpus.h"

#include <dirent.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#ifndef RAVELSK_E2E_DIR
#error "RAVELSK_E2E_DIR must name the folder of the helper scripts"
#endif

namespace e2e {

namespace fs = std::filesystem;

std::string quote(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'') {
      quoted += "'\\''";
    } else {
      quoted += c;
    }
  }
  return quoted + "'";
}

std::string run(const std::string& command, int* status) {
  std::FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string out;
  std::array<char, 4096> buf{};
  for (std::size_t n; (n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0;)
    out.append(buf.data(), n);
  int rc = ::pclose(pipe);
  if (status != nullptr) *status = rc;
  return out;
}

namespace {

std::string xmlEscape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

// A flat OpenDocument text with a header, a body (long enough for antiword,
// which refuses very small text streams) and a one-cell table.
std::string flatDocument(const DocumentSpec& doc) {
  std::ostringstream xml;
  xml << R"(<?xml version="1.0" encoding="UTF-8"?>
<office:document xmlns:office="urn:oasis:names:tc:opendocument:xmlns:office:1.0" xmlns:style="urn:oasis:names:tc:opendocument:xmlns:style:1.0" xmlns:text="urn:oasis:names:tc:opendocument:xmlns:text:1.0" xmlns:table="urn:oasis:names:tc:opendocument:xmlns:table:1.0" xmlns:draw="urn:oasis:names:tc:opendocument:xmlns:drawing:1.0" xmlns:svg="urn:oasis:names:tc:opendocument:xmlns:svg-compatible:1.0" office:version="1.2" office:mimetype="application/vnd.oasis.opendocument.text">
<office:automatic-styles><style:page-layout style:name="pm1"/></office:automatic-styles>
<office:master-styles><style:master-page style:name="Standard" style:page-layout-name="pm1"><style:header><text:p>)"
      << xmlEscape(doc.header) << "</text:p></style:header>";
  if (!doc.footer.empty()) {
    xml << "<style:footer><text:p>" << xmlEscape(doc.footer) << "</text:p></style:footer>";
  }
  xml << R"(</style:master-page></office:master-styles>
<office:body><office:text>
<text:p>)"
      << xmlEscape(doc.body);
  if (!doc.footnote.empty()) {
    xml << R"(<text:note text:id="n1" text:note-class="footnote"><text:note-citation>1</text:note-citation><text:note-body><text:p>)"
        << xmlEscape(doc.footnote) << "</text:p></text:note-body></text:note>";
  }
  xml << "</text:p>\n";
  if (!doc.frame.empty()) {
    xml << R"(<text:p><draw:frame draw:name="F1" text:anchor-type="paragraph" svg:width="6cm" svg:height="2cm"><draw:text-box><text:p>)"
        << xmlEscape(doc.frame) << "</text:p></draw:text-box></draw:frame></text:p>\n";
  }
  for (int i = 0; i < 40; ++i) {
    xml << "<text:p>第" << i
        << "段 filler paragraph so that the text stream is not too small.</text:p>\n";
  }
  xml << R"(<table:table table:name="T1"><table:table-column/><table:table-row><table:table-cell><text:p>)"
      << xmlEscape(doc.table) << R"(</text:p></table:table-cell></table:table-row></table:table>
</office:text></office:body></office:document>
)";
  return xml.str();
}

}  // namespace

void makeDocuments(const fs::path& folder, const std::vector<DocumentSpec>& docs) {
  const fs::path staging = folder / ".staging";
  fs::create_directories(staging / "out");
  std::string inputs;
  for (std::size_t i = 0; i < docs.size(); ++i) {
    const fs::path source = staging / ("d" + std::to_string(i) + ".fodt");
    std::ofstream(source) << flatDocument(docs[i]);
    inputs += " " + quote(source.string());
  }
  int status = 0;
  run("soffice --headless --norestore -env:UserInstallation=file://" +
          (staging / "profile").string() + " --convert-to 'doc:MS Word 97' --outdir " +
          quote((staging / "out").string()) + inputs + " >/dev/null 2>&1",
      &status);
  for (std::size_t i = 0; i < docs.size(); ++i) {
    const fs::path made = staging / "out" / ("d" + std::to_string(i) + ".doc");
    if (!fs::exists(made)) throw std::runtime_error("the converter made no " + docs[i].name);
    fs::rename(made, folder / docs[i].name);
  }
  fs::remove_all(staging);
}

void makeWorkbook(const fs::path& file, const std::vector<std::string>& sheets) {
  std::string command = "perl " + quote(std::string(RAVELSK_E2E_DIR) + "/make_workbook.pl") + " " +
                        quote(file.string());
  for (const std::string& sheet : sheets) command += " " + quote(sheet);
  int status = 0;
  run(command, &status);
  if (status != 0 || !fs::exists(file)) throw std::runtime_error("cannot make " + file.string());
}

void convert(const fs::path& source, const std::string& target) {
  const fs::path folder = source.parent_path();
  const fs::path profile = folder / ".profile";
  run("soffice --headless --norestore -env:UserInstallation=file://" + profile.string() +
      " --convert-to " + quote(target) + " --outdir " + quote(folder.string()) + " " +
      quote(source.string()) + " >/dev/null 2>&1");
  fs::remove_all(profile);
}

void protect(const fs::path& from, const fs::path& to, const std::string& filter) {
  int status = 0;
  run("/usr/bin/python3 " + quote(std::string(RAVELSK_E2E_DIR) + "/protect.py") + " " +
          quote(from.string()) + " " + quote(to.string()) + " secret " + quote(filter) + " 2>&1",
      &status);
  if (status != 0 || !fs::exists(to)) throw std::runtime_error("cannot protect " + to.string());
}

std::vector<std::string> leftovers(const fs::path& folder) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(".~", 0) == 0) found.push_back(name);
  }
  std::sort(found.begin(), found.end());
  return found;
}

std::string antiword(const fs::path& file) {
  return run("antiword -m UTF-8.txt " + quote(file.string()) + " 2>&1");
}

std::string catdoc(const fs::path& file) {
  return run("catdoc -d utf-8 " + quote(file.string()) + " 2>&1");
}

std::string readWorkbook(const fs::path& file, bool types) {
  return run("perl " + quote(std::string(RAVELSK_E2E_DIR) + "/read_workbook.pl") +
             (types ? " --types " : " ") + quote(file.string()) + " 2>&1");
}

std::vector<int> officeProcesses(int parent) {
  std::vector<int> found;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return found;
  while (dirent* entry = ::readdir(proc)) {
    const std::string name = entry->d_name;
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::ifstream in("/proc/" + name + "/cmdline", std::ios::binary);
    std::string cmdline((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (cmdline.find("soffice.bin") == std::string::npos) continue;
    // "pid (comm) state ppid ...": the command may hold blanks, the parent follows its ')'.
    std::ifstream statFile("/proc/" + name + "/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    int ppid = 0;
    fields >> state >> ppid;
    if (ppid == parent) found.push_back(std::stoi(name));
  }
  ::closedir(proc);
  return found;
}

}  // namespace e2e
