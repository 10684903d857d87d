// rs485setup.exe: the converter's setup window on Windows.

#include <windows.h>
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <vector>

#include "app/form_view_win32.h"
#include "app/station_view_win32.h"
#include "ops/messages.h"
#include "platform/running_win32.h"
#include "platform/text_win32.h"

namespace {

// The command line in UTF-8, without the program's name.
std::vector<std::string> Arguments() {
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> args;
  for (int i = 1; wide != nullptr && i < count; ++i) args.push_back(Utf8FromWide(wide[i], std::wcslen(wide[i])));
  LocalFree(wide);
  return args;
}

// A window program has no console to print on: the help comes in a box.
void ShowHelp(const std::string& text) { MessageBoxW(nullptr, WideFromUtf8(text).c_str(), L"rs485setup", MB_OK); }

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  RunningMarkHold();  // the installer leaves a running program alone
  WindowArguments parsed;
  std::string error;
  switch (WindowParseArguments(Arguments(), parsed, error)) {
    case FormArgumentsHelp: ShowHelp(MsgWindowHelp); return 0;
    case FormArgumentsBad: ShowHelp(error + "\n\n" + MsgWindowHelp); return 2;
    case FormArgumentsRun: break;
  }
  // Both live for the whole run, like the windows they hold. The station
  // shortcut of a line PC opens the station alone; the program ends with
  // its last window.
  static TMainForm form;
  static TStationWindow station;
  if (parsed.station) {
    if (!station.OpenAndStart(instance, show, parsed.choices)) return 0;
  } else {
    form.openStation = [instance] { station.Open(instance, SW_SHOWNORMAL); };
    if (!form.Create(instance, show, parsed.port)) return 0;
  }
  MSG msg{};
  int code = 0;
  while (!form.QuitRequested(&code) && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (station.DialogMessage(msg) || form.DialogMessage(msg)) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  return form.QuitRequested(&code) ? code : static_cast<int>(msg.wParam);
}
