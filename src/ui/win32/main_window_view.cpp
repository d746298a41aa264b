#include "ui/win32/main_window_view.h"

#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>

#include "text/system_text.h"
#include "text/text_encoding.h"
#include "ui/file_browser.h"
#include "ui/win32/resource.h"
#include "ui/win32/system_helpers.h"

namespace ui::win32 {

using text::utf8FromWide;

MainWindowView::MainWindowView(Form1& model, HINSTANCE instance)
    : model_(model), instance_(instance) {
  HICON icon = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_RAVELSK), IMAGE_ICON, 0,
                                             0, LR_DEFAULTSIZE | LR_SHARED));
  registerClass(instance, kForm1Class, form1Proc, icon);
  HMENU menu = CreateMenu();
  AppendMenuW(menu, MF_STRING, kMenuGy, L"关于");
  AppendMenuW(menu, MF_STRING, kMenuDas, L"微信好友");
  HMENU tools = CreatePopupMenu();
  AppendMenuW(tools, MF_STRING, kMenuPreview, L"预览（不改动文件）");
  AppendMenuW(tools, MF_STRING, kMenuSubfolders, L"包含子文件夹");
  AppendMenuW(tools, MF_STRING, kMenuBackupOriginals, L"替换前备份原文件");
  AppendMenuW(tools, MF_STRING, kMenuUndoLastRun, L"撤销上次替换");
  AppendMenuW(tools, MF_STRING, kMenuRulesList, L"规则列表…");
  AppendMenuW(tools, MF_STRING, kMenuClearRulesList, L"清除规则列表");
  AppendMenuW(tools, MF_STRING, kMenuJournalFolder, L"打开日志文件夹");
  AppendMenuW(tools, MF_STRING, kMenuExportResults, L"导出结果…");
  AppendMenuW(menu, MF_POPUP, reinterpret_cast<UINT_PTR>(tools), L"工具");
  const std::wstring caption = displayText(mainWindowGeometry().caption, false);
  // Fixed size: no sizing border and no maximise box.
  CreateWindowExW(0, kForm1Class, caption.c_str(),
                  WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX, CW_USEDEFAULT,
                  CW_USEDEFAULT, 100, 100, nullptr, menu, instance, this);
  label2Brush_ =
      CreateSolidBrush(colorOf(*findControl(mainWindowGeometry(), "Label2")->background));
  createControls();
  layout(windowDpi(hwnd_));
  model_.setView(this);
  refresh();
}

MainWindowView::~MainWindowView() {
  model_.setView(nullptr);
  if (form3_ != nullptr) DestroyWindow(form3_);
  if (IsWindow(hwnd_)) DestroyWindow(hwnd_);
  if (font_ != nullptr) DeleteObject(font_);
  if (form3Font_ != nullptr) DeleteObject(form3Font_);
  if (picture_ != nullptr) DeleteObject(picture_);
  DeleteObject(label2Brush_);
}

void MainWindowView::createControls() {
  int id = 1000;
  std::vector<HWND> frames;
  std::vector<std::pair<int, HWND>> focusable;
  for (const ControlGeometry& geometry : mainWindowGeometry().controls) {
    const wchar_t* cls = L"BUTTON";
    DWORD style = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    DWORD exStyle = 0;
    switch (geometry.kind) {
      case ControlKind::Frame:
        style |= BS_GROUPBOX;
        break;
      case ControlKind::Label:
        cls = L"STATIC";
        style |= SS_LEFT | SS_NOPREFIX;
        break;
      case ControlKind::OptionButton:
        // Not an auto button: the model keeps the group exclusive and may
        // clear every button.
        style |= BS_RADIOBUTTON;
        break;
      case ControlKind::CommandButton:
        style |= BS_PUSHBUTTON;
        break;
      case ControlKind::TextBox:
        cls = L"EDIT";
        exStyle = WS_EX_CLIENTEDGE;
        style |= ES_MULTILINE | ES_AUTOVSCROLL | ES_WANTRETURN;
        if (geometry.name == "Text3") {
          style |= ES_READONLY | ES_AUTOHSCROLL | WS_VSCROLL | WS_HSCROLL;
        }
        break;
      case ControlKind::DriveList:
        cls = L"COMBOBOX";
        style |= CBS_DROPDOWNLIST | WS_VSCROLL;
        break;
      case ControlKind::FolderList:
      case ControlKind::FileList:
        cls = L"LISTBOX";
        exStyle = WS_EX_CLIENTEDGE;
        style |= LBS_NOTIFY | LBS_NOINTEGRALHEIGHT | WS_VSCROLL;
        break;
      case ControlKind::Image:
        cls = L"STATIC";
        style |= SS_BITMAP;
        break;
    }
    const std::wstring text = displayText(geometry.caption, false);
    HWND child = CreateWindowExW(
        exStyle, cls, geometry.kind == ControlKind::TextBox ? L"" : text.c_str(), style, 0, 0, 0, 0,
        hwnd_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id++)), instance_, nullptr);
    controls_.emplace(std::string(geometry.name), child);
    if (geometry.kind == ControlKind::Frame) {
      frames.push_back(child);
    } else if (geometry.kind != ControlKind::Label) {
      focusable.emplace_back(geometry.tabIndex, child);
    }
  }
  // Frames lie beneath the controls they hold, containers beneath the frames
  // inside them; a frame paints no inside of its own, the window does.
  for (HWND frame : std::vector<HWND>(frames.rbegin(), frames.rend())) {
    SetWindowPos(frame, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  std::sort(focusable.begin(), focusable.end());
  for (const auto& [index, child] : focusable) tabOrder_.push_back(child);
  SendMessageW(control("Text3"), EM_SETLIMITTEXT, 0, 0);
}

void MainWindowView::layout(UINT dpi, const POINT* topLeft) {
  dpi_ = dpi;
  HFONT previous = font_;
  font_ = messageFont(dpi);
  // Each control's place is its container's place plus its own, so its
  // offset in the container is exactly the table's.
  std::map<std::string_view, POINT> origin;
  for (const ControlGeometry& geometry : mainWindowGeometry().controls) {
    const POINT base = geometry.container.empty() ? POINT{0, 0} : origin[geometry.container];
    const POINT at{base.x + pixels(geometry.left, dpi), base.y + pixels(geometry.top, dpi)};
    origin[geometry.name] = at;
    HWND child = control(geometry.name);
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    const int height = pixels(geometry.height, dpi);
    // A drop-down list's height is that of its open list; the closed box is sized below.
    const int windowHeight = geometry.kind == ControlKind::DriveList ? height * 8 : height;
    SetWindowPos(child, nullptr, at.x, at.y, pixels(geometry.width, dpi), windowHeight,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    if (geometry.kind == ControlKind::DriveList) fitComboHeight(child, height);
  }
  if (previous != nullptr) DeleteObject(previous);
  const WindowGeometry& window = mainWindowGeometry();
  setClientSize(hwnd_, pixels(window.clientWidth, dpi), pixels(window.clientHeight, dpi), dpi,
                topLeft);
  InvalidateRect(hwnd_, nullptr, TRUE);
}

void MainWindowView::fitComboHeight(HWND combo, int height) {
  // The closed box's height follows its selection field: the field is set
  // until the box is as high as the table says (some systems add a margin
  // of their own to the height asked for).
  auto field = static_cast<int>(SendMessageW(combo, CB_GETITEMHEIGHT, WPARAM(-1), 0));
  for (int attempt = 0; attempt < 4; ++attempt) {
    RECT rect;
    GetWindowRect(combo, &rect);
    const int delta = height - (rect.bottom - rect.top);
    if (delta == 0 || field + delta < 1) return;
    field += delta;
    SendMessageW(combo, CB_SETITEMHEIGHT, WPARAM(-1), field);
  }
}

void MainWindowView::show() {
  centreOnMonitor(hwnd_);
  ShowWindow(hwnd_, SW_SHOW);
  UpdateWindow(hwnd_);
  SetForegroundWindow(hwnd_);
  // Activation gave the focus to the first control already where it could.
  if (!IsChild(hwnd_, GetFocus())) focusNext(false);
}

HWND MainWindowView::control(std::string_view name) const {
  auto it = controls_.find(name);
  return it == controls_.end() ? nullptr : it->second;
}

bool MainWindowView::preTranslate(const MSG& msg) {
  if (msg.message != WM_KEYDOWN || (msg.hwnd != hwnd_ && !IsChild(hwnd_, msg.hwnd))) return false;
  if (msg.wParam == VK_TAB) {
    focusNext(GetKeyState(VK_SHIFT) < 0);
    return true;
  }
  if (msg.wParam == VK_RETURN && msg.hwnd == control("Dir1")) {
    openSelectedFolder();
    return true;
  }
  return false;
}

void MainWindowView::focusNext(bool backwards) {
  // The window's own order: it interleaves the option buttons with other
  // controls, which no radio group or dialog navigation can follow.
  const auto count = static_cast<int>(tabOrder_.size());
  HWND focus = GetFocus();
  auto at = std::find(tabOrder_.begin(), tabOrder_.end(), focus);
  int index =
      at == tabOrder_.end() ? (backwards ? 0 : -1) : static_cast<int>(at - tabOrder_.begin());
  for (int step = 0; step < count; ++step) {
    index = (index + (backwards ? count - 1 : 1)) % count;
    HWND next = tabOrder_[static_cast<std::size_t>(index)];
    if (IsWindowEnabled(next) && IsWindowVisible(next)) {
      moveFocus(next);
      return;
    }
  }
}

void MainWindowView::moveFocus(HWND to) {
  // Windows' radio buttons report a click when they get the focus unchecked;
  // a focus the window moves itself selects nothing.
  const bool outer = movingFocus_;
  movingFocus_ = true;
  SetFocus(to);
  movingFocus_ = outer;
}

void MainWindowView::openSelectedFolder() {
  const auto row = SendMessageW(control("Dir1"), LB_GETCURSEL, 0, 0);
  if (row >= 0 && static_cast<std::size_t>(row) < dirPaths_.size()) {
    model_.openFolder(dirPaths_[static_cast<std::size_t>(row)]);
  }
}

LRESULT CALLBACK MainWindowView::form1Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* view =
        static_cast<MainWindowView*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    view->hwnd_ = hwnd;
    SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(view));
  }
  auto* view = reinterpret_cast<MainWindowView*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
  if (view == nullptr || view->controls_.empty())
    return DefWindowProcW(hwnd, message, wParam, lParam);
  return view->handle(message, wParam, lParam);
}

LRESULT MainWindowView::handle(UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
      // A run holds the window: nothing the user does reaches the model.
      if (!running_) command(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
      return 0;
    case WM_CTLCOLORSTATIC: {
      auto dc = reinterpret_cast<HDC>(wParam);
      auto from = reinterpret_cast<HWND>(lParam);
      for (const ControlGeometry& geometry : mainWindowGeometry().controls) {
        if (control(geometry.name) != from) continue;
        if (geometry.background) {
          SetBkColor(dc, colorOf(*geometry.background));
          return reinterpret_cast<LRESULT>(label2Brush_);
        }
        if (geometry.foreground) {
          LRESULT brush = DefWindowProcW(hwnd_, message, wParam, lParam);
          SetTextColor(dc, colorOf(*geometry.foreground));
          return brush;
        }
      }
      break;
    }
    case WM_ACTIVATE:
      // The focus comes back where it was when the window is active again.
      if (LOWORD(wParam) == WA_INACTIVE && IsChild(hwnd_, GetFocus())) lastFocus_ = GetFocus();
      break;
    case WM_SETFOCUS:
      if (lastFocus_ != nullptr && IsWindowEnabled(lastFocus_)) {
        moveFocus(lastFocus_);
      } else {
        focusNext(false);
      }
      return 0;
    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lParam);
      const POINT topLeft{suggested->left, suggested->top};
      layout(LOWORD(wParam), &topLeft);
      return 0;
    }
    case WM_CLOSE:
      if (running_) {
        closePending_ = true;
        model_.stopRun(true);
        return 0;
      }
      DestroyWindow(hwnd_);
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcW(hwnd_, message, wParam, lParam);
}

void MainWindowView::command(UINT id, UINT code, HWND from) {
  if (from == nullptr) {
    if (id == kMenuGy) model_.gy_Click();
    if (id == kMenuDas) model_.das_Click();
    if (id == kMenuJournalFolder) model_.openJournalFolder_Click();
    if (id == kMenuRulesList) model_.rulesList_Click();
    if (id == kMenuClearRulesList) model_.clearRulesList_Click();
    if (id == kMenuExportResults) model_.exportResults_Click();
    if (id == kMenuUndoLastRun) model_.undoLastRun_Click();
    if (id == kMenuBackupOriginals) {
      model_.backupOriginals_Click();
      refresh();
    }
    if (id == kMenuSubfolders) {
      model_.includeSubfolders_Click();
      refresh();
    }
    if (id == kMenuPreview) {
      model_.preview_Click();
      refresh();
    }
    return;
  }
  if (syncing_) return;
  for (int n = 1; n <= 4; ++n) {
    if (from == control("Option" + std::to_string(n)) && code == BN_CLICKED) {
      if (movingFocus_) return;
      // Clicking the selected button changes nothing.
      if (model_.option(n).value) {
        refresh();
      } else {
        model_.clickOption(n);
      }
      return;
    }
  }
  const bool run1 = from == control("Command1"), run2 = from == control("Command2");
  if (code == BN_CLICKED && (run1 || run2)) {
    // A multi-line box tells nothing of a text set by another program
    // (WM_SETTEXT): the run takes the texts the boxes show.
    model_.Text1.text = utf8FromWide(windowText(control("Text1")));
    model_.Text2.text = utf8FromWide(windowText(control("Text2")));
    run1 ? model_.Command1_Click() : model_.Command2_Click();
    refresh();
  } else if (code == EN_SETFOCUS && (from == control("Text1") || from == control("Text2"))) {
    // Posted: a click places the caret after the box has the focus.
    const TextBox& text = from == control("Text1") ? model_.Text1 : model_.Text2;
    if (promptIn(text.text)) PostMessageW(from, EM_SETSEL, 0, -1);
  } else if (code == EN_CHANGE && from == control("Text1")) {
    model_.Text1.text = utf8FromWide(windowText(from));
  } else if (code == EN_CHANGE && from == control("Text2")) {
    model_.Text2.text = utf8FromWide(windowText(from));
  } else if (code == CBN_SELCHANGE && from == control("Drive1")) {
    const auto row = SendMessageW(from, CB_GETCURSEL, 0, 0);
    if (row >= 0 && static_cast<std::size_t>(row) < model_.Drive1.drives.size()) {
      model_.pickDrive(model_.Drive1.drives[static_cast<std::size_t>(row)]);
    }
  } else if (code == LBN_DBLCLK && from == control("Dir1")) {
    openSelectedFolder();
  }
}

void MainWindowView::showEditText(HWND box, const std::string& text) {
  if (utf8FromWide(windowText(box)) != text) SetWindowTextW(box, displayText(text, false).c_str());
}

void MainWindowView::refresh() {
  syncing_ = true;
  for (int n = 1; n <= 4; ++n) {
    const OptionButton& option = model_.option(n);
    HWND button = control("Option" + std::to_string(n));
    SetWindowTextW(button, displayText(option.caption, false).c_str());
    EnableWindow(button, option.enabled);
    SendMessageW(button, BM_SETCHECK, option.value ? BST_CHECKED : BST_UNCHECKED, 0);
  }
  for (const auto& [name, button] :
       {std::pair{"Command1", &model_.Command1}, std::pair{"Command2", &model_.Command2}}) {
    SetWindowTextW(control(name), displayText(button->caption, false).c_str());
    EnableWindow(control(name), button->enabled);
  }
  EnableMenuItem(GetMenu(hwnd_), kMenuPreview,
                 MF_BYCOMMAND | (model_.previewAvailable() ? MF_ENABLED : MF_GRAYED));
  CheckMenuItem(GetMenu(hwnd_), kMenuSubfolders,
                MF_BYCOMMAND | (model_.includesSubfolders() ? MF_CHECKED : MF_UNCHECKED));
  CheckMenuItem(GetMenu(hwnd_), kMenuBackupOriginals,
                MF_BYCOMMAND | (model_.backsUpOriginals() ? MF_CHECKED : MF_UNCHECKED));
  for (UINT id : {kMenuBackupOriginals, kMenuUndoLastRun}) {
    EnableMenuItem(GetMenu(hwnd_), id,
                   MF_BYCOMMAND | (model_.backupAvailable() ? MF_ENABLED : MF_GRAYED));
  }
  EnableMenuItem(GetMenu(hwnd_), kMenuClearRulesList,
                 MF_BYCOMMAND | (model_.rulesFile().empty() ? MF_GRAYED : MF_ENABLED));
  showEditText(control("Text1"), model_.Text1.text);
  showEditText(control("Text2"), model_.Text2.text);
  SetWindowTextW(control("Label2"), displayText(model_.Label2.caption, true).c_str());
  const std::string& status = model_.Text3.text();
  if (status.size() > text3Shown_) text3Appended(status.substr(text3Shown_));
  refreshLists();
  syncing_ = false;
}

void MainWindowView::refreshLists() {
  HWND drive1 = control("Drive1");
  SendMessageW(drive1, CB_RESETCONTENT, 0, 0);
  const auto& drives = model_.Drive1.drives;
  for (const std::string& drive : drives) {
    SendMessageW(drive1, CB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(displayText(drive, false).c_str()));
  }
  const auto selected = std::find(drives.begin(), drives.end(), model_.Drive1.drive);
  SendMessageW(drive1, CB_SETCURSEL,
               selected == drives.end() ? WPARAM(-1) : WPARAM(selected - drives.begin()), 0);

  // The folder list shows the way down to the open folder, then its subfolders.
  HWND dir1 = control("Dir1");
  SendMessageW(dir1, LB_RESETCONTENT, 0, 0);
  dirPaths_.clear();
  WPARAM openRow = WPARAM(-1);
  for (const FolderRow& row : folderRows(model_.Dir1.path, model_.Dir1.subfolders)) {
    const std::wstring shown =
        std::wstring(static_cast<std::size_t>(row.depth) * 2, L' ') + displayText(row.name, false);
    SendMessageW(dir1, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(shown.c_str()));
    dirPaths_.push_back(row.path);
    if (row.onTheWay) ++openRow;
  }
  SendMessageW(dir1, LB_SETCURSEL, openRow, 0);

  HWND file1 = control("File1");
  SendMessageW(file1, LB_RESETCONTENT, 0, 0);
  for (const std::string& entry : model_.File1.entries) {
    SendMessageW(file1, LB_ADDSTRING, 0,
                 reinterpret_cast<LPARAM>(displayText(entry, false).c_str()));
  }
}

void MainWindowView::text3Appended(const std::string& line) {
  text3Shown_ += line.size();
  HWND text3 = control("Text3");
  const auto end = static_cast<WPARAM>(GetWindowTextLengthW(text3));
  SendMessageW(text3, EM_SETSEL, end, static_cast<LPARAM>(end));
  SendMessageW(text3, EM_REPLACESEL, FALSE,
               reinterpret_cast<LPARAM>(displayText(line, true).c_str()));
  SendMessageW(text3, EM_SCROLLCARET, 0, 0);
  // Painted now: during a run the loop that would paint it is not running.
  UpdateWindow(text3);
  if (running_) answerSystem();
}

void MainWindowView::answerSystem() {
  // Between documents of a run: paint, run timers and answer what the system
  // sends, so the window is never marked "Not Responding", but leave the
  // user's input (keys, clicks) queued, in order, until the run ends.
  MSG msg;
  // Esc, and a click on the close box, if the user's first: they ask the
  // run to stop (the close is then done when the run ends).
  if (PeekMessageW(&msg, nullptr, WM_KEYDOWN, WM_KEYDOWN, PM_NOREMOVE | PM_QS_INPUT) &&
      msg.wParam == VK_ESCAPE && ownWindow(msg.hwnd)) {
    PeekMessageW(&msg, msg.hwnd, WM_KEYDOWN, WM_KEYDOWN, PM_REMOVE | PM_QS_INPUT);
    model_.stopRun();
  }
  if (PeekMessageW(&msg, hwnd_, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_NOREMOVE | PM_QS_INPUT) &&
      msg.wParam == HTCLOSE) {
    PeekMessageW(&msg, hwnd_, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE | PM_QS_INPUT);
    closePending_ = true;
    model_.stopRun(true);
  }
  while (PeekMessageW(&msg, nullptr, 0, 0,
                      PM_REMOVE | PM_QS_PAINT | PM_QS_POSTMESSAGE | PM_QS_SENDMESSAGE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    DispatchMessageW(&msg);
  }
}

void MainWindowView::showMessage(const std::string& text) {
  MessageBoxW(hwnd_, displayText(text, true).c_str(),
              displayText(mainWindowGeometry().caption, false).c_str(), MB_OK);
}

void MainWindowView::showFolder(const std::filesystem::path& folder) {
  ShellExecuteW(hwnd_, L"open", folder.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// The system's file dialog for one file: to open (it must exist) or to save
// (asking before replacing one); none when the user cancels.
std::optional<std::string> MainWindowView::chooseFile(const wchar_t* title, const wchar_t* filter,
                                                      const wchar_t* suggested, bool save) {
  wchar_t file[32768] = L"";
  wcsncpy(file, suggested, 64);
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = hwnd_;
  dialog.lpstrFilter = filter;
  dialog.lpstrFile = file;
  dialog.nMaxFile = sizeof file / sizeof file[0];
  dialog.lpstrTitle = title;
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR |
                 (save ? OFN_OVERWRITEPROMPT : OFN_FILEMUSTEXIST);
  if (save) dialog.lpstrDefExt = L"csv";
  if (!(save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog))) return std::nullopt;
  return utf8FromWide(file);
}

std::optional<std::string> MainWindowView::chooseReportFile() {
  return chooseFile(L"导出结果", L"CSV 文件 (*.csv)\0*.csv\0", L"结果.csv", true);
}

std::optional<std::string> MainWindowView::chooseRulesFile() {
  return chooseFile(L"规则列表",
                    L"规则文件 (*.txt;*.csv;*.tsv;*.xls;*.xlsx)\0*.txt;*.csv;*.tsv;*.xls;*.xlsx\0"
                    L"所有文件 (*.*)\0*.*\0",
                    L"", false);
}

bool MainWindowView::confirm(const std::string& question) {
  return MessageBoxW(hwnd_, displayText(question, true).c_str(),
                     displayText(mainWindowGeometry().caption, false).c_str(),
                     MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) == IDYES;
}

HWND MainWindowView::createForm3(const Form3& form) {
  registerClass(instance_, kForm3Class, form3Proc, nullptr);
  const WindowGeometry& window = contactWindowGeometry();
  // A modal frame: no icon of its own in the caption.
  HWND hwnd = CreateWindowExW(
      WS_EX_DLGMODALFRAME, kForm3Class, displayText(form.caption, false).c_str(),
      WS_POPUP | WS_CAPTION | WS_SYSMENU, 0, 0, 100, 100, hwnd_, nullptr, instance_, nullptr);
  for (const ControlGeometry& geometry : window.controls) {
    const bool image = geometry.kind == ControlKind::Image;
    const int w = pixels(geometry.width, dpi_), h = pixels(geometry.height, dpi_);
    HWND child =
        CreateWindowExW(0, L"STATIC", image ? L"" : displayText(form.label1, false).c_str(),
                        WS_CHILD | WS_VISIBLE | (image ? SS_BITMAP : SS_LEFT | SS_NOPREFIX),
                        pixels(geometry.left, dpi_), pixels(geometry.top, dpi_), w, h, hwnd,
                        nullptr, instance_, nullptr);
    if (image) {
      picture_ = loadPicture(instance_, w, h);
      SendMessageW(child, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(picture_));
      SetWindowPos(child, nullptr, 0, 0, w, h, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    } else {
      form3Font_ = messageFont(dpi_);
      SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(form3Font_), FALSE);
    }
  }
  setClientSize(hwnd, pixels(window.clientWidth, dpi_), pixels(window.clientHeight, dpi_), dpi_,
                nullptr);
  centreOnMonitor(hwnd);
  return hwnd;
}

LRESULT CALLBACK MainWindowView::form3Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_CLOSE) {
    // Kept for the next time: the owner is enabled first, so it and not
    // another program gets the activation back.
    EnableWindow(GetWindow(hwnd, GW_OWNER), TRUE);
    ShowWindow(hwnd, SW_HIDE);
    return 0;
  }
  return DefWindowProcW(hwnd, message, wParam, lParam);
}

void MainWindowView::showForm3(Form3& form) {
  if (form3_ == nullptr) form3_ = createForm3(form);
  EnableWindow(hwnd_, FALSE);
  ShowWindow(form3_, SW_SHOW);
  SetForegroundWindow(form3_);
  MSG msg;
  while (IsWindowVisible(form3_)) {
    if (GetMessageW(&msg, nullptr, 0, 0) <= 0) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      break;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  EnableWindow(hwnd_, TRUE);
  SetActiveWindow(hwnd_);
}

void MainWindowView::runStarted() {
  running_ = true;
  savedCursor_ = SetCursor(LoadCursorW(nullptr, MAKEINTRESOURCEW(32514)));  // IDC_WAIT
  answerSystem();
}

bool MainWindowView::ownWindow(HWND window) const {
  return window == hwnd_ || IsChild(hwnd_, window);
}

void MainWindowView::runProgress(std::size_t current, std::size_t total) {
  const std::wstring caption = displayText(mainWindowGeometry().caption, false) + L" — " +
                               std::to_wstring(current) + L"/" + std::to_wstring(total);
  SetWindowTextW(hwnd_, caption.c_str());
}

void MainWindowView::runEnded() {
  running_ = false;
  SetWindowTextW(hwnd_, displayText(mainWindowGeometry().caption, false).c_str());
  SetCursor(savedCursor_);
  if (closePending_) {
    closePending_ = false;
    PostMessageW(hwnd_, WM_CLOSE, 0, 0);
  }
}

}  // namespace ui::win32
