#pragma once
// The station on Windows, in plain Win32: a top-level window of its own with
// the choices, Start and Stop, the counters and the slots in a list-view,
// driven by the same station logic as the Linux window.

#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "app/station_logic.h"
#include "app/window_win32.h"

// Control identifiers; a test finds the controls by them.
enum StationControlId {
  IdStationImageLabel = 300,
  IdStationImage,
  IdStationImageBrowse,
  IdStationProfileLabel,
  IdStationProfile,
  IdStationProfileBrowse,
  IdStationLogLabel,
  IdStationLog,
  IdStationLogBrowse,
  IdStationStart,
  IdStationStop,
  IdStationGood,
  IdStationFailed,
  IdStationStatus,
  IdStationList,
};

inline constexpr wchar_t StationWindowClass[] = L"TStation";
inline constexpr wchar_t StationWindowTitle[] = L"Станция";

class TStationWindow : private StationView {
 public:
  TStationWindow() = default;
  TStationWindow(const TStationWindow&) = delete;
  TStationWindow& operator=(const TStationWindow&) = delete;

  // Shows the window, made on first use (the slots of an earlier run are
  // shown again), or brings it forward. false when it could not be made.
  bool Open(HINSTANCE instance, int show);
  // Opens it with these choices made and starts the run, as a shortcut of the
  // line PC asks; a choice that cannot be honoured is told and nothing starts.
  bool OpenAndStart(HINSTANCE instance, int show, const StationChoices& choices);
  HWND Handle() const { return window_; }
  // Tab, Shift+Tab and the mnemonics within the window, as in a dialog: true
  // when the message was taken.
  bool DialogMessage(MSG& msg);

 private:
  static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  LRESULT OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void CreateControls();
  HWND Control(const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle, int id);
  HWND Item(int id) const { return GetDlgItem(window_, id); }
  int Px(int pixels) const { return MulDiv(pixels, static_cast<int>(dpi_), 96); }
  void UseDpi(UINT dpi);
  void Layout();
  void StartClick();
  void Browse(int editId, const wchar_t* filter, bool save);
  LRESULT DrawRow(NMLVCUSTOMDRAW* draw) const;

  // StationView
  void ShowSlot(size_t index, const StationSlot& slot, bool inserted) override;
  void ShowCounts(int32_t good, int32_t failed) override;
  void ShowRunState(RunState state) override;
  void ShowMessage(const std::string& text, const std::string& reason) override;
  bool AskStopForClose() override;
  void StartTicking() override;
  void StopTicking() override;
  void CloseWindow() override;

  StationLogic logic_{*this, StationWorkerProgram()};
  HINSTANCE instance_ = nullptr;
  HWND window_ = nullptr;
  // The session's end waits while a converter may be in its update mode.
  WindowManners manners_{L"Станция обслуживает преобразователи."};
  HFONT font_ = nullptr;
  UINT dpi_ = 96;
  RunState runState_ = Idle;
  std::vector<StationSlot::State> rowStates_;  // each row's state, for its colour
  std::vector<std::wstring> messages_;  // message boxes still to show
  // The options of the command line that no box shows (--plan, --journal).
  StationChoices fixedChoices_;
};
