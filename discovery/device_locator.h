#pragma once
// Finds the converters' serial ports: the instances of USB device 16C0:4E04
// that the system records (platform/serial_ports.h), each with its port name,
// are taken in the system's order, and those whose port name is among the
// ports present right now (ComPortList, rebuilt by every search) are the
// converters plugged in; the first of them is the window's.

#include <cstddef>
#include <cstdint>

#include "discovery/com_port_list.h"
#include "platform/serial_ports.h"
#include "ports/port_table.h"

constexpr uint16_t ConverterUsbVendor = 0x16C0;
constexpr uint16_t ConverterUsbProduct = 0x4E04;

// A converter found: its port as the search gives it, and who it is. The
// port holds any name the port layer takes: a converter served behind a
// network port is known by that name alone.
struct ConverterPort {
  char port[PortNameSize];      // empty for one plugged in without a serial port (LocateConvertersPlugged)
  char serial[SerialIdSize];    // its USB serial number; empty when it has none
  char location[SerialIdSize];  // where it is plugged in ("1-1.3", "Port_#0003.Hub_#0001"); empty when not known
};

constexpr int32_t ConverterListCapacity = SerialUsbInstanceCapacity;

struct ConverterList {
  int32_t count = 0;
  ConverterPort converters[ConverterListCapacity];
};

// Runs one complete search: every converter whose port is present, in the
// search's order.
void LocateConverters(ConverterList& list);

// The same, and in their places among them also the converters plugged in
// without a serial port (no driver bound to them), with an empty port. Only
// where the system tells an instance plugged in now from one it merely
// remembers: on Linux.
void LocateConvertersPlugged(ConverterList& list);

// True when converter is the one asked for: its serial number is serial and
// its location is location; an empty one of the two matches any.
bool ConverterMatches(const ConverterPort& converter, const char* serial, const char* location);

// Keeps only the converters that match, in their order.
void ConverterListKeep(ConverterList& list, const char* serial, const char* location);

// Runs one complete search. Returns 1 and the first converter's port name
// (terminated) when one is present, else 0 and an empty string. A found name
// has at most 19 characters, so a buffer of ComPortNameSize (20) always holds
// it; with a smaller buffer the search reports 0.
int LocateDevicePort(char* portName, size_t size);

// The converter whose port name (as the search gives it, or the same with
// "/dev/" before it) is name at this moment; false when name is no present
// converter's port.
bool LocateConverterOnPort(const char* name, ConverterPort& converter);

// Where a converter seen before is now, after it went away and came back (the
// update's mode switch re-enumerates it, and the kernel may give its old name
// to another device meanwhile): the converter with its serial number (of
// several such, the one at its old place), or, when it has none, the one at
// its place. false when it is not there, or it had neither to be known by.
bool LocateConverterAgain(const ConverterPort& before, ConverterPort& now);

// What a search that finds no port of the converter still sees: the
// 16C0:4E04 instances the system records, and the port name the first of
// them carries (empty when none has one: no driver bound), which is then not
// among the ports present.
struct ConverterSighting {
  int32_t instances = 0;
  char port[200] = "";
};
void LocateDeviceSighting(ConverterSighting& sighting);
