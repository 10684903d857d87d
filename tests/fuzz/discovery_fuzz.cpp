// The converter search over sysfs trees built from the input in a scratch
// folder, laid out as the kernel lays them out. Whatever the tree, a port the
// search reports is present (listed in class/tty with a device behind it, not a
// port without hardware, among the ports listed) and sits below a USB device
// whose idVendor and idProduct read 16c0 and 4e04.
//
// Input: [kernel version, buffer size] then operations of 2 to 6 bytes that add
// ttys, USB devices, interfaces and their ttys (see Build).

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>

#include "discovery/com_port_list.h"
#include "discovery/device_locator.h"
#include "fuzz_check.h"
#include "platform/serial_ports.h"

namespace fs = std::filesystem;

namespace {

const char* const kTtys[] = {"ttyACM0", "ttyACM1", "ttyUSB0", "ttyS0", "tty1", "COM1", "ttyACM0123456789ABCDEF", "x"};
const char* const kUsbs[] = {"1-1", "1-1.4", "3-2", "2-1"};
// Attribute texts: 16c0 and 4e04 in the forms the kernel and people write, and others.
const char* const kIds[] = {"16c0\n", "4e04\n", "16C0", "4E04 \n", "0403\n", "", "6c0\n", "4e04x\n"};
const char* const kTypes[] = {"0\n", "4\n", "", "x\n"};

int32_t gMajor = 6;
int32_t Major() { return gMajor; }

struct Reader {
  const uint8_t* data;
  size_t size;
  uint8_t Byte() {
    if (size == 0) return 0;
    --size;
    return *data++;
  }
  // A name from the list, or one spelled out by the input (up to 31 bytes).
  std::string Name(const char* const* list, size_t count) {
    const uint8_t n = Byte();
    if ((n & 0x80) == 0) return list[n % count];
    std::string name;
    for (size_t length = n & 31u; length > 0 && size > 0; --length) {
      const char c = static_cast<char>(Byte());
      const bool plain = std::isalnum(static_cast<unsigned char>(c)) || (c != 0 && std::strchr("-_.:", c) != nullptr);
      name += plain ? c : static_cast<char>('a' + static_cast<uint8_t>(c) % 26);
    }
    return name.empty() || name[0] == '.' ? "x" + name : name;
  }
};

// The scratch folder, removed at exit; a plain array, which outlives the exit
// handlers. In memory where there is a tmpfs: a disk makes every run 50 ms.
char gScratch[] = "/dev/shm/rs485-fuzz-XXXXXX";

const std::string& Root() {
  static const std::string root = [] {
    if (!fs::is_directory("/dev/shm")) std::memcpy(gScratch, "/tmp/rs485-fuzz-XXXXXX", 23);
    FuzzCheck(mkdtemp(gScratch) != nullptr, "scratch folder");
    std::atexit([] { fs::remove_all(gScratch); });
    return std::string(gScratch) + "/sys";
  }();
  return root;
}

void Write(const std::string& path, const std::string& text) {
  std::error_code error;
  fs::create_directories(fs::path(path).parent_path(), error);
  std::ofstream(path) << text;
}

void Link(const std::string& target, const std::string& link) {
  std::error_code error;
  fs::create_directories(fs::path(link).parent_path(), error);
  fs::create_directory_symlink(fs::relative(target, fs::path(link).parent_path(), error), link, error);
}

void Build(Reader in) {
  const std::string& root = Root();
  const std::string hub = root + "/devices/pci0000:00/usb1/";
  std::set<std::string> ttys;  // a kernel never has two ttys of one name
  const auto fresh = [&](const std::string& tty) { return ttys.insert(tty).second; };
  while (in.size > 0) {
    const uint8_t op = in.Byte();
    const std::string usb = in.Name(kUsbs, 4);
    const std::string interface = hub + usb + "/" + usb + ":1." + std::to_string(op >> 6);
    switch (op % 8) {
      case 0: case 1: case 2: {  // a tty on the platform bus, a built-in port or a virtual one
        const std::string tty = in.Name(kTtys, 8);
        if (!fresh(tty)) break;
        const std::string device = root + (op % 8 == 2 ? "/devices/virtual" : "/devices/platform/uart-" + tty);
        const std::string dir = device + "/tty/" + tty;
        if (op % 8 == 1) Write(dir + "/type", kTypes[in.Byte() % 4]);
        fs::create_directories(dir);
        if (op % 8 != 2) Link(device, dir + "/device");
        Link(dir, root + "/class/tty/" + tty);
        break;
      }
      case 3: case 4: {  // a USB device with its ids; 4 also an interface with a CDC-ACM tty
        const uint8_t ids = in.Byte();
        Write(hub + usb + "/idVendor", kIds[ids % 8]);
        Write(hub + usb + "/idProduct", kIds[ids / 8 % 8]);
        Link(hub + usb, root + "/bus/usb/devices/" + usb);
        if (op % 8 == 3) break;
        [[fallthrough]];
      }
      case 5: {  // an interface and its CDC-ACM tty, listed or not
        const std::string tty = in.Name(kTtys, 8);
        if (!fresh(tty)) break;
        Write(interface + "/bInterfaceClass", "02\n");
        Link(interface, root + "/bus/usb/devices/" + fs::path(interface).filename().string());
        fs::create_directories(interface + "/tty/" + tty);
        Link(interface, interface + "/tty/" + tty + "/device");
        if ((op & 0x20) == 0) Link(interface + "/tty/" + tty, root + "/class/tty/" + tty);
        break;
      }
      default: {  // a usb-serial tty one level deeper
        const std::string tty = in.Name(kTtys, 8);
        if (!fresh(tty)) break;
        const std::string port = interface + "/" + tty;
        Write(port + "/port_number", "0\n");
        fs::create_directories(port + "/tty/" + tty);
        Link(port, port + "/tty/" + tty + "/device");
        Link(port + "/tty/" + tty, root + "/class/tty/" + tty);
        break;
      }
    }
  }
}

std::string Attribute(const fs::path& path) {
  std::ifstream in(path);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.pop_back();
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool BelowConverter(const std::string& tty) {
  std::error_code error;
  const std::string port = fs::canonical(Root() + "/class/tty/" + tty, error).string();
  for (const auto& entry : fs::directory_iterator(Root() + "/bus/usb/devices", error)) {
    const std::string device = fs::canonical(entry.path(), error).string();
    if (!error && port.rfind(device + "/", 0) == 0 && Attribute(entry.path() / "idVendor") == "16c0" &&
        Attribute(entry.path() / "idProduct") == "4e04")
      return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 512) return 0;
  const std::string& root = Root();
  fs::remove_all(root);
  for (const char* folder : {"/class/tty", "/bus/usb/devices", "/devices/pci0000:00/usb1"})
    fs::create_directories(root + folder);
  SerialPortsFrom.sysRoot = root.c_str();
  SerialPortsFrom.majorVersion = Major;
  gMajor = (data[0] & 1) != 0 ? 4 : 6;
  const size_t bufferSize = (data[0] & 2) != 0 ? data[0] / 4 % ComPortNameSize : ComPortNameSize;
  Build(Reader{data + 1, size - 1});

  char port[ComPortNameSize];
  std::memset(port, 0x7F, sizeof port);
  const int found = LocateDevicePort(port, bufferSize);
  if (found == 0) {
    FuzzCheck(bufferSize == 0 || port[0] == '\0', "no port found leaves an empty name");
    return 0;
  }
  const std::string name(port);
  FuzzCheck(!name.empty() && name.size() < bufferSize, "a found name fits the caller's buffer");
  bool listed = false;
  for (int32_t k = 0; k < ComPortList.count; ++k) listed = listed || name == ComPortList.names[k];
  FuzzCheck(listed, "the port found is among the ports present");
  std::error_code error;
  FuzzCheck(fs::exists(fs::symlink_status(root + "/class/tty/" + name + "/device", error)),
            "the port found has a device behind it");
  FuzzCheck(Attribute(root + "/class/tty/" + name + "/type") != "0", "the port found has hardware");
  FuzzCheck(BelowConverter(name), "the port found belongs to a 16c0:4e04 device");
  return 0;
}
