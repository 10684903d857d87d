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

// Calls found(entry of ComPortList) for each present port of a converter
// instance, in the registry's order, until it returns true. Rebuilds the list.
template <class Found>
void ForEachConverterPort(Found found) {
  ComPortListBuild();
  if (RegistryUsbDeviceOpen(ConverterUsbVendor, ConverterUsbProduct) != RegistryOk) return;
  for (int32_t index = 0;; ++index) {
    char instance[kInstanceNameSize];
    const int r = RegistryUsbInstanceAt(index, instance, sizeof instance);
    if (r == RegistryTooLong) continue;  // a name that does not fit: the next instance may be the converter
    // The end, or a listing that cannot be read (its key removed meanwhile):
    // every later index would fail the same way.
    if (r != RegistryOk) break;

    // An instance without a port (not configured, no driver bound) is passed
    // over, and so is one whose port is not present.
    char port[kPortNameSize];
    if (RegistryUsbInstancePort(instance, port, sizeof port) != RegistryOk) continue;
    const int32_t k = FindPresent(port);
    if (k >= 0 && found(k)) break;
  }
  RegistryUsbDeviceClose();
}

}  // namespace

int LocateDevicePort(char* portName, size_t size) {
  if (portName != nullptr && size > 0) portName[0] = '\0';
  int located = 0;
  ForEachConverterPort([&](int32_t k) {
    const size_t length = std::strlen(ComPortList.names[k]);
    // A caller's buffer that cannot hold the name ends the search unfound.
    if (portName != nullptr && length < size) {
      std::memcpy(portName, ComPortList.names[k], length + 1);
      located = 1;
    }
    return true;
  });
  return located;
}

int DevicePortIsConverter(const char* name) {
  if (std::strncmp(name, "/dev/", 5) == 0) name += 5;
  int is = 0;
  ForEachConverterPort([&](int32_t k) {
    is = std::strcmp(ComPortList.names[k], name) == 0 ? 1 : 0;
    return is == 1;
  });
  return is;
}

void LocateDeviceSighting(ConverterSighting& sighting) {
  sighting = ConverterSighting{};
  if (RegistryUsbDeviceOpen(ConverterUsbVendor, ConverterUsbProduct) != RegistryOk) return;
  char instance[kInstanceNameSize];
  for (int32_t index = 0; RegistryUsbInstanceAt(index, instance, sizeof instance) != RegistryNoEntry; ++index) {
    ++sighting.instances;
    if (sighting.port[0] == '\0' && RegistryUsbInstancePort(instance, sighting.port, sizeof sighting.port) != RegistryOk)
      sighting.port[0] = '\0';
  }
  RegistryUsbDeviceClose();
}
