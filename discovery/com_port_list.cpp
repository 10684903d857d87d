#include "discovery/com_port_list.h"

#include <cstdio>
#include <cstring>

#include "platform/serial_ports.h"

ComPortListTable ComPortList;
char ComPortPivot[ComPortNameSize];
ComPortSortOps ComPortSortSlots = {ComPortCompare, ComPortSwap, ComPortSetPivot};

namespace {

// A port's name is taken in buffers of these sizes; a longer name does not
// fit and that port is skipped.
constexpr size_t kEnumeratedNameSize = 80;
constexpr size_t kLookedUpNameSize = 32;
constexpr int32_t kEnumeratedIndices = 16;
constexpr int32_t kLastComNumber = 99;

SerialPortTable gPresent;

bool Fits(const char* text, size_t size) { return strnlen(text, size) < size; }

// The entry of the present list stored under COMn, as old systems look ports
// up: on a system that names its entries the one of that name (letter case
// aside, as the registry compares), elsewhere the n-th. nullptr when none.
const SerialPortRecord* ListedAs(int32_t n) {
  if (!gPresent.named) return n <= gPresent.count ? &gPresent.records[n - 1] : nullptr;
  char wanted[8];
  std::snprintf(wanted, sizeof wanted, "COM%d", static_cast<int>(n));
  for (int32_t k = 0; k < gPresent.count; ++k) {
    const char* listed = gPresent.records[k].listedAs;
    size_t i = 0;
    while (wanted[i] != '\0' && (listed[i] == wanted[i] || listed[i] == wanted[i] - 'A' + 'a')) ++i;
    if (wanted[i] == '\0' && listed[i] == '\0') return &gPresent.records[k];
  }
  return nullptr;
}

bool InList(int32_t k) { return k >= 0 && k < ComPortListSize; }

// Appends a name, cut to its first 19 bytes.
void AddName(const char* name) {
  char* entry = ComPortList.names[ComPortList.count];
  const size_t length = strnlen(name, ComPortNameSize - 1);
  std::memset(entry, 0, ComPortNameSize);
  std::memcpy(entry, name, length);
  ++ComPortList.count;
}

// The number after "COM": leading white space, an optional sign, then decimal
// digits up to the first other byte; no digits give 0. A name holds at most 16
// digits, so the value always fits.
long long ComNumber(const char* name) {
  int i = 3;
  while (i < ComPortNameSize && (name[i] == ' ' || (name[i] >= '\t' && name[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < ComPortNameSize && (name[i] == '+' || name[i] == '-')) {
    negative = name[i] == '-';
    ++i;
  }
  long long value = 0;
  for (; i < ComPortNameSize && name[i] >= '0' && name[i] <= '9'; ++i) value = value * 10 + (name[i] - '0');
  return negative ? -value : value;
}

bool IsComName(const char* name) { return std::strncmp(name, "COM", 3) == 0; }

}  // namespace

int ComPortCompare(int32_t k) {
  if (!InList(k)) return 0;
  const char* entry = ComPortList.names[k];
  if (IsComName(entry) && IsComName(ComPortPivot)) {
    const long long a = ComNumber(entry);
    const long long b = ComNumber(ComPortPivot);
    return a < b ? -1 : (a > b ? 1 : 0);
  }
  const int r = std::strncmp(entry, ComPortPivot, ComPortNameSize);
  return r < 0 ? -1 : (r > 0 ? 1 : 0);
}

void ComPortSwap(int32_t a, int32_t b) {
  if (!InList(a) || !InList(b)) return;
  char temporary[ComPortNameSize];
  std::memcpy(temporary, ComPortList.names[a], ComPortNameSize);
  std::memcpy(ComPortList.names[a], ComPortList.names[b], ComPortNameSize);
  std::memcpy(ComPortList.names[b], temporary, ComPortNameSize);
}

void ComPortSetPivot(int32_t k) {
  if (!InList(k)) return;
  std::memcpy(ComPortPivot, ComPortList.names[k], ComPortNameSize);
}

// Partition by exchange around a copy of the middle entry. Each scan stops at an
// entry that is not on its side of the pivot; the pivot's own value lies in the
// range, so neither scan leaves it, and both parts are smaller than the range.
void ComPortSort(int32_t lo, int32_t hi) {
  if (lo >= hi) return;
  int32_t i = lo;
  int32_t j = hi;
  ComPortSortSlots.setPivot(lo + (hi - lo) / 2);
  do {
    while (ComPortSortSlots.compare(i) < 0) ++i;
    while (ComPortSortSlots.compare(j) > 0) --j;
    if (i <= j) {
      if (i != j) ComPortSortSlots.swap(i, j);
      ++i;
      --j;
    }
  } while (i <= j);
  if (lo < j) ComPortSort(lo, j);
  if (i < hi) ComPortSort(i, hi);
}

void ComPortListBuild() {
  const int32_t major = SerialPortsMajorVersion();
  ComPortList.count = 0;

  if (SerialPortsPresent(gPresent) == SerialPortsOk) {
    if (major >= 5) {
      // Every index up to the 16th is tried, also after one that cannot be read.
      for (int32_t index = 0; index < kEnumeratedIndices && index < gPresent.count && ComPortList.count < ComPortListSize;
           ++index) {
        const SerialPortRecord& port = gPresent.records[index];
        if (port.name[0] != '\0' && Fits(port.name, kEnumeratedNameSize) && Fits(port.listedAs, kEnumeratedNameSize))
          AddName(port.name);
      }
    } else {
      for (int32_t n = 1; n <= kLastComNumber && ComPortList.count < ComPortListSize; ++n) {
        const SerialPortRecord* port = ListedAs(n);
        if (port != nullptr && port->name[0] != '\0' && Fits(port->name, kLookedUpNameSize)) AddName(port->name);
      }
    }
  }

  if (ComPortList.count >= 2) {
    ComPortSortSlots = {ComPortCompare, ComPortSwap, ComPortSetPivot};
    ComPortSort(0, ComPortList.count - 1);
  }
}

void DiscoveryReset() {
  ComPortList = ComPortListTable{};
  std::memset(ComPortPivot, 0, sizeof ComPortPivot);
  ComPortSortSlots = {ComPortCompare, ComPortSwap, ComPortSetPivot};
  SerialPortsFrom = SerialPortsDefault;
}
