// The device channel over real pseudo-terminals: against the simulated
// converter on its own thread, and against a scripted peer where an answer must
// be some exact bytes.

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "protocol/checksum.h"
#include "protocol/device_channel.h"
#include "sim/sim_serve.h"
#include "support/pty.h"
#include "support/sim_channel.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSettingsRead = {0x60, 0x10, 0x48, 0x2C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xF2};
const Bytes kControlWrite = {0x60, 0x10, 0x40, 0x3C, 0x00, 0x00, 0xFF, 0x8F, 0xFF, 0x00, 0x01, 0x05};

Bytes Of(const uint8_t* p, size_t n) { return Bytes(p, p + n); }
Bytes Of(const SimSettings& s) { return Bytes(s.begin(), s.end()); }

using Channel = SimChannelTest;

TEST_F(Channel, SettingsReadAndControlWriteGoOutAsExactBytes) {
  uint8_t settings[6] = {};
  const uint32_t start = PlatformTickMs();
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, settings, 2, 0), ResultOk);
  // An answer that comes at once ends the exchange; its 369 ms time-out is not waited out.
  EXPECT_LT(PlatformTickMs() - start, 300u);
  EXPECT_EQ(Of(settings, 6), Of(SimDefaultSettings));
  EXPECT_EQ(channel.CheckLength, 4);
  EXPECT_EQ(channel.RequestState, 0);

  const uint8_t zero = 0x00;
  EXPECT_EQ(channel.WriteMemory(0x8FFFFF, 0, &zero, 1), ResultOk);

  const SimSnapshot seen = Seen();
  ASSERT_EQ(seen.requests.size(), 2u);
  EXPECT_EQ(seen.requests[0].bytes, kSettingsRead);
  EXPECT_EQ(seen.requests[1].bytes, kControlWrite);
  EXPECT_EQ(seen.requests[1].splitGapUs, -1);
  EXPECT_EQ(seen.controlWrites, Bytes{0x00});
  // Twelve bytes of a write are one write, no pause inside.
  ASSERT_EQ(seen.chunks.size(), 2u);
  EXPECT_EQ(seen.chunks[1].bytes, kControlWrite);
}

TEST_F(Channel, LongWriteGoesOutAsTwelveBytesAPauseAndTheRest) {
  const uint8_t settings[6] = {0x61, 0x01, 0x02, 0x07, 0x4E, 0x00};
  EXPECT_EQ(channel.WriteMemory(0, 0, settings, 6), ResultOk);
  EXPECT_EQ(Of(Converter().Settings()), Of(settings, 6));

  SimSnapshot seen = Seen();
  ASSERT_EQ(seen.requests.size(), 1u);
  const Bytes& request = seen.requests[0].bytes;
  ASSERT_EQ(request.size(), 18u);
  EXPECT_EQ(Bytes(request.begin(), request.begin() + 12),
            (Bytes{0x60, 0x10, 0x40, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x61, 0x06, 0x76}));
  EXPECT_EQ(Bytes(request.begin() + 12, request.end() - 1), Of(settings + 1, 5));
  EXPECT_EQ(request.back(), FrameChecksum(settings + 1, 5));
  // The converter can only see the pause shorter than it was (it may read the
  // first part late), never longer; 25 ms tells a pause from none.
  EXPECT_GE(seen.requests[0].splitGapUs, 25000);

  // Through Transact itself: a long read command never splits; a 13-byte
  // write command splits 12 + 1.
  Bytes longRead(20, 0x00);
  std::memcpy(longRead.data(), kSettingsRead.data(), kSettingsRead.size());
  std::memcpy(channel.Frame, longRead.data(), longRead.size());
  EXPECT_EQ(channel.Transact(channel.Frame, 20, 0), ResultOk);
  ASSERT_TRUE(Converter().WaitUntil([](const SimCounters& c) { return c.bytesReceived == 18 + 20; }, 2000));
  Bytes frame = kControlWrite;
  frame.push_back(0xAB);
  std::memcpy(channel.Frame, frame.data(), frame.size());
  EXPECT_EQ(channel.Transact(channel.Frame, 13, 0), ResultOk);
  ASSERT_TRUE(Converter().WaitUntil([](const SimCounters& c) { return c.bytesReceived == 18 + 20 + 13; }, 2000));

  seen = Seen();
  ASSERT_EQ(seen.chunks.size(), 5u);
  EXPECT_EQ(seen.chunks[2].bytes, longRead);
  EXPECT_EQ(seen.chunks[3].bytes, kControlWrite);
  EXPECT_EQ(seen.chunks[4].bytes, Bytes{0xAB});
  EXPECT_GE(seen.chunks[4].us - seen.chunks[3].us, 25000);
}

TEST_F(Channel, CheckModesAndAddressesRoundTrip) {
  const uint8_t data[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 0x60};
  ASSERT_EQ(channel.WriteMemory(0x123456, 0, data, 10), ResultOk);
  const Bytes sent = Seen().requests.back().bytes;
  EXPECT_EQ(Bytes(sent.begin() + 6, sent.begin() + 9), (Bytes{0x34, 0x12, 0x56}));

  // Bits above 23 of the address are not sent.
  for (uint8_t mode : {0, 1, 2, 3}) {
    SCOPED_TRACE(mode);
    uint8_t got[10] = {};
    EXPECT_EQ(channel.ReadMemory(0xFF123456, 0, 10, got, mode, 0), ResultOk);
    EXPECT_EQ(Of(got, 10), Of(data, 10));
    EXPECT_EQ(channel.CheckLength, mode == 1 ? 1 : mode == 2 ? 4 : 0);
    EXPECT_EQ(Seen().requests.back().address, 0x123456u);
  }
  // The answers' lengths follow the check mode: modes 0 and 3 carry no check bytes.
  EXPECT_TRUE(Converter().WaitUntil(
      [](const SimCounters& c) { return c.memoryReads == 4 && c.bytesSent == 1u + (11 + 12 + 15 + 11); }, 2000));
}

TEST_F(Channel, FailedExchangesComeBackAsResults) {
  uint8_t got[6] = {};
  // A reply that arrives only in part.
  Converter().SetFaults({.partial = 5});
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultTimeout);
  EXPECT_EQ(channel.RequestState, 0);

  // A corrupt check: the data is already copied when the check fails.
  Converter().SetFaults({.corruptCrc = true});
  std::memset(got, 0, sizeof got);
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultBadChecksum);
  EXPECT_EQ(Of(got, 6), Of(SimDefaultSettings));
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 1, 0), ResultBadChecksum);
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 3, 0), ResultOk);  // nothing to check

  // A refused write leaves the settings as they were.
  Converter().SetFaults({.refuseWrites = true});
  const uint8_t settings[6] = {0x61, 0x01, 0x02, 0x07, 0x4E, 0x00};
  EXPECT_EQ(channel.WriteMemory(0, 0, settings, 6), ResultRefused);
  EXPECT_EQ(Of(Converter().Settings()), Of(SimDefaultSettings));
  // The answer to a one-byte write is not examined.
  EXPECT_EQ(channel.WriteMemory(0x8FFFFF, 0, settings, 1), ResultOk);

  // No answer at all.
  Converter().SetFaults({.silent = true});
  EXPECT_EQ(channel.WriteMemory(0, 0, settings, 6), ResultTimeout);
}

TEST_F(Channel, LateReplyIsDiscardedBeforeTheNextExchange) {
  uint8_t got[6] = {};
  Converter().SetFaults({.delayMs = 500});
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultTimeout);
  ASSERT_TRUE(Converter().WaitUntil([](const SimCounters& c) { return c.bytesSent == 11; }, 3000));
  for (int i = 0; i < 3000 && PortAvailable(id) < 11; ++i) PlatformSleepMs(1);
  ASSERT_EQ(PortAvailable(id), 11);

  // The late answer waits in the port; the next exchange must not take it.
  const SimSettings changed = {0x61, 0x01, 0x02, 0x07, 0x4E, 0x00};
  Converter().SetFaults({});
  Converter().SetSettings(changed);
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultOk);
  EXPECT_EQ(Of(got, 6), Of(changed));
}

TEST_F(Channel, RepeatedCallSendsTheRequestBuiltEarlier) {
  std::memcpy(channel.Frame, kSettingsRead.data(), kSettingsRead.size());
  channel.CheckLength = 4;
  channel.RequestState = 1;
  uint8_t got[6] = {};
  EXPECT_EQ(channel.ReadMemory(0x123456, 0, 6, got, 0, 0), ResultOk);
  EXPECT_EQ(Of(got, 6), Of(SimDefaultSettings));
  EXPECT_EQ(channel.RequestState, 0);
  EXPECT_EQ(Seen().requests.at(0).bytes, kSettingsRead);
}

TEST_F(Channel, RefusesWhatTheFrameCannotCarryAndSendsNothing) {
  uint8_t buffer[DeviceFrameSize] = {};
  EXPECT_EQ(channel.ReadMemory(0, 0, 256, buffer, 2, 0), ResultBadRequest);
  EXPECT_EQ(channel.ReadMemory(0, 0, -1, buffer, 2, 0), ResultBadRequest);
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, nullptr, 2, 0), ResultBadRequest);
  EXPECT_EQ(channel.WriteMemory(0, 0, buffer, 0), ResultBadRequest);
  EXPECT_EQ(channel.WriteMemory(0, 0, nullptr, 6), ResultBadRequest);
  EXPECT_EQ(channel.Transact(channel.Frame, DeviceFrameSize + 1, 1), ResultBadRequest);
  EXPECT_EQ(channel.Transact(channel.Frame, 12, DeviceFrameSize + 1), ResultBadRequest);
  EXPECT_EQ(channel.Transact(channel.Frame, -1, 1), ResultBadRequest);
  // A stored check length that would push the reply past the frame.
  channel.RequestState = 1;
  channel.CheckLength = 100;
  EXPECT_EQ(channel.ReadMemory(0, 0, 255, buffer, 2, 0), ResultBadRequest);
  EXPECT_EQ(channel.RequestState, 0);
  EXPECT_EQ(channel.BusAddress, 16);
  EXPECT_EQ(channel.Port, id);

  // The longest read there is still fits.
  EXPECT_EQ(channel.ReadMemory(0, 0, 255, buffer, 2, 0), ResultOk);
  EXPECT_EQ(Of(buffer, 6), Of(SimDefaultSettings));
  EXPECT_EQ(Converter().Counters().bytesReceived, 12u);
}

// The test plays the device: reads the request, answers exactly `answer`.
class ScriptedPeer : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_EQ(PortOpen(id, pty.name.c_str()), 0);
    channel.Port = id;
    channel.BusAddress = 16;
  }

  void AnswerNext(size_t requestLength, Bytes answer) {
    if (peer.joinable()) peer.join();
    peer = std::thread([this, requestLength, answer] {
      request = pty.Read(requestLength, 2000);
      pty.Write(answer);
    });
  }

  void TearDown() override {
    if (peer.joinable()) peer.join();
  }

  TestPty pty;
  PortId id = 0;
  DeviceChannel channel{0};
  std::thread peer;
  Bytes request;
};

TEST_F(ScriptedPeer, OnlyFFRefusesALongWrite) {
  const uint8_t data[6] = {1, 2, 3, 4, 5, 6};
  AnswerNext(18, {0xFF});
  EXPECT_EQ(channel.WriteMemory(0, 0, data, 6), ResultRefused);
  AnswerNext(18, {0xFE});
  EXPECT_EQ(channel.WriteMemory(0, 0, data, 6), ResultOk);
  AnswerNext(12, {0xFF, 0xFF});
  EXPECT_EQ(channel.WriteMemory(0, 0, data, 1), ResultOk);
  peer.join();
  EXPECT_EQ(request.size(), 12u);
}

TEST_F(ScriptedPeer, ShortCommandsGoOutAloneAndAddressZeroSendsNothing) {
  pty.Write({0x01, 0x02, 0x03});
  for (int i = 0; i < 500 && PortAvailable(id) < 3; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_EQ(PortAvailable(id), 3);

  SendShortCommand(id, 0, UpdateEnterCommand);
  EXPECT_EQ(PortAvailable(id), 3);  // not even the input was discarded
  EXPECT_TRUE(pty.Read(1, 50).empty());

  SendShortCommand(id, 16, UpdateEnterCommand);
  EXPECT_EQ(PortAvailable(id), 0);
  SendShortCommand(id, 16, RecordCommand);
  SendShortCommand(id, 16, UpdateLeaveCommand);
  EXPECT_EQ(pty.Read(12, 1000), (Bytes{0x60, 0x10, 0xFA, 0x49, 0x60, 0x10, 0xF3, 0x5B, 0x60, 0x10, 0xF1, 0x5F}));
}

}  // namespace
