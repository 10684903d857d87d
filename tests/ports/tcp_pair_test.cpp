// A TCP server port and a TCP client port of the same process on 127.0.0.1:
// the same scenarios on Linux and on Windows (Winsock under Wine), where the
// sockets service's non-blocking results, its connection test and its port
// reuse differ most.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "ports/port_transport.h"
#include "support/tcp_server_port.h"

namespace {

class TcpPair : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_TRUE(OpenTcpServerPort(server, &port));
    ASSERT_EQ(PortOpen(client, ClientName().c_str()), 0);
  }
  void TearDown() override {
    PortClose(client);
    PortClose(server);
  }

  std::string ClientName() const { return "TCPC_127.0.0.1:" + std::to_string(port); }
  std::string ServerName() const { return "TCPS_" + std::to_string(port); }

  // Both ends serviced in turn until each has its link.
  bool Link(int32_t timeoutMs) {
    const uint32_t start = PlatformTickMs();
    while (static_cast<int32_t>(PlatformTickMs() - start) < timeoutMs) {
      if (PortWaitLink(client, 10) == 1 && PortWaitLink(server, 10) == 1) return true;
    }
    return false;
  }

  // Sends from one end and reads it at the other, waiting at most 3 s.
  std::vector<uint8_t> Carry(PortId from, PortId to, const std::vector<uint8_t>& bytes) {
    PortWrite(from, bytes.data(), static_cast<uint32_t>(bytes.size()));
    std::vector<uint8_t> in(bytes.size());
    if (PortRead(to, in.data(), static_cast<int32_t>(in.size()), 3000) == 0) in.clear();
    return in;
  }

  PortId server = 0, client = 0;
  uint16_t port = 0;
};

TEST_F(TcpPair, BytesTravelBothWays) {
  ASSERT_TRUE(Link(5000));
  const std::vector<uint8_t> request = {0x60, 0x10, 0x48, 0x2C, 0x00, 0x00};
  const std::vector<uint8_t> answer = {0x10, 0x00, 0x06, 0xA5};
  EXPECT_EQ(Carry(client, server, request), request);
  EXPECT_EQ(Carry(server, client, answer), answer);
}

TEST_F(TcpPair, TimedReadWaitsItsTimeOutAndTakesLateBytes) {
  ASSERT_TRUE(Link(5000));
  uint8_t in[4] = {};
  const uint32_t start = PlatformTickMs();
  EXPECT_EQ(PortRead(client, in, 4, 300), 0);
  const uint32_t took = PlatformTickMs() - start;
  EXPECT_GE(took, 280u);
  EXPECT_LT(took, 2000u);
  EXPECT_EQ(Carry(server, client, {1, 2, 3, 4}), (std::vector<uint8_t>{1, 2, 3, 4}));
}

TEST_F(TcpPair, ClientReconnectsToAServerThatComesBackOnItsPort) {
  ASSERT_TRUE(Link(5000));
  // The server goes away with its connection; the port is taken again at
  // once, and the client finds it by itself.
  PortClose(server);
  uint8_t in[1] = {};
  PortRead(client, in, 1, 100);  // the client sees its connection end
  ASSERT_EQ(PortOpen(server, ServerName().c_str()), 0);
  ASSERT_TRUE(Link(5000));
  EXPECT_EQ(Carry(client, server, {7, 8, 9}), (std::vector<uint8_t>{7, 8, 9}));
}

TEST_F(TcpPair, PortHeldByAListenerIsRefusedToASecond) {
  PortId second = 0;
  EXPECT_EQ(PortOpen(second, ServerName().c_str()), -1);
  EXPECT_EQ(second, 0);
  // With the system's own code as the cause (EADDRINUSE; WSAEACCES on Windows).
  EXPECT_EQ(PortLastFailure().kind, PortFailNetwork);
  EXPECT_NE(PortLastFailure().systemError, 0);
}

TEST_F(TcpPair, RefusedAttemptsNeverCountAsConnected) {
  // A port held bound without listening refuses every attempt, and nobody
  // else on the machine can start listening there meanwhile.
  int32_t holder = -1;
  uint16_t held = 0;
  ASSERT_EQ(SocketCreateTcp(&holder), 0);
  ASSERT_EQ(SocketBind(holder, SocketAnyAddress, 0), 0);
  ASSERT_EQ(SocketLocalPort(holder, &held), 0);
  PortId refused = 0;
  ASSERT_EQ(PortOpen(refused, ("TCPC_127.0.0.1:" + std::to_string(held)).c_str()), 0);
  EXPECT_EQ(PortWaitLink(refused, 600), 0);
  EXPECT_FALSE(PortTable[refused - 1].transport->Linked());
  PortClose(refused);
  SocketClose(holder);
}

}  // namespace
