// The simulated converter on its own pseudo-terminal, driven through the port
// layer the way the utility drives a real converter.

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <vector>

#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "protocol/checksum.h"
#include "protocol/device_channel.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"
#include "support/sim_channel.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kSettingsRead = {0x60, 0x10, 0x48, 0x2C, 0x02, 0x00, 0x00, 0x00, 0x00, 0x00, 0x06, 0xF2};

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// The settings answer without its last byte, which nobody examines.
Bytes SettingsAnswer(const SimSettings& s) {
  Bytes answer(s.begin(), s.end());
  CrcState = 0xFFFFFFFFu;
  WordCrc32(s.data(), 6);
  for (int shift = 0; shift < 32; shift += 8) answer.push_back(static_cast<uint8_t>(CrcState >> shift));
  return answer;
}

// A firmware record whose data never contains the start byte, so that a record
// the converter does not take cannot pass for a request.
Bytes Record(uint16_t page, uint8_t index, uint8_t seed) {
  Bytes r(SimRecordSize);
  r[0] = static_cast<uint8_t>(page);
  r[1] = static_cast<uint8_t>(page >> 8);
  r[2] = index;
  for (int i = 0; i < SimRecordData; ++i) r[3 + i] = static_cast<uint8_t>((seed + i) % 0x5F);
  r[275] = FrameChecksum(r.data(), 275);
  return r;
}

Bytes DataOf(const Bytes& record) { return Bytes(record.begin() + 3, record.begin() + 3 + SimRecordData); }

class Sim : public SimChannelTest {
 protected:
  // Sends raw bytes and returns the first answerLength bytes of the answer
  // without its last one, or nothing when they did not all come. The waits
  // here are the test's own: long where an answer is due, short where none is.
  Bytes Exchange(const Bytes& request, size_t answerLength = 11, int timeoutMs = 2000) {
    PortFlushInput(id);
    PortWrite(id, request.data(), static_cast<uint32_t>(request.size()));
    Bytes answer(answerLength);
    if (PortRead(id, answer.data(), static_cast<int32_t>(answerLength), timeoutMs) == 0) return {};
    answer.pop_back();
    return answer;
  }

  // Announces and sends a record; true when the converter acknowledged it.
  bool SendRecord(const Bytes& record, uint16_t timeoutMs = 2000) {
    SendShortCommand(id, 16, RecordCommand);
    PortWrite(id, record.data(), static_cast<uint32_t>(record.size()));
    uint8_t ack = 0;
    return PortReadByte(id, &ack, timeoutMs) == 1;
  }

  void WaitReceived(uint32_t count) {
    ASSERT_TRUE(Converter().WaitUntil([count](const SimCounters& c) { return c.bytesReceived >= count; }, 2000));
  }

  SimCounters Counters() { return sim.Converter().Counters(); }
};

TEST_F(Sim, FindsRequestsInGarbageAndIgnoresBrokenOnes) {
  std::mt19937 random(7);
  Bytes garbage(3000);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = i % 7 == 0 ? 0x60 : static_cast<uint8_t>(random());
  const Bytes truncated(kSettingsRead.begin(), kSettingsRead.begin() + 5);
  EXPECT_EQ(Exchange(garbage + truncated + kSettingsRead), SettingsAnswer(SimDefaultSettings));
  EXPECT_EQ(Counters().memoryReads, 1u);
  EXPECT_GE(Counters().garbageBytes, garbage.size());

  const SimCounters before = Counters();
  Bytes badHeader = kSettingsRead;
  badHeader[3] ^= 0x01;
  EXPECT_TRUE(Exchange(badHeader, 11, 300).empty());
  Bytes badBlock = kSettingsRead;
  badBlock[11] ^= 0x01;
  EXPECT_TRUE(Exchange(badBlock, 11, 300).empty());
  Bytes otherDevice = kSettingsRead;
  otherDevice[1] = 17;
  otherDevice[3] = FrameChecksum(otherDevice.data(), 3);
  EXPECT_TRUE(Exchange(otherDevice, 11, 300).empty());

  const SimCounters c = Counters();
  EXPECT_EQ(c.badHeaders, before.badHeaders + 1);
  EXPECT_EQ(c.badBlocks, before.badBlocks + 1);
  EXPECT_EQ(c.ignoredRequests, before.ignoredRequests + 1);
  EXPECT_EQ(c.memoryReads, 1u);
  EXPECT_EQ(Exchange(kSettingsRead), SettingsAnswer(SimDefaultSettings));
}

TEST_F(Sim, GivesUpWhatStopsHalfway) {
  // A six-byte write whose data block never comes, then a record cut short.
  Bytes write = {0x60, 0x10, 0x40, 0x3C, 0x00, 0x00, 0x00, 0x00, 0x00, 0x11, 0x06};
  write.push_back(FrameChecksum(write.data() + 4, 7));
  PortWrite(id, write.data(), static_cast<uint32_t>(write.size()));
  WaitReceived(12);
  PlatformSleepMs(SimFrameGapMs + 100);
  EXPECT_EQ(Exchange(kSettingsRead), SettingsAnswer(SimDefaultSettings));

  SendShortCommand(id, 16, UpdateEnterCommand);
  SendShortCommand(id, 16, RecordCommand);
  const Bytes record = Record(8, 0, 1);
  PortWrite(id, record.data(), 100);
  WaitReceived(12 + 12 + 8 + 100);
  PlatformSleepMs(SimFrameGapMs + 100);
  EXPECT_EQ(Exchange(kSettingsRead), SettingsAnswer(SimDefaultSettings));

  // A record announced and none of it sent: the command after the silence is one.
  SendShortCommand(id, 16, RecordCommand);
  WaitReceived(12 + 12 + 8 + 100 + 12 + 4);
  PlatformSleepMs(SimFrameGapMs + 100);
  SendShortCommand(id, 16, UpdateLeaveCommand);
  EXPECT_TRUE(Converter().WaitUntil([](const SimCounters& n) { return n.updateLeaves == 1; }, 5000));

  const SimCounters c = Counters();
  EXPECT_EQ(c.memoryWrites, 0u);
  EXPECT_EQ(c.recordsTruncated, 2u);
  EXPECT_EQ(c.recordsReceived, 0u);
}

TEST_F(Sim, TakesAFirmwareImageRecordByRecord) {
  ScratchDir dir;
  Converter().UseImageFile(dir.path() + "/image.bin");

  EXPECT_FALSE(SendRecord(Record(8, 0, 1), 500));  // not in update mode yet
  EXPECT_EQ(Counters().ignoredRequests, 1u);

  SendShortCommand(id, 16, UpdateEnterCommand);
  SendShortCommand(id, 16, UpdateEnterCommand);  // the utility says it twice
  const Bytes r0 = Record(8, 0, 1), r1 = Record(8, 1, 2), r2 = Record(8, 2, 3), r3 = Record(8, 3, 4),
              r4 = Record(9, 0, 5);
  EXPECT_TRUE(SendRecord(r0));
  EXPECT_TRUE(SendRecord(r1));
  Bytes broken = r2;
  broken[100] ^= 0x01;
  EXPECT_FALSE(SendRecord(broken, 500));
  EXPECT_FALSE(SendRecord(r3, 500));  // out of turn
  EXPECT_TRUE(SendRecord(r2));
  EXPECT_TRUE(SendRecord(r3));
  EXPECT_TRUE(SendRecord(r4));
  SendShortCommand(id, 16, UpdateLeaveCommand);
  ASSERT_TRUE(Converter().WaitUntil([](const SimCounters& c) { return c.updateLeaves == 1; }, 2000));

  const SimSnapshot seen = Converter().Snapshot();
  const Bytes image = DataOf(r0) + DataOf(r1) + DataOf(r2) + DataOf(r3) + DataOf(r4);
  EXPECT_EQ(seen.image, image);
  std::ifstream file(dir.path() + "/image.bin", std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(file), {}), image);
  EXPECT_FALSE(seen.updateMode);
  EXPECT_EQ(seen.counters.updateEnters, 2u);
  EXPECT_EQ(seen.counters.recordCommands, 7u);
  EXPECT_EQ(seen.counters.recordsReceived, 7u);
  EXPECT_EQ(seen.counters.recordsAcked, 5u);
  EXPECT_EQ(seen.counters.recordChecksumErrors, 1u);
  EXPECT_EQ(seen.counters.recordSequenceErrors, 1u);
}

TEST_F(Sim, FaultSwitchesBreakWhatTheySay) {
  uint8_t got[6] = {};
  Converter().SetFaults({.noise = true});
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultBadChecksum);

  Converter().SetFaults({.noAckAfter = 1});
  SendShortCommand(id, 16, UpdateEnterCommand);
  EXPECT_TRUE(SendRecord(Record(8, 0, 1)));
  EXPECT_FALSE(SendRecord(Record(8, 1, 2), 500));
  SimCounters c = Counters();
  EXPECT_EQ(c.recordsReceived, 2u);
  EXPECT_EQ(c.recordsAcked, 1u);
  EXPECT_EQ(Converter().Snapshot().image, DataOf(Record(8, 0, 1)));

  Converter().SetFaults({.silent = true});
  const uint8_t settings[6] = {0x61, 0x01, 0x02, 0x07, 0x4E, 0x00};
  EXPECT_EQ(channel.WriteMemory(0, 0, settings, 6), ResultTimeout);
  EXPECT_EQ(Converter().Settings(), SimDefaultSettings);

  Converter().SetFaults({});
  EXPECT_EQ(channel.ReadMemory(0, 0, 6, got, 2, 0), ResultOk);
}

TEST_F(Sim, ClientMayCloseAndReopenThePort) {
  EXPECT_EQ(Exchange(kSettingsRead), SettingsAnswer(SimDefaultSettings));
  PortClose(id);
  ASSERT_EQ(PortOpen(id, sim.PortName().c_str()), 0);
  EXPECT_EQ(Exchange(kSettingsRead), SettingsAnswer(SimDefaultSettings));
}

TEST(SimServe, AClientKilledHoldingTheTerminalLeavesItUsable) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to play two ordinary users";
  SimDevice sim;
  ASSERT_TRUE(sim.Ok());
  ASSERT_EQ(chmod(sim.Path().c_str(), 0666), 0);
  // Opens the terminal as an ordinary user, exclusively as the port layer
  // does; 0, or the open's errno.
  const auto openAsUser = [&](bool dieHolding) {
    const pid_t child = fork();
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(200);
      const int fd = open(sim.Path().c_str(), O_RDWR | O_NOCTTY);
      if (fd < 0) _exit(errno);
      ioctl(fd, TIOCEXCL);
      if (dieHolding) {
        usleep(100 * 1000);  // a client that was there, not one that came and went unseen
        raise(SIGKILL);
      }
      ioctl(fd, TIOCNXCL);
      _exit(0);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  };
  EXPECT_EQ(openAsUser(true), -1);  // killed with the flag set
  int again = EBUSY;
  for (int i = 0; i < 200 && again == EBUSY; ++i) {
    PlatformSleepMs(5);
    again = openAsUser(false);
  }
  EXPECT_EQ(again, 0);
}

TEST(SimFiles, ThePlantedLinkOfAnOldTemporaryFileIsNeverFollowed) {
  ScratchDir dir;
  std::ofstream("victim") << "keep";
  ASSERT_EQ(symlink("victim", "settings.bin.tmp"), 0);
  SimConverter converter;
  ASSERT_EQ(converter.UseMemoryFile("settings.bin"), 0);
  converter.SetSettings({1, 2, 3, 4, 'N', 6});
  ASSERT_EQ(converter.SaveFiles(), 0);
  std::string kept;
  std::ifstream("victim") >> kept;
  EXPECT_EQ(kept, "keep");
  std::ifstream saved("settings.bin", std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), std::string("\x01\x02\x03\x04N\x06"));
}

TEST(SimFiles, AMemoryFileBehindALinkIsWrittenWhereTheLinkLeads) {
  ScratchDir dir;
  ASSERT_EQ(mkdir("data", 0755) | mkdir("links", 0755), 0);
  for (const char* file : {"data/a.bin", "data/b.bin"}) std::ofstream(file) << "oldset";
  ASSERT_EQ(symlink("b.bin", "data/hop"), 0);  // read from data/, not from the first link's folder
  const struct {
    const char *link, *target, *file;
  } cases[] = {
      {"links/relative", "../data/a.bin", "data/a.bin"},
      {"links/chain", "../data/hop", "data/b.bin"},
      {"links/dangling", "../data/new.bin", "data/new.bin"},  // names the file to create
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.link);
    ASSERT_EQ(symlink(c.target, c.link), 0);
    SimConverter converter;
    ASSERT_EQ(converter.UseMemoryFile(c.link), 0);
    converter.SetSettings({1, 2, 3, 4, 'N', 6});
    ASSERT_EQ(converter.SaveFiles(), 0);
    std::ifstream saved(c.file, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(saved), {}), std::string("\x01\x02\x03\x04N\x06"));
  }
}

TEST(SimServe, EndsWhenThePeerGoesAway) {
  int pair[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
  SimConverter converter;
  SimServer server(converter, pair[0]);
  ASSERT_TRUE(server.Ok());

  ASSERT_EQ(write(pair[1], kSettingsRead.data(), kSettingsRead.size()), 12);
  Bytes answer(11);
  size_t got = 0;
  while (got < answer.size()) {
    pollfd p{pair[1], POLLIN, 0};
    ASSERT_GT(poll(&p, 1, 2000), 0);
    const ssize_t n = read(pair[1], answer.data() + got, answer.size() - got);
    ASSERT_GT(n, 0);
    got += static_cast<size_t>(n);
  }
  answer.pop_back();
  EXPECT_EQ(answer, SettingsAnswer(SimDefaultSettings));

  close(pair[1]);
  for (int i = 0; i < 2000 && server.Running(); ++i) PlatformSleepMs(1);
  EXPECT_FALSE(server.Running());
  EXPECT_EQ(server.Result(), SimServePeerGone);
  close(pair[0]);
}

}  // namespace
