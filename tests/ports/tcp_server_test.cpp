// The TCP server port ("TCPS_port") with real peers that connect to it on
// 127.0.0.1.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/sockets.h"
#include "support/tcp_server_port.h"
#include "tcp_fixture.h"

namespace {

int IntOption(int fd, int level, int option) {
  int value = -1;
  socklen_t size = sizeof value;
  getsockopt(fd, level, option, &value, &size);
  return value;
}

class TcpServer : public TcpPortTest {
 protected:
  void OpenServer() {
    ASSERT_TRUE(OpenTcpServerPort(id, &port));
    uint16_t bound = 0;
    ASSERT_EQ(SocketLocalPort(Server(id).handle, &bound), 0);
    ASSERT_EQ(bound, port);
  }

  int Peers() const {
    return static_cast<int>(std::count_if(std::begin(Server(id).clients), std::end(Server(id).clients),
                                          [](int32_t s) { return s >= 0; }));
  }

  // Connects a peer and services the port until it holds it in an entry.
  TcpFd Join() {
    const int before = Peers();
    TcpFd peer = TcpConnectLocal(port);
    EXPECT_TRUE(peer.valid());
    EXPECT_TRUE(PumpUntil(id, [&] { return Peers() == before + 1; }));
    return peer;
  }

  PortId id = 0;
  uint16_t port = 0;
};

TEST_F(TcpServer, ListensOnEveryInterfaceWithThePortOfTheName) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  EXPECT_EQ(PortTable[id - 1].kind, KindTcpServer);
  const TcpServerPort& slot = Server(id);
  for (int32_t entry : slot.clients) EXPECT_EQ(entry, -1);
  sockaddr_in local{};
  socklen_t size = sizeof local;
  ASSERT_EQ(getsockname(slot.handle, reinterpret_cast<sockaddr*>(&local), &size), 0);
  EXPECT_EQ(local.sin_addr.s_addr, htonl(INADDR_ANY));
  EXPECT_NE(fcntl(slot.handle, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(IntOption(slot.handle, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(slot.handle, IPPROTO_TCP, TCP_NODELAY), 1);

  // Accepted peers are non-blocking, keep-alive and no-delay too.
  TcpFd peer = Join();
  const int accepted = slot.clients[0];
  ASSERT_GE(accepted, 0);
  EXPECT_NE(fcntl(accepted, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(IntOption(accepted, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(accepted, IPPROTO_TCP, TCP_NODELAY), 1);
}

TEST_F(TcpServer, BusyPortFailsWithoutLeakAndClosedPortReopensAtOnce) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  const std::string name = "TCPS_" + std::to_string(port);
  TcpFd peer = Join();
  PortWrite(id, Bytes("hi").data(), 2);
  ASSERT_EQ(TcpReceiveUpTo(peer.get(), 2, 3000), Bytes("hi"));

  const int before = OpenDescriptorCount();
  PortId second = 42;
  EXPECT_EQ(PortOpen(second, name.c_str()), PortOpenTcpFailed);
  EXPECT_EQ(second, 42);
  EXPECT_EQ(PortTable[id].open, 0);  // the slot it would have taken
  EXPECT_EQ(OpenDescriptorCount(), before);

  // Closing ends every peer's connection and frees the port for a new open,
  // although the closed connections still linger.
  PortClose(id);
  EXPECT_TRUE(TcpReceiveUpTo(peer.get(), 1, 3000).empty());
  EXPECT_EQ(OpenDescriptorCount(), before - 2);
  ASSERT_EQ(PortOpen(id, name.c_str()), PortOpenOk);
  TcpFd again = Join();
  PortWrite(id, Bytes("back").data(), 4);
  EXPECT_EQ(TcpReceiveUpTo(again.get(), 4, 3000), Bytes("back"));
}

TEST_F(TcpServer, WithoutPeersWritesVanishAndLaterPeersGetOnlyLaterWrites) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  PortWrite(id, Bytes("nobody").data(), 6);
  EXPECT_EQ(PortAvailable(id), 0);
  uint8_t byte = 0;
  EXPECT_EQ(PortReadByte(id, &byte, 20), 0);

  TcpFd first = Join();
  TcpFd second = Join();
  PortWrite(id, Bytes("all").data(), 3);
  EXPECT_EQ(TcpReceiveUpTo(first.get(), 6, 300), Bytes("all"));
  EXPECT_EQ(TcpReceiveUpTo(second.get(), 6, 300), Bytes("all"));
}

TEST_F(TcpServer, BytesOfSeveralPeersArriveInEntryOrder) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  TcpFd first = Join();   // entry 0
  TcpFd second = Join();  // entry 1
  ASSERT_GE(Server(id).clients[1], 0);

  // The later entry sends first; the order in the ring is still by entry.
  ASSERT_TRUE(TcpSendAll(second.get(), "4567"));
  ASSERT_TRUE(TcpSendAll(first.get(), "123"));
  ASSERT_TRUE(TcpWaitReadable(Server(id).clients[0], 3000));
  ASSERT_TRUE(TcpWaitReadable(Server(id).clients[1], 3000));
  EXPECT_EQ(PortAvailable(id), 7);
  uint8_t got[7];
  ASSERT_EQ(PortReadExact(id, got, 7), 1);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 7), Bytes("1234567"));
}

TEST_F(TcpServer, PeerThatClosesIsRemovedAtTheNextPump) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  TcpFd first = Join();
  TcpFd second = Join();
  const int accepted = Server(id).clients[0];
  first.Close();
  ASSERT_TRUE(TcpWaitReadable(accepted, 3000));  // the end of stream has arrived

  EXPECT_EQ(PortAvailable(id), 0);
  EXPECT_EQ(Server(id).clients[0], -1);
  EXPECT_GE(Server(id).clients[1], 0);

  // The other peer carries on, and a newcomer takes the freed entry.
  TcpFd third = Join();
  EXPECT_GE(Server(id).clients[0], 0);
  PortWrite(id, Bytes("x").data(), 1);
  EXPECT_EQ(TcpReceiveUpTo(second.get(), 1, 3000), Bytes("x"));
  EXPECT_EQ(TcpReceiveUpTo(third.get(), 1, 3000), Bytes("x"));
}

TEST_F(TcpServer, SeventeenthPeerWaitsUntilOneLeaves) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  std::array<TcpFd, TcpServerPeers> peers;
  for (TcpFd& peer : peers) {
    peer = Join();
    ASSERT_TRUE(peer.valid());
  }
  ASSERT_EQ(Peers(), TcpServerPeers);

  // The newcomer's connection completes in the backlog, but the port does not
  // take it: what it sends is not heard.
  TcpFd late = TcpConnectLocal(port);
  ASSERT_TRUE(late.valid());
  ASSERT_TRUE(TcpSendAll(late.get(), "late"));
  for (int i = 0; i < 50; ++i) {
    EXPECT_EQ(PortAvailable(id), 0);
    PlatformSleepMs(1);
  }

  const int leaving = Server(id).clients[5];
  peers[5].Close();
  ASSERT_TRUE(TcpWaitReadable(leaving, 3000));
  PortAvailable(id);  // notices the leaver
  EXPECT_EQ(Server(id).clients[5], -1);
  EXPECT_EQ(PortAvailable(id), 4);  // takes the newcomer into entry 5 and hears it
  EXPECT_GE(Server(id).clients[5], 0);
  uint8_t got[4];
  ASSERT_EQ(PortReadExact(id, got, 4), 1);
  EXPECT_EQ(std::vector<uint8_t>(got, got + 4), Bytes("late"));
}

TEST_F(TcpServer, FloodBeyondTheRingKeepsItsStartAndStaysConsistent) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  TcpFd peer = Join();
  std::vector<uint8_t> flood(30000);
  for (size_t i = 0; i < flood.size(); ++i) flood[i] = static_cast<uint8_t>(i % 251);
  ASSERT_TRUE(TcpSendAll(peer.get(), flood));
  peer.Close();  // once the port has read up to the end, it removes the peer
  ASSERT_TRUE(PumpUntil(id, [&] { return Peers() == 0; }));

  ASSERT_EQ(PortAvailable(id), RxRingSize - 1);
  std::vector<uint8_t> got(RxRingSize - 1);
  ASSERT_EQ(PortReadExact(id, got.data(), static_cast<int32_t>(got.size())), 1);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), flood.begin()));
  EXPECT_EQ(PortAvailable(id), 0);

  TcpFd next = Join();
  ASSERT_TRUE(TcpSendAll(next.get(), "after"));
  uint8_t tail[5];
  ASSERT_NE(PortRead(id, tail, 5, 3000), 0);
  EXPECT_EQ(std::vector<uint8_t>(tail, tail + 5), Bytes("after"));
}

TEST_F(TcpServer, PeerThatVanishesDuringWritesIsDroppedOthersStay) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  TcpFd ended = Join();
  TcpFd reset = Join();
  TcpFd staying = Join();
  ended.Close();  // its process ended: later data is answered with a reset
  reset.Reset();  // gone at once

  // No pump runs between the writes, so the port learns of the ends only from
  // them: resets and broken pipes, which must not raise SIGPIPE.
  const std::vector<uint8_t> block(1000, 0x55);
  size_t total = 0;
  for (int i = 0; i < 50; ++i) {
    PortWrite(id, block.data(), static_cast<uint32_t>(block.size()));
    total += block.size();
    PlatformSleepMs(1);
  }
  EXPECT_EQ(Server(id).clients[0], -1);
  EXPECT_EQ(Server(id).clients[1], -1);
  EXPECT_GE(Server(id).clients[2], 0);
  EXPECT_EQ(TcpReceiveUpTo(staying.get(), total, 3000).size(), total);
}

TEST_F(TcpServer, PeerThatStopsReadingIsDroppedWithoutStallingWrites) {
  ASSERT_NO_FATAL_FAILURE(OpenServer());
  TcpFd stuck = Join();  // never reads
  const std::vector<uint8_t> block(60000, 0xAA);
  for (int i = 0; i < 500 && Peers() == 1; ++i) PortWrite(id, block.data(), static_cast<uint32_t>(block.size()));
  ASSERT_EQ(Peers(), 0) << "the send buffers never filled";

  // The peer's stream ends after what the port had handed over.
  size_t received = 0;
  for (;;) {
    const std::vector<uint8_t> part = TcpReceiveUpTo(stuck.get(), 1 << 20, 1000);
    if (part.empty()) break;
    received += part.size();
  }
  EXPECT_GT(received, 0u);
  EXPECT_FALSE(TcpWaitReadable(stuck.get(), 0) && TcpReceiveUpTo(stuck.get(), 1, 0).size() > 0);

  TcpFd next = Join();
  PortWrite(id, Bytes("next").data(), 4);
  EXPECT_EQ(TcpReceiveUpTo(next.get(), 4, 3000), Bytes("next"));
}

}  // namespace
