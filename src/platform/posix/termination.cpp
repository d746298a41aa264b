#include "platform/posix/termination.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace platform::posix {

namespace {

int wakePipe[2] = {-1, -1};

// Never destroyed: the ending's thread uses them while another thread may
// already be running the program's exit, which destroys statics.
std::mutex& cleanupMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::map<unsigned long, std::function<void()>>& cleanups() {
  static auto* registered = new std::map<unsigned long, std::function<void()>>;
  return *registered;
}

unsigned long nextId = 0;
std::atomic<bool> ending{false};

extern "C" void onTerminationSignal(int signal) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(signal);
  if (::write(wakePipe[1], &byte, 1) < 0) {
    // Nothing can be done from here; the pipe is never full in practice.
  }
  errno = saved;
}

// Runs on its own thread, so that the clean-up may take locks and free memory,
// which a signal handler may not.
void endProgram() {
  unsigned char byte = 0;
  while (::read(wakePipe[0], &byte, 1) != 1) {
  }
  const int signal = byte;
  std::lock_guard placement(placementMutex());
  std::vector<std::function<void()>> work;
  {
    // Set under the same lock that registering takes: a clean-up registered
    // after this copy sees the flag and runs itself.
    std::lock_guard lock(cleanupMutex());
    ending = true;
    // Newest first, as destructors run: an office ends before the lock
    // files of its documents are removed.
    for (auto it = cleanups().rbegin(); it != cleanups().rend(); ++it) work.push_back(it->second);
  }
  for (auto& cleanup : work) {
    try {
      cleanup();
    } catch (...) {
    }
  }
  ::signal(signal, SIG_DFL);
  ::raise(signal);
  ::_exit(128 + signal);
}

}  // namespace

void installTerminationHandlers() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (::pipe2(wakePipe, O_CLOEXEC) != 0) return;
    cleanupMutex();
    cleanups();
    placementMutex();
    // A burst of signals must never block the handler.
    ::fcntl(wakePipe[1], F_SETFL, O_NONBLOCK);
    std::thread(endProgram).detach();
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
      // A signal the program was started to ignore (nohup, a background job)
      // stays ignored.
      struct sigaction inherited {};
      if (::sigaction(signal, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) {
        continue;
      }
      ::sigaction(signal, &action, nullptr);
    }
    std::atexit([] { stopHereIfEnding(); });
  });
}

bool programEnding() {
  return ending.load();
}

void stopHereIfEnding() {
  if (!ending.load()) return;
  for (;;) ::pause();
}

std::shared_mutex& placementMutex() {
  static auto* mutex = new std::shared_mutex;
  return *mutex;
}

TerminationCleanup::TerminationCleanup(std::function<void()> cleanup) {
  std::lock_guard lock(cleanupMutex());
  id_ = nextId++;
  cleanups().emplace(id_, std::move(cleanup));
}

TerminationCleanup::~TerminationCleanup() {
  std::lock_guard lock(cleanupMutex());
  cleanups().erase(id_);
}

}  // namespace platform::posix
