#pragma once
// A umockdev testbed in which the converter, and other serial devices beside it,
// appear as Linux presents them: USB devices, interfaces and ttys in /sys, and
// /dev/<tty> nodes backed by pseudo-terminals. For tests and demonstrations.
//
// Works only in a process started under umockdev-wrapper: its preload library
// turns the process's /sys and /dev into the testbed's, and programs started
// from that process see the same testbed. The code under test then finds and
// opens the devices through its ordinary paths (/sys, /dev/ttyACM0).
//
// Every tty node passes ioctl requests through to its pseudo-terminal, so that
// exclusive opening (TIOCEXCL), FIONREAD and the modem-line requests behave as
// on a pseudo-terminal; umockdev alone refuses them with ENOTTY.

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "sim/sim_serve.h"

typedef struct _UMockdevTestbed UMockdevTestbed;

// True when umockdev's preload library is active in this process.
bool TestbedUnderWrapper();

// Starts this program again, with the same arguments (argv as main got it),
// under umockdev-wrapper. Returns only when that failed: the errno value.
int TestbedRunUnderWrapper(char** argv);

// A new testbed holding a USB root hub (usb1, 1d6b:0002) and nothing else, or
// nullptr. Destroying it removes its folder.
UMockdevTestbed* TestbedCreate();
void TestbedDestroy(UMockdevTestbed* testbed);

// Each Add returns the master side of the new tty's pseudo-terminal (owned by
// the testbed, do not close it), or -1. usbName is the USB device's name on the
// root hub ("1-1", "1-2", …); the tty name ends in its minor number.

// The converter: USB device 16C0:4E04 with its CDC-ACM interface usbName:1.0 and
// the tty directly under it (…/1-1/1-1:1.0/tty/ttyACM0). usbName is also its
// place on the bus ("1-1.3": port 3 of the hub on port 1); serial its USB
// serial number, nullptr for none.
int TestbedAddConverter(UMockdevTestbed* testbed, const char* usbName = "1-1", const char* ttyName = "ttyACM0",
                        const char* serial = nullptr);

// A USB device with its interface usbName:1.0 and no driver bound to it, so
// no tty (a converter whose CDC-ACM driver is missing); false when the testbed
// would not take it.
bool TestbedAddUsbWithoutDriver(UMockdevTestbed* testbed, const char* usbName, uint16_t vendor, uint16_t product,
                                const char* serial = nullptr);

// Any CDC-ACM device.
int TestbedAddCdcAcm(UMockdevTestbed* testbed, const char* usbName, uint16_t vendor, uint16_t product,
                     const char* ttyName, const char* serial = nullptr);

// A usb-serial adapter: its tty sits one level deeper, under the port device
// (…/1-2/1-2:1.0/ttyUSB0/tty/ttyUSB0).
int TestbedAddUsbSerial(UMockdevTestbed* testbed, const char* usbName, uint16_t vendor, uint16_t product,
                        const char* ttyName);

// A built-in 8250 port (…/serial8250/tty/ttyS0); type 4 is a 16550A, type 0 a
// port the driver lists without hardware behind it.
int TestbedAddBuiltinSerial(UMockdevTestbed* testbed, const char* ttyName, int type);

// Removes a USB device with its interfaces and ttys, as an unplug does.
void TestbedRemoveUsb(UMockdevTestbed* testbed, const char* usbName);

// Simulated converters plugged in and out of one testbed over time, each
// served on a thread of its own while it is plugged in. The converters are the
// caller's and outlive their plugging: their memory and counters stay.
class TestbedConverters {
 public:
  explicit TestbedConverters(UMockdevTestbed* testbed) : testbed_(testbed) {}
  ~TestbedConverters();
  TestbedConverters(const TestbedConverters&) = delete;
  TestbedConverters& operator=(const TestbedConverters&) = delete;

  // Plugs converter in at usbName with its tty and serial number (nullptr:
  // none); false when the testbed would not take it.
  bool Plug(SimConverter& converter, const char* usbName, const char* ttyName, const char* serial);
  // Stops serving it and removes it, as an unplug does.
  void Unplug(const char* usbName);

 private:
  UMockdevTestbed* testbed_;
  std::map<std::string, std::unique_ptr<SimServer>> served_;
};
