#include "office/libreoffice/termination.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <thread>
#include <vector>

namespace office::libreoffice {

namespace {

int wakePipe[2] = {-1, -1};

std::mutex& cleanupMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<unsigned long, std::function<void()>>& cleanups() {
  static std::map<unsigned long, std::function<void()>> registered;
  return registered;
}

unsigned long nextId = 0;

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
    std::lock_guard lock(cleanupMutex());
    for (auto& [id, cleanup] : cleanups()) work.push_back(cleanup);
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
    std::thread(endProgram).detach();
    struct sigaction action {};
    action.sa_handler = onTerminationSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
  });
}

std::mutex& placementMutex() {
  static std::mutex mutex;
  return mutex;
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

}  // namespace office::libreoffice
