// Waiting for a TCP port's connection before the first exchange: a client
// until it is connected, a server until a peer has come; other ports at once.

#include "support/tcp_server_port.h"
#include "tcp_fixture.h"

namespace {

using PortWaitLinkTest = TcpPortTest;

TEST_F(PortWaitLinkTest, OtherPortsAreReadyAtOnceAndNoPortNever) {
  PortId id = 0;
  ASSERT_EQ(PortOpen(id, "STUB"), PortOpenOk);
  EXPECT_EQ(PortWaitLink(id, 0), 1);
  EXPECT_EQ(PortWaitLink(0, 0), 0);
  EXPECT_EQ(PortWaitLink(id + 1, 0), 0);  // a free slot
}

TEST_F(PortWaitLinkTest, ServerWaitsForAPeer) {
  PortId id = 0;
  uint16_t port = 0;
  ASSERT_TRUE(OpenTcpServerPort(id, &port));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(PortWaitLink(id, 100), 0);
  EXPECT_GE(ElapsedMs(start), 90);

  TcpFd peer = TcpConnectLocal(port);
  ASSERT_TRUE(peer.valid());
  EXPECT_EQ(PortWaitLink(id, 3000), 1);
  EXPECT_GE(Server(id).clients[0], 0);
}

TEST_F(PortWaitLinkTest, ClientWaitsForItsConnection) {
  // Nobody listens at first: the wait ends empty-handed, the port stays open
  // and connects once a server is there.
  uint16_t port = 0;
  TcpFd held = TcpHoldPort(&port);
  ASSERT_TRUE(held.valid());
  PortId id = 0;
  ASSERT_EQ(PortOpen(id, ("TCPC_127.0.0.1:" + std::to_string(port)).c_str()), PortOpenOk);
  EXPECT_EQ(PortWaitLink(id, 100), 0);
  EXPECT_EQ(Client(id).connected, 0);

  TcpFd listener = TcpListenLocal(port, nullptr, true);
  ASSERT_TRUE(listener.valid());
  held.Close();
  EXPECT_EQ(PortWaitLink(id, 3000), 1);
  EXPECT_EQ(Client(id).connected, 1);
}

}  // namespace
