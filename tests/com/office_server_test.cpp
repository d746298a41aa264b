// Form1 driven headless on Windows with the real COM backend against our
// out-of-process test office (ravelsk_test_office.exe, beside this program,
// registered in the Wine prefix the tests run in): start-up, both runs, the
// journal in the ANSI code page, a server that dies in the middle, and the
// real suites' habits: a document's text kept in stories apart (headers,
// footers, notes, text boxes), Find's '^' codes and length limit, a document
// that hangs, read-only and busy files, password prompts, a busy server,
// WPS's spreadsheet servers, a program that is killed.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "com/story_file.h"
#include "com/test_office.h"
#include "office/com/com_backend.h"
#include "support/fixtures.h"
#include "text/system_text.h"
#include "text/text_encoding.h"

namespace {

namespace fs = std::filesystem;
using testsupport::joinPath;
using testsupport::readFile;
using testsupport::WindowRig;
using text::pathFromUtf8;
using text::wideFromUtf8;
using Lines = std::vector<std::string>;

using testoffice::kSettingsKey;

void setSetting(const wchar_t* name, const std::string& value) {
  const std::wstring wide = wideFromUtf8(value);
  RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_SZ, wide.c_str(),
                  static_cast<DWORD>((wide.size() + 1) * sizeof(wchar_t)));
}

void setNumber(const wchar_t* name, DWORD value) {
  RegSetKeyValueW(HKEY_CURRENT_USER, kSettingsKey, name, REG_DWORD, &value, sizeof value);
}

Lines linesOf(const std::string& text) {
  Lines lines;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(text.substr(start, end - start));
  }
  return lines;
}

// Short enough for a test, long enough for every document that does not hang.
constexpr std::chrono::milliseconds kTestLimit{4000};

bool processEnded(DWORD pid, DWORD waitMilliseconds) {
  HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (process == nullptr) return true;
  const bool ended = WaitForSingleObject(process, waitMilliseconds) == WAIT_OBJECT_0;
  CloseHandle(process);
  return ended;
}

class OfficeServer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(testoffice::registerServer(), 0u); }

  office::com::Apartment apartment;
  WindowRig rig;
  testsupport::TempFolder logs;
  std::string folder;

  OfficeServer() {
    office::com::createThroughCom(rig.servers, {kTestLimit});
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    setSetting(L"Log", logs.sub("calls.txt"));
    setSetting(L"Pids", logs.sub("pids.txt"));
  }
  ~OfficeServer() override {
    rig.form.reset();
    RegDeleteTreeW(HKEY_CURRENT_USER, kSettingsKey);
    // Whatever a failed test left of the offices it saw.
    for (DWORD pid : pids()) {
      if (processEnded(pid, 10000)) continue;
      ADD_FAILURE() << "test office " << pid << " left running";
      if (HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, pid)) {
        TerminateProcess(process, 1);
        CloseHandle(process);
      }
    }
  }

  // The test offices started so far, by the ids they wrote down.
  std::vector<DWORD> pids() const {
    std::vector<DWORD> ids;
    std::istringstream in(readFile(pathFromUtf8(logs.sub("pids.txt"))));
    for (unsigned long id; in >> id;) ids.push_back(static_cast<DWORD>(id));
    return ids;
  }
  // Every office started so far has ended, or ends within the wait.
  void expectEveryOfficeEnded() const {
    for (DWORD pid : pids()) EXPECT_TRUE(processEnded(pid, 10000)) << pid;
  }

  Lines calls() const { return linesOf(readFile(pathFromUtf8(logs.sub("calls.txt")))); }
  // Whether a call containing part is logged within 30 s.
  bool callSeen(const std::string& part) const {
    for (int wait = 0; wait < 300; ++wait) {
      const Lines seen = calls();
      if (std::any_of(seen.begin(), seen.end(), [&part](const std::string& call) {
            return call.find(part) != std::string::npos;
          })) {
        return true;
      }
      Sleep(100);
    }
    return false;
  }
  void clearCalls() const { fs::remove(pathFromUtf8(logs.sub("calls.txt"))); }
  std::string path(const std::string& name) const { return joinPath(folder, name); }
  std::string onDisk(const std::string& name) const { return readFile(pathFromUtf8(path(name))); }

  // The program (name: ravelsk.exe or ravelsk.com) copied into the program
  // folder, where it keeps its journal; it is built one folder above the tests.
  fs::path copyProgram(const wchar_t* name) const {
    const fs::path program = pathFromUtf8(rig.programFolder.sub(text::utf8FromWide(name)));
    if (!fs::exists(program)) {
      fs::copy_file(testoffice::besideThisProgram(name).parent_path().parent_path() / name,
                    program);
    }
    return program;
  }

  // A started window on a folder of the given files, with the run's choice made.
  ui::Form1& prepare(const std::string& sub, const Lines& names, const Lines& contents,
                     int option) {
    folder = rig.work.sub(sub);
    rig.work.mkdir(sub);
    for (std::size_t i = 0; i < names.size(); ++i)
      rig.work.write(sub + "/" + names[i], contents[i]);
    rig.codeset = text::systemCodeset();
    // No start-up: it costs three server processes, and its own test has it.
    rig.programFolder.mkdir("Journal");
    ui::Form1& form = rig.build();
    form.clickOption(option);
    form.openFolder(folder);
    form.Text1.text = "旧";
    form.Text2.text = "新";
    return form;
  }
};

TEST_F(OfficeServer, StartUpFindsAllThreeServersThroughCom) {
  ui::Form1& form = rig.build();
  form.Form_Load();
  EXPECT_EQ(form.Label2.caption,
            "1、本机系统提示: 已安装offcce 2007或以上版本 版本号：16.0\r\n"
            "2、系统wps提示:已安装WPS-V8或以下版本 版本号：8.1.0\r\n"
            "3、系统wps提示:已安装WPS-V9或以上版本 版本号：9.1.0");
  for (int n = 1; n <= 4; ++n) EXPECT_TRUE(form.option(n).enabled) << n;
  EXPECT_EQ(calls(), (Lines{
                         "CreateObject(excel.Application)",
                         "Application.Visible = False",
                         "Application.<default>",
                         "Application.Version",
                         "CreateObject(ET.Application)",
                         "Application.Visible = False",
                         "Application.<default>",
                         "Application.Version",
                         "CreateObject(KET.Application)",
                         "Application.Visible = False",
                         "Application.<default>",
                         "Application.Version",
                     }));
  EXPECT_FALSE(fs::exists(rig.journalFile()));
}

TEST_F(OfficeServer, DocumentRunWritesItsLinesAndTheJournalInTheAnsiCodePage) {
  ui::Form1& form = prepare("文档", {"a.doc", "b.doc"}, {"一个旧字，又一个旧字", "没有"}, 1);
  form.Command1_Click();
  // The calls themselves are the contract's (support/contract.cpp).
  EXPECT_EQ(onDisk("a.doc"), "一个新字，又一个新字");
  EXPECT_EQ(onDisk("b.doc"), "没有");
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\n");

  // "时间：2026/12/8 9:30:05 a.doc 已替换内容" and the second line, in the ANSI
  // code page: GBK under 936, question marks for what 1252 cannot hold.
  std::string expected;
  if (GetACP() == 936) {
    expected =
        "\xCA\xB1\xBC\xE4\xA3\xBA"
        "2026/12/8 9:30:05 a.doc \xD2\xD1\xCC\xE6\xBB\xBB\xC4\xDA\xC8\xDD\r\n"
        "\xCA\xB1\xBC\xE4\xA3\xBA"
        "2026/12/8 9:30:05 b.doc \xC3\xBB\xD5\xD2\xB5\xBD\xCC\xE6\xBB\xBB\xB5\xC4\xC4\xDA\xC8\xDD"
        "\r\n";
  } else if (GetACP() == 1252) {
    expected =
        "???2026/12/8 9:30:05 a.doc ?????\r\n"
        "???2026/12/8 9:30:05 b.doc ????????\r\n";
  } else {
    GTEST_SKIP() << "no journal bytes known for code page " << GetACP();
  }
  EXPECT_EQ(rig.journal(), expected);
  EXPECT_EQ(office::com::ownObjectsAlive(), 0u) << "the server let go of everything of ours";
}

TEST_F(OfficeServer, WorkbookRunHandsTheTextBoxesToTheServerAsObjects) {
  ui::Form1& form =
      prepare("books", {"a.xls"}, {"Sheet1\tx\r\n表二\tan 旧 one\t旧\t=LEN(\"旧\")\r\n"}, 2);
  form.Command2_Click();
  Lines expected{
      "CreateObject(excel.Application)",
      "Application.AutomationSecurity = 3&",
      "Application.DisplayAlerts = False",
      "Application.Workbooks",
      testsupport::workbookOpenCall(path("a.xls")),
      "Application.Visible = False",
      "Workbook.Worksheets",
      "Worksheets.Count",
  };
  for (int j = 1; j <= 2; ++j) {
    const std::string index = "(ByRef " + std::to_string(j) + "&)";
    expected.insert(expected.end(), {"Workbook.Sheets" + index, "Worksheet.Activate()",
                                     "Workbook.Worksheets" + index, "Workbook.Worksheets" + index,
                                     "Worksheet.Name", "Worksheet.Cells", "Cells.Find(\"旧\")"});
  }
  // The text cells are walked and set by the run, the formula left to Replace.
  expected.insert(
      expected.end(),
      {"Worksheet.Cells",
       "Cells.Find(What:=\"旧\", LookIn:=-4123&, LookAt:=2%, SearchOrder:=1%, MatchCase:=False)",
       "Cell.Address",
       "Cell.HasFormula",
       "Cell.Value2",
       "Cells.FindNext(Obj(Cell $A$1))",
       "Cell.Address",
       "Cell.HasFormula",
       "Cell.Value2",
       "Cells.FindNext(Obj(Cell $A$2))",
       "Cell.Address",
       "Cell.HasFormula",
       "Cells.FindNext(Obj(Cell $A$3))",
       "Cell.Address",
       "Cell.Value = \"'an 新 one\"",
       "Cell.Value = \"'新\"",
       "Worksheet.Cells",
       "Cells.Replace(What:=Obj(\"旧\"), Replacement:=Obj(\"新\"), LookAt:=2%, "
       "SearchOrder:=1%, MatchCase:=False, SearchFormat:=False, ReplaceFormat:=False)",
       "Workbook.Close(True)",
       "Application.Quit()"});
  EXPECT_EQ(calls(), expected);
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.xls-Sheet1没找到替换的内容\r\na.xls-表二已替换内容\r\n");
  EXPECT_EQ(onDisk("a.xls"), "Sheet1\tx\r\n表二\tan 新 one\t新\t=LEN(\"新\")\r\n");
  EXPECT_EQ(office::com::ownObjectsAlive(), 0u);
}

// The test office's Replace re-reads a replaced cell as typed input, as Excel
// and WPS do; on its disk a text that would read as something else keeps its
// apostrophe.
TEST_F(OfficeServer, WorkbookRunKeepsTextCellsTextAgainstAServerThatRereadsThem) {
  ui::Form1& form =
      prepare("books", {"a.xls"},
              {"S\t110101199003071234-旧\t00123-旧\t2024-01-05旧\t1/2旧\t旧=1+1\t3.50旧\t12345\t"
               "=LEN(\"旧旧\")\r\n"},
              2);
  form.Text2.text = "";
  form.Command2_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "a.xls-S已替换内容\r\n");
  EXPECT_EQ(onDisk("a.xls"),
            "S\t'110101199003071234-\t'00123-\t'2024-01-05\t'1/2\t'=1+1\t'3.50\t12345\t"
            "=LEN(\"\")\r\n");
}

TEST_F(OfficeServer, AServerKilledAfterTheFirstDocumentIsReplacedByAFreshOne) {
  setSetting(L"KillAt", "Documents.Open");
  setNumber(L"KillNth", 2);
  ui::Form1& form = prepare("docs", {"a.doc", "b.doc", "c.doc"}, {"旧", "旧", "旧"}, 1);
  form.Command1_Click();

  const std::string& status = testsupport::statusLines(form.Text3.text());
  const Lines lines = linesOf(status);
  ASSERT_EQ(lines.size(), 3u) << status;
  EXPECT_EQ(lines[0], "a.doc 已替换内容\r");
  EXPECT_EQ(lines[1].rfind("b.doc 处理失败，错误代码：", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "c.doc 已替换内容\r");
  const std::size_t codeAt = lines[1].find("：") + std::string("：").size();
  const std::int32_t code = std::stoi(lines[1].substr(codeAt));
  EXPECT_TRUE(office::isServerGone(code)) << code;

  EXPECT_EQ(onDisk("a.doc"), "新");
  EXPECT_EQ(onDisk("b.doc"), "旧");
  EXPECT_EQ(onDisk("c.doc"), "新");
  const Lines log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "CreateObject(word.Application)"), 2);
  EXPECT_EQ(std::count(log.begin(), log.end(), "<died>"), 1);
  EXPECT_EQ(log.back(), "Application.Quit()");
}

// A window of the test's own, counting its paints, invalidated every 50 ms
// from another thread for as long as it lives.
class PaintedWindow {
 public:
  PaintedWindow() {
    WNDCLASSW c{};
    c.lpfnWndProc = &PaintedWindow::procedure;
    c.hInstance = GetModuleHandleW(nullptr);
    c.lpszClassName = L"RavelskPaintCount";
    RegisterClassW(&c);
    window_ = CreateWindowExW(0, c.lpszClassName, L"", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                              nullptr, c.hInstance, nullptr);
    ShowWindow(window_, SW_SHOWNOACTIVATE);
    UpdateWindow(window_);
    paints = 0;
    invalidator_ = std::thread([this] {
      while (!stop_) {
        InvalidateRect(window_, nullptr, FALSE);
        Sleep(50);
      }
    });
  }
  ~PaintedWindow() {
    stop_ = true;
    invalidator_.join();
    DestroyWindow(window_);
  }
  static inline std::atomic<int> paints{0};

 private:
  static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM w, LPARAM l) {
    if (message == WM_PAINT) {
      PAINTSTRUCT ps;
      BeginPaint(window, &ps);
      EndPaint(window, &ps);
      ++paints;
      return 0;
    }
    return DefWindowProcW(window, message, w, l);
  }
  HWND window_ = nullptr;
  std::atomic<bool> stop_{false};
  std::thread invalidator_;
};

std::string failed(std::int32_t code, const std::string& description) {
  return " 处理失败，错误代码：" + std::to_string(code) + "错误描述：" + description + "\r\n";
}

// A document the suite would stop on for good (a modal dialog, a password
// prompt) fails alone: a hung one when the limit is up, its server ended and
// the batch going on with a fresh one; a protected one at once, as the
// password it is given is wrong. The window repaints meanwhile.
TEST_F(OfficeServer, ADocumentTheSuiteWouldStopOnFailsAloneAndTheBatchGoesOn) {
  struct Case {
    const wchar_t* setting;
    std::string line;
    int servers;
  };
  const std::vector<Case> cases = {
      {L"HangAt", failed(office::kErrServerUnavailable, "处理超时，word.Application 已被终止"), 2},
      {L"PasswordAt", failed(5408, "密码不正确"), 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    clearCalls();
    fs::remove(pathFromUtf8(logs.sub("pids.txt")));
    ui::Form1& form = prepare("stops", {"a.doc", "b.doc", "c.doc"}, {"旧", "旧", "旧"}, 1);
    setSetting(c.setting, path("b.doc"));
    int paintsDuringRun = 0;
    const auto start = std::chrono::steady_clock::now();
    {
      PaintedWindow window;
      form.Command1_Click();
      paintsDuringRun = PaintedWindow::paints;
    }
    const auto took = std::chrono::steady_clock::now() - start;
    RegDeleteKeyValueW(HKEY_CURRENT_USER, kSettingsKey, c.setting);

    EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
              "a.doc 已替换内容\r\nb.doc" + c.line + "c.doc 已替换内容\r\n");
    EXPECT_EQ(onDisk("b.doc"), "旧");
    EXPECT_EQ(onDisk("c.doc"), "新");
    const Lines log = calls();
    EXPECT_EQ(std::count(log.begin(), log.end(), "CreateObject(word.Application)"), c.servers);
    EXPECT_EQ(log.back(), "Application.Quit()");
    EXPECT_EQ(pids().size(), static_cast<std::size_t>(c.servers));
    expectEveryOfficeEnded();
    if (c.servers == 2) {
      EXPECT_GE(took, kTestLimit);
      EXPECT_GT(paintsDuringRun, 0) << "the window repainted while the call was outstanding";
    }
  }
}

// Files the suite could open only read-only (so it fails at saving, or opens
// them silently without saving) are refused before the suite sees them.
TEST_F(OfficeServer, ReadOnlyFilesAndFilesInUseAreRefusedBeforeTheSuiteOpensThem) {
  setNumber(L"ReadOnlyFailsAtClose", 1);
  struct Case {
    int option;
    Lines names;
    Lines contents;
    std::string status;
  };
  const std::string readOnly = failed(office::kErrFailed, "文件只读，未作改动");
  const std::string inUse = failed(office::kErrFailed, "文件正被其他程序使用，未作改动");
  const std::vector<Case> cases = {
      {1,
       {"a.doc", "b.doc", "c.doc"},
       {"旧", "旧", "旧"},
       "a.doc" + readOnly + "b.doc" + inUse + "c.doc 已替换内容\r\n"},
      {2,
       {"a.xls", "b.xls", "c.xls"},
       {"S\t旧\r\n", "S\t旧\r\n", "S\t旧\r\n"},
       "a.xls" + readOnly + "b.xls" + inUse + "c.xls-S已替换内容\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.names[0]);
    clearCalls();
    ui::Form1& form = prepare("refused" + std::to_string(c.option), c.names, c.contents, c.option);
    const std::wstring first = wideFromUtf8(path(c.names[0]));
    SetFileAttributesW(first.c_str(), FILE_ATTRIBUTE_READONLY);
    // Another program writing the second file, letting others only read it.
    HANDLE held = CreateFileW(wideFromUtf8(path(c.names[1])).c_str(), GENERIC_WRITE,
                              FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    if (c.option == 1) {
      form.Command1_Click();
    } else {
      form.Command2_Click();
    }
    CloseHandle(held);
    SetFileAttributesW(first.c_str(), FILE_ATTRIBUTE_NORMAL);

    EXPECT_EQ(testsupport::statusLines(form.Text3.text()), c.status);
    for (const std::string& call : calls()) {
      EXPECT_EQ(call.find(path(c.names[0])), std::string::npos) << call;
      EXPECT_EQ(call.find(path(c.names[1])), std::string::npos) << call;
    }
    EXPECT_EQ(onDisk(c.names[0]), c.contents[0]);
    EXPECT_EQ(onDisk(c.names[1]), c.contents[1]);
  }
}

// A server that rejects calls as busy for a while (a document still
// loading) is waited for: the calls go through once it answers.
TEST_F(OfficeServer, CallsABusyServerRejectsAreTriedAgainUntilItAnswers) {
  setSetting(L"BusyAt", "Documents.Open");
  setNumber(L"BusyMs", 1500);
  ui::Form1& form = prepare("busy", {"a.doc", "b.doc"}, {"旧", "旧"}, 1);
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
            "a.doc 已替换内容\r\nb.doc 已替换内容\r\n");
  const Lines log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "CreateObject(word.Application)"), 1);
  EXPECT_EQ(onDisk("a.doc"), "新");
  EXPECT_EQ(onDisk("b.doc"), "新");
}

// WPS's ET and KET are spreadsheet servers: "wps.doc" takes WPS's text
// server when the one it got has no Documents.
TEST_F(OfficeServer, WpsDocumentsGoToTheTextServerWhenTheSpreadsheetServerHasNoDocuments) {
  setNumber(L"SpreadsheetOnly", 1);
  ui::Form1& form = prepare("wps", {"a.doc"}, {"旧"}, 3);
  form.Command1_Click();
  const Lines log = calls();
  ASSERT_GE(log.size(), 7u);
  EXPECT_EQ(Lines(log.begin(), log.begin() + 7), (Lines{
                                                     "CreateObject(ET.Application)",
                                                     "Application.Documents",
                                                     "Application.Quit()",
                                                     "CreateObject(KWPS.Application)",
                                                     "Application.Hwnd",
                                                     "Application.Documents",
                                                     testsupport::documentOpenCall(path("a.doc")),
                                                 }));
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "a.doc 已替换内容\r\n");
  EXPECT_EQ(onDisk("a.doc"), "新");
  expectEveryOfficeEnded();
}

// An office somebody else started, which serves our creation too: the run
// uses it, but neither quits it at the end nor ends it when a document hangs.
TEST_F(OfficeServer, AnOfficeTheProgramDidNotStartIsNeitherQuitNorEnded) {
  setNumber(L"MultipleUse", 1);
  ui::Form1& form = prepare("users", {"a.doc", "b.doc"}, {"旧", "旧"}, 1);
  setSetting(L"HangAt", path("b.doc"));
  const PROCESS_INFORMATION pi = testoffice::startProcess(
      L"\"" + testoffice::besideThisProgram(L"ravelsk_test_office.exe").wstring() +
      L"\" -progid word.Application");
  ASSERT_NE(pi.hProcess, nullptr);
  for (int i = 0; i < 100 && pids().empty(); ++i) Sleep(100);
  ASSERT_EQ(pids(), std::vector<DWORD>{pi.dwProcessId});

  // A run that goes well: the user's office stays open.
  form.File1.entries = {"a.doc"};
  form.Command1_Click();
  EXPECT_EQ(testsupport::statusLines(form.Text3.text()), "a.doc 已替换内容\r\n");
  Lines log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Application.Quit()"), 0);
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 1000), static_cast<DWORD>(WAIT_TIMEOUT));

  // A document that hangs in it: the program waits for the user, who closes
  // the dialog later than the limit, and then the office.
  form.File1.entries = {"b.doc"};
  const auto start = std::chrono::steady_clock::now();
  std::thread user([&] {
    Sleep(static_cast<DWORD>(kTestLimit.count()) * 2);
    HANDLE release =
        OpenEventW(EVENT_MODIFY_STATE, FALSE, testoffice::releaseEventName(pi.dwProcessId).c_str());
    if (release != nullptr) {
      SetEvent(release);
      CloseHandle(release);
    }
  });
  form.Command1_Click();
  user.join();
  EXPECT_GE(std::chrono::steady_clock::now() - start, kTestLimit * 2);
  DWORD code = 1;
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 10000), WAIT_OBJECT_0);
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(code, 0u) << "the office was ended by the program";
  log = calls();
  EXPECT_EQ(std::count(log.begin(), log.end(), "Application.Quit()"), 0);
}

// The program killed while its office hangs on a document: the office goes
// with it. The program here is this test program, started again to run the
// disabled test below, which never ends by itself.
TEST_F(OfficeServer, AKilledProgramLeavesNoOffice) {
  prepare("killed", {"a.doc"}, {"旧"}, 1);
  setSetting(L"HangAt", "Documents.Open");
  SetEnvironmentVariableW(L"RAVELSK_TEST_FOLDER", wideFromUtf8(folder).c_str());
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  const PROCESS_INFORMATION pi =
      testoffice::startProcess(L"\"" + std::wstring(self) +
                               L"\" --gtest_also_run_disabled_tests "
                               L"--gtest_filter=OfficeServerChild.DISABLED_HangsOnADocument");
  ASSERT_NE(pi.hProcess, nullptr);
  const bool hung = callSeen("<hung>");
  TerminateProcess(pi.hProcess, 9);
  WaitForSingleObject(pi.hProcess, 10000);
  CloseHandle(pi.hProcess);
  ASSERT_TRUE(hung);
  ASSERT_EQ(pids().size(), 1u);
  EXPECT_TRUE(processEnded(pids()[0], 10000)) << "the office outlived the program";
}

// Run only by the test above: a document run on an office that hangs on it,
// with the program's own limit, which the test does not wait for.
TEST(OfficeServerChild, DISABLED_HangsOnADocument) {
  office::com::Apartment apartment;
  WindowRig rig;
  office::com::createThroughCom(rig.servers);
  rig.programFolder.mkdir("Journal");
  ui::Form1& form = rig.build();
  form.clickOption(1);
  wchar_t folder[MAX_PATH];
  ASSERT_NE(GetEnvironmentVariableW(L"RAVELSK_TEST_FOLDER", folder, MAX_PATH), 0u);
  form.openFolder(text::utf8FromWide(folder));
  form.Command1_Click();
}

// ravelsk.exe started with options: the batch without a window, its lines on
// the handle it was given (here a file: UTF-8), its exit status, its report
// and its journal beside a copy of the program.
struct ProgramRun {
  DWORD status = 0;
  std::string out;
};

ProgramRun runProgram(const fs::path& program, const std::vector<std::string>& args,
                      const fs::path& outFile) {
  std::wstring command = L"\"" + program.wstring() + L"\"";
  for (const std::string& arg : args) command += L" \"" + wideFromUtf8(arg) + L"\"";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE out = CreateFileW(outFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                           0, nullptr);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out;
  startup.hStdError = out;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  PROCESS_INFORMATION process{};
  ProgramRun run;
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    CloseHandle(out);
    ADD_FAILURE() << "cannot start " << program.string();
    return run;
  }
  WaitForSingleObject(process.hProcess, 120000);
  GetExitCodeProcess(process.hProcess, &run.status);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  CloseHandle(out);
  run.out = readFile(outFile);
  return run;
}

TEST_F(OfficeServer, TheProgramWithOptionsRunsTheBatchWithoutAWindow) {
  prepare("命令行", {"a.doc", "b.doc", "c.doc"}, {"一个旧字，又一个旧字", "没有", "甲"}, 1);
  const fs::path program = copyProgram(L"ravelsk.exe");
  const fs::path outFile = pathFromUtf8(logs.sub("out.txt"));
  const std::string report = logs.sub("report.csv");
  rig.work.write("rules.txt", "旧\t新\n甲\t乙\n");
  const std::string rules = rig.work.sub("rules.txt");

  const ProgramRun dry = runProgram(
      program, {"--doc", folder, "--rules", rules, "--dry-run", "--report", report}, outFile);
  EXPECT_EQ(dry.status, 0u) << dry.out;
  EXPECT_EQ(linesOf(dry.out),
            (Lines{"a.doc 试运行：找到 2 处，未作改动", "b.doc 试运行：找到 0 处，未作改动",
                   "c.doc 试运行：找到 1 处，未作改动"}));
  EXPECT_EQ(readFile(pathFromUtf8(report)),
            "\xEF\xBB\xBFpath,sheet,result,count,error code,error description\r\n"
            "a.doc,,would replace,2,,\r\nb.doc,,not found,0,,\r\nc.doc,,would replace,1,,\r\n");
  EXPECT_EQ(onDisk("a.doc"), "一个旧字，又一个旧字");
  EXPECT_FALSE(fs::exists(pathFromUtf8(rig.programFolder.sub("Journal"))) &&
               !fs::is_empty(pathFromUtf8(rig.programFolder.sub("Journal"))));

  const ProgramRun real =
      runProgram(program, {"--doc", folder, "--rules", rules, "--jobs", "2"}, outFile);
  EXPECT_EQ(real.status, 0u) << real.out;
  EXPECT_EQ(linesOf(real.out),
            (Lines{"a.doc 已替换内容", "b.doc 没找到替换的内容", "c.doc 已替换内容"}));
  EXPECT_EQ(onDisk("a.doc"), "一个新字，又一个新字");
  EXPECT_EQ(onDisk("c.doc"), "乙");

  // A rules workbook, columns A and B of its first sheet, read by the
  // spreadsheet server and never saved (the test office's file: a
  // workbook's signature, then a sheet's line and its column B's).
  rig.work.write("命令行/a.doc", "旧旧");
  rig.work.write("命令行/c.doc", "甲");
  const std::string book = "\xD0\xCF\x11\xE0\r\n规则\t旧\t甲\r\n\t新\t乙\r\n其他\t乙\r\n\t丙\r\n";
  rig.work.write("rules.xls", book);
  const ProgramRun fromBook = runProgram(
      program, {"--doc", folder, "--rules", rig.work.sub("rules.xls"), "--jobs", "2"}, outFile);
  EXPECT_EQ(fromBook.status, 0u) << fromBook.out;
  EXPECT_EQ(onDisk("a.doc"), "新新");
  EXPECT_EQ(onDisk("c.doc"), "乙");
  EXPECT_EQ(readFile(pathFromUtf8(rig.work.sub("rules.xls"))), book);
  EXPECT_TRUE(callSeen("ReadOnly:=True"));

  const ProgramRun usage = runProgram(program, {"--doc", folder, "--find", ""}, outFile);
  EXPECT_EQ(usage.status, 2u);
  EXPECT_EQ(usage.out.rfind("ravelsk: ", 0), 0u) << usage.out;

  // --match-case: Word's MatchCase, so only the text's own letter case is
  // counted and replaced; without it letter case is ignored.
  rig.work.write("命令行/b.doc", "abc ABC Abc");
  const std::vector<std::string> caseArgs = {"--doc", folder, "--find", "abc", "--replace", "Q"};
  std::vector<std::string> matching = caseArgs;
  matching.push_back("--match-case");
  std::vector<std::string> matchingDry = matching;
  matchingDry.push_back("--dry-run");
  std::vector<std::string> ignoringDry = caseArgs;
  ignoringDry.push_back("--dry-run");
  EXPECT_EQ(linesOf(runProgram(program, ignoringDry, outFile).out).at(1),
            "b.doc 试运行：找到 3 处，未作改动");
  EXPECT_EQ(linesOf(runProgram(program, matchingDry, outFile).out).at(1),
            "b.doc 试运行：找到 1 处，未作改动");
  const ProgramRun matched = runProgram(program, matching, outFile);
  EXPECT_EQ(matched.status, 0u) << matched.out;
  EXPECT_EQ(onDisk("b.doc"), "Q ABC Abc");

  // /? is the help, as -h and --help; a bare folder is a usage error, never a window.
  for (const char* help : {"/?", "-h"}) {
    const ProgramRun shown = runProgram(program, {help}, outFile);
    EXPECT_EQ(shown.status, 0u) << help;
    EXPECT_NE(shown.out.find("--match-case"), std::string::npos) << help << shown.out;
  }
  const ProgramRun bare = runProgram(program, {folder}, outFile);
  EXPECT_EQ(bare.status, 2u);
  EXPECT_NE(bare.out.find("请用 --doc 或 --xls 指定文件夹"), std::string::npos) << bare.out;
}

// Every place Word keeps text in, as the test office keeps a document's
// stories apart: the window's run finds and replaces the text in each, once
// (ACME becomes ACME Ltd, never ACME Ltd Ltd), its command line's dry run
// counts it there, a '^' is only ever the user's own character, a long
// replacement goes occurrence by occurrence, and a find text Word cannot
// take is refused before any office is asked.
TEST_F(OfficeServer, EveryPlaceADocumentHoldsTextIsReplacedOnceAndCounted) {
  using Records = std::vector<testoffice::StoryRecord>;
  using testoffice::linkedBoxes;
  const auto repeated = [](const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece;
    return text;
  };
  // 300 characters each: over the 255 Word takes.
  const std::string longText = repeated("长", 300);
  const std::string longReplacement = "ACME " + repeated("长", 295);
  const std::string caretFind = "甲^p乙^&丙^c";
  const std::string caretReplacement = "^c丁^&^p";
  struct Case {
    std::string name;
    std::string find;
    std::string replacement;
    Records before;
    Records after;
    int count;  // what the dry run counts; -1: refused, nothing opened
  };
  const std::vector<Case> cases = {
      {"a.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "合同 ACME，ACME 盖章"}, {"header primary 1", "页眉"}, {"footnotes", "脚注"}},
       {{"main", "合同 ACME Ltd，ACME Ltd 盖章"},
        {"header primary 1", "页眉"},
        {"footnotes", "脚注"}},
       2},
      {"b.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "合同"}, {"header primary 1", "ACME 抬头"}, {"footer primary 1", "页脚"}},
       {{"main", "合同"}, {"header primary 1", "ACME Ltd 抬头"}, {"footer primary 1", "页脚"}},
       1},
      {"c.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "合同"},
        {"header primary 1", "页眉"},
        {"header primary 2", "页眉二"},
        {"footer first 1", ""},
        {"footer first 2", "第二节 ACME"}},
       {{"main", "合同"},
        {"header primary 1", "页眉"},
        {"header primary 2", "页眉二"},
        {"footer first 1", ""},
        {"footer first 2", "第二节 ACME Ltd"}},
       1},
      {"d.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "合同"}, {"footnotes", "注一 ACME"}, {"endnotes", "尾注"}},
       {{"main", "合同"}, {"footnotes", "注一 ACME Ltd"}, {"endnotes", "尾注"}},
       1},
      {"e.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "合同"}, {"footnotes", "脚注"}, {"endnotes", "尾注 ACME"}},
       {{"main", "合同"}, {"footnotes", "脚注"}, {"endnotes", "尾注 ACME Ltd"}},
       1},
      {"f.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "合同"}, {"textbox", "独立的框"}, {"textbox", linkedBoxes({"框一", "框二 ACME"})}},
       {{"main", "合同"},
        {"textbox", "独立的框"},
        {"textbox", linkedBoxes({"框一", "框二 ACME Ltd"})}},
       1},
      {"g.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "合同"}, {"header primary 1", "页眉"}, {"picture", ""}, {"shape", "徽标 ACME"}},
       {{"main", "合同"},
        {"header primary 1", "页眉"},
        {"picture", ""},
        {"shape", "徽标 ACME Ltd"}},
       1},
      {"h.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "合同"},
        {"header primary 1", "页眉"},
        {"shape", "徽标"},
        {"footnotes", "脚注"},
        {"textbox", "框"}},
       {{"main", "合同"},
        {"header primary 1", "页眉"},
        {"shape", "徽标"},
        {"footnotes", "脚注"},
        {"textbox", "框"}},
       0},
      {"i.doc",
       "ACME",
       "ACME Ltd",
       {{"main", "ACME 合同 ACME"}, {"header primary 1", "ACME 抬头"}},
       {{"main", "ACME Ltd 合同 ACME Ltd"}, {"header primary 1", "ACME Ltd 抬头"}},
       3},
      {"j.doc",
       caretFind,
       caretReplacement,
       {{"main", "前 甲^p乙^&丙^c 后"},
        {"header primary 1", "甲^p乙^&丙^c"},
        {"footnotes", "注 甲^p乙^&丙^c"}},
       {{"main", "前 ^c丁^&^p 后"}, {"header primary 1", "^c丁^&^p"}, {"footnotes", "注 ^c丁^&^p"}},
       3},
      {"k.doc",
       "ACME",
       longReplacement,
       {{"main", "ACME 与 ACME"},
        {"header primary 1", "页眉"},
        {"shape", "ACME"},
        {"footnotes", "注 ACME"}},
       {{"main", longReplacement + " 与 " + longReplacement},
        {"header primary 1", "页眉"},
        {"shape", longReplacement},
        {"footnotes", "注 " + longReplacement}},
       4},
      {"l.doc",
       longText,
       "短",
       {{"main", "前" + longText + "后"}, {"header primary 1", longText}},
       {{"main", "前" + longText + "后"}, {"header primary 1", longText}},
       -1},
  };
  const fs::path program = copyProgram(L"ravelsk.exe");
  const fs::path outFile = pathFromUtf8(logs.sub("out.txt"));
  // The documents of one pair share a folder and a run.
  for (std::size_t first = 0; first < cases.size();) {
    std::size_t end = first;
    Lines names;
    Lines files;
    Lines countLines;
    std::string status;
    while (end < cases.size() && cases[end].find == cases[first].find &&
           cases[end].replacement == cases[first].replacement) {
      const Case& c = cases[end++];
      names.push_back(c.name);
      files.push_back(testoffice::storyFile(c.before));
      countLines.push_back(c.name + " 试运行：找到 " + std::to_string(c.count) + " 处，未作改动");
      status += c.name + (c.count > 0 ? " 已替换内容\r\n" : " 没找到替换的内容\r\n");
    }
    const Case& pair = cases[first];
    const bool refused = pair.count < 0;
    SCOPED_TRACE(names.front());
    clearCalls();
    ui::Form1& form = prepare("stories" + std::to_string(first), names, files, 1);
    form.Text1.text = pair.find;
    form.Text2.text = pair.replacement;

    const ProgramRun dry = runProgram(
        program, {"--doc", folder, "--find", pair.find, "--replace", pair.replacement, "--dry-run"},
        outFile);
    if (refused) {
      EXPECT_EQ(dry.status, 2u) << dry.out;
      EXPECT_NE(dry.out.find("255"), std::string::npos) << dry.out;
    } else {
      EXPECT_EQ(dry.status, 0u) << dry.out;
      EXPECT_EQ(linesOf(dry.out), countLines);
    }
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(onDisk(names[i]), files[i]);

    form.Command1_Click();
    if (refused) {
      EXPECT_EQ(testsupport::statusLines(form.Text3.text()),
                "查找内容超过 255 个字符，Word 无法查找，未处理任何文件\r\n");
      for (const std::string& call : calls()) {
        EXPECT_EQ(call.find("Documents.Open"), std::string::npos) << call;
      }
    } else {
      EXPECT_EQ(testsupport::statusLines(form.Text3.text()), status);
    }
    for (std::size_t c = first; c < end; ++c) {
      EXPECT_EQ(onDisk(cases[c].name), testoffice::storyFile(cases[c].after)) << cases[c].name;
    }
    first = end;
  }
  expectEveryOfficeEnded();
}

// What the console shows, a line per row, without the padding.
Lines consoleRows(HANDLE console) {
  CONSOLE_SCREEN_BUFFER_INFO info{};
  Lines rows;
  if (!GetConsoleScreenBufferInfo(console, &info)) return rows;
  for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
    std::wstring row(static_cast<std::size_t>(info.dwSize.X), L' ');
    DWORD read = 0;
    ReadConsoleOutputCharacterW(console, row.data(), static_cast<DWORD>(row.size()), COORD{0, y},
                                &read);
    row.resize(read);
    while (!row.empty() && row.back() == L' ') row.pop_back();
    if (!row.empty()) rows.push_back(text::utf8FromWide(row));
  }
  return rows;
}

BOOL WINAPI goOnAfterCtrlC(DWORD) {
  return TRUE;
}

// Started from a console as from cmd.exe in code page 936, the program shows
// its lines there; Ctrl+C lets the file being worked on finish and the office
// go, and no other file is begun. ravelsk.com is the same command line as a
// console program, which cmd.exe waits for.
TEST_F(OfficeServer, TheProgramInAConsoleShowsItsLinesAndStopsCleanlyOnCtrlC) {
  for (const wchar_t* name : {L"ravelsk.exe", L"ravelsk.com"}) {
    SCOPED_TRACE(text::utf8FromWide(name));
    prepare(text::utf8FromWide(name), {"a.doc", "b.doc", "c.doc"}, {"旧", "旧", "旧"}, 1);
    clearCalls();
    const fs::path program = copyProgram(name);
    // b.doc takes the office a while to open.
    setSetting(L"SlowAt", "b.doc\"");
    setNumber(L"SlowMs", 3000);

    const HANDLE saved[] = {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE),
                            GetStdHandle(STD_ERROR_HANDLE)};
    FreeConsole();
    ASSERT_TRUE(AllocConsole());
    SetConsoleOutputCP(936);
    SetConsoleCtrlHandler(goOnAfterCtrlC, TRUE);
    const PROCESS_INFORMATION process =
        testoffice::startProcess(L"\"" + program.wstring() + L"\" --doc \"" + wideFromUtf8(folder) +
                                 L"\" --find 旧 --replace 新");
    const bool started = process.hProcess != nullptr;
    DWORD status = 0;
    if (started) {
      EXPECT_TRUE(callSeen("b.doc\""));
      // Ctrl+C at the console: every program attached to it gets it.
      EXPECT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
      WaitForSingleObject(process.hProcess, 60000);
      GetExitCodeProcess(process.hProcess, &status);
      CloseHandle(process.hProcess);
    }
    const HANDLE screen =
        CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    const Lines rows = consoleRows(screen);
    CloseHandle(screen);
    SetConsoleCtrlHandler(goOnAfterCtrlC, FALSE);
    FreeConsole();
    SetStdHandle(STD_INPUT_HANDLE, saved[0]);
    SetStdHandle(STD_OUTPUT_HANDLE, saved[1]);
    SetStdHandle(STD_ERROR_HANDLE, saved[2]);
    ASSERT_TRUE(started);

    EXPECT_EQ(status, 130u);
    EXPECT_EQ(rows,
              (Lines{"a.doc 已替换内容", "b.doc 已替换内容", "ravelsk: 已停止，1 个文件未处理"}));
    EXPECT_EQ(onDisk("b.doc"), "新");
    EXPECT_EQ(onDisk("c.doc"), "旧");
    const Lines seen = calls();
    EXPECT_EQ(std::count(seen.begin(), seen.end(), "Application.Quit()"), 1);
    EXPECT_TRUE(std::none_of(seen.begin(), seen.end(), [](const std::string& call) {
      return call.find("c.doc") != std::string::npos;
    }));
    expectEveryOfficeEnded();
  }
}

// The suite writes each file itself: the program copies the original aside
// while the suite holds it open, just before it is saved.
TEST_F(OfficeServer, TheProgramKeepsTheOriginalOfEachFileItChangesAndOnlyThose) {
  prepare("备份", {"a.doc", "b.doc", "c.doc"}, {"旧一", "没有", "旧三"}, 1);
  rig.work.mkdir("备份/子 文件夹");
  rig.work.write("备份/子 文件夹/d.doc", "旧四");
  const fs::path program = copyProgram(L"ravelsk.exe");
  const fs::path original = pathFromUtf8(path("a.doc"));
  const auto lastYear = fs::last_write_time(original) - std::chrono::hours(24 * 365);
  fs::last_write_time(original, lastYear);
  // A backup already there stays, and its file is not changed.
  const fs::path backup = pathFromUtf8(rig.work.sub("原件"));
  fs::create_directories(backup);
  std::ofstream(backup / L"c.doc", std::ios::binary) << "in the way";

  const ProgramRun run = runProgram(program,
                                    {"--doc", folder, "--find", "旧", "--replace", "新",
                                     "--recursive", "--backup", text::utf8FromPath(backup)},
                                    pathFromUtf8(logs.sub("out.txt")));
  EXPECT_EQ(run.status, 1u) << run.out;
  const Lines lines = linesOf(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_EQ(lines[0], "a.doc 已替换内容");
  EXPECT_EQ(lines[1], "b.doc 没找到替换的内容");
  EXPECT_EQ(
      lines[2].rfind("c.doc 处理失败，错误代码：-2147467259错误描述：无法保存文档：写入备份：", 0),
      0u)
      << lines[2];
  EXPECT_EQ(lines[3], "子 文件夹\\d.doc 已替换内容");
  EXPECT_EQ(onDisk("a.doc"), "新一");
  EXPECT_EQ(onDisk("c.doc"), "旧三");
  EXPECT_EQ(readFile(backup / L"a.doc"), "旧一");
  EXPECT_EQ(fs::last_write_time(backup / L"a.doc"), lastYear);
  EXPECT_EQ(readFile(backup / L"子 文件夹" / L"d.doc"), "旧四");
  EXPECT_FALSE(fs::exists(backup / L"b.doc"));
  EXPECT_EQ(readFile(backup / L"c.doc"), "in the way");
  expectEveryOfficeEnded();

  // Put back by --undo.
  const ProgramRun undo = runProgram(program, {"--undo", text::utf8FromPath(backup)},
                                     pathFromUtf8(logs.sub("undo.txt")));
  EXPECT_EQ(undo.status, 0u) << undo.out;
  EXPECT_EQ(linesOf(undo.out),
            (Lines{"a.doc 已恢复为替换前的内容", "子 文件夹\\d.doc 已恢复为替换前的内容"}))
      << undo.out;
  EXPECT_EQ(onDisk("a.doc"), "旧一");
  EXPECT_EQ(onDisk("子 文件夹/d.doc"), "旧四");

  // An office that dies as it is told to save: the file is as it was, and
  // its backup goes again.
  setSetting(L"KillAt", "Documents.Close(True)");
  setNumber(L"KillNth", 1);
  fs::remove_all(backup);
  const ProgramRun killed = runProgram(
      program,
      {"--doc", folder, "--find", "一", "--replace", "二", "--backup", text::utf8FromPath(backup)},
      pathFromUtf8(logs.sub("out.txt")));
  EXPECT_EQ(killed.status, 1u) << killed.out;
  EXPECT_EQ(linesOf(killed.out).at(0).rfind("a.doc 处理失败", 0), 0u) << killed.out;
  EXPECT_EQ(onDisk("a.doc"), "旧一");
  EXPECT_FALSE(fs::exists(backup / L"a.doc"));
  EXPECT_TRUE(fs::is_empty(backup));
  expectEveryOfficeEnded();
}

}  // namespace
