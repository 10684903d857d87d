// The port layer on a real serial line, the same scenarios on Linux (a
// pseudo-terminal) and on Windows (a COM port under Wine): the ring, the reads
// with their time-outs and what a read that fails consumes, the flush and the
// write. The test plays the device on the line's other end.

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "support/device_end.h"

namespace {

std::vector<uint8_t> Sequence(size_t count, uint8_t seed) {
  std::vector<uint8_t> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>(seed + i * 7 + i / 251);
  return v;
}

class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_EQ(PortOpen(id, pty.PortName().c_str()), 0);
  }
  void TearDown() override { PortClose(id); }  // the next scenario opens the line again

  // Sends bytes from the device in pieces the line can buffer, pumping them
  // into the ring until it holds `expect` bytes.
  void Feed(const std::vector<uint8_t>& bytes, int32_t expect) {
    const size_t piece = 1024;
    for (size_t at = 0; at < bytes.size(); at += piece) {
      const size_t end = std::min(bytes.size(), at + piece);
      const int32_t before = PortAvailable(id);
      pty.Write(std::vector<uint8_t>(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(end)));
      WaitAvailable(std::min<int32_t>(expect, before + static_cast<int32_t>(end - at)));
    }
    WaitAvailable(expect);
  }

  void WaitAvailable(int32_t count) {
    for (int i = 0; i < 2000 && PortAvailable(id) < count; ++i) PlatformSleepMs(1);
    ASSERT_EQ(PortAvailable(id), count);
  }

  DeviceEnd pty;
  PortId id = 0;
};

TEST_F(SerialPort, WritesReachTheDevice) {
  const std::vector<uint8_t> out = {0x60, 0x10, 0x48, 0x2C, 0x00};
  PortWrite(id, out.data(), static_cast<uint32_t>(out.size()));
  EXPECT_EQ(pty.Read(out.size(), 1000), out);
}

TEST_F(SerialPort, RingWrapsAndKeepsOrder) {
  const std::vector<uint8_t> first = Sequence(9000, 1);
  Feed(first, 9000);
  std::vector<uint8_t> in(9000);
  ASSERT_EQ(PortReadExact(id, in.data(), 9000), 1);
  EXPECT_EQ(in, first);

  // The write index wraps past 9999 to below the read index: 10 against 9000.
  const std::vector<uint8_t> second = Sequence(1010, 99);
  Feed(second, 1010);
  EXPECT_EQ(PortTable[id - 1].rx.write, 10);
  EXPECT_EQ(PortTable[id - 1].rx.read, 9000);
  in.assign(1010, 0);
  ASSERT_EQ(PortRead(id, in.data(), 1010, 0), 1010);
  EXPECT_EQ(in, second);
}

TEST_F(SerialPort, FullRingDropsNewBytesAndStaysTrue) {
  const std::vector<uint8_t> flood = Sequence(12000, 3);
  Feed(flood, RxRingSize - 1);
  PlatformSleepMs(50);  // let the last bytes reach the queue; the pump drops them
  EXPECT_EQ(PortAvailable(id), RxRingSize - 1);
  std::vector<uint8_t> in(RxRingSize - 1);
  ASSERT_EQ(PortReadExact(id, in.data(), RxRingSize - 1), 1);
  EXPECT_EQ(in, std::vector<uint8_t>(flood.begin(), flood.begin() + RxRingSize - 1));
  EXPECT_EQ(PortAvailable(id), 0);

  const std::vector<uint8_t> after = {9, 8, 7};
  Feed(after, 3);
  in.assign(3, 0);
  ASSERT_EQ(PortReadExact(id, in.data(), 3), 1);
  EXPECT_EQ(in, after);
}

TEST_F(SerialPort, ReadExactTakesAllOrNothing) {
  Feed({1, 2, 3, 4}, 4);
  uint8_t in[5] = {};
  EXPECT_EQ(PortReadExact(id, in, 5), 0);
  EXPECT_EQ(PortAvailable(id), 4);
  Feed({5}, 5);
  EXPECT_EQ(PortReadExact(id, in, 5), 1);
  EXPECT_EQ(std::vector<uint8_t>(in, in + 5), (std::vector<uint8_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(PortAvailable(id), 0);
}

TEST_F(SerialPort, TimedReadServesTheRingThenThePort) {
  uint8_t in[10] = {};

  // All in the ring: delivered at once, result N.
  Feed({1, 2, 3, 4}, 4);
  EXPECT_EQ(PortRead(id, in, 4, 500), 4);

  // 3 in the ring, the other 7 arrive late but in time: result 1, order kept.
  Feed({1, 2, 3}, 3);
  std::thread late([&] {
    PlatformSleepMs(100);
    pty.Write({4, 5, 6, 7, 8, 9, 10});
  });
  EXPECT_EQ(PortRead(id, in, 10, 2000), 1);
  late.join();
  EXPECT_EQ(std::vector<uint8_t>(in, in + 10), (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  // 3 in the ring, only 5 more arrive: 0; the 5 wait in the ring, the 3 are gone.
  Feed({1, 2, 3}, 3);
  pty.Write({4, 5, 6, 7, 8});
  const uint32_t start = PlatformTickMs();
  EXPECT_EQ(PortRead(id, in, 10, 300), 0);
  EXPECT_GE(PlatformTickMs() - start, 280u);
  ASSERT_EQ(PortAvailable(id), 5);
  EXPECT_EQ(PortReadExact(id, in, 5), 1);
  EXPECT_EQ(std::vector<uint8_t>(in, in + 5), (std::vector<uint8_t>{4, 5, 6, 7, 8}));
}

TEST_F(SerialPort, TimedReadWithNothingArrivingWaitsItsTimeOut) {
  uint8_t in[11] = {};
  const uint32_t start = PlatformTickMs();
  EXPECT_EQ(PortRead(id, in, 11, 369), 0);
  const uint32_t took = PlatformTickMs() - start;
  EXPECT_GE(took, 350u);
  EXPECT_LT(took, 2000u);

  // No time at all: what is there, at once (a system's "wait for ever" is
  // all time-outs zero, too).
  const uint32_t now = PlatformTickMs();
  EXPECT_EQ(PortRead(id, in, 11, 0), 0);
  EXPECT_LT(PlatformTickMs() - now, 200u);
}

TEST_F(SerialPort, ReadByteResults) {
  uint8_t b = 0;
  EXPECT_EQ(PortReadByte(id, &b, 0), 0);  // nothing waiting, no time to wait

  const uint32_t start = PlatformTickMs();
  EXPECT_EQ(PortReadByte(id, &b, 100), 0);
  EXPECT_GE(PlatformTickMs() - start, 90u);

  pty.Write({0xA5});
  EXPECT_EQ(PortReadByte(id, &b, 1000), 1);
  EXPECT_EQ(b, 0xA5);

  Feed({0x5A}, 1);
  EXPECT_EQ(PortReadByte(id, &b, 0), 1);  // already there: no wait needed
  EXPECT_EQ(b, 0x5A);

  PortClose(id);
  EXPECT_EQ(PortReadByte(id, &b, 100), -1);
}

TEST_F(SerialPort, FlushDiscardsTheRingAndTheQueue) {
  Feed({1, 2, 3}, 3);
  pty.Write({4, 5, 6});  // still in the operating system's queue
  PlatformSleepMs(50);
  PortFlushInput(id);
  EXPECT_EQ(PortAvailable(id), 0);
  pty.Write({7});
  uint8_t b = 0;
  EXPECT_EQ(PortReadByte(id, &b, 1000), 1);
  EXPECT_EQ(b, 7);
}

TEST_F(SerialPort, ReplyArrivingDuringATimedReadEndsIt) {
  // A raw line reads an empty queue as 0 bytes; that is no hang-up, and the
  // read must end when the bytes come, not when its time-out does.
  uint8_t in[4] = {};
  std::thread reply([&] {
    PlatformSleepMs(100);
    pty.Write({9, 8, 7, 6});
  });
  const uint32_t start = PlatformTickMs();
  EXPECT_EQ(PortRead(id, in, 4, 20000), 1);
  const uint32_t took = PlatformTickMs() - start;
  reply.join();
  EXPECT_LT(took, 10000u) << "the read waited out its time-out";
  EXPECT_EQ(std::vector<uint8_t>(in, in + 4), (std::vector<uint8_t>{9, 8, 7, 6}));
}

}  // namespace
