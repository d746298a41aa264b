#include "platform/posix/safe_store.h"
#include "office/libreoffice/lock_files.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/posix/termination.h"
#include "support/fixtures.h"

namespace {

namespace fs = std::filesystem;
namespace ll = office::libreoffice;
namespace posix = platform::posix;
using posix::WriteBlock;
using testsupport::readFile;
using Names = std::set<std::string>;

constexpr uid_t kColleague = 1001;
constexpr gid_t kSharedGroup = 2000;
constexpr uid_t kUser = 1002;

bool root() {
  return ::geteuid() == 0;
}

struct stat statOf(const fs::path& path) {
  struct stat st {};
  EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
  return st;
}

Names namesIn(const fs::path& folder) {
  Names names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

void chownPath(const fs::path& path, uid_t uid, gid_t gid) {
  ASSERT_EQ(::lchown(path.c_str(), uid, gid), 0) << path;
}

// A process under another user: it runs `body` after dropping root and
// reports what `body` returns (empty for success).
class UserProcess {
 public:
  UserProcess(uid_t uid, std::vector<gid_t> groups, const std::function<std::string()>& body) {
    int fds[2];
    if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
    pid_ = ::fork();
    if (pid_ == 0) {
      ::close(fds[0]);
      std::string report;
      if (::setgroups(groups.size(), groups.data()) != 0 || ::setgid(uid) != 0 ||
          ::setuid(uid) != 0) {
        report = "cannot become the user";
      } else {
        try {
          report = body();
        } catch (const std::exception& e) {
          report = std::string("threw: ") + e.what();
        }
      }
      if (::write(fds[1], report.data(), report.size()) < 0) ::_exit(2);
      ::_exit(0);
    }
    ::close(fds[1]);
    report_ = fds[0];
  }

  std::string report() {
    std::string text;
    char buffer[512];
    ssize_t got;
    while ((got = ::read(report_, buffer, sizeof buffer)) > 0)
      text.append(buffer, static_cast<size_t>(got));
    ::close(report_);
    int status = 0;
    ::waitpid(pid_, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return "the child ended abnormally";
    return text;
  }

 private:
  pid_t pid_ = -1;
  int report_ = -1;
};

std::string asUser(uid_t uid, std::vector<gid_t> groups, const std::function<std::string()>& body) {
  return UserProcess(uid, std::move(groups), body).report();
}

// Documents in `docs`, the office's new content in `office`; both reachable
// by other users, since some tests write as one.
class SafeStore : public ::testing::Test {
 public:
  void SetUp() override {
    fs::permissions(tmp.path(), fs::perms(0755));
    docs = tmp.mkdir("docs");
    fs::permissions(docs, fs::perms(0777));
    tmp.mkdir("office");
  }

  fs::path content(const std::string& text) {
    fs::path file = tmp.write("office/new" + std::to_string(++contents), text);
    fs::permissions(file, fs::perms(0644));
    return file;
  }
  fs::path document(const std::string& name, const std::string& text, mode_t mode = 0644) {
    fs::path file = tmp.write("docs/" + name, text);
    fs::permissions(file, fs::perms(mode));
    return file;
  }

  testsupport::TempFolder tmp;
  fs::path docs;
  int contents = 0;
};

TEST(SafeStoreNames, AreHiddenFixedInLengthAndTiedToTheirDocument) {
  const std::string longest(255, 'x');
  for (const std::string& name : {std::string("a.doc"), longest}) {
    const std::string temporary = posix::safe_store::temporaryName(name, "abc123");
    const std::string recovery = posix::safe_store::recoveryName(name, "abc123");
    EXPECT_EQ(temporary.front(), '.');
    EXPECT_EQ(temporary.size(), 27u);
    EXPECT_EQ(recovery.size(), 27u);
    EXPECT_NE(temporary, recovery);
  }
  EXPECT_NE(posix::safe_store::temporaryName("a.doc", "abc123"),
            posix::safe_store::temporaryName("b.doc", "abc123"));
  EXPECT_THROW(posix::safe_store::temporaryName("a.doc", "../x/y"), std::invalid_argument);
}

TEST_F(SafeStore, ReplaceKeepsModeOwnerAndGroup) {
  struct Case {
    mode_t mode;
    bool colleagues;  // owned by another user and group (set up as root)
  };
  for (const Case& c : {Case{0640, false}, Case{0600, false}, Case{0755, false}, Case{0664, true},
                        Case{02775, true}}) {
    SCOPED_TRACE(testing::Message() << std::oct << c.mode << (c.colleagues ? " colleague's" : ""));
    if (c.colleagues && !root()) continue;
    const fs::path doc = document("a.doc", "old text", c.mode);
    if (c.colleagues) chownPath(doc, kColleague, kSharedGroup);
    fs::permissions(doc, fs::perms(c.mode));  // chown cleared the set-id bits
    const struct stat before = statOf(doc);

    posix::placeContent(content("new text"), doc);

    const struct stat after = statOf(doc);
    EXPECT_EQ(readFile(doc), "new text");
    EXPECT_EQ(after.st_mode, before.st_mode);
    EXPECT_EQ(after.st_uid, before.st_uid);
    EXPECT_EQ(after.st_gid, before.st_gid);
    EXPECT_NE(after.st_ino, before.st_ino) << "a file with one link is replaced by rename";
    EXPECT_EQ(namesIn(docs), Names{"a.doc"});
    fs::remove(doc);
  }
}

TEST_F(SafeStore, ReplaceKeepsExtendedAttributes) {
  const fs::path doc = document("a.doc", "old text");
  const std::string value = "kept value";
  if (::setxattr(doc.c_str(), "user.x", value.data(), value.size(), 0) != 0)
    GTEST_SKIP() << "this file system refuses user extended attributes";

  posix::placeContent(content("new text"), doc);

  char buffer[64] = {};
  const ssize_t got = ::getxattr(doc.c_str(), "user.x", buffer, sizeof buffer);
  ASSERT_GT(got, 0) << "the attribute was dropped";
  EXPECT_EQ(std::string(buffer, static_cast<size_t>(got)), value);
  EXPECT_EQ(readFile(doc), "new text");
}

TEST_F(SafeStore, SymbolicLinkStaysALinkAndItsTargetChanges) {
  const fs::path elsewhere = tmp.mkdir("elsewhere");
  const fs::path target = tmp.write("elsewhere/target.doc", "old text");
  const fs::path link = docs / "link.doc";
  fs::create_symlink("../elsewhere/target.doc", link);

  posix::placeContent(content("new text"), link);

  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(fs::read_symlink(link), "../elsewhere/target.doc");
  EXPECT_EQ(readFile(target), "new text");
  EXPECT_EQ(namesIn(docs), Names{"link.doc"});
  EXPECT_EQ(namesIn(elsewhere), Names{"target.doc"});
}

TEST_F(SafeStore, InPlaceKeepsHardLinks) {
  for (const std::string& text : {std::string("short"), std::string(200000, 'L')}) {
    SCOPED_TRACE(text.size());
    const fs::path doc = document("a.doc", "the old text of the document");
    fs::create_hard_link(doc, docs / "b.doc");
    const ino_t inode = statOf(doc).st_ino;

    posix::placeContent(content(text), doc);

    EXPECT_EQ(readFile(doc), text);
    EXPECT_EQ(readFile(docs / "b.doc"), text);
    EXPECT_EQ(statOf(doc).st_nlink, 2u);
    EXPECT_EQ(statOf(doc).st_ino, inode);
    EXPECT_EQ(namesIn(docs), (Names{"a.doc", "b.doc"}));
    fs::remove(doc);
    fs::remove(docs / "b.doc");
  }
}

// Written in place, or another file renamed over it, after the office loaded
// it: an in-place overwrite (several hard links) touches nothing either.
TEST_F(SafeStore, InPlaceWritesOnlyTheFileLoadedAsItWasLoaded) {
  struct Case {
    const char* what;
    std::function<void(const fs::path&)> change;
    std::string expected;
  };
  const Case cases[] = {
      {"untouched", [](const fs::path&) {}, "new text"},
      {"same size, written since",
       [](const fs::path& doc) {
         const struct timespec later[2] = {{0, UTIME_OMIT}, {statOf(doc).st_mtim.tv_sec + 1, 0}};
         std::ofstream(doc, std::ios::in | std::ios::out) << "OLD";
         ASSERT_EQ(::utimensat(AT_FDCWD, doc.c_str(), later, 0), 0);
       },
       "OLD text"},
      {"renamed over",
       [this](const fs::path& doc) { fs::rename(tmp.write("docs/theirs", "theirs"), doc); },
       "theirs"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path doc = document("a.doc", "old text");
    fs::create_hard_link(doc, docs / "b.doc");
    const posix::LoadedFile loaded = posix::loadedFile(doc);
    c.change(doc);
    const bool placed = c.expected == "new text";
    if (placed) {
      posix::placeContent(content("new text"), doc, loaded);
    } else {
      EXPECT_THROW(posix::placeContent(content("new text"), doc, loaded), posix::ChangedSinceLoad);
    }
    EXPECT_EQ(readFile(doc), c.expected);
    EXPECT_EQ(namesIn(docs), (Names{"a.doc", "b.doc"}));
    fs::remove(doc);
    fs::remove(docs / "b.doc");
  }
}

// Where the file system has neither hard links nor RENAME_NOREPLACE (FAT,
// exFAT), the recovery copy is still made and the document written in place.
TEST_F(SafeStore, WithoutHardLinksTheRecoveryCopyIsStillMade) {
  const posix::safe_store::LinkCalls system = posix::safe_store::linkCalls();
  posix::safe_store::linkCalls() = {
      [](int, const char*, int, const char*) { return errno = EINVAL, -1; },
      [](int, const char*, int, const char*) { return errno = EPERM, -1; }};
  struct Case {
    std::vector<std::string> draws;  // the temporary file's, then the copy's
    std::string expected;
  };
  const Case cases[] = {{{"tmp001", "rec001"}, "new text"},
                        {{"tmp002", "taken1", "rec002"}, "new text"},
                        {{"tmp003", "taken1"}, "old text"}};
  for (const Case& c : cases) {
    const fs::path doc = document("a.doc", "old text");
    fs::create_hard_link(doc, docs / "b.doc");  // in place, as for a file of somebody else
    const std::string taken = posix::safe_store::recoveryName("a.doc", "taken1");
    tmp.write("docs/" + taken, "somebody's");
    std::size_t next = 0;
    const auto random = [&] { return c.draws[std::min(next++, c.draws.size() - 1)]; };
    try {
      posix::safe_store::placeContent(content("new text"), doc, random);
    } catch (const std::system_error& e) {
      EXPECT_EQ(e.code().value(), EEXIST) << e.what();
    }
    EXPECT_EQ(readFile(doc), c.expected);
    EXPECT_EQ(readFile(docs / taken), "somebody's");
    EXPECT_EQ(namesIn(docs), (Names{"a.doc", "b.doc", taken}));
    for (const std::string& name : namesIn(docs)) fs::remove(docs / name);
  }
  posix::safe_store::linkCalls() = system;
}

// The original is kept before its place is taken: as itself (a hard link)
// when a new file takes the name, as a copy when the document is overwritten
// in place, since a link would be overwritten with it; never over a file.
TEST_F(SafeStore, BackupKeepsTheOriginalAsALinkOrACopyOrFailsThePlacement) {
  struct Case {
    std::string name;
    bool hardLinked;  // the document has a second name: it is overwritten in place
    bool taken;       // a file already stands at the backup's name
  };
  for (const Case& c : {Case{"renamed", false, false}, Case{"in place", true, false},
                        Case{"backup taken", false, true}}) {
    SCOPED_TRACE(c.name);
    const fs::path doc = document("a.doc", "the old text", 0640);
    if (c.hardLinked) fs::create_hard_link(doc, docs / "b.doc");
    const struct timespec old[2] = {{1000000000, 0}, {1200000000, 500}};
    ASSERT_EQ(::utimensat(AT_FDCWD, doc.c_str(), old, 0), 0);
    const struct stat was = statOf(doc);
    const fs::path backup = tmp.path() / "kept" / "sub" / "a.doc";
    if (c.taken) tmp.write("kept/sub/a.doc", "earlier backup");

    if (c.taken) {
      EXPECT_THROW(posix::placeContent(content("new text"), doc, backup), std::system_error);
      EXPECT_EQ(readFile(doc), "the old text");
      EXPECT_EQ(readFile(backup), "earlier backup");
      EXPECT_EQ(namesIn(docs), (Names{"a.doc"}));
    } else {
      posix::placeContent(content("new text"), doc, backup);
      EXPECT_EQ(readFile(doc), "new text");
      EXPECT_EQ(readFile(backup), "the old text");
      const struct stat kept = statOf(backup);
      EXPECT_EQ(kept.st_ino == was.st_ino, !c.hardLinked);
      EXPECT_EQ(kept.st_mode, was.st_mode);
      EXPECT_EQ(kept.st_mtim.tv_sec, was.st_mtim.tv_sec);
      EXPECT_EQ(kept.st_mtim.tv_nsec, was.st_mtim.tv_nsec);
      if (c.hardLinked) {
        EXPECT_EQ(readFile(docs / "b.doc"), "new text");
      }
    }
    fs::remove_all(tmp.path() / "kept");
    fs::remove(doc);
    fs::remove(docs / "b.doc");
  }
}

TEST_F(SafeStore, InPlaceKeepsAColleaguesOwnerAndGroup) {
  if (!root()) GTEST_SKIP() << "needs root to give files to other users";
  chownPath(docs, kColleague, kSharedGroup);
  fs::permissions(docs, fs::perms(0775));
  const fs::path doc = document("shared.doc", "old text", 0664);
  chownPath(doc, kColleague, kSharedGroup);
  const fs::path newContent = content("new text");

  EXPECT_EQ(asUser(kUser, {kSharedGroup},
                   [&] {
                     posix::placeContent(newContent, doc);
                     return std::string();
                   }),
            "");

  const struct stat after = statOf(doc);
  EXPECT_EQ(after.st_uid, kColleague);
  EXPECT_EQ(after.st_gid, kSharedGroup);
  EXPECT_EQ(after.st_mode & 07777, 0664u);
  EXPECT_EQ(readFile(doc), "new text");
  EXPECT_EQ(namesIn(docs), Names{"shared.doc"});
}

// Another user watches the folder and opens every file that appears in it
// while a private document is being written.
TEST_F(SafeStore, NewContentIsNeverReadableByOthersWhileWritten) {
  if (!root()) GTEST_SKIP() << "needs root to watch as another user";
  fs::permissions(docs, fs::perms(0755));
  const fs::path doc = document("private.doc", "old", 0600);
  for (bool hardLinked : {false, true}) {
    SCOPED_TRACE(hardLinked ? "in place" : "replace");
    if (hardLinked) fs::create_hard_link(doc, docs / "second.doc");
    const fs::path newContent = content(std::string(8 << 20, 'S'));
    int ready[2], done[2];
    ASSERT_EQ(::pipe(ready), 0);
    ASSERT_EQ(::pipe(done), 0);
    UserProcess watcher(kUser, {}, [&] {
      ::close(ready[0]);
      ::close(done[1]);
      const int watch = ::inotify_init1(IN_NONBLOCK);
      if (watch < 0 || ::inotify_add_watch(watch, docs.c_str(), IN_CREATE | IN_MOVED_TO) < 0)
        return std::string("cannot watch");
      if (::write(ready[1], "r", 1) != 1) return std::string("cannot signal");
      int created = 0;
      for (bool finished = false; !finished;) {
        pollfd fds[2] = {{watch, POLLIN, 0}, {done[0], POLLIN, 0}};
        ::poll(fds, 2, 1000);
        finished = fds[1].revents != 0;
        alignas(inotify_event) char events[8192];
        ssize_t got;
        while ((got = ::read(watch, events, sizeof events)) > 0) {
          for (char* at = events; at < events + got;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            at += sizeof(inotify_event) + event->len;
            if (event->len == 0) continue;
            ++created;
            const int fd = ::open((docs / event->name).c_str(), O_RDONLY | O_NONBLOCK);
            if (fd < 0) continue;
            char byte = 0;
            const ssize_t length = ::read(fd, &byte, 1);
            ::close(fd);
            if (length == 1 && byte == 'S')
              return "read the new content as " + std::string(event->name);
          }
        }
      }
      return created > 0 ? std::string() : std::string("saw no file appear");
    });
    ::close(ready[1]);
    ::close(done[0]);
    char byte;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    posix::placeContent(newContent, doc);
    ::close(done[1]);
    ::close(ready[0]);
    EXPECT_EQ(watcher.report(), "");
    EXPECT_EQ(statOf(doc).st_mode & 07777, 0600u);
  }
}

// Names the program could draw are taken by links to a victim file.
TEST_F(SafeStore, PlantedLinksAreNeverFollowed) {
  enum Taken { Some, Every, EveryRecoveryName };
  struct Case {
    bool hardLinked;  // in place, which also names a recovery copy
    Taken taken;
  };
  const fs::path victim = tmp.write("office/victim", "victim's text");
  fs::permissions(victim, fs::perms(0644));
  for (const Case& c : {Case{false, Some}, Case{true, Some}, Case{false, Every}, Case{true, Every},
                        Case{true, EveryRecoveryName}}) {
    SCOPED_TRACE(testing::Message()
                 << (c.hardLinked ? "in place" : "replace") << ", taken " << c.taken);
    const fs::path doc = document("a.doc", "old text");
    Names expected{"a.doc"};
    if (c.hardLinked) {
      fs::create_hard_link(doc, docs / "b.doc");
      expected.insert("b.doc");
    }
    // Two rounds of kNameAttempts - 1 taken names, each but the last followed
    // by a free one: the temporary file's draws, then the recovery copy's.
    std::vector<std::string> draws;
    for (int round = 0; round < 2; ++round) {
      for (int i = 0; i + 1 < posix::safe_store::kNameAttempts; ++i) {
        char random[8];
        std::snprintf(random, sizeof random, "p%d%04d", round, i);
        draws.push_back(random);
        for (const std::string& name : {posix::safe_store::temporaryName("a.doc", random),
                                        posix::safe_store::recoveryName("a.doc", random)}) {
          fs::create_symlink(victim, docs / name);
          expected.insert(name);
        }
      }
      if (c.taken == Some || (c.taken == EveryRecoveryName && round == 0))
        draws.push_back("free0" + std::to_string(round));
    }
    std::size_t next = 0;
    const posix::safe_store::RandomPart random = [&] { return draws[next++ % draws.size()]; };

    const bool placeable = c.taken == Some || (c.taken == EveryRecoveryName && !c.hardLinked);
    try {
      posix::safe_store::placeContent(content("new text"), doc, random);
      EXPECT_TRUE(placeable) << "placed with every name taken";
    } catch (const std::system_error& e) {
      EXPECT_FALSE(placeable) << e.what();
      EXPECT_EQ(e.code().value(), EEXIST);
    }
    EXPECT_EQ(readFile(doc), placeable ? "new text" : "old text");
    EXPECT_EQ(readFile(victim), "victim's text");
    EXPECT_EQ(statOf(victim).st_mode & 07777, 0644u);
    EXPECT_EQ(namesIn(docs), expected);
    for (const std::string& name : expected) {
      if (name.starts_with(".")) {
        EXPECT_EQ(fs::read_symlink(docs / name), victim) << name;
      }
    }
    for (const std::string& name : expected) fs::remove(docs / name);
  }
}

TEST_F(SafeStore, WriteBlockJudgesTheFileThenItsFolder) {
  if (!root()) GTEST_SKIP() << "judges as root and, in a child, as another user";
  struct Case {
    const char* what;
    mode_t file;
    mode_t folder;
    mode_t linkFolder;  // 0: no link
    bool asUser;
    WriteBlock expected;
  };
  const Case cases[] = {
      {"0444 as root", 0444, 0755, 0, false, WriteBlock::ReadOnlyFile},
      {"0644 as root", 0644, 0555, 0, false, WriteBlock::None},
      {"0444", 0444, 0777, 0, true, WriteBlock::ReadOnlyFile},
      {"read-only folder", 0644, 0555, 0, true, WriteBlock::ReadOnlyFolder},
      {"both read-only", 0444, 0555, 0, true, WriteBlock::ReadOnlyFile},
      {"writable", 0644, 0755, 0, true, WriteBlock::None},
      {"link into a read-only folder", 0644, 0555, 0777, true, WriteBlock::ReadOnlyFolder},
      {"link from a read-only folder", 0644, 0755, 0555, true, WriteBlock::None},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path folder = tmp.mkdir("case" + std::to_string(++n) + "/files");
    fs::path doc = tmp.write((folder.lexically_relative(tmp.path()) / "a.doc").string(), "text");
    fs::permissions(doc, fs::perms(c.file));
    if (c.linkFolder != 0) {
      const fs::path links = tmp.mkdir("case" + std::to_string(n) + "/links");
      fs::create_symlink(doc, links / "a.doc");
      doc = links / "a.doc";
      fs::permissions(links, fs::perms(c.linkFolder));
    }
    if (c.asUser) {
      chownPath(folder / "a.doc", kUser, kUser);
      chownPath(folder, kUser, kUser);
    }
    fs::permissions(folder, fs::perms(c.folder));
    fs::permissions(folder.parent_path(), fs::perms(0755));
    if (c.asUser) {
      EXPECT_EQ(asUser(kUser, {},
                       [&] { return std::to_string(static_cast<int>(posix::writeBlock(doc))); }),
                std::to_string(static_cast<int>(c.expected)));
    } else {
      EXPECT_EQ(posix::writeBlock(doc), c.expected);
    }
  }
}

TEST_F(SafeStore, LongestNameGetsItsTemporaryFileBesideIt) {
  std::string name;
  for (int i = 0; i < 85; ++i) name += "文";
  ASSERT_EQ(name.size(), 255u);
  for (bool hardLinked : {false, true}) {
    SCOPED_TRACE(hardLinked ? "in place" : "replace");
    const fs::path doc = document(name, "old text");
    if (hardLinked) fs::create_hard_link(doc, docs / "b.doc");

    posix::placeContent(content("new text"), doc);

    EXPECT_EQ(readFile(doc), "new text");
    EXPECT_EQ(namesIn(docs).size(), hardLinked ? 2u : 1u);
    fs::remove(doc);
    fs::remove(docs / "b.doc");
  }
}

TEST_F(SafeStore, PlacingWaitsForAnEndingInProgress) {
  const fs::path doc = document("a.doc", "old text");
  const fs::path newContent = content("new text");
  std::unique_lock ending(posix::placementMutex());
  std::thread saving([&] { posix::placeContent(newContent, doc); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_EQ(readFile(doc), "old text");
  EXPECT_EQ(namesIn(docs), Names{"a.doc"}) << "a temporary file was made during the ending";
  ending.unlock();
  saving.join();
  EXPECT_EQ(readFile(doc), "new text");
}

TEST_F(SafeStore, ErrorsLeaveTheDocumentAndNoFileBehind) {
  struct Case {
    const char* what;
    std::function<fs::path(SafeStore&)> content;
    std::function<fs::path(SafeStore&)> document;
    bool asUser;
  };
  const fs::path missing = tmp.path() / "office/missing";
  const Case cases[] = {
      {"content missing", [&](SafeStore&) { return missing; },
       [](SafeStore& t) { return t.document("a.doc", "old text"); }, false},
      {"document missing", [](SafeStore& t) { return t.content("new"); },
       [](SafeStore& t) { return t.docs / "none.doc"; }, false},
      {"document is a folder", [](SafeStore& t) { return t.content("new"); },
       [](SafeStore& t) { return t.tmp.mkdir("docs/folder.doc"); }, false},
      {"link to nothing", [](SafeStore& t) { return t.content("new"); },
       [](SafeStore& t) {
         fs::create_symlink("nowhere.doc", t.docs / "link.doc");
         return t.docs / "link.doc";
       },
       false},
      {"folder read-only", [](SafeStore& t) { return t.content("new"); },
       [](SafeStore& t) {
         const fs::path doc = t.document("a.doc", "old text", 0666);
         chownPath(t.docs, kUser, kUser);
         fs::permissions(t.docs, fs::perms(0555));
         return doc;
       },
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.asUser && !root()) continue;
    const fs::path newContent = c.content(*this);
    const fs::path doc = c.document(*this);
    const Names before = namesIn(docs);
    const auto attempt = [&] {
      try {
        posix::placeContent(newContent, doc);
        return std::string("no error");
      } catch (const std::system_error&) {
        return std::string();
      }
    };
    EXPECT_EQ(c.asUser ? asUser(kUser, {}, attempt) : attempt(), "");
    if (fs::is_regular_file(doc)) {
      EXPECT_EQ(readFile(doc), "old text");
    }
    EXPECT_EQ(namesIn(docs), before);
    fs::permissions(docs, fs::perms(0777));
    fs::remove_all(docs);
    docs = tmp.mkdir("docs");
    fs::permissions(docs, fs::perms(0777));
  }
}

// --- Recovery after a killed run ---------------------------------------------

enum class Entry { Document, Folder, ThroughLink };

void recover(Entry entry, const fs::path& doc, const fs::path& link) {
  switch (entry) {
    case Entry::Document:
      posix::recoverDocument(doc);
      break;
    case Entry::Folder:
      posix::recoverFolder(doc.parent_path());
      break;
    case Entry::ThroughLink:
      posix::recoverDocument(link);
      break;
  }
}

class Recovery : public SafeStore, public ::testing::WithParamInterface<Entry> {
 protected:
  void SetUp() override {
    SafeStore::SetUp();
    link = tmp.mkdir("links") / "a.doc";
    fs::create_symlink(docs / "a.doc", link);
  }
  fs::path leftover(const std::string& name, const std::string& text) {
    const fs::path file = docs / name;
    tmp.write("docs/" + name, text);
    fs::permissions(file, fs::perms(0600));
    return file;
  }
  fs::path link;
};

TEST_P(Recovery, KilledInPlaceWriteIsFinished) {
  // The copy is complete before the document's first byte changes.
  leftover(posix::safe_store::recoveryName("a.doc", "abc123"), "the new text, complete");
  const fs::path doc = document("a.doc", "the new text, half");
  fs::create_hard_link(doc, docs / "b.doc");

  recover(GetParam(), doc, link);

  EXPECT_EQ(readFile(doc), "the new text, complete");
  EXPECT_EQ(readFile(docs / "b.doc"), "the new text, complete");
  EXPECT_EQ(statOf(doc).st_nlink, 2u);
  EXPECT_EQ(namesIn(docs), (Names{"a.doc", "b.doc"}));
}

TEST_P(Recovery, ACopyIsNeverAppliedToADocumentItsWriteDidNotTouch) {
  struct Case {
    const char* what;
    int documentChanged;  // seconds after the copy was made; negative: before
  };
  const Case cases[] = {
      {"killed before the overwrite began", -5},
      {"changed by somebody long after the write died", 3600},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path doc = document("a.doc", "the user's text");
    const fs::path copy =
        leftover(posix::safe_store::recoveryName("a.doc", "abc123"), "the new text, complete");
    struct stat st = statOf(copy);
    const struct timespec times[2] = {{st.st_mtim.tv_sec + c.documentChanged, 0},
                                      {st.st_mtim.tv_sec + c.documentChanged, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, doc.c_str(), times, 0), 0);

    recover(GetParam(), doc, link);

    EXPECT_EQ(readFile(doc), "the user's text");
    EXPECT_EQ(namesIn(docs), (Names{"a.doc"}));
  }
}

TEST_P(Recovery, IncompleteTemporaryFileIsRemovedAndTheDocumentUntouched) {
  const fs::path doc = document("a.doc", "old text");
  leftover(posix::safe_store::temporaryName("a.doc", "abc123"), "new te");
  leftover(posix::safe_store::temporaryName("gone.doc", "abc123"), "new te");

  recover(GetParam(), doc, link);

  EXPECT_EQ(readFile(doc), "old text");
  const Names left = namesIn(docs);
  EXPECT_EQ(left.count("a.doc"), 1u);
  EXPECT_EQ(left.count(posix::safe_store::temporaryName("a.doc", "abc123")), 0u);
}

TEST_P(Recovery, FilesThatAreNotOursAreLeftAlone) {
  if (!root()) GTEST_SKIP() << "needs root to give files to another user";
  const fs::path doc = document("a.doc", "old text");
  const fs::path victim = tmp.write("office/victim", "victim's text");
  const std::string recovery = posix::safe_store::recoveryName("a.doc", "abc123");
  Names names{"a.doc", ".~lock.a.doc#", ".~rv0123456789abcdefrabc123", "a.doc.tmp"};
  leftover(".~lock.a.doc#", "someone");
  leftover(".~rv0123456789abcdefrabc123", "looks like ours");
  leftover("a.doc.tmp", "an editor's");
  // Named as ours, but another user's, a link, or a second link of a file.
  const std::string colleagues = recovery.substr(0, recovery.size() - 1) + "1";
  chownPath(leftover(colleagues, "a colleague's text"), kColleague, kColleague);
  const std::string theirTemporary = posix::safe_store::temporaryName("a.doc", "abc124");
  chownPath(leftover(theirTemporary, "a colleague's text"), kColleague, kColleague);
  const std::string planted = posix::safe_store::recoveryName("a.doc", "abc125");
  fs::create_symlink(victim, docs / planted);
  const std::string linked = posix::safe_store::recoveryName("a.doc", "abc126");
  fs::create_hard_link(victim, docs / linked);
  // And a recovery copy whose document is gone: the only place its text is.
  const std::string orphan = posix::safe_store::recoveryName("renamed.doc", "abc123");
  leftover(orphan, "text of a document since renamed");
  names.insert({colleagues, theirTemporary, planted, linked, orphan});

  recover(GetParam(), doc, link);

  EXPECT_EQ(readFile(doc), "old text");
  EXPECT_EQ(readFile(victim), "victim's text");
  EXPECT_EQ(namesIn(docs), names);
}

std::string nameOf(Entry entry) {
  switch (entry) {
    case Entry::Document:
      return "Document";
    case Entry::Folder:
      return "Folder";
    case Entry::ThroughLink:
      return "ThroughLink";
  }
  return "";
}
void PrintTo(Entry entry, std::ostream* out) {
  *out << nameOf(entry);
}
std::string entryName(const ::testing::TestParamInfo<Entry>& entry) {
  return nameOf(entry.param);
}

INSTANTIATE_TEST_SUITE_P(Entries, Recovery,
                         ::testing::Values(Entry::Document, Entry::Folder, Entry::ThroughLink),
                         entryName);

// Lock files beside documents: only a lock of one of our own offices on this
// machine that is gone is taken over; a lock whose office we cannot see into
// is somebody's at work.
TEST_F(SafeStore, OnlyLocksOfOurOwnGoneOfficesAreRemoved) {
  if (!root()) GTEST_SKIP() << "needs root to make a folder another user cannot see into";
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  const fs::path hidden = tmp.mkdir("hidden");  // root's, 0700: not for uid 1002
  fs::permissions(hidden, fs::perms(0700));
  fs::create_directories(hidden / "ravelsk-office-live" / "profile");
  // A program that has ended but is not reaped yet still owns a folder.
  const pid_t ended = ::fork();
  if (ended == 0) ::_exit(0);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  const std::string stat = readFile("/proc/" + std::to_string(ended) + "/stat");
  std::istringstream fields(stat.substr(stat.rfind(')') + 2));
  std::string started;
  for (int i = 3; i <= 22; ++i) fields >> started;
  tmp.write("ravelsk-office-ended/owner", std::to_string(ended) + " " + started + "\n");
  fs::create_directories(tmp.path() / "ravelsk-office-ended" / "profile");
  enum class Lock { Written, WrittenLate, EmptyOurs, EmptyTheirs };
  struct Case {
    std::string name;
    std::string host;
    fs::path profile;
    bool removed;
    Lock lock = Lock::Written;
  };
  const std::vector<Case> cases = {
      {"late.doc", host, tmp.path() / "ravelsk-office-gone" / "profile", true, Lock::WrittenLate},
      {"ended.doc", host, tmp.path() / "ravelsk-office-ended" / "profile", true},
      {"empty.doc", host, {}, true, Lock::EmptyOurs},
      {"their empty.doc", host, {}, false, Lock::EmptyTheirs},
      {"gone.doc", host, tmp.path() / "ravelsk-office-gone" / "profile", true},
      {"full name.doc", std::string(host) + ".example.com",
       tmp.path() / "ravelsk-office-gone2" / "profile", true},
      {"unseen.doc", host, hidden / "ravelsk-office-live" / "profile", false},
      {"other host.doc", "otherhost", tmp.path() / "ravelsk-office-gone3" / "profile", false},
      {"other program.doc", host, tmp.path() / "config" / "libreoffice" / "4", false},
  };
  std::vector<std::thread> writers;
  for (const Case& c : cases) {
    document(c.name, "text");
    const fs::path lock = docs / (".~lock." + c.name + "#");
    const std::string text =
        ",someone," + c.host + ",08.12.2026 09:00,file://" + c.profile.string() + ";";
    tmp.write("docs/" + lock.filename().string(), c.lock == Lock::Written ? text : "");
    fs::permissions(lock, fs::perms(0666));
    if (c.lock == Lock::EmptyOurs) chownPath(lock, kUser, kUser);
    if (c.lock == Lock::WrittenLate) {
      // An office writes its lock a moment after creating it.
      writers.emplace_back([lock, text] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::ofstream(lock, std::ios::in | std::ios::out) << text;
      });
    }
  }
  const std::string report = asUser(kUser, {kUser}, [&] {
    for (const Case& c : cases) ll::removeStaleLock(docs / c.name);
    return std::string("done");
  });
  for (std::thread& writer : writers) writer.join();
  ::waitpid(ended, nullptr, 0);
  ASSERT_EQ(report, "done");
  for (const Case& c : cases) {
    EXPECT_EQ(fs::exists(docs / (".~lock." + c.name + "#")), !c.removed) << c.name;
  }
}

// What the ending removes beside a document its office held, once the office
// has been ended: the office's own lock, written or not yet, and nobody else's.
TEST_F(SafeStore, TheEndingRemovesTheLocksOfItsOwnOfficeOnly) {
  const fs::path profile = tmp.path() / "ravelsk-office-ours" / "profile";
  struct Case {
    std::string name;
    std::string lock;
    bool removed;
  };
  const std::vector<Case> cases = {
      {"ours.doc", ",me,host,08.12.2026 09:00,file://" + profile.string() + ";", true},
      {"not written.doc", "", true},
      {"half written.doc", ",me,host,08.12", true},
      {"theirs.doc", ",other,host,08.12.2026 09:00,file:///home/other/.config/libreoffice/4;",
       false},
  };
  const int folder = ::open(docs.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(folder, 0);
  for (const Case& c : cases) {
    document(c.name, "text");
    tmp.write("docs/.~lock." + c.name + "#", c.lock);
    ll::removeOwnLock(folder, c.name, profile);
    EXPECT_EQ(fs::exists(docs / (".~lock." + c.name + "#")), !c.removed) << c.name;
  }
  ::close(folder);
}

}  // namespace
