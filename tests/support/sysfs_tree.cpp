#include "support/sysfs_tree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "platform/serial_ports.h"

namespace fs = std::filesystem;

namespace {
constexpr const char* kRootHub = "devices/pci0000:00/0000:00:14.0/usb1";
}

SysfsTree::SysfsTree() : root_(scratch_.path() + "/sys"), previousRoot_(SerialPortsFrom.sysRoot) {
  fs::create_directories(root_ + "/class/tty");
  fs::create_directories(root_ + "/bus/usb/devices");
  fs::create_directories(root_ + "/" + kRootHub);
  SerialPortsFrom.sysRoot = root_.c_str();
}

SysfsTree::~SysfsTree() { SerialPortsFrom.sysRoot = previousRoot_; }

void SysfsTree::WriteFile(const std::string& path, const std::string& text) const {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << text;
}

void SysfsTree::Link(const std::string& target, const std::string& linkPath) const {
  fs::create_directories(fs::path(linkPath).parent_path());
  std::error_code error;
  fs::create_directory_symlink(fs::relative(target, fs::path(linkPath).parent_path()), linkPath, error);
  EXPECT_FALSE(error) << linkPath << ": " << error.message();
}

void SysfsTree::AddBuiltin(const std::string& tty, const std::string& type) {
  const std::string platform = root_ + "/devices/platform/serial8250";
  const std::string dir = platform + "/tty/" + tty;
  fs::create_directories(dir);
  if (!type.empty()) WriteFile(dir + "/type", type + "\n");
  Link(platform, dir + "/device");
  Link(dir, root_ + "/class/tty/" + tty);
}

void SysfsTree::AddVirtual(const std::string& tty) {
  const std::string dir = root_ + "/devices/virtual/tty/" + tty;
  fs::create_directories(dir);
  Link(dir, root_ + "/class/tty/" + tty);
}

void SysfsTree::AddPlatformTty(const std::string& tty) {
  const std::string device = root_ + "/devices/platform/uart." + tty;
  const std::string dir = device + "/tty/" + tty;
  fs::create_directories(dir);
  Link(device, dir + "/device");
  Link(dir, root_ + "/class/tty/" + tty);
}

std::string SysfsTree::UsbDir(const std::string& usb) const { return root_ + "/" + kRootHub + "/" + usb; }

void SysfsTree::AddUsbDevice(const std::string& usb, const std::string& vendor, const std::string& product) {
  const std::string dir = UsbDir(usb);
  WriteFile(dir + "/idVendor", vendor);
  WriteFile(dir + "/idProduct", product);
  Link(dir, root_ + "/bus/usb/devices/" + usb);
}

std::string SysfsTree::AddInterface(const std::string& usb, int n) {
  const std::string name = usb + ":1." + std::to_string(n);
  const std::string dir = UsbDir(usb) + "/" + name;
  WriteFile(dir + "/bInterfaceClass", "02\n");
  Link(dir, root_ + "/bus/usb/devices/" + name);
  return dir;
}

void SysfsTree::AddAcmTty(const std::string& interfaceDir, const std::string& tty, bool listed) {
  const std::string dir = interfaceDir + "/tty/" + tty;
  fs::create_directories(dir);
  Link(interfaceDir, dir + "/device");
  if (listed) Link(dir, root_ + "/class/tty/" + tty);
}

void SysfsTree::AddUsbSerialTty(const std::string& interfaceDir, const std::string& tty) {
  const std::string port = interfaceDir + "/" + tty;
  const std::string dir = port + "/tty/" + tty;
  fs::create_directories(dir);
  WriteFile(port + "/port_number", "0\n");
  Link(port, dir + "/device");
  Link(dir, root_ + "/class/tty/" + tty);
}

void SysfsTree::AddAcmDevice(const std::string& usb, const std::string& vendor, const std::string& product,
                             const std::string& tty) {
  AddUsbDevice(usb, vendor + "\n", product + "\n");
  AddAcmTty(AddInterface(usb), tty);
}

void SysfsTree::Unplug(const std::string& usb) {
  const std::string dir = UsbDir(usb);
  const std::string device = fs::canonical(dir).string();
  std::vector<fs::path> links;
  for (const char* folder : {"/class/tty", "/bus/usb/devices"})
    for (const auto& entry : fs::directory_iterator(root_ + folder))
      if (const std::string t = fs::weakly_canonical(entry.path()).string();
          t == device || t.rfind(device + "/", 0) == 0)
        links.push_back(entry.path());
  for (const fs::path& link : links) fs::remove(link);
  fs::remove_all(dir);
}
