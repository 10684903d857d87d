#include "platform/interrupt.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<int> gRequests{0};

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (gRequests.fetch_add(1) > 0) ExitProcess(130);
  // The process ends as soon as this returns from a closing console (and at
  // the system's deadline in any case): wait here while the program ends its
  // work; its exit ends this thread too.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
  return TRUE;
}

}  // namespace

void PlatformInterruptCatch() { SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

bool PlatformInterrupted() { return gRequests.load() > 0; }
