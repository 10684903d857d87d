#include "platform/process.h"

#include <windows.h>

#include <cerrno>

#include "platform/system_error_win32.h"
#include "platform/text_win32.h"

namespace {

// One argument as the C runtime's parser takes it back: in quotes when it
// holds blanks or quotes (or is empty), a quote escaped with a backslash, and
// the backslashes before a quote or the closing one doubled.
std::wstring Quoted(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos) return argument;
  std::wstring out = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    out += c;
  }
  out.append(backslashes * 2, L'\\');
  return out + L"\"";
}

// The system's code of the last failure, noted, as an errno value.
int Failed() { return SystemErrorNote(GetLastError(), EIO); }

// An inheritable copy of one of this process's standard handles, or nullptr.
HANDLE InheritableCopy(DWORD which) {
  const HANDLE own = GetStdHandle(which);
  HANDLE copy = nullptr;
  if (own == nullptr || own == INVALID_HANDLE_VALUE ||
      !DuplicateHandle(GetCurrentProcess(), own, GetCurrentProcess(), &copy, 0, TRUE, DUPLICATE_SAME_ACCESS))
    return nullptr;
  return copy;
}

}  // namespace

std::string PlatformSelfPath() {
  wchar_t path[MAX_PATH * 4];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
  return length > 0 && length < MAX_PATH * 4 ? Utf8FromWide(path, length) : std::string();
}

std::string PlatformProgramBeside(const std::string& name) {
  const std::string self = PlatformSelfPath();
  return self.empty() ? self : self.substr(0, self.find_last_of("\\/") + 1) + name + ".exe";
}

int PlatformChildStart(const std::string& program, const std::vector<std::string>& arguments, PlatformChild& child) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE readEnd = nullptr;
  HANDLE writeEnd = nullptr;
  if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) return Failed();
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
  // Its standard input: the stop channel, whose writing end stays here only.
  HANDLE inputRead = nullptr;
  HANDLE inputWrite = nullptr;
  if (!CreatePipe(&inputRead, &inputWrite, &inherit, 0)) {
    const int error = Failed();
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return error;
  }
  SetHandleInformation(inputWrite, HANDLE_FLAG_INHERIT, 0);

  std::wstring commandLine;
  for (const std::string& argument : arguments) commandLine += (commandLine.empty() ? L"" : L" ") + Quoted(WideFromUtf8(argument));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = inputRead;
  startup.hStdOutput = writeEnd;
  startup.hStdError = InheritableCopy(STD_ERROR_HANDLE);
  PROCESS_INFORMATION started{};
  // The same console: its Ctrl+C reaches the worker too. A window has none,
  // and a console program it starts would open a console window of its own.
  const DWORD flags = GetConsoleWindow() == nullptr && GetConsoleCP() == 0 ? CREATE_NO_WINDOW : 0;
  const BOOL ok = CreateProcessW(WideFromUtf8(program).c_str(), commandLine.data(), nullptr, nullptr, TRUE, flags,
                                 nullptr, nullptr, &startup, &started);
  const int error = ok ? 0 : Failed();
  CloseHandle(writeEnd);
  CloseHandle(inputRead);
  if (startup.hStdError != nullptr) CloseHandle(startup.hStdError);
  if (!ok) {
    CloseHandle(readEnd);
    CloseHandle(inputWrite);
    return error;
  }
  CloseHandle(started.hThread);
  child.process = reinterpret_cast<intptr_t>(started.hProcess);
  child.output = reinterpret_cast<intptr_t>(readEnd);
  child.input = reinterpret_cast<intptr_t>(inputWrite);
  return 0;
}

void PlatformChildStop(PlatformChild& child) {
  if (child.input == -1) return;
  CloseHandle(reinterpret_cast<HANDLE>(child.input));
  child.input = -1;
}

void PlatformChildKill(PlatformChild& child) {
  if (child.process != -1) TerminateProcess(reinterpret_cast<HANDLE>(child.process), 1);
}

int PlatformChildRead(PlatformChild& child, std::string& text) {
  if (child.output == -1) return -1;
  const HANDLE pipe = reinterpret_cast<HANDLE>(child.output);
  bool got = false;
  for (;;) {
    // An anonymous pipe cannot be read without waiting: ask what is there first.
    DWORD waiting = 0;
    if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) break;  // the child closed it
    if (waiting == 0) return got ? 1 : 0;
    char buffer[4096];
    DWORD n = 0;
    if (!ReadFile(pipe, buffer, waiting < sizeof buffer ? waiting : sizeof buffer, &n, nullptr) || n == 0) break;
    text.append(buffer, n);
    got = true;
  }
  CloseHandle(pipe);
  child.output = -1;
  return got ? 1 : -1;
}

bool PlatformChildEnded(PlatformChild& child, int& exitCode) {
  if (child.process == -1) return true;
  const HANDLE process = reinterpret_cast<HANDLE>(child.process);
  if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0) return false;
  DWORD code = 0;
  exitCode = GetExitCodeProcess(process, &code) ? static_cast<int>(code) : 127;
  CloseHandle(process);
  child.process = -1;
  PlatformChildStop(child);
  return true;
}
