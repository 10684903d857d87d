#include "app/form_view_win32.h"

#include <commctrl.h>

#include "app/window_win32.h"

#include "ops/firmware_upload.h"
#include "ops/messages.h"
#include "platform/text_win32.h"

namespace {

constexpr UINT_PTR kTimer1 = 1;
constexpr UINT kTimer1IntervalMs = 1000;
constexpr int kListRowHeight = 13;
constexpr int kClientWidth = 447;  // the client area of a 455 x 324 window with a classic frame
constexpr int kClientHeight = 297;
constexpr int kProgressWidth = 340;
constexpr int kProgressHeight = 102;
constexpr DWORD kMainStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr wchar_t kPanelClass[] = L"TPanel";
constexpr wchar_t kTitle[] = L"Программа настройки";
constexpr wchar_t kCloseAfterUpdate[] = L"Окно закроется после окончания обновления.";

TMainForm* FormOf(HWND window) { return reinterpret_cast<TMainForm*>(GetWindowLongPtrW(window, GWLP_USERDATA)); }

}  // namespace

bool TMainForm::Create(HINSTANCE instance, int show, const std::string& port) {
  instance_ = instance;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_PROGRESS_CLASS};
  InitCommonControlsEx(&controls);

  WNDCLASSEXW main{};
  main.cbSize = sizeof main;
  main.lpfnWndProc = MainProc;
  main.hInstance = instance;
  main.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  main.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));  // the program's icon, drawn at build time
  main.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  main.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  main.lpszClassName = MainFormClass;
  WNDCLASSEXW panel = main;
  panel.lpfnWndProc = PanelProc;
  panel.lpszClassName = kPanelClass;
  WNDCLASSEXW progress = main;
  progress.lpfnWndProc = ProgressProc;
  progress.lpszClassName = UploadProgressClass;
  if (RegisterClassExW(&main) == 0 || RegisterClassExW(&panel) == 0 || RegisterClassExW(&progress) == 0)
    return false;

  // At the form's place and size on the main monitor; the controls come at
  // the DPI of the monitor the window is on (WM_CREATE), and the frame follows.
  const UINT screenDpi = WindowScreenDpi();
  const auto scaled = [screenDpi](int pixels) { return MulDiv(pixels, static_cast<int>(screenDpi), 96); };
  SIZE frame = WindowFrameSize(scaled(kClientWidth), scaled(kClientHeight), kMainStyle, WS_EX_CONTROLPARENT, screenDpi);
  window_ = CreateWindowExW(WS_EX_CONTROLPARENT, MainFormClass, kTitle, kMainStyle, scaled(350), scaled(205), frame.cx,
                            frame.cy, nullptr, nullptr, instance, this);
  if (window_ == nullptr) return false;
  if (dpi_ != screenDpi) {
    frame = WindowFrameSize(Px(kClientWidth), Px(kClientHeight), kMainStyle, WS_EX_CONTROLPARENT, dpi_);
    SetWindowPos(window_, nullptr, 0, 0, frame.cx, frame.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(window_, show);
  UpdateWindow(window_);
  logic_.fixedPort = port;
  logic_.FormShow();
  return true;
}

HWND TMainForm::Control(HWND parent, const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle,
                        int x, int y, int width, int height, int id) {
  HWND control = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, Px(x), Px(y), Px(width),
                                 Px(height), parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_,
                                 nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  if (parent == window_ || parent == panel_) placed_.push_back({control, RECT{x, y, x + width, y + height}});
  return control;
}

// The font and every control's place at a new DPI.
void TMainForm::UseDpi(UINT dpi) {
  dpi_ = dpi;
  const HFONT old = font_;
  font_ = WindowFormFont(dpi);
  for (const Placed& p : placed_) {
    SetWindowPos(p.control, nullptr, Px(p.form.left), Px(p.form.top), Px(p.form.right - p.form.left),
                 Px(p.form.bottom - p.form.top), SWP_NOZORDER | SWP_NOACTIVATE);
    SendMessageW(p.control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  }
  if (progress_ != nullptr)
    for (HWND child = GetWindow(progress_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
      SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  if (old != nullptr) DeleteObject(old);
  FitCaptions();
}

void TMainForm::FitCaptions() {
  for (int id : {IdPortEditLabel, IdBaudRateLabel, IdLabel1, IdLabel2}) WindowFitCaption(Item(id), font_, 0);
  for (int id : {IdStop, IdEcho}) WindowFitCaption(Item(id), font_, WindowMenuCheckWidth(dpi_) + Px(6));
  for (int id : {IdLB, IdBits}) SendMessageW(Item(id), LB_SETITEMHEIGHT, 0, Px(kListRowHeight));
}

// In the order of the form's tab table; a control inside the panel is a child
// of it, so disabling the panel takes them all out of reach.
void TMainForm::CreateControls() {
  const HWND w = window_;
  Control(w, L"STATIC", L"Доступный порт", 0, 0, 8, 8, 83, 13, IdPortEditLabel);
  Control(w, L"EDIT", L"", WS_TABSTOP | ES_READONLY | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 8, 24, 273, 21, IdPortEdit);
  Control(w, L"BUTTON", L"Проверить связь", WS_TABSTOP | BS_PUSHBUTTON, 0, 288, 32, 137, 25, IdConnButton);
  panel_ = Control(w, kPanelClass, L"", WS_TABSTOP, WS_EX_CONTROLPARENT, 8, 64, 417, 209, IdPanel);
  Control(w, L"BUTTON", L"Прошивка", WS_TABSTOP | BS_PUSHBUTTON, 0, 288, 8, 137, 25, IdButton1);
  // Below the panel, where the form has nothing: its own controls, places and
  // tab order stay as they are.
  Control(w, L"BUTTON", WideFromUtf8(MsgStationButton).c_str(), WS_TABSTOP | BS_PUSHBUTTON, 0, 288, 276, 137, 19,
          IdStationButton);

  const HWND p = panel_;
  Control(p, L"STATIC", L"Скорость обмена 485 <-> ТП", 0, 0, 8, 16, 146, 13, IdBaudRateLabel);
  Control(p, L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, 8, 32, 169, 21, IdBaudRate);
  const DWORD list = WS_TABSTOP | WS_VSCROLL | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT;
  const HWND lb = Control(p, L"LISTBOX", L"", list, WS_EX_CLIENTEDGE, 8, 72, 65, 73, IdLB);
  const HWND bits = Control(p, L"LISTBOX", L"", list, WS_EX_CLIENTEDGE, 88, 72, 89, 73, IdBits);
  Control(p, L"BUTTON", L"2 стоп-бита", WS_TABSTOP | BS_AUTOCHECKBOX, 0, 192, 72, 97, 17, IdStop);
  Control(p, L"BUTTON", L"Подавление эхо ТП", WS_TABSTOP | BS_AUTOCHECKBOX, 0, 192, 32, 153, 17, IdEcho);
  Control(p, L"BUTTON", L"Записать", WS_TABSTOP | BS_PUSHBUTTON, 0, 328, 168, 75, 25, IdSave);
  Control(p, L"STATIC", L"Чётность", 0, 0, 8, 56, 48, 13, IdLabel1);
  Control(p, L"STATIC", L"Длина посылки", 0, 0, 88, 56, 80, 13, IdLabel2);
  for (const wchar_t* row : {L"None", L"Even", L"Odd", L"Mark", L"Space"})
    SendMessageW(lb, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row));
  for (const wchar_t* row : {L"8", L"7", L"9"}) SendMessageW(bits, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(row));
  FitCaptions();
  EnablePanel(false);
}

HWND TMainForm::Item(int id) const {
  HWND found = GetDlgItem(window_, id);
  return found != nullptr ? found : GetDlgItem(panel_, id);
}

LRESULT CALLBACK TMainForm::MainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* form = static_cast<TMainForm*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    form->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(form));
  }
  TMainForm* form = FormOf(window);
  return form != nullptr ? form->OnMessage(message, wParam, lParam) : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TMainForm::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  // As a dialog does: the focus comes back to where it was after a message
  // box; and the session's end waits during an update.
  if (LRESULT result = 0; manners_.Handle(window_, message, wParam, result)) return result;
  switch (message) {
    case WM_CREATE:
      dpi_ = WindowDpiOf(window_);
      font_ = WindowFormFont(dpi_);
      CreateControls();
      logic_.FormCreate();
      WindowOpened();
      return 0;
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED) {
        switch (LOWORD(wParam)) {
          case IdConnButton: logic_.ConnButtonClick(); return 0;
          case IdSave: logic_.SaveClick(); return 0;
          case IdButton1: logic_.Button1Click(); return 0;
          case IdStationButton:
            if (openStation) openStation();
            return 0;
          default: break;
        }
      }
      break;
    case WM_TIMER:
      if (wParam == kTimer1) logic_.Timer1Timer();
      return 0;
    // "End task" and the close box during an update: the converter has no way
    // to abandon an update, so the window closes when it is over.
    case WM_CLOSE:
      if (progress_ != nullptr) {
        closeAfterUpdate_ = true;
        SetWindowTextW(GetDlgItem(progress_, IdProgressNote), kCloseAfterUpdate);
        return 0;
      }
      break;
    // Moved to a monitor of another DPI, or its DPI changed: the form at the
    // new scale, in the place Windows suggests.
    case WM_DPICHANGED:
      UseDpi(HIWORD(wParam));
      WindowTakeSuggestedPlace(window_, lParam);
      return 0;
    case WM_SETCURSOR:
      if (waitCursor_) {
        SetCursor(LoadCursorW(nullptr, IDC_WAIT));
        return TRUE;
      }
      break;
    case WM_DESTROY:
      WindowClosed();
      return 0;
    default: break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

// The panel: a raised frame around its controls, whose notifications go on to
// the window.
LRESULT CALLBACK TMainForm::PanelProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_COMMAND:
    case WM_CTLCOLORSTATIC:
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORBTN:
    case WM_SETCURSOR:
      return SendMessageW(GetParent(window), message, wParam, lParam);
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT area;
      GetClientRect(window, &area);
      DrawEdge(dc, &area, BDR_RAISEDOUTER | BDR_SUNKENINNER, BF_RECT);
      EndPaint(window, &paint);
      return 0;
    }
    default: break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

// The progress window of an update cannot be closed: the converter has no way
// to abandon an update half-way.
LRESULT CALLBACK TMainForm::ProgressProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE: return 0;
    case WM_SETCURSOR: {
      HWND owner = GetWindow(window, GW_OWNER);
      if (owner != nullptr) return SendMessageW(owner, message, wParam, lParam);
      break;
    }
    default: break;
  }
  return DefWindowProcW(window, message, wParam, lParam);
}

bool TMainForm::QuitRequested(int* code) const {
  *code = quitCode_;
  return quitRequested_;
}

bool TMainForm::DialogMessage(MSG& msg) {
  if (window_ == nullptr || !IsWindow(window_) || (msg.hwnd != window_ && !IsChild(window_, msg.hwnd))) return false;
  return IsDialogMessageW(window_, &msg) != FALSE;
}

void TMainForm::PumpMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    // Kept for the main loop, once the handler is over: posted again now, it
    // would wake every wait at once and the waits would spin.
    if (msg.message == WM_QUIT) {
      quitRequested_ = true;
      quitCode_ = static_cast<int>(msg.wParam);
      continue;
    }
    if (!IsDialogMessageW(window_, &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
}

// A control that is disabled while it has the focus would leave the focus
// nowhere: it moves on to the next control in the tab order first.
void TMainForm::FocusAwayFrom(HWND leaving) {
  const HWND focus = GetFocus();
  if (focus == nullptr || (focus != leaving && !IsChild(leaving, focus))) return;
  const HWND next = GetNextDlgTabItem(window_, leaving, FALSE);
  if (next != nullptr && next != leaving && !IsChild(leaving, next)) SetFocus(next);
}

std::string TMainForm::PortText() { return WindowNarrow(WindowText(Item(IdPortEdit)), CP_ACP); }

void TMainForm::SetPortText(const std::string& text) { SetWindowTextW(Item(IdPortEdit), WideFromUtf8(text).c_str()); }

void TMainForm::EnablePanel(bool on) {
  if (!on) FocusAwayFrom(panel_);
  EnableWindow(panel_, on ? TRUE : FALSE);
  for (HWND child = GetWindow(panel_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    EnableWindow(child, on ? TRUE : FALSE);  // so they also look out of reach
}

void TMainForm::EnableCheckButton(bool on) {
  if (!on) FocusAwayFrom(Item(IdConnButton));
  EnableWindow(Item(IdConnButton), on ? TRUE : FALSE);
}

// No icon and one OK button, titled with the window's caption; owned by the
// progress window while an update shows it, so the main window stays disabled.
void TMainForm::ShowMessage(const std::string& text, const std::string& reason) {
  std::wstring body = WideFromUtf8(text);
  if (!reason.empty()) body += L"\n\n" + WideFromUtf8(reason);
  const HWND owner = progress_ != nullptr && IsWindowVisible(progress_) ? progress_ : window_;
  MessageBoxW(owner, body.c_str(), kTitle, MB_OK);
}

void TMainForm::UpdateProgress(UploadPhase phase, uint64_t sent, uint64_t total) {
  if (progress_ == nullptr) {
    RECT main;
    GetWindowRect(window_, &main);
    const DWORD style = WS_POPUP | WS_CAPTION;
    const SIZE frame = WindowFrameSize(Px(kProgressWidth), Px(kProgressHeight), style, 0, dpi_);
    const int width = frame.cx;
    const int height = frame.cy;
    progress_ = CreateWindowExW(0, UploadProgressClass, L"Прошивка", style,
                                (main.left + main.right - width) / 2, (main.top + main.bottom - height) / 2, width,
                                height, window_, nullptr, instance_, nullptr);
    Control(progress_, L"STATIC", L"", 0, 0, 12, 10, kProgressWidth - 24, 14, IdProgressPhase);
    Control(progress_, L"STATIC", L"", 0, 0, 12, 30, kProgressWidth - 24, 14, IdProgressCount);
    const HWND bar = Control(progress_, PROGRESS_CLASSW, L"", 0, 0, 12, 56, kProgressWidth - 24, 18, IdProgressBar);
    SendMessageW(bar, PBM_SETRANGE32, 0, 1000);
    Control(progress_, L"STATIC", L"", 0, 0, 12, 80, kProgressWidth - 24, 14, IdProgressNote);
    manners_.HoldShutdown(window_, true);
  }
  SetWindowTextW(GetDlgItem(progress_, IdProgressPhase), WideFromUtf8(UploadPhaseText(phase)).c_str());
  const std::wstring count = WideFromUtf8(MsgRecordsSent(sent, total));
  SetWindowTextW(GetDlgItem(progress_, IdProgressCount), count.c_str());
  SendMessageW(GetDlgItem(progress_, IdProgressBar), PBM_SETPOS, total > 0 ? static_cast<WPARAM>(sent * 1000 / total) : 0,
               0);
  PumpMessages();
  // The update tells the converter to leave its update mode right after
  // reporting this phase, and the window takes no message in between: from
  // the next message on, a session may end.
  if (phase == UploadFinishing) manners_.HoldShutdown(window_, false);
}

void TMainForm::ShowProgress(bool visible) {
  if (progress_ == nullptr) UpdateProgress(UploadEntering, 0, 0);
  if (visible) {
    manners_.RememberFocus(window_);  // disabling the window takes the focus away
    EnableWindow(window_, FALSE);  // modal: the user's input goes nowhere else
    ShowWindow(progress_, SW_SHOW);
    UpdateWindow(progress_);
  } else {
    EnableWindow(window_, TRUE);  // before hiding, so the main window gets the focus back
    ShowWindow(progress_, SW_HIDE);
  }
}

void TMainForm::CloseProgress() {
  if (progress_ == nullptr) return;
  manners_.HoldShutdown(window_, false);
  EnableWindow(window_, TRUE);
  DestroyWindow(progress_);
  progress_ = nullptr;
  if (closeAfterUpdate_) PostMessageW(window_, WM_CLOSE, 0, 0);
}

void TMainForm::SetWaitCursor(bool on) {
  waitCursor_ = on;
  SetCursor(LoadCursorW(nullptr, on ? IDC_WAIT : IDC_ARROW));
}

void TMainForm::StartTimer() {
  SetTimer(window_, kTimer1, kTimer1IntervalMs, nullptr);
  timerActive_ = true;
}

void TMainForm::StopTimer() {
  KillTimer(window_, kTimer1);
  timerActive_ = false;
}

bool TMainForm::TimerActive() { return timerActive_; }

SettingsView TMainForm::ReadSettings() {
  SettingsView view;
  view.baudRate = WindowNarrow(WindowText(Item(IdBaudRate)), CP_UTF8);
  view.parityRow = static_cast<int>(SendMessageW(Item(IdLB), LB_GETCURSEL, 0, 0));
  view.dataBitsRow = static_cast<int>(SendMessageW(Item(IdBits), LB_GETCURSEL, 0, 0));
  view.twoStopBits = SendMessageW(Item(IdStop), BM_GETCHECK, 0, 0) == BST_CHECKED;
  view.echoSuppression = SendMessageW(Item(IdEcho), BM_GETCHECK, 0, 0) == BST_CHECKED;
  return view;
}

void TMainForm::ShowSettings(const SettingsView& view) {
  SetWindowTextW(Item(IdBaudRate), WideFromUtf8(view.baudRate).c_str());
  SendMessageW(Item(IdEcho), BM_SETCHECK, view.echoSuppression ? BST_CHECKED : BST_UNCHECKED, 0);
  SendMessageW(Item(IdStop), BM_SETCHECK, view.twoStopBits ? BST_CHECKED : BST_UNCHECKED, 0);
  SendMessageW(Item(IdLB), LB_SETCURSEL, static_cast<WPARAM>(view.parityRow), 0);
  SendMessageW(Item(IdBits), LB_SETCURSEL, static_cast<WPARAM>(view.dataBitsRow), 0);
}

// Runs the window's messages until the time is up, so it keeps painting.
void TMainForm::WaitPainting(int32_t ms) {
  const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms);
  for (ULONGLONG now = GetTickCount64(); now < end; now = GetTickCount64()) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(end - now), QS_ALLINPUT);
    PumpMessages();
  }
}
