// The process behind a server this program started: ended with the program,
// ended when a document's calls overrun their limit, quit at the end only
// when it is ours.
#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <string>

#include "office/automation.h"

namespace office::com {

// One server's process and the watchdog on its documents, shared by every
// object the server hands out.
class ServerProcess {
 public:
  // process: a handle of ours on the server's process, or null when it is
  // not known; ours: the process appeared for our creation.
  ServerProcess(std::string progId, HANDLE process, bool ours, std::chrono::milliseconds limit)
      : progId_(std::move(progId)), process_(process), ours_(ours), limit_(limit) {
    if (process_ != nullptr && ours_) {
      timer_ = CreateThreadpoolTimer(&ServerProcess::expired, this, nullptr);
    }
  }
  ~ServerProcess() {
    if (timer_ != nullptr) {
      SetThreadpoolTimer(timer_, nullptr, 0, 0);
      WaitForThreadpoolTimerCallbacks(timer_, TRUE);
      CloseThreadpoolTimer(timer_);
    }
    if (process_ != nullptr) CloseHandle(process_);
  }
  ServerProcess(const ServerProcess&) = delete;
  ServerProcess& operator=(const ServerProcess&) = delete;

  bool ours() const { return ours_; }
  bool ended() const { return ended_; }
  AutomationError endedError() const {
    return AutomationError(kErrServerUnavailable, "处理超时，" + progId_ + " 已被终止");
  }

  // From now on the calls have the whole limit again.
  void arm() {
    if (timer_ == nullptr) return;
    const auto ticks = -static_cast<LONGLONG>(limit_.count()) * 10'000;  // relative, 100 ns
    FILETIME due;
    due.dwLowDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) & 0xFFFFFFFFu);
    due.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(ticks) >> 32);
    SetThreadpoolTimer(timer_, &due, 0, 0);
  }
  void disarm() {
    if (timer_ != nullptr) SetThreadpoolTimer(timer_, nullptr, 0, 0);
  }

 private:
  // The call that overran is still waiting on the server: ending the process
  // makes it fail, and the run goes on with a fresh server.
  static void CALLBACK expired(PTP_CALLBACK_INSTANCE, void* context, PTP_TIMER) {
    auto* self = static_cast<ServerProcess*>(context);
    self->ended_ = true;
    TerminateProcess(self->process_, 1);
  }

  std::string progId_;
  HANDLE process_;
  bool ours_;
  std::chrono::milliseconds limit_;
  PTP_TIMER timer_ = nullptr;
  std::atomic<bool> ended_{false};
};

}  // namespace office::com
