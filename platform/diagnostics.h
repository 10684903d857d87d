#pragma once
// Facts about the system around a serial port, for rs485ctl doctor: whether
// the port is a device of this system, who may open it, what udev did with it,
// and whether ModemManager runs. On Linux (diagnostics_posix.cpp) they come
// from the node, the user's groups, the node's ACL, the udev folders and
// /proc; on Windows (diagnostics_win32.cpp) only whether the device exists.
// A fact a system cannot tell is marked unknown, and the checks built on it
// are left out.

#include <cstdint>

struct DiagPortFacts {
  bool node = false;         // the port name names a device of this system that exists now
  char path[256] = "";       // that device, links followed (/dev/ttyACM0)

  bool permissionsKnown = false;  // the facts down to seatAccess are known
  uint32_t mode = 0;              // the node's permission bits (0660)
  char owner[64] = "";
  char group[64] = "";
  bool rootGroup = false;      // the node's group is the administrators' (gid 0)
  char user[64] = "";          // this process's user
  bool mayOpen = false;        // this process may open the node for reading and writing
  bool privileged = false;     // the process may open anything (root)
  bool owns = false;           // the user owns the node
  bool inGroupNow = false;     // the process has the node's group
  bool inGroupListed = false;  // the user is listed in that group (in force from the next login)
  bool seatAccess = false;     // an ACL entry gives this user read and write (udev's uaccess)

  bool udevKnown = false;  // the two facts below are known
  bool linked = false;     // the link the package's rule makes leads to this node
  bool mmIgnore = false;   // the udev database marks the node ID_MM_DEVICE_IGNORE=1
};

// The facts of portName's device; linkName is the link the package's udev
// rule makes for the converter ("rs485-converter", under /dev).
void DiagPort(const char* portName, const char* linkName, DiagPortFacts& facts);

struct DiagSystemFacts {
  bool udevRules = false;     // the system keeps udev rules
  char ruleFile[256] = "";    // where the rule named ruleName is installed; empty when nowhere
  bool processesKnown = false;  // the running programs can be listed
  bool modemManager = false;    // ModemManager runs
};

void DiagSystem(const char* ruleName, DiagSystemFacts& facts);
