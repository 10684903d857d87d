#pragma once
// Serial communications service: exclusive open of a tty by name, time-outs in
// the style the port layer relies on, line state, queued-input count, timed and
// non-waiting reads, a bounded write and close. On termios and poll(2)
// (serial_posix.cpp) or on the Win32 serial service (serial_win32.cpp).
//
// Every function returns 0 on success or an errno value; 0 is never an error.
// The service keeps the time-outs of each open handle; it is used from one
// thread at a time, like the port layer above it.

#include <cstddef>
#include <cstdint>

// Time-outs of a handle, in milliseconds.
// A read of N bytes ends when N bytes arrived, when more than readInterval
// passes between two bytes (0: no interval limit), or when
// readMultiplier * N + readConstant has passed since the read began (both 0: no
// total limit). With all three 0 a read returns what is already queued and
// never waits. A write of N bytes may take writeMultiplier * N + writeConstant.
struct SerialTimeouts {
  uint32_t readInterval;
  uint32_t readMultiplier;
  uint32_t readConstant;
  uint32_t writeMultiplier;
  uint32_t writeConstant;
};

// Line state; flow control of every kind is always off and the line is raw.
struct SerialLine {
  uint32_t baud;      // one of the standard termios rates
  uint8_t dataBits;   // 5 to 8
  char parity;        // 'N', 'E' or 'O'
  uint8_t stopBits;   // 1 or 2
  bool parityCheck;   // INPCK: check the parity of received bytes
};

// Device path of a port name: "/dev/" + name, or the name itself when it is
// already an absolute path; on Windows "\\.\" + name (COM12 is \\.\COM12),
// or the name itself when it starts with "\\". Returns false when the path
// does not fit.
bool SerialDevicePath(const char* name, char* path, size_t size);

// Who keeps a device that could not be opened busy: a process seen holding it
// or its lock. pid 0 and an empty program when not known.
struct SerialHolder {
  int32_t pid;
  char program[64];
};

// Opens the device of a port name for reading and writing, exclusively: a
// second opener, in this process or another, gets EBUSY or EWOULDBLOCK, and so
// does this open when another program already has the device (its lock file,
// flock or exclusive flag, or the device seen open by another process, on
// Linux one with at most 1024 descriptors); holder (may be nullptr) then names
// that program where it is known (never on Windows, which does not tell). The
// handle starts with time-outs that never wait (all zero).
int SerialOpen(const char* name, int32_t* handle, SerialHolder* holder);

int SerialSetTimeouts(int32_t handle, const SerialTimeouts& timeouts);

// Sets the line state and holds the DTR and RTS lines inactive. A device without
// modem lines (a pseudo-terminal) is no failure.
int SerialSetLine(int32_t handle, const SerialLine& line);

// Number of received bytes waiting in the input queue.
int SerialQueued(int32_t handle, uint32_t* count);

// Timed read under the handle's time-outs. *got receives the number of bytes
// stored, also when the time-outs end the read early (which is no error). A
// device that went away (hang-up, EIO, end of file) reads as silence: the call
// sleeps out its time-out instead of returning or spinning early.
int SerialRead(int32_t handle, uint8_t* buffer, uint32_t count, uint32_t* got);

// Reads at most count bytes that are already queued; never waits.
int SerialReadQueued(int32_t handle, uint8_t* buffer, uint32_t count, uint32_t* got);

// Writes count bytes and returns when the driver has sent them, waiting at
// most the handle's write time-out in all. *written receives the number of
// bytes handed to the driver; a time-out is no error.
int SerialWrite(int32_t handle, const uint8_t* data, uint32_t count, uint32_t* written);

void SerialClose(int32_t handle);

// What an error code of this service means to the user; the codes are the
// system's own, so each system's service reads its own.
enum SerialErrorKind {
  SerialErrorBusy,      // another program has the device
  SerialErrorAccess,    // no permission to open it
  SerialErrorNoDevice,  // no such device (unplugged, mistyped)
  SerialErrorOther,
};
SerialErrorKind SerialErrorKindOf(int error);
