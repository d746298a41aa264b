// No office process outlives its server: not after Quit, and not after the
// last reference is dropped without Quit. (That none outlives a killed client
// is shown with a program of its own in process_e2e_test.cpp: a process that
// holds the office bridge's threads cannot safely fork.)
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/corpus.h"
#include "office/libreoffice/libreoffice_server.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
using office::Object;
using office::Variant;

bool gone(int pid) {
  return ::kill(pid, 0) != 0 || e2e::officeProcesses().empty();
}

class ServerLifetime : public ::testing::Test {
 protected:
  testsupport::TempFolder folder;
  office::ServerRegistry servers;
  std::string path;

  void SetUp() override {
    ASSERT_TRUE(office::libreoffice::registerServers(servers));
    e2e::makeDocuments(folder.path(), {{"a.doc", "text", "", ""}});
    path = (folder.path() / "a.doc").string();
  }

  // Opens the document, so that the server's office runs; its PID.
  static int openIn(const Object& app, const std::string& path) {
    app.get("Documents").toObject().call("Open", {Variant(path)});
    std::vector<int> running = e2e::officeProcesses();
    EXPECT_EQ(running.size(), 1u);
    return running.empty() ? -1 : running.front();
  }
};

TEST_F(ServerLifetime, CreatingAServerStartsNoOffice) {
  Object app = servers.create("WORD.APPLICATION");
  EXPECT_EQ(app.defaultValue().toText(), "LibreOffice");
  EXPECT_FALSE(app.get("Version").toText().empty());
  EXPECT_TRUE(e2e::officeProcesses().empty());
}

TEST_F(ServerLifetime, QuitEndsTheOffice) {
  Object app = servers.create("word.Application");
  const int pid = openIn(app, path);
  app.call("Quit");
  EXPECT_TRUE(gone(pid));
  try {
    app.get("Documents").toObject().call("Open", {Variant(path)});
    FAIL() << "a server that quit answers no more";
  } catch (const office::AutomationError& e) {
    EXPECT_TRUE(office::isServerGone(e.code()));
  }
}

TEST_F(ServerLifetime, DroppingTheLastReferenceEndsTheOffice) {
  Object app = servers.create("excel.Application");
  Object document = app.get("Documents").toObject().call("Open", {Variant(path)}).toObject();
  const int pid = e2e::officeProcesses().at(0);
  app.release();
  EXPECT_FALSE(gone(pid)) << "the open document still holds its server";
  document.release();
  EXPECT_TRUE(gone(pid));
}

TEST_F(ServerLifetime, AKilledOfficeIsReportedAsGoneAndItsLockFileRemoved) {
  Object app = servers.create("word.Application");
  Object document = app.get("Documents").toObject().call("Open", {Variant(path)}).toObject();
  const fs::path lock = folder.path() / ".~lock.a.doc#";
  ASSERT_TRUE(fs::exists(lock)) << "the office locks what it opens";
  for (int pid : e2e::officeProcesses()) ::kill(pid, SIGKILL);
  try {
    document.get("Content").toObject().get("Find").toObject().call("Execute", {Variant("text")});
    FAIL() << "a killed office cannot answer";
  } catch (const office::AutomationError& e) {
    EXPECT_EQ(e.code(), office::kErrServerUnavailable);
    EXPECT_EQ(e.description().rfind("LibreOffice 已停止响应", 0), 0u) << e.description();
  }
  EXPECT_FALSE(fs::exists(lock));
  EXPECT_EQ(testsupport::readFile(path).substr(0, 8),
            std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8));
  EXPECT_THROW(app.call("Quit"), office::AutomationError);
}

}  // namespace
