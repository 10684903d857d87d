#include "platform/device_registry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstring>

const RegistrySource RegistryDefault = {"/sys", RegistryKernelMajorVersion};
RegistrySource Registry = RegistryDefault;

namespace {

constexpr size_t kNameMax = 256;  // a directory entry's name and its terminator

struct Snapshot {
  int32_t count;
  bool open;
};

// Names in byte order, at most `capacity` of them.
struct NameTable {
  char (*names)[kNameMax];
  int32_t capacity;
  Snapshot* state;
};

char gPorts[RegistryPortCapacity][kNameMax];
Snapshot gPortState = {0, false};
char gInstances[RegistryInstanceCapacity][kNameMax];
Snapshot gInstanceState = {0, false};

NameTable PortNames() { return {gPorts, RegistryPortCapacity, &gPortState}; }
NameTable InstanceNames() { return {gInstances, RegistryInstanceCapacity, &gInstanceState}; }

// Inserts a name at its place in byte order; when the table is full the last
// name in that order falls out.
void InsertSorted(NameTable t, const char* name) {
  int32_t at = t.state->count;
  while (at > 0 && std::strcmp(t.names[at - 1], name) > 0) --at;
  if (at >= t.capacity) return;
  const int32_t last = t.state->count < t.capacity ? t.state->count : t.capacity - 1;
  for (int32_t k = last; k > at; --k) std::memcpy(t.names[k], t.names[k - 1], kNameMax);
  std::snprintf(t.names[at], kNameMax, "%s", name);
  if (t.state->count < t.capacity) ++t.state->count;
}

bool IsDots(const char* name) {
  return std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0;
}

// Joins two to four parts with '/'; false when the path does not fit.
bool JoinPath(char* out, size_t size, const char* a, const char* b, const char* c = nullptr,
              const char* d = nullptr) {
  int n = 0;
  if (c == nullptr)
    n = std::snprintf(out, size, "%s/%s", a, b);
  else if (d == nullptr)
    n = std::snprintf(out, size, "%s/%s/%s", a, b, c);
  else
    n = std::snprintf(out, size, "%s/%s/%s/%s", a, b, c, d);
  return n >= 0 && static_cast<size_t>(n) < size;
}

bool Exists(const char* path) {
  struct stat st{};
  return lstat(path, &st) == 0;
}

// Reads a small attribute file into text (terminated); false when unreadable.
bool ReadAttribute(const char* path, char* text, size_t size) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  size_t got = 0;
  while (got + 1 < size) {
    const ssize_t r = read(fd, text + got, size - 1 - got);
    if (r < 0) {
      close(fd);
      return false;
    }
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  close(fd);
  text[got] = '\0';
  return true;
}

bool OnlySpaceFrom(const char* p) {
  while (*p == ' ' || *p == '\n' || *p == '\t') ++p;
  return *p == '\0';
}

// An attribute holding one hexadecimal number of 1 to 4 digits ("16c0\n").
bool ReadHex16(const char* path, uint16_t* value) {
  char text[32];
  if (!ReadAttribute(path, text, sizeof text)) return false;
  uint32_t v = 0;
  int digits = 0;
  const char* p = text;
  for (; digits < 5; ++p, ++digits) {
    const char c = *p;
    int d = -1;
    if (c >= '0' && c <= '9') d = c - '0';
    if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
    if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
    if (d < 0) break;
    v = v * 16 + static_cast<uint32_t>(d);
  }
  if (digits == 0 || digits > 4 || !OnlySpaceFrom(p)) return false;
  *value = static_cast<uint16_t>(v);
  return true;
}

// A decimal attribute ("4\n"); false when unreadable or not a number.
bool ReadDecimal(const char* path, long* value) {
  char text[32];
  if (!ReadAttribute(path, text, sizeof text)) return false;
  const char* p = text;
  if (*p < '0' || *p > '9') return false;
  long v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (v > 100000000) return false;
    v = v * 10 + (*p - '0');
  }
  if (!OnlySpaceFrom(p)) return false;
  *value = v;
  return true;
}

// tty1, tty2, …: the virtual consoles.
bool IsVirtualConsole(const char* name) {
  if (std::strncmp(name, "tty", 3) != 0 || name[3] == '\0') return false;
  for (const char* p = name + 3; *p != '\0'; ++p)
    if (*p < '0' || *p > '9') return false;
  return true;
}

bool IsPresentPort(const char* classDir, const char* name) {
  if (IsVirtualConsole(name)) return false;
  char path[PATH_MAX];
  if (!JoinPath(path, sizeof path, classDir, name, "device") || !Exists(path)) return false;
  // A serial-core port of type 0 has no hardware behind it: the 8250 driver
  // registers ttyS0 to ttyS31 whether or not the ports exist.
  long type = 0;
  if (JoinPath(path, sizeof path, classDir, name, "type") && ReadDecimal(path, &type) && type == 0)
    return false;
  return true;
}

int CopyName(const char* from, char* to, size_t size) {
  const size_t length = std::strlen(from);
  if (size == 0 || length >= size) return RegistryTooLong;
  std::memcpy(to, from, length + 1);
  return RegistryOk;
}

int EntryAt(NameTable t, int32_t index, char* name, size_t size) {
  if (!t.state->open || index < 0 || index >= t.state->count) return RegistryNoEntry;
  return CopyName(t.names[index], name, size);
}

// The smallest entry name of a folder; false when it cannot be read or is empty.
bool SmallestEntry(const char* dir, char* out, size_t size) {
  DIR* d = opendir(dir);
  if (d == nullptr) return false;
  bool found = false;
  while (const dirent* e = readdir(d)) {
    if (IsDots(e->d_name)) continue;
    if (!found || std::strcmp(e->d_name, out) < 0) {
      std::snprintf(out, size, "%s", e->d_name);
      found = true;
    }
  }
  closedir(d);
  return found;
}

// The tty bound to a USB interface: interface/tty/NAME (CDC-ACM), or else
// interface/PORT/tty/NAME (usb-serial), taking the smallest PORT with a tty.
bool InterfaceTty(const char* interfaceDir, char* out, size_t size) {
  char path[PATH_MAX];
  if (JoinPath(path, sizeof path, interfaceDir, "tty") && SmallestEntry(path, out, size)) return true;
  DIR* d = opendir(interfaceDir);
  if (d == nullptr) return false;
  char bestPort[kNameMax] = "";
  bool found = false;
  while (const dirent* e = readdir(d)) {
    if (IsDots(e->d_name) || std::strcmp(e->d_name, "tty") == 0) continue;
    if (found && std::strcmp(e->d_name, bestPort) >= 0) continue;
    char tty[kNameMax];
    if (!JoinPath(path, sizeof path, interfaceDir, e->d_name, "tty") ||
        !SmallestEntry(path, tty, sizeof tty))
      continue;
    std::snprintf(bestPort, sizeof bestPort, "%s", e->d_name);
    std::snprintf(out, size, "%s", tty);
    found = true;
  }
  closedir(d);
  return found;
}

}  // namespace

int32_t RegistryKernelMajorVersion() {
  utsname u{};
  if (uname(&u) != 0) return 0;
  int32_t major = 0;
  for (const char* p = u.release; *p >= '0' && *p <= '9' && major < 100000; ++p)
    major = major * 10 + (*p - '0');
  return major;
}

int32_t RegistryMajorVersion() {
  return Registry.majorVersion != nullptr ? Registry.majorVersion() : RegistryKernelMajorVersion();
}

int RegistrySerialPortsOpen() {
  gPortState = {0, false};
  char classDir[PATH_MAX];
  if (!JoinPath(classDir, sizeof classDir, Registry.sysRoot, "class", "tty")) return RegistryUnreadable;
  DIR* d = opendir(classDir);
  if (d == nullptr) return RegistryUnreadable;
  while (const dirent* e = readdir(d)) {
    if (IsDots(e->d_name) || !IsPresentPort(classDir, e->d_name)) continue;
    InsertSorted(PortNames(), e->d_name);
  }
  closedir(d);
  gPortState.open = true;
  return RegistryOk;
}

int RegistrySerialPortAt(int32_t index, char* name, size_t size) {
  return EntryAt(PortNames(), index, name, size);
}

int RegistrySerialPortByName(const char* valueName, char* name, size_t size) {
  if (valueName == nullptr || std::strncmp(valueName, "COM", 3) != 0) return RegistryNoEntry;
  const char* p = valueName + 3;
  if (*p < '1' || *p > '9') return RegistryNoEntry;  // no digits, 0 or a leading zero
  int32_t n = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    if (n > RegistryPortCapacity) return RegistryNoEntry;
    n = n * 10 + (*p - '0');
  }
  if (*p != '\0') return RegistryNoEntry;
  return EntryAt(PortNames(), n - 1, name, size);
}

void RegistrySerialPortsClose() { gPortState = {0, false}; }

int RegistryUsbDeviceOpen(uint16_t vendor, uint16_t product) {
  gInstanceState = {0, false};
  char busDir[PATH_MAX];
  if (!JoinPath(busDir, sizeof busDir, Registry.sysRoot, "bus/usb", "devices")) return RegistryUnreadable;
  DIR* d = opendir(busDir);
  if (d == nullptr) return RegistryUnreadable;
  while (const dirent* e = readdir(d)) {
    if (IsDots(e->d_name)) continue;
    // Interfaces (1-1:1.0) carry no idVendor and fall out here.
    char path[PATH_MAX];
    uint16_t v = 0;
    uint16_t p = 0;
    if (!JoinPath(path, sizeof path, busDir, e->d_name, "idVendor") || !ReadHex16(path, &v) || v != vendor)
      continue;
    if (!JoinPath(path, sizeof path, busDir, e->d_name, "idProduct") || !ReadHex16(path, &p) || p != product)
      continue;
    InsertSorted(InstanceNames(), e->d_name);
  }
  closedir(d);
  gInstanceState.open = true;
  return RegistryOk;
}

int RegistryUsbInstanceAt(int32_t index, char* instance, size_t size) {
  return EntryAt(InstanceNames(), index, instance, size);
}

int RegistryUsbInstancePort(const char* instance, char* port, size_t size) {
  if (instance == nullptr || instance[0] == '\0' || IsDots(instance) || std::strchr(instance, '/') != nullptr)
    return RegistryNoEntry;
  char deviceDir[PATH_MAX];
  if (!JoinPath(deviceDir, sizeof deviceDir, Registry.sysRoot, "bus/usb/devices", instance))
    return RegistryNoEntry;
  DIR* d = opendir(deviceDir);
  if (d == nullptr) return RegistryNoEntry;

  // The interfaces are named after the device: 1-1:1.0, 1-1:1.1, …
  const size_t prefix = std::strlen(instance);
  char bestInterface[kNameMax] = "";
  char bestTty[kNameMax] = "";
  bool found = false;
  while (const dirent* e = readdir(d)) {
    if (std::strncmp(e->d_name, instance, prefix) != 0 || e->d_name[prefix] != ':') continue;
    if (found && std::strcmp(e->d_name, bestInterface) >= 0) continue;
    char interfaceDir[PATH_MAX];
    char tty[kNameMax];
    if (!JoinPath(interfaceDir, sizeof interfaceDir, deviceDir, e->d_name) ||
        !InterfaceTty(interfaceDir, tty, sizeof tty))
      continue;
    std::snprintf(bestInterface, sizeof bestInterface, "%s", e->d_name);
    std::snprintf(bestTty, sizeof bestTty, "%s", tty);
    found = true;
  }
  closedir(d);
  if (!found) return RegistryNoEntry;
  return CopyName(bestTty, port, size);
}

void RegistryUsbDeviceClose() { gInstanceState = {0, false}; }
