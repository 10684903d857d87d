// The Qt station serving 8 simulated converters beside serving one, in the
// same run, taken in turns: the ratio of the two times is what the station
// adds for a full hub. During each run a 10 ms timer of the window's event
// loop notes how late it fires: the longest lateness is the longest time the
// window could not answer the user.
//
//   station_bench [runs]    (3 by default)
//
// Starts itself again under umockdev-wrapper when it is not under it; the
// window is Qt's offscreen one unless QT_QPA_PLATFORM says otherwise.

#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "app/station_window.h"
#include "bench/support/bench_stats.h"
#include "sim/converter_testbed.h"

namespace {

constexpr uint32_t kLineRate = 480;      // bytes per second at 4800 baud
constexpr size_t kImageBytes = 272 * 4;  // four records, 583 ms each on the line
constexpr int kHub = 8;
constexpr double kGoalRatio = 1.1;
constexpr double kGoalStallMs = 50;

struct Run {
  double seconds = 0;
  double stallMs = 0;
  bool ok = false;
};

// One run: count converters plugged in, the station started, until each has
// its result; then stopped and unplugged.
Run Serve(TStationWindow& station, std::vector<std::unique_ptr<SimConverter>>& sims, TestbedConverters& plugged,
          int count) {
  for (int k = 0; k < count; ++k)
    plugged.Plug(*sims[static_cast<size_t>(k)], ("1-1." + std::to_string(k + 1)).c_str(),
                 ("ttyACM" + std::to_string(k)).c_str(), ("SIM" + std::to_string(1000 + k)).c_str());
  Run run;
  const int32_t before = station.logic.Good() + station.logic.Failed();
  QElapsedTimer clock;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(10);
  qint64 last = 0;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 now = clock.nsecsElapsed();
    run.stallMs = std::max(run.stallMs, (now - last) / 1e6 - 10);
    last = now;
  });
  clock.start();
  probe.start();
  if (station.StartRun()) {
    while (station.logic.Good() + station.logic.Failed() < before + count && clock.elapsed() < 120000)
      QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    run.seconds = clock.nsecsElapsed() / 1e9;
    run.ok = station.logic.Good() == before + count && station.logic.Failed() == 0;
  }
  probe.stop();
  station.logic.StopClick();
  while (station.logic.Running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
  for (int k = 0; k < count; ++k) plugged.Unplug(("1-1." + std::to_string(k + 1)).c_str());
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  if (!TestbedUnderWrapper()) {
    errno = TestbedRunUnderWrapper(argv);
    std::perror("umockdev-wrapper");
    return 1;
  }
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  int qtArgc = 1;
  QApplication app(qtArgc, argv);

  char folder[] = "/tmp/rs485-station-bench-XXXXXX";
  if (mkdtemp(folder) == nullptr || chdir(folder) != 0) return 1;
  {
    std::ofstream image("fw.bin", std::ios::binary);
    for (size_t i = 0; i < kImageBytes; ++i) image.put(static_cast<char>(i * 7));
  }
  UMockdevTestbed* testbed = TestbedCreate();
  std::vector<std::unique_ptr<SimConverter>> sims;
  for (int k = 0; k < kHub; ++k) {
    sims.push_back(std::make_unique<SimConverter>());
    sims.back()->SetLineRate(kLineRate);
  }
  auto plugged = std::make_unique<TestbedConverters>(testbed);
  std::vector<double> one, hub, stalls;
  bool ok = true;
  {
    TStationWindow station(RS485CTL_PATH);
    station.messageHook = [&](const QString& text, const QString& reason) {
      std::fprintf(stderr, "%s %s\n", text.toUtf8().constData(), reason.toUtf8().constData());
    };
    StationChoices choices;
    choices.image = "fw.bin";
    station.SetChoices(choices);
    station.show();
    for (int r = 0; r < runs; ++r) {
      const Run single = Serve(station, sims, *plugged, 1);
      const Run all = Serve(station, sims, *plugged, kHub);
      ok = ok && single.ok && all.ok;
      one.push_back(single.seconds);
      hub.push_back(all.seconds);
      stalls.push_back(single.stallMs);
      stalls.push_back(all.stallMs);
    }
  }
  plugged.reset();
  TestbedDestroy(testbed);
  std::remove("fw.bin");
  std::remove("port.out");
  rmdir(folder);

  std::printf("the station, %zu-byte image (4 records at 4800 baud), settle 5000 ms, median of %d runs in turns\n",
              kImageBytes, runs);
  std::printf("  %-26s %6.2f s\n", "one converter:", BenchMedian(one));
  std::printf("  %-26s %6.2f s\n", "8 converters:", BenchMedian(hub));
  std::printf("  %-26s %6.2f (goal at most %.1f)\n", "ratio:", BenchMedian(hub) / BenchMedian(one), kGoalRatio);
  std::printf("  %-26s %6.1f ms (goal under %.0f)\n", "longest event-loop stall:",
              *std::max_element(stalls.begin(), stalls.end()), kGoalStallMs);
  if (!ok) std::printf("  some unit failed: the times are not of whole updates\n");
  return ok ? 0 : 1;
}
