// rs485ctl.exe flash stopped with Ctrl+C on its console: it tells the
// converter to leave its update mode, then ends with 130. The converter's side
// is COM22 of the test bed's null-modem pair; rs485ctl.exe talks to COM21.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "support/device_end.h"
#include "wine.h"

namespace {

using Bytes = std::vector<uint8_t>;

const Bytes kEnter = {0x60, 0x10, 0xFA, 0x49};
const Bytes kLeave = {0x60, 0x10, 0xF1, 0x5F};

// The test's own handler keeps it alive through the Ctrl+C it sends its
// console; rs485ctl.exe, started without one, handles the event itself.
BOOL WINAPI Survive(DWORD) { return TRUE; }

TEST(Interrupt, CtrlCDuringAnUpdateLeavesTheUpdateMode) {
  if (GetConsoleWindow() == nullptr && !AttachConsole(ATTACH_PARENT_PROCESS) && !AllocConsole())
    GTEST_SKIP() << "no console to send Ctrl+C on";
  DeviceEnd converter;
  FILE* image = std::fopen("interrupt.bin", "wb");
  ASSERT_NE(image, nullptr);
  const Bytes data(272 * 3, 0x5A);
  std::fwrite(data.data(), 1, data.size(), image);
  std::fclose(image);

  ASSERT_TRUE(SetConsoleCtrlHandler(Survive, TRUE));
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(StartOnThisConsole(std::string(RS485CTL_EXE) + " --port COM21 --settle-ms 2000 flash interrupt.bin",
                                 process))
      << GetLastError();
  // Asked to stop while the converter settles: it is told to leave once back.
  EXPECT_EQ(converter.Read(kEnter.size(), 10000), kEnter);
  ASSERT_TRUE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0)) << GetLastError();
  EXPECT_EQ(converter.Read(kLeave.size(), 10000), kLeave);
  EXPECT_EQ(ExitCodeOf(process, 10000), 130u);
  EXPECT_TRUE(converter.Read(1, 200).empty());  // no record after the request
}

}  // namespace
