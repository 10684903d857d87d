// The discovery on the Windows registry: the test writes the keys a Windows
// system keeps for its serial ports (HARDWARE\DEVICEMAP\SERIALCOMM, volatile)
// and for its USB devices (SYSTEM\CurrentControlSet\Enum\USB\VID_…&PID_…\<instance>
// \Device Parameters\PortName), then lists the ports and locates the converter.

#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "platform/serial_ports.h"

namespace {

const char kSerialComm[] = "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kUsb[] = "SYSTEM\\CurrentControlSet\\Enum\\USB\\";
const char kConverter[] = "VID_16C0&PID_4E04";
const char kOtherDevice[] = "VID_0403&PID_6001";

using Values = std::vector<std::pair<std::string, std::string>>;

void SetValues(const std::string& path, const Values& values, DWORD options) {
  HKEY key = nullptr;
  ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, options, KEY_ALL_ACCESS, nullptr, &key,
                            nullptr),
            ERROR_SUCCESS)
      << path;
  for (const auto& [name, data] : values)
    EXPECT_EQ(RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>(data.size() + 1)),
              ERROR_SUCCESS);
  RegCloseKey(key);
}

// The serial ports present, as the system would list them.
void PresentPorts(const Values& values) {
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSerialComm);
  SetValues(kSerialComm, values, REG_OPTION_VOLATILE);
}

// One instance of a USB device; without a port name it has no Device Parameters.
void UsbInstance(const std::string& device, const std::string& instance, const Values& parameters,
                 bool withParameters = true) {
  const std::string path = std::string(kUsb) + device + "\\" + instance;
  SetValues(path, {}, REG_OPTION_NON_VOLATILE);
  if (withParameters) SetValues(path + "\\Device Parameters", parameters, REG_OPTION_NON_VOLATILE);
}

std::vector<std::string> ListedPorts() {
  ComPortListBuild();
  return std::vector<std::string>(ComPortList.names, ComPortList.names + ComPortList.count);
}

std::string Located() {
  char name[ComPortNameSize] = "unchanged";
  const int found = LocateDevicePort(name, sizeof name);
  EXPECT_EQ(found, name[0] != '\0' ? 1 : 0);
  return name;
}

class Registry : public ::testing::Test {
 protected:
  void SetUp() override { Clear(); }
  void TearDown() override {
    Clear();
    PresentPorts({});  // the key stays, as on every system: later writers add to it
    ::SerialPortsFrom.majorVersion = SerialPortsKernelMajorVersion;
  }
  static void Clear() {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kUsb) + kConverter).c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kUsb) + kOtherDevice).c_str());
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSerialComm);
  }
};

TEST_F(Registry, PortsAreListedWithComNumbersInNumberOrder) {
  EXPECT_GE(SerialPortsMajorVersion(), 5);  // the system's own: values are enumerated
  EXPECT_TRUE(ListedPorts().empty());    // no key: no ports
  static SerialPortTable table;
  EXPECT_EQ(SerialPortsPresent(table), ENOENT);  // the registry's reason, in errno terms

  PresentPorts({{"\\Device\\Serial0", "COM10"},
                {"\\Device\\Serial1", "COM3"},
                {"\\Device\\Serial2", "COM1"},
                {"\\Device\\VCP0", "USBSER0"},
                {"\\Device\\Serial3", "COM11"},
                {"\\Device\\com0com10", "CNCA0"},
                {"\\Device\\Serial4", "COM2"},
                {"\\Device\\Long", std::string(100, 'X')}});  // data beyond 80 bytes: skipped
  EXPECT_EQ(ListedPorts(),
            (std::vector<std::string>{"CNCA0", "COM1", "COM2", "COM3", "COM10", "COM11", "USBSER0"}));
}

TEST_F(Registry, OldSystemsLookPortsUpByTheirComNames) {
  ::SerialPortsFrom.majorVersion = [] { return int32_t{4}; };
  PresentPorts({{"COM1", "COM1"}, {"COM12", "COM12"}, {"COM100", "COM100"}, {"\\Device\\Serial0", "COM3"}});
  EXPECT_EQ(ListedPorts(), (std::vector<std::string>{"COM1", "COM12"}));
}

TEST_F(Registry, ConverterIsFoundBehindDecoys) {
  EXPECT_EQ(Located(), "");  // no key of the converter at all
  static SerialPortTable table;
  EXPECT_EQ(SerialPortsOfUsbDevice(0x16C0, 0x4E04, table), ENOENT);

  PresentPorts({{"\\Device\\Serial0", "COM2"}, {"\\Device\\Serial1", "COM7"}, {"\\Device\\Serial2", "COM10"}});
  UsbInstance(kOtherDevice, "FT1", {{"PortName", "COM2"}});   // another USB serial device, present
  UsbInstance(kConverter, "5&1", {}, false);                 // no Device Parameters
  UsbInstance(kConverter, "5&2", {{"PortName", "COM5"}});    // not among the ports present
  UsbInstance(kConverter, "5&3", {{"PortName", "com7"}});    // present only in another letter case
  UsbInstance(kConverter, "5&4", {{"Other", "COM7"}});       // no PortName
  EXPECT_EQ(Located(), "");

  UsbInstance(kConverter, "5&5", {{"PortName", "COM10"}});
  UsbInstance(kConverter, "5&6", {{"PortName", "COM7"}});
  EXPECT_EQ(Located(), "COM10");  // the first instance in the registry's order wins

  RegDeleteTreeA(HKEY_LOCAL_MACHINE, (std::string(kUsb) + kConverter + "\\5&5").c_str());
  EXPECT_EQ(Located(), "COM7");
}

TEST_F(Registry, ConvertersAreKnownByTheirSerialNumberAndPlace) {
  PresentPorts({{"\\Device\\USBSER000", "COM5"}, {"\\Device\\USBSER001", "COM7"}, {"\\Device\\Serial0", "COM2"}});
  UsbInstance(kOtherDevice, "FT1", {{"PortName", "COM2"}});
  // Windows names an instance after its serial number, or makes a name up
  // (with '&') for a device without one.
  UsbInstance(kConverter, "A1B2C3", {{"PortName", "COM5"}});
  SetValues(std::string(kUsb) + kConverter + "\\A1B2C3", {{"LocationInformation", "Port_#0001.Hub_#0002"}},
            REG_OPTION_NON_VOLATILE);
  UsbInstance(kConverter, "5&1A2B&0&3", {{"PortName", "COM7"}});
  SetValues(std::string(kUsb) + kConverter + "\\5&1A2B&0&3", {{"LocationInformation", "Port_#0003.Hub_#0001"}},
            REG_OPTION_NON_VOLATILE);
  UsbInstance(kConverter, "Z9", {{"PortName", "COM9"}});  // not present
  ConverterList list;
  LocateConverters(list);
  std::vector<std::string> found;
  for (int32_t k = 0; k < list.count; ++k)
    found.push_back(std::string(list.converters[k].port) + " " + list.converters[k].serial + " " + list.converters[k].location);
  EXPECT_EQ(found, (std::vector<std::string>{"COM7  Port_#0003.Hub_#0001", "COM5 A1B2C3 Port_#0001.Hub_#0002"}));

  // Back under another name after its update's mode switch: followed by its serial number.
  UsbInstance(kConverter, "A1B2C3", {{"PortName", "COM8"}});
  PresentPorts({{"\\Device\\USBSER000", "COM8"}, {"\\Device\\USBSER001", "COM7"}});
  ConverterPort now{};
  ASSERT_TRUE(LocateConverterAgain(list.converters[1], now));
  EXPECT_STREQ(now.port, "COM8");
}

// A device key removed while the search walks it (the device uninstalled):
// the registry then refuses every index of the open key, and each search must
// end rather than try them all. The key comes and goes here while another
// thread searches; every search has to end within the deadline.
TEST_F(Registry, AKeyRemovedDuringTheSearchEndsIt) {
  const std::string key = std::string(kUsb) + kConverter;
  std::atomic<int> searches{0};
  std::thread searcher([&] {
    for (char port[ComPortNameSize]; searches < 500; ++searches) LocateDevicePort(port, sizeof port);
  });
  for (const ULONGLONG end = GetTickCount64() + 30000; searches < 500 && GetTickCount64() < end;) {
    SetValues(key, {}, REG_OPTION_NON_VOLATILE);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
  }
  const int done = searches;
  if (done < 500)
    searcher.detach();  // stuck in a search that never comes back
  else
    searcher.join();
  EXPECT_EQ(done, 500) << "the searches stopped";
}

}  // namespace
