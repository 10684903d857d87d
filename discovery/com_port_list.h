#pragma once
// Comdet: the list of serial ports present right now, taken from the system's
// (platform/serial_ports.h): at most 16 names of at most 19 characters,
// sorted so that names of the form COM<number> follow their number (COM2
// before COM10). Used from one thread: a rebuild or a sort must not overlap
// another, nor a reading of the list.

#include <cstdint>

constexpr int32_t ComPortListSize = 16;
constexpr int32_t ComPortNameSize = 20;  // a name and its terminator

struct ComPortListTable {
  int32_t count;                                 // valid entries, 0 to 16
  char names[ComPortListSize][ComPortNameSize];  // entries 0 to count - 1, terminated
};

extern ComPortListTable ComPortList;

// Rebuilds the list from the system's and sorts it. Cannot fail: whatever cannot
// be read is absent. Entries beyond the new count are left as they were.
void ComPortListBuild();

// Sorts entries lo to hi (inclusive) in place through the operation slots.
void ComPortSort(int32_t lo, int32_t hi);

// Order of entry k against the pivot copy: -1 before, 0 equal, +1 after. Two COM
// names compare by their numbers, anything else by its bytes.
int ComPortCompare(int32_t k);

// Exchanges the names of entries a and b.
void ComPortSwap(int32_t a, int32_t b);

// Copies the name of entry k into the pivot buffer.
void ComPortSetPivot(int32_t k);

// The three operations the sort works through, all by entry index. They start
// out as the list's own; ComPortListBuild sets them again before it sorts.
struct ComPortSortOps {
  int (*compare)(int32_t k);
  void (*swap)(int32_t a, int32_t b);
  void (*setPivot)(int32_t k);
};

extern ComPortSortOps ComPortSortSlots;
extern char ComPortPivot[ComPortNameSize];

// For tests: an empty list, the list's own sort operations and the default
// source of the system's facts, as at the start of the process.
void DiscoveryReset();
