#include "platform/serial_ports.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "platform/serial.h"

const SerialPortsSource SerialPortsDefault = {"/sys", SerialPortsKernelMajorVersion};
SerialPortsSource SerialPortsFrom = SerialPortsDefault;

namespace {

constexpr size_t kNameMax = SerialNameSize;  // a directory entry's name and its terminator

// The first failure to read a folder that exists (no descriptor left, no
// permission) while looking for an instance's port: then "no port" cannot
// be told from "could not look", and the listing fails with it.
int gLookFailure = 0;

// Makes room for a record whose sort key (its name, or its instance's) goes
// in byte order among the first `capacity`; nullptr when it falls beyond them.
// When the table is full the last record in that order falls out.
SerialPortRecord* InsertSorted(SerialPortTable& table, int32_t capacity, const char* key,
                               const char* (*keyOf)(const SerialPortRecord&)) {
  int32_t at = table.count;
  while (at > 0 && std::strcmp(keyOf(table.records[at - 1]), key) > 0) --at;
  if (at >= capacity) return nullptr;
  const int32_t last = table.count < capacity ? table.count : capacity - 1;
  for (int32_t k = last; k > at; --k) table.records[k] = table.records[k - 1];
  if (table.count < capacity) ++table.count;
  table.records[at] = SerialPortRecord{};
  return &table.records[at];
}

const char* NameOf(const SerialPortRecord& record) { return record.name; }
const char* InstanceOf(const SerialPortRecord& record) { return record.usbInstance; }

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

// Of a folder's entries that accept takes, the smallest in byte order that
// resolve turns into a name (resolve(entry, out, size)); out gets that name.
// False when the folder cannot be read or no entry resolves.
template <class Accept, class Resolve>
bool SmallestResolvedEntry(const char* dir, Accept accept, Resolve resolve, char* out, size_t size) {
  DIR* d = opendir(dir);
  if (d == nullptr) {
    if (errno != ENOENT && errno != ENOTDIR && gLookFailure == 0) gLookFailure = errno;
    return false;
  }
  char best[kNameMax] = "";
  bool found = false;
  while (const dirent* e = readdir(d)) {
    if (IsDots(e->d_name) || !accept(e->d_name)) continue;
    if (found && std::strcmp(e->d_name, best) >= 0) continue;
    char resolved[kNameMax];
    if (!resolve(e->d_name, resolved, sizeof resolved)) continue;
    std::snprintf(best, sizeof best, "%s", e->d_name);
    std::snprintf(out, size, "%s", resolved);
    found = true;
  }
  closedir(d);
  return found;
}

// The smallest entry name of a folder; false when it cannot be read or is empty.
bool SmallestEntry(const char* dir, char* out, size_t size) {
  return SmallestResolvedEntry(
      dir, [](const char*) { return true; },
      [](const char* name, char* to, size_t toSize) {
        std::snprintf(to, toSize, "%s", name);
        return true;
      },
      out, size);
}

// The tty bound to a USB interface: interface/tty/NAME (CDC-ACM), or else
// interface/PORT/tty/NAME (usb-serial), taking the smallest PORT with a tty.
bool InterfaceTty(const char* interfaceDir, char* out, size_t size) {
  char path[PATH_MAX];
  if (JoinPath(path, sizeof path, interfaceDir, "tty") && SmallestEntry(path, out, size)) return true;
  return SmallestResolvedEntry(
      interfaceDir, [](const char* name) { return std::strcmp(name, "tty") != 0; },
      [&](const char* port, char* tty, size_t ttySize) {
        return JoinPath(path, sizeof path, interfaceDir, port, "tty") && SmallestEntry(path, tty, ttySize);
      },
      out, size);
}

// The tty of a USB instance: the first (interfaces and ttys in byte order)
// bound to one of its interfaces, named after the instance (1-1:1.0, 1-1:1.1, …).
bool InstanceTty(const char* deviceDir, const char* instance, char* out, size_t size) {
  const size_t prefix = std::strlen(instance);
  return SmallestResolvedEntry(
      deviceDir,
      [&](const char* name) { return std::strncmp(name, instance, prefix) == 0 && name[prefix] == ':'; },
      [&](const char* interfaceName, char* tty, size_t ttySize) {
        char interfaceDir[PATH_MAX];
        return JoinPath(interfaceDir, sizeof interfaceDir, deviceDir, interfaceName) &&
               InterfaceTty(interfaceDir, tty, ttySize);
      },
      out, size);
}

// A text attribute without its line end ("A1B2C3\n" -> "A1B2C3"); empty when
// there is none.
void ReadText(const char* path, char* text, size_t size) {
  if (!ReadAttribute(path, text, size)) {
    text[0] = '\0';
    return;
  }
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = '\0';
}

// Copies text, cut to what fits.
void CopyText(char* to, size_t size, const char* from) {
  const size_t n = strnlen(from, size - 1);
  std::memcpy(to, from, n);
  to[n] = '\0';
}

void SetName(SerialPortRecord& record, const char* name) {
  std::snprintf(record.name, sizeof record.name, "%s", name);
  if (!SerialDevicePath(record.name, record.path, sizeof record.path)) record.path[0] = '\0';
}

}  // namespace

int32_t SerialPortsKernelMajorVersion() {
  utsname u{};
  if (uname(&u) != 0) return 0;
  int32_t major = 0;
  for (const char* p = u.release; *p >= '0' && *p <= '9' && major < 100000; ++p)
    major = major * 10 + (*p - '0');
  return major;
}

int32_t SerialPortsMajorVersion() {
  return SerialPortsFrom.majorVersion != nullptr ? SerialPortsFrom.majorVersion() : SerialPortsKernelMajorVersion();
}

int SerialPortsPresent(SerialPortTable& table) {
  table.count = 0;
  table.named = false;
  char classDir[PATH_MAX];
  if (!JoinPath(classDir, sizeof classDir, SerialPortsFrom.sysRoot, "class", "tty")) return ENAMETOOLONG;
  DIR* d = opendir(classDir);
  if (d == nullptr) return errno;
  while (const dirent* e = readdir(d)) {
    if (IsDots(e->d_name) || !IsPresentPort(classDir, e->d_name)) continue;
    if (SerialPortRecord* record = InsertSorted(table, SerialPortTableCapacity, e->d_name, NameOf))
      SetName(*record, e->d_name);
  }
  closedir(d);
  return SerialPortsOk;
}

int SerialPortsOfUsbDevice(uint16_t vendor, uint16_t product, SerialPortTable& table) {
  table.count = 0;
  table.named = false;
  char busDir[PATH_MAX];
  if (!JoinPath(busDir, sizeof busDir, SerialPortsFrom.sysRoot, "bus/usb", "devices")) return ENAMETOOLONG;
  DIR* d = opendir(busDir);
  if (d == nullptr) return errno;
  gLookFailure = 0;
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
    SerialPortRecord* record = InsertSorted(table, SerialUsbInstanceCapacity, e->d_name, InstanceOf);
    if (record == nullptr) continue;
    record->usbVendor = v;
    record->usbProduct = p;
    record->usbPlugged = true;
    CopyText(record->usbInstance, sizeof record->usbInstance, e->d_name);
    // The instance's name is where it sits: bus, then the hub ports down to it.
    CopyText(record->usbLocation, sizeof record->usbLocation, e->d_name);
    if (JoinPath(path, sizeof path, busDir, e->d_name, "serial"))
      ReadText(path, record->usbSerial, sizeof record->usbSerial);
    char deviceDir[PATH_MAX];
    char tty[kNameMax];
    if (JoinPath(deviceDir, sizeof deviceDir, busDir, e->d_name) && InstanceTty(deviceDir, e->d_name, tty, sizeof tty))
      SetName(*record, tty);
  }
  closedir(d);
  return gLookFailure != 0 ? gLookFailure : SerialPortsOk;
}
