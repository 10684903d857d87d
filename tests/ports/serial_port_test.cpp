// The port layer on real pseudo-terminals, what only Linux shows: the line
// state, exclusive opening, an unplugged device. The test plays the device on
// the master side, the port layer opens the slave by name. The scenarios both
// systems share are in serial_line_test.cpp.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "platform/serial.h"
#include "platform/time.h"
#include "ports/ms_clock.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "ports/port_transport.h"
#include "support/pty.h"
#include "support/scratch_dir.h"

namespace {

double ThreadCpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
}

// A program that opened the device before us, marking its hold by flock, by
// the terminal's exclusive flag or by nothing, and holding `descriptors`
// descriptors besides.
enum class Mark { None, Flock, Exclusive };
struct EarlierHolder {
  pid_t pid = -1;
  bool holds = false;  // it has the device and all its descriptors

  EarlierHolder(const std::string& path, Mark mark, int descriptors) {
    int ready[2];
    if (pipe(ready) != 0) return;
    pid = fork();
    if (pid == 0) {
      const int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
      const bool marked = fd >= 0 && (mark != Mark::Flock || flock(fd, LOCK_EX | LOCK_NB) == 0) &&
                          (mark != Mark::Exclusive || ioctl(fd, TIOCEXCL) == 0);
      rlimit limit{};
      getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = limit.rlim_max;
      setrlimit(RLIMIT_NOFILE, &limit);
      const int base = open("/dev/null", O_RDONLY);
      int held = 0;
      while (held < descriptors && dup(base) >= 0) ++held;
      const char answer = marked && held == descriptors ? 'y' : 'n';
      if (write(ready[1], &answer, 1) == 1) pause();
      _exit(0);
    }
    close(ready[1]);
    pollfd p{ready[0], POLLIN, 0};
    char answer = 'n';
    holds = pid > 0 && poll(&p, 1, 10000) == 1 && read(ready[0], &answer, 1) == 1 && answer == 'y';
    close(ready[0]);
  }
  ~EarlierHolder() {
    if (pid <= 0) return;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
  }
};

class SerialPort : public ::testing::Test {
 protected:
  void SetUp() override {
    PortLayerInit();
    MsClockStart();
    ASSERT_EQ(PortOpen(id, pty.name.c_str()), 0);
  }

  ScratchDir dir;
  TestPty pty;
  PortId id = 0;
};

TEST_F(SerialPort, OpensWithTheConverterLineState) {
  termios t{};
  ASSERT_EQ(tcgetattr(PortTable[id - 1].transport->Handle(), &t), 0);
  EXPECT_EQ(cfgetispeed(&t), static_cast<speed_t>(B4800));
  EXPECT_EQ(cfgetospeed(&t), static_cast<speed_t>(B4800));
  EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
  EXPECT_EQ(t.c_cflag & (CREAD | CLOCAL), static_cast<tcflag_t>(CREAD | CLOCAL));
  EXPECT_NE(t.c_iflag & INPCK, 0u);
  EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY | ICRNL | ISTRIP | PARMRK), 0u);
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(PortTable[id - 1].kind, KindSerial);
}

TEST_F(SerialPort, SecondOpenerIsBusyHereAndInAnotherProcess) {
  PortId second = 9;
  const int busy = PortOpen(second, pty.name.c_str());
  EXPECT_TRUE(busy == EWOULDBLOCK || busy == EBUSY) << busy;
  EXPECT_EQ(second, 0);
  EXPECT_EQ(PortTable[1].open, 0);

  const pid_t child = fork();
  if (child == 0) {
    int32_t handle = -1;
    _exit(SerialOpen(pty.name.c_str(), &handle, nullptr));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_TRUE(WEXITSTATUS(status) == EWOULDBLOCK || WEXITSTATUS(status) == EBUSY) << WEXITSTATUS(status);

  PortClose(id);
  EXPECT_EQ(PortOpen(second, pty.name.c_str()), 0);  // free again once closed
}

TEST_F(SerialPort, AProgramThatWasThereFirstKeepsThePortBusy) {
  // A program that opened the device before us (a terminal program, a modem
  // prober) would take bytes of every answer: it is named and the open fails.
  TestPty other;
  const std::string path = "/dev/" + other.name;
  const pid_t holder = fork();
  if (holder == 0) {
    execl("/bin/sh", "sh", "-c", "exec sleep 30 <\"$0\"", path.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  int32_t handle = -1;
  SerialHolder who{};
  int error = 0;
  for (int i = 0; i < 2000; ++i) {  // until the child has become sleep with the device open
    error = SerialOpen(other.name.c_str(), &handle, &who);
    if (error != 0 && std::strcmp(who.program, "sleep") == 0) break;
    if (error == 0) SerialClose(handle);
    PlatformSleepMs(1);
  }
  EXPECT_EQ(error, EBUSY);
  EXPECT_EQ(who.pid, holder);
  EXPECT_STREQ(who.program, "sleep");
  kill(holder, SIGKILL);
  waitpid(holder, nullptr, 0);

  // A lock file names a live owner; one whose owner is gone is taken over
  // and removed again at close.
  const std::string lock = "/run/lock/LCK.." + other.name.substr(0, other.name.find('/')) + "_" +
                           other.name.substr(other.name.find('/') + 1);
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock cannot be written here";
  FILE* f = std::fopen(lock.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fprintf(f, "%10d\n", static_cast<int>(getppid()));
  std::fclose(f);
  EXPECT_EQ(SerialOpen(other.name.c_str(), &handle, &who), EBUSY);
  EXPECT_EQ(who.pid, getppid());
  f = std::fopen(lock.c_str(), "w");
  std::fprintf(f, "%10d\n", 0x7FFFFFF0);  // nobody
  std::fclose(f);
  ASSERT_EQ(SerialOpen(other.name.c_str(), &handle, &who), 0);
  char text[16] = {};
  f = std::fopen(lock.c_str(), "r");
  ASSERT_NE(f, nullptr);
  EXPECT_NE(std::fgets(text, sizeof text, f), nullptr);
  std::fclose(f);
  EXPECT_EQ(std::atoi(text), getpid());
  SerialClose(handle);
  EXPECT_NE(access(lock.c_str(), F_OK), 0);
}

TEST_F(SerialPort, ProgramWithManyDescriptorsIsNamedWhenItsLockTellsOfIt) {
  // Listing the thousands of descriptors of a browser costs more than an
  // exchange: such a process is looked into only when the device's flock or
  // exclusive flag says that somebody holds it.
  const struct {
    Mark mark;
    int error;  // of our open, 0 when the holder goes unseen
  } cases[] = {{Mark::None, 0}, {Mark::Flock, EWOULDBLOCK}, {Mark::Exclusive, EBUSY}};
  for (const auto& c : cases) {
    TestPty other;
    const EarlierHolder holder("/dev/" + other.name, c.mark, 1100);
    if (!holder.holds) GTEST_SKIP() << "no helper holding the device and 1100 descriptors";
    int32_t handle = -1;
    SerialHolder who{};
    const int error = SerialOpen(other.name.c_str(), &handle, &who);
    EXPECT_EQ(error, c.error) << static_cast<int>(c.mark);
    EXPECT_EQ(who.pid, c.error != 0 ? holder.pid : 0) << static_cast<int>(c.mark);
    if (error == 0) SerialClose(handle);
  }
}

TEST_F(SerialPort, UserKeptOutByTheExclusiveFlagIsToldWhoHoldsThePort) {
  // An ordinary user's open fails on the exclusive flag before any lock is
  // looked at; the holder (this process, which opened the port first) is
  // still named, by its lock file.
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  if (access("/run/lock", W_OK) != 0) GTEST_SKIP() << "/run/lock cannot be written here";
  ASSERT_EQ(chmod(("/dev/" + pty.name).c_str(), 0666), 0);
  int result[2];
  ASSERT_EQ(pipe(result), 0);
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(200);
    int32_t handle = -1;
    SerialHolder who{};
    const int error = SerialOpen(pty.name.c_str(), &handle, &who);
    const bool sent = write(result[1], &error, sizeof error) == sizeof error &&
                      write(result[1], &who, sizeof who) == sizeof who;
    _exit(sent ? 0 : 1);
  }
  close(result[1]);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  int error = 0;
  SerialHolder who{};
  ASSERT_EQ(read(result[0], &error, sizeof error), static_cast<ssize_t>(sizeof error));
  ASSERT_EQ(read(result[0], &who, sizeof who), static_cast<ssize_t>(sizeof who));
  close(result[0]);
  EXPECT_EQ(error, EBUSY);
  EXPECT_EQ(who.pid, getpid());
}

TEST_F(SerialPort, PermissionFailureIsNotBusy) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to drop to another user";
  TestPty other;  // owned by root, mode 0620: another user may not open it
  const pid_t child = fork();
  if (child == 0) {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(200);
    int32_t handle = -1;
    _exit(SerialOpen(other.name.c_str(), &handle, nullptr));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), EACCES);
}

// The kernel hands what the device sent to the terminal from a worker of its
// own, which a busy machine may hold up: a byte that came is counted at the
// very next look all the same, or the last look of a wait would miss an
// acknowledgement that arrived in time.
TEST_F(SerialPort, AByteThatCameIsCountedAtTheNextLook) {
  const uint8_t ack = 0;
  int missed = 0;
  for (int n = 1; n <= 200; ++n) {
    ASSERT_EQ(write(pty.master, &ack, 1), 1);
    missed += PortAvailable(id) != n;
  }
  EXPECT_EQ(missed, 0);
}

TEST_F(SerialPort, UnpluggedDeviceTimesOutWithoutSpinning) {
  uint8_t in[11] = {};
  std::thread unplug([&] {
    PlatformSleepMs(100);
    pty.CloseMaster();
  });
  const double cpuBefore = ThreadCpuMs();
  const uint32_t start = PlatformTickMs();
  EXPECT_EQ(PortRead(id, in, 11, 600), 0);
  const uint32_t took = PlatformTickMs() - start;
  unplug.join();
  EXPECT_GE(took, 550u);
  EXPECT_LT(took, 3000u);

  // Later operations on the dead device neither hang nor spin.
  EXPECT_EQ(PortAvailable(id), 0);
  PortWrite(id, in, 11);
  PortFlushInput(id);
  uint8_t b = 0;
  EXPECT_EQ(PortReadByte(id, &b, 200), 0);
  EXPECT_EQ(PortRead(id, in, 11, 300), 0);
  EXPECT_LT(ThreadCpuMs() - cpuBefore, 300.0);
  EXPECT_EQ(PortClose(id), 1);
}

TEST_F(SerialPort, CloseGivesUpExclusivity) {
  // Whoever keeps the device open across our close (the firmware update closes
  // and reopens the port) must not find it still locked to us.
  int exclusive = 0;
  ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  EXPECT_EQ(PortClose(id), 1);
  ASSERT_EQ(ioctl(pty.slave, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

}  // namespace
