// The RFC 2217 client against a Telnet server that the test plays through a
// TCP server port of its own on 127.0.0.1: what the client says on the wire
// and what it takes from the server; and its names. The same on Linux and on
// Windows (Winsock under Wine).

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/sockets.h"
#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "ports/port_transport.h"
#include "ports/rfc2217.h"
#include "support/tcp_server_port.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, WONT = 252, DO = 253, DONT = 254;
const Bytes kAsk = {IAC, WILL, 0, IAC, DO, 0, IAC, WILL, 44};   // binary both ways, the COM port option
const Bytes kNoComPort = {IAC, DO, 0, IAC, WILL, 0, IAC, DONT, 44};
const Bytes kComPort = {IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44};
constexpr size_t kLineSize = 52;  // the seven line settings the client sends on the option's agreement

// A reply of the server to a line setting: the request's code + 100 and a value.
Bytes Reply(uint8_t command, const Bytes& value) {
  Bytes reply = {IAC, SB, 44, static_cast<uint8_t>(command + 100)};
  for (const uint8_t b : value) reply.push_back(b);
  reply.push_back(IAC);
  reply.push_back(SE);
  return reply;
}

class Rfc2217 : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_TRUE(OpenTcpServerPort(server, &port));
    ASSERT_EQ(PortOpen(client, ("rfc2217://127.0.0.1:" + std::to_string(port)).c_str()), 0);
  }
  void TearDown() override {
    PortClose(client);
    PortClose(server);
  }

  void Send(PortId to, const Bytes& bytes) { PortWrite(to, bytes.data(), static_cast<uint32_t>(bytes.size())); }
  // count bytes at one end within 3 s, the other serviced meanwhile.
  Bytes Gets(PortId at, size_t count) {
    Bytes in(count);
    for (const uint32_t start = PlatformTickMs(); PlatformTickMs() - start < 3000; PlatformSleepMs(1)) {
      PortAvailable(at == server ? client : server);
      if (PortReadExact(at, in.data(), static_cast<int32_t>(count)) != 0) return in;
    }
    return {};
  }

  PortId server = 0, client = 0;
  uint16_t port = 0;
};

TEST_F(Rfc2217, NegotiatesSetsTheLineAndCarriesEveryByte) {
  ASSERT_EQ(Gets(server, kAsk.size()), kAsk);
  EXPECT_EQ(PortWaitLink(client, 100), 0);  // nothing is carried before the server answers
  // ser2net's greeting: it offers and asks for SGA and ECHO, binary mode and the option.
  Send(server, {IAC, WILL, 3, IAC, DO, 3, IAC, WILL, 1, IAC, DO, 0, IAC, WILL, 0, IAC, DO, 44});
  const Bytes answer = {IAC, DONT, 3, IAC, WONT, 3, IAC, DONT, 1,
                        IAC, SB, 44, 1, 0x00, 0x00, 0x12, 0xC0, IAC, SE,  // 4800 baud
                        IAC, SB, 44, 2, 8, IAC, SE,                       // 8 data bits
                        IAC, SB, 44, 3, 1, IAC, SE,                       // no parity
                        IAC, SB, 44, 4, 1, IAC, SE,                       // 1 stop bit
                        IAC, SB, 44, 5, 1, IAC, SE,                       // no flow control
                        IAC, SB, 44, 5, 9, IAC, SE,                       // DTR off
                        IAC, SB, 44, 5, 12, IAC, SE};                     // RTS off
  EXPECT_EQ(Gets(server, answer.size()), answer);
  ASSERT_EQ(PortWaitLink(client, 3000), 1);
  Send(client, {0x60, 0xFF, 0x10});
  EXPECT_EQ(Gets(server, 4), (Bytes{0x60, 0xFF, 0xFF, 0x10}));
  // A command, and a notice with an escaped 0xFF inside, carry no data.
  Send(server, {0xFF, 0xFF, 0x01, IAC, 241, IAC, SB, 44, 107, IAC, IAC, IAC, SE, 0x02});
  EXPECT_EQ(Gets(client, 3), (Bytes{0xFF, 0x01, 0x02}));
  PortFlushInput(client);  // also what the server holds from the device
  EXPECT_EQ(Gets(server, 7), (Bytes{IAC, SB, 44, 12, 1, IAC, SE}));
}

TEST_F(Rfc2217, ServerThatNeverAnswersIsServedAfterTheNegotiationTime) {
  ASSERT_EQ(Gets(server, kAsk.size()), kAsk);
  const uint32_t start = PlatformTickMs();
  ASSERT_EQ(PortWaitLink(client, 5000), 1);
  EXPECT_GE(PlatformTickMs() - start, Rfc2217NegotiationMs - 100);
  EXPECT_EQ(PortLastFailure().kind, PortFailNoLineControl);
}

TEST_F(Rfc2217, NegotiatesAfreshWhenTheServerComesBack) {
  ASSERT_EQ(Gets(server, kAsk.size()), kAsk);
  Send(server, kNoComPort);
  ASSERT_EQ(PortWaitLink(client, 3000), 1);
  Send(server, {IAC, SB, 44});  // gone in the middle of a notice
  PortClose(server);
  ASSERT_EQ(PortOpen(server, ("TCPS_" + std::to_string(port)).c_str()), 0);
  ASSERT_EQ(Gets(server, kAsk.size()), kAsk);
  EXPECT_EQ(PortWaitLink(client, 100), 0);
  Send(server, kNoComPort);
  Send(server, {0x07});
  EXPECT_EQ(Gets(client, 1), Bytes{0x07});
}

// The server's replies to the line settings: one with another value than
// asked means the line is not the converter's; one that never comes is not a
// difference (ser2net answers the three SET-CONTROL requests with one reply).
TEST_F(Rfc2217, RepliesToTheLineSettingsTellWhetherTheLineIsSet) {
  const Bytes baud4800 = Reply(1, {0x00, 0x00, 0x12, 0xC0}), data8 = Reply(2, {8}), parityNone = Reply(3, {1}),
              stop1 = Reply(4, {1}), noFlow = Reply(5, {1});
  const struct {
    const char* what;
    std::vector<Bytes> replies;
    bool set;
  } cases[] = {
      {"all as asked, SET-CONTROL once", {baud4800, data8, parityNone, stop1, noFlow}, true},
      {"SET-CONTROL unanswered", {baud4800, data8, parityNone, stop1}, true},
      {"9600 baud", {Reply(1, {0x00, 0x00, 0x25, 0x80}), data8, parityNone, stop1, noFlow}, false},
      {"7 data bits", {baud4800, Reply(2, {7}), parityNone, stop1, noFlow}, false},
      {"even parity", {baud4800, data8, Reply(3, {3}), stop1, noFlow}, false},
      {"2 stop bits", {baud4800, data8, parityNone, Reply(4, {2}), noFlow}, false},
      {"DTR on", {baud4800, data8, parityNone, stop1, Reply(5, {8})}, false},
      {"hardware flow control", {baud4800, data8, parityNone, stop1, Reply(5, {3})}, false},
  };
  for (const auto& c : cases) {
    PortClose(client);
    ASSERT_EQ(PortOpen(client, ("rfc2217://127.0.0.1:" + std::to_string(port)).c_str()), 0);
    ASSERT_EQ(Gets(server, kAsk.size()), kAsk) << c.what;
    Send(server, kComPort);
    ASSERT_EQ(Gets(server, kLineSize).size(), kLineSize) << c.what;
    for (const Bytes& reply : c.replies) Send(server, reply);
    ASSERT_EQ(PortWaitLink(client, 5000), 1) << c.what;
    EXPECT_EQ(PortLastFailure().kind, c.set ? PortFailNone : PortFailNoLineControl) << c.what;
  }
}

// Only IAC SE ends a subnegotiation properly; any other command ends it as
// well and is taken as a command, its option byte no data.
TEST_F(Rfc2217, ACommandEndsASubnegotiation) {
  ASSERT_EQ(Gets(server, kAsk.size()), kAsk);
  Send(server, kNoComPort);
  ASSERT_EQ(PortWaitLink(client, 3000), 1);
  for (const uint8_t verb : {WILL, WONT, DO, DONT}) Send(server, {IAC, SB, 44, 107, 0x30, IAC, verb, 1, 0x42});
  EXPECT_EQ(Gets(client, 4), (Bytes{0x42, 0x42, 0x42, 0x42}));
  PortWaitLink(client, 50);
  EXPECT_EQ(PortAvailable(client), 0);
  // The offers among them were declined as offers outside a subnegotiation are.
  EXPECT_EQ(Gets(server, 6), (Bytes{IAC, DONT, 1, IAC, WONT, 1}));
}

// The flush goes on as long as the socket holds anything: a long run of
// notices, which carry no data, must not stop it before the stray byte
// behind them, which would be read as the next answer.
TEST_F(Rfc2217, FlushTakesEveryNoticeAndWhatFollowsThem) {
  ASSERT_EQ(Gets(server, kAsk.size()), kAsk);
  Send(server, kNoComPort);
  ASSERT_EQ(PortWaitLink(client, 3000), 1);
  Bytes notices;
  while (notices.size() < 21000) notices.insert(notices.end(), {IAC, SB, 44, 107, 0x30, IAC, SE});
  notices.push_back(0x5A);
  Send(server, notices);
  uint32_t waiting = 0;  // in the client's socket, not yet pumped
  for (const uint32_t start = PlatformTickMs(); waiting < notices.size() && PlatformTickMs() - start < 3000;
       PlatformSleepMs(1))
    SocketQueued(PortTable[client - 1].transport->Handle(), &waiting);
  ASSERT_EQ(waiting, notices.size());
  PortFlushInput(client);
  uint8_t stray = 0;
  EXPECT_EQ(PortRead(client, &stray, 1, 1000), 0);
}

TEST(Rfc2217Names, LooseNamesAreRefusedAtOpen) {
  PortLayerInit();
  for (const char* name : {"rfc2217://127.1:4001", "rfc2217://127.0.0.01:4001", "rfc2217://0x7f.0.0.1:4001",
                           "rfc2217://0x7f:4001", "rfc2217://127.0.0.1:04001", "rfc2217://127.0.0.1:0",
                           "rfc2217://127.0.0.1:65536", "rfc2217://127.0.0.1:4001x", "rfc2217://127.0.0.1",
                           "rfc2217://:4001", "rfc2217:// localhost:4001", "rfc2217://local_host:4001",
                           "rfc2217://-localhost:4001", "rfc2217://local..host:4001", "rfc2217://[::1]:4001",
                           "rfc2217://localhost:+4001"}) {
    PortId id = 0;
    EXPECT_EQ(PortOpen(id, name), PortOpenTcpFailed) << name;
    EXPECT_EQ(PortLastFailure().kind, PortFailBadName) << name;
  }
  PortId id = 0;
  // A scheme is read in any case.
  for (const char* name : {"rfc2217://localhost:4001", "RFC2217://127.0.0.1:4001", "Rfc2217://localhost:4001"}) {
    ASSERT_EQ(PortOpen(id, name), 0) << name;
    EXPECT_EQ(PortTable[id - 1].kind, KindRfc2217) << name;
    PortClose(id);
  }
  EXPECT_EQ(PortOpen(id, "rfc2217://no-such-host.invalid:4001"), PortOpenTcpFailed);
  EXPECT_EQ(PortLastFailure().kind, PortFailNoHost);
}

}  // namespace
