// Ending the program by a signal, each case in a child process of its own:
// the registered clean-ups run (and only those still registered), the program
// then ends as the signal would have ended it, and neither a return from main
// nor a thread that goes on cuts the clean-up short.
#include "platform/posix/termination.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using platform::posix::installTerminationHandlers;
using platform::posix::TerminationCleanup;

// Runs body in a forked child (no threads of ours there yet) and returns its
// wait status.
int inChild(const std::function<void()>& body) {
  const pid_t child = ::fork();
  if (child == 0) {
    body();
    ::_exit(99);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return status;
}

void mark(const fs::path& file) {
  std::ofstream(file) << "done";
}

TEST(Termination, EachSignalRunsTheRegisteredCleanUpsAndEndsTheProgramByIt) {
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    testsupport::TempFolder folder;
    const fs::path kept = folder.path() / "kept", dropped = folder.path() / "dropped";
    const int status = inChild([&] {
      installTerminationHandlers();
      TerminationCleanup cleanup([kept] { mark(kept); });
      {
        TerminationCleanup gone([dropped] { mark(dropped); });
      }
      ::kill(::getpid(), signal);
      for (;;) ::pause();
    });
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << status;
    EXPECT_TRUE(fs::exists(kept));
    EXPECT_FALSE(fs::exists(dropped)) << "a clean-up no longer registered ran";
  }
}

TEST(Termination, ASignalTheProgramWasStartedToIgnoreStaysIgnored) {
  testsupport::TempFolder folder;
  const fs::path cleaned = folder.path() / "cleaned", survived = folder.path() / "survived";
  const int status = inChild([&] {
    ::signal(SIGHUP, SIG_IGN);  // as nohup starts it
    installTerminationHandlers();
    TerminationCleanup cleanup([cleaned] { mark(cleaned); });
    ::kill(::getpid(), SIGHUP);
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    mark(survived);
    ::kill(::getpid(), SIGTERM);
    for (;;) ::pause();
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(fs::exists(survived)) << "a hang-up ended a program started under nohup";
  EXPECT_TRUE(fs::exists(cleaned));
}

TEST(Termination, AReturnFromMainWaitsForTheEndingToFinish) {
  testsupport::TempFolder folder;
  const fs::path done = folder.path() / "done";
  const int status = inChild([&] {
    installTerminationHandlers();
    TerminationCleanup slow([done] {
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      mark(done);
    });
    ::kill(::getpid(), SIGTERM);
    // The main thread goes on meanwhile, to its end.
    while (!platform::posix::programEnding()) std::this_thread::yield();
    std::exit(0);
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_TRUE(fs::exists(done)) << "the clean-up was cut short";
}

TEST(Termination, AThreadThatStopsHereDuringTheEndingNeverGoesOn) {
  testsupport::TempFolder folder;
  const fs::path after = folder.path() / "after";
  const int status = inChild([&] {
    installTerminationHandlers();
    platform::posix::stopHereIfEnding();  // not ending: returns at once
    TerminationCleanup slow([] { std::this_thread::sleep_for(std::chrono::milliseconds(200)); });
    ::kill(::getpid(), SIGTERM);
    while (!platform::posix::programEnding()) std::this_thread::yield();
    platform::posix::stopHereIfEnding();
    mark(after);
  });
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGTERM) << status;
  EXPECT_FALSE(fs::exists(after));
}

}  // namespace
