// The rs485sim program's TCP modes as child processes: listening for the
// client port, connecting to the server port, and refusing options that
// cannot work.

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "ports/ms_clock.h"
#include "settings_exchange.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "support/tcp_peer.h"

namespace {

std::string FileText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

// The first line the program writes, waiting at most timeoutMs for it.
std::string FirstLine(const std::string& logPath, int timeoutMs = 5000) {
  std::string text;
  PumpUntil(0, [&] {
    text = FileText(logPath);
    return text.find('\n') != std::string::npos;
  }, timeoutMs);
  return text.substr(0, text.find('\n'));
}

// The exit code of a program that ends by itself, or -2 when it runs on.
int ExitCodeWithin(ChildProcess& program, int timeoutMs) {
  if (!PumpUntil(0, [&] { return !program.Running(); }, timeoutMs)) return -2;
  return program.ExitCode();
}

class Rs485simTcp : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
  }

  bool Start(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv = {RS485SIM_PATH};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    sim.Stop();
    std::remove(log.c_str());
    return sim.Start(argv, log);
  }

  ScratchDir dir;
  std::string log = dir.path() + "/rs485sim.log";
  ChildProcess sim;
  PortId id = 0;
};

TEST_F(Rs485simTcp, ListensAndServesOneConverterAcrossConnections) {
  const std::string memory = dir.path() + "/memory.bin";
  ASSERT_TRUE(Start({"--tcp-listen", "0", "--memory", memory, "-v"}));
  const std::string address = FirstLine(log);
  ASSERT_EQ(address.rfind("127.0.0.1:", 0), 0u) << FileText(log);
  const std::string name = "TCPC_" + address;

  SimConverter expected;  // what the program's converter should hold
  ASSERT_EQ(PortOpen(id, name.c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); }));
  SimSettings got{};
  ASSERT_EQ(SettingsRead(id, &got), ResultOk);
  EXPECT_EQ(got, SimDefaultSettings);
  ASSERT_EQ(SettingsWrite(id, OtherSettings(1)), ResultOk);
  PortClose(id);

  // A new connection after the first one closed finds the settings written.
  ASSERT_EQ(PortOpen(id, name.c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); }));
  ASSERT_EQ(SettingsRead(id, &got), ResultOk);
  EXPECT_EQ(got, OtherSettings(1));
  PortClose(id);

  sim.Stop();
  EXPECT_EQ(sim.ExitCode(), 0) << FileText(log);
  const SimSettings saved = OtherSettings(1);
  EXPECT_EQ(FileText(memory), std::string(saved.begin(), saved.end()));
  const std::string events = FileText(log);
  EXPECT_NE(events.find("tcp connection from 127.0.0.1:"), std::string::npos) << events;
  EXPECT_NE(events.find("rx 60 10 48 2C 02 00 00 00 00 00 06 F2"), std::string::npos) << events;
}

TEST_F(Rs485simTcp, ConnectsOnceTheServerPortOpensAndFollowsItsRestarts) {
  // The program is started first and keeps trying; a port that turns out busy
  // when the server opens it is replaced by another.
  std::string server;
  for (int attempt = 0; attempt < 5 && id == 0; ++attempt) {
    const std::string port = std::to_string(TcpPickPort());
    ASSERT_TRUE(Start({"--tcp-connect", "127.0.0.1:" + port, "-v"}));
    ASSERT_EQ(FirstLine(log), "127.0.0.1:" + port);
    PlatformSleepMs(300);
    server = "TCPS_" + port;
    if (PortOpen(id, server.c_str()) != PortOpenOk) id = 0;
  }
  ASSERT_NE(id, 0);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); })) << FileText(log);
  SimSettings got{};
  ASSERT_EQ(SettingsRead(id, &got), ResultOk);
  EXPECT_EQ(got, SimDefaultSettings);
  ASSERT_EQ(SettingsWrite(id, OtherSettings(1)), ResultOk);

  PortClose(id);
  ASSERT_EQ(PortOpen(id, server.c_str()), PortOpenOk);
  ASSERT_TRUE(PumpUntil(id, [&] { return PortLinked(id); })) << FileText(log);
  ASSERT_EQ(SettingsRead(id, &got), ResultOk);
  EXPECT_EQ(got, OtherSettings(1));

  sim.Stop();
  EXPECT_EQ(sim.ExitCode(), 0) << FileText(log);
  const std::string events = FileText(log);
  EXPECT_NE(events.find("cannot connect to 127.0.0.1:"), std::string::npos) << events;
  EXPECT_NE(events.find("connection to 127.0.0.1:"), std::string::npos) << events;
}

TEST_F(Rs485simTcp, RefusesTcpOptionsThatCannotWork) {
  const std::vector<std::vector<std::string>> bad = {
      {"--tcp-listen", "65536"},
      {"--tcp-listen", "port"},
      {"--tcp-listen", "-1"},
      {"--tcp-connect", "127.0.0.1"},
      {"--tcp-connect", "127.0.0.1:0"},
      {"--tcp-connect", ":4001"},
      {"--tcp-connect", "127.0.0.1:4001x"},
      {"--tcp-listen", "0", "--tcp-connect", "127.0.0.1:4001"},
      {"--bind", "127.0.0.1"},
  };
  for (const auto& arguments : bad) {
    SCOPED_TRACE(arguments.back());
    ASSERT_TRUE(Start(arguments));
    EXPECT_EQ(ExitCodeWithin(sim, 5000), 2);
    EXPECT_EQ(FileText(log).rfind("rs485sim: ", 0), 0u) << FileText(log);  // no address line first
  }

  // A port someone else listens on: told, and nothing printed to connect to.
  uint16_t taken = 0;
  TcpFd other = TcpListenLocal(0, &taken);
  ASSERT_TRUE(other.valid());
  ASSERT_TRUE(Start({"--tcp-listen", std::to_string(taken)}));
  EXPECT_EQ(ExitCodeWithin(sim, 5000), 1);
  EXPECT_EQ(FileText(log).rfind("rs485sim: cannot listen on 127.0.0.1:" + std::to_string(taken), 0), 0u)
      << FileText(log);

  ASSERT_TRUE(Start({"--help"}));
  EXPECT_EQ(ExitCodeWithin(sim, 5000), 0);
  EXPECT_NE(FileText(log).find("--tcp-connect HOST:PORT"), std::string::npos);
}

}  // namespace
