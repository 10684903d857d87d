// rs485ctl.exe on a Windows console: its Russian text reaches the console as
// characters whatever the console's code page, and the code page it found is
// the one it leaves.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "wine.h"

namespace {

// What the console's screen buffer shows, row after row.
std::wstring ScreenText() {
  const HANDLE screen = GetStdHandle(STD_OUTPUT_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (!GetConsoleScreenBufferInfo(screen, &info)) return std::wstring();
  std::wstring text(static_cast<size_t>(info.dwSize.X) * static_cast<size_t>(info.dwSize.Y), L' ');
  DWORD read = 0;
  ReadConsoleOutputCharacterW(screen, text.data(), static_cast<DWORD>(text.size()), COORD{0, 0}, &read);
  text.resize(read);
  return text;
}

TEST(Console, Rs485ctlShowsRussianAndLeavesTheCodePage) {
  // A Russian system's console code page, on the console a test runner gives,
  // else on one of our own.
  if (!SetConsoleOutputCP(866)) {
    FreeConsole();
    AllocConsole();
  }
  if (!SetConsoleOutputCP(866) && UnderWine())
    GTEST_SKIP() << "Wine without a terminal gives no console whose code page can be set";
  ASSERT_EQ(GetConsoleOutputCP(), 866u) << GetLastError();
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(StartOnThisConsole(std::string(RS485CTL_EXE) + " --help", process)) << GetLastError();
  EXPECT_EQ(ExitCodeOf(process, 30000), 0u);
  EXPECT_EQ(GetConsoleOutputCP(), 866u);
  EXPECT_NE(ScreenText().find(L"Использование: rs485ctl"), std::wstring::npos);
}

}  // namespace
