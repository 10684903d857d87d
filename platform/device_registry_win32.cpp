#include "platform/device_registry.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

// On Windows the facts come from the system registry under HKEY_LOCAL_MACHINE
// (tests write the keys there); sysRoot is not used.
const RegistrySource RegistryDefault = {"", RegistryKernelMajorVersion};
RegistrySource Registry = RegistryDefault;

namespace {

constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

HKEY gPorts = nullptr;
HKEY gDevice = nullptr;
char gDevicePath[200];

int ResultOf(LSTATUS status) {
  if (status == ERROR_SUCCESS) return RegistryOk;
  if (status == ERROR_MORE_DATA) return RegistryTooLong;
  if (status == ERROR_NO_MORE_ITEMS || status == ERROR_FILE_NOT_FOUND) return RegistryNoEntry;
  return RegistryUnreadable;
}

int OpenKey(const char* path, HKEY* key) {
  return ResultOf(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key));
}

void CloseKey(HKEY* key) {
  if (*key != nullptr) RegCloseKey(*key);
  *key = nullptr;
}

// A value's data as text, ending at its first NUL and at the latest after
// the bytes the registry returned.
int TextOf(LSTATUS status, const BYTE* data, DWORD length, char* text, size_t size) {
  if (status != ERROR_SUCCESS) return ResultOf(status);
  size_t n = 0;
  while (n < length && data[n] != 0) ++n;
  if (n >= size) return RegistryTooLong;
  std::memcpy(text, data, n);
  text[n] = '\0';
  return RegistryOk;
}

}  // namespace

int32_t RegistryKernelMajorVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return 0;
  return static_cast<int32_t>(info.dwMajorVersion);
}

int32_t RegistryMajorVersion() { return Registry.majorVersion != nullptr ? Registry.majorVersion() : 0; }

int RegistrySerialPortsOpen() {
  CloseKey(&gPorts);
  const int r = OpenKey(kSerialComm, &gPorts);
  return r == RegistryOk ? r : RegistryUnreadable;
}

int RegistrySerialPortAt(int32_t index, char* name, size_t size) {
  if (gPorts == nullptr || index < 0) return RegistryNoEntry;
  // The registry's index order; a value whose name or data does not fit the
  // offered 80 characters is reported as too long.
  char valueName[80];
  DWORD valueNameSize = sizeof valueName;
  BYTE data[80];
  DWORD dataSize = sizeof data;
  const LSTATUS status = RegEnumValueA(gPorts, static_cast<DWORD>(index), valueName, &valueNameSize, nullptr,
                                       nullptr, data, &dataSize);
  return TextOf(status, data, dataSize, name, size);
}

int RegistrySerialPortByName(const char* valueName, char* name, size_t size) {
  if (gPorts == nullptr) return RegistryNoEntry;
  BYTE data[32];
  DWORD dataSize = sizeof data;
  const LSTATUS status = RegQueryValueExA(gPorts, valueName, nullptr, nullptr, data, &dataSize);
  return TextOf(status, data, dataSize, name, size);
}

void RegistrySerialPortsClose() { CloseKey(&gPorts); }

int RegistryUsbDeviceOpen(uint16_t vendor, uint16_t product) {
  CloseKey(&gDevice);
  std::snprintf(gDevicePath, sizeof gDevicePath, "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_%04X&PID_%04X",
                static_cast<unsigned>(vendor), static_cast<unsigned>(product));
  const int r = OpenKey(gDevicePath, &gDevice);
  return r == RegistryOk ? r : RegistryUnreadable;
}

int RegistryUsbInstanceAt(int32_t index, char* instance, size_t size) {
  if (gDevice == nullptr || index < 0) return RegistryNoEntry;
  char name[100];
  DWORD nameSize = sizeof name;
  const LSTATUS status =
      RegEnumKeyExA(gDevice, static_cast<DWORD>(index), name, &nameSize, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return ResultOf(status);
  return TextOf(status, reinterpret_cast<const BYTE*>(name), nameSize, instance, size);
}

int RegistryUsbInstancePort(const char* instance, char* port, size_t size) {
  if (gDevice == nullptr) return RegistryNoEntry;
  char path[300];
  const int n = std::snprintf(path, sizeof path, "%s\\%s\\Device Parameters", gDevicePath, instance);
  if (n < 0 || static_cast<size_t>(n) >= sizeof path) return RegistryNoEntry;
  HKEY parameters = nullptr;
  if (OpenKey(path, &parameters) != RegistryOk) return RegistryNoEntry;
  BYTE data[200];
  DWORD dataSize = sizeof data;
  const LSTATUS status = RegQueryValueExA(parameters, "PortName", nullptr, nullptr, data, &dataSize);
  CloseKey(&parameters);
  const int r = TextOf(status, data, dataSize, port, size);
  return r == RegistryUnreadable ? RegistryNoEntry : r;  // no port to be had
}

void RegistryUsbDeviceClose() { CloseKey(&gDevice); }
