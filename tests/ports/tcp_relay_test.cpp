// The TCP ports with the relays that put a serial device on the network:
// ser2net in front of a pseudo-terminal for the client port, socat connecting
// a pseudo-terminal to the server port. The test plays the device on the pty
// master.

#include <algorithm>

#include "support/child_process.h"
#include "support/pty.h"
#include "support/ser2net.h"
#include "support/tcp_server_port.h"
#include "tcp_fixture.h"

namespace {

// A memory read request as the converter gets it, and a reply of its size.
const std::vector<uint8_t> kRequest = {0x60, 0x10, 0x48, 0x2C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xF2};

std::vector<uint8_t> Reply(int round) {
  std::vector<uint8_t> r(11);
  for (size_t i = 0; i < r.size(); ++i) r[i] = static_cast<uint8_t>(round * 17 + i);
  return r;
}

class TcpRelay : public TcpPortTest {
 protected:
  // Request out through the port, reply back from the device, as the protocol
  // runs them.
  void Exchange(const std::vector<uint8_t>& request, const std::vector<uint8_t>& reply) {
    PortFlushInput(id);
    PortWrite(id, request.data(), static_cast<uint32_t>(request.size()));
    ASSERT_EQ(pty.Read(request.size(), 3000), request);
    pty.Write(reply);
    std::vector<uint8_t> got(reply.size());
    ASSERT_NE(PortRead(id, got.data(), static_cast<int32_t>(got.size()), 3000), 0);
    EXPECT_EQ(got, reply);
  }

  TestPty pty;
  PortId id = 0;
};

TEST_F(TcpRelay, ClientReachesTheDeviceBehindSer2net) {
  Ser2net relay("/dev/" + pty.name);
  ASSERT_NE(relay.port(), 0) << relay.Log();
  ASSERT_EQ(PortOpen(id, relay.PortName().c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return Client(id).connected == 1; })) << relay.Log();

  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_FATAL_FAILURE(Exchange(kRequest, Reply(round)));
  }
  // A firmware-sized record and a long answer pass unchanged too.
  std::vector<uint8_t> record(276), answer(3000);
  for (size_t i = 0; i < record.size(); ++i) record[i] = static_cast<uint8_t>(255 - i);
  for (size_t i = 0; i < answer.size(); ++i) answer[i] = static_cast<uint8_t>(i % 253);
  Exchange(record, answer);
}

TEST_F(TcpRelay, DeviceBehindSocatReachesTheServerPort) {
  uint16_t port = 0;
  ASSERT_TRUE(OpenTcpServerPort(id, &port));

  const std::string socat = FindProgram("socat");
  ASSERT_FALSE(socat.empty()) << "socat is not installed";
  ChildProcess relay;
  const std::string log = dir.path() + "/socat.log";
  ASSERT_TRUE(relay.Start({socat, "-d", "TCP:127.0.0.1:" + std::to_string(port),
                           "FILE:/dev/" + pty.name + ",raw,echo=0"},
                          log));
  ASSERT_TRUE(PumpUntil(id, [&] { return Server(id).clients[0] >= 0; })) << "socat did not connect";

  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    ASSERT_NO_FATAL_FAILURE(Exchange(kRequest, Reply(round)));
  }

  // When the relay goes away the server port forgets it at the next pump.
  relay.Stop();
  ASSERT_TRUE(PumpUntil(id, [&] { return Server(id).clients[0] == -1; }));
}

}  // namespace
