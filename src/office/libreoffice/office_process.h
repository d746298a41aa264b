// One private headless LibreOffice: soffice.bin started by us on a profile and
// temp folder of its own, reached over a named pipe, and always ended by us —
// terminated politely, then killed. A watchdog kills it when one document
// takes longer than its bound, so a pathological file cannot hang a batch.
// Whatever the office leaves behind (its private folder, the sockets of its
// pipes) is removed when it ends, when the program is told to end, or, after a
// crash of the program, by the next office started in the same temporary root.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>

namespace platform::posix {
class TerminationCleanup;
}  // namespace platform::posix

namespace office::libreoffice {

struct Installation {
  std::filesystem::path programFolder;  // holds soffice.bin
  std::string productName;              // "LibreOffice"
  std::string version;                  // "7.4"
};

// The installation in programFolder, read from its bootstraprc; nothing when
// no office is installed there.
std::optional<Installation> findInstallation(const std::filesystem::path& programFolder);

class ProfileTemplate;

class OfficeProcess {
 public:
  // messagesSent, when given, counts every UNO message sent to the office.
  OfficeProcess(Installation installation, std::chrono::milliseconds startTimeout,
                std::shared_ptr<std::atomic<std::uint64_t>> messagesSent = nullptr);
  ~OfficeProcess();
  OfficeProcess(const OfficeProcess&) = delete;
  OfficeProcess& operator=(const OfficeProcess&) = delete;

  // Starts the office and connects to it; throws office::AutomationError.
  // After stop() (or after the office died) it starts a fresh office on a
  // fresh private folder.
  void start();
  bool started() const { return pid_ > 0; }
  // False once the process has ended (or was never started).
  bool running();
  pid_t pid() const;
  // How many times soffice.bin was launched for the last start: 2 when the
  // office asked to be started again after building a fresh profile.
  unsigned launches() const { return launches_; }

  // The office's resident memory in bytes; 0 when it is not running.
  std::size_t residentBytes() const;

  // The private profile the office runs on, as its lock files name it (their
  // last field is this folder's file URL). Kept after the office ends, until
  // the next start, so that what it left can still be recognised.
  const std::filesystem::path& profileFolder() const { return profile_; }

  const css::uno::Reference<css::frame::XDesktop2>& desktop() const { return desktop_; }
  const css::uno::Reference<css::uno::XComponentContext>& context() const { return remoteContext_; }
  // Our private 0700 folder, where the office writes what we store.
  const std::filesystem::path& folder() const { return folder_; }

  // Ends the office: terminate, wait for it by PID within a bound, then kill;
  // removes the private folder and the pipe sockets. Safe to call more than
  // once.
  void stop();
  // Kills the office at once (it hangs or its bridge is gone).
  void kill();
  // While the program is being ended, start, stop, kill, and running on an
  // office that has ended never return: the ending ends the office and
  // removes what it left, and the caller would only report as a failure what
  // the ending did.

  // Kills the office if disarm is not called within timeout.
  void arm(std::chrono::milliseconds timeout);
  void disarm();
  bool watchdogFired() const;

 private:
  // One try: seed says whether the profile may be seeded from the template.
  void startOnce(const ProfileTemplate& profileTemplate, bool seed);
  [[noreturn]] void abandonStart(const std::string& why);
  void makePrivateFolder(const std::string& pipeName);
  pid_t spawn(const std::string& pipeName);
  // Tells the ending's clean-up the PID of the office just started.
  void guardEnding(pid_t pid);
  void watch();
  bool tryReap();
  // The office's wait status once it has ended (it is then reaped); nothing
  // while it runs.
  std::optional<int> exitStatus();
  // Waits for the process to end; past bound, kills it and waits on.
  void reap(std::chrono::milliseconds bound);
  void removeLeftovers();

  Installation installation_;
  std::chrono::milliseconds startTimeout_;
  std::shared_ptr<std::atomic<std::uint64_t>> messagesSent_;
  std::filesystem::path folder_;
  std::filesystem::path profile_;
  std::vector<std::filesystem::path> sockets_;
  bool seeded_ = false;  // the profile was seeded from the template
  unsigned launches_ = 0;
  pid_t pid_ = -1;
  // What the ending's clean-up knows of this office: whether the folder was
  // made (its name may have been someone else's), and the PID, cleared before
  // the office is reaped so that it never signals a PID the system may have
  // handed to another process.
  struct LiveState {
    std::atomic<bool> folderMade{false};
    std::atomic<pid_t> pid{0};
  };
  std::shared_ptr<LiveState> live_;
  std::unique_ptr<platform::posix::TerminationCleanup> ending_;
  css::uno::Reference<css::uno::XComponentContext> remoteContext_;
  css::uno::Reference<css::frame::XDesktop2> desktop_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::optional<std::chrono::steady_clock::time_point> deadline_;
  bool fired_ = false;
  bool stopping_ = false;
  std::thread watchdog_;
};

}  // namespace office::libreoffice
