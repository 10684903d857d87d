#include "platform/interrupt.h"

#include <windows.h>

#include <atomic>

namespace {

std::atomic<int> gRequests{0};
std::atomic<int> gEndsAt{2};  // the request that ends the process at once
HANDLE gInput = nullptr;      // the parent's stop channel, while it is watched
bool gInputEnded = false;

// Runs on a thread of its own that the system starts for each event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  if (gRequests.fetch_add(1) + 1 >= gEndsAt.load()) ExitProcess(130);
  // The process ends as soon as this returns from a closing console (and at
  // the system's deadline in any case): wait here while the program ends its
  // work; its exit ends this thread too.
  if (event == CTRL_CLOSE_EVENT || event == CTRL_LOGOFF_EVENT || event == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
  return TRUE;
}

// An anonymous pipe cannot be read without waiting: what is there is asked
// first. A pipe whose writer has gone fails the question.
void LookAtInput() {
  if (gInput == nullptr || gInputEnded) return;
  DWORD waiting = 0;
  if (PeekNamedPipe(gInput, nullptr, 0, nullptr, &waiting, nullptr)) {
    char buffer[256];
    DWORD n = 0;
    if (waiting > 0) ReadFile(gInput, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &n, nullptr);
    return;
  }
  gInputEnded = true;
  int none = 0;
  gRequests.compare_exchange_strong(none, 1);
}

}  // namespace

void PlatformInterruptCatch() {
  gEndsAt = 2;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void PlatformInterruptCount() {
  gEndsAt = 3;
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void PlatformInterruptOnInputEnd() {
  const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
  if (input != nullptr && input != INVALID_HANDLE_VALUE && GetFileType(input) == FILE_TYPE_PIPE) gInput = input;
}

bool PlatformInterrupted() { return PlatformInterruptRequests() > 0; }

int PlatformInterruptRequests() {
  LookAtInput();
  return gRequests.load();
}
