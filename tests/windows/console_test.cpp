// rs485ctl.exe on a Windows console: its messages are UTF-8, so it switches
// the console it shares with its caller to UTF-8 output before it writes.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "wine.h"

namespace {

TEST(Console, Rs485ctlShowsUtf8) {
  // A Russian system's console code page, on the console a test runner gives,
  // else on one of our own.
  if (!SetConsoleOutputCP(866)) {
    FreeConsole();
    AllocConsole();
  }
  if (!SetConsoleOutputCP(866) && UnderWine())
    GTEST_SKIP() << "Wine without a terminal gives no console whose code page can be set";
  ASSERT_EQ(GetConsoleOutputCP(), 866u) << GetLastError();
  std::string command = std::string("Z:") + RS485CTL_EXE + " --help";
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
      << GetLastError();
  ASSERT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(GetConsoleOutputCP(), static_cast<UINT>(CP_UTF8));
}

}  // namespace
