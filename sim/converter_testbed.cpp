#include "sim/converter_testbed.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <umockdev.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "discovery/device_locator.h"
#include "sim/sim_serve.h"

namespace {

constexpr const char* kRootHub = "/devices/pci0000:00/0000:00:14.0/usb1";
constexpr const char* kPassThroughKey = "rs485-tty-passthrough";

// Character-device majors of the kinds of tty added here.
constexpr int kMajorAcm = 166;
constexpr int kMajorUsbSerial = 188;
constexpr int kMajorBuiltin = 4;
constexpr int kMajorUsbDevice = 189;

// The minor number a tty name ends in (ttyACM3 -> 3).
int TrailingNumber(const char* name) {
  const char* end = name + std::strlen(name);
  const char* p = end;
  while (p > name && p[-1] >= '0' && p[-1] <= '9') --p;
  return p == end ? 0 : std::atoi(p);
}

std::string Hex4(uint16_t value) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", value);
  return text;
}

std::string Number(int value) { return std::to_string(value); }

// One device in umockdev's text format; attribute values end in a newline, as
// sysfs gives them.
struct Device {
  std::string text;
  explicit Device(const std::string& path) { text = "P: " + path + "\n"; }
  Device& Property(const char* name, const std::string& value) {
    text += std::string("E: ") + name + "=" + value + "\n";
    return *this;
  }
  Device& Attribute(const char* name, const std::string& value) {
    text += std::string("A: ") + name + "=" + value + "\\n\n";
    return *this;
  }
  Device& Link(const char* name, const std::string& target) {
    text += std::string("L: ") + name + "=" + target + "\n";
    return *this;
  }
  Device& Node(const std::string& name) {
    text += "N: " + name + "\n";
    return *this;
  }
};

bool Add(UMockdevTestbed* testbed, const std::string& description) {
  GError* error = nullptr;
  if (umockdev_testbed_add_from_string(testbed, description.c_str(), &error)) return true;
  std::fprintf(stderr, "umockdev: %s\n", error != nullptr ? error->message : "cannot add device");
  if (error != nullptr) g_error_free(error);
  return false;
}

// A driver's output queue holds what has not yet crossed the line. The far
// side of these lines is the pseudo-terminal's master: what it has not read
// yet is still on the way. (A pseudo-terminal itself always reports 0.)
bool AnswerOutputQueue(UMockdevTestbed* testbed, UMockdevIoctlClient* client) {
  const int master = umockdev_testbed_get_dev_fd(testbed, umockdev_ioctl_client_get_devnode(client));
  if (master < 0) return false;
  // Asking poll first makes the terminal hand on what was just written; the
  // count alone may not see it yet.
  pollfd settle{master, POLLIN, 0};
  poll(&settle, 1, 0);
  int onTheWay = 0;
  if (ioctl(master, FIONREAD, &onTheWay) != 0) return false;
  GError* error = nullptr;
  UMockdevIoctlData* count = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof onTheWay, &error);
  if (count == nullptr) {
    if (error != nullptr) g_error_free(error);
    return false;
  }
  std::memcpy(count->data, &onTheWay, sizeof onTheWay);
  g_object_unref(count);
  umockdev_ioctl_client_complete(client, 0, 0);
  return true;
}

// Runs every ioctl of a client on the client's own descriptor, that is on the
// pseudo-terminal behind the node, and hands back its result; the output
// queue is answered as a line's driver would.
gboolean PassThroughIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer testbed) {
  if (umockdev_ioctl_client_get_request(client) == TIOCOUTQ &&
      AnswerOutputQueue(static_cast<UMockdevTestbed*>(testbed), client))
    return TRUE;
  gint clientErrno = 0;
  GError* error = nullptr;
  const gint result = umockdev_ioctl_client_execute(client, &clientErrno, &error);
  if (error != nullptr) {
    g_error_free(error);
    umockdev_ioctl_client_complete(client, -1, EIO);
    return TRUE;
  }
  umockdev_ioctl_client_complete(client, result, clientErrno);
  return TRUE;
}

// A removed device's /dev entries go with it while its terminal stays: a
// device that gets the name again gets them back, leading to that terminal.
void RestoreNode(UMockdevTestbed* testbed, const char* ttyName, int major, int minor) {
  const int master = umockdev_testbed_get_dev_fd(testbed, (std::string("/dev/") + ttyName).c_str());
  gchar* root = umockdev_testbed_get_root_dir(testbed);
  const std::string dev = std::string(root) + "/dev/";
  g_free(root);
  const char* slave = master >= 0 ? ptsname(master) : nullptr;
  struct stat entry {};
  if (slave == nullptr || lstat((dev + ttyName).c_str(), &entry) == 0) return;
  const std::string number = dev + ".node/" + ttyName;  // umockdev may have made this one
  if (symlink(slave, (dev + ttyName).c_str()) != 0 ||
      (lstat(number.c_str(), &entry) != 0 && symlink((Number(major) + ":" + Number(minor)).c_str(), number.c_str()) != 0))
    std::fprintf(stderr, "umockdev: /dev/%s cannot be made again: %s\n", ttyName, std::strerror(errno));
}

// Attaches the pass-through handler to /dev/<tty> and returns the master side
// of its pseudo-terminal.
int TtyMaster(UMockdevTestbed* testbed, const char* ttyName, int major, int minor) {
  RestoreNode(testbed, ttyName, major, minor);
  const std::string node = std::string("/dev/") + ttyName;
  auto* handler = static_cast<UMockdevIoctlBase*>(g_object_get_data(G_OBJECT(testbed), kPassThroughKey));
  if (handler == nullptr) {
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(PassThroughIoctl), testbed);
    g_object_set_data_full(G_OBJECT(testbed), kPassThroughKey, handler, g_object_unref);
  }
  // A node kept from a removed device has its handler already.
  const std::string attachedKey = "rs485-attached:" + node;
  if (g_object_get_data(G_OBJECT(testbed), attachedKey.c_str()) != nullptr)
    return umockdev_testbed_get_dev_fd(testbed, node.c_str());
  g_object_set_data(G_OBJECT(testbed), attachedKey.c_str(), handler);
  GError* error = nullptr;
  if (!umockdev_testbed_attach_ioctl(testbed, node.c_str(), handler, &error)) {
    std::fprintf(stderr, "umockdev: %s: %s\n", node.c_str(), error != nullptr ? error->message : "no ioctl handler");
    if (error != nullptr) g_error_free(error);
    return -1;
  }
  return umockdev_testbed_get_dev_fd(testbed, node.c_str());
}

Device UsbDevice(const std::string& path, uint16_t vendor, uint16_t product, int number,
                 const char* serial = nullptr) {
  Device d(path);
  if (serial != nullptr) d.Attribute("serial", serial);
  d.Property("SUBSYSTEM", "usb")
      .Property("DEVTYPE", "usb_device")
      .Property("DRIVER", "usb")
      .Property("DEVNAME", "/dev/bus/usb/001/" + std::string(number < 10 ? "00" : "0") + Number(number))
      .Attribute("idVendor", Hex4(vendor))
      .Attribute("idProduct", Hex4(product))
      .Attribute("bConfigurationValue", "1")
      .Attribute("busnum", "1")
      .Attribute("devnum", Number(number))
      .Attribute("dev", Number(kMajorUsbDevice) + ":" + Number(number - 1));
  return d;
}

Device UsbInterface(const std::string& path, const char* driver, const char* interfaceClass) {
  Device d(path);
  d.Property("SUBSYSTEM", "usb")
      .Property("DEVTYPE", "usb_interface")
      .Property("DRIVER", driver)
      .Attribute("bInterfaceNumber", "00")
      .Attribute("bInterfaceClass", interfaceClass);
  return d;
}

// umockdev keeps a node's terminal once made, also after its device was
// removed: a device that gets a name used before gets the same terminal (see
// RestoreNode), as a re-enumerated name points at whatever device now holds it.
Device Tty(UMockdevTestbed* testbed, const std::string& path, const char* ttyName, int major, int minor,
           const std::string& deviceLink) {
  Device d(path);
  const std::string node = std::string("/dev/") + ttyName;
  if (umockdev_testbed_get_dev_fd(testbed, node.c_str()) < 0) d.Node(ttyName);
  d.Property("SUBSYSTEM", "tty")
      .Property("DEVNAME", std::string("/dev/") + ttyName)
      .Attribute("dev", Number(major) + ":" + Number(minor))
      .Link("device", deviceLink);
  return d;
}

// Device numbers on the bus follow the name (1-1 -> 2, 1-2 -> 3, …).
int UsbNumber(const char* usbName) { return TrailingNumber(usbName) + 1; }

std::string UsbPath(const char* usbName) { return std::string(kRootHub) + "/" + usbName; }

}  // namespace

bool TestbedUnderWrapper() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

int TestbedRunUnderWrapper(char** argv) {
  char self[4096];
  const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
  if (length <= 0) return errno;
  self[length] = '\0';
  std::vector<char*> arguments = {const_cast<char*>("umockdev-wrapper"), self};
  for (char** a = argv + 1; *a != nullptr; ++a) arguments.push_back(*a);
  arguments.push_back(nullptr);
  execvp(arguments[0], arguments.data());
  return errno;
}

UMockdevTestbed* TestbedCreate() {
  if (!TestbedUnderWrapper()) return nullptr;
  UMockdevTestbed* testbed = umockdev_testbed_new();
  if (testbed == nullptr) return nullptr;
  if (!Add(testbed, UsbDevice(kRootHub, 0x1d6b, 0x0002, 1).text)) {
    g_object_unref(testbed);
    return nullptr;
  }
  return testbed;
}

void TestbedDestroy(UMockdevTestbed* testbed) {
  if (testbed != nullptr) g_object_unref(testbed);
}

int TestbedAddCdcAcm(UMockdevTestbed* testbed, const char* usbName, uint16_t vendor, uint16_t product,
                     const char* ttyName, const char* serial) {
  const std::string device = UsbPath(usbName);
  const std::string interface = device + "/" + usbName + ":1.0";
  const std::string description =
      UsbDevice(device, vendor, product, UsbNumber(usbName), serial).text + "\n" +
      UsbInterface(interface, "cdc_acm", "02").text + "\n" +
      Tty(testbed, interface + "/tty/" + ttyName, ttyName, kMajorAcm, TrailingNumber(ttyName), "../../../" + std::string(usbName) + ":1.0")
          .text;
  if (!Add(testbed, description)) return -1;
  return TtyMaster(testbed, ttyName, kMajorAcm, TrailingNumber(ttyName));
}

bool TestbedAddUsbWithoutDriver(UMockdevTestbed* testbed, const char* usbName, uint16_t vendor, uint16_t product,
                                const char* serial) {
  const std::string device = UsbPath(usbName);
  Device interface(device + "/" + usbName + ":1.0");
  interface.Property("SUBSYSTEM", "usb").Property("DEVTYPE", "usb_interface").Attribute("bInterfaceNumber", "00")
      .Attribute("bInterfaceClass", "02");
  return Add(testbed, UsbDevice(device, vendor, product, UsbNumber(usbName), serial).text + "\n" + interface.text);
}

int TestbedAddConverter(UMockdevTestbed* testbed, const char* usbName, const char* ttyName, const char* serial) {
  return TestbedAddCdcAcm(testbed, usbName, ConverterUsbVendor, ConverterUsbProduct, ttyName, serial);
}

int TestbedAddUsbSerial(UMockdevTestbed* testbed, const char* usbName, uint16_t vendor, uint16_t product,
                        const char* ttyName) {
  const std::string device = UsbPath(usbName);
  const std::string interface = device + "/" + usbName + ":1.0";
  const std::string port = interface + "/" + ttyName;
  Device portDevice(port);
  portDevice.Property("SUBSYSTEM", "usb-serial").Property("DRIVER", "ftdi_sio").Attribute("port_number", "0");
  const std::string description =
      UsbDevice(device, vendor, product, UsbNumber(usbName)).text + "\n" +
      UsbInterface(interface, "ftdi_sio", "ff").text + "\n" + portDevice.text + "\n" +
      Tty(testbed, port + "/tty/" + ttyName, ttyName, kMajorUsbSerial, TrailingNumber(ttyName), "../../../" + std::string(ttyName)).text;
  if (!Add(testbed, description)) return -1;
  return TtyMaster(testbed, ttyName, kMajorUsbSerial, TrailingNumber(ttyName));
}

int TestbedAddBuiltinSerial(UMockdevTestbed* testbed, const char* ttyName, int type) {
  const std::string platform = "/devices/platform/serial8250";
  std::string description;
  gchar* sysDir = umockdev_testbed_get_sys_dir(testbed);
  const std::string platformDir = std::string(sysDir) + platform;
  g_free(sysDir);
  if (!g_file_test(platformDir.c_str(), G_FILE_TEST_IS_DIR)) {
    Device d(platform);
    d.Property("SUBSYSTEM", "platform").Property("DRIVER", "serial8250");
    description = d.text + "\n";
  }
  // The 8250 ports start at minor 64.
  Device tty = Tty(testbed, platform + "/tty/" + ttyName, ttyName, kMajorBuiltin, 64 + TrailingNumber(ttyName),
                   "../../../serial8250");
  tty.Attribute("type", Number(type)).Attribute("line", Number(TrailingNumber(ttyName)));
  description += tty.text;
  if (!Add(testbed, description)) return -1;
  return TtyMaster(testbed, ttyName, kMajorBuiltin, 64 + TrailingNumber(ttyName));
}

void TestbedRemoveUsb(UMockdevTestbed* testbed, const char* usbName) {
  // umockdev removes only the device it is given: its interfaces and ttys go
  // first, deepest first, so that their class links and /dev nodes go too and
  // the names are free for the next device, as after a real unplug.
  gchar* sysDir = umockdev_testbed_get_sys_dir(testbed);
  const std::string root(sysDir);
  g_free(sysDir);
  std::vector<std::string> devices;
  const std::filesystem::path top = root + UsbPath(usbName);
  std::error_code error;
  for (auto it = std::filesystem::recursive_directory_iterator(top, error);
       it != std::filesystem::recursive_directory_iterator(); it.increment(error)) {
    if (it->is_directory(error) && !it->is_symlink(error) && std::filesystem::exists(it->path() / "uevent", error))
      devices.push_back(it->path().string().substr(root.size()));
  }
  std::sort(devices.begin(), devices.end(), [](const std::string& a, const std::string& b) { return a.size() > b.size(); });
  for (const std::string& device : devices) umockdev_testbed_remove_device(testbed, ("/sys" + device).c_str());
  umockdev_testbed_remove_device(testbed, ("/sys" + UsbPath(usbName)).c_str());
  // Links by device number and by class that pointed into it are left behind.
  for (const char* folder : {"/dev/char", "/class/tty", "/bus/usb/devices"}) {
    for (const auto& entry : std::filesystem::directory_iterator(root + folder, error)) {
      if (entry.is_symlink(error) && !std::filesystem::exists(entry.path(), error))
        std::filesystem::remove(entry.path(), error);
    }
  }
}

TestbedConverters::~TestbedConverters() {
  while (!served_.empty()) Unplug(served_.begin()->first.c_str());
}

bool TestbedConverters::Plug(SimConverter& converter, const char* usbName, const char* ttyName, const char* serial) {
  const int master = TestbedAddConverter(testbed_, usbName, ttyName, serial);
  if (master < 0) return false;
  auto server = std::make_unique<SimServer>(converter, master, SimServeTerminal);
  if (!server->Ok()) return false;
  served_[usbName] = std::move(server);
  return true;
}

void TestbedConverters::Unplug(const char* usbName) {
  const std::string name = usbName;  // may be the map's own key
  served_.erase(name);
  TestbedRemoveUsb(testbed_, name.c_str());
}
