// rs485ctl --ports: a fleet of converters behind TCP ports, named in a file,
// served at most --jobs at once; and the files it refuses before any port is
// touched.

#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ops/messages.h"
#include "ctl_fixture.h"
#include "sim/sim_tcp.h"
#include "support/scratch_dir.h"
#include "support/spawned.h"

namespace {

// A simulated site: a converter listening on TCP behind its own port.
struct Site {
  SimConverter converter;
  std::unique_ptr<SimTcpListener> listener;
};

// The most listeners connected at one time, sampled until stopped.
class ConnectedPeak {
 public:
  explicit ConnectedPeak(const std::vector<std::unique_ptr<Site>>& sites)
      : thread_([this, &sites] {
          while (!stop_) {
            int connected = 0;
            for (const auto& site : sites) connected += site->listener->Connected();
            peak_ = std::max(peak_.load(), connected);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
          }
        }) {}
  ~ConnectedPeak() { Stop(); }
  int Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
    return peak_;
  }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> peak_{0};
  std::thread thread_;
};

TEST(CtlPorts, ThirtyTwoRemotePortsAreServedAtMostEightAtOnce) {
  ScratchDir dir;
  std::vector<std::unique_ptr<Site>> sites;
  std::string file = "# converters behind device servers\n\n";
  for (int k = 0; k < 32; ++k) {
    auto site = std::make_unique<Site>();
    // Each answer comes late, as from a far site: a connection lasts long
    // enough to be seen.
    SimFaults faults;
    faults.delayMs = 40;
    site->converter.SetFaults(faults);
    site->listener = std::make_unique<SimTcpListener>(site->converter);
    ASSERT_TRUE(site->listener->Ok());
    file += site->listener->PortName() + (k % 2 ? "  # a comment after the name\n" : "\n");
    sites.push_back(std::move(site));
  }
  // One site unreachable: its port listens no more.
  const std::string unreachable = sites.back()->listener->PortName();
  sites.back()->listener->Stop();
  WriteFile(dir.path() + "/ports.txt", Data(file.begin(), file.end()));

  ConnectedPeak peak(sites);
  const CtlRun run = RunCtl({"--ports", "ports.txt", "--jobs", "8", "--json", "read"}, {60000});
  const int most = peak.Stop();
  EXPECT_EQ(run.exitCode, 3) << Describe(run);
  EXPECT_LE(most, 8);
  EXPECT_GT(most, 1) << "served one after the other";

  std::map<std::string, Json> results;
  Json summary;
  for (size_t at = 0, end; (end = run.out.find('\n', at)) != std::string::npos; at = end + 1) {
    Json line;
    ASSERT_TRUE(JsonParse(run.out.substr(at, end - at), line)) << run.out;
    if (line["event"].text == "summary") summary = line;
    if (line["event"].text != "result") continue;
    EXPECT_EQ(results.count(line["port"].text), 0u) << "served twice: " << line["port"].text;
    results[line["port"].text] = line;
  }
  ASSERT_EQ(results.size(), 32u) << run.out;
  for (const auto& site : sites) {
    const std::string port = site->listener->PortName();
    const Json& result = results[port];
    // Known by its port alone.
    EXPECT_EQ(result["serial"].kind, Json::Null) << port;
    EXPECT_EQ(result["location"].kind, Json::Null) << port;
    if (port == unreachable) {
      EXPECT_EQ(result["error"].text, MsgPortOpenFailed) << port;
      continue;
    }
    EXPECT_EQ(result["raw"].text, "60 00 00 08 4E 80") << port;
    EXPECT_EQ(site->converter.Counters().memoryReads, 1u) << port;
  }
  EXPECT_EQ(summary["converters"].number, 32);
  EXPECT_EQ(summary["ok"].number, 31);
  EXPECT_EQ(summary["failed"].number, 1);
  EXPECT_EQ(summary["exit_code"].number, 3);
}

// An audit and a dry run reach converters behind ports as --all reaches those
// found: the one changed by hand is named, and nothing is written.
TEST(CtlPorts, AnAuditOfRemotePortsNamesTheOneChangedByHand) {
  ScratchDir dir;
  std::vector<std::unique_ptr<Site>> sites;
  std::string file;
  for (int k = 0; k < 3; ++k) {
    auto site = std::make_unique<Site>();
    site->listener = std::make_unique<SimTcpListener>(site->converter);
    ASSERT_TRUE(site->listener->Ok());
    file += site->listener->PortName() + "\n";
    sites.push_back(std::move(site));
  }
  SimSettings byHand = SimDefaultSettings;
  byHand[4] = 'E';
  sites[1]->converter.SetSettings(byHand);
  WriteFile(dir.path() + "/ports.txt", Data(file.begin(), file.end()));
  const std::string changed = "\"port\":\"" + sites[1]->listener->PortName() +
                              "\",\"plan_row\":null,\"result\":\"differs\","
                              "\"differs\":[{\"field\":\"parity\",\"found\":\"even\",\"wanted\":\"none\"}]";
  const struct {
    std::vector<std::string> args;
    int exitCode;
  } cases[] = {
      {{"--ports", "ports.txt", "--jobs", "2", "--json", "audit", "--parity", "none"}, 9},
      {{"--ports", "ports.txt", "--json", "write", "--dry-run", "--parity", "none"}, 0},
  };
  for (const auto& c : cases) {
    const CtlRun run = RunCtl(c.args, {60000});
    EXPECT_EQ(run.exitCode, c.exitCode) << Describe(run);
    EXPECT_NE(run.out.find(changed), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"same\":2,\"differs\":1"), std::string::npos) << run.out;
  }
  for (const auto& site : sites) EXPECT_EQ(site->converter.Counters().memoryWrites, 0u);
}

// Asked to stop, the port being served ends its exchange in order, and the
// ports still waiting their turn end at once, nothing sent to them.
TEST(CtlPorts, AStopEndsThePortsWaitingTheirTurnUntouched) {
  ScratchDir dir;
  SimConverter converters[3];
  SimFaults slow;
  slow.delayMs = 300;
  converters[0].SetFaults(slow);
  SimTcpListener sites[] = {SimTcpListener(converters[0]), SimTcpListener(converters[1]),
                            SimTcpListener(converters[2])};
  std::string file;
  for (const SimTcpListener& site : sites) file += site.PortName() + "\n";
  WriteFile(dir.path() + "/ports.txt", Data(file.begin(), file.end()));
  Spawned ctl;
  ASSERT_TRUE(ctl.Start({CtlPath(), "--ports", "ports.txt", "--jobs", "1", "--json", "read"}));
  ASSERT_TRUE(sites[0].WaitConnections(1, 20000));
  kill(ctl.pid(), SIGINT);
  EXPECT_EQ(ctl.Finish(0, 20000), 130) << ctl.err;

  std::map<std::string, Json> results;
  for (size_t at = 0, end; (end = ctl.out.find('\n', at)) != std::string::npos; at = end + 1) {
    Json line;
    ASSERT_TRUE(JsonParse(ctl.out.substr(at, end - at), line)) << ctl.out;
    if (line["event"].text == "result") results[line["port"].text] = line;
  }
  EXPECT_EQ(results[sites[0].PortName()]["raw"].text, "60 00 00 08 4E 80") << ctl.out;
  for (size_t k = 1; k < 3; ++k) {
    const Json& result = results[sites[k].PortName()];
    EXPECT_EQ(result["result"].text, "interrupted") << ctl.out;
    EXPECT_EQ(result["reason"].text, MsgNothingSent) << ctl.out;
    EXPECT_EQ(sites[k].Connections(), 0u);
  }
}

// A second request ends an update at once; the converter behind the TCP
// port, known by nothing but that port, is still told to leave its update
// mode through it.
TEST(CtlPorts, AnUpdateEndedAtOnceLeavesTheUpdateModeThroughThePort) {
  ScratchDir dir;
  SimConverter converter;
  SimFaults slow;
  slow.delayMs = 250;  // each acknowledgement: the update takes 5 s at the least
  converter.SetFaults(slow);
  SimTcpListener site(converter);
  ASSERT_TRUE(site.Ok());
  const std::string file = site.PortName() + "\n";
  WriteFile(dir.path() + "/ports.txt", Data(file.begin(), file.end()));
  WriteFile(dir.path() + "/big.bin", MakeImage(272 * 20));
  Spawned ctl;
  ASSERT_TRUE(
      ctl.Start({CtlPath(), "--ports", "ports.txt", "--json", "flash", "big.bin", "--settle-ms", "300"}));
  ASSERT_TRUE(converter.WaitUntil([](const SimCounters& c) { return c.recordsAcked > 0; }, 20000)) << ctl.err;
  // Two requests at once: two signals, since one kind is not queued twice.
  kill(ctl.pid(), SIGINT);
  kill(ctl.pid(), SIGTERM);
  EXPECT_EQ(ctl.Finish(0, 30000), 130) << ctl.err;
  EXPECT_NE(ctl.out.find(MsgUpdateModeLeft), std::string::npos) << ctl.out;
  EXPECT_TRUE(converter.WaitUntil([](const SimCounters& c) { return c.updateLeaves > 0; }, 10000));
  EXPECT_FALSE(converter.Snapshot().updateMode);
}

// Each fault of a ports file is refused before the port it names first is
// opened, naming the line.
TEST(CtlPorts, AFaultyPortsFileIsRefusedNamingItsLine) {
  ScratchDir dir;
  SimConverter converter;
  SimTcpListener site(converter);
  ASSERT_TRUE(site.Ok());
  const std::string good = site.PortName() + "\n";
  struct Case {
    std::string text;
    std::string problem;
  };
  const std::vector<Case> cases = {
      {"", "в файле нет ни одного порта"},
      {"# only comments\n\n   \n", "в файле нет ни одного порта"},
      {good + "# a\n" + site.PortName() + "   # again\n", "строка 3: порт " + site.PortName() + " уже назван в строке 1"},
      {good + "ttyUSB0 ttyUSB1\n", "строка 2: в строке больше одного имени порта"},
      {good + "--all\n", "строка 2: имя порта не может начинаться с -"},
      {good + std::string(100, 'a') + "\n", "строка 2: слишком длинное имя порта"},
  };
  for (const Case& c : cases) {
    WriteFile(dir.path() + "/ports.txt", Data(c.text.begin(), c.text.end()));
    const CtlRun run = RunCtl({"--ports", "ports.txt", "read"});
    EXPECT_EQ(run.exitCode, 2) << c.text << Describe(run);
    EXPECT_EQ(run.out, "") << c.text;
    EXPECT_NE(run.err.find("rs485ctl: порты ports.txt: " + c.problem), std::string::npos) << run.err;
  }
  const CtlRun missing = RunCtl({"--ports", "absent.txt", "read"});
  EXPECT_EQ(missing.exitCode, 2) << Describe(missing);
  EXPECT_EQ(site.Connections(), 0u);
}

}  // namespace
