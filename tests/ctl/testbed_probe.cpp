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
#include <thread>

#include "app/messages.h"
#include "ctl_fixture.h"
#include "discovery/converter_testbed.h"
#include "sim/sim_serve.h"
#include "support/scratch_dir.h"

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

}  // namespace

int main(int argc, char** argv) {
  if (!TestbedUnderWrapper()) {
    std::printf("umockdev's preload library is not active: run this under umockdev-wrapper\n");
    return 77;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
