#include "app/station_view_win32.h"

#include <commctrl.h>
#include <commdlg.h>

#include "app/window_win32.h"
#include "ops/messages.h"
#include "platform/text_win32.h"

namespace {

constexpr UINT_PTR kTickTimer = 1;
constexpr UINT kShowMessage = WM_APP + 1;  // the next message box waiting
// The window at 96 dpi: its client area at start and at its smallest, the
// choices' rows, and the list below them taking the rest.
constexpr int kClientWidth = 760;
constexpr int kClientHeight = 380;
constexpr int kMinClientWidth = 480;
constexpr int kMinClientHeight = 220;
constexpr int kLabelWidth = 90;
constexpr int kBrowseWidth = 80;
constexpr int kListTop = 146;
constexpr DWORD kStyle = WS_OVERLAPPEDWINDOW;
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;
constexpr wchar_t kImageFilter[] = L"Прошивка (*.bin)\0*.bin\0Все файлы\0*.*\0";
constexpr wchar_t kProfileFilter[] = L"Профиль (*.json)\0*.json\0Все файлы\0*.*\0";
constexpr wchar_t kLogFilter[] = L"JSON Lines (*.jsonl)\0*.jsonl\0Все файлы\0*.*\0";
// Each column's width at 96 dpi, in the order of StationColumn.
constexpr int kColumnWidths[StationColumnCount] = {100, 140, 200, 70, 220};

TStationWindow* StationOf(HWND window) {
  return reinterpret_cast<TStationWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

std::string Utf8Of(HWND control) { return WindowNarrow(WindowText(control), CP_UTF8); }

// The colour a result is told in, besides its words.
COLORREF ResultColour(StationSlot::State state) {
  switch (state) {
    case StationSlot::Ok: return RGB(0, 128, 0);
    case StationSlot::Failed: return RGB(192, 0, 0);
    case StationSlot::Interrupted: return RGB(176, 96, 0);
    case StationSlot::NotInPlan: return RGB(96, 96, 96);
    case StationSlot::Running: break;
  }
  return GetSysColor(COLOR_WINDOWTEXT);
}

// The question's buttons in the window's language, whatever the system's:
// named when the box is about to be shown, the first window this thread
// activates after the hook is set.
HHOOK questionHook = nullptr;

LRESULT CALLBACK NameQuestionButtons(int code, WPARAM wParam, LPARAM lParam) {
  if (code == HCBT_ACTIVATE && questionHook != nullptr) {
    const HWND box = reinterpret_cast<HWND>(wParam);
    SetDlgItemTextW(box, IDYES, L"&Да");
    SetDlgItemTextW(box, IDNO, L"&Нет");
    UnhookWindowsHookEx(questionHook);
    questionHook = nullptr;
  }
  return CallNextHookEx(nullptr, code, wParam, lParam);
}

}  // namespace

bool TStationWindow::Open(HINSTANCE instance, int show) {
  if (window_ != nullptr) {
    ShowWindow(window_, SW_RESTORE);
    SetForegroundWindow(window_);
    return true;
  }
  instance_ = instance;
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_LISTVIEW_CLASSES};
  InitCommonControlsEx(&controls);
  WNDCLASSEXW station{};
  station.cbSize = sizeof station;
  station.lpfnWndProc = Proc;
  station.hInstance = instance;
  station.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  station.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
  station.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                  GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
  station.hbrBackground = GetSysColorBrush(COLOR_BTNFACE);
  station.lpszClassName = StationWindowClass;
  WNDCLASSEXW known{};
  if (GetClassInfoExW(instance, StationWindowClass, &known) == 0 && RegisterClassExW(&station) == 0) return false;

  // Sized for the main monitor; the controls come at the DPI of the monitor
  // the window is on (WM_CREATE), and the frame follows.
  const UINT screenDpi = WindowScreenDpi();
  const auto scaled = [screenDpi](int pixels) { return MulDiv(pixels, static_cast<int>(screenDpi), 96); };
  SIZE frame = WindowFrameSize(scaled(kClientWidth), scaled(kClientHeight), kStyle, kExStyle, screenDpi);
  if (CreateWindowExW(kExStyle, StationWindowClass, StationWindowTitle, kStyle, CW_USEDEFAULT, CW_USEDEFAULT, frame.cx,
                      frame.cy, nullptr, nullptr, instance, this) == nullptr)
    return false;
  if (dpi_ != screenDpi) {
    frame = WindowFrameSize(Px(kClientWidth), Px(kClientHeight), kStyle, kExStyle, dpi_);
    SetWindowPos(window_, nullptr, 0, 0, frame.cx, frame.cy, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  ShowWindow(window_, show);
  UpdateWindow(window_);
  return true;
}

bool TStationWindow::OpenAndStart(HINSTANCE instance, int show, const StationChoices& choices) {
  if (!Open(instance, show)) return false;
  fixedChoices_ = choices;
  SetWindowTextW(Item(IdStationImage), WideFromUtf8(choices.image).c_str());
  SetWindowTextW(Item(IdStationProfile), WideFromUtf8(choices.profile).c_str());
  SetWindowTextW(Item(IdStationLog), WideFromUtf8(choices.jsonLog).c_str());
  StartClick();
  return true;
}

bool TStationWindow::DialogMessage(MSG& msg) {
  if (window_ == nullptr || (msg.hwnd != window_ && !IsChild(window_, msg.hwnd))) return false;
  return IsDialogMessageW(window_, &msg) != FALSE;
}

HWND TStationWindow::Control(const wchar_t* className, const wchar_t* text, DWORD style, DWORD exStyle, int id) {
  HWND control = CreateWindowExW(exStyle, className, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, window_,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
  return control;
}

// In the tab order: the choices, Start and Stop, the slots. A label's
// mnemonic takes the focus to the box after it.
void TStationWindow::CreateControls() {
  const struct {
    const wchar_t* caption;
    int label;
  } choices[] = {{L"&Прошивка:", IdStationImageLabel}, {L"П&рофиль:", IdStationProfileLabel},
                 {L"&Журнал JSON:", IdStationLogLabel}};
  for (const auto& choice : choices) {
    Control(L"STATIC", choice.caption, 0, 0, choice.label);
    Control(L"EDIT", L"", WS_TABSTOP | ES_AUTOHSCROLL, WS_EX_CLIENTEDGE, choice.label + 1);
    Control(L"BUTTON", L"Выбрать…", WS_TABSTOP | BS_PUSHBUTTON, 0, choice.label + 2);
  }
  Control(L"BUTTON", L"П&уск", WS_TABSTOP | BS_PUSHBUTTON, 0, IdStationStart);
  Control(L"BUTTON", L"&Стоп", WS_TABSTOP | BS_PUSHBUTTON | WS_DISABLED, 0, IdStationStop);
  Control(L"STATIC", L"", SS_NOPREFIX, 0, IdStationGood);
  Control(L"STATIC", L"", SS_NOPREFIX, 0, IdStationFailed);
  Control(L"STATIC", L"", SS_NOPREFIX | SS_ENDELLIPSIS, 0, IdStationStatus);
  const HWND list = Control(WC_LISTVIEWW, L"Преобразователи",
                            WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL | LVS_SHOWSELALWAYS | LVS_NOSORTHEADER,
                            WS_EX_CLIENTEDGE, IdStationList);
  SendMessageW(list, LVM_SETEXTENDEDLISTVIEWSTYLE, 0, LVS_EX_FULLROWSELECT | LVS_EX_INFOTIP | LVS_EX_LABELTIP);
  for (int column = 0; column < StationColumnCount; ++column) {
    std::wstring title = WideFromUtf8(StationColumnTitle(static_cast<StationColumn>(column)));
    LVCOLUMNW header{};
    header.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
    header.pszText = title.data();
    header.cx = Px(kColumnWidths[column]);
    header.iSubItem = column;
    SendMessageW(list, LVM_INSERTCOLUMNW, static_cast<WPARAM>(column), reinterpret_cast<LPARAM>(&header));
  }
  ShowCounts(logic_.Good(), logic_.Failed());
  rowStates_.clear();
  const std::vector<StationSlot>& slots = logic_.Slots();
  for (size_t k = 0; k < slots.size(); ++k) ShowSlot(k, slots[k], true);
}

// Every control's place for the client area's size: the choices' boxes and
// the list take the width, the list the height.
void TStationWindow::Layout() {
  RECT area;
  GetClientRect(window_, &area);
  const int width = area.right;
  const int height = area.bottom;
  const int editLeft = Px(8 + kLabelWidth + 4);
  const int editWidth = width - editLeft - Px(8 + kBrowseWidth + 8);
  const auto place = [this](int id, int x, int y, int w, int h) {
    SetWindowPos(Item(id), nullptr, x, y, w > 0 ? w : 0, h > 0 ? h : 0, SWP_NOZORDER | SWP_NOACTIVATE);
  };
  for (int row = 0; row < 3; ++row) {
    const int id = IdStationImageLabel + 3 * row;
    const int top = 8 + 28 * row;
    place(id, Px(8), Px(top + 4), Px(kLabelWidth), Px(13));
    place(id + 1, editLeft, Px(top), editWidth, Px(21));
    place(id + 2, width - Px(8 + kBrowseWidth), Px(top - 1), Px(kBrowseWidth), Px(23));
  }
  place(IdStationStart, Px(8), Px(94), Px(90), Px(25));
  place(IdStationStop, Px(104), Px(94), Px(90), Px(25));
  place(IdStationGood, Px(210), Px(100), Px(110), Px(13));
  place(IdStationFailed, Px(330), Px(100), Px(130), Px(13));
  place(IdStationStatus, Px(8), Px(126), width - Px(16), Px(13));
  place(IdStationList, Px(8), Px(kListTop), width - Px(16), height - Px(kListTop + 8));
}

// The font, the places and the columns at a new DPI.
void TStationWindow::UseDpi(UINT dpi) {
  dpi_ = dpi;
  const HFONT old = font_;
  font_ = WindowFormFont(dpi);
  for (HWND child = GetWindow(window_, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
    SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), TRUE);
  for (int column = 0; column < StationColumnCount; ++column)
    SendMessageW(Item(IdStationList), LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column), Px(kColumnWidths[column]));
  if (old != nullptr) DeleteObject(old);
  Layout();
}

LRESULT CALLBACK TStationWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    auto* station = static_cast<TStationWindow*>(reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams);
    station->window_ = window;
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(station));
  }
  TStationWindow* station = StationOf(window);
  return station != nullptr ? station->OnMessage(message, wParam, lParam)
                            : DefWindowProcW(window, message, wParam, lParam);
}

LRESULT TStationWindow::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  // As a dialog does: the focus goes to a control and comes back to where it
  // was; and the session's end waits during a run.
  if (LRESULT result = 0; manners_.Handle(window_, message, wParam, result)) return result;
  switch (message) {
    case WM_CREATE:
      dpi_ = WindowDpiOf(window_);
      font_ = WindowFormFont(dpi_);
      CreateControls();
      ShowRunState(logic_.Running() ? Running : Idle);
      WindowOpened();
      return 0;
    case WM_SIZE:
      Layout();
      return 0;
    case WM_GETMINMAXINFO: {
      const SIZE least = WindowFrameSize(Px(kMinClientWidth), Px(kMinClientHeight), kStyle, kExStyle, dpi_);
      reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = POINT{least.cx, least.cy};
      return 0;
    }
    // A click posted to a button that is disabled meanwhile is not taken.
    case WM_COMMAND:
      if (HIWORD(wParam) == BN_CLICKED && IsWindowEnabled(reinterpret_cast<HWND>(lParam))) {
        switch (LOWORD(wParam)) {
          case IdStationStart: StartClick(); return 0;
          case IdStationStop: logic_.StopClick(); return 0;
          case IdStationImageBrowse: Browse(IdStationImage, kImageFilter, false); return 0;
          case IdStationProfileBrowse: Browse(IdStationProfile, kProfileFilter, false); return 0;
          case IdStationLogBrowse: Browse(IdStationLog, kLogFilter, true); return 0;
          default: break;
        }
      }
      break;
    case WM_NOTIFY: {
      auto* header = reinterpret_cast<NMHDR*>(lParam);
      if (header->idFrom == IdStationList && header->code == NM_CUSTOMDRAW)
        return DrawRow(reinterpret_cast<NMLVCUSTOMDRAW*>(lParam));
      break;
    }
    // A message box runs its own loop, which keeps the timer going: shown
    // from here rather than from inside Tick, it does not hold the run.
    case kShowMessage:
      if (!messages_.empty()) {
        const std::wstring body = messages_.front();
        messages_.erase(messages_.begin());
        MessageBoxW(window_, body.c_str(), StationWindowTitle, MB_OK);
      }
      return 0;
    case WM_TIMER:
      if (wParam == kTickTimer) logic_.Tick();
      return 0;
    case WM_CLOSE:
      if (logic_.CloseRequested()) DestroyWindow(window_);
      return 0;
    case WM_DPICHANGED:
      UseDpi(HIWORD(wParam));
      WindowTakeSuggestedPlace(window_, lParam);
      return 0;
    case WM_DESTROY:
      StopTicking();
      manners_.HoldShutdown(window_, false);
      manners_.Forget();
      if (font_ != nullptr) DeleteObject(font_);
      font_ = nullptr;
      messages_.clear();
      window_ = nullptr;
      WindowClosed();
      return 0;
    default: break;
  }
  return DefWindowProcW(window_, message, wParam, lParam);
}

void TStationWindow::StartClick() {
  StationChoices choices = fixedChoices_;
  choices.image = Utf8Of(Item(IdStationImage));
  choices.profile = Utf8Of(Item(IdStationProfile));
  choices.jsonLog = Utf8Of(Item(IdStationLog));
  logic_.Start(choices);
}

void TStationWindow::Browse(int editId, const wchar_t* filter, bool save) {
  wchar_t path[MAX_PATH * 4] = {};
  const std::wstring current = WindowText(Item(editId));
  if (current.size() < MAX_PATH * 4) current.copy(path, current.size());
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = window_;
  dialog.lpstrFilter = filter;
  dialog.lpstrFile = path;
  dialog.nMaxFile = MAX_PATH * 4;
  dialog.Flags = OFN_PATHMUSTEXIST | OFN_HIDEREADONLY | OFN_NOCHANGEDIR | (save ? 0 : OFN_FILEMUSTEXIST);
  if (save ? GetSaveFileNameW(&dialog) : GetOpenFileNameW(&dialog)) SetWindowTextW(Item(editId), path);
}

// The result column in the colour of its words.
LRESULT TStationWindow::DrawRow(NMLVCUSTOMDRAW* draw) const {
  switch (draw->nmcd.dwDrawStage) {
    case CDDS_PREPAINT: return CDRF_NOTIFYITEMDRAW;
    case CDDS_ITEMPREPAINT: return CDRF_NOTIFYSUBITEMDRAW;
    case CDDS_ITEMPREPAINT | CDDS_SUBITEM: {
      const size_t row = draw->nmcd.dwItemSpec;
      const bool result = draw->iSubItem == StationColResult && row < rowStates_.size();
      draw->clrText = result ? ResultColour(rowStates_[row]) : GetSysColor(COLOR_WINDOWTEXT);
      return CDRF_DODEFAULT;
    }
    default: return CDRF_DODEFAULT;
  }
}

void TStationWindow::ShowSlot(size_t index, const StationSlot& slot, bool inserted) {
  if (window_ == nullptr) return;
  const HWND list = Item(IdStationList);
  if (inserted) {
    LVITEMW row{};
    row.mask = LVIF_TEXT;
    row.iItem = static_cast<int>(index);
    row.pszText = const_cast<wchar_t*>(L"");
    SendMessageW(list, LVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&row));
    rowStates_.insert(rowStates_.begin() + static_cast<std::ptrdiff_t>(index), slot.state);
  } else if (index < rowStates_.size()) {
    rowStates_[index] = slot.state;
  }
  for (int column = 0; column < StationColumnCount; ++column) {
    std::wstring text = WideFromUtf8(StationCellText(slot, static_cast<StationColumn>(column)));
    LVITEMW cell{};
    cell.iSubItem = column;
    cell.pszText = text.data();
    SendMessageW(list, LVM_SETITEMTEXTW, index, reinterpret_cast<LPARAM>(&cell));
  }
}

void TStationWindow::ShowCounts(int32_t good, int32_t failed) {
  if (window_ == nullptr) return;
  SetWindowTextW(Item(IdStationGood), WideFromUtf8(MsgStationGood(good)).c_str());
  SetWindowTextW(Item(IdStationFailed), WideFromUtf8(MsgStationFailed(failed)).c_str());
}

// Idle: the choices and Start; running: Stop; stopping: neither. The slots
// stay reachable throughout, and a control disabled while it has the focus
// hands it on (to Stop, or to the slots) rather than leave it nowhere.
void TStationWindow::ShowRunState(RunState state) {
  runState_ = state;
  if (window_ == nullptr) return;
  const bool idle = state == Idle;
  const HWND focus = GetFocus();  // disabling the control that has it takes it away
  for (int id : {IdStationImage, IdStationImageBrowse, IdStationProfile, IdStationProfileBrowse, IdStationLog,
                 IdStationLogBrowse, IdStationStart})
    EnableWindow(Item(id), idle ? TRUE : FALSE);
  EnableWindow(Item(IdStationStop), state == Running ? TRUE : FALSE);
  static const char* const kStatus[] = {MsgStationIdle, MsgStationWorking, MsgStationStopping};
  SetWindowTextW(Item(IdStationStatus), WideFromUtf8(kStatus[state]).c_str());
  if (focus != nullptr && IsChild(window_, focus) && !IsWindowEnabled(focus))
    SetFocus(Item(state == Running ? IdStationStop : IdStationList));
  manners_.HoldShutdown(window_, !idle);
}

void TStationWindow::ShowMessage(const std::string& text, const std::string& reason) {
  std::wstring body = WideFromUtf8(text);
  if (!reason.empty()) body += L"\n\n" + WideFromUtf8(reason);
  messages_.push_back(body);
  PostMessageW(window_, kShowMessage, 0, 0);
}

bool TStationWindow::AskStopForClose() {
  questionHook = SetWindowsHookExW(WH_CBT, NameQuestionButtons, nullptr, GetCurrentThreadId());
  const int answer =
      MessageBoxW(window_, WideFromUtf8(MsgStationAskStop).c_str(), StationWindowTitle, MB_YESNO | MB_DEFBUTTON2);
  if (questionHook != nullptr) UnhookWindowsHookEx(questionHook);
  questionHook = nullptr;
  return answer == IDYES;
}

void TStationWindow::StartTicking() {
  if (window_ != nullptr) SetTimer(window_, kTickTimer, StationTickMs, nullptr);
}

void TStationWindow::StopTicking() {
  if (window_ != nullptr) KillTimer(window_, kTickTimer);
}

void TStationWindow::CloseWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
}
