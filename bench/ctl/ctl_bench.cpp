// What a script pays per call of rs485ctl: the wall time of
// `rs485ctl --port <pty> read` against the simulated converter, beside the
// bare start-up and exit of `rs485ctl --help`, run alternately in the same
// process so that both see the same machine. Prints medians and spreads.
//
//   ctl_bench [runs]     (default 100)

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "sim/sim_serve.h"
#include "bench/support/bench_stats.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Runs rs485ctl with its output thrown away; the wall time in microseconds, or
// -1 when it did not exit with 0.
double TimedRun(const std::vector<std::string>& arguments) {
  std::vector<char*> argv = {const_cast<char*>(RS485CTL_PATH)};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  const Clock::time_point start = Clock::now();
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? us : -1;
}

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
  std::printf("read beyond start-up (medians)     %8.2f ms\n", (BenchQuantile(readUs, 0.5) - BenchQuantile(helpUs, 0.5)) / 1000);
  std::printf("memory reads the converter answered: %u\n", sim.Converter().Counters().memoryReads);

  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  return 0;
}
