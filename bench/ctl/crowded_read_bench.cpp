// What another program's many open descriptors (a browser's, an IDE's) cost
// `rs485ctl --port <pty> read` against the simulated converter: a helper
// process opens and closes its descriptors in turn, and a read is timed in
// each state, interleaved, so that both see the same machine. Prints both
// medians and their ratio.
//
//   crowded_read_bench [runs] [descriptors]     (50 and 19000 by default)

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
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

// A child that, on each byte from its command pipe, opens its descriptors
// ('o': `count` duplicates of /dev/null) or closes them ('c') and answers with
// the number it holds.
struct Crowd {
  pid_t pid = -1;
  int command = -1;
  int answer = -1;

  bool Start(int count) {
    int down[2], up[2];
    if (pipe(down) != 0 || pipe(up) != 0) return false;
    pid = fork();
    if (pid == 0) {
      close(down[1]);
      close(up[0]);
      const int base = open("/dev/null", O_RDONLY);
      std::vector<int> held;
      char c = 0;
      while (read(down[0], &c, 1) == 1) {
        if (c == 'o')
          for (int fd; static_cast<int>(held.size()) < count && (fd = dup(base)) >= 0;) held.push_back(fd);
        if (c == 'c') {
          for (const int fd : held) close(fd);
          held.clear();
        }
        const int n = static_cast<int>(held.size());
        if (write(up[1], &n, sizeof n) != sizeof n) break;
      }
      _exit(0);
    }
    close(down[0]);
    close(up[1]);
    command = down[1];
    answer = up[0];
    return pid > 0;
  }

  int Send(char c) const {
    int n = -1;
    if (write(command, &c, 1) != 1 || read(answer, &n, sizeof n) != sizeof n) return -1;
    return n;
  }

  ~Crowd() {
    if (pid <= 0) return;
    close(command);
    close(answer);
    waitpid(pid, nullptr, 0);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 50;
  const int wanted = argc > 2 ? std::max(1, std::atoi(argv[2])) : 19000;

  // The helper inherits the raised limit; it starts before the simulator, so
  // that it holds none of the simulator's descriptors.
  rlimit limit{};
  getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  Crowd crowd;
  if (!crowd.Start(wanted)) {
    std::perror("crowded_read_bench: helper");
    return 1;
  }
  const int planted = crowd.Send('o');
  if (planted < wanted)
    std::fprintf(stderr, "the descriptor limit (%llu) lets the helper hold only %d\n",
                 static_cast<unsigned long long>(limit.rlim_max), planted);

  // rs485ctl appends its banner to port.out in its working folder.
  char folder[] = "/tmp/rs485-crowded-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;
  SimDevice sim;
  if (!sim.Ok()) {
    std::fprintf(stderr, "no pseudo-terminal for the simulated converter\n");
    return 1;
  }
  const std::vector<std::string> read = {"--port", sim.PortName(), "read"};
  std::vector<double> alone, crowded;
  bool ok = BenchRunUs(RS485CTL_PATH, read) >= 0;  // the first start loads the program from disk
  for (int k = 0; k < runs && ok; ++k) {
    ok = crowd.Send('c') == 0;
    const double a = BenchRunUs(RS485CTL_PATH, read);
    ok = ok && crowd.Send('o') == planted;
    const double c = BenchRunUs(RS485CTL_PATH, read);
    ok = ok && a >= 0 && c >= 0;
    alone.push_back(a);
    crowded.push_back(c);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  if (!ok) {
    std::fprintf(stderr, "crowded_read_bench: a read or the helper failed\n");
    return 1;
  }
  const double baseline = BenchMedian(alone);
  const double with = BenchMedian(crowded);
  std::printf("rs485ctl --port PTY read, %d runs each, interleaved\n", runs);
  std::printf("  baseline, no other process holds many descriptors: median %8.2f ms   p90 %8.2f ms\n",
              baseline / 1000, BenchQuantile(alone, 0.9) / 1000);
  std::printf("  beside a process holding %d descriptors:        median %8.2f ms   p90 %8.2f ms\n", planted,
              with / 1000, BenchQuantile(crowded, 0.9) / 1000);
  std::printf("  ratio: %.2f (goal at most 1.5)\n", with / baseline);
  return 0;
}
