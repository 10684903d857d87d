#pragma once
// Finds the converter's serial port: the instances of USB device 16C0:4E04 that
// the registry records, each with its port name, are taken in the registry's
// order, and the first whose port name is among the ports present right now
// (ComPortList, rebuilt by every search) is the converter's port.

#include <cstddef>
#include <cstdint>

constexpr uint16_t ConverterUsbVendor = 0x16C0;
constexpr uint16_t ConverterUsbProduct = 0x4E04;

// Runs one complete search. Returns 1 and the port name (terminated) when the
// converter's port is present, else 0 and an empty string. A found name has at
// most 19 characters, so a buffer of ComPortNameSize (20) always holds it; with
// a smaller buffer the search reports 0.
int LocateDevicePort(char* portName, size_t size);

// 1 when name (a port name as the search gives it, or the same with "/dev/"
// before it) is at this moment the port of a 16C0:4E04 instance that is
// present, else 0. Rebuilds ComPortList like a search.
int DevicePortIsConverter(const char* name);

// What a search that finds no port of the converter still sees: the
// 16C0:4E04 instances the registry records, and the port name the first of
// them carries (empty when none has one: no driver bound), which is then not
// among the ports present.
struct ConverterSighting {
  int32_t instances = 0;
  char port[200] = "";
};
void LocateDeviceSighting(ConverterSighting& sighting);
