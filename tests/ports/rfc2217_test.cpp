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
  EXPECT_EQ(PortOpen(id, "rfc2217://localhost:4001"), 0);
  PortClose(id);
  EXPECT_EQ(PortOpen(id, "rfc2217://no-such-host.invalid:4001"), PortOpenTcpFailed);
  EXPECT_EQ(PortLastFailure().kind, PortFailNoHost);
}

}  // namespace
