// The search for the converter's port on small sysfs trees.

#include <gtest/gtest.h>

#include <filesystem>
#include <cstdio>
#include <string>
#include <vector>

#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "platform/serial_ports.h"
#include "support/sysfs_tree.h"

namespace {

// The port found, or "" when the converter is absent.
std::string Locate() {
  char port[ComPortNameSize] = "garbage";
  const int found = LocateDevicePort(port, sizeof port);
  EXPECT_EQ(found, port[0] != '\0' ? 1 : 0) << port;
  return port;
}

}  // namespace

TEST(LocateDevicePort, AbsentWithoutTheDevice) {
  SysfsTree tree;
  tree.AddBuiltin("ttyS0");
  tree.AddAcmDevice("1-1", "2341", "0043", "ttyACM0");  // some other CDC-ACM board
  tree.AddUsbDevice("1-2", "0403\n", "6001\n");
  tree.AddUsbSerialTty(tree.AddInterface("1-2"), "ttyUSB0");
  EXPECT_EQ(Locate(), "");
  EXPECT_EQ(ComPortList.count, 3);  // the list was rebuilt all the same

  std::filesystem::remove_all(tree.root() + "/bus");  // no USB at all
  EXPECT_EQ(Locate(), "");
}

TEST(LocateDevicePort, FindsTheConverter) {
  SysfsTree tree;
  tree.AddBuiltin("ttyS0");
  tree.AddAcmDevice("1-1", "2341", "0043", "ttyACM0");
  tree.AddConverter("1-2", "ttyACM1");
  EXPECT_EQ(Locate(), "ttyACM1");

  // Behind a usb-serial driver its tty sits one level deeper; found all the same.
  SysfsTree other;
  other.AddUsbDevice("3-1", "16c0\n", "4e04\n");
  other.AddUsbSerialTty(other.AddInterface("3-1"), "ttyUSB0");
  EXPECT_EQ(Locate(), "ttyUSB0");
}

TEST(LocateDevicePort, FirstPresentInstanceWins) {
  SysfsTree tree;
  tree.AddConverter("1-2", "ttyACM0");
  tree.AddConverter("1-1", "ttyACM7");
  // Instance 1-1 comes first, although its port sorts after the other's.
  EXPECT_EQ(Locate(), "ttyACM7");
}

TEST(LocateDevicePort, InstancesWithoutAPresentPortArePassedOver) {
  SysfsTree tree;
  tree.AddUsbDevice("1-1", "16c0\n", "4e04\n");                    // no interface
  tree.AddUsbDevice("1-2", "16c0\n", "4e04\n");                    // interface without a tty
  tree.AddInterface("1-2");
  tree.AddUsbDevice("1-3", "16c0\n", "4e04\n");                    // a tty that is not listed
  tree.AddAcmTty(tree.AddInterface("1-3"), "ttyACM3", false);
  EXPECT_EQ(Locate(), "");
  tree.AddConverter("1-4", "ttyACM4");
  EXPECT_EQ(Locate(), "ttyACM4");
}

TEST(LocateDevicePort, NamesMustMatchExactly) {
  SysfsTree tree;
  // The instance names its tty "ttyacm0"; only "ttyACM0" is present.
  tree.AddUsbDevice("1-1", "16c0\n", "4e04\n");
  tree.AddAcmTty(tree.AddInterface("1-1"), "ttyacm0", false);
  tree.AddPlatformTty("ttyACM0");
  EXPECT_EQ(Locate(), "");

  // A 24-character name is listed cut to 19 characters and so never matches.
  SysfsTree longName;
  longName.AddConverter("1-1", "ttyACM_abcdefghijklmnop");
  EXPECT_EQ(Locate(), "");
  EXPECT_STREQ(ComPortList.names[0], "ttyACM_abcdefghijkl");

  // With 19 characters it does.
  SysfsTree fits;
  fits.AddConverter("1-1", "ttyACM_abcdefghijkl");
  EXPECT_EQ(Locate(), "ttyACM_abcdefghijkl");
}

TEST(LocateDevicePort, AnInstanceNameTooLongForItsBufferDoesNotEndTheSearch) {
  SysfsTree tree;
  tree.AddConverter("1-1" + std::string(120, '0'), "ttyACM0");
  tree.AddConverter("1-2", "ttyACM1");
  EXPECT_EQ(Locate(), "ttyACM1");
}

TEST(LocateDevicePort, FollowsPlugAndUnplug) {
  SysfsTree tree;
  tree.AddBuiltin("ttyS0");
  EXPECT_EQ(Locate(), "");
  tree.AddConverter("1-1", "ttyACM0");
  EXPECT_EQ(Locate(), "ttyACM0");
  tree.Unplug("1-1");
  EXPECT_EQ(Locate(), "");
  tree.AddConverter("1-1", "ttyACM1");  // back under a new name
  EXPECT_EQ(Locate(), "ttyACM1");
}

TEST(LocateDevicePort, CallerBuffer) {
  SysfsTree tree;
  tree.AddConverter("1-1", "ttyACM0");
  char small[7] = "xxxxxx";
  EXPECT_EQ(LocateDevicePort(small, sizeof small), 0);
  EXPECT_STREQ(small, "");
  char exact[8];
  EXPECT_EQ(LocateDevicePort(exact, sizeof exact), 1);
  EXPECT_STREQ(exact, "ttyACM0");
  EXPECT_EQ(LocateDevicePort(nullptr, 0), 0);
}

namespace {

// Each converter found as "port serial location".
std::vector<std::string> Converters(const char* serial = nullptr, const char* location = nullptr,
                                    void (*locate)(ConverterList&) = LocateConverters) {
  ConverterList list;
  locate(list);
  ConverterListKeep(list, serial, location);
  std::vector<std::string> seen;
  for (int32_t k = 0; k < list.count; ++k) {
    const ConverterPort& c = list.converters[k];
    seen.push_back(std::string(c.port[0] ? c.port : "-") + " " + (c.serial[0] ? c.serial : "-") + " " + c.location);
  }
  return seen;
}

// Where the converter of that serial number and place is found again.
std::string Again(const char* serial, const char* location) {
  ConverterPort before{};
  std::snprintf(before.serial, sizeof before.serial, "%s", serial);
  std::snprintf(before.location, sizeof before.location, "%s", location);
  ConverterPort now{};
  return LocateConverterAgain(before, now) ? now.port : "";
}

using Names = std::vector<std::string>;

}  // namespace

TEST(LocateConverters, EveryPresentConverterInTheSearchsOrderWithWhoItIs) {
  SysfsTree tree;
  tree.AddConverter("1-2", "ttyACM0");
  tree.WriteFile(tree.UsbDir("1-2") + "/serial", "B2\n");
  tree.AddConverter("1-1.3", "ttyACM4");
  tree.WriteFile(tree.UsbDir("1-1.3") + "/serial", "A1\n");
  tree.AddConverter("1-1.4", "ttyACM5");                  // no serial number
  tree.AddUsbDevice("1-3", "16c0\n", "4e04\n");            // no port: passed over
  tree.AddInterface("1-3");
  tree.WriteFile(tree.UsbDir("1-3") + "/serial", "C3\n");
  tree.AddAcmDevice("1-4", "2341", "0043", "ttyACM1");     // another device
  EXPECT_EQ(Converters(), (Names{"ttyACM4 A1 1-1.3", "ttyACM5 - 1-1.4", "ttyACM0 B2 1-2"}));
  // Every one plugged in: also the one without a port, in its place.
  EXPECT_EQ(Converters(nullptr, nullptr, LocateConvertersPlugged),
            (Names{"ttyACM4 A1 1-1.3", "ttyACM5 - 1-1.4", "ttyACM0 B2 1-2", "- C3 1-3"}));
  EXPECT_EQ(Converters("C3", nullptr, LocateConvertersPlugged), (Names{"- C3 1-3"}));
  char first[ComPortNameSize];
  ASSERT_EQ(LocateDevicePort(first, sizeof first), 1);
  EXPECT_STREQ(first, "ttyACM4");  // the window's is the first of them

  // Chosen by serial number, by place, by both; a choice nothing matches.
  EXPECT_EQ(Converters("B2"), (Names{"ttyACM0 B2 1-2"}));
  EXPECT_EQ(Converters(nullptr, "1-1.4"), (Names{"ttyACM5 - 1-1.4"}));
  EXPECT_EQ(Converters("A1", "1-1.3"), (Names{"ttyACM4 A1 1-1.3"}));
  EXPECT_EQ(Converters("A1", "1-2"), Names{});
  EXPECT_EQ(Converters("a1"), Names{});
}

TEST(LocateConverterAgain, FollowsTheSerialNumberElseThePlace) {
  SysfsTree tree;
  tree.AddConverter("1-1", "ttyACM1");
  tree.WriteFile(tree.UsbDir("1-1") + "/serial", "A1\n");
  tree.AddConverter("1-2", "ttyACM0");
  tree.WriteFile(tree.UsbDir("1-2") + "/serial", "B2\n");
  tree.AddConverter("1-3", "ttyACM2");
  const struct {
    const char* serial;
    const char* location;
    const char* port;
  } cases[] = {
      {"A1", "1-1", "ttyACM1"},
      {"A1", "1-9", "ttyACM1"},  // the serial number counts, wherever it is plugged in now
      {"", "1-3", "ttyACM2"},    // none: its place
      {"", "1-9", ""},
      {"C3", "1-1", ""},         // another converter at its place is not it
      {"", "", ""},              // known by neither
  };
  for (const auto& c : cases) EXPECT_EQ(Again(c.serial, c.location), c.port) << c.serial << " " << c.location;

  // Two that share a serial number are told apart by their place.
  tree.WriteFile(tree.UsbDir("1-3") + "/serial", "A1\n");
  EXPECT_EQ(Again("A1", "1-3"), "ttyACM2");
  EXPECT_EQ(Again("A1", "1-9"), "");
}
