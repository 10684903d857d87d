// Round trip of one settings read (ReadMemory, 12 bytes out, 11 back) through
// the device channel and the port layer to the simulated converter, over a
// TCP client port on loopback and over a pseudo-terminal, interleaved in one
// run. A third series sends the same request over a plain loopback socket to
// another simulated converter and waits with poll(2): the time the answer
// really needs over TCP. What the TCP port takes beyond that is the cost of
// its timed read, which looks for data every 10 ms.
//
// Two more series go through ser2net in front of a simulated converter on a
// pseudo-terminal, one through its raw TCP port (TCPC_) and one through its
// Telnet port with the COM port option (rfc2217://), ser2net as it comes
// (Nagle on): their ratio is what the Telnet layer costs, the raw port the
// baseline.
//
//   protocol_tcp_bench [rounds] [delay ms]     (default 500 rounds, no delay)

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "protocol/device_channel.h"
#include "sim/sim_serve.h"
#include "sim/sim_tcp.h"
#include "bench/support/bench_stats.h"
#include "support/ser2net.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint8_t kRequest[12] = {0x60, 0x10, 0x48, 0x2C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xF2};
constexpr size_t kAnswer = 11;


// The request over a plain blocking socket, the answer awaited with poll.
bool PlainRound(int fd) {
  if (send(fd, kRequest, sizeof kRequest, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof kRequest)) return false;
  uint8_t answer[kAnswer];
  size_t got = 0;
  while (got < kAnswer) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return false;
    const ssize_t n = recv(fd, answer + got, kAnswer - got, 0);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

int PlainConnect(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  uint32_t address = 0;
  SimTcpResolve("127.0.0.1", &address);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = htons(port);
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void Print(const char* what, const std::vector<double>& us) {
  std::printf("%-46s median %8.1f us   p10 %8.1f   p90 %8.1f\n", what, BenchQuantile(us, 0.5), BenchQuantile(us, 0.1),
              BenchQuantile(us, 0.9));
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  const int delayMs = argc > 2 ? std::max(0, std::atoi(argv[2])) : 0;

  // The port layer appends its banner to port.out in the working directory;
  // keep that out of wherever the benchmark is started.
  char scratch[] = "/tmp/protocol_tcp_bench.XXXXXX";
  if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) {
    std::perror("protocol_tcp_bench: scratch folder");
    return 1;
  }
  PortLayerInit();
  MsClockStart();

  SimFaults faults;
  faults.delayMs = delayMs;
  SimDevice ptySim;
  ptySim.Converter().SetFaults(faults);
  SimConverter tcpConverter, plainConverter;
  tcpConverter.SetFaults(faults);
  plainConverter.SetFaults(faults);
  SimTcpListener tcpSim(tcpConverter);
  SimTcpListener plainSim(plainConverter);

  SimDevice rawSim, telnetSim;
  rawSim.Converter().SetFaults(faults);
  telnetSim.Converter().SetFaults(faults);
  Ser2net rawRelay(rawSim.Path()), telnetRelay(telnetSim.Path(), Ser2netAccepter::Rfc2217);
  PortId rawId = 0, telnetId = 0;
  if (rawRelay.port() == 0 || telnetRelay.port() == 0 || PortOpen(rawId, rawRelay.PortName().c_str()) != 0 ||
      PortOpen(telnetId, telnetRelay.PortName().c_str()) != 0 || PortWaitLink(rawId, 5000) == 0 ||
      PortWaitLink(telnetId, 5000) == 0) {
    std::fprintf(stderr, "protocol_tcp_bench: no link through ser2net\n%s%s", rawRelay.Log().c_str(),
                 telnetRelay.Log().c_str());
    return 1;
  }

  PortId ptyId = 0, tcpId = 0;
  if (!ptySim.Ok() || PortOpen(ptyId, ptySim.PortName().c_str()) != 0 || !tcpSim.Ok() || !plainSim.Ok() ||
      PortOpen(tcpId, tcpSim.PortName().c_str()) != 0) {
    std::fprintf(stderr, "protocol_tcp_bench: cannot open the simulated converters\n");
    return 1;
  }
  const bool linked = PortWaitLink(tcpId, 3000) != 0;
  const int plain = PlainConnect(plainSim.Port());
  if (!linked || plain < 0) {
    std::fprintf(stderr, "protocol_tcp_bench: no connection to the simulated converter\n");
    return 1;
  }

  DeviceChannel ptyChannel(ptyId), tcpChannel(tcpId), rawChannel(rawId), telnetChannel(telnetId);
  ptyChannel.BusAddress = tcpChannel.BusAddress = rawChannel.BusAddress = telnetChannel.BusAddress = 16;
  uint8_t settings[6];
  auto ptyRound = [&] { return ptyChannel.ReadMemory(0, 0, 6, settings, 2, 0) == ResultOk; };
  auto tcpRound = [&] { return tcpChannel.ReadMemory(0, 0, 6, settings, 2, 0) == ResultOk; };
  auto plainRound = [&] { return PlainRound(plain); };
  auto rawRound = [&] { return rawChannel.ReadMemory(0, 0, 6, settings, 2, 0) == ResultOk; };
  auto telnetRound = [&] { return telnetChannel.ReadMemory(0, 0, 6, settings, 2, 0) == ResultOk; };

  bool ok = true;
  for (int i = 0; i < 20; ++i) {  // warm up every path
    BenchTimeUs(ptyRound, &ok);
    BenchTimeUs(tcpRound, &ok);
    BenchTimeUs(plainRound, &ok);
    BenchTimeUs(rawRound, &ok);
    BenchTimeUs(telnetRound, &ok);
  }
  std::vector<double> ptyUs, tcpUs, plainUs, rawUs, telnetUs;
  for (int i = 0; i < rounds; ++i) {  // interleaved, so all see the same machine load
    ptyUs.push_back(BenchTimeUs(ptyRound, &ok));
    tcpUs.push_back(BenchTimeUs(tcpRound, &ok));
    plainUs.push_back(BenchTimeUs(plainRound, &ok));
    rawUs.push_back(BenchTimeUs(rawRound, &ok));
    telnetUs.push_back(BenchTimeUs(telnetRound, &ok));
  }
  PortClose(ptyId);
  PortClose(tcpId);
  PortClose(rawId);
  PortClose(telnetId);
  close(plain);
  tcpSim.Stop();
  plainSim.Stop();
  ptySim.Stop();
  rawSim.Stop();
  telnetSim.Stop();
  if (chdir("/") == 0) {
    unlink((std::string(scratch) + "/port.out").c_str());
    rmdir(scratch);
  }
  if (!ok) {
    std::fprintf(stderr, "protocol_tcp_bench: a round trip failed\n");
    return 1;
  }

  const double pty = BenchQuantile(ptyUs, 0.5), tcp = BenchQuantile(tcpUs, 0.5), bare = BenchQuantile(plainUs, 0.5);
  std::printf("settings read round trips: %d each, converter delay %d ms\n", rounds, delayMs);
  Print("over a pty (DeviceChannel, serial port)", ptyUs);
  Print("over TCPC_127.0.0.1 (DeviceChannel, TCP port)", tcpUs);
  Print("over a plain loopback socket, poll(2)", plainUs);
  Print("through ser2net's raw port (TCPC_)", rawUs);
  Print("through ser2net's RFC 2217 port (rfc2217://)", telnetUs);
  std::printf("ratio TCP port / pty: %.1f\n", pty > 0 ? tcp / pty : 0.0);
  const double raw = BenchQuantile(rawUs, 0.5), telnet = BenchQuantile(telnetUs, 0.5);
  std::printf("ratio RFC 2217 / raw TCP through ser2net: %.2f\n", raw > 0 ? telnet / raw : 0.0);
  std::printf("cost of the 10 ms polling of the TCP port's timed read: %.1f us per round trip (%.0f%% of it)\n",
              tcp - bare, tcp > 0 ? 100.0 * (tcp - bare) / tcp : 0.0);
  return 0;
}
