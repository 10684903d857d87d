#pragma once
// The utility's window on Windows, in plain Win32: the form's controls at
// their pixel places, driven by the same handlers as the Linux window.

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/form_logic.h"
#include "app/window_win32.h"

// Control identifiers; a test finds the controls by them.
enum FormControlId {
  IdPortEdit = 100,
  IdConnButton,
  IdPanel,
  IdButton1,
  IdBaudRate,
  IdLB,
  IdBits,
  IdStop,
  IdEcho,
  IdSave,
  IdLabel1,
  IdLabel2,
  IdPortEditLabel,
  IdBaudRateLabel,
  IdStationButton,
  IdProgressPhase = 200,
  IdProgressCount,
  IdProgressBar,
  IdProgressNote,
};

inline constexpr wchar_t MainFormClass[] = L"TMainForm";
inline constexpr wchar_t UploadProgressClass[] = L"TUploadProgress";

class TMainForm : private FormView {
 public:
  TMainForm() = default;
  TMainForm(const TMainForm&) = delete;
  TMainForm& operator=(const TMainForm&) = delete;

  // Registers the window classes, creates the window (FormCreate runs then),
  // shows it and runs FormShow, pointed at port when one is named (see
  // FormLogic::fixedPort). false when the window could not be made.
  bool Create(HINSTANCE instance, int show, const std::string& port = std::string());
  HWND Handle() const { return window_; }
  // True once the thread was told to quit while a handler waited (the
  // message loop then ends with code).
  bool QuitRequested(int* code) const;
  // The window's keys (Tab, the station's shortcut) for a message of it:
  // true when the message was taken.
  bool DialogMessage(MSG& msg);
  // Opens the station; set before Create.
  std::function<void()> openStation;

 private:
  static LRESULT CALLBACK MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static LRESULT CALLBACK ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  HWND Control(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle, int x,
               int y, int width, int height, int id);
  HWND Item(int id) const;
  int Px(int formPixels) const { return MulDiv(formPixels, static_cast<int>(dpi_), 96); }
  void UseDpi(UINT dpi);
  void FitCaptions();
  void PumpMessages();
  void FocusAwayFrom(HWND leaving);

  // FormView
  std::string PortText() override;
  void SetPortText(const std::string& text) override;
  void EnablePanel(bool on) override;
  void EnableCheckButton(bool on) override;
  void ShowMessage(const std::string& text, const std::string& reason) override;
  void UpdateProgress(UploadPhase phase, uint64_t sent, uint64_t total) override;
  void ShowProgress(bool visible) override;
  void CloseProgress() override;
  void SetWaitCursor(bool on) override;
  void StartTimer() override;
  void StopTimer() override;
  bool TimerActive() override;
  SettingsView ReadSettings() override;
  void ShowSettings(const SettingsView& view) override;
  void WaitPainting(int32_t ms) override;

  FormLogic logic_{*this};
  HINSTANCE instance_ = nullptr;
  HWND window_ = nullptr;
  HWND panel_ = nullptr;
  HWND progress_ = nullptr;
  // The session's end waits while the converter may still be in its update mode.
  WindowManners manners_{L"Идёт обновление прошивки преобразователя."};
  HFONT font_ = nullptr;
  // The form is laid out in its 96-dpi pixels and shown at the monitor's DPI:
  // each control of the window with its place in form pixels, placed again
  // when the window moves to a monitor of another DPI.
  struct Placed {
    HWND control;
    RECT form;
  };
  std::vector<Placed> placed_;
  UINT dpi_ = 96;
  bool timerActive_ = false;
  bool waitCursor_ = false;
  bool closeAfterUpdate_ = false;  // a close request came during the update
  bool quitRequested_ = false;
  int quitCode_ = 0;
};
