// What the serial ports' records hold, read from small sysfs trees laid out
// as the kernel does.

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/serial_ports.h"
#include "support/sysfs_tree.h"

namespace {

SerialPortTable gTable;

std::vector<std::string> Ports() {
  std::vector<std::string> v;
  if (SerialPortsPresent(gTable) != SerialPortsOk) return v;
  for (int32_t i = 0; i < gTable.count; ++i) v.emplace_back(gTable.records[i].name);
  return v;
}

// Each instance as "instance port serial location".
std::vector<std::string> Instances(uint16_t vendor, uint16_t product) {
  std::vector<std::string> v;
  if (SerialPortsOfUsbDevice(vendor, product, gTable) != SerialPortsOk) return v;
  for (int32_t i = 0; i < gTable.count; ++i) {
    const SerialPortRecord& r = gTable.records[i];
    v.push_back(std::string(r.usbInstance) + " " + (r.name[0] ? r.name : "-") + " " + (r.usbSerial[0] ? r.usbSerial : "-") +
                " " + r.usbLocation);
  }
  return v;
}

using Names = std::vector<std::string>;

}  // namespace

TEST(SerialPortsPresent, OnlyTtysBackedByHardwareInByteOrder) {
  SysfsTree tree;
  tree.AddBuiltin("ttyS0", "4");
  tree.AddBuiltin("ttyS1", "0");    // the driver lists it, no port behind it
  tree.AddBuiltin("ttyS2", "");     // no type to read: kept
  tree.AddBuiltin("ttyS3", "x\n");  // nor a readable one
  tree.AddVirtual("tty");
  tree.AddVirtual("tty0");
  tree.AddVirtual("console");
  tree.AddVirtual("ttyprintk");
  tree.AddPlatformTty("tty7");      // a virtual console name, even with a device link
  tree.AddPlatformTty("ttyAMA0");
  tree.AddConverter("1-1", "ttyACM0");
  tree.AddUsbSerialTty(tree.AddInterface("1-2"), "ttyUSB0");
  EXPECT_EQ(Ports(), (Names{"ttyACM0", "ttyAMA0", "ttyS0", "ttyS2", "ttyS3", "ttyUSB0"}));
  EXPECT_STREQ(gTable.records[0].path, "/dev/ttyACM0");
  EXPECT_FALSE(gTable.named);
}

// A listing that cannot be read gives the system's code of why, and an empty table.
TEST(SerialPorts, AListThatCannotBeReadGivesTheSystemsCode) {
  const struct {
    const char* folder;
    bool file;  // a file stands where the folder should
    int (*list)(SerialPortTable&);
    int error;
  } cases[] = {
      {"class/tty", false, SerialPortsPresent, ENOENT},
      {"class/tty", true, SerialPortsPresent, ENOTDIR},
      {"bus/usb/devices", false, [](SerialPortTable& t) { return SerialPortsOfUsbDevice(0x16C0, 0x4E04, t); }, ENOENT},
      {"bus/usb/devices", true, [](SerialPortTable& t) { return SerialPortsOfUsbDevice(0x16C0, 0x4E04, t); }, ENOTDIR},
  };
  for (const auto& c : cases) {
    SysfsTree tree;
    tree.AddConverter("1-1", "ttyACM0");
    std::filesystem::remove_all(tree.root() + "/" + c.folder);
    if (c.file) tree.WriteFile(tree.root() + "/" + c.folder, "");
    EXPECT_EQ(c.list(gTable), c.error) << c.folder << (c.file ? " as a file" : " missing");
    EXPECT_EQ(gTable.count, 0);
  }
}

TEST(SerialPortsPresent, KeepsTheFirstInByteOrder) {
  SysfsTree tree;
  for (int n = SerialPortTableCapacity + 2; n > 0; --n) {
    char name[16];
    std::snprintf(name, sizeof name, "ttyX%03d", n);
    tree.AddPlatformTty(name);
  }
  const Names ports = Ports();
  ASSERT_EQ(ports.size(), static_cast<size_t>(SerialPortTableCapacity));
  EXPECT_EQ(ports.front(), "ttyX001");
  EXPECT_EQ(ports.back(), "ttyX128");
}

TEST(SerialPortsOfUsbDevice, InstancesOfOneDeviceInByteOrder) {
  SysfsTree tree;
  tree.AddConverter("1-2", "ttyACM1");
  tree.AddConverter("1-10", "ttyACM2");
  tree.AddUsbDevice("1-1.4", "16C0\n", "4E04\n");       // upper-case digits
  tree.AddUsbDevice("1-3", "16c0", "4e04");             // no newline
  tree.AddUsbDevice("1-4", "16c0\n", "05dc\n");         // another product of the vendor
  tree.AddAcmDevice("1-5", "0403", "4e04", "ttyACM5");  // another vendor
  tree.AddUsbDevice("1-6", "016c0\n", "4e04\n");        // not a 4-digit id
  tree.AddUsbDevice("1-7", "\n", "4e04\n");
  tree.AddUsbDevice("1-8", "16c0\n", "");
  EXPECT_EQ(Instances(0x16C0, 0x4E04), (Names{"1-1.4 - - 1-1.4", "1-10 ttyACM2 - 1-10", "1-2 ttyACM1 - 1-2", "1-3 - - 1-3"}));
  EXPECT_EQ(Instances(0x0403, 0x4E04), (Names{"1-5 ttyACM5 - 1-5"}));
  EXPECT_EQ(gTable.records[0].usbVendor, 0x0403);
}

TEST(SerialPortsOfUsbDevice, AnInstancesPortAndIdentity) {
  SysfsTree tree;
  tree.AddConverter("1-1", "ttyACM0");                           // CDC-ACM: interface/tty/NAME
  tree.WriteFile(tree.UsbDir("1-1") + "/serial", "A1B2C3\n");
  tree.AddUsbDevice("1-2", "16c0\n", "4e04\n");                  // usb-serial: interface/PORT/tty/NAME
  tree.AddUsbSerialTty(tree.AddInterface("1-2"), "ttyUSB3");
  tree.AddUsbDevice("1-3", "16c0\n", "4e04\n");                  // not configured: no interface
  tree.AddUsbDevice("1-4", "16c0\n", "4e04\n");                  // no driver bound: no tty
  tree.AddInterface("1-4");
  tree.AddUsbDevice("1-5", "16c0\n", "4e04\n");                  // the first interface with a tty counts
  tree.AddInterface("1-5", 0);
  tree.AddAcmTty(tree.AddInterface("1-5", 2), "ttyACM9");
  tree.AddAcmTty(tree.AddInterface("1-5", 1), "ttyACM8");
  tree.AddConverter("1-6.3", "ttyACM6");                         // behind a hub, its serial empty
  tree.WriteFile(tree.UsbDir("1-6.3") + "/serial", "\n");
  EXPECT_EQ(Instances(0x16C0, 0x4E04), (Names{"1-1 ttyACM0 A1B2C3 1-1", "1-2 ttyUSB3 - 1-2", "1-3 - - 1-3",
                                               "1-4 - - 1-4", "1-5 ttyACM8 - 1-5", "1-6.3 ttyACM6 - 1-6.3"}));
  EXPECT_STREQ(gTable.records[0].path, "/dev/ttyACM0");
}

TEST(SerialPortsVersion, KernelMajorVersion) {
  utsname u{};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(SerialPortsKernelMajorVersion(), std::atoi(u.release));
  EXPECT_GE(SerialPortsMajorVersion(), 2);
}
