// What the sysfs registry reads from small trees laid out as the kernel does.

#include <gtest/gtest.h>

#include <sys/utsname.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/device_registry.h"
#include "support/sysfs_tree.h"

namespace {

std::vector<std::string> Ports() {
  std::vector<std::string> v;
  if (RegistrySerialPortsOpen() != RegistryOk) return v;
  char name[256];
  for (int32_t i = 0; RegistrySerialPortAt(i, name, sizeof name) == RegistryOk; ++i) v.emplace_back(name);
  RegistrySerialPortsClose();
  return v;
}

std::vector<std::string> Instances(uint16_t vendor, uint16_t product) {
  std::vector<std::string> v;
  if (RegistryUsbDeviceOpen(vendor, product) != RegistryOk) return v;
  char name[100];
  for (int32_t i = 0; RegistryUsbInstanceAt(i, name, sizeof name) == RegistryOk; ++i) v.emplace_back(name);
  RegistryUsbDeviceClose();
  return v;
}

std::string PortOf(const std::string& instance) {
  char port[200];
  return RegistryUsbInstancePort(instance.c_str(), port, sizeof port) == RegistryOk ? port : "-";
}

using Names = std::vector<std::string>;

}  // namespace

TEST(RegistrySerialPorts, OnlyTtysBackedByHardware) {
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
}

TEST(RegistrySerialPorts, IndexAndNameRules) {
  SysfsTree tree;
  tree.AddPlatformTty("ttyB");
  tree.AddPlatformTty("ttyA");
  tree.AddPlatformTty("ttyLonger");
  ASSERT_EQ(RegistrySerialPortsOpen(), RegistryOk);
  char name[8];
  EXPECT_EQ(RegistrySerialPortAt(0, name, sizeof name), RegistryOk);
  EXPECT_STREQ(name, "ttyA");
  EXPECT_EQ(RegistrySerialPortAt(2, name, sizeof name), RegistryTooLong);  // ttyLonger and its end
  EXPECT_EQ(RegistrySerialPortAt(3, name, sizeof name), RegistryNoEntry);
  EXPECT_EQ(RegistrySerialPortAt(-1, name, sizeof name), RegistryNoEntry);

  EXPECT_EQ(RegistrySerialPortByName("COM2", name, sizeof name), RegistryOk);
  EXPECT_STREQ(name, "ttyB");
  for (const char* other : {"COM0", "COM02", "COM4", "COM", "com1", "COM1 ", "COM+1", "LPT1", "COM99999999999"})
    EXPECT_EQ(RegistrySerialPortByName(other, name, sizeof name), RegistryNoEntry) << other;
  RegistrySerialPortsClose();
  EXPECT_EQ(RegistrySerialPortAt(0, name, sizeof name), RegistryNoEntry);  // closed

  std::filesystem::remove_all(tree.root() + "/class");
  EXPECT_EQ(RegistrySerialPortsOpen(), RegistryUnreadable);
}

TEST(RegistrySerialPorts, ASnapshotKeepsTheFirstInByteOrder) {
  SysfsTree tree;
  for (int n = RegistryPortCapacity + 2; n > 0; --n) {
    char name[16];
    std::snprintf(name, sizeof name, "ttyX%03d", n);
    tree.AddPlatformTty(name);
  }
  ASSERT_EQ(RegistrySerialPortsOpen(), RegistryOk);
  char name[16];
  EXPECT_EQ(RegistrySerialPortAt(0, name, sizeof name), RegistryOk);
  EXPECT_STREQ(name, "ttyX001");
  EXPECT_EQ(RegistrySerialPortAt(RegistryPortCapacity - 1, name, sizeof name), RegistryOk);
  EXPECT_STREQ(name, "ttyX128");
  EXPECT_EQ(RegistrySerialPortAt(RegistryPortCapacity, name, sizeof name), RegistryNoEntry);
  RegistrySerialPortsClose();
}

TEST(RegistryUsb, InstancesOfOneDeviceInByteOrder) {
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
  EXPECT_EQ(Instances(0x16C0, 0x4E04), (Names{"1-1.4", "1-10", "1-2", "1-3"}));
  EXPECT_EQ(Instances(0x0403, 0x4E04), (Names{"1-5"}));

  std::filesystem::remove_all(tree.root() + "/bus");
  EXPECT_EQ(RegistryUsbDeviceOpen(0x16C0, 0x4E04), RegistryUnreadable);
}

TEST(RegistryUsb, PortOfAnInstance) {
  SysfsTree tree;
  tree.AddConverter("1-1", "ttyACM0");                           // CDC-ACM: interface/tty/NAME
  tree.AddUsbDevice("1-2", "16c0\n", "4e04\n");                  // usb-serial: interface/PORT/tty/NAME
  tree.AddUsbSerialTty(tree.AddInterface("1-2"), "ttyUSB3");
  tree.AddUsbDevice("1-3", "16c0\n", "4e04\n");                  // not configured: no interface
  tree.AddUsbDevice("1-4", "16c0\n", "4e04\n");                  // no driver bound: no tty
  tree.AddInterface("1-4");
  tree.AddUsbDevice("1-5", "16c0\n", "4e04\n");                  // the first interface with a tty counts
  tree.AddInterface("1-5", 0);
  tree.AddAcmTty(tree.AddInterface("1-5", 2), "ttyACM9");
  tree.AddAcmTty(tree.AddInterface("1-5", 1), "ttyACM8");
  EXPECT_EQ(PortOf("1-1"), "ttyACM0");
  EXPECT_EQ(PortOf("1-2"), "ttyUSB3");
  EXPECT_EQ(PortOf("1-3"), "-");
  EXPECT_EQ(PortOf("1-4"), "-");
  EXPECT_EQ(PortOf("1-5"), "ttyACM8");
  EXPECT_EQ(PortOf("1-9"), "-");
  EXPECT_EQ(PortOf("../1-1"), "-");
  EXPECT_EQ(PortOf(".."), "-");

  char small[7];
  EXPECT_EQ(RegistryUsbInstancePort("1-1", small, sizeof small), RegistryTooLong);
}

TEST(RegistryVersion, KernelMajorVersion) {
  utsname u{};
  ASSERT_EQ(uname(&u), 0);
  EXPECT_EQ(RegistryKernelMajorVersion(), std::atoi(u.release));
  EXPECT_GE(RegistryMajorVersion(), 2);
}
