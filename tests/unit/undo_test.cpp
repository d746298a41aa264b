#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "replace/backup_manifest.h"
#include "replace/digest.h"
#include "replace/undo.h"
#include "support/fixtures.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>

#include "platform/windows/checked_replace.h"
#endif

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::TempFolder;

TEST(Digest, IsSha256) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& [bytes, digest] : cases) EXPECT_EQ(replace::sha256(bytes), digest);
  TempFolder folder;
  EXPECT_EQ(replace::fileDigest(folder.write("abc.txt", "abc")), cases[1].second);
}

// A run changed a.doc (its original kept in the backup folder, both digests
// in the manifest); what happened to it since decides whether the undo puts
// the original back.
TEST(Undo, RestoresOnlyWhatIsStillAsTheRunLeftIt) {
  struct Case {
    std::string name;
    std::function<void(const fs::path& document, const fs::path& backup)> since;
    std::string line;   // after the file's name
    std::string after;  // a.doc's content after the undo; "" for none
    // Between the undo's check of a.doc and the placement of its original.
    std::function<void(const fs::path& document)> during = {};
  };
  const auto nothing = [](const fs::path&, const fs::path&) {};
  const Case cases[] = {
      {"untouched", nothing, " 已恢复为替换前的内容", "original"},
      {"edited by another program",
       [](const fs::path& document, const fs::path&) {
         std::ofstream(document, std::ios::binary | std::ios::app) << " and more";
       },
       " 已在替换后被修改，未恢复", "written and more"},
      {"removed", [](const fs::path& document, const fs::path&) { fs::remove(document); },
       " 已不存在，未恢复", ""},
      {"backup gone", [](const fs::path&, const fs::path& backup) { fs::remove(backup); },
       " 的备份已缺失或被改动，未恢复", "written"},
      {"backup altered",
       [](const fs::path&, const fs::path& backup) { std::ofstream(backup) << "other"; },
       " 的备份已缺失或被改动，未恢复", "written"},
      {"edited while the undo checked it", nothing, " 已在替换后被修改，未恢复", "written and more",
       [](const fs::path& document) {
         std::ofstream(document, std::ios::binary | std::ios::app) << " and more";
       }},
      {"put back already",
       [](const fs::path& document, const fs::path&) { std::ofstream(document) << "original"; },
       " 已是替换前的内容", "original"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TempFolder work;
    const std::string folder = text::utf8FromPath(work.mkdir("文件夹"));
    const std::string backups = work.sub("备份");
    const std::string file = std::string("文件") + testsupport::kSeparator + "a.doc";
    const fs::path document = work.write("文件夹/" + std::string("文件/a.doc"), "written");
    const fs::path backup = work.write("备份/文件/a.doc", "original");
    replace::BackupManifest manifest(backups, folder);
    manifest.add(file);
    c.since(document, backup);

    std::vector<std::string> lines;
    replace::setBeforeRestoreForTesting(c.during);
    const bool all = replace::undoBackup(
        backups, [&](const replace::UndoResult& result) { lines.push_back(result.line); });
    replace::setBeforeRestoreForTesting({});
    EXPECT_EQ(lines, std::vector<std::string>{file + c.line});
    EXPECT_EQ(all, c.after == "original");
    EXPECT_EQ(fs::exists(document) ? readFile(document) : "", c.after);
    // Nothing of the undo's own is left beside the document.
    std::vector<fs::path> beside;
    for (const auto& entry : fs::directory_iterator(document.parent_path())) {
      beside.push_back(entry.path());
    }
    EXPECT_EQ(beside, c.after.empty() ? std::vector<fs::path>{} : std::vector<fs::path>{document});
  }
}

#ifdef _WIN32
// What the replacement takes away is held open by another program while it
// is looked at: it cannot be removed, or put back. Whatever happens, it is
// never lost and its name is told.
TEST(CheckedReplace, ContentThatCannotBeMovedIsKeptAndNamed) {
  using platform::windows::CheckedReplace;
  for (const bool ours : {true, false}) {
    SCOPED_TRACE(ours);
    TempFolder work;
    const fs::path document = work.write("a.doc", "written");
    const fs::path source = work.write("original.doc", "original");
    HANDLE held = INVALID_HANDLE_VALUE;
    fs::path aside;
    const CheckedReplace placed = platform::windows::replaceChecked(
        document, source,
        [&](const fs::path& former) {
          held = CreateFileW(former.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
          return ours;
        },
        aside);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    CloseHandle(held);
    EXPECT_EQ(placed, ours ? CheckedReplace::Replaced : CheckedReplace::KeptAside);
    EXPECT_EQ(readFile(document), "original");
    EXPECT_EQ(readFile(aside), "written");
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator(work.path())) ++files;
    EXPECT_EQ(files, 3u);  // the document, the source and what was kept
  }
}
#endif

}  // namespace
