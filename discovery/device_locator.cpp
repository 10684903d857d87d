#include "discovery/device_locator.h"

#include <cstdio>
#include <cstring>

namespace {

// An instance's name and its port name are taken in buffers of these sizes; an
// instance whose name or port does not fit is passed over.
constexpr size_t kInstanceNameSize = 100;
constexpr size_t kPortNameSize = 200;

SerialPortTable gInstances;

// The entry of ComPortList that equals the name exactly, byte for byte, or -1.
int32_t FindPresent(const char* name) {
  const size_t length = strnlen(name, ComPortNameSize);
  if (length >= ComPortNameSize) return -1;  // entries hold at most 19 characters
  for (int32_t k = 0; k < ComPortList.count; ++k)
    if (std::memcmp(ComPortList.names[k], name, length + 1) == 0) return k;
  return -1;
}

// Calls found(entry of ComPortList, instance) for each present port of a
// converter instance, in the system's order, until it returns true; with
// portless, also found(-1, instance) for each instance plugged in without a
// port. Rebuilds the list.
template <class Found>
void ForEachConverterPort(Found found, bool portless = false) {
  ComPortListBuild();
  if (SerialPortsOfUsbDevice(ConverterUsbVendor, ConverterUsbProduct, gInstances) != SerialPortsOk) return;
  for (int32_t index = 0; index < gInstances.count; ++index) {
    const SerialPortRecord& instance = gInstances.records[index];
    // A name that does not fit: the next instance may be the converter. An
    // instance without a port (not configured, no driver bound) is passed
    // over unless asked for, and so is one whose port is not present.
    if (strnlen(instance.usbInstance, kInstanceNameSize) >= kInstanceNameSize) continue;
    if (instance.name[0] == '\0') {
      if (portless && instance.usbPlugged && found(-1, instance)) break;
      continue;
    }
    if (strnlen(instance.name, kPortNameSize) >= kPortNameSize) continue;
    const int32_t k = FindPresent(instance.name);
    if (k >= 0 && found(k, instance)) break;
  }
}

ConverterPort ConverterOf(int32_t k, const SerialPortRecord& instance) {
  ConverterPort converter{};
  if (k >= 0) std::memcpy(converter.port, ComPortList.names[k], ComPortNameSize);
  std::snprintf(converter.serial, sizeof converter.serial, "%s", instance.usbSerial);
  std::snprintf(converter.location, sizeof converter.location, "%s", instance.usbLocation);
  return converter;
}

bool Same(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

void CollectConverters(ConverterList& list, bool portless) {
  list.count = 0;
  ForEachConverterPort(
      [&](int32_t k, const SerialPortRecord& instance) {
        list.converters[list.count++] = ConverterOf(k, instance);
        return list.count >= ConverterListCapacity;
      },
      portless);
}

}  // namespace

void LocateConverters(ConverterList& list) { CollectConverters(list, false); }

void LocateConvertersPlugged(ConverterList& list) { CollectConverters(list, true); }

bool ConverterMatches(const ConverterPort& converter, const char* serial, const char* location) {
  return (serial == nullptr || serial[0] == '\0' || Same(converter.serial, serial)) &&
         (location == nullptr || location[0] == '\0' || Same(converter.location, location));
}

void ConverterListKeep(ConverterList& list, const char* serial, const char* location) {
  int32_t kept = 0;
  for (int32_t k = 0; k < list.count; ++k)
    if (ConverterMatches(list.converters[k], serial, location)) list.converters[kept++] = list.converters[k];
  list.count = kept;
}

int LocateDevicePort(char* portName, size_t size) {
  if (portName != nullptr && size > 0) portName[0] = '\0';
  int located = 0;
  ForEachConverterPort([&](int32_t k, const SerialPortRecord&) {
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

bool LocateConverterOnPort(const char* name, ConverterPort& converter) {
  if (std::strncmp(name, "/dev/", 5) == 0) name += 5;
  bool is = false;
  ForEachConverterPort([&](int32_t k, const SerialPortRecord& instance) {
    is = Same(ComPortList.names[k], name);
    if (is) converter = ConverterOf(k, instance);
    return is;
  });
  return is;
}

bool LocateConverterAgain(const ConverterPort& before, ConverterPort& now) {
  if (before.serial[0] == '\0' && before.location[0] == '\0') return false;
  ConverterList list;
  LocateConverters(list);
  // A serial number is the converter's own; its place only tells apart two
  // that share one.
  ConverterListKeep(list, before.serial, nullptr);
  if (before.serial[0] == '\0' || list.count > 1) ConverterListKeep(list, nullptr, before.location);
  if (list.count == 0) return false;
  now = list.converters[0];
  return true;
}

void LocateDeviceSighting(ConverterSighting& sighting) {
  sighting = ConverterSighting{};
  if (SerialPortsOfUsbDevice(ConverterUsbVendor, ConverterUsbProduct, gInstances) != SerialPortsOk) return;
  sighting.instances = gInstances.count;
  for (int32_t index = 0; index < gInstances.count && sighting.port[0] == '\0'; ++index)
    if (strnlen(gInstances.records[index].name, sizeof sighting.port) < sizeof sighting.port)
      std::snprintf(sighting.port, sizeof sighting.port, "%s", gInstances.records[index].name);
}
