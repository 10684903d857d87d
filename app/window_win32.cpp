#include "app/window_win32.h"

namespace {

// Calls of later systems, looked up by name so that the program still starts
// on Windows 7: null where the system has none.
template <class Function>
Function User32(const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

int openWindows = 0;

}  // namespace

void WindowOpened() { ++openWindows; }

void WindowClosed() {
  if (--openWindows == 0) PostQuitMessage(0);
}

std::wstring WindowText(HWND control) {
  std::wstring text(static_cast<size_t>(GetWindowTextLengthW(control)) + 1, L'\0');
  text.resize(static_cast<size_t>(GetWindowTextW(control, text.data(), static_cast<int>(text.size()))));
  return text;
}

std::string WindowNarrow(const std::wstring& wide, UINT codePage) {
  if (wide.empty()) return std::string();
  const int size =
      WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(codePage, 0, wide.data(), static_cast<int>(wide.size()), narrow.data(), size, nullptr, nullptr);
  return narrow;
}

HFONT WindowFormFont(UINT dpi) {
  return CreateFontW(-MulDiv(8, static_cast<int>(dpi), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH | FF_SWISS, L"Tahoma");
}

UINT WindowScreenDpi() {
  HDC dc = GetDC(nullptr);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(nullptr, dc);
  return static_cast<UINT>(dpi);
}

UINT WindowDpiOf(HWND window) {
  static const auto get = User32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  return get != nullptr ? get(window) : WindowScreenDpi();
}

int WindowMenuCheckWidth(UINT dpi) {
  static const auto get = User32<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
  return get != nullptr ? get(SM_CXMENUCHECK, dpi) : GetSystemMetrics(SM_CXMENUCHECK);
}

SIZE WindowFrameSize(int width, int height, DWORD style, DWORD exStyle, UINT dpi) {
  static const auto adjust = User32<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  RECT frame{0, 0, width, height};
  if (adjust != nullptr)
    adjust(&frame, style, FALSE, exStyle, dpi);
  else
    AdjustWindowRectEx(&frame, style, FALSE, exStyle);
  return SIZE{frame.right - frame.left, frame.bottom - frame.top};
}

// A caption in Tahoma runs a little wider than in the form's original font: a
// label or a check box grows to the right until its text fits, as a label
// sizing itself to its caption would.
void WindowFitCaption(HWND control, HFONT font, int extra) {
  const std::wstring text = WindowText(control);
  HDC dc = GetDC(control);
  const HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  RECT box;
  GetWindowRect(control, &box);
  const int width = size.cx + extra;
  if (width > box.right - box.left)
    SetWindowPos(control, nullptr, 0, 0, width, box.bottom - box.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void WindowTakeSuggestedPlace(HWND window, LPARAM suggested) {
  const RECT* place = reinterpret_cast<const RECT*>(suggested);
  SetWindowPos(window, nullptr, place->left, place->top, place->right - place->left, place->bottom - place->top,
               SWP_NOZORDER | SWP_NOACTIVATE);
}

bool WindowManners::Handle(HWND window, UINT message, WPARAM wParam, LRESULT& result) {
  switch (message) {
    case WM_ACTIVATE:
      if (LOWORD(wParam) == WA_INACTIVE)
        RememberFocus(window);
      else if (HIWORD(wParam) == 0)  // not minimised
        RestoreFocus(window);
      result = 0;
      return true;
    case WM_SETFOCUS:
      RestoreFocus(window);
      result = 0;
      return true;
    case WM_QUERYENDSESSION:
      if (!holdingShutdown_) return false;
      result = FALSE;
      return true;
    default: return false;
  }
}

void WindowManners::RememberFocus(HWND window) {
  const HWND focus = GetFocus();
  if (focus != nullptr && IsChild(window, focus)) focus_ = focus;
}

void WindowManners::RestoreFocus(HWND window) {
  HWND control = focus_;
  if (control == nullptr || !IsWindow(control) || !IsWindowEnabled(control) || !IsWindowVisible(control))
    control = GetNextDlgTabItem(window, nullptr, FALSE);
  if (control != nullptr) SetFocus(control);
}

void WindowManners::HoldShutdown(HWND window, bool on) {
  if (on == holdingShutdown_ || window == nullptr) return;
  holdingShutdown_ = on;
  if (on)
    ShutdownBlockReasonCreate(window, shutdownReason_);
  else
    ShutdownBlockReasonDestroy(window);
}

void WindowManners::Forget() {
  focus_ = nullptr;
  holdingShutdown_ = false;
}
