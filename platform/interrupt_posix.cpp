#include "platform/interrupt.h"

#include <signal.h>
#include <unistd.h>

namespace {

volatile sig_atomic_t gInterrupted = 0;

void OnStopSignal(int) {
  if (gInterrupted != 0) _exit(130);
  gInterrupted = 1;
}

}  // namespace

void PlatformInterruptCatch() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  static constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
}

bool PlatformInterrupted() { return gInterrupted != 0; }
