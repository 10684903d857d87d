#include "platform/environment.h"

#include <windows.h>

#include <vector>

#include "platform/text_win32.h"

bool PlatformEnvironment(const char* name, std::string& value) {
  // The variable's own characters, not the code page's rendering of them: a
  // path in a Cyrillic folder must survive.
  const std::wstring wideName = WideFromUtf8(name);
  const DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
  if (size == 0) return false;
  std::vector<wchar_t> text(size);
  const DWORD length = GetEnvironmentVariableW(wideName.c_str(), text.data(), size);
  if (length >= size) return false;
  value = Utf8FromWide(text.data(), length);
  return true;
}

std::string PlatformComputerName() {
  wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
  DWORD length = MAX_COMPUTERNAME_LENGTH + 1;
  return GetComputerNameW(name, &length) ? Utf8FromWide(name, length) : std::string();
}

std::string PlatformUserName() {
  wchar_t name[257] = {};
  DWORD length = 257;
  // The length counts the terminating null.
  return GetUserNameW(name, &length) && length > 0 ? Utf8FromWide(name, length - 1) : std::string();
}
