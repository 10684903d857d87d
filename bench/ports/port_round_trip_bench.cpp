// Request and reply round trip through the port layer, the way the protocol
// runs it (flush, write 12 bytes, timed read of 11), over a TCP client port on
// loopback and over a pty. The argument is the responder's delay in ms before
// it answers: 0, or about the line time of request and reply at 4800 baud.
//
//   build/bench/ports/port_round_trip_bench

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "ports/port_transport.h"

namespace {

constexpr uint8_t kRequest[12] = {0x60, 0x10, 0x48, 0x2C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xF2};
constexpr uint8_t kReply[11] = {0x60, 0x10, 0x48, 1, 2, 3, 4, 5, 6, 7, 8};
constexpr int32_t kReplyTimeoutMs = 369;

bool ReadFull(int fd, uint8_t* out, size_t count) {
  size_t got = 0;
  while (got < count) {
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

void RoundTrips(benchmark::State& state, PortId id) {
  uint8_t reply[sizeof kReply];
  int64_t failures = 0;
  for (auto _ : state) {
    PortFlushInput(id);
    PortWrite(id, kRequest, sizeof kRequest);
    if (PortRead(id, reply, sizeof reply, kReplyTimeoutMs) == 0) ++failures;
  }
  state.counters["failures"] = static_cast<double>(failures);
}

void TcpClientRoundTrip(benchmark::State& state) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof a;
  if (bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(listener, 1) != 0 ||
      getsockname(listener, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
    state.SkipWithError("no listener");
    return;
  }
  const int delayMs = static_cast<int>(state.range(0));
  std::thread responder([listener, delayMs] {
    const int peer = accept(listener, nullptr, nullptr);
    if (peer >= 0) {
      Respond(peer, delayMs);
      close(peer);
    }
  });
  PortId id = 0;
  const std::string name = "TCPC_127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  if (PortOpen(id, name.c_str()) != 0) state.SkipWithError("open failed");
  while (id != 0 && !PortTable[id - 1].transport->Linked()) PortAvailable(id);
  if (id != 0) RoundTrips(state, id);
  PortClose(id);
  shutdown(listener, SHUT_RDWR);
  responder.join();
  close(listener);
}

void PtyRoundTrip(benchmark::State& state) {
  int master = -1, slave = -1;
  char path[64] = {};
  termios raw{};
  cfmakeraw(&raw);
  if (openpty(&master, &slave, path, &raw, nullptr) != 0) {
    state.SkipWithError("no pty");
    return;
  }
  const int delayMs = static_cast<int>(state.range(0));
  std::thread responder([master, delayMs] { Respond(master, delayMs); });
  PortId id = 0;
  if (PortOpen(id, path) != 0) state.SkipWithError("open failed");
  if (id != 0) RoundTrips(state, id);
  PortClose(id);
  close(slave);  // the responder's read ends with the last slave closed
  responder.join();
  close(master);
}

}  // namespace

BENCHMARK(TcpClientRoundTrip)->Arg(0)->Arg(48)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);
BENCHMARK(PtyRoundTrip)->Arg(0)->Arg(48)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(50);

int main(int argc, char** argv) {
  // The port layer appends its banner to port.out; keep it out of the caller's folder.
  char folder[] = "/tmp/rs485-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;
  PortLayerInit();
  MsClockStart();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  unlink("port.out");
  rmdir(folder);
  return 0;
}
