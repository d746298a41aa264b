// One private headless LibreOffice: soffice.bin started by us on a profile and
// temp folder of its own, reached over a named pipe, and always ended by us —
// terminated politely, then killed. A watchdog kills it when one document
// takes longer than its bound, so a pathological file cannot hang a batch.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <com/sun/star/frame/XDesktop2.hpp>
#include <com/sun/star/uno/XComponentContext.hpp>

namespace office::libreoffice {

struct Installation {
  std::filesystem::path programFolder;  // holds soffice.bin
  std::string productName;              // "LibreOffice"
  std::string version;                  // "7.4"
};

// The installation in programFolder, read from its bootstraprc; nothing when
// no office is installed there.
std::optional<Installation> findInstallation(const std::filesystem::path& programFolder);

class OfficeProcess {
 public:
  OfficeProcess(Installation installation, std::chrono::milliseconds startTimeout);
  ~OfficeProcess();
  OfficeProcess(const OfficeProcess&) = delete;
  OfficeProcess& operator=(const OfficeProcess&) = delete;

  // Starts the office and connects to it; throws office::AutomationError.
  void start();
  bool started() const { return pid_ > 0; }
  // False once the process has ended (or was never started).
  bool running();

  const css::uno::Reference<css::frame::XDesktop2>& desktop() const { return desktop_; }
  const css::uno::Reference<css::uno::XComponentContext>& context() const { return remoteContext_; }
  // Our private 0700 folder, and the office's profile inside it.
  const std::filesystem::path& folder() const { return folder_; }
  std::filesystem::path profileFolder() const { return folder_ / "profile"; }
  // The office's resident memory; 0 when it is not running.
  std::size_t residentBytes() const;

  // Ends the office: terminate, wait for it by PID within a bound, then kill;
  // removes the private folder. Safe to call more than once.
  void stop();
  // Kills the office at once (it hangs or its bridge is gone).
  void kill();

  // Kills the office if disarm is not called within timeout.
  void arm(std::chrono::milliseconds timeout);
  void disarm();
  bool watchdogFired() const;

 private:
  void makePrivateFolder();
  pid_t spawn(const std::string& pipeName);
  void watch();
  bool tryReap();
  // Waits for the process to end; past bound, kills it and waits on.
  void reap(std::chrono::milliseconds bound);

  Installation installation_;
  std::chrono::milliseconds startTimeout_;
  std::filesystem::path folder_;
  pid_t pid_ = -1;
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
