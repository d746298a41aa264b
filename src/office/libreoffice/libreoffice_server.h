// word.Application and excel.Application served by headless LibreOffice.
// Each application object drives an office process of its own, started on the
// first document it opens and ended by Quit or by releasing the last
// reference to any of its objects.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "office/automation.h"

namespace office::libreoffice {

struct Options {
  std::filesystem::path programFolder = "/usr/lib/libreoffice/program";
  std::chrono::milliseconds startTimeout{60'000};
  // One document's whole sequence, from Open to Close; past it the office is
  // killed and the document fails as with a server that died.
  std::chrono::milliseconds documentTimeout{120'000};
  // The office's memory grows with every document it opens, and is given
  // back only when it ends: a fresh office (about 0.5 s) is started between
  // documents after this many, or once it holds more than this much. (An
  // office that has just opened a workbook of 60,000 cells holds about
  // 210 MB: a lower bound would start a fresh one after every such file.)
  unsigned recycleAfterDocuments = 400;
  std::size_t recycleAboveBytes = 320u << 20;
  // When set, the original of every document the server stores is kept
  // before its new content is placed, under backupFolder at its path
  // relative to backupRoot (see placeContent).
  std::filesystem::path backupRoot;
  std::filesystem::path backupFolder;
  // The same, changed from run to run by whoever holds it (the window's runs
  // each keep their originals in a folder of their own); when set, it is
  // read at each store instead of the two above.
  struct BackupPlace {
    std::filesystem::path root;
    std::filesystem::path folder;
  };
  std::shared_ptr<BackupPlace> backupPlace;
  // For tests: when set, counts every UNO message sent to the offices.
  std::shared_ptr<std::atomic<std::uint64_t>> messagesSent;
};

// Registers both ProgIDs; false (and nothing registered) when no LibreOffice
// is installed, so creating them fails with 429 as on a machine without Office.
bool registerServers(ServerRegistry& registry, const Options& options = {});

}  // namespace office::libreoffice
