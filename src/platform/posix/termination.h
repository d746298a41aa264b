// How the program ends when it is told to (SIGTERM, SIGINT, SIGHUP): a
// document being written into is finished first, then every registered
// clean-up runs (offices ended, what they left behind removed), then the
// program ends as the signal would have ended it.
#pragma once

#include <functional>
#include <shared_mutex>

namespace platform::posix {

// Installs the handlers once; later calls do nothing.
void installTerminationHandlers();

// True once the program has begun to end: nothing new (an office) may start,
// as its clean-up could be registered too late to run.
bool programEnding();

// Once the program has begun to end, never returns: the calling thread waits
// for the end instead of starting work the ending cannot see, or reporting as
// a failure what the ending did (an office it killed). A return from main
// waits the same way, so that the ending is never cut short by exit.
void stopHereIfEnding();

// Held, shared, for the whole time a user's document is being written into
// (several jobs may write at once); the ending takes it alone, so it waits
// for every write in progress and then keeps any new one from beginning.
std::shared_mutex& placementMutex();

// A clean-up that runs if the program is ended by one of those signals while
// this object lives. It runs on the ending's own thread while other threads
// go on: it captures by value what it needs (PIDs, paths) and must not wait on
// locks they may hold.
class TerminationCleanup {
 public:
  explicit TerminationCleanup(std::function<void()> cleanup);
  ~TerminationCleanup();
  TerminationCleanup(const TerminationCleanup&) = delete;
  TerminationCleanup& operator=(const TerminationCleanup&) = delete;

 private:
  unsigned long id_;
};

}  // namespace platform::posix
