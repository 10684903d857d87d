// rs485ctl flash --all over several simulated converters in a umockdev
// testbed, each on its own line at the converter's 4800 baud (480 bytes/s),
// beside the update of one of them in the same run: the ratio of the two
// times is what serving them in parallel costs over serving one.
//
//   flash_all_bench [converters] [runs]    (4 and 3 by default; 1 compares
//                                           --all with --serial of one)
//
// Starts itself again under umockdev-wrapper when it is not under it.

#include <unistd.h>

#include <chrono>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench/support/bench_stats.h"
#include "sim/converter_testbed.h"

namespace {

constexpr const char* kSettleMs = "500";
constexpr uint32_t kLineRate = 480;   // bytes per second at 4800 baud
constexpr size_t kImageBytes = 272 * 4;  // four records, 583 ms each on the line
// The goal is set for four converters: all of them at once take at most 1.2
// times as long as one.
constexpr int kGoalConverters = 4;
constexpr double kGoalRatio = 1.2;

double Seconds(const std::vector<std::string>& args, int& status) {
  std::string command = RS485CTL_PATH;
  for (const std::string& a : args) command += " " + a;
  command += " >/dev/null 2>&1";
  const auto start = std::chrono::steady_clock::now();
  status = std::system(command.c_str());
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (!TestbedUnderWrapper()) {
    errno = TestbedRunUnderWrapper(argv);
    std::perror("umockdev-wrapper");
    return 1;
  }
  const int count = argc > 1 ? std::atoi(argv[1]) : kGoalConverters;
  if (count < 1) {
    std::fprintf(stderr, "flash_all_bench: at least one converter\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;

  char folder[] = "/tmp/rs485-flash-all-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;
  {
    std::ofstream image("fw.bin", std::ios::binary);
    for (size_t i = 0; i < kImageBytes; ++i) image.put(static_cast<char>(i * 7));
  }
  UMockdevTestbed* testbed = TestbedCreate();
  std::vector<std::unique_ptr<SimConverter>> converters;
  auto plugged = std::make_unique<TestbedConverters>(testbed);
  for (int k = 0; k < count; ++k) {
    converters.push_back(std::make_unique<SimConverter>());
    converters.back()->SetLineRate(kLineRate);
    const std::string place = "1-1." + std::to_string(k + 1);
    const std::string serial = "SIM" + std::to_string(1000 + k);
    if (!plugged->Plug(*converters.back(), place.c_str(), ("ttyACM" + std::to_string(k)).c_str(), serial.c_str())) {
      std::fprintf(stderr, "the testbed would not take converter %d\n", k);
      return 1;
    }
  }

  std::vector<double> one;
  std::vector<double> all;
  for (int run = 0; run < runs; ++run) {
    int status = 0;
    one.push_back(Seconds({"--serial", "SIM1000", "flash", "fw.bin", "--settle-ms", kSettleMs}, status));
    if (status != 0) std::fprintf(stderr, "the update of one converter failed (%d)\n", status);
    all.push_back(Seconds({"flash", "--all", "fw.bin", "--settle-ms", kSettleMs}, status));
    if (status != 0) std::fprintf(stderr, "the update of every converter failed (%d)\n", status);
  }
  plugged.reset();
  TestbedDestroy(testbed);
  std::remove("fw.bin");
  std::remove("port.out");
  rmdir(folder);

  const double single = BenchMedian(one);
  const double every = BenchMedian(all);
  std::printf("%zu-byte image (4 records at 4800 baud), settle %s ms, median of %d runs\n", kImageBytes, kSettleMs,
              runs);
  const std::string allLabel = "--all of " + std::to_string(count) + ":";
  std::printf("  %-20s %6.2f s\n", "one, --serial:", single);
  std::printf("  %-20s %6.2f s\n", allLabel.c_str(), every);
  if (count == kGoalConverters)
    std::printf("  %-20s %6.2f (goal at most %.1f)\n", "ratio:", every / single, kGoalRatio);
  else
    std::printf("  %-20s %6.2f (the goal is set for %d converters)\n", "ratio:", every / single, kGoalConverters);
  return 0;
}
