// The rs485sim program as a child process: it prints the path of its
// pseudo-terminal, serves the converter there and stops cleanly on a signal.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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

extern char** environ;

namespace {

using Bytes = std::vector<uint8_t>;

struct Child {
  pid_t pid = -1;
  int out = -1;  // its standard output
  int err = -1;  // its standard error
};

Child Start(const std::vector<std::string>& arguments) {
  Child child;
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv = {const_cast<char*>(RS485SIM_PATH)};
  for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&child.pid, RS485SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(out[1]);
  close(err[1]);
  child.out = out[0];
  child.err = err[0];
  return child;
}

// Everything the descriptor delivers until end of file or the first newline
// (stopAtLine), waiting at most timeoutMs.
std::string ReadFrom(int fd, bool stopAtLine, int timeoutMs) {
  std::string text;
  const uint32_t deadline = PlatformTickMs() + static_cast<uint32_t>(timeoutMs);
  for (;;) {
    const int left = static_cast<int>(deadline - PlatformTickMs());
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, left) <= 0) break;
    char c;
    if (read(fd, &c, 1) != 1) break;
    if (stopAtLine && c == '\n') break;
    text += c;
  }
  return text;
}

// The exit code, or -1 when the child had to be killed or died of a signal.
int Finish(Child& child, int signal, int timeoutMs) {
  if (signal != 0) kill(child.pid, signal);
  int status = 0;
  for (int waited = 0; waitpid(child.pid, &status, WNOHANG) == 0; waited += 5) {
    if (waited >= timeoutMs) {
      kill(child.pid, SIGKILL);
      waitpid(child.pid, &status, 0);
      return -1;
    }
    PlatformSleepMs(5);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void CloseStreams(Child& child) {
  close(child.out);
  close(child.err);
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

  Child first = Start({"--memory", memory, "-v"});
  ASSERT_GT(first.pid, 0);
  const std::string path = ReadFrom(first.out, true, 5000);
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
  EXPECT_EQ(Finish(first, SIGTERM, 5000), 0);
  EXPECT_NE(ReadFrom(first.err, false, 1000).find("rx 60 10 48 2C 02 00 00 00 00 00 06 F2"), std::string::npos);
  CloseStreams(first);
  EXPECT_EQ(FileBytes(memory), Bytes(changed, changed + 6));

  Child second = Start({"--memory", memory});
  ASSERT_GT(second.pid, 0);
  const std::string again = ReadFrom(second.out, true, 5000);
  ASSERT_EQ(PortOpen(id, again.c_str()), 0);
  channel.Port = id;
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultOk);
  EXPECT_EQ(Bytes(got, got + 6), Bytes(changed, changed + 6));
  PortClose(id);
  EXPECT_EQ(Finish(second, SIGINT, 5000), 0);
  CloseStreams(second);
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
    Child child = Start(arguments);
    ASSERT_GT(child.pid, 0);
    EXPECT_EQ(Finish(child, 0, 5000), 2);
    EXPECT_EQ(ReadFrom(child.out, false, 1000), "");  // no path: nothing to connect to
    EXPECT_NE(ReadFrom(child.err, false, 1000).find("rs485sim:"), std::string::npos);
    CloseStreams(child);
  }

  Child help = Start({"--help"});
  ASSERT_GT(help.pid, 0);
  EXPECT_EQ(Finish(help, 0, 5000), 0);
  EXPECT_NE(ReadFrom(help.out, false, 1000).find("--no-ack-after N"), std::string::npos);
  CloseStreams(help);
}

}  // namespace
