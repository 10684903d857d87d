#pragma once
// The device registry as the port discovery reads it. On Windows
// (device_registry_win32.cpp) that is the system registry: the values of
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM in the registry's order, the instances
// under HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_vvvv&PID_pppp with the
// PortName of each one's Device Parameters, the version from GetVersionExA.
// On Linux (device_registry_sysfs.cpp) it is read from sysfs:
//   - the serial ports present: the entries of class/tty backed by a device (a
//     `device` link), without serial-core ports whose `type` is 0 (the phantom
//     8250 ports every PC lists) and without virtual consoles; a port's name is
//     the tty's name (ttyACM0, ttyUSB0, ttyS0), opened as /dev/NAME;
//   - the instances of a USB device (bus/usb/devices entries with the wanted
//     idVendor and idProduct), each with the tty bound to one of its interfaces:
//     a CDC-ACM tty directly under the interface (…:1.0/tty/ttyACM0), a
//     usb-serial tty one level deeper (…:1.0/ttyUSB0/tty/ttyUSB0);
//   - the kernel's major version.
//
// Both lists are read in a stable order (names in byte order) into fixed
// snapshots when they are opened, and read by index until they are closed.
// Used from one thread.

#include <cstddef>
#include <cstdint>

// Where the facts come from. The default reads the sysfs under "/sys" and the
// running kernel's version; tests point sysRoot at a tree of their own. On
// Windows sysRoot is not used: tests write the registry keys themselves.
struct RegistrySource {
  const char* sysRoot;
  int32_t (*majorVersion)();
};

extern RegistrySource Registry;

// The source Registry starts with, for a test to go back to.
extern const RegistrySource RegistryDefault;

// Results.
constexpr int RegistryOk = 0;
constexpr int RegistryNoEntry = 1;     // nothing at that index or under that name
constexpr int RegistryTooLong = 2;     // the name does not fit the caller's buffer
constexpr int RegistryUnreadable = 3;  // that piece of the tree cannot be read

// A snapshot keeps the first entries in byte order; more are not looked at.
constexpr int32_t RegistryPortCapacity = 128;
constexpr int32_t RegistryInstanceCapacity = 32;

// Major version of the running kernel (6 for "6.1.0-18-amd64"); 0 when unknown.
int32_t RegistryKernelMajorVersion();

// The source's major version.
int32_t RegistryMajorVersion();

// Takes a snapshot of the serial ports present. RegistryUnreadable when class/tty
// cannot be read; the snapshot then stays closed.
int RegistrySerialPortsOpen();

// Name of the port at index (0 = first in byte order) of the open snapshot.
int RegistrySerialPortAt(int32_t index, char* name, size_t size);

// The port stored under a name of the form COMn (n = 1, 2, … in decimal, no
// leading zero): the n-th port of the open snapshot. Any other name has no entry.
int RegistrySerialPortByName(const char* valueName, char* name, size_t size);

void RegistrySerialPortsClose();

// Takes a snapshot of the instances of the USB device vendor:product.
// RegistryUnreadable when bus/usb/devices cannot be read.
int RegistryUsbDeviceOpen(uint16_t vendor, uint16_t product);

// Name of the instance at index of the open snapshot (e.g. "1-1.4").
// RegistryNoEntry past the last one; RegistryTooLong when the name does not
// fit size (a later one may); RegistryUnreadable when the listing cannot be
// read any more (on Windows its key was removed meanwhile), and then no later
// index can be read either.
int RegistryUsbInstanceAt(int32_t index, char* instance, size_t size);

// Port name of an instance: the first tty (interfaces and ttys in byte order)
// bound to one of its interfaces. RegistryNoEntry when the instance has no
// interface or no tty (not configured, no driver bound) or does not exist.
int RegistryUsbInstancePort(const char* instance, char* port, size_t size);

void RegistryUsbDeviceClose();
