#pragma once
// What the Win32 windows share: their font, their scaling to the monitor's
// DPI, and the texts of their controls in UTF-8.

#include <windows.h>

#include <string>

// A control's text.
std::wstring WindowText(HWND control);
// UTF-16 to a code page's text (CP_UTF8, CP_ACP).
std::string WindowNarrow(const std::wstring& wide, UINT codePage);

// Tahoma 8 pt at dpi: on every Windows since 2000 and in Wine, with Cyrillic.
HFONT WindowFormFont(UINT dpi);
// The DPI of the monitor the window is on (Windows 10 1607 on), else the
// system's, which is every monitor's before per-monitor DPI.
UINT WindowDpiOf(HWND window);
// The main monitor's DPI.
UINT WindowScreenDpi();
// A check box's box at dpi.
int WindowMenuCheckWidth(UINT dpi);
// The window's size for a client area of width x height at dpi.
SIZE WindowFrameSize(int width, int height, DWORD style, DWORD exStyle, UINT dpi);
// A label or check box grows to the right until its caption fits in font,
// with extra pixels beside it.
void WindowFitCaption(HWND control, HFONT font, int extra);

// Moved to a monitor of another DPI (WM_DPICHANGED, already scaled): the
// window takes the place and size Windows suggests in lParam.
void WindowTakeSuggestedPlace(HWND window, LPARAM suggested);

// What both windows do as a dialog does, for one window: the focus goes to a
// control, never to the window itself, and comes back to where it was; and
// while a converter may be in its update mode, the session's end waits, with
// the reason shown to the user.
class WindowManners {
 public:
  explicit WindowManners(const wchar_t* shutdownReason) : shutdownReason_(shutdownReason) {}
  // WM_ACTIVATE, WM_SETFOCUS and WM_QUERYENDSESSION of window's procedure:
  // true when taken, with the procedure's result.
  bool Handle(HWND window, UINT message, WPARAM wParam, LRESULT& result);
  void RememberFocus(HWND window);
  // The control that had the focus, or the first one the user reaches with Tab.
  void RestoreFocus(HWND window);
  void HoldShutdown(HWND window, bool on);
  bool HoldingShutdown() const { return holdingShutdown_; }
  void Forget();  // the window is gone

 private:
  const wchar_t* shutdownReason_;
  HWND focus_ = nullptr;  // the control that gets the focus back when the window is active again
  bool holdingShutdown_ = false;
};

// The program ends with its last window: each window says when it is made
// and when it is gone; the last one gone ends the message loop.
void WindowOpened();
void WindowClosed();
