#include <gtest/gtest.h>

#include "platform/time.h"
#include "ports/ms_clock.h"

namespace {

TEST(MsClock, ThirtyTwoBitDeadlineAcrossTheWrap) {
  const uint32_t start = 0xFFFFFF00u;  // 2^32 - 256
  const uint32_t deadline = start + 512;
  EXPECT_EQ(deadline, 256u);
  EXPECT_EQ(TickReachedAt32(start, deadline), 0);
  EXPECT_EQ(TickReachedAt32(0xFFFFFFFFu, deadline), 0);
  EXPECT_EQ(TickReachedAt32(255, deadline), 0);
  EXPECT_EQ(TickReachedAt32(256, deadline), 1);
  EXPECT_EQ(TickReachedAt32(deadline + 0x7FFFFFFFu, deadline), 1);
  EXPECT_EQ(TickReachedAt32(deadline + 0x80000000u, deadline), 0);  // too late reads as early
}

TEST(MsClock, SixteenBitDeadlineAcrossTheWrap) {
  const uint16_t deadline = static_cast<uint16_t>(0xFFF0 + 10000);
  EXPECT_EQ(deadline, 0x2700);
  EXPECT_EQ(TickReachedAt16(0xFFF0, deadline), 0);
  EXPECT_EQ(TickReachedAt16(0x26FF, deadline), 0);
  EXPECT_EQ(TickReachedAt16(0x2700, deadline), 1);
  EXPECT_EQ(TickReachedAt16(static_cast<uint16_t>(deadline + 0x7FFF), deadline), 1);
  EXPECT_EQ(TickReachedAt16(static_cast<uint16_t>(deadline + 0x8000), deadline), 0);
}

TEST(MsClock, DeadlineEqualToNowIsReached) {
  EXPECT_EQ(TickReachedAt32(1234, 1234), 1);
  EXPECT_EQ(TickReachedAt16(1234, 1234), 1);
}

TEST(MsClock, DeadlineSetRightAfterStartFollowsTheRealCount) {
  MsClockStart();
  const uint32_t now = PlatformTickMs();
  // Relative to the real count, not to zero: a deadline 200 ms ahead is not
  // reached at once, and is reached after 200 ms. (The counters may lag the
  // count by a time slice or two on a busy machine, never by the count itself.)
  EXPECT_LE(now - Tick32.load(), 1000u);
  const uint32_t deadline32 = MsClockTick32() + 200;
  const uint16_t deadline16 = static_cast<uint16_t>(MsClockTick16() + 200);
  EXPECT_EQ(TickReached32(deadline32), 0);
  EXPECT_EQ(TickReached16(deadline16), 0);
  PlatformSleepMs(250);
  EXPECT_EQ(TickReached32(deadline32), 1);
  EXPECT_EQ(TickReached16(deadline16), 1);
}

TEST(MsClock, ThreadKeepsTheCountersFresh) {
  MsClockStart();
  MsClockStart();  // a second start changes nothing
  const uint32_t before = Tick32.load();
  PlatformSleepMs(50);
  const uint32_t after = Tick32.load();
  EXPECT_GE(after - before, 40u);
  EXPECT_LE(PlatformTickMs() - after, 20u);
}

TEST(MsClock, WaitsDoNotHangWithoutStart) {
  // Without a started clock, the counters still follow the platform's count.
  const uint32_t deadline = MsClockTick32() + 30;
  int polls = 0;
  while (TickReached32(deadline) == 0 && polls < 1000) {
    PlatformSleepMs(1);
    ++polls;
  }
  EXPECT_LT(polls, 1000);
}

}  // namespace
