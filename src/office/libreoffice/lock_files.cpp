#include "office/libreoffice/lock_files.h"

#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

namespace office::libreoffice {

namespace fs = std::filesystem;

namespace {

// Field 22 of /proc/<pid>/stat: the process's start time in clock ticks since
// boot. With the PID it names one process for the whole uptime, even after
// the PID is handed to another.
std::string startTime(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The command name (field 2) may hold blanks and parentheses: count from
  // the last closing one, which ends it.
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return "";
  std::istringstream fields(stat.substr(close + 1));
  std::string field;
  for (int number = 3; fields >> field; ++number) {
    if (number == 22) return field;
  }
  return "";
}

}  // namespace

void writeOwnerRecord(const fs::path& privateFolder) {
  const pid_t self = ::getpid();
  const std::string record = std::to_string(self) + " " + startTime(self) + "\n";
  // Written aside and renamed, so a reader sees a whole record or none.
  const fs::path aside = privateFolder / "owner.new";
  {
    std::ofstream out(aside, std::ios::trunc);
    out << record;
    if (!out.flush()) return;
  }
  std::error_code ec;
  fs::rename(aside, privateFolder / "owner", ec);
}

bool ownerRunning(const fs::path& privateFolder) {
  std::ifstream in(privateFolder / "owner");
  long pid = 0;
  std::string started;
  if (!(in >> pid >> started) || pid <= 0) return false;
  return startTime(static_cast<pid_t>(pid)) == started;
}

}  // namespace office::libreoffice
