// The journal's cost per unit: a firmware update of 4 records to the
// simulated converter on a pseudo-terminal, with the unit's journal line
// appended and synced after it, beside the same update without the line,
// interleaved round by round. Prints the medians and their ratio. The
// converter takes 1000 bytes a second and nobody waits for it to settle: a
// shorter update than a real one (4800 baud is 480 bytes a second, and
// rs485ctl waits 5 s twice by default), so that the line weighs more here.
// On a pseudo-terminal a slower line would outlast the wait for a record's
// acknowledgement, which starts once the bytes have left (they leave at once
// into the terminal's buffer).
//
//   journal_bench [rounds] [journal]   (5 rounds; ./journal-bench.jsonl, on
//                                       the disk of the current folder)

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/support/bench_stats.h"
#include "fleet/journal.h"
#include "ops/firmware_upload.h"
#include "ops/sha256.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "sim/sim_serve.h"

namespace {

constexpr uint32_t kLineRate = 1000;
std::vector<double> lineUs;  // the journal line's own time, each round
bool lineOk = true;

bool Flash(const std::vector<uint8_t>& image, const std::string& journal) {
  SimDevice sim;
  sim.Converter().SetLineRate(kLineRate);
  UploadHooks hooks;
  hooks.reopenDelayMs = 0;
  hooks.finishDelayMs = 0;
  PortId id = 0;
  const uint32_t started = MsClockTick32();
  const UploadReport report = FirmwareUploadImage(sim.PortName().c_str(), id, image, hooks);
  if (report.result != UploadDone) return false;
  if (journal.empty()) return true;
  JournalUnit unit;
  unit.operation = "flash";
  unit.port = sim.PortName();
  unit.steps = {{"flash", 0, "{\"port\":\"" + sim.PortName() + "\",\"result\":\"done\"}"}};
  unit.image = "fw.bin";
  unit.imageSize = image.size();
  unit.imageSha256 = Sha256Hex(image.data(), image.size());
  unit.result = "ok";
  unit.durationMs = MsClockTick32() - started;
  std::string reason;
  lineUs.push_back(BenchTimeUs([&] { return JournalAppendUnit(journal, unit, reason); }, &lineOk));
  if (!lineOk) std::fprintf(stderr, "%s\n", reason.c_str());
  return reason.empty();
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 5;
  const std::string journal = argc > 2 ? argv[2] : "journal-bench.jsonl";
  PortLayerInit();
  MsClockStart();
  std::vector<uint8_t> image(272 * 4);
  for (size_t k = 0; k < image.size(); ++k) image[k] = static_cast<uint8_t>(k * 7 + k / 272);
  std::vector<double> with, without;
  bool ok = true;
  for (int round = 0; round < rounds; ++round) {
    without.push_back(BenchTimeUs([&] { return Flash(image, std::string()); }, &ok));
    with.push_back(BenchTimeUs([&] { return Flash(image, journal); }, &ok));
  }
  if (!ok) {
    std::fprintf(stderr, "an update or a journal line failed\n");
    return 1;
  }
  const double a = BenchMedian(with);
  const double b = BenchMedian(without);
  std::printf("flash of 4 records at %u B/s, median of %d: with its journal line %.1f ms, without %.1f ms, "
              "ratio %.4f (goal at most 1.02)\n",
              kLineRate, rounds, a / 1000, b / 1000, a / b);
  std::printf("the line alone (read the last line, append, sync): median %.2f ms\n", BenchMedian(lineUs) / 1000);
  return 0;
}
