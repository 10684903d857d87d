// window_probe.exe: drives rs485setup.exe's window from another process by
// its messages, as a user's clicks would reach it, and prints what it shows.
// The window is the form, or the station when the form is not open. A control
// ID is looked up in the window, its panel, the progress window and the station.
// Runs its commands in order; prints "error: ..." and ends with 1 when one fails.
//
//   wait-text ID TEXT MS   until control ID shows TEXT
//   state LINE MS          until the window's state line (port=, baud=, parity=,
//                          bits=, stop=, echo=, panel=, save=, check=, focus=) reads LINE;
//                          prints the last one read
//   click ID               posts a click to the button ID
//   settext ID TEXT | select ID ROW | check ID 0|1
//   message MS             waits for a message box, prints its text, closes it
//   box MS                 the same, leaving the box open
//   end-session            asks the window whether the session may end
//   center ID              prints the screen point in the middle of control ID
//   progress MS            waits for the update's progress window; prints
//                          whether the main window is disabled meanwhile
//   fits                   prints each caption that does not fit its box
//   client                 prints the window's client size (and the station's
//                          beside the form's when both are open)
//   selected ID TEXT MS    until the edit field ID has TEXT selected
//   close                  closes the window
//   quit MS                closes the window (and the station) and waits for
//                          its process to end
//   answer yes|no MS       waits for a question box, prints its text and its
//                          buttons' captions, answers it
//   station LINE MS        until the station's state line (start=, stop=,
//                          choices=, good=, failed=) reads LINE; prints the last one
//   rows N MS              until the station lists N slots, none of them still
//                          running; prints the header and each row, cells
//                          joined by " | ", as read from the list-view
//   tabs N                 presses Tab N times (real input), printing the
//                          control that has the focus after each
//   consoles               prints how many console windows are shown

#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "app/form_view_win32.h"
#include "app/station_view_win32.h"
#include "ops/messages.h"

namespace {

constexpr wchar_t kTitle[] = L"Программа настройки";

std::string Utf8(const std::wstring& wide) {
  std::string out(static_cast<size_t>(wide.size() * 4), '\0');
  out.resize(static_cast<size_t>(WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                                     out.data(), static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

std::wstring Wide(const char* utf8) {
  std::wstring out(std::strlen(utf8) + 1, L'\0');
  out.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), static_cast<int>(out.size()))));
  if (!out.empty()) out.pop_back();
  return out;
}

std::wstring Text(HWND control) {
  wchar_t buffer[512] = {};
  SendMessageTimeoutW(control, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer), SMTO_BLOCK, 5000, nullptr);
  return buffer;
}

HWND Station() { return FindWindowW(StationWindowClass, StationWindowTitle); }

HWND Main() {
  const HWND form = FindWindowW(MainFormClass, kTitle);
  return form != nullptr ? form : Station();
}

HWND Item(int id) {
  const HWND main = Main();
  for (HWND parent : {main, GetDlgItem(main, IdPanel), FindWindowW(UploadProgressClass, nullptr), Station()})
    if (HWND found = GetDlgItem(parent, id); found != nullptr) return found;
  return nullptr;
}

void Say(const std::string& line) {
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

[[noreturn]] void Fail(const std::string& why) {
  Say("error: " + why);
  std::exit(1);
}

// The message box shown by the window: a dialog titled like it.
HWND MessageBoxShown() {
  for (const wchar_t* title : {kTitle, StationWindowTitle}) {
    HWND box = FindWindowW(L"#32770", title);
    if (box != nullptr && IsWindowVisible(box)) return box;
  }
  return nullptr;
}

// Which control of the window's thread has the keyboard focus: its identifier,
// "window" for the window itself, "none" for no window at all.
std::string Focus() {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  if (!GetGUIThreadInfo(GetWindowThreadProcessId(Main(), nullptr), &info) || info.hwndFocus == nullptr) return "none";
  return info.hwndFocus == Main() ? "window" : std::to_string(GetDlgCtrlID(info.hwndFocus));
}

// The window's state in one line. Each part is read on its own: a posted click
// is handled some time later, so only a line that stays what the test expects
// tells that the window got there.
std::string State() {
  const auto row = [](int id) { return std::to_string(SendMessageW(Item(id), LB_GETCURSEL, 0, 0)); };
  const auto checked = [](int id) { return std::to_string(SendMessageW(Item(id), BM_GETCHECK, 0, 0)); };
  return "port=" + Utf8(Text(Item(IdPortEdit))) + " baud=" + Utf8(Text(Item(IdBaudRate))) + " parity=" + row(IdLB) +
         " bits=" + row(IdBits) + " stop=" + checked(IdStop) + " echo=" + checked(IdEcho) +
         " panel=" + std::to_string(IsWindowEnabled(Item(IdPanel))) +
         " save=" + std::to_string(IsWindowEnabled(Item(IdSave))) +
         " check=" + std::to_string(IsWindowEnabled(Item(IdConnButton))) + " focus=" + Focus();
}

std::string StationState() {
  const auto on = [](int id) { return std::to_string(IsWindowEnabled(Item(id))); };
  return "start=" + on(IdStationStart) + " stop=" + on(IdStationStop) + " choices=" + on(IdStationImage) +
         " good=" + Utf8(Text(Item(IdStationGood))) + " failed=" + Utf8(Text(Item(IdStationFailed)));
}

// The list-view's texts: its messages take pointers into the window's own
// process, so the item and its text buffer are placed there, as a screen
// reader's proxy does.
class StationList {
 public:
  StationList() : list_(Item(IdStationList)) {
    DWORD id = 0;
    GetWindowThreadProcessId(list_, &id);
    process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, id);
    if (process_ != nullptr)
      remote_ = static_cast<char*>(VirtualAllocEx(process_, nullptr, kSize, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  }
  ~StationList() {
    if (remote_ != nullptr) VirtualFreeEx(process_, remote_, 0, MEM_RELEASE);
    if (process_ != nullptr) CloseHandle(process_);
  }
  bool Ok() const { return remote_ != nullptr; }
  int Rows() const { return static_cast<int>(SendMessageW(list_, LVM_GETITEMCOUNT, 0, 0)); }
  int Columns() const {
    return static_cast<int>(SendMessageW(reinterpret_cast<HWND>(SendMessageW(list_, LVM_GETHEADER, 0, 0)),
                                         HDM_GETITEMCOUNT, 0, 0));
  }
  std::string Title(int column) const {
    LVCOLUMNW header{};
    header.mask = LVCF_TEXT;
    return Ask(LVM_GETCOLUMNW, static_cast<WPARAM>(column), header, header.pszText, header.cchTextMax);
  }
  std::string Cell(int row, int column) const {
    LVITEMW item{};
    item.iSubItem = column;
    return Ask(LVM_GETITEMTEXTW, static_cast<WPARAM>(row), item, item.pszText, item.cchTextMax);
  }

 private:
  static constexpr size_t kText = 1024;
  static constexpr size_t kSize = 4096 + kText * sizeof(wchar_t);
  template <class Struct>
  std::string Ask(UINT message, WPARAM wParam, Struct& data, LPWSTR& text, int& textMax) const {
    static_assert(sizeof(Struct) <= 4096);
    text = reinterpret_cast<LPWSTR>(remote_ + 4096);
    textMax = static_cast<int>(kText);
    wchar_t buffer[kText] = {};
    WriteProcessMemory(process_, remote_ + 4096, buffer, sizeof buffer, nullptr);
    WriteProcessMemory(process_, remote_, &data, sizeof data, nullptr);
    SendMessageTimeoutW(list_, message, wParam, reinterpret_cast<LPARAM>(remote_), SMTO_BLOCK, 5000, nullptr);
    ReadProcessMemory(process_, remote_ + 4096, buffer, sizeof buffer - sizeof(wchar_t), nullptr);
    return Utf8(buffer);
  }
  HWND list_;
  HANDLE process_ = nullptr;
  char* remote_ = nullptr;
};

template <class Condition>
bool WaitFor(int ms, Condition condition) {
  for (const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(ms); GetTickCount64() < end; Sleep(50))
    if (condition()) return true;
  return condition();
}

// Whether a label's, button's or check box's caption fits in the window's
// Tahoma 8 pt at the window's DPI (a font handle does not cross processes:
// the probe makes its own).
bool CaptionFits(HWND control) {
  static const HFONT font =
      CreateFontW(-MulDiv(8, static_cast<int>(GetDpiForWindow(Main())), 72), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                  DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Tahoma");
  wchar_t className[32] = {};
  GetClassNameW(control, className, 32);
  const bool button = lstrcmpiW(className, L"Button") == 0;
  if (!button && lstrcmpiW(className, L"Static") != 0) return true;
  const std::wstring text = Text(control);
  HDC dc = GetDC(control);
  const HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  RECT box;
  GetClientRect(control, &box);
  const LONG style = GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK;
  const int margin = !button ? 0 : style == BS_AUTOCHECKBOX ? GetSystemMetrics(SM_CXMENUCHECK) + 4 : 8;
  return size.cx + margin <= box.right;
}

}  // namespace

// The wide command line: the narrow one would lose every character outside
// the system's ANSI code page.
int wmain(int argc, wchar_t** wargv) {
  std::vector<std::string> argv;
  for (int i = 0; i < argc; ++i) argv.push_back(Utf8(wargv[i]));
  for (int i = 1; i < argc; ++i) {
    const std::string command = argv[i];
    const auto next = [&]() -> const char* {
      if (i + 1 >= argc) Fail(command + ": argument missing");
      return argv[++i].c_str();
    };
    if (command == "wait-text") {
      const int id = std::atoi(next());
      const std::wstring text = Wide(next());
      const int ms = std::atoi(next());
      if (!WaitFor(ms, [&] { return Main() != nullptr && Text(Item(id)) == text; }))
        Fail("control " + std::to_string(id) + " shows \"" + Utf8(Text(Item(id))) + "\"");
    } else if (command == "state") {
      const std::string expected = next();
      const int ms = std::atoi(next());
      std::string seen;
      const bool reached = WaitFor(ms, [&] { return (seen = State()) == expected; });
      Say(seen);
      if (!reached) Fail("the state stays as above");
    } else if (command == "click") {
      PostMessageW(Item(std::atoi(next())), BM_CLICK, 0, 0);
    } else if (command == "settext") {
      const HWND control = Item(std::atoi(next()));
      SendMessageW(control, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(Wide(next()).c_str()));
    } else if (command == "select") {
      const HWND control = Item(std::atoi(next()));
      SendMessageW(control, LB_SETCURSEL, static_cast<WPARAM>(std::atoi(next())), 0);
    } else if (command == "check") {
      const HWND control = Item(std::atoi(next()));
      SendMessageW(control, BM_SETCHECK, std::atoi(next()) != 0 ? BST_CHECKED : BST_UNCHECKED, 0);
    } else if (command == "message" || command == "box") {
      const int ms = std::atoi(next());
      if (!WaitFor(ms, [] { return MessageBoxShown() != nullptr; })) Fail("no message box");
      const HWND box = MessageBoxShown();
      Say("message=" + Utf8(Text(GetDlgItem(box, 0xFFFF))));
      if (command == "box") continue;
      PostMessageW(box, WM_COMMAND, IDOK, 0);
      WaitFor(5000, [box] { return !IsWindow(box); });
    } else if (command == "end-session") {
      DWORD_PTR allowed = 0;
      if (SendMessageTimeoutW(Main(), WM_QUERYENDSESSION, 0, 0, SMTO_BLOCK, 5000, &allowed) == 0)
        Fail("no answer to WM_QUERYENDSESSION");
      Say(std::string("end-session=") + (allowed != 0 ? "allowed" : "refused"));
    } else if (command == "center") {
      RECT box;
      GetWindowRect(Item(std::atoi(next())), &box);
      Say(std::to_string((box.left + box.right) / 2) + " " + std::to_string((box.top + box.bottom) / 2));
    } else if (command == "progress") {
      const int ms = std::atoi(next());
      const auto shown = [] {
        const HWND progress = FindWindowW(UploadProgressClass, nullptr);
        return progress != nullptr && IsWindowVisible(progress);
      };
      if (!WaitFor(ms, shown)) Fail("no progress window");
      Say("progress=shown main=" + std::string(IsWindowEnabled(Main()) ? "enabled" : "disabled"));
    } else if (command == "fits") {
      for (HWND parent : {Main(), GetDlgItem(Main(), IdPanel), Station()})
        for (HWND child = GetWindow(parent, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
          if (!CaptionFits(child)) Say("too narrow: " + Utf8(Text(child)));
    } else if (command == "client") {
      std::string line;
      for (HWND shown : {Main(), Station()}) {
        RECT area{};
        GetClientRect(shown, &area);
        line += (line.empty() ? "client=" : " station=") + std::to_string(area.right) + "x" + std::to_string(area.bottom);
        if (shown == Station() || Station() == nullptr) break;
      }
      Say(line);
    } else if (command == "selected") {
      const HWND control = Item(std::atoi(next()));
      const std::wstring text = Wide(next());
      std::wstring seen;
      const auto selected = [&] {
        DWORD from = 0, to = 0;
        SendMessageW(control, EM_GETSEL, reinterpret_cast<WPARAM>(&from), reinterpret_cast<LPARAM>(&to));
        seen = Text(control).substr(from, to - from);
        return seen == text;
      };
      if (!WaitFor(std::atoi(next()), selected)) Fail("selected: \"" + Utf8(seen) + "\"");
    } else if (command == "close") {
      PostMessageW(Main(), WM_CLOSE, 0, 0);
    } else if (command == "quit") {
      const DWORD ms = static_cast<DWORD>(std::atoi(next()));
      DWORD id = 0;
      GetWindowThreadProcessId(Main(), &id);
      const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, id);
      const HWND station = Station();
      PostMessageW(Main(), WM_CLOSE, 0, 0);
      if (station != nullptr && station != Main()) PostMessageW(station, WM_CLOSE, 0, 0);
      if (process == nullptr || WaitForSingleObject(process, ms) != WAIT_OBJECT_0) Fail("the window's process runs on");
      CloseHandle(process);
    } else if (command == "answer") {
      const bool yes = std::string(next()) == "yes";
      if (!WaitFor(std::atoi(next()), [] { return MessageBoxShown() != nullptr; })) Fail("no question box");
      const HWND box = MessageBoxShown();
      Say("question=" + Utf8(Text(GetDlgItem(box, 0xFFFF))) + " buttons=" + Utf8(Text(GetDlgItem(box, IDYES))) + "|" +
          Utf8(Text(GetDlgItem(box, IDNO))));
      PostMessageW(box, WM_COMMAND, yes ? IDYES : IDNO, 0);
      WaitFor(5000, [box] { return !IsWindow(box); });
    } else if (command == "station") {
      const std::string expected = next();
      std::string seen;
      const bool reached = WaitFor(std::atoi(next()), [&] { return (seen = StationState()) == expected; });
      Say(seen);
      if (!reached) Fail("the station's state stays as above");
    } else if (command == "rows") {
      const int rows = std::atoi(next());
      const int ms = std::atoi(next());
      const StationList list;
      if (!list.Ok()) Fail("the list-view's process cannot be read");
      const auto settled = [&] {
        if (list.Rows() != rows) return false;
        for (int row = 0; row < rows; ++row)
          if (list.Cell(row, StationColResult) == MsgStationRunning) return false;
        return true;
      };
      const bool reached = WaitFor(ms, settled);
      for (int row = -1; row < list.Rows(); ++row) {
        std::string line;
        for (int column = 0; column < list.Columns(); ++column)
          line += (column > 0 ? " | " : "") + (row < 0 ? list.Title(column) : list.Cell(row, column));
        Say(line);
      }
      if (!reached) Fail("the slots stay as above");
    } else if (command == "tabs") {
      for (int n = std::atoi(next()); n > 0; --n) {
        const std::string before = Focus();
        INPUT keys[2] = {};
        keys[0].type = keys[1].type = INPUT_KEYBOARD;
        keys[0].ki.wVk = keys[1].ki.wVk = VK_TAB;
        keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
        SendInput(2, keys, sizeof(INPUT));
        WaitFor(3000, [&] { return Focus() != before; });
        Say("focus=" + Focus());
      }
    } else if (command == "consoles") {
      int shown = 0;
      for (const wchar_t* name : {L"ConsoleWindowClass", L"WineConsoleClass"})
        for (HWND w = FindWindowExW(nullptr, nullptr, name, nullptr); w != nullptr;
             w = FindWindowExW(nullptr, w, name, nullptr))
          shown += IsWindowVisible(w) ? 1 : 0;
      Say("consoles=" + std::to_string(shown));
    } else {
      Fail("unknown command " + command);
    }
  }
  return 0;
}
