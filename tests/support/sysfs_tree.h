#pragma once
// A small sysfs tree in a temporary folder, laid out as the kernel lays it out
// (devices/…, class/tty/NAME and bus/usb/devices/NAME as links into devices/),
// with the serial ports' source pointed at it for the life of the object.

#include <string>

#include "support/scratch_dir.h"

class SysfsTree {
 public:
  SysfsTree();
  ~SysfsTree();
  SysfsTree(const SysfsTree&) = delete;
  SysfsTree& operator=(const SysfsTree&) = delete;

  const std::string& root() const { return root_; }

  // A built-in 8250 port; type 0 is a port without hardware. An empty type
  // leaves the attribute out.
  void AddBuiltin(const std::string& tty, const std::string& type = "4");
  // A tty without a device behind it (devices/virtual/tty/NAME).
  void AddVirtual(const std::string& tty);
  // A tty backed by a device, listed in class/tty.
  void AddPlatformTty(const std::string& tty);

  // A USB device on the root hub, idVendor and idProduct as the files hold them.
  void AddUsbDevice(const std::string& usb, const std::string& vendor, const std::string& product);
  // Interface usb:1.n of a USB device; returns its folder.
  std::string AddInterface(const std::string& usb, int n = 0);
  // A CDC-ACM tty under an interface; `listed` adds its class/tty entry.
  void AddAcmTty(const std::string& interfaceDir, const std::string& tty, bool listed = true);
  // A usb-serial tty one level deeper, under the port device.
  void AddUsbSerialTty(const std::string& interfaceDir, const std::string& tty);
  // USB device with one CDC-ACM interface and its tty.
  void AddAcmDevice(const std::string& usb, const std::string& vendor, const std::string& product,
                    const std::string& tty);
  void AddConverter(const std::string& usb, const std::string& tty) { AddAcmDevice(usb, "16c0", "4e04", tty); }

  // Removes a USB device with all below it, and the links to it.
  void Unplug(const std::string& usb);

  std::string UsbDir(const std::string& usb) const;
  void WriteFile(const std::string& path, const std::string& text) const;
  void Link(const std::string& target, const std::string& linkPath) const;

 private:
  ScratchDir scratch_;
  std::string root_;
  const char* previousRoot_;
};
