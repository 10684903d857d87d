// What a script pays per call of rs485ctl: the wall time of
// `rs485ctl --port <pty> read` against the simulated converter, beside the
// bare start-up and exit of `rs485ctl --help`, run alternately in the same
// process so that both see the same machine. Prints medians and spreads, and
// the ratio of the medians.
//
//   ctl_bench [runs]     (default 100)

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/support/bench_run.h"
#include "bench/support/bench_stats.h"
#include "sim/sim_serve.h"

namespace {

double TimedRun(const std::vector<std::string>& arguments) { return BenchRunUs(RS485CTL_PATH, arguments); }

void Report(const char* what, const std::vector<double>& us) {
  std::printf("%-34s median %8.2f ms   min %8.2f ms   p90 %8.2f ms\n", what, BenchQuantile(us, 0.5) / 1000,
              BenchQuantile(us, 0.0) / 1000, BenchQuantile(us, 0.9) / 1000);
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 100;

  // rs485ctl appends its banner to port.out in its working folder.
  char folder[] = "/tmp/rs485-ctl-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;

  SimDevice sim;
  if (!sim.Ok()) {
    std::fprintf(stderr, "no pseudo-terminal for the simulated converter\n");
    return 1;
  }
  const std::vector<std::string> help = {"--help"};
  const std::vector<std::string> read = {"--port", sim.PortName(), "read"};
  TimedRun(help);  // the first start pays for loading the program from disk
  TimedRun(read);

  std::vector<double> helpUs, readUs;
  for (int k = 0; k < runs; ++k) {
    const double h = TimedRun(help);
    const double r = TimedRun(read);
    if (h < 0 || r < 0) {
      std::fprintf(stderr, "rs485ctl failed in run %d\n", k + 1);
      return 1;
    }
    helpUs.push_back(h);
    readUs.push_back(r);
  }
  std::printf("rs485ctl, %d runs each, against the simulated converter on %s\n", runs, sim.Path().c_str());
  Report("rs485ctl --help (start-up, exit)", helpUs);
  Report("rs485ctl --port PTY read", readUs);
  std::printf("ratio of the medians, read to --help  %6.2f\n", BenchMedian(readUs) / BenchMedian(helpUs));
  std::printf("memory reads the converter answered: %u\n", sim.Converter().Counters().memoryReads);

  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
