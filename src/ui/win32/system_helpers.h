// What the Win32 view asks of the system: the DPI of a window and of the
// screen, the message font, window sizes, text and colours, the contact
// picture and window classes.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

#include "ui/layout.h"

namespace ui::win32 {

// Pixels of a length in twips at a DPI, rounded to nearest.
int pixels(int twips, UINT dpi);

// The model's text as a Win32 control shows it: escaped bytes of file names
// U+FFFD; with breakLines every line end (CR LF, lone CR or LF) becomes CR LF.
std::wstring displayText(std::string_view text, bool breakLines);

UINT systemDpi();
// The window's own DPI where the system has one per window, else the system's.
UINT windowDpi(HWND hwnd);
// The system's message font at a DPI: a CJK font on a Chinese system.
HFONT messageFont(UINT dpi);
// The outer size of a window whose client area has the given size.
SIZE outerSize(HWND hwnd, int width, int height, UINT dpi);
// Gives the window a client area of exactly the given size, and moves it to
// topLeft when one is given.
void setClientSize(HWND hwnd, int width, int height, UINT dpi, const POINT* topLeft);
void centreOnMonitor(HWND hwnd);
std::wstring windowText(HWND hwnd);
COLORREF colorOf(const Rgb& rgb);
// The contact picture, decoded from the program's resources and scaled to
// the given size; nullptr when the system cannot decode it.
HBITMAP loadPicture(HINSTANCE instance, int width, int height);
// Registers a window class once; later calls do nothing.
void registerClass(HINSTANCE instance, const wchar_t* name, WNDPROC proc, HICON icon);

}  // namespace ui::win32
