#include "replace/journal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "text/system_text.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif
#include "replace/journal_folder.h"
#include "support/fixtures.h"
#include "ui/main_window.h"

namespace {

namespace fs = std::filesystem;
using testsupport::FixedClock;
using testsupport::readFile;
using testsupport::TempFolder;

class JournalTest : public ::testing::Test {
 protected:
  TempFolder folder;
  FixedClock clock{2021, 3, 5, 8, 4, 9};
  fs::path dayFile(const std::string& day) const { return folder.path() / day / (day + ".txt"); }
};

TEST_F(JournalTest, FirstEntryOfADayCreatesItsFolderAndFileAndLaterEntriesAppend) {
  replace::Journal journal(folder.path(), clock, "UTF-8");
  journal.append("a.doc 已替换内容");
  EXPECT_TRUE(fs::is_directory(folder.path() / "2021-03-05"));
  EXPECT_EQ(readFile(dayFile("2021-03-05")), "时间：2021/3/5 8:04:09 a.doc 已替换内容\r\n");

  clock.set(2021, 3, 5, 8, 4, 10);
  journal.append("");
  EXPECT_EQ(readFile(dayFile("2021-03-05")),
            "时间：2021/3/5 8:04:09 a.doc 已替换内容\r\n时间：2021/3/5 8:04:10 \r\n");
}

TEST_F(JournalTest, TwoRunsOfTheProgramOnOneDayShareTheFile) {
  replace::Journal(folder.path(), clock, "UTF-8").append("first");
  replace::Journal(folder.path(), clock, "UTF-8").append("second");
  EXPECT_EQ(readFile(dayFile("2021-03-05")),
            "时间：2021/3/5 8:04:09 first\r\n时间：2021/3/5 8:04:09 second\r\n");
}

TEST_F(JournalTest, AnEntryAfterMidnightGoesToANewDay) {
  replace::Journal journal(folder.path(), clock, "UTF-8");
  clock.set(2021, 12, 31, 23, 59, 59);
  journal.append("old");
  clock.set(2022, 1, 1, 0, 0, 1);
  journal.append("new");
  EXPECT_EQ(readFile(dayFile("2021-12-31")), "时间：2021/12/31 23:59:59 old\r\n");
  EXPECT_EQ(readFile(dayFile("2022-01-01")), "时间：2022/1/1 0:00:01 new\r\n");
}

TEST_F(JournalTest, WritesTheCodePageOfTheSystemWithQuestionMarksForWhatItCannotHold) {
  replace::Journal journal(folder.path(), clock, "GBK");
  journal.append("表\xF0\x9F\x98\x80");  // 表 and an emoji GBK has no place for
  // "时间：" in GBK is CA B1 BC E4 A3 BA; "表" is B1 ED.
  EXPECT_EQ(readFile(dayFile("2021-03-05")),
            "\xCA\xB1\xBC\xE4\xA3\xBA"
            "2021/3/5 8:04:09 \xB1\xED?\r\n");
}

TEST(TextEncoding, TurnsEveryIllFormedSequenceIntoAQuestionMark) {
  struct Case {
    const char* what;
    std::string in;
    std::string utf8;  // written for a UTF-8 journal
    std::string gbk;   // written for a GBK journal
  };
  const std::vector<Case> cases = {
      {"well-formed", "a时间\xF0\x9F\x98\x80z", "a时间\xF0\x9F\x98\x80z", "a\xCA\xB1\xBC\xE4?z"},
      {"impossible byte",
       "a\xFF"
       "b\xFE"
       "c",
       "a?b?c", "a?b?c"},
      {"stray continuation",
       "a\x80\xBF"
       "b",
       "a??b", "a??b"},
      {"truncated at the end", "a\xE6\x97", "a??", "a??"},
      {"truncated in the middle",
       "a\xF0\x9F\x98"
       "b",
       "a???b", "a???b"},
      {"overlong two bytes",
       "a\xC0\xAF"
       "b",
       "a?b", "a?b"},
      {"overlong two bytes of NUL",
       "a\xC0\x80"
       "b",
       "a?b", "a?b"},
      {"overlong three bytes",
       "a\xE0\x80\xAF"
       "b",
       "a?b", "a?b"},
      {"overlong four bytes",
       "a\xF0\x80\x80\xAF"
       "b",
       "a?b", "a?b"},
      {"high surrogate",
       "a\xED\xA0\x80"
       "b",
       "a?b", "a?b"},
      {"low surrogate",
       "a\xED\xBF\xBF"
       "b",
       "a?b", "a?b"},
      {"escaped bytes of a file name", "\xED\xB2\xB1\xED\xB2\xA8.doc", "??.doc", "??.doc"},
      {"past U+10FFFF",
       "a\xF4\x90\x80\x80"
       "b",
       "a?b", "a?b"},
      {"lead byte past U+10FFFF",
       "a\xF7\xBF\xBF\xBF"
       "b",
       "a?b", "a?b"},
      {"five-byte form",
       "a\xF8\x88\x80\x80\x80"
       "b",
       "a?????b", "a?????b"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text::encodeText(c.in, "UTF-8"), c.utf8) << c.what;
    EXPECT_EQ(text::encodeText(c.in, "GBK"), c.gbk) << c.what;
  }
}

#ifndef _WIN32
// The C library writes %x and %X in the locale's own codeset: under zh_CN.GBK
// the journal's date and time must still be the locale's characters.
TEST(JournalUnderALocale, DateAndTimeOfAGbkLocaleAreWrittenAsGbk) {
  testsupport::TempFolder locales;
  ASSERT_TRUE(testsupport::buildLocale(locales, "zh_CN", "GBK")) << "localedef failed";
  testsupport::LocaleScope scope("zh_CN.GBK");
  ASSERT_TRUE(scope.active());
  ASSERT_EQ(text::systemCodeset(), "GBK");

  struct StoppedClock : replace::Clock {
    std::tm time{};
    std::tm now() const override { return time; }
  } clock;
  clock.time.tm_year = 2026 - 1900;
  clock.time.tm_mon = 11;
  clock.time.tm_mday = 8;
  clock.time.tm_hour = 5;
  clock.time.tm_min = 13;
  clock.time.tm_sec = 23;

  testsupport::TempFolder folder;
  replace::Journal journal(folder.path(), clock, text::systemCodeset());
  journal.append("表");
  // 时间：2026年12月08日 05时13分23秒 表, in GBK.
  EXPECT_EQ(testsupport::readFile(folder.path() / "2026-12-08" / "2026-12-08.txt"),
            "\xCA\xB1\xBC\xE4\xA3\xBA"
            "2026\xC4\xEA"
            "12\xD4\xC2"
            "08\xC8\xD5 "
            "05\xCA\xB1"
            "13\xB7\xD6"
            "23\xC3\xEB \xB1\xED\r\n");

  // The system's reason for a failure is the locale's text, as UTF-8.
  replace::Journal missing(folder.path() / "missing", clock, text::systemCodeset());
  try {
    missing.append("x");
    ADD_FAILURE() << "the folder is missing";
  } catch (const replace::JournalError& e) {
    EXPECT_NE(std::string(e.what()).find("（没有那个文件或目录）"), std::string::npos) << e.what();
  }
}
#endif

TEST_F(JournalTest, APlainFileInPlaceOfTheDayFolderFailsWithoutTouchingIt) {
  folder.write("2021-03-05", "not a folder");
  replace::Journal journal(folder.path(), clock, "UTF-8");
  try {
    journal.append("x");
    FAIL() << "the entry cannot be written";
  } catch (const replace::JournalError& e) {
    EXPECT_NE(std::string(e.what()).find("2021-03-05"), std::string::npos) << e.what();
  }
  EXPECT_EQ(readFile(folder.path() / "2021-03-05"), "not a folder");
}

TEST_F(JournalTest, AMissingJournalFolderFails) {
  replace::Journal journal(folder.path() / "missing", clock, "UTF-8");
  EXPECT_THROW(journal.append("x"), replace::JournalError);
  EXPECT_FALSE(fs::exists(folder.path() / "missing"));
}

// Two runs appending at once: each line reaches the file in one piece, also
// one longer than a buffer of the C library.
#ifndef _WIN32
TEST_F(JournalTest, LongLinesOfTwoProcessesAppendingAtOnceStayWhole) {
  constexpr int kLines = 300;
  const std::string texts[] = {std::string(5000, 'a'), std::string(5000, 'b')};
  std::vector<pid_t> children;
  for (const std::string& text : texts) {
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        replace::Journal journal(folder.path(), clock, "UTF-8");
        for (int i = 0; i < kLines; ++i) journal.append(text);
      } catch (...) {
        ::_exit(1);
      }
      ::_exit(0);
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
  std::istringstream lines(readFile(dayFile("2021-03-05")));
  int whole = 0, torn = 0;
  for (std::string line; std::getline(lines, line, '\n');) {
    const bool isWhole = line == "时间：2021/3/5 8:04:09 " + texts[0] + "\r" ||
                         line == "时间：2021/3/5 8:04:09 " + texts[1] + "\r";
    (isWhole ? whole : torn) += 1;
  }
  EXPECT_EQ(whole, 2 * kLines);
  EXPECT_EQ(torn, 0);
}

// A link planted in place of the day's file leads nowhere: the entry fails,
// and the file it points to stays as it was.
TEST_F(JournalTest, ALinkInPlaceOfTheDaysFileIsNotFollowed) {
  const fs::path victim = folder.write("victim.txt", "the victim's");
  fs::create_directories(folder.path() / "2021-03-05");
  fs::create_symlink(victim, dayFile("2021-03-05"));
  replace::Journal journal(folder.path(), clock, "UTF-8");
  EXPECT_THROW(journal.append("x"), replace::JournalError);
  EXPECT_EQ(readFile(victim), "the victim's");
}
#endif

// Two first runs of a fresh copy at once: each makes the program's Journal
// folder, or finds it made by the other, and both keep the journal there.
TEST(JournalFolder, TwoFirstRunsAtOnceBothJournalBesideTheProgram) {
#ifdef _WIN32
  constexpr int kRounds = 100;
#else
  constexpr int kRounds = 300;
#endif
  int elsewhere = 0;
  for (int round = 0; round < kRounds; ++round) {
    TempFolder program;
    TempFolder user;
    std::atomic<int> ready{0};
    fs::path found[2];
    std::thread runs[2];
    for (int r = 0; r < 2; ++r) {
      runs[r] = std::thread([&, r] {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        found[r] = replace::resolveJournalFolder(program.path(), user.path() / "Journal");
      });
    }
    for (std::thread& run : runs) run.join();
    for (const fs::path& f : found) elsewhere += f == program.path() / "Journal" ? 0 : 1;
  }
  EXPECT_EQ(elsewhere, 0);
}

#ifndef _WIN32
// The per-user folder is used only where nobody else can have made or
// change any part of it; without such a folder there is none.
TEST(JournalFolder, AUserFolderOthersCanWriteOrHaveMadeIsNeverUsed) {
  struct Case {
    const char* what;
    std::function<void(const fs::path& base)> plant;
    bool used;
  };
  const Case cases[] = {
      {"a folder of the user's own", [](const fs::path&) {}, true},
      {"a folder of the user's own, made earlier",
       [](const fs::path& base) { fs::create_directories(base / "ravelsk" / "Journal"); }, true},
      {"a base anybody may write",
       [](const fs::path& base) { fs::permissions(base, fs::perms::all); }, false},
      {"a part made by someone else that anybody may write",
       [](const fs::path& base) {
         fs::create_directories(base / "ravelsk" / "Journal");
         fs::permissions(base / "ravelsk", fs::perms::all);
       },
       false},
      {"a Journal folder anybody may write",
       [](const fs::path& base) {
         fs::create_directories(base / "ravelsk" / "Journal");
         fs::permissions(base / "ravelsk" / "Journal", fs::perms::all);
       },
       false},
      {"a part owned by another user",
       [](const fs::path& base) {
         fs::create_directories(base / "ravelsk");
         if (::getuid() == 0) {
           ASSERT_EQ(::chown((base / "ravelsk").c_str(), 65534, 65534), 0);
         }
       },
       ::getuid() != 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder program, user;
    program.write("Journal", "a file in the way");
    c.plant(user.path());
    const fs::path wanted = user.path() / "ravelsk" / "Journal";
    const fs::path found = replace::resolveJournalFolder(program.path(), wanted);
    if (c.used) {
      EXPECT_EQ(found, wanted);
      struct stat st {};
      ASSERT_EQ(::stat(wanted.c_str(), &st), 0);
      EXPECT_EQ(st.st_uid, ::geteuid());
      EXPECT_EQ(st.st_mode & 022, 0u);
    } else {
      EXPECT_EQ(found, fs::path());
    }
  }
}

// Without HOME (a service, cron, `env -i`) the user's home comes from the
// system's user database, never from a folder anybody may write.
TEST(JournalFolder, WithoutHomeTheUsersOwnHomeIsUsed) {
  struct Saved {
    std::string name;
    std::optional<std::string> value;
  };
  std::vector<Saved> saved;
  for (const char* name : {"HOME", "XDG_DATA_HOME"}) {
    const char* value = std::getenv(name);
    saved.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
    ::unsetenv(name);
  }
  const fs::path folder = replace::defaultUserJournalFolder();
  for (const Saved& s : saved) {
    if (s.value) ::setenv(s.name.c_str(), s.value->c_str(), 1);
  }
  const struct passwd* user = ::getpwuid(::geteuid());
  ASSERT_NE(user, nullptr);
  EXPECT_EQ(folder, fs::path(user->pw_dir) / ".local" / "share" / "ravelsk" / "Journal");
}

// The window says at start-up that it has no folder for its journal, and
// writes nothing into one it cannot trust.
TEST(JournalFolder, WithoutASafeFolderTheWindowSaysSoAtStartUp) {
  testsupport::WindowRig rig;
  rig.programFolder.write("Journal", "a file in the way");
  fs::permissions(rig.userData.path(), fs::perms::all);
  ui::Form1& form = rig.build();
  form.Form_Load();
  const std::string& status = testsupport::statusLines(form.Text3.text());
  EXPECT_EQ(status.rfind("日志写入失败：", 0), 0u) << status;
  EXPECT_NE(status.find("没有"), std::string::npos) << status;
  EXPECT_EQ(status.find("日志写入失败：", 1), std::string::npos) << status;
  EXPECT_FALSE(fs::exists(rig.userData.path() / "ravelsk"));
  // Nor is there a folder to open.
  form.openJournalFolder_Click();
  EXPECT_TRUE(rig.view.foldersShown.empty());
  EXPECT_EQ(rig.view.messages, std::vector<std::string>{replace::kNoJournalFolder});
}
#endif

TEST(DayName, IsZeroPadded) {
  std::tm t{};
  t.tm_year = 2021 - 1900;
  t.tm_mon = 2;
  t.tm_mday = 5;
  EXPECT_EQ(replace::dayName(t), "2021-03-05");
}

#ifdef _WIN32

TEST(TextEncoding, WindowsCodePagesByNameNeverBestFitAndFlagWhatIsLost) {
  struct Case {
    const char* text;
    const char* codeset;
    std::string bytes;
  };
  const Case cases[] = {
      {"表", "GBK", "\xB1\xED"},
      {"表", "cp936", "\xB1\xED"},
      {"\xEF\xBC\x9A", "CP1252", "?"},  // a full-width colon is no ":"
      {"\xC3\xA9\xE2\x82\xAC", "windows-1252", "\xE9\x80"},
      {"表", "CP1252", "?"},
      {"a\xE6\x97", "GBK", "a??"},
      {"表", "UTF-8", "表"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(text::encodeText(c.text, c.codeset), c.bytes) << c.text << " in " << c.codeset;
  }
}

TEST_F(JournalTest, AnUnknownCodePageNameIsAnErrorNotTheAnsiCodePage) {
  for (const char* name : {"KOI9", "CP99999", "", "CP"}) {
    EXPECT_THROW(text::encodeText("a", name), std::invalid_argument) << name;
    replace::Journal journal(folder.path(), clock, name);
    EXPECT_THROW(journal.append("x"), replace::JournalError) << name;
  }
  EXPECT_FALSE(fs::exists(dayFile("2021-03-05")) && !readFile(dayFile("2021-03-05")).empty());
}

TEST(SystemClock, WritesTheUsersShortDateAndLongTime) {
  // What Wine's Chinese and English locales give; other systems are not asked.
  struct Forms {
    UINT codePage;
    const char* date;
    const char* time;
  };
  const Forms forms[] = {{936, "2021/3/5", "08:04:09"}, {1252, "3/5/2021", "8:04:09 AM"}};
  std::tm t{};
  t.tm_year = 121;
  t.tm_mon = 2;
  t.tm_mday = 5;
  t.tm_hour = 8;
  t.tm_min = 4;
  t.tm_sec = 9;
  replace::Clock clock;
  bool checked = false;
  for (const Forms& f : forms) {
    if (GetACP() != f.codePage) continue;
    EXPECT_EQ(clock.shortDate(t), f.date);
    EXPECT_EQ(clock.longTime(t), f.time);
    checked = true;
  }
  if (!checked) GTEST_SKIP() << "no known forms for code page " << GetACP();
}

TEST(SystemText, ErrorsOfTheSystemAreUtf8WithoutTheLineBreak) {
  // The ANSI forms (system_category().message()) give code page bytes: GBK
  // under 936 for "the path cannot be found".
  const std::error_code cases[] = {
      std::error_code(ERROR_PATH_NOT_FOUND, std::system_category()),
      std::error_code(ERROR_ACCESS_DENIED, std::system_category()),
      std::error_code(ENOENT, std::generic_category()),
  };
  for (const std::error_code& ec : cases) {
    const std::string text = text::errorText(ec);
    ASSERT_FALSE(text.empty()) << ec.value();
    EXPECT_GT(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                  static_cast<int>(text.size()), nullptr, 0),
              0)
        << "not UTF-8: " << text;
    EXPECT_NE(text.back(), '\n') << text;
    EXPECT_NE(text.back(), '\r') << text;
  }
  EXPECT_EQ(text::windowsErrorText(0xDEADu), "错误 57005");
}

#endif

}  // namespace
