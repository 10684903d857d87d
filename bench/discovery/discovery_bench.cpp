// One search for the converter runs on the window thread every second while the
// converter is absent; these show what a search costs.
//   build/bench/discovery/discovery_bench

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "platform/serial_ports.h"

namespace fs = std::filesystem;

namespace {

// A tree like a PC's: 64 virtual consoles, 32 8250 ports of which 4 are real, a
// USB hub with 8 other devices and the converter.
class PcTree {
 public:
  PcTree() {
    char pattern[] = "/tmp/rs485-bench-XXXXXX";
    root_ = mkdtemp(pattern);
    const std::string sys = root_ + "/sys";
    for (int n = 0; n < 64; ++n) Dir(sys + "/class/tty/tty" + std::to_string(n));
    for (int n = 0; n < 32; ++n) {
      const std::string dir = sys + "/devices/platform/serial8250/tty/ttyS" + std::to_string(n);
      Dir(dir);
      std::ofstream(dir + "/type") << (n < 4 ? "4\n" : "0\n");
      fs::create_directory_symlink("../../../serial8250", dir + "/device");
      fs::create_directory_symlink(dir, sys + "/class/tty/ttyS" + std::to_string(n));
    }
    const std::string hub = sys + "/devices/pci0000:00/0000:00:14.0/usb1";
    Dir(sys + "/bus/usb/devices");
    for (int n = 1; n <= 9; ++n) {
      const std::string usb = "1-" + std::to_string(n);
      const std::string dir = hub + "/" + usb;
      const std::string interface = dir + "/" + usb + ":1.0";
      Dir(interface);
      std::ofstream(dir + "/idVendor") << (n == 9 ? "16c0\n" : "046d\n");
      std::ofstream(dir + "/idProduct") << (n == 9 ? "4e04\n" : "c52b\n");
      fs::create_directory_symlink(dir, sys + "/bus/usb/devices/" + usb);
      fs::create_directory_symlink(interface, sys + "/bus/usb/devices/" + usb + ":1.0");
    }
    const std::string tty = hub + "/1-9/1-9:1.0/tty/ttyACM0";
    Dir(tty);
    fs::create_directory_symlink("../../../1-9:1.0", tty + "/device");
    fs::create_directory_symlink(tty, sys + "/class/tty/ttyACM0");
    sys_ = sys;
  }
  ~PcTree() { fs::remove_all(root_); }
  const char* sys() const { return sys_.c_str(); }

 private:
  static void Dir(const std::string& path) { fs::create_directories(path); }
  std::string root_;
  std::string sys_;
};

void BM_ListBuildRealSys(benchmark::State& state) {
  SerialPortsFrom.sysRoot = "/sys";
  for (auto _ : state) {
    ComPortListBuild();
    benchmark::DoNotOptimize(ComPortList.count);
  }
  state.counters["ports"] = ComPortList.count;
}
BENCHMARK(BM_ListBuildRealSys);

void BM_LocateRealSys(benchmark::State& state) {
  SerialPortsFrom.sysRoot = "/sys";
  char port[ComPortNameSize];
  for (auto _ : state) benchmark::DoNotOptimize(LocateDevicePort(port, sizeof port));
}
BENCHMARK(BM_LocateRealSys);

void BM_LocatePcTree(benchmark::State& state) {
  PcTree tree;
  SerialPortsFrom.sysRoot = tree.sys();
  char port[ComPortNameSize];
  int found = 0;
  for (auto _ : state) found = LocateDevicePort(port, sizeof port);
  state.counters["found"] = found;
  SerialPortsFrom.sysRoot = "/sys";
}
BENCHMARK(BM_LocatePcTree);

}  // namespace

BENCHMARK_MAIN();
