// What the program's sleeps and clocks achieve against what it asks for: a
// sleep of 1 and 10 ms through the platform's service, and the steps of the
// platform's tick and of the millisecond clock, each beside the standard
// library's 1 ms sleep measured first, before the program's first call to its
// time service (on Windows that is a sleep at the system's default timer
// resolution), and beside the same sleep interleaved with the platform's.
// Times are taken with std::chrono::steady_clock.
//
//   timer_bench [sleeps]     (default 50 of each length)

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

#include "bench/support/bench_stats.h"
#include "platform/time.h"
#include "ports/ms_clock.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

template <class Sleep>
std::vector<double> SleepSamples(int count, Sleep sleep) {
  std::vector<double> samples;
  for (int i = 0; i < count; ++i) {
    const auto start = Clock::now();
    sleep();
    samples.push_back(MsSince(start));
  }
  return samples;
}

// The times between two changes of a counter read in a tight loop for about
// ms milliseconds; their median is the counter's step even when the loop is
// now and then held up.
template <class Read>
std::vector<double> Steps(int ms, Read read) {
  std::vector<double> steps;
  const auto start = Clock::now();
  auto changed = start;
  uint32_t last = read();
  while (MsSince(start) < ms) {
    const uint32_t now = read();
    if (now == last) continue;
    if (changed != start) steps.push_back(MsSince(changed));
    changed = Clock::now();
    last = now;
  }
  return steps;
}

void Row(const char* what, double asked, double median, double most) {
  std::printf("%-34s %6.1f %9.2f %8.2f %8.2f\n", what, asked, median, most, median / asked);
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::atoi(argv[1]) : 50;
  if (count <= 0) return 2;
  // First, before the platform's service sets anything up.
  const std::vector<double> standard =
      SleepSamples(count, [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); });
  const double baseline = BenchMedian(standard);

  // Then the platform's 1 ms sleep alternating with the standard one, which
  // now runs at whatever resolution the platform's service set.
  std::vector<double> one, interleaved;
  for (int i = 0; i < count; ++i) {
    one.push_back(SleepSamples(1, [] { PlatformSleepMs(1); })[0]);
    interleaved.push_back(SleepSamples(1, [] { std::this_thread::sleep_for(std::chrono::milliseconds(1)); })[0]);
  }
  const std::vector<double> ten = SleepSamples(count, [] { PlatformSleepMs(10); });
  const std::vector<double> tick = Steps(200, PlatformTickMs);
  MsClockStart();
  const std::vector<double> clock = Steps(200, MsClockTick32);

  std::printf("timer_bench: %d sleeps of each length, times in ms\n", count);
  std::printf("%-34s %6s %9s %8s %8s\n", "", "asked", "median", "max", "x asked");
  Row("baseline: std sleep_for, at start", 1, baseline, BenchQuantile(standard, 1));
  Row("std sleep_for, interleaved", 1, BenchMedian(interleaved), BenchQuantile(interleaved, 1));
  Row("PlatformSleepMs(1)", 1, BenchMedian(one), BenchQuantile(one, 1));
  Row("PlatformSleepMs(10)", 10, BenchMedian(ten), BenchQuantile(ten, 1));
  Row("PlatformTickMs step", 1, BenchMedian(tick), BenchQuantile(tick, 1));
  Row("MsClockTick32 step (clock thread)", 1, BenchMedian(clock), BenchQuantile(clock, 1));
  std::printf("PlatformSleepMs(1) against the baseline at start: x %.2f, against the interleaved one: x %.2f\n",
              BenchMedian(one) / baseline, BenchMedian(one) / BenchMedian(interleaved));
  return 0;
}
