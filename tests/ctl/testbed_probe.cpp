// Runs under umockdev-wrapper (started by ctl_testbed_test): the converter sits
// in a umockdev testbed as Linux presents it, with the simulated converter on
// the other side of its tty, and rs485ctl, started from here, sees the same
// testbed. Without --port it finds the converter as the window does.
// Exits with 77 when umockdev's preload library is not active.

#include <poll.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <thread>

#include "ops/messages.h"
#include "ctl_fixture.h"
#include "sim/converter_testbed.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"
#include "support/spawned.h"

namespace {

TEST(CtlInTestbed, EveryCommandFindsTheConverterByItself) {
  ScratchDir scratch;
  UMockdevTestbed* testbed = TestbedCreate();
  ASSERT_NE(testbed, nullptr);
  ASSERT_GE(TestbedAddBuiltinSerial(testbed, "ttyS0", 4), 0);
  const int master = TestbedAddConverter(testbed);
  ASSERT_GE(master, 0);
  SimConverter converter;
  {
    SimServer server(converter, master, SimServeTerminal);

    const CtlRun locate = RunCtl({"locate"});
    EXPECT_EQ(locate.exitCode, 0) << Describe(locate);
    EXPECT_EQ(locate.out, "ttyACM0\n");
    EXPECT_EQ(locate.err, "");
    Json value;
    const CtlRun locateJson = RunCtl({"locate", "--json"});
    ASSERT_TRUE(OneJsonObject(locateJson.out, value)) << Describe(locateJson);
    EXPECT_EQ(value["port"].text, "ttyACM0");
    const CtlRun list = RunCtl({"list"});
    EXPECT_EQ(list.out, "ttyACM0\nttyS0\n") << Describe(list);

    const CtlRun read = RunCtl({"read", "--json"});
    ASSERT_EQ(read.exitCode, 0) << Describe(read);
    ASSERT_TRUE(OneJsonObject(read.out, value));
    EXPECT_EQ(value["port"].text, "ttyACM0");
    EXPECT_EQ(value["raw"].text, "60 00 00 08 4E 80");

    const CtlRun write = RunCtl({"write", "--baud", "19200", "--stop", "2"});
    ASSERT_EQ(write.exitCode, 0) << Describe(write);
    EXPECT_EQ(BytesOf(converter.Settings()), (Data{0xC0, 0x00, 0x00, 0x08, 'N', 0xC0}));

    const Data image = MakeImage(272 * 2 + 5);
    WriteFile(scratch.path() + "/fw.bin", image);
    const CtlRun flash = RunCtl({"flash", "fw.bin", "--settle-ms", "300"});
    ASSERT_EQ(flash.exitCode, 0) << Describe(flash);
    EXPECT_EQ(converter.Counters().recordsAcked, 3u);
    const SimSnapshot snapshot = converter.Snapshot();
    EXPECT_EQ(Data(snapshot.image.begin(), snapshot.image.begin() + static_cast<long>(image.size())), image);
  }

  // Unplugged: absent again.
  TestbedRemoveUsb(testbed, "1-1");
  const CtlRun gone = RunCtl({"read"});
  EXPECT_EQ(gone.exitCode, 1) << Describe(gone);
  EXPECT_EQ(gone.err, std::string(MsgNoDevice) + "\n");
  TestbedDestroy(testbed);
}

// True when something was written to the tty whose master this is.
bool Heard(int master) {
  pollfd p{master, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

TEST(CtlInTestbed, AnUpdateFollowsTheConverterAndNeverAnotherDevice) {
  ScratchDir scratch;
  UMockdevTestbed* testbed = TestbedCreate();
  ASSERT_NE(testbed, nullptr);
  SimConverter converter;
  auto server = std::make_unique<SimServer>(converter, TestbedAddConverter(testbed), SimServeTerminal);
  WriteFile(scratch.path() + "/fw.bin", MakeImage(272 * 2));

  // While the converter switches its mode it re-enumerates: it comes back at
  // its place on the bus as ttyACM1, and another device is handed its old name.
  const auto flashWhile = [&](const std::function<void()>& replug) {
    const uint32_t enters = converter.Counters().updateEnters;
    Spawned ctl;
    EXPECT_TRUE(ctl.Start({CtlPath(), "flash", "fw.bin", "--settle-ms", "1500"}));
    EXPECT_TRUE(converter.WaitUntil([&](const SimCounters& c) { return c.updateEnters > enters; }, 10000));
    server.reset();
    replug();
    CtlRun flash;
    flash.exitCode = ctl.Finish(0, 30000);
    flash.out = ctl.out;
    flash.err = ctl.err;
    return flash;
  };
  int decoy = -1;
  const CtlRun moved = flashWhile([&] {
    TestbedRemoveUsb(testbed, "1-1");
    decoy = TestbedAddCdcAcm(testbed, "1-2", 0x2341, 0x0043, "ttyACM0");
    server = std::make_unique<SimServer>(converter, TestbedAddConverter(testbed, "1-1", "ttyACM1"), SimServeTerminal);
  });
  EXPECT_EQ(moved.exitCode, 0) << Describe(moved);
  EXPECT_EQ(converter.Counters().recordsAcked, 2u);
  EXPECT_FALSE(Heard(decoy)) << "the other device on ttyACM0 was written to";

  // Gone for good: nothing is sent anywhere.
  const CtlRun gone = flashWhile([&] { TestbedRemoveUsb(testbed, "1-1"); });
  EXPECT_EQ(gone.exitCode, 6) << Describe(gone);
  EXPECT_NE(gone.err.find(MsgPortReopenFailed), std::string::npos) << gone.err;
  EXPECT_FALSE(Heard(decoy));
  TestbedDestroy(testbed);
}

TEST(CtlInTestbed, RecordsOnALineAtTheConvertersSpeedAreAcknowledged) {
  // At 4800 baud a record is 583 ms on the line: the wait for its
  // acknowledgement starts when it has left, not when it was queued.
  ScratchDir scratch;
  UMockdevTestbed* testbed = TestbedCreate();
  ASSERT_NE(testbed, nullptr);
  SimConverter converter;
  converter.SetLineRate(480);
  {
    SimServer server(converter, TestbedAddConverter(testbed), SimServeTerminal);
    WriteFile(scratch.path() + "/fw.bin", MakeImage(272 * 2));
    const CtlRun flash = RunCtl({"flash", "fw.bin", "--settle-ms", "100"});
    EXPECT_EQ(flash.exitCode, 0) << Describe(flash);
    EXPECT_EQ(converter.Counters().recordsAcked, 2u);
  }
  TestbedDestroy(testbed);
}

}  // namespace

int main(int argc, char** argv) {
  if (!TestbedUnderWrapper()) {
    std::printf("umockdev's preload library is not active: run this under umockdev-wrapper\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
