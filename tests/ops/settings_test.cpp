// The connection check and the settings write against the simulated converter
// on a pseudo-terminal.

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ops/settings.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "sim/sim_serve.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Of(const DeviceSettings& s) {
  const auto* p = reinterpret_cast<const uint8_t*>(&s);
  return Bytes(p, p + sizeof s);
}
Bytes Of(const SimSettings& s) { return Bytes(s.begin(), s.end()); }

class Settings : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_TRUE(sim.Ok());
  }

  // Checks the connection, expecting success.
  void Check() {
    ASSERT_EQ(SettingsCheck(sim.PortName().c_str(), portId, settings), SettingsOk);
    ASSERT_NE(portId, 0);
  }

  SimDevice sim;
  PortId portId = 0;
  DeviceSettings settings{};
};

TEST_F(Settings, CheckReadsTheRecordAndKeepsThePortOpen) {
  const SimSettings record = {0x80, 0x04, 0xA5, 0x05, 'x', 0xFF};  // 1152, spare set, odd values
  sim.Converter().SetSettings(record);
  Check();
  EXPECT_EQ(Of(settings), Of(record));
  EXPECT_NE(PortSlotOf(portId), nullptr);
  EXPECT_EQ(sim.Converter().Counters().memoryReads, 1u);
}

TEST_F(Settings, FailedReadClosesThePortAndLeavesTheRecord) {
  sim.Converter().SetFaults({.corruptCrc = true});
  settings = {{1, 2}, 3, 4, 5, 6};
  const Bytes before = Of(settings);
  EXPECT_EQ(SettingsCheck(sim.PortName().c_str(), portId, settings), SettingsReadFailed);
  EXPECT_EQ(portId, 0);
  EXPECT_EQ(Of(settings), before);  // the unverified bytes never reach the caller
  for (const PortSlot& slot : PortTable) EXPECT_EQ(slot.open, 0);

  sim.Converter().SetFaults({.silent = true});
  EXPECT_EQ(SettingsCheck(sim.PortName().c_str(), portId, settings), SettingsReadFailed);
  EXPECT_EQ(portId, 0);

  // The converter answers again: the check can simply be repeated.
  sim.Converter().SetFaults({});
  Check();
}

TEST_F(Settings, PortThatCannotOpen) {
  PortId holder = 0;
  ASSERT_EQ(PortOpen(holder, sim.PortName().c_str()), 0);  // someone else has it
  EXPECT_EQ(SettingsCheck(sim.PortName().c_str(), portId, settings), SettingsPortOpenFailed);
  EXPECT_EQ(portId, 0);
  EXPECT_EQ(SettingsCheck("ttyNoSuchPort", portId, settings), SettingsPortOpenFailed);
  EXPECT_EQ(sim.Converter().Counters().bytesReceived, 0u);
  EXPECT_STREQ(SettingsMessage(SettingsPortOpenFailed), "Ошибка открытия порта");
}

TEST_F(Settings, WriteStoresTheRecordThenTheOneByteWrite) {
  sim.Converter().SetSettings({0x60, 0x00, 0x5A, 0x08, 'N', 0x80 | 0x15});
  Check();
  SettingsView view = SettingsToView(settings);
  view.baudRate = "19200";
  view.parityRow = 1;
  view.dataBitsRow = 1;
  view.twoStopBits = true;
  view.echoSuppression = false;
  SettingsFromView(view, settings);
  EXPECT_EQ(SettingsWrite(portId, settings), SettingsOk);

  const SimSnapshot seen = sim.Converter().Snapshot();
  // 192 = 0xC0; spare and the low flag bits as read, echo off, two stop bits on.
  EXPECT_EQ(Of(seen.settings), (Bytes{0xC0, 0x00, 0x5A, 7, 'E', 0x40 | 0x15}));
  EXPECT_EQ(seen.controlWrites, Bytes{0xC0});  // the record's first byte
  ASSERT_GE(seen.requests.size(), 3u);
  const SimRequest& store = seen.requests[seen.requests.size() - 2];
  const SimRequest& apply = seen.requests.back();
  EXPECT_EQ(store.address, 0u);
  EXPECT_EQ(store.length, 6);
  EXPECT_EQ(apply.address, 0x8FFFFFu);
  EXPECT_EQ(apply.length, 1);
  EXPECT_NE(PortSlotOf(portId), nullptr);  // the write leaves the port open
}

TEST_F(Settings, RefusedWriteSendsNoOneByteWrite) {
  Check();
  sim.Converter().SetFaults({.refuseWrites = true});
  EXPECT_EQ(SettingsWrite(portId, settings), SettingsWriteFailed);
  EXPECT_EQ(sim.Converter().Counters().controlWrites, 0u);
  EXPECT_EQ(sim.Converter().Counters().writesRefused, 1u);
  EXPECT_NE(PortSlotOf(portId), nullptr);

  // A silent converter, and a closed port, fail the same way.
  sim.Converter().SetFaults({.silent = true});
  EXPECT_EQ(SettingsWrite(portId, settings), SettingsWriteFailed);
  PortClose(portId);
  EXPECT_EQ(SettingsWrite(0, settings), SettingsWriteFailed);
}

TEST_F(Settings, OneByteWriteIsNotExamined) {
  Check();
  // The six-byte write still gets its whole one-byte answer; the two-byte answer
  // to the one-byte write is cut short and times out, which changes nothing.
  sim.Converter().SetFaults({.partial = 1});
  EXPECT_EQ(SettingsWrite(portId, settings), SettingsOk);
  EXPECT_EQ(sim.Converter().Counters().controlWrites, 1u);
}

}  // namespace
