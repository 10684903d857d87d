#include "ports/ms_clock.h"

#include "platform/thread.h"
#include "platform/time.h"

std::atomic<uint32_t> Tick32{0};
std::atomic<uint16_t> Tick16{0};

namespace {

std::atomic<int> gClockRunning{0};
std::atomic<int> gStarted{0};
PlatformLock gClockLock;  // held by the writer while it stores the pair

void StoreTicks() {
  const uint32_t now = PlatformTickMs();
  Tick32.store(now, std::memory_order_relaxed);
  Tick16.store(static_cast<uint16_t>(now), std::memory_order_relaxed);
}

void ClockThread(void*) {
  for (;;) {
    PlatformSleepMs(1);
    PlatformLockEnter(gClockLock);
    StoreTicks();
    PlatformLockLeave(gClockLock);
  }
}

}  // namespace

void MsClockStart() {
  if (gStarted.exchange(1) != 0) return;
  StoreTicks();  // deadlines set right after start are relative to the real count

  PlatformLockInit(gClockLock);
  // The thread needs almost no stack.
  if (PlatformThreadStart(ClockThread, nullptr, 64 * 1024)) gClockRunning.store(1, std::memory_order_relaxed);
}

uint32_t MsClockTick32() {
  if (gClockRunning.load(std::memory_order_relaxed) == 0) StoreTicks();
  return Tick32.load(std::memory_order_relaxed);
}

uint16_t MsClockTick16() {
  if (gClockRunning.load(std::memory_order_relaxed) == 0) StoreTicks();
  return Tick16.load(std::memory_order_relaxed);
}

uint32_t MsClockDeadline32(uint32_t durationMs) { return PlatformTickMs() + durationMs; }

uint16_t MsClockDeadline16(uint16_t durationMs) { return static_cast<uint16_t>(PlatformTickMs() + durationMs); }

int TickReachedAt32(uint32_t now, uint32_t deadline) {
  return static_cast<int32_t>(now - deadline) >= 0 ? 1 : 0;
}

int TickReachedAt16(uint16_t now, uint16_t deadline) {
  return (static_cast<uint16_t>(now - deadline) & 0x8000u) == 0 ? 1 : 0;
}

int TickReached32(uint32_t deadline) { return TickReachedAt32(MsClockTick32(), deadline); }

int TickReached16(uint16_t deadline) { return TickReachedAt16(MsClockTick16(), deadline); }
