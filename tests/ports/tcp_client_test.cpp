// The TCP client port ("TCPC_a.b.c.d:port") against real listeners on
// 127.0.0.1 played by the test.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "ports/tcp.h"

#include "tcp_fixture.h"

namespace {

using Clock = std::chrono::steady_clock;

int IntOption(int fd, int level, int option) {
  int value = -1;
  socklen_t size = sizeof value;
  getsockopt(fd, level, option, &value, &size);
  return value;
}

std::vector<uint8_t> Pattern(size_t count) {
  std::vector<uint8_t> v(count);
  for (size_t i = 0; i < count; ++i) v[i] = static_cast<uint8_t>(i * 13 + i / 256);
  return v;
}

class TcpClient : public TcpPortTest {
 protected:
  std::string Name(uint16_t port) const { return "TCPC_127.0.0.1:" + std::to_string(port); }

  // Opens a client on a fresh listener and waits until the port is connected.
  void OpenConnected() {
    listener = TcpListenLocal(0, &port);
    ASSERT_TRUE(listener.valid());
    ASSERT_EQ(PortOpen(id, Name(port).c_str()), PortOpenOk);
    peer = AcceptWhilePumping(id, listener.get());
    ASSERT_TRUE(peer.valid());
    ASSERT_TRUE(PumpUntil(id, [&] { return Client(id).connected == 1; }));
  }

  // One request and reply as the protocol makes them: flush, write, timed read.
  void Exchange(const std::string& request, const std::string& reply) {
    PortFlushInput(id);
    PortWrite(id, Bytes(request).data(), static_cast<uint32_t>(request.size()));
    ASSERT_EQ(TcpReceiveUpTo(peer.get(), request.size(), 3000), Bytes(request));
    ASSERT_TRUE(TcpSendAll(peer.get(), reply));
    std::vector<uint8_t> got(reply.size());
    ASSERT_NE(PortRead(id, got.data(), static_cast<int32_t>(got.size()), 3000), 0);
    EXPECT_EQ(got, Bytes(reply));
  }

  // Services the port until a new connection reaches listener; it replaces peer.
  void AwaitReconnection() {
    peer = AcceptWhilePumping(id, listener.get());
    ASSERT_TRUE(peer.valid()) << "the client did not connect again";
    ASSERT_TRUE(PumpUntil(id, [&] { return Client(id).connected == 1; }));
  }

  TcpFd listener;
  TcpFd peer;
  uint16_t port = 0;
  PortId id = 0;
};

TEST_F(TcpClient, NameGivesAddressAndPortWithoutConnecting) {
  // Text that names no server is refused, and the slot stays free.
  for (const char* bad : {"TCPC_127.0.0.1", "TCPC_", "TCPC_localhost:4001", "TCPC_127.0.0.1:", "TCPC_127.0.0.1:x",
                          "TCPC_1.2.3.4.5:4001"}) {
    id = 42;
    EXPECT_EQ(PortOpen(id, bad), PortOpenTcpFailed) << bad;
    EXPECT_EQ(id, 42) << bad;
  }
  for (const PortSlot& slot : PortTable) EXPECT_EQ(slot.open, 0);

  ASSERT_EQ(PortOpen(id, "TCPC_192.168.0.10:4001"), PortOpenOk);
  EXPECT_EQ(PortTable[id - 1].kind, KindTcpClient);
  const TcpClientPort& slot = Client(id);
  const uint8_t network[4] = {192, 168, 0, 10};
  EXPECT_EQ(std::memcmp(&slot.serverAddress, network, 4), 0);
  EXPECT_EQ(slot.serverPort, 4001);
  EXPECT_EQ(slot.connected, 0);
  EXPECT_EQ(slot.connecting, 0);
  ASSERT_GE(slot.handle, 0);
  // Nothing has asked the socket to connect yet.
  sockaddr_in peerAddress{};
  socklen_t size = sizeof peerAddress;
  EXPECT_NE(getpeername(slot.handle, reinterpret_cast<sockaddr*>(&peerAddress), &size), 0);

  // The socket settings a link to a remote converter needs.
  EXPECT_NE(fcntl(slot.handle, F_GETFL) & O_NONBLOCK, 0);
  EXPECT_EQ(IntOption(slot.handle, SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(IntOption(slot.handle, IPPROTO_TCP, TCP_KEEPIDLE), 10);
  EXPECT_EQ(IntOption(slot.handle, IPPROTO_TCP, TCP_KEEPINTVL), 1);
  EXPECT_EQ(IntOption(slot.handle, IPPROTO_TCP, TCP_NODELAY), 1);

  // Only a dotted address of four decimal parts and a decimal port: text
  // that could be read another way is refused, never wrapped or cut.
  for (const char* loose : {"TCPC_10.0.0.1: +4001xyz", "TCPC_10.0.0.1:70000", "TCPC_10.0.0.1:69537",
                            "TCPC_10.0.0.1:-1", "TCPC_10.0.0.1:4001abc", "TCPC_127.1:4001", "TCPC_0x7f.0.0.1:4001",
                            "TCPC_127.0.0.01:4001", "TCPC_256.0.0.1:4001", "TCPC_10.0.0.1:0", "TCPC_10.0.0.1:04001",
                            "TCPC_ 10.0.0.1:4001", "TCPC_10.0.0.1:4001 "}) {
    PortId other = 42;
    EXPECT_EQ(PortOpen(other, loose), PortOpenTcpFailed) << loose;
  }
  for (const char* exact : {"TCPC_0.0.0.0:1", "TCPC_255.255.255.255:65535"}) {
    PortId other = 0;
    EXPECT_EQ(PortOpen(other, exact), PortOpenOk) << exact;
    PortClose(other);
  }
}

TEST_F(TcpClient, ConnectionAttemptsArePaced) {
  // A server that hangs up at once ends every attempt, as a refusing one does;
  // the client must not storm it while a caller waits for its link.
  listener = TcpListenLocal(0, &port);
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(PortOpen(id, Name(port).c_str()), PortOpenOk);
  int accepted = 0;
  const auto start = Clock::now();
  while (ElapsedMs(start) < 1000) {
    PortAvailable(id);
    while (TcpWaitReadable(listener.get(), 0)) {
      TcpFd hungUp = TcpAcceptWithin(listener.get(), 0);
      if (hungUp.valid()) ++accepted;
    }
    PlatformSleepMs(1);
  }
  EXPECT_GE(accepted, 2);
  EXPECT_LE(accepted, 6);
}

TEST_F(TcpClient, ConnectsAtTheFirstServicingAndDropsEarlierWrites) {
  listener = TcpListenLocal(0, &port);
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(PortOpen(id, Name(port).c_str()), PortOpenOk);
  EXPECT_FALSE(TcpWaitReadable(listener.get(), 100)) << "connected before any servicing";

  // The write starts the attempt; the bytes go nowhere unless it completed at once.
  PortWrite(id, Bytes("early").data(), 5);
  const bool connectedAtOnce = Client(id).connected == 1;
  peer = AcceptWhilePumping(id, listener.get());
  ASSERT_TRUE(peer.valid());
  ASSERT_TRUE(PumpUntil(id, [&] { return Client(id).connected == 1; }));
  EXPECT_EQ(Client(id).connecting, 0);

  PortWrite(id, Bytes("late").data(), 4);
  if (connectedAtOnce)
    EXPECT_EQ(TcpReceiveUpTo(peer.get(), 9, 3000), Bytes("earlylate"));
  else
    EXPECT_EQ(TcpReceiveUpTo(peer.get(), 9, 300), Bytes("late"));

  Exchange("request", "reply");
}

TEST_F(TcpClient, RefusedAttemptsNeverCountAsConnected) {
  // A port held without listening refuses every attempt; a refused
  // non-blocking connect still shows the socket writable.
  uint16_t refused = 0;
  TcpFd holder(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  socklen_t size = sizeof a;
  getsockname(holder.get(), reinterpret_cast<sockaddr*>(&a), &size);
  refused = ntohs(a.sin_port);

  ASSERT_EQ(PortOpen(id, Name(refused).c_str()), PortOpenOk);
  int attempts = 0;
  const auto start = Clock::now();
  while (ElapsedMs(start) < 300) {
    Client(id).ConnectStep();
    ASSERT_EQ(Client(id).connected, 0);
    attempts += Client(id).connecting;
    PlatformSleepMs(1);
  }
  EXPECT_GT(attempts, 0);
  PortWrite(id, Bytes("x").data(), 1);
  EXPECT_EQ(PortAvailable(id), 0);
  uint8_t byte = 0;
  EXPECT_EQ(PortReadByte(id, &byte, 20), 0);
}

TEST_F(TcpClient, AttemptThatOutlivesItsWindowStartsAfresh) {
  // A listener whose accept queue is full leaves new attempts unanswered.
  listener = TcpListenLocal(0, &port);
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(listen(listener.get(), 0), 0);
  std::vector<TcpFd> queued;
  for (int i = 0; i < 8; ++i) {
    TcpFd filler = TcpConnectLocal(port, 200);
    if (!filler.valid()) break;
    queued.push_back(std::move(filler));
  }
  ASSERT_FALSE(queued.empty());

  ASSERT_EQ(PortOpen(id, Name(port).c_str()), PortOpenOk);
  PortAvailable(id);
  ASSERT_EQ(Client(id).connecting, 1);
  const auto start = Clock::now();
  while (ElapsedMs(start) < 200) {
    PortAvailable(id);
    ASSERT_EQ(Client(id).connected, 0);
    ASSERT_EQ(Client(id).connecting, 1);
    PlatformSleepMs(5);
  }

  // The window ends: the attempt is given up, and the next ones succeed as
  // soon as the server answers again.
  Client(id).connectDeadline = MsClockTick16();
  Client(id).ConnectStep();
  EXPECT_EQ(Client(id).connecting, 0);
  EXPECT_EQ(Client(id).connected, 0);
  while (TcpWaitReadable(listener.get(), 0)) TcpAcceptWithin(listener.get(), 0);
  queued.clear();
  ASSERT_NO_FATAL_FAILURE(AwaitReconnection());
  Exchange("late", "but fine");
}

TEST_F(TcpClient, ALateAnswerIsNotTakenForTheNextOne) {
  ASSERT_NO_FATAL_FAILURE(OpenConnected());
  PortWrite(id, Bytes("first").data(), 5);
  ASSERT_EQ(TcpReceiveUpTo(peer.get(), 5, 3000), Bytes("first"));
  std::vector<uint8_t> got(6);
  ASSERT_EQ(PortRead(id, got.data(), 6, 20), 0);  // no answer in time
  ASSERT_TRUE(TcpSendAll(peer.get(), "stale!"));  // then it comes, unread
  PlatformSleepMs(50);
  Exchange("second", "fresh!");
}

// However much stray input waits in the socket, the flush before a request
// takes it all: a stray byte left over would be read as the answer.
TEST_F(TcpClient, TheFlushTakesAllThatArrivedHoweverMuch) {
  ASSERT_NO_FATAL_FAILURE(OpenConnected());
  const std::vector<uint8_t> stray(80 * 1024, 0x00);
  ASSERT_TRUE(TcpSendAll(peer.get(), stray));
  int waiting = 0;  // in the client's socket, not yet pumped
  for (const auto end = Clock::now() + std::chrono::seconds(3); Clock::now() < end; PlatformSleepMs(1))
    if (ioctl(Client(id).handle, FIONREAD, &waiting) == 0 && waiting == static_cast<int>(stray.size())) break;
  ASSERT_EQ(waiting, static_cast<int>(stray.size()));
  Exchange("second", "fresh!");
}

TEST_F(TcpClient, ReconnectsWhenTheServerClosesTheConnection) {
  ASSERT_NO_FATAL_FAILURE(OpenConnected());
  Exchange("one", "first");

  peer.Close();  // an orderly end: the client reads end of stream
  ASSERT_NO_FATAL_FAILURE(AwaitReconnection());
  Exchange("two", "second");
}

TEST_F(TcpClient, ServerThatStopsAndComesBackIsReachedAgain) {
  // The port is held while the server is away, so that nobody else takes it
  // and the client's attempts are refused, as by a machine whose server is
  // down.
  TcpFd held = TcpHoldPort(&port);
  ASSERT_TRUE(held.valid());
  listener = TcpListenLocal(port, nullptr, true);
  ASSERT_TRUE(listener.valid());
  ASSERT_EQ(PortOpen(id, Name(port).c_str()), PortOpenOk);
  peer = AcceptWhilePumping(id, listener.get());
  ASSERT_TRUE(peer.valid());
  ASSERT_TRUE(PumpUntil(id, [&] { return Client(id).connected == 1; }));
  Exchange("before", "ok");

  peer.Close();
  listener.Close();
  ASSERT_TRUE(PumpUntil(id, [&] { return Client(id).connected == 0; }));
  uint8_t reply[2];
  PortWrite(id, Bytes("lost").data(), 4);
  EXPECT_EQ(PortRead(id, reply, 2, 100), 0);  // nobody there to answer

  // The server comes back on the same port.
  listener = TcpListenLocal(port, nullptr, true);
  ASSERT_TRUE(listener.valid());
  ASSERT_NO_FATAL_FAILURE(AwaitReconnection());
  Exchange("after", "ok again");
}

TEST_F(TcpClient, PeerThatVanishesDuringWritesCostsOnlyTheConnection) {
  ASSERT_NO_FATAL_FAILURE(OpenConnected());
  peer.Close();  // the relay's process ended

  // No pump runs between the writes, so the client learns of the end only
  // from them: the first is answered with a reset, the next fails with a
  // broken pipe, which must not raise SIGPIPE.
  const std::vector<uint8_t> block = Pattern(1000);
  for (int i = 0; i < 50 && Client(id).connected == 1; ++i) {
    PortWrite(id, block.data(), static_cast<uint32_t>(block.size()));
    PlatformSleepMs(1);
  }
  ASSERT_EQ(Client(id).connected, 0) << "the writes never failed";
  ASSERT_NO_FATAL_FAILURE(AwaitReconnection());
  Exchange("still alive", "yes");
}

TEST_F(TcpClient, FloodBeyondTheRingKeepsItsStartAndStaysConsistent) {
  ASSERT_NO_FATAL_FAILURE(OpenConnected());
  const std::vector<uint8_t> flood = Pattern(25000);
  ASSERT_TRUE(TcpSendAll(peer.get(), flood));

  // Pump until the socket holds nothing more.
  ASSERT_TRUE(PumpUntil(id, [&] {
    int waiting = 1;
    ioctl(Client(id).handle, FIONREAD, &waiting);
    return waiting == 0;
  }));
  ASSERT_EQ(PortAvailable(id), RxRingSize - 1);
  std::vector<uint8_t> got(RxRingSize - 1);
  ASSERT_NE(PortRead(id, got.data(), static_cast<int32_t>(got.size()), 0), 0);
  EXPECT_TRUE(std::equal(got.begin(), got.end(), flood.begin()));
  EXPECT_EQ(PortAvailable(id), 0);

  // The connection and the ring go on working.
  EXPECT_EQ(Client(id).connected, 1);
  Exchange("more", "fine");
}

TEST_F(TcpClient, TimedReadWaitsForLateBytesAndTimesOut) {
  ASSERT_NO_FATAL_FAILURE(OpenConnected());
  uint8_t buffer[6] = {};

  auto start = Clock::now();
  EXPECT_EQ(PortRead(id, buffer, 6, 200), 0);
  const int64_t waited = ElapsedMs(start);
  EXPECT_GE(waited, 190);
  EXPECT_LT(waited, 3000);

  // Two bytes are already in the ring; four more come late, in two pieces.
  ASSERT_TRUE(TcpSendAll(peer.get(), "ab"));
  ASSERT_TRUE(PumpUntil(id, [&] { return PortAvailable(id) == 2; }));
  std::thread late([fd = peer.get()] {
    PlatformSleepMs(50);
    TcpSendAll(fd, "cd");
    PlatformSleepMs(50);
    TcpSendAll(fd, "ef");
  });
  start = Clock::now();
  const int32_t result = PortRead(id, buffer, 6, 5000);
  late.join();
  EXPECT_EQ(result, 4);  // the bytes that were still missing after the ring
  EXPECT_LT(ElapsedMs(start), 4000);
  EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 6), Bytes("abcdef"));
}

TEST_F(TcpClient, OpeningAndClosingLeaveNoDescriptorBehind) {
  listener = TcpListenLocal(0, &port);
  ASSERT_TRUE(listener.valid());
  const int before = OpenDescriptorCount();
  for (int round = 0; round < 5; ++round) {
    ASSERT_EQ(PortOpen(id, Name(port).c_str()), PortOpenOk);
    peer = AcceptWhilePumping(id, listener.get());
    ASSERT_TRUE(peer.valid());
    PortClose(id);
    // The server side sees the connection end.
    EXPECT_TRUE(TcpReceiveUpTo(peer.get(), 1, 3000).empty());
    peer.Close();
    EXPECT_EQ(PortTable[id - 1].transport, nullptr);  // its socket went with it
  }
  id = 42;
  EXPECT_EQ(PortOpen(id, "TCPC_127.0.0.1"), PortOpenTcpFailed);
  EXPECT_EQ(OpenDescriptorCount(), before);
}

}  // namespace
