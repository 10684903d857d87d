// The record loop of a firmware update against a simulated converter that
// acknowledges at once, beside the bare cost of one record's round trip (280
// bytes out, 1 back) over the same kind of pseudo-terminal, interleaved run by
// run. Prints the medians and their ratios.
//
//   firmware_bench [runs]     (5 by default; a 64 KiB image each)

#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

#include "ops/firmware_upload.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "sim/sim_serve.h"
#include "bench/support/bench_stats.h"

namespace {

using Clock = std::chrono::steady_clock;

double Us(Clock::duration d) { return std::chrono::duration<double, std::micro>(d).count(); }

// Microseconds per record of the upload's record loop.
double UploadRun(const char* image, uint64_t& records) {
  SimDevice sim;
  UploadHooks hooks;
  hooks.reopenDelayMs = 0;
  hooks.finishDelayMs = 0;
  Clock::time_point first{};
  Clock::time_point last{};
  hooks.progress = [&](UploadPhase phase, const UploadReport& sofar) {
    if (phase != UploadSending) return;
    (sofar.recordsSent == 0 ? first : last) = Clock::now();
    records = sofar.recordsSent;
  };
  PortId id = 0;
  const UploadReport report = FirmwareUpload(sim.PortName().c_str(), id, image, hooks);
  if (report.result != UploadDone) {
    std::fprintf(stderr, "upload failed (%d)\n", report.result);
    std::exit(1);
  }
  return Us(last - first) / static_cast<double>(records);
}

// A bare peer that acknowledges every 280 bytes with one, on its own
// pseudo-terminal: the round trip of one record without the update's loop,
// by plain write and poll and through the port layer's write and single-byte
// wait.
struct BareRecordPeer {
  int master = -1;
  int slave = -1;
  PortId id = 0;
  std::atomic<bool> stop{false};
  std::thread responder;
  std::vector<uint8_t> record = std::vector<uint8_t>(280, 0x55);

  BareRecordPeer() {
    char name[64];
    termios rawMode{};
    cfmakeraw(&rawMode);
    if (openpty(&master, &slave, name, &rawMode, nullptr) != 0) std::exit(1);
    responder = std::thread([this] {
      uint8_t buffer[512];
      size_t have = 0;
      while (!stop) {
        pollfd p{master, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) continue;
        have += static_cast<size_t>(n);
        while (have >= 280) {
          have -= 280;
          const uint8_t ack = 0;
          if (write(master, &ack, 1) != 1) return;
        }
      }
    });
    if (PortOpen(id, name + 5) != 0) std::exit(1);  // "/dev/pts/N" -> "pts/N"
  }

  // Microseconds of one round trip by plain write and poll on another
  // descriptor of the terminal the port has open.
  double Raw() {
    const auto start = Clock::now();
    if (write(slave, record.data(), record.size()) != 280) std::exit(1);
    uint8_t ack = 0;
    pollfd p{slave, POLLIN, 0};
    while (poll(&p, 1, 1000) <= 0 || read(slave, &ack, 1) != 1) {
    }
    return Us(Clock::now() - start);
  }

  double ThroughPortLayer() {
    const auto start = Clock::now();
    PortWrite(id, record.data(), static_cast<uint32_t>(record.size()));
    uint8_t ack = 0;
    if (PortReadByte(id, &ack, 1000) != 1) std::exit(1);
    return Us(Clock::now() - start);
  }

  ~BareRecordPeer() {
    PortClose(id);
    stop = true;
    responder.join();
    close(master);
    close(slave);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  PortLayerInit();
  MsClockStart();

  const std::filesystem::path image = std::filesystem::temp_directory_path() / "rs485-firmware-bench.bin";
  {
    std::vector<char> bytes(64 * 1024);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31);
    std::ofstream(image, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  // Each upload run is followed by as many bare round trips of each kind, so
  // that all three see the same machine.
  BareRecordPeer bare;
  std::vector<double> perRecord, raw, portLayer;
  uint64_t records = 0;
  for (int i = 0; i < runs; ++i) {
    perRecord.push_back(UploadRun(image.c_str(), records));
    for (uint64_t k = 0; k < records; ++k) {
      raw.push_back(bare.Raw());
      portLayer.push_back(bare.ThroughPortLayer());
    }
  }
  std::filesystem::remove(image);

  const double upload = BenchMedian(perRecord);
  const double r = BenchMedian(raw);
  const double p = BenchMedian(portLayer);
  std::printf("64 KiB image, %llu records, %d runs, each followed by as many bare round trips\n",
              static_cast<unsigned long long>(records), runs);
  std::printf("  record loop (median of the runs):    %8.1f us/record  (%.0f records/s)\n", upload, 1e6 / upload);
  std::printf("  bare pty, 280 out / 1 back:          %8.1f us\n", r);
  std::printf("  same through PortWrite/PortReadByte: %8.1f us\n", p);
  std::printf("  ratio, record loop to bare:          %8.1f\n", upload / r);
  std::printf("  ratio, record loop to port layer:    %8.1f\n", upload / p);
  return 0;
}
