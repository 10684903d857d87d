// rs485sim --umockdev: the converter appears as USB 16C0:4E04 with its
// /dev/ttyACM0 in a umockdev testbed, and rs485ctl, started inside it, finds
// and uses it as it would the real one. rs485sim is started as a user would,
// without umockdev-wrapper: it puts itself under the wrapper.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/time.h"
#include "support/child_process.h"
#include "support/scratch_dir.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct SimRun {
  pid_t pid = -1;
  int out = -1;
  int err = -1;
  int status = -1;  // exit code; -1 when it had to be killed
  std::string stdoutText;
  std::string stderrText;
};

// Starts rs485sim with arguments; env entries ("NAME=value") replace the
// variables of the same name.
SimRun Start(const std::vector<std::string>& arguments, const std::vector<std::string>& env = {}) {
  SimRun run;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv = {const_cast<char*>(RS485SIM_PATH)};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The sanitizer runtime would insist on coming before umockdev's preload library.
  std::string asan = "ASAN_OPTIONS=verify_asan_link_order=0";
  if (const char* old = std::getenv("ASAN_OPTIONS")) asan += std::string(":") + old;
  std::vector<std::string> variables = env;
  variables.push_back(asan);
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    bool replaced = false;
    for (const std::string& v : variables) replaced |= entry.substr(0, entry.find('=') + 1) == v.substr(0, v.find('=') + 1);
    if (!replaced) variables.push_back(entry);
  }
  std::vector<char*> envp;
  for (std::string& v : variables) envp.push_back(v.data());
  envp.push_back(nullptr);

  if (posix_spawn(&run.pid, RS485SIM_PATH, &actions, nullptr, argv.data(), envp.data()) != 0) run.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  run.out = out[0];
  run.err = err[0];
  return run;
}

// Collects both streams until the program's end (or the first line of
// standard output, when firstLineOnly), waiting at most timeoutMs.
void Collect(SimRun& run, int timeoutMs, bool firstLineOnly = false) {
  const uint32_t deadline = PlatformTickMs() + static_cast<uint32_t>(timeoutMs);
  bool outOpen = true, errOpen = true;
  while (outOpen || errOpen) {
    if (firstLineOnly && run.stdoutText.find('\n') != std::string::npos) return;
    const int left = static_cast<int>(deadline - PlatformTickMs());
    if (left <= 0) return;
    pollfd p[2] = {{outOpen ? run.out : -1, POLLIN, 0}, {errOpen ? run.err : -1, POLLIN, 0}};
    if (poll(p, 2, left) <= 0) continue;
    char buffer[4096];
    for (int i = 0; i < 2; ++i) {
      if ((p[i].revents & (POLLIN | POLLHUP)) == 0) continue;
      const ssize_t n = read(p[i].fd, buffer, firstLineOnly && i == 0 ? 1 : sizeof buffer);
      if (n <= 0) (i == 0 ? outOpen : errOpen) = false;
      else (i == 0 ? run.stdoutText : run.stderrText).append(buffer, static_cast<size_t>(n));
    }
  }
}

// Waits for the end, killing after timeoutMs; closes the streams.
void Finish(SimRun& run, int timeoutMs) {
  Collect(run, timeoutMs);
  int status = 0;
  for (int waited = 0; waitpid(run.pid, &status, WNOHANG) == 0; waited += 10) {
    if (waited >= timeoutMs) {
      kill(run.pid, SIGKILL);
      waitpid(run.pid, &status, 0);
      break;
    }
    PlatformSleepMs(10);
  }
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  close(run.out);
  close(run.err);
}

SimRun RunToEnd(const std::vector<std::string>& arguments, int timeoutMs = 20000) {
  SimRun run = Start(arguments);
  if (run.pid > 0) Finish(run, timeoutMs);
  return run;
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
    const SimRun probe = RunToEnd({"--umockdev", "--", "true"});
    if (probe.stderrText.find("cannot build the umockdev testbed") != std::string::npos)
      GTEST_SKIP() << "umockdev cannot run here: " << probe.stderrText;
    ASSERT_EQ(probe.status, 0) << probe.stderrText;
  }

  ScratchDir scratch;  // for port.out
};

TEST_F(Rs485simUmockdev, AProgramInsideFindsTheConverterAsTtyACM0) {
  SimRun run = RunToEnd(Ctl({}, {"locate"}));
  EXPECT_EQ(run.status, 0) << run.stderrText;
  EXPECT_EQ(run.stdoutText, "ttyACM0\n");

  // The testbed holds the converter alone: the machine's own ports are out of sight.
  run = RunToEnd(Ctl({}, {"list"}));
  EXPECT_EQ(run.status, 0) << run.stderrText;
  EXPECT_EQ(run.stdoutText, "ttyACM0\n");
}

TEST_F(Rs485simUmockdev, ReadsTheDefaultRecord) {
  const SimRun run = RunToEnd(Ctl({}, {"--json", "read"}));
  EXPECT_EQ(run.status, 0) << run.stderrText;
  EXPECT_NE(run.stdoutText.find("\"port\":\"ttyACM0\""), std::string::npos) << run.stdoutText;
  EXPECT_NE(run.stdoutText.find("\"raw\":\"60 00 00 08 4E 80\""), std::string::npos) << run.stdoutText;
}

TEST_F(Rs485simUmockdev, AWrittenRecordIsThereInTheNextRun) {
  const std::string memory = scratch.path() + "/memory.bin";
  SimRun run = RunToEnd(Ctl({"--memory", memory}, {"write", "--baud", "57600", "--parity", "odd", "--stop", "2"}));
  ASSERT_EQ(run.status, 0) << run.stderrText;
  // 57600 / 100 little-endian, 'O', two stop bits; 8 data bits and echo suppression kept.
  const Bytes expected = {0x40, 0x02, 0x00, 0x08, 0x4F, 0xC0};
  EXPECT_EQ(FileBytes(memory), expected);

  run = RunToEnd(Ctl({"--memory", memory}, {"--json", "read"}));
  EXPECT_EQ(run.status, 0) << run.stderrText;
  EXPECT_NE(run.stdoutText.find("\"raw\":\"40 02 00 08 4F C0\""), std::string::npos) << run.stdoutText;
  EXPECT_NE(run.stdoutText.find("\"baud\":57600"), std::string::npos) << run.stdoutText;
}

TEST_F(Rs485simUmockdev, FaultSwitchesWorkInTheTestbed) {
  SimRun run = RunToEnd(Ctl({"--corrupt-crc"}, {"read"}));
  EXPECT_EQ(run.status, 4) << run.stderrText;  // rs485ctl: settings read failed
  EXPECT_NE(run.stderrText.find("Ошибка получения настроек"), std::string::npos) << run.stderrText;

  run = RunToEnd(Ctl({"--refuse-writes"}, {"write", "--baud", "19200"}));
  EXPECT_EQ(run.status, 5) << run.stderrText;  // rs485ctl: settings write failed
}

// The firmware update closes the port and opens it again in the middle; the
// converter's update session must survive that, as on the real device.
TEST_F(Rs485simUmockdev, AFirmwareUpdateSurvivesTheReopen) {
  const std::string firmware = scratch.path() + "/firmware.bin";
  const std::string image = scratch.path() + "/image.bin";
  Bytes bytes(3 * 272);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  std::ofstream(firmware, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());

  const SimRun run = RunToEnd(Ctl({"--image", image}, {"flash", firmware}), 60000);
  EXPECT_EQ(run.status, 0) << run.stderrText;
  EXPECT_EQ(FileBytes(image), bytes);
}

TEST_F(Rs485simUmockdev, EndsWithTheProgramsExitStatus) {
  EXPECT_EQ(RunToEnd({"--umockdev", "--", "sh", "-c", "exit 7"}).status, 7);
  EXPECT_EQ(RunToEnd({"--umockdev", "--", "sh", "-c", "kill -KILL $$"}).status, 128 + SIGKILL);
  const SimRun missing = RunToEnd({"--umockdev", "--", "/nonexistent/program"});
  EXPECT_EQ(missing.status, 127);
  EXPECT_NE(missing.stderrText.find("cannot start /nonexistent/program"), std::string::npos) << missing.stderrText;
  // rs485ctl itself: the converter absent would be 1; a usage error is 2.
  EXPECT_EQ(RunToEnd(Ctl({}, {"--bogus"})).status, 2);
}

// SIGTERM or SIGINT to the simulator asks the program to end; the testbed's
// folder is removed afterwards.
TEST_F(Rs485simUmockdev, ASignalStopsTheProgramAndTheTestbedGoes) {
  for (const int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    SimRun run = Start({"--umockdev", "--", "sh", "-c", "echo $UMOCKDEV_DIR; exec sleep 60"});
    ASSERT_GT(run.pid, 0);
    Collect(run, 10000, true);
    const std::string dir = run.stdoutText.substr(0, run.stdoutText.find('\n'));
    ASSERT_FALSE(dir.empty()) << run.stderrText;
    EXPECT_TRUE(Exists(dir + "/sys/bus/usb/devices/1-1")) << dir;
    const uint32_t start = PlatformTickMs();
    kill(run.pid, signal);
    Finish(run, 10000);
    EXPECT_EQ(run.status, 128 + SIGTERM);  // sleep ended by the SIGTERM passed on
    EXPECT_LT(PlatformTickMs() - start, 5000u);
    EXPECT_FALSE(Exists(dir)) << dir;
  }
}

TEST(Rs485simUmockdevArguments, WithoutWrapperOrProgramItSaysWhy) {
  SimRun run = RunToEnd({"--umockdev"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.stderrText.find("--umockdev needs a program"), std::string::npos) << run.stderrText;

#ifdef RS485_SIM_UMOCKDEV
  // Where umockdev-wrapper cannot be found it says so, instead of running the
  // program against the machine's real devices.
  run = Start({"--umockdev", "--", "/bin/true"}, {"PATH=/nonexistent", "LD_PRELOAD="});
  ASSERT_GT(run.pid, 0);
  Finish(run, 10000);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.stderrText.find("umockdev-wrapper"), std::string::npos) << run.stderrText;
#endif
}

}  // namespace
