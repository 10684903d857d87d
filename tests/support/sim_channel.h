#pragma once
// A simulated converter on its own pseudo-terminal, the port layer's port on
// it, and a device channel at bus address 16 on that port: the frame of the
// tests that talk to the converter through the protocol.

#include <gtest/gtest.h>

#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "protocol/device_channel.h"
#include "sim/sim_serve.h"

class SimChannelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_TRUE(sim.Ok());
    ASSERT_EQ(PortOpen(id, sim.PortName().c_str()), 0);
    channel.Port = id;
    channel.BusAddress = 16;
  }

  SimConverter& Converter() { return sim.Converter(); }
  SimSnapshot Seen() { return sim.Converter().Snapshot(); }

  SimDevice sim;
  PortId id = 0;
  DeviceChannel channel{0};
};
