#include "discovery/device_locator.h"

#include <cstring>

#include "discovery/com_port_list.h"
#include "platform/device_registry.h"

namespace {

constexpr size_t kInstanceNameSize = 100;
constexpr size_t kPortNameSize = 200;

// The entry of ComPortList that equals the name exactly, byte for byte, or -1.
int32_t FindPresent(const char* name) {
  const size_t length = strnlen(name, ComPortNameSize);
  if (length >= ComPortNameSize) return -1;  // entries hold at most 19 characters
  for (int32_t k = 0; k < ComPortList.count; ++k)
    if (std::memcmp(ComPortList.names[k], name, length + 1) == 0) return k;
  return -1;
}

}  // namespace

int LocateDevicePort(char* portName, size_t size) {
  ComPortListBuild();
  if (portName != nullptr && size > 0) portName[0] = '\0';

  if (RegistryUsbDeviceOpen(ConverterUsbVendor, ConverterUsbProduct) != RegistryOk) return 0;
  int found = 0;
  for (int32_t index = 0; found == 0; ++index) {
    char instance[kInstanceNameSize];
    const int r = RegistryUsbInstanceAt(index, instance, sizeof instance);
    if (r == RegistryNoEntry) break;
    if (r != RegistryOk) continue;  // a name that does not fit: the next instance may be the converter

    // An instance without a port (not configured, no driver bound) is passed
    // over, and so is one whose port is not present.
    char port[kPortNameSize];
    if (RegistryUsbInstancePort(instance, port, sizeof port) != RegistryOk) continue;
    const int32_t k = FindPresent(port);
    if (k < 0) continue;
    const size_t length = std::strlen(ComPortList.names[k]);
    if (portName != nullptr && length < size) {
      std::memcpy(portName, ComPortList.names[k], length + 1);
      found = 1;
    } else {
      break;  // the caller's buffer cannot hold the name
    }
  }
  RegistryUsbDeviceClose();
  return found;
}
