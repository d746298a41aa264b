#include "support/fixtures.h"

#include <algorithm>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "text/text_encoding.h"

namespace testsupport {

namespace fs = std::filesystem;
using text::pathFromUtf8;
using text::utf8FromPath;

TempFolder::TempFolder() {
  // A fresh name in the temporary folder; create_directory fails on one that
  // exists, so two runs never share a folder.
  static std::mt19937_64 random{std::random_device{}()};
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path candidate = base / pathFromUtf8("ravelsk-test-" + std::to_string(random()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate;
      fs::permissions(path_, fs::perms::owner_all, fs::perm_options::replace, ec);
      return;
    }
  }
  throw std::runtime_error("cannot make a temporary folder in " + utf8FromPath(base));
}

std::string TempFolder::str() const {
  return utf8FromPath(path_);
}

TempFolder::~TempFolder() {
  std::error_code ec;
  fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(path_, ec);
}

fs::path TempFolder::write(const std::string& relative, const std::string& content) const {
  fs::path file = path_ / pathFromUtf8(relative);
  fs::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary);
  out << content;
  return file;
}

fs::path TempFolder::mkdir(const std::string& relative) const {
  fs::path folder = path_ / pathFromUtf8(relative);
  fs::create_directories(folder);
  return folder;
}

#ifndef _WIN32
bool buildLocale(const TempFolder& folder, const std::string& locale, const std::string& charmap) {
  const fs::path target = folder.path() / (locale + "." + charmap);
  const std::string command =
      "localedef -f " + charmap + " -i " + locale + " '" + target.string() + "' >/dev/null 2>&1";
  // localedef warns (exit 1) on some stock locales yet writes them.
  std::system(command.c_str());
  if (!fs::exists(target / "LC_CTYPE")) return false;
  return setenv("LOCPATH", folder.path().c_str(), 1) == 0;
}

LocaleScope::LocaleScope(const char* name) : previous_(std::setlocale(LC_ALL, nullptr)) {
  active_ = std::setlocale(LC_ALL, name) != nullptr;
}

LocaleScope::~LocaleScope() {
  std::setlocale(LC_ALL, previous_.c_str());
}
#endif

std::string TempFolder::sub(const std::string& relative) const {
  return utf8FromPath(path_ / pathFromUtf8(relative));
}

std::string utf16WithBom(const std::u16string& text, bool littleEndian) {
  std::string bytes = littleEndian ? "\xFF\xFE" : "\xFE\xFF";
  for (char16_t unit : text) {
    const char low = static_cast<char>(unit & 0xFF);
    const char high = static_cast<char>(unit >> 8);
    bytes += littleEndian ? std::string{low, high} : std::string{high, low};
  }
  return bytes;
}

std::function<std::unique_ptr<replace::OriginalKeeper>(const std::string&, const std::string&)>
copyingKeeper() {
  class Copier : public replace::OriginalKeeper {
   public:
    Copier(std::string folder, std::string backups)
        : folder_(std::move(folder)), backups_(std::move(backups)) {}
    void keep(const std::string& file) override {
      const fs::path to = text::pathFromUtf8(backups_) / text::pathFromUtf8(file);
      fs::create_directories(to.parent_path());
      fs::copy_file(text::pathFromUtf8(folder_) / text::pathFromUtf8(file), to);
    }
    void saveFailed(const std::string&) override {}

   private:
    std::string folder_, backups_;
  };
  return [](const std::string& folder, const std::string& backups) {
    return folder.empty() ? std::unique_ptr<replace::OriginalKeeper>()
                          : std::make_unique<Copier>(folder, backups);
  };
}

std::string statusLines(const std::string& text3) {
  std::string lines;
  for (std::size_t start = 0; start < text3.size();) {
    const std::size_t end = std::min(text3.find('\n', start), text3.size() - 1) + 1;
    const std::string_view line = std::string_view(text3).substr(start, end - start);
    if (!line.starts_with("替换完毕：") && !line.starts_with("预览完毕：")) lines += line;
    start = end;
  }
  return lines;
}

std::string joinPath(const std::string& folder, const std::string& name) {
  return utf8FromPath(pathFromUtf8(folder) / pathFromUtf8(name));
}

std::string documentOpenCall(const std::string& path) {
  return "Documents.Open(\"" + path +
         "\", ConfirmConversions:=False, ReadOnly:=False, AddToRecentFiles:=False, "
         "PasswordDocument:=\"#ravelsk-no-password#\", "
         "WritePasswordDocument:=\"#ravelsk-no-password#\")";
}

std::vector<std::string> storyWalkOfAPlainDocument() {
  std::vector<std::string> calls{"Document.Sections", "Sections.Item(1&)", "Section.Headers",
                                 "HeadersFooters.Item(1&)", "HeaderFooter.Range"};
  for (const char* type : {"2", "3", "5", "7", "6", "10", "9", "8", "11"}) {
    calls.push_back("Document.StoryRanges");
    calls.push_back("StoryRanges.Item(" + std::string(type) + "&)");
  }
  return calls;
}

std::vector<std::string> operator+(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

std::string workbookOpenCall(const std::string& path) {
  return "Workbooks.Open(\"" + path +
         "\", UpdateLinks:=0%, ReadOnly:=False, Password:=\"#ravelsk-no-password#\", "
         "WriteResPassword:=\"#ravelsk-no-password#\", AddToMru:=False)";
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

FixedClock::FixedClock(int year, int month, int day, int hour, int minute, int second) {
  set(year, month, day, hour, minute, second);
}

void FixedClock::set(int year, int month, int day, int hour, int minute, int second) {
  time_ = std::tm{};
  time_.tm_year = year - 1900;
  time_.tm_mon = month - 1;
  time_.tm_mday = day;
  time_.tm_hour = hour;
  time_.tm_min = minute;
  time_.tm_sec = second;
}

std::string FixedClock::shortDate(const std::tm& t) const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d/%d/%d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return buf;
}

std::string FixedClock::longTime(const std::tm& t) const {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

ui::Form1& WindowRig::build(const std::string& startFolder) {
  ui::Form1Context context;
  context.servers = &servers;
  context.clock = &clock;
  context.programFolder = programFolder.path();
  context.userJournalFolder = userData.path() / "ravelsk" / "Journal";
  context.startFolder = startFolder.empty() ? work.str() : startFolder;
  context.codeset = codeset;
  context.keepOriginalsIn = keepOriginalsIn;
  form = std::make_unique<ui::Form1>(context, &view);
  return *form;
}

fs::path WindowRig::journalFile(const std::string& day) const {
  return form->journalFolder() / day / (day + ".txt");
}

std::string WindowRig::journal(const std::string& day) const {
  return readFile(journalFile(day));
}

}  // namespace testsupport
