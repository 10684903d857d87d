#pragma once
// The serial ports the system knows of, as plain records: the ports it lists
// as present, and the ports of the instances of one USB device, each with the
// device's identity (serial number, place on the bus). Each system fills them
// from its own source; which of them count for the converter, how many, in
// what order and which one the window takes is the search's (discovery/).
//
// On Linux (serial_ports_sysfs.cpp) from sysfs:
//   - present: the entries of class/tty backed by a device (a `device` link),
//     without serial-core ports whose `type` is 0 (the phantom 8250 ports
//     every PC lists) and without virtual consoles, names in byte order;
//   - a USB device's instances: the bus/usb/devices entries with the wanted
//     idVendor and idProduct, in byte order, each with the tty bound to one of
//     its interfaces (…:1.0/tty/ttyACM0 for CDC-ACM, …:1.0/ttyUSB0/tty/ttyUSB0
//     for usb-serial), its `serial` attribute, and its name, which is its
//     place on the bus (1-1.3: bus 1, port 1 of the root hub, port 3 of the
//     hub there).
// On Windows (serial_ports_win32.cpp) from the registry:
//   - present: the values of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM in the
//     registry's order, each under its value name;
//   - a USB device's instances: the keys under
//     HKLM\SYSTEM\CurrentControlSet\Enum\USB\VID_vvvv&PID_pppp, each with the
//     PortName of its Device Parameters and its LocationInformation
//     ("Port_#0003.Hub_#0001"); the key's name is the device's serial number
//     when it has one, a name Windows makes up (holding '&') otherwise.
// Used from one thread.

#include <cstddef>
#include <cstdint>

// Names keep at most 255 bytes: longer than any name the search takes, so a
// name cut here is refused there as the whole one would be.
constexpr size_t SerialNameSize = 256;
constexpr size_t SerialPathSize = 272;
constexpr size_t SerialIdSize = 128;  // a serial number or a location

struct SerialPortRecord {
  // The port's name ("ttyACM0", "COM5"), opened as path ("/dev/ttyACM0",
  // "\\.\COM5"). Empty for a USB instance without a port (not configured, no
  // driver bound), and for an entry of the present list the system could not
  // give whole (it keeps its place in the order).
  char name[SerialNameSize];
  char path[SerialPathSize];
  // The name of its entry in the system's list of ports present: Windows names
  // each one ("\Device\USBSER000"); Linux' list has no names, this stays empty.
  char listedAs[SerialNameSize];
  // The USB instance a port of SerialPortsOfUsbDevice belongs to; empty in
  // the present list.
  uint16_t usbVendor;
  uint16_t usbProduct;
  char usbInstance[SerialNameSize];  // "1-1.3"; on Windows the instance key's name
  char usbSerial[SerialIdSize];      // empty when the device has no serial number
  char usbLocation[SerialIdSize];    // "1-1.3", "Port_#0003.Hub_#0001"; empty when unknown
  // The system says the instance is plugged in now: sysfs lists only those;
  // the registry keeps the instances of devices unplugged long ago as well,
  // so on Windows this stays false (an instance whose port the system lists
  // is plugged in all the same).
  bool usbPlugged;
};

constexpr int32_t SerialPortTableCapacity = 128;

struct SerialPortTable {
  int32_t count;
  // True when the system names the entries of its present list (listedAs).
  bool named;
  SerialPortRecord records[SerialPortTableCapacity];
};

// Where the facts come from. The default reads the sysfs under "/sys" and the
// running kernel's version; tests point sysRoot at a tree of their own. On
// Windows sysRoot is not used: tests write the registry keys themselves.
struct SerialPortsSource {
  const char* sysRoot;
  int32_t (*majorVersion)();
};

extern SerialPortsSource SerialPortsFrom;
extern const SerialPortsSource SerialPortsDefault;

// 0, or the system's code (in errno terms) of a list that cannot be read; the
// table is then empty.
constexpr int SerialPortsOk = 0;

// Major version of the running system (6 for Linux "6.1.0-18-amd64"); 0 when unknown.
int32_t SerialPortsKernelMajorVersion();

// The source's major version.
int32_t SerialPortsMajorVersion();

// The ports the system lists as present, in its order; the first 128 of them.
int SerialPortsPresent(SerialPortTable& table);

// The instances of USB device vendor:product in the system's order, the first
// 32 of them, each with its port: also those without a port, and those whose
// port the system does not list. When the listing stops being readable (on
// Windows its key was removed meanwhile) the instances read so far are kept.
constexpr int32_t SerialUsbInstanceCapacity = 32;
int SerialPortsOfUsbDevice(uint16_t vendor, uint16_t product, SerialPortTable& table);
