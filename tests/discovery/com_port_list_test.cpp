// The serial port list: its order, its limits, and both ways of reading the
// registry, on small sysfs trees.

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "discovery/com_port_list.h"
#include "platform/serial_ports.h"
#include "support/sysfs_tree.h"

namespace {

void SetList(const std::vector<std::string>& names) {
  std::memset(&ComPortList, 0, sizeof ComPortList);
  for (const std::string& n : names) {
    std::strncpy(ComPortList.names[ComPortList.count], n.c_str(), ComPortNameSize - 1);
    ++ComPortList.count;
  }
}

std::vector<std::string> List() {
  std::vector<std::string> v;
  for (int32_t k = 0; k < ComPortList.count; ++k) v.emplace_back(ComPortList.names[k]);
  return v;
}

std::vector<std::string> Sorted(const std::vector<std::string>& names) {
  SetList(names);
  ComPortSort(0, ComPortList.count - 1);
  return List();
}

// Order of a against b as the list sorts them.
int Order(const std::string& a, const std::string& b) {
  SetList({a, b});
  ComPortSetPivot(1);
  return ComPortCompare(0);
}

int32_t VersionFour() { return 4; }
int32_t VersionSix() { return 6; }

using Names = std::vector<std::string>;

}  // namespace

TEST(ComPortSort, ComNamesFollowTheirNumber) {
  EXPECT_EQ(Sorted({"COM10", "COM3", "COM1", "COM11", "COM2"}), (Names{"COM1", "COM2", "COM3", "COM10", "COM11"}));
  EXPECT_EQ(Sorted({"COM5", "CNCA0", "COM12", "USBSER0", "COM1"}),
            (Names{"CNCA0", "COM1", "COM5", "COM12", "USBSER0"}));
  EXPECT_EQ(Sorted({"ttyUSB0", "ttyS0", "ttyACM1", "ttyACM0"}), (Names{"ttyACM0", "ttyACM1", "ttyS0", "ttyUSB0"}));
}

TEST(ComPortSort, CompareRules) {
  EXPECT_EQ(Order("COM2", "COM10"), -1);
  EXPECT_EQ(Order("COM10", "COM2"), 1);
  EXPECT_EQ(Order("COM1", "COM01"), 0);   // same number
  EXPECT_EQ(Order("COM", "COM0"), 0);     // no digits read as 0
  EXPECT_EQ(Order("COM 7", "COM+7"), 0);  // white space and a sign before the digits
  EXPECT_EQ(Order("COM-3", "COM1"), -1);
  EXPECT_EQ(Order("COM9x", "COM10"), -1);  // digits end at the first other byte
  EXPECT_EQ(Order("com2", "COM1"), 1);     // case-sensitive: not a COM name, compared by bytes
  EXPECT_EQ(Order("CO", "COM1"), -1);      // a prefix is smaller
  EXPECT_EQ(Order("ttyS10", "ttyS2"), -1);  // other names by their bytes
  EXPECT_EQ(Order("\xE9", "z"), 1);         // bytes are unsigned
  EXPECT_EQ(Order("ttyS0", "ttyS0"), 0);
}

TEST(ComPortSort, AnyArrangementComesOutOrdered) {
  const Names pool = {"COM1", "COM2", "COM3", "COM10", "COM11", "COM02", "CNCA0", "USBSER0",
                      "ttyS0", "ttyACM0", "COM", "COM99", "A", "CO", "COM100", "COM7"};
  std::mt19937 random(7);
  for (int round = 0; round < 500; ++round) {
    Names names(pool.begin(), pool.begin() + 2 + round % 15);
    std::shuffle(names.begin(), names.end(), random);
    if (round % 3 == 0) names[1] = names[0];  // duplicates too
    const Names out = Sorted(names);
    Names in = names, got = out;
    std::sort(in.begin(), in.end());
    std::sort(got.begin(), got.end());
    ASSERT_EQ(got, in) << "the sort lost or invented a name";
    for (size_t k = 1; k < out.size(); ++k) ASSERT_LE(Order(out[k - 1], out[k]), 0) << out[k - 1] << " " << out[k];
  }
}

TEST(ComPortSort, WorksThroughTheOperationSlots) {
  // The sort knows nothing of the entries: given other operations it sorts other data.
  static int values[6] = {5, -2, 9, 0, 9, 3};
  static int pivot = 0;
  ComPortSortSlots = {[](int32_t k) { return values[k] < pivot ? -1 : (values[k] > pivot ? 1 : 0); },
                      [](int32_t a, int32_t b) { std::swap(values[a], values[b]); },
                      [](int32_t k) { pivot = values[k]; }};
  ComPortSort(0, 5);
  EXPECT_TRUE(std::is_sorted(std::begin(values), std::end(values)));

  // A rebuild puts the list's own operations back before it sorts.
  SysfsTree tree;
  tree.AddPlatformTty("ttyB0");
  tree.AddPlatformTty("ttyA0");
  ComPortListBuild();
  EXPECT_EQ(List(), (Names{"ttyA0", "ttyB0"}));
}

TEST(ComPortListBuild, ListsThePresentPortsSorted) {
  SysfsTree tree;
  tree.AddBuiltin("ttyS0");
  tree.AddBuiltin("ttyS1", "0");  // no hardware behind it
  tree.AddVirtual("tty1");
  tree.AddVirtual("ptmx");
  tree.AddConverter("1-1", "ttyACM0");
  tree.AddUsbSerialTty(tree.AddInterface("1-2"), "ttyUSB0");
  ComPortListBuild();
  EXPECT_EQ(List(), (Names{"ttyACM0", "ttyS0", "ttyUSB0"}));
}

TEST(ComPortListBuild, EmptyOrSingle) {
  {
    SysfsTree tree;
    ComPortListBuild();
    EXPECT_EQ(ComPortList.count, 0);
    tree.AddBuiltin("ttyS0");
    ComPortListBuild();
    EXPECT_EQ(List(), (Names{"ttyS0"}));
  }
  // No class/tty at all: the list is empty, nothing else happens.
  SysfsTree tree;
  std::filesystem::remove_all(tree.root() + "/class");
  SetList({"old"});
  ComPortListBuild();
  EXPECT_EQ(ComPortList.count, 0);
}

TEST(ComPortListBuild, AtMostTheFirstSixteen) {
  SysfsTree tree;
  for (int n = 0; n < 18; ++n) tree.AddPlatformTty("ttyX" + std::to_string(n));
  ComPortListBuild();
  // The registry's order is byte order: ttyX0, ttyX1, ttyX10 … ttyX17, ttyX2 … ttyX7.
  ASSERT_EQ(ComPortList.count, 16);
  const Names list = List();
  EXPECT_EQ(std::count(list.begin(), list.end(), "ttyX8"), 0);
  EXPECT_EQ(std::count(list.begin(), list.end(), "ttyX9"), 0);
  EXPECT_EQ(list.front(), "ttyX0");
  EXPECT_EQ(list.back(), "ttyX7");
}

TEST(ComPortListBuild, UnreadableNamesAreSkippedButUseUpTheirIndex) {
  SysfsTree tree;
  for (int n = 10; n < 27; ++n) tree.AddPlatformTty("ttyX" + std::to_string(n));  // 17 ports
  // Two names of 80 characters or more do not fit and sort among the first 16.
  tree.AddPlatformTty("ttyX12" + std::string(80, 'a'));
  tree.AddPlatformTty("ttyX13" + std::string(90, 'b'));
  ComPortListBuild();
  // Indices 0 to 15 hold ttyX10 … ttyX23 and the two long names; ttyX24 to
  // ttyX26 lie beyond index 15 and are never looked at.
  EXPECT_EQ(ComPortList.count, 14);
  const Names list = List();
  EXPECT_EQ(list.back(), "ttyX23");
  EXPECT_EQ(std::count(list.begin(), list.end(), "ttyX24"), 0);
}

TEST(ComPortListBuild, LongNamesAreCutTo19Characters) {
  SysfsTree tree;
  tree.AddPlatformTty("ttyUSB_abcdefghijklmnopq");  // 24 characters
  tree.AddPlatformTty("ttyS0_pad_to_nineteen");     // 21
  ComPortListBuild();
  EXPECT_EQ(List(), (Names{"ttyS0_pad_to_ninete", "ttyUSB_abcdefghijkl"}));
  EXPECT_EQ(std::strlen(ComPortList.names[0]), 19u);
}

TEST(ComPortListBuild, RebuildDropsWhatIsGoneAndLeavesTheRest) {
  SysfsTree tree;
  tree.AddConverter("1-1", "ttyACM0");
  tree.AddBuiltin("ttyS0");
  tree.AddBuiltin("ttyS1");
  ComPortListBuild();
  ASSERT_EQ(List(), (Names{"ttyACM0", "ttyS0", "ttyS1"}));
  tree.Unplug("1-1");
  ComPortListBuild();
  EXPECT_EQ(List(), (Names{"ttyS0", "ttyS1"}));
  EXPECT_STREQ(ComPortList.names[2], "ttyS1");  // beyond the count, as it was
}

TEST(ComPortListBuild, OlderKernelsLookPortsUpByComNumber) {
  SysfsTree tree;
  SerialPortsFrom.majorVersion = VersionFour;
  for (int n = 0; n < 20; ++n) tree.AddPlatformTty("ttyX" + std::to_string(n));
  ComPortListBuild();
  EXPECT_EQ(ComPortList.count, 16);  // COM1 … COM16 of the 20 found, then it stops

  // Both ways list the same ports, except that a lookup offers 32 bytes for a name.
  SysfsTree small;
  small.AddConverter("1-1", "ttyACM0");
  small.AddBuiltin("ttyS0");
  small.AddPlatformTty("ttyLong_" + std::string(30, 'x'));  // 38 characters
  ComPortListBuild();
  EXPECT_EQ(List(), (Names{"ttyACM0", "ttyS0"}));
  SerialPortsFrom.majorVersion = VersionSix;
  ComPortListBuild();
  EXPECT_EQ(List(), (Names{"ttyACM0", "ttyLong_xxxxxxxxxxx", "ttyS0"}));
}
