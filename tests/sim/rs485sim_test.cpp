// The rs485sim program as a child process: it prints the path of its
// pseudo-terminal, serves the converter there and stops cleanly on a signal.

#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_table.h"
#include "protocol/device_channel.h"
#include "sim/sim_converter.h"
#include "support/scratch_dir.h"
#include "support/spawned.h"

namespace {

using Bytes = std::vector<uint8_t>;

// rs485sim with arguments, started.
void Start(Spawned& sim, const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {RS485SIM_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  ASSERT_TRUE(sim.Start(argv));
}

Bytes FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

TEST(Rs485sim, ServesOnThePrintedPathAndKeepsSettingsAcrossRuns) {
  ScratchDir dir;
  PortLayerInit();
  MsClockStart();
  const std::string memory = dir.path() + "/memory.bin";
  const uint8_t changed[6] = {0x61, 0x01, 0x02, 0x07, 0x4E, 0x00};

  Spawned first;
  Start(first, {"--memory", memory, "-v"});
  const std::string path = first.ReadLine(5000);
  ASSERT_EQ(path.rfind("/dev/pts/", 0), 0u) << path;
  PortId id = 0;
  ASSERT_EQ(PortOpen(id, path.c_str()), 0);
  DeviceChannel channel(id);
  channel.BusAddress = 16;
  uint8_t got[6] = {};
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultOk);
  EXPECT_EQ(Bytes(got, got + 6), Bytes(SimDefaultSettings.begin(), SimDefaultSettings.end()));
  EXPECT_EQ(channel.WriteMemory(0, 0, changed, 6), ResultOk);
  PortClose(id);
  EXPECT_EQ(first.Finish(SIGTERM, 5000), 0);
  EXPECT_NE(first.err.find("rx 60 10 48 2C 02 00 00 00 00 00 06 F2"), std::string::npos);
  EXPECT_EQ(FileBytes(memory), Bytes(changed, changed + 6));

  Spawned second;
  Start(second, {"--memory", memory});
  const std::string again = second.ReadLine(5000);
  ASSERT_EQ(PortOpen(id, again.c_str()), 0);
  channel.Port = id;
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultOk);
  EXPECT_EQ(Bytes(got, got + 6), Bytes(changed, changed + 6));
  PortClose(id);
  EXPECT_EQ(second.Finish(SIGINT, 5000), 0);
}

TEST(Rs485sim, RefusesBadArgumentsAndExplainsItself) {
  ScratchDir dir;
  {
    std::ofstream shortFile(dir.path() + "/short.bin", std::ios::binary);
    shortFile << "abc";
  }
  const std::vector<std::vector<std::string>> bad = {
      {"--delay", "soon"}, {"--partial", "-1"}, {"--no-ack-after"}, {"--bogus"}, {"extra"},
      {"--memory", dir.path() + "/short.bin"}};
  for (const auto& arguments : bad) {
    SCOPED_TRACE(arguments.front());
    Spawned child;
    Start(child, arguments);
    EXPECT_EQ(child.Finish(0, 5000), 2);
    EXPECT_EQ(child.out, "");  // no path: nothing to connect to
    EXPECT_NE(child.err.find("rs485sim:"), std::string::npos);
  }

  Spawned help;
  Start(help, {"--help"});
  EXPECT_EQ(help.Finish(0, 5000), 0);
  EXPECT_NE(help.out.find("--no-ack-after N"), std::string::npos);
}

}  // namespace
