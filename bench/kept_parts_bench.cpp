// What the check of a stored file's parts costs: for each folder, the time
// to read what one of its files holds, twice (the original and the office's
// copy are each read once per changed file), as the median of 21 rounds.
// Usage: ravelsk_kept_parts_bench FOLDER:FORMAT... (FORMAT doc, xls, docx, xlsx)
// Prints one line per folder: its name, the file's size in KiB and the
// check's milliseconds per changed file.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "office/libreoffice/kept_parts.h"

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  namespace ll = office::libreoffice;
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    const std::size_t colon = argument.rfind(':');
    const fs::path folder = argument.substr(0, colon);
    const std::string kind = argument.substr(colon + 1);
    const ll::StoredFormat format = kind == "doc"    ? ll::StoredFormat::WordBinary
                                    : kind == "xls"  ? ll::StoredFormat::ExcelBinary
                                    : kind == "docx" ? ll::StoredFormat::WordOpenXml
                                                     : ll::StoredFormat::ExcelOpenXml;
    fs::path file;
    for (const auto& entry : fs::directory_iterator(folder)) {
      if (file.empty() || entry.path() < file) file = entry.path();
    }
    if (file.empty()) continue;
    std::vector<double> ms;
    for (int round = 0; round < 21; ++round) {
      const auto start = std::chrono::steady_clock::now();
      const auto lost = ll::lostParts(ll::holdingsOf(file, format), ll::holdingsOf(file, format));
      ms.push_back(
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count());
      if (!lost.empty()) std::printf("unexpected loss in %s\n", file.c_str());
    }
    std::nth_element(ms.begin(), ms.begin() + 10, ms.end());
    std::printf("  %-12s %8.0f KiB %10.2f ms\n", folder.filename().c_str(),
                static_cast<double>(fs::file_size(file)) / 1024, ms[10]);
  }
}
