#include "platform/time.h"

#include <windows.h>
#include <mmsystem.h>

namespace {

// Windows wakes sleeping threads on its timer interrupt, 64 times a second
// unless a program asks for more: Sleep(1) would last 15.6 ms, the clock
// thread and every poll of an exchange would run 15 times too slowly, and
// GetTickCount moves in the same 15.6 ms steps. So, on the first use of the
// service and for the rest of the process's life (Windows drops the request
// when the process ends): the timer at 1 ms, and the time from the
// performance counter, which has 1 ms resolution and better everywhere.
class Clock {
 public:
  Clock() {
    QueryPerformanceFrequency(&frequency_);  // never fails since Windows XP
    timeBeginPeriod(1);
    KeepResolutionWhenHidden();
  }

  uint64_t Ms() const {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    const uint64_t n = static_cast<uint64_t>(count.QuadPart);
    const uint64_t f = static_cast<uint64_t>(frequency_.QuadPart);
    return n / f * 1000u + n % f * 1000u / f;  // no overflow at a GHz counter either
  }

 private:
  // Windows 11 grants a raised resolution to a process whose windows cannot
  // be seen (the window minimized during an update) only when the process
  // says it needs it. Looked up by name: Windows 7 has no such call.
  static void KeepResolutionWhenHidden() {
    using SetInformation = BOOL(WINAPI*)(HANDLE, PROCESS_INFORMATION_CLASS, LPVOID, DWORD);
    const auto set = reinterpret_cast<SetInformation>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "SetProcessInformation")));
    if (set == nullptr) return;
    PROCESS_POWER_THROTTLING_STATE state{};
    state.Version = PROCESS_POWER_THROTTLING_CURRENT_VERSION;
    state.ControlMask = PROCESS_POWER_THROTTLING_IGNORE_TIMER_RESOLUTION;
    state.StateMask = 0;  // not throttled: the timer stays at 1 ms
    set(GetCurrentProcess(), ProcessPowerThrottling, &state, sizeof state);  // older systems refuse the class
  }

  LARGE_INTEGER frequency_{};
};

const Clock& TheClock() {
  static const Clock clock;
  return clock;
}

}  // namespace

// Milliseconds since start-up, wrapping every 49.7 days.
uint32_t PlatformTickMs() { return static_cast<uint32_t>(TheClock().Ms()); }

void PlatformSleepMs(int32_t ms) {
  TheClock();  // the 1 ms timer, before the first sleep
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}
