// The Win32 window driven through its own controls, by the messages a user's
// clicks and keys become, against our out-of-process test office: start-up,
// browsing, both runs, the menus and their modal windows, the tab order, the
// geometry at two DPIs, and a close request during a run. Screenshots of the
// window are written beside this program (screenshots/*.bmp).
#include <windows.h>

#include <dlgs.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "com/test_office.h"
#include "office/com/com_backend.h"
#include "support/fixtures.h"
#include "text/system_text.h"
#include "text/text_encoding.h"
#include "ui/layout.h"
#include "ui/win32/main_window_view.h"

namespace {

namespace fs = std::filesystem;
using testsupport::readFile;
using testsupport::WindowRig;
using text::pathFromUtf8;
using text::utf8FromWide;
using ui::win32::kMenuClearRulesList;
using ui::win32::kMenuPreview;
using ui::win32::kMenuRulesList;
using ui::win32::kMenuSubfolders;
using ui::win32::MainWindowView;

std::string textOf(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return utf8FromWide(text);
}

std::vector<std::string> rowsOf(HWND list, bool combo = false) {
  const UINT count = combo ? CB_GETCOUNT : LB_GETCOUNT, get = combo ? CB_GETLBTEXT : LB_GETTEXT;
  std::vector<std::string> rows;
  const UINT length = combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN;
  for (LRESULT i = 0, n = SendMessageW(list, count, 0, 0); i < n; ++i) {
    const auto size = SendMessageW(list, length, static_cast<WPARAM>(i), 0);
    std::wstring row(static_cast<std::size_t>(std::max<LRESULT>(size, 0)) + 1, L'\0');
    row.resize(static_cast<std::size_t>(std::max<LRESULT>(
        SendMessageW(list, get, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(row.data())), 0)));
    rows.push_back(utf8FromWide(row));
  }
  return rows;
}

// Twips to pixels, rounded to nearest.
LONG px(int twips, UINT dpi) {
  return static_cast<LONG>(twips * static_cast<double>(dpi) / 1440.0 + 0.5);
}

// The position of a control in its container, in pixels.
RECT placeIn(HWND control, HWND container, HWND window) {
  RECT own, outer{};
  GetWindowRect(control, &own);
  MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&own), 2);
  if (container != nullptr) {
    GetWindowRect(container, &outer);
    MapWindowPoints(HWND_DESKTOP, window, reinterpret_cast<POINT*>(&outer), 2);
  }
  return {own.left - outer.left, own.top - outer.top, own.right - own.left, own.bottom - own.top};
}

// What a timer saw of a modal window before it closed it.
struct ModalSeen {
  HWND window = nullptr;
  bool ownerEnabled = true;
  std::string caption, text;
  RECT client{}, image{};
  bool hasPicture = false;
};
ModalSeen seen;
HWND mainWindow = nullptr;

BOOL CALLBACK collectText(HWND child, LPARAM) {
  wchar_t cls[32];
  GetClassNameW(child, cls, 32);
  if (_wcsicmp(cls, L"Static") != 0) return TRUE;
  if (GetWindowLongPtrW(child, GWL_STYLE) & SS_BITMAP) {
    seen.image = placeIn(child, nullptr, GetParent(child));
    seen.hasPicture = SendMessageW(child, STM_GETIMAGE, IMAGE_BITMAP, 0) != 0;
  } else {
    seen.text += textOf(child);
  }
  return TRUE;
}

void closeWhenShown(HWND window, UINT_PTR timer) {
  if (window == nullptr || !IsWindowVisible(window)) return;
  KillTimer(nullptr, timer);
  seen.window = window;
  seen.ownerEnabled = IsWindowEnabled(mainWindow) != FALSE;
  seen.caption = textOf(window);
  GetClientRect(window, &seen.client);
  EnumChildWindows(window, collectText, 0);
  PostMessageW(window, WM_CLOSE, 0, 0);
}

void CALLBACK closeAboutBox(HWND, UINT, UINT_PTR timer, DWORD) {
  closeWhenShown(FindWindowW(L"#32770", L"Ravelsk"), timer);
}

// Answers the question box (IDYES or IDNO), after noting its texts and the
// button Enter would press.
int questionDefault = 0;
template <int kAnswer>
void CALLBACK answer(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = FindWindowW(L"#32770", L"Ravelsk");
  if (box == nullptr || !IsWindowVisible(box)) return;
  KillTimer(nullptr, timer);
  seen.caption = textOf(box);
  EnumChildWindows(box, collectText, 0);
  // The button Enter presses: the one that has the focus as the box opens.
  questionDefault = GetDlgCtrlID(GetFocus());
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(kAnswer, BN_CLICKED), 0);
}
constexpr TIMERPROC answerNo = answer<IDNO>;
constexpr TIMERPROC answerYes = answer<IDYES>;

// Chooses chosenRules in the file dialog of 规则列表….
std::wstring chosenRules;
void CALLBACK chooseRules(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND dialog = FindWindowW(L"#32770", L"规则列表");
  if (dialog == nullptr || !IsWindowVisible(dialog)) return;
  KillTimer(nullptr, timer);
  if (!SetDlgItemTextW(dialog, cmb13, chosenRules.c_str())) {
    SetDlgItemTextW(dialog, edt1, chosenRules.c_str());
  }
  PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
}

// Once the status box shows the first document's line: the title then, and
// Esc, as the user presses it.
HWND statusBox = nullptr;
std::string titleDuringRun;
void CALLBACK pressEscAfterTheFirstLine(HWND, UINT, UINT_PTR timer, DWORD) {
  if (textOf(statusBox).find("1.doc ") == std::string::npos) return;
  KillTimer(nullptr, timer);
  titleDuringRun = textOf(mainWindow);
  // As the keyboard gives it: into the input queue, not posted.
  INPUT keys[2] = {};
  keys[0].type = keys[1].type = INPUT_KEYBOARD;
  keys[0].ki.wVk = keys[1].ki.wVk = VK_ESCAPE;
  keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, keys, sizeof(INPUT));
}

void CALLBACK closeForm3(HWND, UINT, UINT_PTR timer, DWORD) {
  closeWhenShown(FindWindowW(ui::win32::kForm3Class, nullptr), timer);
}

// The window's whole area as the screen shows it, saved as a 24-bit BMP;
// returns the pixels, bottom row first.
// The pixels of source's rectangle at x, y, saved as name's BMP beside the
// test program; returns them, bottom row first.
std::vector<BYTE> savePicture(HDC source, int x, int y, int width, int height,
                              const std::string& name) {
  BITMAPINFOHEADER header{sizeof header, width, height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  const auto stride = static_cast<std::size_t>((width * 3 + 3) & ~3);
  std::vector<BYTE> pixels(stride * static_cast<std::size_t>(height));
  HDC memory = CreateCompatibleDC(source);
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(source, reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS,
                                    &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, source, x, y, SRCCOPY);
  GdiFlush();
  std::memcpy(pixels.data(), bits, pixels.size());
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);

  const fs::path folder = testoffice::besideThisProgram(L"screenshots");
  fs::create_directories(folder);
  std::ofstream out(folder / pathFromUtf8(name + "-" + std::to_string(GetACP()) + ".bmp"),
                    std::ios::binary);
  BITMAPFILEHEADER file{
      0x4D42, static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof header + pixels.size()), 0, 0,
      static_cast<DWORD>(sizeof(BITMAPFILEHEADER) + sizeof header)};
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&header), sizeof header);
  out.write(reinterpret_cast<const char*>(pixels.data()),
            static_cast<std::streamsize>(pixels.size()));
  return pixels;
}

// The window's whole area as the screen shows it, saved as a 24-bit BMP;
// returns the pixels, bottom row first.
std::vector<BYTE> screenshot(HWND window, const std::string& name, int& width, int& height) {
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW);
  RECT rect;
  GetWindowRect(window, &rect);
  width = rect.right - rect.left;
  height = rect.bottom - rect.top;
  HDC screen = GetWindowDC(window);
  std::vector<BYTE> pixels = savePicture(screen, 0, 0, width, height, name);
  ReleaseDC(window, screen);
  return pixels;
}

// The window with one of its menu bar's menus open, as the screen shows
// them, saved as name's BMP; false when the menu was not seen open. A
// second thread takes the picture and closes the menu, whose loop holds
// this one.
bool menuScreenshot(HWND window, int position, const std::string& name) {
  HMENU bar = GetMenu(window);
  RECT item;
  GetMenuItemRect(window, bar, static_cast<UINT>(position), &item);
  bool taken = false;
  std::thread photographer([&] {
    for (int tries = 0; tries < 100 && !taken; ++tries) {
      Sleep(50);
      HWND popup = FindWindowW(L"#32768", nullptr);
      if (popup == nullptr || !IsWindowVisible(popup)) continue;
      Sleep(200);  // drawn
      RECT whole, shown;
      GetWindowRect(window, &whole);
      GetWindowRect(popup, &shown);
      UnionRect(&whole, &whole, &shown);
      HDC screen = GetDC(nullptr);
      savePicture(screen, whole.left, whole.top, whole.right - whole.left, whole.bottom - whole.top,
                  name);
      ReleaseDC(nullptr, screen);
      taken = true;
    }
    PostMessageW(window, WM_CANCELMODE, 0, 0);
    PostMessageW(window, WM_KEYDOWN, VK_ESCAPE, 1);
  });
  TrackPopupMenu(GetSubMenu(bar, position), TPM_LEFTALIGN | TPM_TOPALIGN, item.left, item.bottom, 0,
                 window, nullptr);
  photographer.join();
  return taken;
}

// Windows' own radio buttons tell their parent they were clicked when they
// get the focus unchecked; Wine's do not. The option buttons are made to.
WNDPROC buttonProc = nullptr;
LRESULT CALLBACK clickedOnFocus(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  const LRESULT result = CallWindowProcW(buttonProc, hwnd, message, wParam, lParam);
  if (message == WM_SETFOCUS && SendMessageW(hwnd, BM_GETCHECK, 0, 0) == BST_UNCHECKED) {
    SendMessageW(GetParent(hwnd), WM_COMMAND,
                 MAKEWPARAM(static_cast<WORD>(GetDlgCtrlID(hwnd)), BN_CLICKED),
                 reinterpret_cast<LPARAM>(hwnd));
  }
  return result;
}

class Win32Window : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(testoffice::registerServer(), 0u); }

  office::com::Apartment apartment;
  WindowRig rig;
  std::unique_ptr<MainWindowView> view;

  Win32Window() {
    office::com::createThroughCom(rig.servers);
    RegDeleteTreeW(HKEY_CURRENT_USER, testoffice::kSettingsKey);
    rig.codeset = text::systemCodeset();
  }
  ~Win32Window() override {
    view.reset();
    pump();
    rig.form.reset();
  }

  ui::Form1& form() { return *rig.form; }
  MainWindowView& open(const std::string& startFolder = "") {
    rig.build(startFolder);
    view = std::make_unique<MainWindowView>(form());
    mainWindow = view->window();
    return *view;
  }
  HWND control(std::string_view name) const { return view->control(name); }
  std::string text(std::string_view name) const { return textOf(control(name)); }

  // Runs the messages waiting, as the program's loop does; the loop's end
  // (the window closed) is not the test's.
  void pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == WM_QUIT) continue;
      if (view != nullptr && view->preTranslate(msg)) continue;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  void notify(std::string_view name, WORD code) {
    const auto id = static_cast<WORD>(GetDlgCtrlID(control(name)));
    SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(id, code),
                 reinterpret_cast<LPARAM>(control(name)));
  }
  void click(std::string_view name) { SendMessageW(control(name), BM_CLICK, 0, 0); }
  void key(WORD vk) {
    PostMessageW(GetFocus(), WM_KEYDOWN, vk, 1);
    pump();
  }
  // Replaces the text of a box by typing, or by pasting, as a user does.
  void type(std::string_view name, const std::wstring& text) {
    SetFocus(control(name));
    SendMessageW(control(name), EM_SETSEL, 0, -1);
    for (wchar_t c : text) PostMessageW(control(name), WM_CHAR, c, 1);
    pump();
  }
  void paste(std::string_view name, const std::wstring& text) {
    SendMessageW(control(name), EM_SETSEL, 0, -1);
    SendMessageW(control(name), EM_REPLACESEL, TRUE, reinterpret_cast<LPARAM>(text.c_str()));
  }
  // Double-clicks the row of the folder list that shows name.
  void openFolderRow(const std::string& name) {
    const std::vector<std::string> rows = rowsOf(control("Dir1"));
    auto at = std::find_if(rows.begin(), rows.end(), [&](const std::string& row) {
      return row.substr(row.find_first_not_of(' ')) == name;
    });
    ASSERT_NE(at, rows.end()) << name;
    // Selected (which scrolls it into view), then double-clicked where it shows:
    // the list itself tells the window.
    const auto row = static_cast<WPARAM>(at - rows.begin());
    SendMessageW(control("Dir1"), LB_SETCURSEL, row, 0);
    RECT rect{};
    SendMessageW(control("Dir1"), LB_GETITEMRECT, row, reinterpret_cast<LPARAM>(&rect));
    const LPARAM point = MAKELPARAM(rect.left + 4, (rect.top + rect.bottom) / 2);
    SendMessageW(control("Dir1"), WM_LBUTTONDBLCLK, MK_LBUTTON, point);
    SendMessageW(control("Dir1"), WM_LBUTTONUP, 0, point);
  }
  void expectCommandButtons(bool enabled) {
    EXPECT_EQ(IsWindowEnabled(control("Command1")) != FALSE, enabled);
    EXPECT_EQ(IsWindowEnabled(control("Command2")) != FALSE, enabled);
    EXPECT_EQ(form().Command1.enabled, enabled);
  }
  void expectChecked(int selected) {
    for (int n = 1; n <= 4; ++n) {
      const auto state = SendMessageW(control("Option" + std::to_string(n)), BM_GETCHECK, 0, 0);
      EXPECT_EQ(state == BST_CHECKED, n == selected) << "Option" << n;
      EXPECT_EQ(form().option(n).value, n == selected) << "Option" << n;
    }
  }
};

TEST_F(Win32Window, EveryControlStandsWhereTheTableSaysAtEachDpi) {
  const ui::WindowGeometry& table = ui::mainWindowGeometry();
  for (UINT dpi : {96u, 144u}) {
    SCOPED_TRACE(dpi);
    open();
    RECT suggested{0, 0, 800, 600};
    SendMessageW(view->window(), WM_DPICHANGED, MAKEWPARAM(dpi, dpi),
                 reinterpret_cast<LPARAM>(&suggested));
    auto px = [dpi](int twips) { return ::px(twips, dpi); };
    RECT client;
    GetClientRect(view->window(), &client);
    EXPECT_EQ(client.right, px(table.clientWidth));
    EXPECT_EQ(client.bottom, px(table.clientHeight));
    for (const ui::ControlGeometry& c : table.controls) {
      SCOPED_TRACE(std::string(c.name));
      HWND container = c.container.empty() ? nullptr : control(c.container);
      const RECT at = placeIn(control(c.name), container, view->window());
      EXPECT_NEAR(at.left, px(c.left), 1);
      EXPECT_NEAR(at.top, px(c.top), 1);
      EXPECT_NEAR(at.right, px(c.width), 1);
      EXPECT_NEAR(at.bottom, px(c.height), 1);
    }
    view.reset();
    pump();
  }
}

TEST_F(Win32Window, LabelsTakeTheirColoursFromTheTable) {
  open();
  HDC dc = CreateCompatibleDC(nullptr);
  for (const ui::ControlGeometry& c : ui::mainWindowGeometry().controls) {
    if (!c.foreground && !c.background) continue;
    SCOPED_TRACE(std::string(c.name));
    SetTextColor(dc, RGB(1, 2, 3));
    SetBkColor(dc, RGB(4, 5, 6));
    SendMessageW(view->window(), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                 reinterpret_cast<LPARAM>(control(c.name)));
    if (c.foreground) {
      EXPECT_EQ(GetTextColor(dc), RGB(c.foreground->r, c.foreground->g, c.foreground->b));
    }
    if (c.background) {
      EXPECT_EQ(GetBkColor(dc), RGB(c.background->r, c.background->g, c.background->b));
    }
  }
  DeleteDC(dc);
}

TEST_F(Win32Window, TabAndShiftTabFollowTheWindowsOrderThroughTheTextBoxes) {
  rig.work.write("a.doc", "x");
  open();
  form().openFolder(rig.work.str());
  view->show();
  const std::vector<std::string> order{"Option1", "Option2", "Text2",   "Text1",
                                       "Dir1",    "Drive1",  "File1",   "Command1",
                                       "Text3",   "Option3", "Option4", "Command2"};
  auto focused = [&] {
    for (const std::string& name : order) {
      if (GetFocus() == control(name)) return name;
    }
    return std::string("?");
  };
  SetFocus(control("Option1"));
  std::vector<std::string> forward{focused()};
  for (std::size_t i = 0; i < order.size(); ++i) {
    key(VK_TAB);
    forward.push_back(focused());
  }
  std::vector<std::string> expected = order;
  expected.push_back("Option1");
  EXPECT_EQ(forward, expected);

  BYTE keys[256];
  GetKeyboardState(keys);
  keys[VK_SHIFT] = 0x80;
  SetKeyboardState(keys);
  std::vector<std::string> backward{focused()};
  for (std::size_t i = 0; i < order.size(); ++i) {
    key(VK_TAB);
    backward.push_back(focused());
  }
  keys[VK_SHIFT] = 0;
  SetKeyboardState(keys);
  std::reverse(expected.begin(), expected.end());
  EXPECT_EQ(backward, expected);
  // The tab key moved on and typed nothing.
  EXPECT_EQ(form().Text1.text, "请输入要替换的内容");
  EXPECT_EQ(text("Text1"), "请输入要替换的内容");
}

// A box that still holds its prompt selects it all when a click gives it
// the focus, so that what is typed replaces it; a box with the user's text
// keeps it.
TEST_F(Win32Window, AClickIntoABoxThatHoldsItsPromptSelectsItForWhatIsTyped) {
  open();
  view->show();
  pump();
  struct Case {
    const char* box;
    std::string before, after;
  };
  const Case cases[] = {{"Text1", "请输入要替换的内容", "x"},
                        {"Text2", "替换内容\r", "x"},
                        {"Text2", "请输入新替换内容", "x"},
                        {"Text1", "旧", "旧x"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.box) + " " + c.before);
    ui::TextBox& box = std::string(c.box) == "Text1" ? form().Text1 : form().Text2;
    box.text = c.before;
    view->refresh();
    SetFocus(control("Dir1"));
    pump();
    RECT client{};
    GetClientRect(control(c.box), &client);
    const LPARAM centre = MAKELPARAM(client.right / 2, client.bottom / 2);
    SendMessageW(control(c.box), WM_LBUTTONDOWN, MK_LBUTTON, centre);
    SendMessageW(control(c.box), WM_LBUTTONUP, 0, centre);
    pump();
    PostMessageW(control(c.box), WM_CHAR, L'x', 1);
    pump();
    EXPECT_EQ(box.text, c.after);
  }
}

// The menu bar: the two entries of old, then 工具 with its preview, which
// is there only where the selected option's run could run, and counts.
TEST_F(Win32Window, TheToolsMenuPreviewsTheRunAndChangesNothing) {
  rig.work.write("a.doc", "旧旧");
  open();
  view->show();
  pump();
  HMENU bar = GetMenu(view->window());
  ASSERT_EQ(GetMenuItemCount(bar), 3);
  const auto itemText = [](HMENU menu, UINT position) {
    wchar_t text[64] = {};
    GetMenuStringW(menu, position, text, 64, MF_BYPOSITION);
    return utf8FromWide(text);
  };
  EXPECT_EQ(itemText(bar, 0), "关于");
  EXPECT_EQ(itemText(bar, 1), "微信好友");
  EXPECT_EQ(itemText(bar, 2), "工具");
  HMENU tools = GetSubMenu(bar, 2);
  ASSERT_NE(tools, nullptr);
  EXPECT_EQ(itemText(tools, 0), "预览（不改动文件）");
  EXPECT_EQ(itemText(tools, 1), "包含子文件夹");
  EXPECT_EQ(itemText(tools, 2), "替换前备份原文件");
  EXPECT_EQ(itemText(tools, 3), "撤销上次替换");
  EXPECT_EQ(itemText(tools, 4), "规则列表…");
  EXPECT_EQ(itemText(tools, 5), "清除规则列表");
  EXPECT_EQ(itemText(tools, 6), "打开日志文件夹");
  EXPECT_EQ(itemText(tools, 7), "导出结果…");
  EXPECT_NE(GetMenuState(bar, kMenuClearRulesList, MF_BYCOMMAND) & MF_GRAYED, 0u);
  EXPECT_EQ(GetMenuState(bar, kMenuSubfolders, MF_BYCOMMAND) & MF_CHECKED, 0u);
  SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(kMenuSubfolders, 0), 0);
  EXPECT_TRUE(form().includesSubfolders());
  EXPECT_NE(GetMenuState(bar, kMenuSubfolders, MF_BYCOMMAND) & MF_CHECKED, 0u);
  SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(kMenuSubfolders, 0), 0);
  EXPECT_FALSE(form().includesSubfolders());
  EXPECT_NE(GetMenuState(bar, kMenuPreview, MF_BYCOMMAND) & MF_GRAYED, 0u);

  click("Option1");
  form().openFolder(rig.work.str());
  type("Text1", L"旧");
  view->refresh();
  EXPECT_EQ(GetMenuState(bar, kMenuPreview, MF_BYCOMMAND) & MF_GRAYED, 0u);
  SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(kMenuPreview, 0), 0);
  pump();
  EXPECT_NE(text("Text3").find("a.doc 试运行：找到 2 处，未作改动"), std::string::npos)
      << text("Text3");
  EXPECT_EQ(readFile(rig.work.path() / "a.doc"), "旧旧");

  // 规则列表…: the pairs of the file chosen take the boxes' place.
  const std::filesystem::path rules = rig.work.write("规则.csv", "\"旧旧\",新\r\n");
  chosenRules = rules.wstring();
  SetTimer(nullptr, 0, 100, chooseRules);
  SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(kMenuRulesList, 0), 0);
  EXPECT_EQ(form().rulesFile(), text::utf8FromPath(rules));
  EXPECT_EQ(GetMenuState(bar, kMenuClearRulesList, MF_BYCOMMAND) & MF_GRAYED, 0u);
  SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(kMenuPreview, 0), 0);
  pump();
  EXPECT_NE(text("Text3").find("，共 1 组\r\na.doc 试运行：找到 1 处，未作改动"), std::string::npos)
      << text("Text3");
  SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(kMenuClearRulesList, 0), 0);
  EXPECT_EQ(form().rulesFile(), "");
  EXPECT_NE(GetMenuState(bar, kMenuClearRulesList, MF_BYCOMMAND) & MF_GRAYED, 0u);
}

// Esc during a run asks whether to stop; Yes stops it after the document
// being worked on, the files after it untouched, and one line says how many
// were left. The title shows the progress during the run.
TEST_F(Win32Window, EscDuringARunStopsItAfterTheCurrentDocument) {
  for (const char* name : {"1.doc", "2.doc", "3.doc"}) rig.work.write(name, "旧");
  const std::wstring slowAt = L"1.doc\"";
  const DWORD slowMs = 600;
  RegSetKeyValueW(HKEY_CURRENT_USER, testoffice::kSettingsKey, L"SlowAt", REG_SZ, slowAt.c_str(),
                  static_cast<DWORD>((slowAt.size() + 1) * sizeof(wchar_t)));
  RegSetKeyValueW(HKEY_CURRENT_USER, testoffice::kSettingsKey, L"SlowMs", REG_DWORD, &slowMs,
                  sizeof slowMs);
  open();
  view->show();
  pump();
  click("Option1");
  form().openFolder(rig.work.str());
  paste("Text1", L"旧");
  paste("Text2", L"新");
  statusBox = control("Text3");
  SetForegroundWindow(view->window());
  SetFocus(control("Text1"));
  titleDuringRun.clear();
  seen = {};
  SetTimer(nullptr, 0, 50, pressEscAfterTheFirstLine);
  SetTimer(nullptr, 0, 50, answerYes);
  click("Command1");
  EXPECT_NE(seen.text.find("要在当前文件处理完后停止吗？"), std::string::npos) << seen.text;
  EXPECT_EQ(titleDuringRun, "Ravelsk — 1/3");
  EXPECT_EQ(textOf(view->window()), "Ravelsk");
  for (const char* line : {"1.doc 已替换内容\r\n", "已停止：还有 2 个文件未处理\r\n"}) {
    EXPECT_NE(form().Text3.text().find(line), std::string::npos) << form().Text3.text();
  }
  EXPECT_EQ(form().Text3.text().find("2.doc"), std::string::npos) << form().Text3.text();
  EXPECT_EQ(readFile(rig.work.path() / "1.doc"), "新");
  EXPECT_EQ(readFile(rig.work.path() / "2.doc"), "旧");
  EXPECT_EQ(readFile(rig.work.path() / "3.doc"), "旧");
}

TEST_F(Win32Window, TheFocusSelectsNoOptionButtonOnlyAClickDoes) {
  rig.work.write("a.doc", "x");
  open();
  for (int n = 1; n <= 4; ++n) {
    buttonProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(control("Option" + std::to_string(n)), GWLP_WNDPROC,
                          reinterpret_cast<LONG_PTR>(clickedOnFocus)));
  }
  form().openFolder(rig.work.str());
  view->show();
  pump();
  ASSERT_EQ(GetFocus(), control("Option1"));
  expectChecked(0);
  for (int step = 0; step < 12; ++step) key(VK_TAB);
  ASSERT_EQ(GetFocus(), control("Option1"));
  key(VK_TAB);
  ASSERT_EQ(GetFocus(), control("Option2"));
  // Back from a modal box, the focus returns to the unchecked Option2.
  SetTimer(nullptr, 0, 100, closeAboutBox);
  SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(ui::win32::kMenuGy, 0), 0);
  pump();
  EXPECT_EQ(GetFocus(), control("Option2"));
  expectChecked(0);
  EXPECT_EQ(form().File1.pattern, "*.doc");
  EXPECT_EQ(text("Command1"), "doc文档替换");
  EXPECT_EQ(text("Command2"), "xls表格替换");
  EXPECT_EQ(text("Text1"), "请输入要替换的内容");

  click("Option3");
  expectChecked(3);
  EXPECT_EQ(text("Text1"), "请输入要替换原内容");
}

TEST_F(Win32Window, AUserStartsBrowsesRunsBothKindsUsesTheMenusAndClosesDuringARun) {
  const std::string work = rig.work.str();
  rig.work.write("文档/a.doc", "一个旧字，又一个旧字");
  rig.work.write("文档/b.doc", "没有");
  rig.work.write("表格/a.xls", "Sheet1\tx\r\n表二\tan 旧 one\t旧\r\n");
  rig.keepOriginalsIn = testsupport::copyingKeeper();  // as the program has it
  open();
  form().Form_Load();
  view->show();
  pump();

  // Start-up: what the probes found, nothing selected, both buttons off.
  EXPECT_EQ(textOf(view->window()), "Ravelsk");
  EXPECT_NE(form().Label2.caption.find("版本号：16.0"), std::string::npos);
  EXPECT_EQ(text("Label2"), form().Label2.caption);
  for (int n = 1; n <= 4; ++n) EXPECT_TRUE(IsWindowEnabled(control("Option" + std::to_string(n))));
  expectChecked(0);
  expectCommandButtons(false);
  EXPECT_EQ(GetFocus(), control("Option1")) << "the first place of the tab order";
  EXPECT_EQ(text("Text1"), "请输入要替换的内容");
  EXPECT_EQ(text("Text2"), "替换内容\r");
  EXPECT_EQ(text("Command1"), "doc文档替换");
  EXPECT_EQ(text("Frame4"), "要替换的文档");
  EXPECT_EQ(rowsOf(control("File1")), std::vector<std::string>{});
  const std::vector<std::string> dirRows = rowsOf(control("Dir1"));
  ASSERT_GE(dirRows.size(), 3u);
  EXPECT_EQ(dirRows[dirRows.size() - 2].substr(dirRows[dirRows.size() - 2].find_first_not_of(' ')),
            "文档");
  EXPECT_EQ(dirRows.back().substr(dirRows.back().find_first_not_of(' ')), "表格");
  int width = 0, height = 0;
  std::vector<BYTE> pixels = screenshot(view->window(), "window-win32-start", width, height);
  std::set<COLORREF> colours;
  for (std::size_t i = 0; i + 2 < pixels.size(); i += 3)
    colours.insert(RGB(pixels[i + 2], pixels[i + 1], pixels[i]));
  EXPECT_GT(colours.size(), 4u) << "the capture shows the window, not an empty area";
  // Label2's light green, as painted: a point near its bottom right, below its text.
  RECT window, label2;
  GetWindowRect(view->window(), &window);
  GetWindowRect(control("Label2"), &label2);
  const int x = label2.right - window.left - 4, y = label2.bottom - window.top - 4;
  const auto stride = static_cast<std::size_t>((width * 3 + 3) & ~3);
  const BYTE* pixel =
      &pixels[static_cast<std::size_t>(height - 1 - y) * stride + static_cast<std::size_t>(x) * 3];
  EXPECT_EQ(RGB(pixel[2], pixel[1], pixel[0]), RGB(192, 255, 192));
  // The two headings' text colours, as painted: somewhere in each label's strokes.
  auto paintedIn = [&](HWND label) {
    RECT at;
    GetWindowRect(label, &at);
    std::set<COLORREF> painted;
    for (LONG ly = at.top - window.top; ly < at.bottom - window.top; ++ly) {
      for (LONG lx = at.left - window.left; lx < at.right - window.left; ++lx) {
        const BYTE* p = &pixels[static_cast<std::size_t>(height - 1 - ly) * stride +
                                static_cast<std::size_t>(lx) * 3];
        painted.insert(RGB(p[2], p[1], p[0]));
      }
    }
    return painted;
  };
  EXPECT_EQ(paintedIn(control("Label1")).count(RGB(255, 0, 0)), 1u);
  EXPECT_EQ(paintedIn(control("Label3")).count(RGB(192, 0, 192)), 1u);

  // Browsing: another drive, back, and down to the documents by double-clicks.
  const auto& drives = form().Drive1.drives;
  EXPECT_EQ(rowsOf(control("Drive1"), true), drives);
  const auto other = std::find_if(drives.begin(), drives.end(),
                                  [&](const std::string& d) { return d != form().Drive1.drive; });
  ASSERT_NE(other, drives.end());
  const std::string home = form().Drive1.drive;
  SendMessageW(control("Drive1"), CB_SETCURSEL, static_cast<WPARAM>(other - drives.begin()), 0);
  notify("Drive1", CBN_SELCHANGE);
  EXPECT_EQ(form().Dir1.path, *other + "\\");
  EXPECT_EQ(rowsOf(control("Dir1")).front(), *other + "\\");
  SendMessageW(control("Drive1"), CB_SETCURSEL,
               static_cast<WPARAM>(std::find(drives.begin(), drives.end(), home) - drives.begin()),
               0);
  notify("Drive1", CBN_SELCHANGE);
  EXPECT_EQ(form().Dir1.path, home + "\\");
  for (const fs::path& part : pathFromUtf8(work).relative_path()) {
    openFolderRow(text::utf8FromPath(part));
  }
  EXPECT_EQ(form().Dir1.path, work);
  openFolderRow("文档");
  EXPECT_EQ(form().Dir1.path, testsupport::joinPath(work, "文档"));
  EXPECT_EQ(rowsOf(control("File1")), (std::vector<std::string>{"a.doc", "b.doc"}));
  expectCommandButtons(true);

  // The document choice, the texts typed and pasted, the run.
  click("Option1");
  expectChecked(1);
  EXPECT_EQ(text("Command1"), "文档内容替换");
  EXPECT_EQ(text("Text1"), "请输入要替换原内容");
  EXPECT_EQ(text("Text2"), "请输入新替换内容");
  type("Text1", L"旧");
  EXPECT_EQ(form().Text1.text, "旧");
  paste("Text2", L"新");
  EXPECT_EQ(form().Text2.text, "新");
  click("Command1");
  EXPECT_EQ(testsupport::statusLines(form().Text3.text()),
            "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\n");
  EXPECT_EQ(text("Text3"), form().Text3.text());
  EXPECT_EQ(readFile(pathFromUtf8(testsupport::joinPath(work, "文档\\a.doc"))),
            "一个新字，又一个新字");

  // Up with Enter on the parent's row, into the workbooks, the workbook run.
  SetFocus(control("Dir1"));
  const std::vector<std::string> rows = rowsOf(control("Dir1"));
  SendMessageW(control("Dir1"), LB_SETCURSEL, rows.size() - 2, 0);
  key(VK_RETURN);
  EXPECT_EQ(form().Dir1.path, work);
  click("Option2");
  expectChecked(2);
  click("Option2");  // the selected one again: nothing changes
  expectChecked(2);
  openFolderRow("表格");
  EXPECT_EQ(rowsOf(control("File1")), std::vector<std::string>{"a.xls"});
  expectCommandButtons(true);
  EXPECT_EQ(text("Command2"), "表格内容替换");
  paste("Text1", L"旧");
  // Set by another program: the box does not say so, the run reads it.
  SendMessageW(control("Text2"), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"新"));
  click("Command2");
  const std::string bothRuns =
      "a.doc 已替换内容\r\nb.doc 没找到替换的内容\r\na.xls-Sheet1没找到替换的内容\r\n"
      "a.xls-表二已替换内容\r\n";
  EXPECT_EQ(testsupport::statusLines(form().Text3.text()), bothRuns);
  EXPECT_EQ(text("Text3"), form().Text3.text());
  screenshot(view->window(), "window-win32-run", width, height);
  EXPECT_TRUE(menuScreenshot(view->window(), 2, "window-win32-menu"));

  // The read-only status box takes no typing.
  PostMessageW(control("Text3"), WM_CHAR, L'x', 1);
  pump();
  EXPECT_EQ(text("Text3"), form().Text3.text());

  // The menus: the about box and Form3, modal, twice.
  seen = {};
  SetTimer(nullptr, 0, 100, closeAboutBox);
  SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(ui::win32::kMenuGy, 0), 0);
  EXPECT_EQ(seen.caption, "Ravelsk");
  EXPECT_EQ(seen.text, ui::kAboutText);
  EXPECT_FALSE(seen.ownerEnabled);
  EXPECT_TRUE(IsWindowEnabled(view->window()));
  HWND first = nullptr;
  for (int time = 0; time < 2; ++time) {
    seen = {};
    SetTimer(nullptr, 0, 100, closeForm3);
    SendMessageW(view->window(), WM_COMMAND, MAKEWPARAM(ui::win32::kMenuDas, 0), 0);
    EXPECT_EQ(seen.caption, "联系程序员");
    EXPECT_EQ(seen.text, "添加微信好友（备注：软件咨询）");
    EXPECT_FALSE(seen.ownerEnabled);
    EXPECT_EQ(seen.client.right, px(3150, view->dpi()));
    EXPECT_EQ(seen.client.bottom, px(3495, view->dpi()));
    EXPECT_EQ(seen.image.top, px(600, view->dpi()));
    EXPECT_EQ(seen.image.right, px(3135, view->dpi()));
    EXPECT_EQ(seen.image.bottom, px(2895, view->dpi()));
    EXPECT_TRUE(seen.hasPicture);
    EXPECT_TRUE(IsWindowEnabled(view->window()));
    if (time == 0) first = seen.window;
  }
  EXPECT_EQ(seen.window, first) << "the same contact window each time";

  // An empty find text asks first, No the default; No runs nothing.
  paste("Text1", L"");
  seen = {};
  SetTimer(nullptr, 0, 100, answerNo);
  const std::string beforeQuestion = testsupport::statusLines(form().Text3.text());
  click("Command2");
  EXPECT_EQ(seen.caption, "Ravelsk");
  EXPECT_NE(seen.text.find("要替换的内容是空的"), std::string::npos) << seen.text;
  EXPECT_EQ(questionDefault, IDNO);
  EXPECT_EQ(testsupport::statusLines(form().Text3.text()), beforeQuestion);

  // Closed during a run: asked whether to stop, No, the run ends, then the
  // window closes.
  click("Option1");
  openFolderRow(text::utf8FromPath(pathFromUtf8(work).filename()));
  openFolderRow("文档");
  expectCommandButtons(true);
  paste("Text1", L"旧");
  paste("Text2", L"新");
  PostMessageW(view->window(), WM_CLOSE, 0, 0);
  seen = {};
  SetTimer(nullptr, 0, 100, answerNo);
  click("Command1");
  EXPECT_NE(seen.text.find("要在当前文件处理完后停止吗？"), std::string::npos) << seen.text;
  EXPECT_TRUE(IsWindow(view->window()));
  EXPECT_NE(testsupport::statusLines(form().Text3.text()).find(bothRuns + "a.doc "),
            std::string::npos);
  EXPECT_EQ(text("Text3"), form().Text3.text());
  pump();
  EXPECT_FALSE(IsWindow(view->window()));
}

}  // namespace
