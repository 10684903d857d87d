// rs485setup.exe: the converter's setup window on Windows.

#include <windows.h>

#include "app/form_view_win32.h"
#include "platform/running_win32.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  RunningMarkHold();  // the installer leaves a running program alone
  static TMainForm form;  // lives for the whole run, like the window it holds
  if (!form.Create(instance, show)) return 0;
  MSG msg{};
  int code = 0;
  while (!form.QuitRequested(&code) && GetMessageW(&msg, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(form.Handle(), &msg)) {
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
    }
  }
  return form.QuitRequested(&code) ? code : static_cast<int>(msg.wParam);
}
