// Form1 on screen with Win32 controls (wide API only): every control built
// from the layout table; every user action forwarded to the model, every
// model change read back. No behaviour of its own.
#pragma once

#include <windows.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "ui/layout.h"
#include "ui/main_window.h"
#include "ui/win32/system_helpers.h"

namespace ui::win32 {

// Menu command identifiers: the two top-level entries, then 工具's.
inline constexpr UINT kMenuGy = 101;
inline constexpr UINT kMenuDas = 102;
inline constexpr UINT kMenuPreview = 110;
inline constexpr UINT kMenuJournalFolder = 111;
inline constexpr UINT kMenuSubfolders = 112;
inline constexpr UINT kMenuRulesList = 113;
inline constexpr UINT kMenuClearRulesList = 114;
inline constexpr UINT kMenuExportResults = 115;
inline constexpr UINT kMenuBackupOriginals = 116;
inline constexpr UINT kMenuUndoLastRun = 117;

// Window classes, for tests and tools that look the windows up.
inline constexpr const wchar_t* kForm1Class = L"RavelskForm1";
inline constexpr const wchar_t* kForm3Class = L"RavelskForm3";

class MainWindowView : public FormView {
 public:
  // Creates the window hidden, its controls at the window's DPI.
  explicit MainWindowView(Form1& model, HINSTANCE instance = GetModuleHandleW(nullptr));
  ~MainWindowView() override;
  MainWindowView(const MainWindowView&) = delete;
  MainWindowView& operator=(const MainWindowView&) = delete;

  // Shows the window centred on its monitor.
  void show();

  HWND window() const { return hwnd_; }
  // The control of the layout table by its name; nullptr for none.
  HWND control(std::string_view name) const;
  UINT dpi() const { return dpi_; }

  // Called by the message loop for each message before it is dispatched:
  // true when the view handled it (Tab and Shift+Tab along the window's tab
  // order, Enter in the folder list), and it must not be dispatched.
  bool preTranslate(const MSG& msg);

  // FormView
  void showMessage(const std::string& text) override;
  bool confirm(const std::string& question) override;
  void showFolder(const std::filesystem::path& folder) override;
  std::optional<std::string> chooseRulesFile() override;
  std::optional<std::string> chooseReportFile() override;
  void showForm3(Form3& form) override;
  void text3Appended(const std::string& line) override;
  void refresh() override;
  void runStarted() override;
  void runEnded() override;
  void runProgress(std::size_t current, std::size_t total) override;

 private:
  static LRESULT CALLBACK form1Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK form3Proc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
  void command(UINT id, UINT code, HWND from);

  void createControls();
  // At dpi; moved to topLeft when given (the system suggests where).
  void layout(UINT dpi, const POINT* topLeft = nullptr);
  void fitComboHeight(HWND combo, int height);
  void focusNext(bool backwards);
  void moveFocus(HWND to);
  void openSelectedFolder();
  void refreshLists();
  void showEditText(HWND box, const std::string& text);
  void answerSystem();
  std::optional<std::string> chooseFile(const wchar_t* title, const wchar_t* filter,
                                        const wchar_t* suggested, bool save);
  // The main window or one of its controls.
  bool ownWindow(HWND window) const;
  HWND createForm3(const Form3& form);

  Form1& model_;
  HINSTANCE instance_;
  HWND hwnd_ = nullptr;
  HWND form3_ = nullptr;
  HFONT font_ = nullptr;
  HFONT form3Font_ = nullptr;
  HBITMAP picture_ = nullptr;
  HBRUSH label2Brush_ = nullptr;
  HCURSOR savedCursor_ = nullptr;
  HWND lastFocus_ = nullptr;
  UINT dpi_ = 96;
  std::map<std::string, HWND, std::less<>> controls_;
  std::vector<HWND> tabOrder_;
  std::vector<std::string> dirPaths_;  // the folder of each row of Dir1
  std::size_t text3Shown_ = 0;         // bytes of the model's Text3 on screen
  bool syncing_ = false;               // the view is writing the model's state into controls
  bool movingFocus_ = false;           // the view is moving the focus itself
  bool running_ = false;               // a batch run is in progress
  bool closePending_ = false;          // closed during a run: closes once it ends
};

}  // namespace ui::win32
