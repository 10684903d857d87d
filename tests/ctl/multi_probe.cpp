// Several simulated converters in one umockdev testbed (run under
// umockdev-wrapper by ctl_testbed_test), each with its own serial number,
// memory and place on the bus, plugged in and out while rs485ctl serves them.

#include <signal.h>
#include <string.h>
#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ctl_fixture.h"
#include "ops/messages.h"
#include "ops/sha256.h"
#include "sim/converter_testbed.h"
#include "sim/sim_serve.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "support/spawned.h"

namespace {

using Args = std::vector<std::string>;

// The workers a process started: its children running rs485ctl --worker for
// that serial number.
pid_t WorkerOf(pid_t parent, const std::string& serial) {
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    std::ifstream stat(entry.path() / "stat");
    std::string pid, name, state;
    pid_t ppid = 0;
    if (!(stat >> pid >> name >> state >> ppid) || ppid != parent) continue;
    std::ifstream cmdline(entry.path() / "cmdline");
    const std::string args((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    if (args.find(std::string("--worker") + '\0') != std::string::npos &&
        args.find('\0' + serial + '\0') != std::string::npos)
      return std::stoi(pid);
  }
  return -1;
}

class CtlConverters : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NE(testbed, nullptr);
    WriteFile(scratch.path() + "/fw.bin", image);
  }
  void TearDown() override {
    plugged.reset();
    TestbedDestroy(testbed);
  }
  // Converter k at place 1-1.<k+1> as ttyACM<tty>, with serial number SN<k>
  // unless told otherwise.
  void Plug(int k, int tty, const char* serial = "") {
    const std::string place = "1-1." + std::to_string(k + 1);
    const std::string number = serial == nullptr ? "" : serial[0] != '\0' ? serial : "SN" + std::to_string(k);
    ASSERT_TRUE(plugged->Plug(sim[k], place.c_str(), ("ttyACM" + std::to_string(tty)).c_str(),
                              serial == nullptr ? nullptr : number.c_str()));
  }
  void Unplug(int k) { plugged->Unplug(("1-1." + std::to_string(k + 1)).c_str()); }
  bool Heard(int k, const std::function<bool(const SimCounters&)>& done) { return sim[k].WaitUntil(done, 20000); }

  // The lines of JSON Lines output, each taken apart.
  static std::vector<Json> Lines(const std::string& out) {
    std::vector<Json> lines;
    for (size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
      Json value;
      EXPECT_TRUE(JsonParse(out.substr(at, end - at), value)) << out.substr(at, end - at);
      lines.push_back(value);
    }
    return lines;
  }

  // The results of JSON Lines output by serial number, and its summary.
  static std::map<std::string, Json> Results(const std::string& out, Json* summary = nullptr) {
    std::map<std::string, Json> results;
    for (const Json& line : Lines(out)) {
      if (line["event"].text == "result") results[line["serial"].text] = line;
      if (line["event"].text == "summary" && summary != nullptr) *summary = line;
    }
    return results;
  }

  // Starts a slow update of converters 0 and 1 and waits until each has
  // taken a record of it.
  void StartSlowUpdate(Spawned& ctl, bool ownGroup) {
    WriteFile(scratch.path() + "/big.bin", MakeImage(272 * 8));
    for (int k = 0; k < 2; ++k) sim[k].SetLineRate(480);  // a record takes 583 ms on its line
    ASSERT_TRUE(ctl.Start({CtlPath(), "--json", "flash", "--all", "big.bin", "--settle-ms", "300"},
                          SpawnOptions{.env = {}, .ownGroup = ownGroup}));
    for (int k = 0; k < 2; ++k) {
      const uint32_t acked = sim[k].Counters().recordsAcked;
      ASSERT_TRUE(Heard(k, [&](const SimCounters& c) { return c.recordsAcked > acked; })) << k;
    }
  }

  // Converter k was told to leave its update mode (leaves counted before: since) and is out of it.
  void LeftUpdateMode(int k, uint32_t since) {
    EXPECT_TRUE(Heard(k, [&](const SimCounters& c) { return c.updateLeaves > since; })) << k;
    EXPECT_FALSE(sim[k].Snapshot().updateMode) << k;
  }

  ScratchDir scratch;
  const Data image = MakeImage(272 * 3);
  SimConverter sim[4];  // before the testbed's servers, which use them
  UMockdevTestbed* testbed = TestbedCreate();
  std::unique_ptr<TestbedConverters> plugged = std::make_unique<TestbedConverters>(testbed);
};

TEST_F(CtlConverters, OneIsChosenBySerialOrPlaceAndNeverTheFirstOfSeveral) {
  Plug(0, 0);
  Plug(1, 1, nullptr);  // no serial number
  Plug(2, 2);
  const CtlRun all = RunCtl({"locate", "--all"});
  EXPECT_EQ(all.exitCode, 0) << Describe(all);
  EXPECT_EQ(all.out, "ttyACM0\tSN0\t1-1.1\nttyACM1\t-\t1-1.2\nttyACM2\tSN2\t1-1.3\n");

  const struct {
    Args args;
    int exitCode;
    const char* port;  // the port read, when one was
  } cases[] = {
      {{"--serial", "SN2", "read"}, 0, "ttyACM2"},
      {{"--location", "1-1.2", "read"}, 0, "ttyACM1"},
      {{"--serial", "SN0", "--location", "1-1.1", "read"}, 0, "ttyACM0"},
      {{"--serial", "SN0", "--location", "1-1.3", "read"}, 1, nullptr},
      {{"--serial", "SN9", "read"}, 1, nullptr},
      {{"--serial", "SN9", "doctor"}, 1, nullptr},  // not plugged in means the same to doctor
      {{"read"}, 3, nullptr},
      {{"locate"}, 3, nullptr},
      {{"write", "--echo", "off"}, 3, nullptr},
      {{"flash", "fw.bin"}, 3, nullptr},
      {{"doctor"}, 3, nullptr},
  };
  for (const auto& c : cases) {
    Args args = c.args;
    args.push_back("--json");
    const CtlRun run = RunCtl(args);
    EXPECT_EQ(run.exitCode, c.exitCode) << CtlCommandLine(args) << "\n" << Describe(run);
    Json value;
    ASSERT_TRUE(OneJsonObject(run.out, value)) << CtlCommandLine(args);
    EXPECT_EQ(value["port"].text, c.port != nullptr ? c.port : "") << CtlCommandLine(args);
    if (c.exitCode == 3) {
      EXPECT_EQ(value["error"].text, MsgSeveralConverters);
      EXPECT_EQ(value["converters"].items.size(), 3u) << run.out;
      EXPECT_NE(run.err.find("ttyACM2\tSN2\t1-1.3"), std::string::npos) << run.err;
    }
  }
  for (const SimConverter& converter : sim) {
    EXPECT_EQ(converter.Counters().memoryWrites, 0u);
    EXPECT_EQ(converter.Counters().updateEnters, 0u);
  }
}

TEST_F(CtlConverters, OneWithoutASerialPortIsListedAndFailsWithItsReason) {
  Plug(0, 0);
  Plug(1, 1);
  Plug(2, 2);
  ASSERT_TRUE(TestbedAddUsbWithoutDriver(testbed, "1-1.4", 0x16C0, 0x4E04, "NOTTY1"));
  const CtlRun located = RunCtl({"locate", "--all"});
  EXPECT_EQ(located.exitCode, 3) << Describe(located);
  EXPECT_NE(located.out.find(std::string("ttyACM2\tSN2\t1-1.3\n-\tNOTTY1\t1-1.4\t") + MsgConverterWithoutPort + "\n"),
            std::string::npos)
      << located.out;

  const struct {
    Args args;
    int exitCode;
    std::function<void(const std::vector<Json>&)> told;  // what the JSON lines say of it
  } cases[] = {
      {{"locate", "--all"}, 3,
       [](const std::vector<Json>& lines) {
         ASSERT_EQ(lines[0]["converters"].items.size(), 4u);
         const Json& notty = lines[0]["converters"].items[3];
         EXPECT_EQ(notty["port"].kind, Json::Null);
         EXPECT_EQ(notty["serial"].text, "NOTTY1");
         EXPECT_EQ(notty["reason"].text, MsgConverterWithoutPort);
       }},
      {{"--serial", "NOTTY1", "read"}, 3,
       [](const std::vector<Json>& lines) {
         EXPECT_EQ(lines[0]["error"].text, MsgPortOpenFailed);
         EXPECT_EQ(lines[0]["reason"].text, MsgConverterWithoutPort);
       }},
      {{"read"}, 3, [](const std::vector<Json>& lines) { EXPECT_EQ(lines[0]["converters"].items.size(), 4u); }},
      {{"read", "--all"}, 3,
       [](const std::vector<Json>& lines) {
         ASSERT_EQ(lines.size(), 5u);
         int failed = 0;
         for (size_t k = 0; k < 4; ++k) {
           if (lines[k]["serial"].text != "NOTTY1") continue;
           ++failed;
           EXPECT_EQ(lines[k]["error"].text, MsgPortOpenFailed);
           EXPECT_EQ(lines[k]["reason"].text, MsgConverterWithoutPort);
         }
         EXPECT_EQ(failed, 1);
         EXPECT_EQ(lines[4]["converters"].number, 4);
         EXPECT_EQ(lines[4]["ok"].number, 3);
       }},
      {{"--serial", "NOTTY1", "doctor"}, 3,
       [](const std::vector<Json>& lines) {
         ASSERT_FALSE(lines[0]["checks"].items.empty());
         const Json& converter = lines[0]["checks"].items[0];
         EXPECT_EQ(converter["verdict"].text, "failed");
         EXPECT_EQ(converter["detail"].text, MsgDoctorNoSerialPort);
       }},
  };
  for (const auto& c : cases) {
    Args args = c.args;
    args.push_back("--json");
    const CtlRun run = RunCtl(args);
    EXPECT_EQ(run.exitCode, c.exitCode) << CtlCommandLine(args) << "\n" << Describe(run);
    const std::vector<Json> lines = Lines(run.out);
    ASSERT_FALSE(lines.empty()) << CtlCommandLine(args) << "\n" << Describe(run);
    c.told(lines);
  }
}

TEST_F(CtlConverters, EveryMessageTellsTwinsApartAndSaysWhatWasDone) {
  Plug(0, 0, "DUP7");
  Plug(1, 1, "DUP7");
  Plug(2, 2);
  SimFaults corrupt;
  corrupt.corruptCrc = true;
  sim[0].SetFaults(corrupt);
  const std::string prlimit = FindProgram("prlimit");
  const struct {
    Args args;
    int exitCode;
    std::string reason;  // of the JSON object, or in the output lines
    std::string err;     // found on standard error
  } cases[] = {
      {{"--serial", "DUP7", "read"}, 3, MsgSerialShared("DUP7", 2), ""},
      {{"read"}, 3, MsgChooseConverter, ""},
      {{"flash", "fw.bin"}, 3, MsgChooseConverter, ""},
      {{"--serial", "SN9", "doctor"}, 1, MsgNoSuchConverter("SN9", ""), ""},
      {{"--serial", "SN9", "read"}, 1, MsgNoSuchConverter("SN9", ""), ""},
      {{"--serial", "DUP7", "read", "--all"}, 4, "", std::string("[DUP7 1-1.1] ") + MsgSettingsReadFailed},
  };
  for (const auto& c : cases) {
    std::filesystem::remove(scratch.path() + "/port.out");
    Args argv = {CtlPath(), "--json"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    const CtlRun run = RunProgram(argv);
    EXPECT_EQ(run.exitCode, c.exitCode) << CtlCommandLine(c.args) << "\n" << Describe(run);
    std::vector<std::string> reasons;
    for (const Json& line : Lines(run.out)) reasons.push_back(line["reason"].text);
    EXPECT_TRUE(c.reason.empty() || std::count(reasons.begin(), reasons.end(), c.reason) == 1)
        << CtlCommandLine(c.args) << "\n" << run.out;
    EXPECT_NE(run.err.find(c.err), std::string::npos) << CtlCommandLine(c.args) << "\n" << run.err;
    if (c.exitCode != 4) {
      EXPECT_FALSE(std::filesystem::exists(scratch.path() + "/port.out")) << CtlCommandLine(c.args) << ": no port was opened";
    }
  }

  // A worker that cannot be started: with the fewest descriptors the search
  // can work with, none are left for the worker's pipes.
  if (prlimit.empty()) GTEST_SKIP() << "prlimit (util-linux) is missing";
  CtlRun run;
  for (int limit = 4; limit < 32 && run.exitCode != 0 && run.exitCode != 3; ++limit)  // too few even to load it, or to search
    run = RunProgram({prlimit, "--nofile=" + std::to_string(limit), CtlPath(), "--json", "--serial", "SN2", "read", "--all"});
  EXPECT_EQ(run.exitCode, 3) << Describe(run);
  EXPECT_EQ(Results(run.out)["SN2"]["reason"].text, MsgSystemFailure(EMFILE, strerror(EMFILE))) << run.out;
}

TEST_F(CtlConverters, AllServesEveryConverterAtOnceAndEndsWithTheWorstCode) {
  for (int k = 0; k < 3; ++k) Plug(k, k);
  SimFaults corrupt;
  corrupt.corruptCrc = true;
  sim[1].SetFaults(corrupt);
  const CtlRun read = RunCtl({"--json", "read", "--all"});
  EXPECT_EQ(read.exitCode, 4) << Describe(read);
  std::vector<Json> lines = Lines(read.out);
  ASSERT_EQ(lines.size(), 4u) << read.out;
  for (size_t k = 0; k < 3; ++k) {
    const Json& result = lines[k];
    EXPECT_EQ(result["event"].text, "result");
    const int n = result["serial"].text.back() - '0';
    EXPECT_EQ(result["location"].text, "1-1." + std::to_string(n + 1));
    EXPECT_EQ(result["error"].text, n == 1 ? MsgSettingsReadFailed : "") << read.out;
  }
  EXPECT_EQ(lines[3]["event"].text, "summary");
  EXPECT_EQ(lines[3]["ok"].number, 2);
  EXPECT_EQ(lines[3]["exit_code"].number, 4);

  sim[1].SetFaults(SimFaults{});
  const CtlRun flash = RunCtl({"--json", "flash", "--all", "fw.bin", "--settle-ms", "1000"});
  EXPECT_EQ(flash.exitCode, 0) << Describe(flash);
  lines = Lines(flash.out);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.back()["ok"].number, 3);
  EXPECT_EQ(lines.front()["event"].text, "progress");
  EXPECT_EQ(lines.front()["records_total"].number, 3);
  // Served side by side: each converter was switched into its update mode
  // before any was switched out of it again (a second apart at the least).
  int64_t lastEnter = 0;
  int64_t firstLeave = INT64_MAX;
  for (int k = 0; k < 3; ++k) {
    const SimSnapshot seen = sim[k].Snapshot();
    EXPECT_EQ(seen.image, image) << k;
    int64_t enter = INT64_MAX;
    for (const SimRequest& r : seen.requests) {
      if (r.kind == SimRequestKind::UpdateEnter) enter = std::min(enter, r.firstUs);
      if (r.kind == SimRequestKind::UpdateLeave) firstLeave = std::min(firstLeave, r.firstUs);
    }
    lastEnter = std::max(lastEnter, enter);
  }
  EXPECT_LT(lastEnter, firstLeave);
}

// Workers tracing into one standard error never cut into each other's lines.
TEST_F(CtlConverters, AllTracesEveryConverterInWholeLines) {
  for (int k = 0; k < 4; ++k) Plug(k, k);
  const CtlRun run = RunCtl({"--trace", "-", "flash", "--all", "fw.bin", "--settle-ms", "100"});
  ASSERT_EQ(run.exitCode, 0) << Describe(run);
  std::map<std::string, int> records, acknowledged;  // by port
  for (size_t at = 0, end; (end = run.err.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string line = run.err.substr(at, end - at);
    if (line.find('\t') == std::string::npos) continue;  // a worker's message
    const std::vector<TraceLine> parsed = ParseTrace(line);
    ASSERT_EQ(parsed.size(), 1u);
    const TraceLine& t = parsed[0];
    ASSERT_GE(t.ms, 0) << "a broken line: " << line;
    ASSERT_TRUE(t.event == "open" || t.event == "out" || t.event == "in" || t.event == "close") << line;
    records[t.port] += t.meaning.rfind("record page", 0) == 0 && t.hex.size() == 276 * 3 - 1;
    acknowledged[t.port] += t.meaning == "record acknowledgement";
  }
  const std::map<std::string, int> each = {{"ttyACM0", 3}, {"ttyACM1", 3}, {"ttyACM2", 3}, {"ttyACM3", 3}};
  EXPECT_EQ(records, each) << run.err;
  EXPECT_EQ(acknowledged, each) << run.err;
}

TEST_F(CtlConverters, AnUpdateFollowsItsConverterWhenTheNamesSwap) {
  Plug(0, 0);
  Plug(1, 1);
  Spawned ctl;
  ASSERT_TRUE(ctl.Start({CtlPath(), "--json", "--serial", "SN0", "flash", "fw.bin", "--settle-ms", "1500"}));
  ASSERT_TRUE(Heard(0, [](const SimCounters& c) { return c.updateEnters > 0; }));
  // Both re-enumerate, and the kernel hands each the other's old name.
  Unplug(0);
  Unplug(1);
  Plug(1, 0);
  Plug(0, 1);
  EXPECT_EQ(ctl.Finish(0, 30000), 0) << ctl.err;
  EXPECT_EQ(sim[0].Counters().recordsAcked, 3u);
  EXPECT_EQ(sim[1].Counters().bytesReceived, 0u) << "the other converter was written to";
  Json result;
  ASSERT_TRUE(OneJsonObject(ctl.out, result));
  EXPECT_EQ(result["port"].text, "ttyACM1") << "the name it was updated under";
}

TEST_F(CtlConverters, AStopRequestToRs485ctlAloneReachesEveryWorker) {
  Plug(0, 0);
  Plug(1, 1);
  // As docker stop, systemd, supervisord or kill send it: to rs485ctl, not its workers.
  for (const int signal : {SIGTERM, SIGHUP, SIGINT}) {
    const uint32_t leaves[2] = {sim[0].Counters().updateLeaves, sim[1].Counters().updateLeaves};
    Spawned ctl;
    StartSlowUpdate(ctl, false);
    kill(ctl.pid(), signal);
    EXPECT_EQ(ctl.Finish(0, 30000), 130) << signal << "\n" << ctl.err;
    Json summary;
    std::map<std::string, Json> results = Results(ctl.out, &summary);
    for (int k = 0; k < 2; ++k) {
      const Json& result = results["SN" + std::to_string(k)];
      EXPECT_EQ(result["result"].text, "interrupted") << signal << "\n" << ctl.out;
      EXPECT_LT(result["records_sent"].number, 8) << signal;
      LeftUpdateMode(k, leaves[k]);
    }
    EXPECT_EQ(summary["exit_code"].number, 130) << ctl.out;
  }

  // A write is short: it still ends whole, read back.
  Spawned write;
  ASSERT_TRUE(write.Start({CtlPath(), "--json", "write", "--all", "--parity", "even"}));
  const uint32_t reads = sim[0].Counters().memoryReads;
  ASSERT_TRUE(Heard(0, [&](const SimCounters& c) { return c.memoryReads > reads; }));
  kill(write.pid(), SIGTERM);
  EXPECT_EQ(write.Finish(0, 30000), 0) << write.err;
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(Results(write.out)["SN" + std::to_string(k)]["verified"].kind, Json::Bool) << write.out;
    EXPECT_EQ(sim[k].Settings()[4], 'E') << k;
  }
}

TEST_F(CtlConverters, TwoStopRequestsEndAtOnceWithTheConvertersOutOfTheUpdateMode) {
  Plug(0, 0);
  Plug(1, 1);
  const struct {
    const char* what;
    bool group;  // to the terminal's process group, as Ctrl+C; else to rs485ctl alone
  } cases[] = {{"Ctrl+C twice", true}, {"two requests to rs485ctl", false}};
  for (const auto& c : cases) {
    const uint32_t leaves[2] = {sim[0].Counters().updateLeaves, sim[1].Counters().updateLeaves};
    Spawned ctl;
    StartSlowUpdate(ctl, c.group);
    const pid_t to = c.group ? -ctl.pid() : ctl.pid();
    kill(to, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // a double tap, not a wait for anything
    kill(to, SIGINT);
    EXPECT_EQ(ctl.Finish(0, 30000), 130) << c.what << "\n" << ctl.err;
    Json summary;
    std::map<std::string, Json> results = Results(ctl.out, &summary);
    for (int k = 0; k < 2; ++k) {
      EXPECT_EQ(results["SN" + std::to_string(k)]["result"].text, "interrupted") << c.what << "\n" << ctl.out;
      LeftUpdateMode(k, leaves[k]);
    }
    EXPECT_EQ(summary["failed"].number, 2) << c.what << "\n" << ctl.out;
  }
}

TEST_F(CtlConverters, AWorkerThatDiesGetsAWholeResultAndItsConverterLeavesTheUpdateMode) {
  Plug(0, 0);
  Plug(1, 1);
  WriteFile(scratch.path() + "/big.bin", MakeImage(272 * 8));
  SimFaults silent;
  silent.silent = true;
  const struct {
    const char* what;
    Args args;
    uint32_t SimCounters::*busy;  // grows once the converter is in the middle of it
    int exitCode;
  } cases[] = {
      {"flash", {"flash", "--all", "big.bin", "--settle-ms", "300"}, &SimCounters::recordsAcked, 6},
      {"read", {"read", "--all"}, &SimCounters::bytesReceived, 4},
  };
  sim[0].SetLineRate(480);
  for (const auto& c : cases) {
    if (c.exitCode == 4) sim[0].SetFaults(silent);
    const uint32_t before = sim[0].Counters().*c.busy;
    const uint32_t leaves = sim[0].Counters().updateLeaves;
    Spawned ctl;
    Args argv = {CtlPath(), "--json"};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ASSERT_TRUE(ctl.Start(argv));
    ASSERT_TRUE(Heard(0, [&](const SimCounters& now) { return now.*c.busy > before; })) << c.what;
    const pid_t worker = WorkerOf(ctl.pid(), "SN0");
    ASSERT_GT(worker, 0) << c.what;
    kill(worker, SIGKILL);
    EXPECT_EQ(ctl.Finish(0, 30000), c.exitCode) << c.what << "\n" << ctl.err;
    std::map<std::string, Json> results = Results(ctl.out);
    const Json& dead = results["SN0"];
    EXPECT_EQ(dead["result"].text, "worker_failed") << c.what << "\n" << ctl.out;
    EXPECT_EQ(dead["error"].text, MsgWorkerSilent) << ctl.out;
    EXPECT_EQ(dead["reason"].text.rfind(MsgWorkerExitReason(128 + SIGKILL), 0), 0u) << ctl.out;
    EXPECT_EQ(dead.Has("records_sent"), c.exitCode == 6) << ctl.out;
    EXPECT_EQ(results["SN1"]["error"].kind, Json::Null) << c.what << "\n" << ctl.out;
    if (c.exitCode == 6) {
      EXPECT_NE(dead["reason"].text.find(MsgUpdateModeLeft), std::string::npos) << ctl.out;
      LeftUpdateMode(0, leaves);
    }
  }
}

TEST_F(CtlConverters, WatchServesEachNewUnitOnceUntilItIsUnpluggedAndEndsInOrder) {
  const std::string profile = "{\"parity\":\"odd\"}";
  WriteFile(scratch.path() + "/odd.json", Data(profile.begin(), profile.end()));
  Spawned watch;
  ASSERT_TRUE(watch.Start({CtlPath(), "--json", "watch", "--flash", "fw.bin", "--from", "odd.json", "--settle-ms", "300"},
                          SpawnOptions{.env = {}, .ownGroup = true}));
  // The next line of that event; progress lines are passed over.
  std::string said;  // that line, for a failure to show
  const auto next = [&](const char* event) {
    for (;;) {
      Json value;
      said = watch.ReadLine(30000);
      if (said.empty() || !JsonParse(said, value)) return Json{};
      if (value["event"].text == event) return value;
    }
  };
  const auto unit = [&] { return next("unit"); };
  Plug(0, 0);
  Json done = unit();
  EXPECT_EQ(done["serial"].text, "SN0");
  EXPECT_EQ(done["result"].text, "ok") << said;
  ASSERT_EQ(done["steps"].items.size(), 2u);
  EXPECT_EQ(done["steps"].items[1]["step"].text, "write");
  EXPECT_EQ(sim[0].Settings()[4], 'O');
  EXPECT_EQ(sim[0].Snapshot().image, image);

  // The next one plugged in is served; the first, still there, is not again.
  Plug(1, 1);
  EXPECT_EQ(unit()["serial"].text, "SN1");
  EXPECT_EQ(sim[0].Counters().updateEnters, 2u);

  // Unplugged in the middle of its update: a failed unit. Plugged back at
  // once, it is served again.
  sim[2].SetLineRate(480);  // a record takes 583 ms on its line
  Plug(2, 2);
  ASSERT_TRUE(Heard(2, [](const SimCounters& c) { return c.recordsAcked > 0; }));
  Unplug(2);
  done = unit();
  EXPECT_EQ(done["serial"].text, "SN2");
  EXPECT_EQ(done["result"].text, "failed");
  EXPECT_EQ(done["steps"].items.size(), 1u);
  sim[2].SetLineRate(0);
  Plug(2, 2);
  done = unit();
  EXPECT_EQ(done["serial"].text, "SN2");
  EXPECT_EQ(done["result"].text, "ok") << said;

  // A stop request to watch alone while a unit is in its update: it is told
  // to leave it, then watch ends with the units counted.
  sim[3].SetLineRate(480);
  Plug(3, 3);
  ASSERT_TRUE(Heard(3, [](const SimCounters& c) { return c.recordsAcked > 0; }));
  kill(watch.pid(), SIGTERM);
  done = unit();
  EXPECT_EQ(done["serial"].text, "SN3");
  EXPECT_EQ(done["result"].text, "interrupted") << said;
  const Json summary = next("summary");
  EXPECT_EQ(summary["converters"].number, 5);
  EXPECT_EQ(summary["ok"].number, 3);
  EXPECT_EQ(summary["exit_code"].number, 130);
  EXPECT_EQ(watch.Finish(0, 30000), 130) << watch.err;
  EXPECT_TRUE(Heard(3, [](const SimCounters& c) { return c.updateLeaves > 0; }));
  EXPECT_FALSE(sim[3].Snapshot().updateMode);
}

// Each converter of --all gets its journal line, named by its serial number
// and place, with the image's hash, and the workers' parent keeps the chain.
TEST_F(CtlConverters, AllJournalsEveryUnitWithItsIdentityAndImage) {
  for (int k = 0; k < 3; ++k) Plug(k, k);
  const std::string journal = scratch.path() + "/journal.jsonl";
  const CtlRun flash = RunCtl({"--journal", journal, "flash", "--all", "fw.bin", "--settle-ms", "300"});
  ASSERT_EQ(flash.exitCode, 0) << Describe(flash);
  const std::string sha = Sha256Hex(image.data(), image.size());
  std::vector<std::string> serials;
  for (const Json& line : Lines(ReadText(journal))) {
    EXPECT_EQ(line["operation"].text, "flash");
    EXPECT_EQ(line["result"].text, "ok");
    EXPECT_EQ(line["image"]["sha256"].text, sha);
    EXPECT_EQ(line["location"].text, "1-1." + std::to_string(line["serial"].text.back() - '0' + 1));
    serials.push_back(line["serial"].text);
  }
  std::sort(serials.begin(), serials.end());
  EXPECT_EQ(serials, (std::vector<std::string>{"SN0", "SN1", "SN2"}));
  const CtlRun verify = RunCtl({"report", journal, "--verify"});
  EXPECT_EQ(verify.exitCode, 0) << Describe(verify);
}

// A journal line that cannot be written stops watch: the unit is shown, no
// further unit is served, and the reason and exit code say why.
TEST_F(CtlConverters, WatchStopsBeforeTheNextUnitWhenItsLineCannotBeWritten) {
  const std::string journal = scratch.path() + "/journal.jsonl";
  std::ofstream(journal) << std::string(4096, ' ');
  Spawned watch;
  ASSERT_TRUE(watch.Start({"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 4; exec \"$0\" \"$@\"", CtlPath(), "--journal",
                           journal, "--json", "watch"}));
  Plug(0, 0);
  Json unit;
  for (std::string line; !(line = watch.ReadLine(30000)).empty();)
    if (JsonParse(line, unit) && unit["event"].text == "unit") break;
  EXPECT_EQ(unit["serial"].text, "SN0");
  Plug(1, 1);
  EXPECT_EQ(watch.Finish(0, 30000), 7) << watch.err;
  EXPECT_NE(watch.err.find(MsgJournalWriteFailed), std::string::npos) << watch.err;
  EXPECT_EQ(sim[1].Counters().memoryReads, 0u);
}

// A plan that cannot be followed whole is refused before any converter is
// touched, naming the row (the header is row 1) and the column.
TEST_F(CtlConverters, APlanWithABadRowIsRefusedBeforeAnyConverterIsTouched) {
  for (int k = 0; k < 3; ++k) Plug(k, k);
  const struct {
    std::string plan;
    const char* where;
  } cases[] = {
      {"serial,speed\nSN0,9600\n", "строка 1, столбец speed"},
      {"serial,baud\nSN0,9600\nSN1,fast\n", "строка 3, столбец baud"},
      {"serial,parity\nSN0,odd\nSN1,even\nSN0,none\n", "строка 4, столбец serial"},
      {"serial,image\nSN0,fw.bin\nSN1,missing.bin\n", "строка 3, столбец image"},
      {"serial,image,sha256\nSN0,fw.bin," + std::string(64, '0') + "\n", "строка 2, столбец sha256"},
  };
  for (const auto& c : cases) {
    WriteFile(scratch.path() + "/plan.csv", Data(c.plan.begin(), c.plan.end()));
    for (const Args& args : {Args{"write", "--all", "--plan", "plan.csv"}, Args{"audit", "--plan", "plan.csv"}}) {
      const CtlRun run = RunCtl(args);
      EXPECT_EQ(run.exitCode, 2) << c.plan << "\n" << Describe(run);
      EXPECT_NE(run.err.find(c.where), std::string::npos) << c.plan << "\n" << run.err;
    }
  }
  for (const SimConverter& converter : sim) EXPECT_EQ(converter.Counters().bytesReceived, 0u);
  EXPECT_FALSE(std::filesystem::exists(scratch.path() + "/port.out")) << "no port was opened";
}

TEST_F(CtlConverters, APlanGivesEachConverterItsOwnRowAndLeavesTheOthersAlone) {
  for (int k = 0; k < 3; ++k) Plug(k, k);
  const Data second = MakeImage(272 * 2);
  WriteFile(scratch.path() + "/second.bin", second);
  // SN2 is plugged in at 1-1.3: its row names another place.
  const std::string plan =
      "serial,location,image,baud,parity\r\nSN0,,fw.bin,19200,\r\nSN1,1-1.2,second.bin,,even\r\n"
      "SN2,1-1.9,fw.bin,38400,odd\r\n";
  WriteFile(scratch.path() + "/plan.csv", Data(plan.begin(), plan.end()));

  const std::string journal = scratch.path() + "/journal.jsonl";
  for (const Args& args : {Args{"--json", "flash", "--all", "--plan", "plan.csv", "--settle-ms", "300", "--journal", journal},
                           Args{"--json", "write", "--all", "--plan", "plan.csv", "--journal", journal}}) {
    const CtlRun run = RunCtl(args);
    EXPECT_EQ(run.exitCode, 0) << Describe(run);
    Json summary;
    std::map<std::string, Json> results = Results(run.out, &summary);
    EXPECT_EQ(results["SN2"]["result"].text, "not_in_plan") << run.out;
    EXPECT_EQ(summary["converters"].number, 2) << run.out;
    EXPECT_EQ(summary["not_in_plan"].number, 1) << run.out;
  }
  EXPECT_EQ(sim[0].Snapshot().image, image);
  EXPECT_EQ(sim[1].Snapshot().image, second);
  // Only what each row names was changed: 19200 on SN0, even parity on SN1.
  EXPECT_EQ(sim[0].Settings(), (SimSettings{0xC0, 0x00, 0x00, 0x08, 0x4E, 0x80}));
  EXPECT_EQ(sim[1].Settings(), (SimSettings{0x60, 0x00, 0x00, 0x08, 0x45, 0x80}));
  EXPECT_EQ(sim[2].Counters().updateEnters, 0u);
  EXPECT_EQ(sim[2].Counters().memoryWrites, 0u);
  // Each update's journal line names its own row's image.
  std::map<std::string, std::string> flashed;
  for (const Json& line : Lines(ReadText(journal)))
    if (line["operation"].text == "flash") flashed[line["serial"].text] = line["image"]["sha256"].text;
  EXPECT_EQ(flashed, (std::map<std::string, std::string>{{"SN0", Sha256Hex(image.data(), image.size())},
                                                         {"SN1", Sha256Hex(second.data(), second.size())}}));
}

TEST_F(CtlConverters, AnAuditFindsTheOneFieldChangedByHandAndWritesNothing) {
  for (int k = 0; k < 3; ++k) Plug(k, k);
  const std::string plan = "serial,baud,parity,bits,stop,echo\nSN0,9600,none,8,1,on\nSN1,9600,none,8,1,on\n"
                           "SN2,9600,none,8,1,on\n";
  WriteFile(scratch.path() + "/plan.csv", Data(plan.begin(), plan.end()));
  SimSettings byHand = SimDefaultSettings;
  byHand[4] = 'E';
  sim[1].SetSettings(byHand);

  const struct {
    Args args;
    int exitCode;
    std::string found;  // in the output: the one field that differs
  } cases[] = {
      {{"audit", "--plan", "plan.csv"}, 9, "SN1  1-1.2  ttyACM1  " + std::string(MsgAuditDiffers) + "parity even → none"},
      {{"audit", "--plan", "plan.csv", "--csv"}, 9, "\r\nSN1,1-1.2,ttyACM1,3,differs,parity,even,none,\r\n"},
      {{"--json", "audit", "--plan", "plan.csv"}, 9,
       R"("serial":"SN1","location":"1-1.2","port":"ttyACM1","plan_row":3,"result":"differs","differs":[{"field":"parity","found":"even","wanted":"none"}])"},
      {{"--json", "write", "--dry-run", "--all", "--plan", "plan.csv"}, 0,
       R"("serial":"SN1","location":"1-1.2","port":"ttyACM1","plan_row":3,"result":"differs","differs":[{"field":"parity","found":"even","wanted":"none"}])"},
      {{"--json", "--serial", "SN1", "write", "--dry-run", "--parity", "none", "--journal", "journal.jsonl"}, 0,
       R"("result":"differs","differs":[{"field":"parity","found":"even","wanted":"none"}])"},
  };
  for (const auto& c : cases) {
    const CtlRun run = RunCtl(c.args);
    EXPECT_EQ(run.exitCode, c.exitCode) << CtlCommandLine(c.args) << "\n" << Describe(run);
    EXPECT_NE(run.out.find(c.found), std::string::npos) << CtlCommandLine(c.args) << "\n" << run.out;
    // The others agree with the plan.
    EXPECT_EQ(run.out.find("\"differs\",\"differs\":[{\"field\":\"baud"), std::string::npos) << run.out;
  }
  for (const SimConverter& converter : sim) EXPECT_EQ(converter.Counters().memoryWrites, 0u);
  EXPECT_EQ(sim[1].Settings(), byHand);
  EXPECT_FALSE(std::filesystem::exists(scratch.path() + "/journal.jsonl")) << "a dry run is no write to record";

  // A converter that cannot be read leaves the audit unsure: its code wins.
  SimFaults corrupt;
  corrupt.corruptCrc = true;
  sim[2].SetFaults(corrupt);
  const CtlRun unsure = RunCtl({"audit", "--plan", "plan.csv"});
  EXPECT_EQ(unsure.exitCode, 4) << Describe(unsure);
  EXPECT_NE(unsure.out.find("parity even → none"), std::string::npos) << unsure.out;
}

}  // namespace
