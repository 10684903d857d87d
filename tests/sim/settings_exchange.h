#pragma once
// The two settings operations of the setup window, run against a simulated
// converter through an open port: the read of the 6-byte record with its CRC,
// and the write of the record followed by the one-byte write to 0x8FFFFF.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

#include "platform/time.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "ports/port_transport.h"
#include "protocol/device_channel.h"
#include "sim/sim_converter.h"

inline int SettingsRead(PortId id, SimSettings* settings) {
  DeviceChannel channel(id);
  channel.BusAddress = SimBusAddress;
  return channel.ReadMemory(0, 0, 6, settings->data(), 2, 0);
}

inline int SettingsWrite(PortId id, const SimSettings& settings) {
  DeviceChannel channel(id);
  channel.BusAddress = SimBusAddress;
  const int result = channel.WriteMemory(0, 0, settings.data(), 6);
  if (result != ResultOk) return result;
  channel.WriteMemory(SimControlAddress, 0, settings.data(), 1);
  return result;
}

// Reads the record the converter holds, writes next, and reads next back.
inline void ExpectSettingsRoundTrip(PortId id, SimConverter& converter, const SimSettings& next) {
  SimSettings got{};
  ASSERT_EQ(SettingsRead(id, &got), ResultOk);
  EXPECT_EQ(got, converter.Settings());
  const uint32_t applied = converter.Counters().controlWrites;
  ASSERT_EQ(SettingsWrite(id, next), ResultOk);
  ASSERT_TRUE(converter.WaitUntil([applied](const SimCounters& c) { return c.controlWrites > applied; }, 2000));
  EXPECT_EQ(converter.Settings(), next);
  EXPECT_EQ(converter.Snapshot().controlWrites.back(), next[0]);
  got = {};
  ASSERT_EQ(SettingsRead(id, &got), ResultOk);
  EXPECT_EQ(got, next);
}

// Checks done() every millisecond, servicing the port (if any) in between,
// until it holds or timeoutMs passes.
inline bool PumpUntil(PortId id, const std::function<bool()>& done, int timeoutMs = 3000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    if (id != 0) PortAvailable(id);
    PlatformSleepMs(1);
  }
  return true;
}

// A TCP port that can carry an exchange: a client connected, a server with a peer.
inline bool PortLinked(PortId id) { return PortSlotOf(id) != nullptr && PortSlotOf(id)->transport->Linked(); }

// Settings other than the converter's default, one per round.
inline SimSettings OtherSettings(uint8_t round) { return {0x61, 0x01, 0x02, 0x07, 0x4E, round}; }
