#include <windows.h>

#include <cwchar>
#include <string>
#include <vector>

#include "platform/program_entry.h"
#include "platform/running_win32.h"
#include "platform/text_win32.h"

// The arguments as the user typed them, whatever the system's code page: a
// file in a Cyrillic folder keeps its name.
int wmain(int argc, wchar_t** argv) {
  RunningMarkHold();  // the installer leaves a running program alone
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) arguments.push_back(Utf8FromWide(argv[i], std::wcslen(argv[i])));
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return ProgramMain(argc, pointers.data());
}
