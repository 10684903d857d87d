// One search for the converter runs on the window thread every second while the
// converter is absent; this shows what a search costs, against the bare
// reading of the two folders every search walks (class/tty and
// bus/usb/devices), interleaved in the same run. Each case prints both medians
// and their ratio.
//
//   build/bench/discovery/discovery_bench [rounds]     (default 500)

#include <dirent.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "bench/support/bench_stats.h"
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

// The entries of the folders a search walks, read and nothing else.
bool BareListing() {
  for (const char* folder : {"/class/tty", "/bus/usb/devices"}) {
    DIR* d = opendir((std::string(SerialPortsFrom.sysRoot) + folder).c_str());
    if (d == nullptr) continue;
    while (readdir(d) != nullptr) {
    }
    closedir(d);
  }
  return true;
}

// Times search and the bare listing alternately under sysRoot and prints both.
template <class Search>
void Case(const char* what, const char* sysRoot, int rounds, Search search) {
  SerialPortsFrom.sysRoot = sysRoot;
  bool ok = true;
  bool listed = true;
  std::vector<double> searchUs, bareUs;
  for (int i = 0; i < rounds; ++i) {
    searchUs.push_back(BenchTimeUs(search, &ok));
    bareUs.push_back(BenchTimeUs(BareListing, &listed));
  }
  SerialPortsFrom.sysRoot = "/sys";
  const double s = BenchMedian(searchUs);
  const double b = BenchMedian(bareUs);
  std::printf("%-40s median %8.1f us   bare listing %6.1f us   ratio %6.1f%s\n", what, s, b, b > 0 ? s / b : 0.0,
              ok ? "" : "   (a search found nothing)");
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 500;
  char port[ComPortNameSize];
  std::printf("discovery_bench: %d rounds of each, interleaved with the bare listing\n", rounds);
  Case("ComPortListBuild, this machine's /sys", "/sys", rounds, [] {
    ComPortListBuild();
    return true;
  });
  Case("LocateDevicePort, this machine's /sys", "/sys", rounds, [&] {
    LocateDevicePort(port, sizeof port);
    return true;
  });
  const PcTree tree;
  Case("LocateDevicePort, a PC's tree (found)", tree.sys(), rounds,
       [&] { return LocateDevicePort(port, sizeof port) != 0; });
  return 0;
}
