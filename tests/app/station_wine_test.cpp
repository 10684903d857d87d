// rs485setup.exe's station under Wine on a private Xvfb display: three
// simulated converters on COM ports of the Wine prefix, planted in the
// registry with their serial numbers and hub places as Windows lists them,
// served by rs485ctl.exe workers beside the window. window_probe.exe reads the
// slots as text from the list-view and drives the window by its messages.
// Run by the Windows suite, which names the programs in the environment.

#include <gtest/gtest.h>

#include <dirent.h>

#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ctl_fixture.h"
#include "ops/messages.h"
#include "support/scratch_dir.h"
#include "support/spawned.h"
#include "support/wine_com_port.h"

namespace {

using Args = std::vector<std::string>;

// Control identifiers of app/station_view_win32.h and app/form_view_win32.h.
const char kStop[] = "310", kFormStation[] = "114";

// The processes whose command line names program.
int ProcessesRunning(const std::string& program) {
  int count = 0;
  DIR* proc = opendir("/proc");
  while (dirent* entry = proc != nullptr ? readdir(proc) : nullptr) {
    std::ifstream file(std::string("/proc/") + entry->d_name + "/cmdline");
    std::string line;
    std::getline(file, line, '\0');
    count += line.find(program) != std::string::npos ? 1 : 0;
  }
  if (proc != nullptr) closedir(proc);
  return count;
}

// The worker beside the window, as Wine shows its process.
std::string WorkerAsWineShowsIt(const std::string& exe) {
  std::string path = "Z:" + exe.substr(0, exe.rfind('/') + 1) + "rs485ctl.exe";
  for (char& c : path) c = c == '/' ? '\\' : c;
  return path;
}

template <class Condition>
bool WaitFor(int ms, Condition condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return condition();
}

class StationUnderWine : public ::testing::Test {
 protected:
  void SetUp() override {
    if (EnvOr("RS485_WINE_RUN").empty() || exe.empty() || probe.empty()) GTEST_SKIP() << "run by the Windows suite only";
    ASSERT_TRUE(xvfb.Start({"/bin/sh", "-c", "exec Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp"}));
    display = ":" + xvfb.ReadLine(10000);
    ASSERT_NE(display, ":");
  }
  void TearDown() override {
    if (probe.empty() || window.pid() <= 0) return;
    Probe({"close"});
    window.Finish(0, 10000);
  }

  // Plants the converters, by hub place in another order than their ports'.
  void Plant(size_t count) {
    static const char* const kPlaces[] = {"Port_#0002.Hub_#0001", "Port_#0001.Hub_#0001", "Port_#0003.Hub_#0001"};
    for (size_t k = 0; k < count; ++k) {
      const std::string n = std::to_string(k + 1);
      coms.push_back(std::make_unique<WineComPort>("COM3" + n, "\\Device\\rs485station" + n));
      ASSERT_TRUE(coms.back()->sim.Ok());
      ASSERT_TRUE(coms.back()->RegisterConverter("ST" + n, {"DISPLAY=" + display}, kPlaces[k]));
    }
  }
  SimConverter& Sim(size_t k) { return coms[k]->sim.Converter(); }

  void StartStation(const Args& options) {
    Args argv = {EnvOr("RS485_WINE_RUN"), exe, "--station"};
    argv.insert(argv.end(), options.begin(), options.end());
    ASSERT_TRUE(window.Start(argv, {{"DISPLAY=" + display}}));
  }

  // The probe's output, each line without the carriage return.
  std::string Probe(const Args& args) {
    Args argv = {EnvOr("RS485_WINE_RUN"), probe};
    argv.insert(argv.end(), args.begin(), args.end());
    const ProgramRun run = RunToEnd(argv, 120000, {{"DISPLAY=" + display}});
    std::string out;
    for (char c : run.out)
      if (c != '\r') out += c;
    EXPECT_EQ(run.exitCode, 0) << out << run.err;
    return out;
  }

  const std::string exe = EnvOr("RS485SETUP_EXE");
  const std::string probe = EnvOr("RS485_WINDOW_PROBE");
  ScratchDir dir;
  std::vector<std::unique_ptr<WineComPort>> coms;
  Spawned xvfb;
  Spawned window;
  std::string display;
};

// A profile written to every converter plugged in, one of which refuses it:
// a slot each, by hub place, with the result in words; the counters; the
// keyboard focus kept in the station; Stop, and no worker left behind.
TEST_F(StationUnderWine, ServesEveryConverterOnceAndShowsEachSlot) {
  Plant(3);
  Sim(2).SetFaults({.refuseWrites = true});
  std::ofstream("profile.json") << R"({"baud": 19200, "parity": "even", "echo_suppression": false})";
  StartStation({"--from", "profile.json", "--json-log", "итоги.jsonl"});

  const std::string served = "start=0 stop=1 choices=0 good=Успешно: 2 failed=С ошибкой: 1";
  const std::string out = Probe({"station", served, "90000", "rows", "3", "10000"});
  const std::string header = "Серийный номер | Место | Шаг | Записи | Результат\n";
  const std::string rows[] = {"ST2 | Port_#0001.Hub_#0001 | настройки |  | ОК\n",
                              "ST1 | Port_#0002.Hub_#0001 | настройки |  | ОК\n",
                              std::string("ST3 | Port_#0003.Hub_#0001 | настройки |  | ОШИБКА: ") +
                                  MsgSettingsWriteFailed};
  EXPECT_EQ(out.rfind(served + "\n" + header + rows[0] + rows[1] + rows[2], 0), 0u) << out;
  for (size_t k : {0u, 1u}) EXPECT_EQ(BytesOf(Sim(k).Settings()), (Data{0xC0, 0x00, 0x00, 0x08, 'E', 0x00})) << k;
  EXPECT_EQ(BytesOf(Sim(2).Settings()), (Data{0x60, 0x00, 0x00, 0x08, 'N', 0x80}));

  // Tab reaches every control that is enabled: while a run goes, Stop and
  // the slots; idle, the choices, Start and the slots.
  EXPECT_EQ(Probe({"tabs", "2"}), "focus=314\nfocus=310\n");
  const std::string idle = "start=1 stop=0 choices=1 good=Успешно: 2 failed=С ошибкой: 1";
  EXPECT_EQ(Probe({"click", kStop, "station", idle, "30000", "tabs", "8"}),
            idle + "\nfocus=301\nfocus=302\nfocus=304\nfocus=305\nfocus=307\nfocus=308\nfocus=309\nfocus=314\n");
  EXPECT_EQ(ProcessesRunning(WorkerAsWineShowsIt(exe)), 0);
  // Each unit's result as it ended, then the summary, in a file named in
  // Cyrillic.
  const std::string log = ReadText("итоги.jsonl");
  size_t units = 0;
  for (size_t at = log.find("{\"event\":\"unit\""); at != std::string::npos; at = log.find("{\"event\":\"unit\"", at + 1))
    ++units;
  EXPECT_EQ(units, 3u) << log;
  EXPECT_NE(log.find("{\"event\":\"summary\",\"converters\":3,\"ok\":2,\"failed\":1,"), std::string::npos) << log;
  EXPECT_EQ(Probe({"quit", "10000"}), "");
  EXPECT_EQ(window.Finish(0, 10000), 0);
}

// Closing during an update asks first, in Russian whatever the system's
// language (Wine's here is English); stopped, each converter is told to
// leave its update mode, the session's end waits meanwhile, and the window
// closes by itself once its workers are done. No worker shows a console.
TEST_F(StationUnderWine, ACloseDuringTheUpdatesLeavesNoConverterInUpdateMode) {
  Plant(2);
  WriteFile("big.bin", MakeImage(272 * 40));
  StartStation({"--flash", "big.bin"});
  ASSERT_TRUE(WaitFor(60000, [&] { return Sim(0).Snapshot().updateMode && Sim(1).Snapshot().updateMode; }));

  // The workers run with no console window of their own.
  EXPECT_EQ(Probe({"consoles", "end-session", "close", "answer", "yes", "10000"}),
            std::string("consoles=0\nend-session=refused\nquestion=") + MsgStationAskStop + " buttons=&Да|&Нет\n");
  EXPECT_EQ(window.Finish(0, 60000), 0) << window.out << window.err;
  for (size_t k : {0u, 1u}) {
    const SimSnapshot seen = Sim(k).Snapshot();
    EXPECT_FALSE(seen.updateMode) << k;
    EXPECT_GE(seen.counters.updateLeaves, 1u) << k;
  }
  EXPECT_EQ(ProcessesRunning(WorkerAsWineShowsIt(exe)), 0);
}

// A profile that cannot be used is told before any converter is touched,
// and the station waits with its choices for the operator.
TEST_F(StationUnderWine, AnUnusableProfileIsToldAndNothingStarts) {
  Plant(1);
  std::ofstream("profile.json") << R"({"baud": 19200, "colour": "red"})";
  StartStation({"--from", "profile.json"});
  const std::string waiting = "start=1 stop=0 choices=1 good=Успешно: 0 failed=С ошибкой: 0";
  EXPECT_EQ(Probe({"message", "30000", "station", waiting, "5000"}),
            std::string("message=") + MsgStationProfileBad + "\n\nprofile.json: неизвестный ключ \"colour\"\n" +
                waiting + "\n");
  EXPECT_EQ(Sim(0).Snapshot().requests.size(), 0u);
}

// The form's button opens the station beside it; the station is laid out at
// the DPI of its monitor, as the form is (Wine's DPI is LogPixels of the
// desktop, removed again at the end).
TEST_F(StationUnderWine, OpenedFromTheFormAndScaledToTheDpi) {
  static constexpr const char* kDesktop = "HKCU\\Control Panel\\Desktop";
  const auto wine = [this](const Args& args) {
    Args argv = {EnvOr("RS485_WINE_RUN")};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunToEnd(argv, 60000, {{"DISPLAY=" + display}}).exitCode;
  };
  const struct Restore {
    std::function<int(const Args&)> wine;
    ~Restore() { wine({"reg", "delete", kDesktop, "/v", "LogPixels", "/f"}); }
  } restore{wine};
  const struct {
    const char* dpi;
    const char* client;
  } cases[] = {{"120", "client=559x371 station=950x475"}, {"96", "client=447x297 station=760x380"}};
  const std::string opened = "start=1 stop=0 choices=1 good=Успешно: 0 failed=С ошибкой: 0";
  for (const auto& c : cases) {
    ASSERT_EQ(wine({"reg", "add", kDesktop, "/v", "LogPixels", "/t", "REG_DWORD", "/d", c.dpi, "/f"}), 0);
    ASSERT_TRUE(window.Start({EnvOr("RS485_WINE_RUN"), exe}, {{"DISPLAY=" + display}}));
    EXPECT_EQ(Probe({"wait-text", kFormStation, "Ст&анция…", "30000", "click", kFormStation, "station", opened,
                     "10000", "client", "fits"}),
              opened + "\n" + c.client + "\n")
        << c.dpi << " dpi";
    Probe({"quit", "10000"});
    EXPECT_EQ(window.Finish(0, 10000), 0) << c.dpi << " dpi";
  }
}

}  // namespace
