// The simulated converter over TCP, in-process, driven through the port
// layer's TCP ports the way the setup window drives a converter: listening
// for a client port, connecting to a server port, and behind ser2net.

#include <sys/socket.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "ports/ms_clock.h"
#include "sim/sim_serve.h"
#include "sim/sim_tcp.h"
#include "settings_exchange.h"
#include "support/scratch_dir.h"
#include "support/ser2net.h"
#include "support/tcp_peer.h"
#include "support/tcp_server_port.h"

namespace {

class SimTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
  }

  // A listener on a port outside the system's range of automatic ports, so
  // that no connection attempt of the client can take it as its own end while
  // the simulator is away and it can come back on the same port.
  std::unique_ptr<SimTcpListener> ListenOnPickedPort() {
    for (int attempt = 0; attempt < 5; ++attempt) {
      auto sim = std::make_unique<SimTcpListener>(converter, TcpPickPort());
      if (sim->Ok()) return sim;
    }
    return nullptr;
  }

  ScratchDir dir;
  SimConverter converter;
  PortId id = 0;
};

TEST_F(SimTcp, SettingsOverAClientPort) {
  SimTcpListener sim(converter);
  ASSERT_TRUE(sim.Ok()) << sim.Error();
  EXPECT_EQ(sim.PortName(), "TCPC_127.0.0.1:" + std::to_string(sim.Port()));
  ASSERT_EQ(PortOpen(id, sim.PortName().c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); }));
  ExpectSettingsRoundTrip(id, converter, OtherSettings(1));
  ExpectSettingsRoundTrip(id, converter, OtherSettings(2));
  EXPECT_EQ(sim.Connections(), 1u);
  EXPECT_EQ(converter.Counters().badHeaders + converter.Counters().garbageBytes, 0u);
}

TEST_F(SimTcp, SettingsOverAServerPort) {
  uint16_t port = 0;
  ASSERT_TRUE(OpenTcpServerPort(id, &port));
  SimTcpConnector sim(converter, "127.0.0.1", port);
  ASSERT_TRUE(sim.Ok());
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); }));
  ExpectSettingsRoundTrip(id, converter, OtherSettings(1));
  EXPECT_EQ(sim.Connections(), 1u);
  EXPECT_TRUE(sim.Connected());
}

TEST_F(SimTcp, ConverterConnectsOnceTheServerPortOpensAndAgainAfterItReopens) {
  // The converter is started first and keeps trying; a port that turns out
  // busy when the server opens it is replaced by another.
  std::unique_ptr<SimTcpConnector> sim;
  uint16_t port = 0;
  for (int attempt = 0; attempt < 5 && id == 0; ++attempt) {
    port = TcpPickPort();
    sim = std::make_unique<SimTcpConnector>(converter, "127.0.0.1", port, 20);
    ASSERT_TRUE(sim->Ok());
    PlatformSleepMs(150);
    EXPECT_EQ(sim->Connections(), 0u);
    if (PortOpen(id, ("TCPS_" + std::to_string(port)).c_str()) != PortOpenOk) id = 0;
  }
  ASSERT_NE(id, 0);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); }));
  ExpectSettingsRoundTrip(id, converter, OtherSettings(1));

  // The server goes away and comes back on the same port: the converter
  // connects again and carries on with the settings it was given.
  PortClose(id);
  ASSERT_TRUE(PumpUntil(0, [&] { return !sim->Connected(); }));
  ASSERT_EQ(PortOpen(id, ("TCPS_" + std::to_string(port)).c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); }));
  EXPECT_EQ(sim->Connections(), 2u);
  EXPECT_EQ(converter.Settings(), OtherSettings(1));
  ExpectSettingsRoundTrip(id, converter, OtherSettings(2));
}

TEST_F(SimTcp, ClientReconnectsWhenTheSimulatorComesBack) {
  auto sim = ListenOnPickedPort();
  ASSERT_NE(sim, nullptr);
  const uint16_t port = sim->Port();
  ASSERT_EQ(PortOpen(id, sim->PortName().c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); }));
  ExpectSettingsRoundTrip(id, converter, OtherSettings(1));

  // Gone: the connection ends, the exchange times out, the port stays open
  // and keeps trying.
  sim.reset();
  SimSettings got{};
  EXPECT_EQ(SettingsRead(id, &got), ResultTimeout);
  EXPECT_FALSE(PortLinked(id));

  sim = std::make_unique<SimTcpListener>(converter, port);
  ASSERT_TRUE(sim->Ok()) << "port " << port << " was taken meanwhile: " << sim->Error();
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); }));
  ASSERT_EQ(SettingsRead(id, &got), ResultOk);
  EXPECT_EQ(got, OtherSettings(1));
  ExpectSettingsRoundTrip(id, converter, OtherSettings(2));
  EXPECT_EQ(sim->Connections(), 1u);
}

TEST_F(SimTcp, NewConnectionTakesOverFromAStaleOne) {
  // A client that lost its connection without the simulator noticing must not
  // lock the next one out.
  SimTcpListener sim(converter);
  ASSERT_TRUE(sim.Ok());
  TcpFd stale = TcpConnectLocal(sim.Port());
  ASSERT_TRUE(stale.valid());
  ASSERT_TRUE(sim.WaitConnections(1, 3000));

  ASSERT_EQ(PortOpen(id, sim.PortName().c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id) && sim.Connections() == 2; }));
  ExpectSettingsRoundTrip(id, converter, OtherSettings(1));

  ASSERT_TRUE(TcpWaitReadable(stale.get(), 3000));
  uint8_t byte = 0;
  EXPECT_LE(recv(stale.get(), &byte, 1, 0), 0);  // closed, never answered
}

TEST_F(SimTcp, AnswersAPeerThatStoppedSendingThenCloses) {
  // "Request, then end of input", as `printf ... | socat - TCP:...` sends it:
  // the answer still comes, after the converter's delay, then the end.
  converter.SetFaults({.delayMs = 100});
  SimTcpListener sim(converter);
  ASSERT_TRUE(sim.Ok());
  TcpFd peer = TcpConnectLocal(sim.Port());
  ASSERT_TRUE(peer.valid());
  const std::vector<uint8_t> request = {0x60, 0x10, 0x48, 0x2C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xF2};
  ASSERT_TRUE(TcpSendAll(peer.get(), request));
  ASSERT_EQ(shutdown(peer.get(), SHUT_WR), 0);
  const std::vector<uint8_t> answer = TcpReceiveUpTo(peer.get(), 12, 3000);  // one more than comes
  ASSERT_EQ(answer.size(), 11u);
  EXPECT_TRUE(std::equal(SimDefaultSettings.begin(), SimDefaultSettings.end(), answer.begin()));
  EXPECT_TRUE(PumpUntil(0, [&] { return !sim.Connected(); }));
}

TEST_F(SimTcp, SettingsThroughSer2netToThePty) {
  SimDevice sim;
  ASSERT_TRUE(sim.Ok());
  Ser2net relay(sim.Path());
  ASSERT_NE(relay.port(), 0) << relay.Log();
  ASSERT_EQ(PortOpen(id, relay.PortName().c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); })) << relay.Log();
  ExpectSettingsRoundTrip(id, sim.Converter(), OtherSettings(1));
  ExpectSettingsRoundTrip(id, sim.Converter(), OtherSettings(2));
}

}  // namespace
