#include "platform/interrupt.h"

#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

volatile sig_atomic_t gRequests = 0;
volatile sig_atomic_t gEndsAt = 2;  // the request that ends the process at once
bool gWatchInput = false;
bool gInputEnded = false;

void OnStopSignal(int) {
  if (gRequests + 1 >= gEndsAt) _exit(130);
  gRequests = gRequests + 1;
}

void CatchFrom(int endsAt) {
  gEndsAt = endsAt;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  static constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signal : kStopSignals) sigaction(signal, &action, nullptr);
}

// The parent's stop channel: its end is seen as input that reads as nothing
// (or an error); whatever else comes is thrown away.
void LookAtInput() {
  if (!gWatchInput || gInputEnded) return;
  pollfd p{STDIN_FILENO, POLLIN, 0};
  if (poll(&p, 1, 0) <= 0) return;
  char buffer[256];
  const ssize_t n = (p.revents & POLLIN) != 0 ? read(STDIN_FILENO, buffer, sizeof buffer) : 0;
  if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN))) return;
  gInputEnded = true;
  if (gRequests == 0) gRequests = 1;
}

}  // namespace

void PlatformInterruptCatch() { CatchFrom(2); }

void PlatformInterruptCount() { CatchFrom(3); }

void PlatformInterruptOnInputEnd() {
  struct stat input {};
  gWatchInput = fstat(STDIN_FILENO, &input) == 0 && S_ISFIFO(input.st_mode);
}

bool PlatformInterrupted() { return PlatformInterruptRequests() > 0; }

int PlatformInterruptRequests() {
  LookAtInput();
  return gRequests;
}
