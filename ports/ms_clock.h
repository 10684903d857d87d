#pragma once
// The process-wide millisecond clock. A detached thread copies the monotonic
// millisecond count into Tick32 and Tick16 about once a millisecond, so a wait
// loop reads the time with one memory load. A deadline is a counter value
// (now + duration, wrapping), tested with TickReached32 or TickReached16.

#include <atomic>
#include <cstdint>

extern std::atomic<uint32_t> Tick32;
extern std::atomic<uint16_t> Tick16;

// Starts the clock thread; later calls do nothing. The thread is never stopped
// or joined: it ends with the process.
void MsClockStart();

// Current counter values. Before MsClockStart, or if its thread could not be
// created, they read the platform's count directly, so no wait can hang on a
// clock that does not move.
uint32_t MsClockTick32();
uint16_t MsClockTick16();

// A deadline durationMs from now, set from the platform's count itself: the
// counters lag when the clock thread was held up (a stopped process, a thread
// starved on a busy machine), and a deadline set from a lagging counter would
// come that much too soon. Tests of a deadline keep reading the counters.
uint32_t MsClockDeadline32(uint32_t durationMs);
uint16_t MsClockDeadline16(uint16_t durationMs);

// 1 when the deadline is reached: (now - deadline) read as a signed number of the
// counter's width is zero or positive. Meaningful up to 2^31 - 1 ms (32-bit) and
// 32767 ms (16-bit) ahead.
int TickReachedAt32(uint32_t now, uint32_t deadline);
int TickReachedAt16(uint16_t now, uint16_t deadline);
int TickReached32(uint32_t deadline);
int TickReached16(uint16_t deadline);
