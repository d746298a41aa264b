#include "replace/journal.h"

#include <gtest/gtest.h>

#include <vector>

#include "text/system_text.h"
#include "text/text_encoding.h"

#ifdef _WIN32
#include <windows.h>
#endif
#include "support/fixtures.h"

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
