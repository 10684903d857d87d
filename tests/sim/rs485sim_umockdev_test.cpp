// rs485sim --umockdev: the converter appears as USB 16C0:4E04 with its
// /dev/ttyACM0 in a umockdev testbed, and rs485ctl, started inside it, finds
// and uses it as it would the real one. rs485sim is started as a user would,
// without umockdev-wrapper: it puts itself under the wrapper.

#include <signal.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/time.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"
#include "support/spawned.h"

namespace {

using Bytes = std::vector<uint8_t>;

// Options for running rs485sim: the sanitizer runtime would insist on coming
// before umockdev's preload library.
SpawnOptions Options(std::vector<std::string> env = {}) {
  std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS")) asan += std::string(":") + old;
  env.push_back(asan);
  return SpawnOptions{.env = env, .stderrTerminal = false};
}

std::vector<std::string> Sim(const std::vector<std::string>& arguments) {
  std::vector<std::string> argv = {RS485SIM_PATH};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  return argv;
}

ProgramRun RunSim(const std::vector<std::string>& arguments, int timeoutMs = 20000) {
  return RunToEnd(Sim(arguments), timeoutMs, Options());
}

std::vector<std::string> Ctl(std::vector<std::string> simOptions, const std::vector<std::string>& ctlArguments) {
  simOptions.insert(simOptions.end(), {"--umockdev", "--", RS485CTL_PATH});
  simOptions.insert(simOptions.end(), ctlArguments.begin(), ctlArguments.end());
  return simOptions;
}

Bytes FileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

bool Exists(const std::string& path) {
  struct stat st{};
  return stat(path.c_str(), &st) == 0;
}

class Rs485simUmockdev : public ::testing::Test {
 protected:
  void SetUp() override {
#ifndef RS485_SIM_UMOCKDEV
    GTEST_SKIP() << "built without libumockdev-dev: rs485sim has no --umockdev";
#endif
    if (FindProgram("umockdev-wrapper").empty())
      GTEST_SKIP() << "umockdev-wrapper is not installed (Debian package umockdev)";
    const ProgramRun probe = RunSim({"--umockdev", "--", "true"});
    if (probe.err.find("cannot build the umockdev testbed") != std::string::npos)
      GTEST_SKIP() << "umockdev cannot run here: " << probe.err;
    ASSERT_EQ(probe.exitCode, 0) << probe.err;
  }

  ScratchDir scratch;  // for port.out
};

TEST_F(Rs485simUmockdev, AProgramInsideFindsTheConverterAsTtyACM0) {
  ProgramRun run = RunSim(Ctl({}, {"locate"}));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "ttyACM0\n");

  // The testbed holds the converter alone: the machine's own ports are out of sight.
  run = RunSim(Ctl({}, {"list"}));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "ttyACM0\n");
}

TEST_F(Rs485simUmockdev, SeveralConvertersEachWithItsSerialNumberPlaceAndMemory) {
  ProgramRun run = RunSim(Ctl({"--converters", "3"}, {"locate", "--all"}));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "ttyACM0\tSIM0001\t1-1.1\nttyACM1\tSIM0002\t1-1.2\nttyACM2\tSIM0003\t1-1.3\n");

  // One written, the others as they were.
  run = RunSim({"--converters", "2", "--umockdev", "--", "sh", "-c",
                std::string(RS485CTL_PATH) + " --serial SIM0002 write --baud 19200 && " + RS485CTL_PATH + " read --all"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("SIM0001  1-1.1  ttyACM0  9600 "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("SIM0002  1-1.2  ttyACM1  19200 "), std::string::npos) << run.out;
}

TEST_F(Rs485simUmockdev, ReadsTheDefaultRecord) {
  const ProgramRun run = RunSim(Ctl({}, {"--json", "read"}));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("\"port\":\"ttyACM0\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"raw\":\"60 00 00 08 4E 80\""), std::string::npos) << run.out;
}

TEST_F(Rs485simUmockdev, AWrittenRecordIsThereInTheNextRun) {
  const std::string memory = scratch.path() + "/memory.bin";
  ProgramRun run = RunSim(Ctl({"--memory", memory}, {"write", "--baud", "57600", "--parity", "odd", "--stop", "2"}));
  ASSERT_EQ(run.exitCode, 0) << run.err;
  // 57600 / 100 little-endian, 'O', two stop bits; 8 data bits and echo suppression kept.
  const Bytes expected = {0x40, 0x02, 0x00, 0x08, 0x4F, 0xC0};
  EXPECT_EQ(FileBytes(memory), expected);

  run = RunSim(Ctl({"--memory", memory}, {"--json", "read"}));
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("\"raw\":\"40 02 00 08 4F C0\""), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("\"baud\":57600"), std::string::npos) << run.out;
}

TEST_F(Rs485simUmockdev, FaultSwitchesWorkInTheTestbed) {
  ProgramRun run = RunSim(Ctl({"--corrupt-crc"}, {"read"}));
  EXPECT_EQ(run.exitCode, 4) << run.err;  // rs485ctl: settings read failed
  EXPECT_NE(run.err.find("Ошибка получения настроек"), std::string::npos) << run.err;

  run = RunSim(Ctl({"--refuse-writes"}, {"write", "--baud", "19200"}));
  EXPECT_EQ(run.exitCode, 5) << run.err;  // rs485ctl: settings write failed
}

// The firmware update closes the port and opens it again in the middle; the
// converter's update session must survive that, as on the real device.
TEST_F(Rs485simUmockdev, AFirmwareUpdateSurvivesTheReopen) {
  const std::string firmware = scratch.path() + "/firmware.bin";
  const std::string image = scratch.path() + "/image.bin";
  Bytes bytes(3 * 272);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  std::ofstream(firmware, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());

  const ProgramRun run = RunSim(Ctl({"--image", image}, {"flash", firmware}), 60000);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(FileBytes(image), bytes);
}

TEST_F(Rs485simUmockdev, EndsWithTheProgramsExitStatus) {
  EXPECT_EQ(RunSim({"--umockdev", "--", "sh", "-c", "exit 7"}).exitCode, 7);
  EXPECT_EQ(RunSim({"--umockdev", "--", "sh", "-c", "kill -KILL $$"}).exitCode, 128 + SIGKILL);
  const ProgramRun missing = RunSim({"--umockdev", "--", "/nonexistent/program"});
  EXPECT_EQ(missing.exitCode, 127);
  EXPECT_NE(missing.err.find("cannot start /nonexistent/program"), std::string::npos) << missing.err;
  // rs485ctl itself: the converter absent would be 1; a usage error is 2.
  EXPECT_EQ(RunSim(Ctl({}, {"--bogus"})).exitCode, 2);
}

// SIGTERM or SIGINT to the simulator asks the program to end; the testbed's
// folder is removed afterwards.
TEST_F(Rs485simUmockdev, ASignalStopsTheProgramAndTheTestbedGoes) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    Spawned run;
    ASSERT_TRUE(run.Start(Sim({"--umockdev", "--", "sh", "-c", "echo $UMOCKDEV_DIR; exec sleep 60"}), Options()));
    const std::string dir = run.ReadLine(10000);
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(Exists(dir + "/sys/bus/usb/devices/1-1")) << dir;
    const uint32_t start = PlatformTickMs();
    EXPECT_EQ(run.Finish(signal, 10000), 128 + SIGTERM);  // sleep ended by the SIGTERM passed on
    EXPECT_LT(PlatformTickMs() - start, 5000u);
    EXPECT_FALSE(Exists(dir)) << dir;
  }
}

TEST(Rs485simUmockdevArguments, WithoutWrapperOrProgramItSaysWhy) {
  ProgramRun run = RunSim({"--umockdev"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_NE(run.err.find("--umockdev needs a program"), std::string::npos) << run.err;

#ifdef RS485_SIM_UMOCKDEV
  // Where umockdev-wrapper cannot be found it says so, instead of running the
  // program against the machine's real devices.
  run = RunToEnd(Sim({"--umockdev", "--", "/bin/true"}), 10000, Options({"PATH=/nonexistent", "LD_PRELOAD="}));
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("umockdev-wrapper"), std::string::npos) << run.err;
#endif
}

}  // namespace
