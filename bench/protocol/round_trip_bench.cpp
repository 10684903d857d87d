// Round trip of one settings read (12 bytes out, 11 back) through the device
// channel, the port layer and the simulated converter on a pseudo-terminal,
// side by side with a bare ping-pong of the same sizes on another
// pseudo-terminal. Prints both medians and their ratio.
//
//   protocol_bench [rounds]     (default 2000)

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "protocol/device_channel.h"
#include "sim/sim_serve.h"
#include "bench/support/bench_stats.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kOut = 12;
constexpr size_t kBack = 11;

bool ReadAll(int fd, uint8_t* buffer, size_t count) {
  size_t got = 0;
  while (got < count) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 1000) <= 0) return false;
    const ssize_t n = read(fd, buffer + got, count - got);
    if (n < 0 && errno == EAGAIN) continue;
    if (n <= 0) return false;
    got += static_cast<size_t>(n);
  }
  return true;
}

bool WriteAll(int fd, const uint8_t* data, size_t count) {
  size_t done = 0;
  while (done < count) {
    const ssize_t n = write(fd, data + done, count - done);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// The bare peer: answers every 12 bytes with 11, nothing else.
struct PingPong {
  int master = -1;
  int slave = -1;
  std::atomic<bool> stop{false};
  std::thread peer;

  bool Open() {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master, &slave, nullptr, &raw, nullptr) != 0) return false;
    peer = std::thread([this] {
      uint8_t in[kOut];
      const uint8_t out[kBack] = {};
      while (!stop) {
        size_t got = 0;
        while (got < kOut && !stop) {
          pollfd p{master, POLLIN, 0};
          if (poll(&p, 1, 50) <= 0) continue;
          const ssize_t n = read(master, in + got, kOut - got);
          if (n <= 0) return;
          got += static_cast<size_t>(n);
        }
        if (got == kOut && !WriteAll(master, out, kBack)) return;
      }
    });
    return true;
  }

  bool Round() {
    const uint8_t out[kOut] = {0x60, 0x10, 0x48, 0x2C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xF2};
    uint8_t in[kBack];
    return WriteAll(slave, out, kOut) && ReadAll(slave, in, kBack);
  }

  ~PingPong() {
    stop = true;
    if (peer.joinable()) peer.join();
    if (master >= 0) close(master);
    if (slave >= 0) close(slave);
  }
};


}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 2000;

  // The port layer appends its banner to port.out in the working directory;
  // keep that out of wherever the benchmark is started.
  char scratch[] = "/tmp/protocol_bench.XXXXXX";
  if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) {
    std::perror("protocol_bench: scratch folder");
    return 1;
  }
  PortLayerInit();
  MsClockStart();

  SimDevice sim;
  PortId id = 0;
  if (!sim.Ok() || PortOpen(id, sim.PortName().c_str()) != 0) {
    std::fprintf(stderr, "protocol_bench: cannot open the simulated converter\n");
    return 1;
  }
  DeviceChannel channel(id);
  channel.BusAddress = 16;
  PingPong bare;
  if (!bare.Open()) {
    std::perror("protocol_bench: openpty");
    return 1;
  }

  uint8_t settings[6];
  auto channelRound = [&] { return channel.ReadMemory(0, 0, 6, settings, 2, 0) == ResultOk; };
  auto bareRound = [&] { return bare.Round(); };

  bool ok = true;
  for (int i = 0; i < 50; ++i) {  // warm up both paths
    BenchTimeUs(channelRound, &ok);
    BenchTimeUs(bareRound, &ok);
  }
  std::vector<double> channelUs, bareUs;
  channelUs.reserve(static_cast<size_t>(rounds));
  bareUs.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {  // interleaved, so both see the same machine load
    channelUs.push_back(BenchTimeUs(channelRound, &ok));
    bareUs.push_back(BenchTimeUs(bareRound, &ok));
  }
  PortClose(id);
  sim.Stop();
  if (chdir("/") == 0) {
    unlink((std::string(scratch) + "/port.out").c_str());
    rmdir(scratch);
  }
  if (!ok) {
    std::fprintf(stderr, "protocol_bench: a round trip failed\n");
    return 1;
  }

  const double c = BenchMedian(channelUs);
  const double b = BenchMedian(bareUs);
  std::printf("rounds: %d\n", rounds);
  std::printf("settings read, DeviceChannel::ReadMemory + simulated converter: median %8.1f us\n", c);
  std::printf("bare pty ping-pong, 12 bytes out / 11 back:                      median %8.1f us\n", b);
  std::printf("ratio: %.2f\n", b > 0 ? c / b : 0.0);
  return 0;
}
