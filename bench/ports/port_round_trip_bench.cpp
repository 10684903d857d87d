// Request and reply round trip through the port layer, the way the protocol
// runs it (flush, write 12 bytes, timed read of 11), over a pseudo-terminal and
// over a TCP client port on loopback, each against a bare round trip of the
// same bytes on a second connection of the same kind (plain write and poll),
// interleaved. The responder answers at once, or after about the line time of
// request and reply at 4800 baud. Prints both medians and their ratio.
//
//   build/bench/ports/port_round_trip_bench [rounds]     (default 50)

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/bench_stats.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "ports/port_transport.h"

namespace {

constexpr uint8_t kRequest[12] = {0x60, 0x10, 0x48, 0x2C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xF2};
constexpr uint8_t kReply[11] = {0x60, 0x10, 0x48, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr int32_t kReplyTimeoutMs = 369;
constexpr int kDelaysMs[] = {0, 48};

bool ReadFull(int fd, uint8_t* out, size_t count) {
  size_t got = 0;
  while (got < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return false;
    const ssize_t n = read(fd, out + got, count - got);
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

// Answers every request on fd with the reply, delayMs later, until the other
// side goes away.
void Respond(int fd, int delayMs) {
  uint8_t request[sizeof kRequest];
  while (ReadFull(fd, request, sizeof request)) {
    if (delayMs > 0) usleep(static_cast<useconds_t>(delayMs) * 1000);
    if (write(fd, kReply, sizeof kReply) != static_cast<ssize_t>(sizeof kReply)) return;
  }
}

bool PortRoundTrip(PortId id) {
  uint8_t reply[sizeof kReply];
  PortFlushInput(id);
  PortWrite(id, kRequest, sizeof kRequest);
  return PortRead(id, reply, sizeof reply, kReplyTimeoutMs) != 0;
}

bool BareRoundTrip(int fd) {
  uint8_t reply[sizeof kReply];
  return write(fd, kRequest, sizeof kRequest) == static_cast<ssize_t>(sizeof kRequest) &&
         ReadFull(fd, reply, sizeof reply);
}

void Report(const char* transport, int delayMs, std::vector<double>& port, std::vector<double>& bare, bool ok) {
  const double p = BenchMedian(port) / 1000;
  const double b = BenchMedian(bare) / 1000;
  std::printf("%-16s answer after %2d ms   port layer %7.2f ms   bare %7.2f ms   ratio %5.2f%s\n", transport, delayMs,
              p, b, b > 0 ? p / b : 0.0, ok ? "" : "   (some round trips failed)");
}

// The port layer over a pseudo-terminal beside a raw one.
void Pty(int rounds, int delayMs) {
  termios raw{};
  cfmakeraw(&raw);
  int portMaster = -1, portSlave = -1, bareMaster = -1, bareSlave = -1;
  char path[64] = {};
  if (openpty(&portMaster, &portSlave, path, &raw, nullptr) != 0 ||
      openpty(&bareMaster, &bareSlave, nullptr, &raw, nullptr) != 0) {
    std::perror("openpty");
    std::exit(1);
  }
  std::thread portPeer([&] { Respond(portMaster, delayMs); });
  std::thread barePeer([&] { Respond(bareMaster, delayMs); });
  PortId id = 0;
  bool ok = PortOpen(id, path) == 0;
  std::vector<double> port, bare;
  for (int i = 0; i < rounds && id != 0; ++i) {
    port.push_back(BenchTimeUs([&] { return PortRoundTrip(id); }, &ok));
    bare.push_back(BenchTimeUs([&] { return BareRoundTrip(bareSlave); }, &ok));
  }
  PortClose(id);
  close(portSlave);  // each responder's read ends with the last slave closed
  close(bareSlave);
  portPeer.join();
  barePeer.join();
  close(portMaster);
  close(bareMaster);
  Report("pseudo-terminal", delayMs, port, bare, ok);
}

// The port layer's TCP client beside a plain socket, to one listener.
void Tcp(int rounds, int delayMs) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 2) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    std::perror("listener");
    std::exit(1);
  }
  PortId id = 0;
  const std::string name = "TCPC_127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  bool ok = PortOpen(id, name.c_str()) == 0;
  // The port connects as it is serviced; the listener waits without blocking meanwhile.
  fcntl(listener, F_SETFL, O_NONBLOCK);
  int portPeer = -1;
  for (int waited = 0; ok && (portPeer < 0 || !PortTable[id - 1].transport->Linked()) && waited < 5000; ++waited) {
    PortAvailable(id);
    if (portPeer < 0) portPeer = accept(listener, nullptr, nullptr);
    usleep(1000);
  }
  fcntl(listener, F_SETFL, 0);
  ok = ok && portPeer >= 0;
  const int bareSide = socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(bareSide, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);  // as the port layer's
  ok = ok && connect(bareSide, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
  const int barePeer = accept(listener, nullptr, nullptr);
  std::thread portResponder([&] { Respond(portPeer, delayMs); });
  std::thread bareResponder([&] { Respond(barePeer, delayMs); });
  std::vector<double> port, bare;
  for (int i = 0; i < rounds && id != 0; ++i) {
    port.push_back(BenchTimeUs([&] { return PortRoundTrip(id); }, &ok));
    bare.push_back(BenchTimeUs([&] { return BareRoundTrip(bareSide); }, &ok));
  }
  PortClose(id);
  close(bareSide);
  portResponder.join();
  bareResponder.join();
  close(portPeer);
  close(barePeer);
  close(listener);
  Report("TCP client", delayMs, port, bare, ok);
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  // The port layer appends its banner to port.out; keep it out of the caller's folder.
  char folder[] = "/tmp/rs485-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;
  PortLayerInit();
  MsClockStart();
  std::printf("port_round_trip_bench: %d round trips of each, 12 bytes out and 11 back, interleaved\n", rounds);
  for (const int delayMs : kDelaysMs) {
    Pty(rounds, delayMs);
    Tcp(rounds, delayMs);
  }
  unlink("port.out");
  rmdir(folder);
  return 0;
}
