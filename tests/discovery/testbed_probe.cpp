// Runs under umockdev-wrapper (started by umockdev_test): a testbed holds the
// converter, a usb-serial adapter of another vendor and built-in ports, and the
// real discovery and port code find and open them through /sys and /dev.
// Exits with 77 when umockdev's preload library is not active.

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "discovery/com_port_list.h"
#include "sim/converter_testbed.h"
#include "discovery/device_locator.h"
#include "ports/port_io.h"
#include "ports/port_table.h"
#include "support/scratch_dir.h"

namespace {

std::vector<std::string> List() {
  std::vector<std::string> v;
  for (int32_t k = 0; k < ComPortList.count; ++k) v.emplace_back(ComPortList.names[k]);
  return v;
}

std::string Locate() {
  char port[ComPortNameSize];
  LocateDevicePort(port, sizeof port);
  return port;
}

// Reads what the program wrote, waiting up to 3 seconds. While no program has
// the tty open the master reads as hung up (EIO), so that is waited out too.
std::string ReadMaster(int master, size_t count) {
  std::string out;
  for (int round = 0; round < 300 && out.size() < count; ++round) {
    pollfd p{master, POLLIN, 0};
    if (poll(&p, 1, 10) > 0 && (p.revents & POLLIN) != 0) {
      char buffer[64];
      const ssize_t n = read(master, buffer, std::min(sizeof buffer, count - out.size()));
      if (n > 0) {
        out.append(buffer, static_cast<size_t>(n));
        continue;
      }
    }
    usleep(10000);
  }
  return out;
}

class Testbed : public ::testing::Test {
 protected:
  void SetUp() override {
    testbed = TestbedCreate();
    ASSERT_NE(testbed, nullptr);
    otherMaster = TestbedAddUsbSerial(testbed, "1-2", 0x0403, 0x6001, "ttyUSB0");
    ASSERT_GE(otherMaster, 0);
    ASSERT_GE(TestbedAddBuiltinSerial(testbed, "ttyS0", 4), 0);
    ASSERT_GE(TestbedAddBuiltinSerial(testbed, "ttyS1", 0), 0);
  }
  void TearDown() override { TestbedDestroy(testbed); }

  ScratchDir scratch;  // for port.out
  UMockdevTestbed* testbed = nullptr;
  int otherMaster = -1;
};

}  // namespace

TEST_F(Testbed, FindsTheConverterAndListsTheOthers) {
  const int master = TestbedAddConverter(testbed);
  ASSERT_GE(master, 0);
  EXPECT_EQ(Locate(), "ttyACM0");
  EXPECT_EQ(List(), (std::vector<std::string>{"ttyACM0", "ttyS0", "ttyUSB0"}));
}

TEST_F(Testbed, IgnoresOtherVendorsAndFollowsPlugging) {
  EXPECT_EQ(Locate(), "");
  EXPECT_EQ(List(), (std::vector<std::string>{"ttyS0", "ttyUSB0"}));
  ASSERT_GE(TestbedAddConverter(testbed, "1-3", "ttyACM2"), 0);
  EXPECT_EQ(Locate(), "ttyACM2");
  TestbedRemoveUsb(testbed, "1-3");
  EXPECT_EQ(Locate(), "");
  EXPECT_EQ(List(), (std::vector<std::string>{"ttyS0", "ttyUSB0"}));
}

TEST_F(Testbed, ThePortLayerOpensTheMockedTty) {
  const int master = TestbedAddConverter(testbed);
  ASSERT_GE(master, 0);
  const std::string name = Locate();
  ASSERT_EQ(name, "ttyACM0");

  PortLayerInit();
  PortId id = 0;
  const int opened = PortOpen(id, name.c_str());
  ASSERT_EQ(opened, 0) << std::strerror(opened);
  PortId second = 0;
  const int busy = PortOpen(second, name.c_str());
  EXPECT_TRUE(busy == EWOULDBLOCK || busy == EBUSY) << "a second open got " << busy;

  const uint8_t request[] = {0x60, 0x10, 0x48, 0x2C};
  PortWrite(id, request, sizeof request);
  EXPECT_EQ(ReadMaster(master, 4), std::string("\x60\x10\x48\x2C", 4));

  ASSERT_EQ(write(master, "\x01\x02\x03", 3), 3);
  for (int i = 0; i < 200 && PortAvailable(id) < 3; ++i) usleep(5000);
  EXPECT_EQ(PortAvailable(id), 3);
  uint8_t reply[3] = {};
  EXPECT_NE(PortRead(id, reply, 3, 500), 0);
  EXPECT_EQ(reply[2], 3);
  PortClose(id);

  // Closed, it opens again.
  EXPECT_EQ(PortOpen(id, name.c_str()), 0);
  PortClose(id);
}

// A program started from the testbed's process sees the same testbed: it finds
// the converter, opens its port, sends "ping" and expects "pong".
TEST_F(Testbed, AProgramStartedFromTheTestbedOpensTheConverter) {
  const int master = TestbedAddConverter(testbed);
  ASSERT_GE(master, 0);
  const pid_t child = fork();
  if (child == 0) {
    execl("/proc/self/exe", "testbed_probe", "--child", static_cast<char*>(nullptr));
    _exit(127);
  }
  ASSERT_GT(child, 0);
  EXPECT_EQ(ReadMaster(master, 4), "ping");
  EXPECT_EQ(write(master, "pong", 4), 4);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
}

namespace {

int RunChild() {
  char name[ComPortNameSize];
  if (LocateDevicePort(name, sizeof name) != 1) return 2;
  PortLayerInit();
  PortId id = 0;
  if (PortOpen(id, name) != 0) return 3;
  PortWrite(id, reinterpret_cast<const uint8_t*>("ping"), 4);
  uint8_t reply[4] = {};
  if (PortRead(id, reply, 4, 3000) == 0 || std::memcmp(reply, "pong", 4) != 0) return 4;
  PortClose(id);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--child") == 0) return RunChild();
  if (!TestbedUnderWrapper()) {
    std::printf("umockdev's preload library is not active: run this under umockdev-wrapper\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
