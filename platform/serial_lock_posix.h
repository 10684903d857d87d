#pragma once
// How serial programs on Linux keep out of each other's way beyond the
// terminal's own exclusive flag: the UUCP lock file (LCK..ttyACM0 in /run/lock
// or /var/lock, holding the owner's pid) and, where /proc lets us look, the
// processes that have the device open. Used by the serial service only.

#include <sys/types.h>

#include <cstddef>

#include "platform/serial.h"

struct SerialLockFile {
  char path[128];  // empty when no lock file of ours exists
};

// Takes the device's lock file for this process. 0, or EBUSY with holder
// filled when a live process owns it. A lock left by a process that is gone
// is taken over. Where no lock folder can be written, nothing is created and 0
// is returned: the lock is a courtesy among programs, not a permission.
int SerialLockTake(const char* devicePath, SerialLockFile* lock, SerialHolder* holder);

// Removes the lock file if it is still ours.
void SerialLockRelease(SerialLockFile* lock);

// The live process a lock file of the device names: EBUSY with holder
// filled, or 0 when there is none. Takes nothing.
int SerialLockOwner(const char* devicePath, SerialHolder* holder);

// A process holding more descriptors than this has raised the soft limit that
// programs start with: a browser, an IDE, a server, not a terminal program or a
// modem prober. Listing its descriptors costs more than a whole exchange, so
// a look where no lock convention tells of a holder leaves it out.
constexpr long SerialOrdinaryDescriptors = 1024;
constexpr long SerialAnyDescriptors = 0x7FFFFFFF;

// Another process, among those holding at most mostDescriptors descriptors,
// that has the character device rdev open through a node in /dev; 0 when none
// is seen (or /proc does not show it), else EBUSY with holder filled.
int SerialFindOtherHolder(dev_t rdev, long mostDescriptors, SerialHolder* holder);
