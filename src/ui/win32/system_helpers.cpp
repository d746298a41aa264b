#include "ui/win32/system_helpers.h"

#include <wincodec.h>

#include "text/system_text.h"
#include "text/text_encoding.h"
#include "ui/win32/resource.h"

namespace ui::win32 {

namespace {

// Entry points of newer systems, looked up so the program still starts on
// Windows 7, where the system DPI applies to every window.
template <typename F>
F user32(const char* name) {
  FARPROC proc = GetProcAddress(GetModuleHandleW(L"user32.dll"), name);
  return reinterpret_cast<F>(reinterpret_cast<void (*)()>(proc));
}

template <typename T>
void release(T*& com) {
  if (com != nullptr) com->Release();
  com = nullptr;
}

}  // namespace

UINT systemDpi() {
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

UINT windowDpi(HWND hwnd) {
  static const auto getDpiForWindow = user32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  const UINT dpi = getDpiForWindow != nullptr ? getDpiForWindow(hwnd) : 0;
  return dpi != 0 ? dpi : systemDpi();
}

HFONT messageFont(UINT dpi) {
  static const auto forDpi =
      user32<BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT)>("SystemParametersInfoForDpi");
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  if (forDpi == nullptr || !forDpi(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0, dpi)) {
    SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    metrics.lfMessageFont.lfHeight = MulDiv(metrics.lfMessageFont.lfHeight, static_cast<int>(dpi),
                                            static_cast<int>(systemDpi()));
  }
  return CreateFontIndirectW(&metrics.lfMessageFont);
}

SIZE outerSize(HWND hwnd, int width, int height, UINT dpi) {
  static const auto forDpi =
      user32<BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  RECT rect{0, 0, width, height};
  const auto style = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_STYLE));
  const auto exStyle = static_cast<DWORD>(GetWindowLongPtrW(hwnd, GWL_EXSTYLE));
  const BOOL menu = GetMenu(hwnd) != nullptr;
  if (forDpi == nullptr || !forDpi(&rect, style, menu, exStyle, dpi)) {
    AdjustWindowRectEx(&rect, style, menu, exStyle);
  }
  return {rect.right - rect.left, rect.bottom - rect.top};
}

// Gives the window a client area of exactly the given size (the menu bar may
// take more than the one line the system's sum allows for).
void setClientSize(HWND hwnd, int width, int height, UINT dpi, const POINT* topLeft) {
  SIZE outer = outerSize(hwnd, width, height, dpi);
  UINT flags = SWP_NOZORDER | SWP_NOACTIVATE | (topLeft == nullptr ? SWP_NOMOVE : 0);
  const int x = topLeft != nullptr ? topLeft->x : 0, y = topLeft != nullptr ? topLeft->y : 0;
  SetWindowPos(hwnd, nullptr, x, y, outer.cx, outer.cy, flags);
  RECT client;
  GetClientRect(hwnd, &client);
  const int dx = width - client.right, dy = height - client.bottom;
  if (dx != 0 || dy != 0) {
    SetWindowPos(hwnd, nullptr, 0, 0, outer.cx + dx, outer.cy + dy,
                 SWP_NOZORDER | SWP_NOACTIVATE | SWP_NOMOVE);
  }
}

void centreOnMonitor(HWND hwnd) {
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  GetMonitorInfoW(MonitorFromWindow(hwnd, MONITOR_DEFAULTTOPRIMARY), &monitor);
  RECT window;
  GetWindowRect(hwnd, &window);
  const RECT& work = monitor.rcWork;
  const int x = work.left + (work.right - work.left - (window.right - window.left)) / 2;
  const int y = work.top + (work.bottom - work.top - (window.bottom - window.top)) / 2;
  SetWindowPos(hwnd, nullptr, std::max(x, static_cast<int>(work.left)),
               std::max(y, static_cast<int>(work.top)), 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::wstring windowText(HWND hwnd) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(hwnd)) + 1, L'\0');
  text.resize(
      static_cast<std::size_t>(GetWindowTextW(hwnd, text.data(), static_cast<int>(text.size()))));
  return text;
}

COLORREF colorOf(const Rgb& rgb) {
  return RGB(rgb.r, rgb.g, rgb.b);
}

HBITMAP loadPicture(HINSTANCE instance, int width, int height) {
  HRSRC found = FindResourceW(instance, MAKEINTRESOURCEW(IDR_CONTACT), MAKEINTRESOURCEW(10));
  if (found == nullptr || width <= 0 || height <= 0) return nullptr;
  auto* data = static_cast<BYTE*>(LockResource(LoadResource(instance, found)));
  const DWORD size = SizeofResource(instance, found);
  IWICImagingFactory* factory = nullptr;
  IWICStream* stream = nullptr;
  IWICBitmapDecoder* decoder = nullptr;
  IWICBitmapFrameDecode* frame = nullptr;
  IWICBitmapScaler* scaler = nullptr;
  IWICFormatConverter* converter = nullptr;
  HBITMAP bitmap = nullptr;
  const UINT w = static_cast<UINT>(width), h = static_cast<UINT>(height);
  const UINT stride = (w * 3 + 3) & ~3u;
  BITMAPINFO info{};
  info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 24, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  if (SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER,
                                 IID_PPV_ARGS(&factory))) &&
      SUCCEEDED(factory->CreateStream(&stream)) &&
      SUCCEEDED(stream->InitializeFromMemory(data, size)) &&
      SUCCEEDED(factory->CreateDecoderFromStream(stream, nullptr, WICDecodeMetadataCacheOnDemand,
                                                 &decoder)) &&
      SUCCEEDED(decoder->GetFrame(0, &frame)) && SUCCEEDED(factory->CreateBitmapScaler(&scaler)) &&
      SUCCEEDED(scaler->Initialize(frame, w, h, WICBitmapInterpolationModeFant)) &&
      SUCCEEDED(factory->CreateFormatConverter(&converter)) &&
      SUCCEEDED(converter->Initialize(scaler, GUID_WICPixelFormat24bppBGR, WICBitmapDitherTypeNone,
                                      nullptr, 0, WICBitmapPaletteTypeCustom))) {
    bitmap = CreateDIBSection(nullptr, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap != nullptr &&
        FAILED(converter->CopyPixels(nullptr, stride, stride * h, static_cast<BYTE*>(bits)))) {
      DeleteObject(bitmap);
      bitmap = nullptr;
    }
  }
  release(converter);
  release(scaler);
  release(frame);
  release(decoder);
  release(stream);
  release(factory);
  return bitmap;
}

void registerClass(HINSTANCE instance, const wchar_t* name, WNDPROC proc, HICON icon) {
  WNDCLASSEXW cls{};
  if (GetClassInfoExW(instance, name, &cls)) return;
  cls.cbSize = sizeof cls;
  cls.lpfnWndProc = proc;
  cls.hInstance = instance;
  cls.hIcon = icon;
  cls.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
  cls.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  cls.lpszClassName = name;
  RegisterClassExW(&cls);
}

int pixels(int twips, UINT dpi) {
  return MulDiv(twips, static_cast<int>(dpi), 1440);
}

std::wstring displayText(std::string_view text, bool breakLines) {
  std::wstring wide = text::wideFromUtf8(text::displayName(text));
  if (!breakLines) return wide;
  std::wstring out;
  out.reserve(wide.size());
  for (std::size_t i = 0; i < wide.size(); ++i) {
    if (wide[i] == L'\r' || wide[i] == L'\n') {
      out += L"\r\n";
      if (wide[i] == L'\r' && i + 1 < wide.size() && wide[i + 1] == L'\n') ++i;
    } else {
      out += wide[i];
    }
  }
  return out;
}

}  // namespace ui::win32
