#include "platform/serial_ports.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/serial.h"
#include "platform/system_error_win32.h"

// On Windows the facts come from the system registry under HKEY_LOCAL_MACHINE
// (tests write the keys there); sysRoot is not used.
const SerialPortsSource SerialPortsDefault = {"", SerialPortsKernelMajorVersion};
SerialPortsSource SerialPortsFrom = SerialPortsDefault;

namespace {

constexpr char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// Opens a key of HKEY_LOCAL_MACHINE; 0, or the registry's reason in errno
// terms (noted for SystemErrorOf) with key left null.
int OpenKey(const char* path, HKEY& key) {
  key = nullptr;
  const LSTATUS status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
  if (status == ERROR_SUCCESS) return 0;
  key = nullptr;
  const DWORD code = static_cast<DWORD>(status);
  const int error = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND ? ENOENT
                    : code == ERROR_ACCESS_DENIED                                ? EACCES
                                                                                  : EIO;
  return SystemErrorNote(code, error);
}

// A value's data as text, ending at its first NUL and at the latest after the
// bytes the registry returned; a longer text is cut to what the record holds.
void TextOf(const BYTE* data, DWORD length, char* text, size_t size) {
  size_t n = 0;
  while (n < length && data[n] != 0) ++n;
  if (n >= size) n = size - 1;
  std::memcpy(text, data, n);
  text[n] = '\0';
}

// A text value of key (REG_SZ); empty when there is none.
void ReadValue(HKEY key, const char* subKey, const char* value, char* text, size_t size) {
  text[0] = '\0';
  HKEY opened = subKey != nullptr ? nullptr : key;
  if (subKey != nullptr && RegOpenKeyExA(key, subKey, 0, KEY_READ, &opened) != ERROR_SUCCESS) return;
  BYTE data[SerialNameSize];
  DWORD dataSize = sizeof data;
  if (RegQueryValueExA(opened, value, nullptr, nullptr, data, &dataSize) == ERROR_SUCCESS)
    TextOf(data, dataSize, text, size);
  if (opened != key) RegCloseKey(opened);
}

void SetName(SerialPortRecord& record, const char* name) {
  std::snprintf(record.name, sizeof record.name, "%s", name);
  if (record.name[0] == '\0' || !SerialDevicePath(record.name, record.path, sizeof record.path))
    record.path[0] = '\0';
}

}  // namespace

int32_t SerialPortsKernelMajorVersion() {
  OSVERSIONINFOA info{};
  info.dwOSVersionInfoSize = sizeof info;
  if (!GetVersionExA(&info)) return 0;
  return static_cast<int32_t>(info.dwMajorVersion);
}

int32_t SerialPortsMajorVersion() {
  return SerialPortsFrom.majorVersion != nullptr ? SerialPortsFrom.majorVersion() : 0;
}

int SerialPortsPresent(SerialPortTable& table) {
  table.count = 0;
  table.named = true;
  HKEY ports = nullptr;
  if (const int error = OpenKey(kSerialComm, ports); error != 0) return error;
  // The registry's index order. A value whose name or data does not fit keeps
  // its place with an empty name.
  for (DWORD index = 0; table.count < SerialPortTableCapacity; ++index) {
    SerialPortRecord& record = table.records[table.count];
    record = SerialPortRecord{};
    DWORD nameSize = sizeof record.listedAs;
    BYTE data[SerialNameSize];
    DWORD dataSize = sizeof data;
    const LSTATUS status =
        RegEnumValueA(ports, index, record.listedAs, &nameSize, nullptr, nullptr, data, &dataSize);
    if (status == ERROR_NO_MORE_ITEMS) break;
    if (status == ERROR_SUCCESS) {
      char name[SerialNameSize];
      TextOf(data, dataSize, name, sizeof name);
      SetName(record, name);
    } else if (status != ERROR_MORE_DATA) {
      break;  // the key went away meanwhile
    } else {
      record.listedAs[0] = '\0';
    }
    ++table.count;
  }
  RegCloseKey(ports);
  return SerialPortsOk;
}

int SerialPortsOfUsbDevice(uint16_t vendor, uint16_t product, SerialPortTable& table) {
  table.count = 0;
  table.named = true;
  char devicePath[100];
  std::snprintf(devicePath, sizeof devicePath, "SYSTEM\\CurrentControlSet\\Enum\\USB\\VID_%04X&PID_%04X",
                static_cast<unsigned>(vendor), static_cast<unsigned>(product));
  HKEY device = nullptr;
  if (const int error = OpenKey(devicePath, device); error != 0) return error;
  for (DWORD index = 0; table.count < SerialUsbInstanceCapacity; ++index) {
    SerialPortRecord& record = table.records[table.count];
    record = SerialPortRecord{};
    DWORD nameSize = sizeof record.usbInstance;
    const LSTATUS status =
        RegEnumKeyExA(device, index, record.usbInstance, &nameSize, nullptr, nullptr, nullptr, nullptr);
    if (status == ERROR_MORE_DATA) continue;
    // The end, or a listing that cannot be read any more (the key was removed
    // meanwhile): every later index would fail the same way.
    if (status != ERROR_SUCCESS) break;
    record.usbVendor = vendor;
    record.usbProduct = product;
    HKEY instance = nullptr;
    if (RegOpenKeyExA(device, record.usbInstance, 0, KEY_READ, &instance) == ERROR_SUCCESS) {
      char port[SerialNameSize];
      ReadValue(instance, "Device Parameters", "PortName", port, sizeof port);
      SetName(record, port);
      ReadValue(instance, nullptr, "LocationInformation", record.usbLocation, sizeof record.usbLocation);
      RegCloseKey(instance);
    }
    // Windows names the instance after the device's serial number; a device
    // without one gets a made-up name, which always holds an '&'.
    if (std::strchr(record.usbInstance, '&') == nullptr)
      std::snprintf(record.usbSerial, sizeof record.usbSerial, "%s", record.usbInstance);
    ++table.count;
  }
  RegCloseKey(device);
  return SerialPortsOk;
}
