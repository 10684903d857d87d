#include "platform/time.h"

#include <windows.h>

// The system's millisecond tick since start-up, wrapping every 49.7 days.
uint32_t PlatformTickMs() { return GetTickCount(); }

void PlatformSleepMs(int32_t ms) {
  if (ms > 0) Sleep(static_cast<DWORD>(ms));
}
