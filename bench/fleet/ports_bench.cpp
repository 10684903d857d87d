// rs485ctl --ports over many simulated converters behind TCP on loopback,
// each on its own line at the converter's 4800 baud (480 bytes/s): a settings
// write (read, write, closing write, read back) of every one with --jobs N,
// beside the same with --jobs 1 in the same run, round by round. The ratio
// is what serving N at once gains over serving them one after the other.
//
//   ports_bench [converters] [jobs] [runs]    (64, 16 and 3 by default)

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_run.h"
#include "bench/support/bench_stats.h"
#include "sim/sim_tcp.h"

namespace {

constexpr uint32_t kLineRate = 480;  // bytes per second at 4800 baud
// The goal is set for 64 converters and 16 at once: at least 12 times faster
// than one after the other.
constexpr int kGoalConverters = 64;
constexpr int kGoalJobs = 16;
constexpr double kGoalRatio = 12.0;

struct Site {
  SimConverter converter;
  std::unique_ptr<SimTcpListener> listener;
};

double Seconds(int jobs, int baud) {
  const double us = BenchRunUs(RS485CTL_PATH, {"--ports", "ports.txt", "--jobs", std::to_string(jobs), "write",
                                               "--baud", std::to_string(baud)});
  if (us < 0) std::fprintf(stderr, "ports_bench: a run with --jobs %d failed\n", jobs);
  return us / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : kGoalConverters;
  const int jobs = argc > 2 ? std::atoi(argv[2]) : kGoalJobs;
  const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
  if (count < 1 || jobs < 1 || jobs > 256) {
    std::fprintf(stderr, "ports_bench: at least one converter, jobs from 1 to 256\n");
    return 2;
  }
  char folder[] = "/tmp/rs485-ports-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;
  std::vector<std::unique_ptr<Site>> sites;
  {
    std::ofstream file("ports.txt");
    for (int k = 0; k < count; ++k) {
      sites.push_back(std::make_unique<Site>());
      sites.back()->converter.SetLineRate(kLineRate);
      sites.back()->listener = std::make_unique<SimTcpListener>(sites.back()->converter);
      if (!sites.back()->listener->Ok()) {
        std::fprintf(stderr, "ports_bench: converter %d could not listen\n", k);
        return 1;
      }
      file << sites.back()->listener->PortName() << "\n";
    }
  }

  std::vector<double> serial;
  std::vector<double> parallel;
  for (int run = 0; run < runs; ++run) {
    // Each run changes every converter, so that no write finds its work done.
    serial.push_back(Seconds(1, run % 2 ? 9600 : 19200));
    parallel.push_back(Seconds(jobs, run % 2 ? 19200 : 9600));
  }
  sites.clear();
  std::remove("ports.txt");
  std::remove("port.out");
  rmdir(folder);

  const double one = BenchMedian(serial);
  const double many = BenchMedian(parallel);
  std::printf("%d converters behind TCP at 4800 baud, a settings write each, median of %d runs\n", count, runs);
  const std::string manyLabel = "--jobs " + std::to_string(jobs) + ":";
  std::printf("  %-12s %7.2f s\n", "--jobs 1:", one);
  std::printf("  %-12s %7.2f s\n", manyLabel.c_str(), many);
  if (count == kGoalConverters && jobs == kGoalJobs)
    std::printf("  %-12s %7.2f (goal at least %.0f)\n", "speed-up:", one / many, kGoalRatio);
  else
    std::printf("  %-12s %7.2f (the goal is set for %d converters, %d at once)\n", "speed-up:", one / many,
                kGoalConverters, kGoalJobs);
  return 0;
}
