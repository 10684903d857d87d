#include "platform/serial.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/system_error_win32.h"
#include "platform/time.h"

namespace {

// Kernel handles fit in 32 bits on 64-bit Windows as well.
HANDLE Device(int32_t handle) { return LongToHandle(handle); }

// The system's reason in the errno terms the service promises.
int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
      return ENOENT;
    // A COM port that another program holds refuses the open with access
    // denied (ports carry no per-user rights), or with a sharing violation.
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return EBUSY;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_FILENAME_EXCED_RANGE: return ENAMETOOLONG;
    default: return EIO;
  }
}

int LastErrno() {
  const DWORD code = GetLastError();
  return SystemErrorNote(code, ErrnoOf(code));
}

bool StandardBaud(uint32_t baud) {
  static constexpr uint32_t kRates[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
  for (uint32_t rate : kRates)
    if (rate == baud) return true;
  return false;
}

}  // namespace

bool SerialDevicePath(const char* name, char* path, size_t size) {
  // COM10 and above are reachable only through the device namespace; a name
  // that already is a device path is taken as it stands.
  const int n = std::strncmp(name, "\\\\", 2) == 0 ? std::snprintf(path, size, "%s", name)
                                                   : std::snprintf(path, size, "\\\\.\\%s", name);
  return n >= 0 && static_cast<size_t>(n) < size;
}

int SerialOpen(const char* name, int32_t* handle, SerialHolder* holder) {
  // Windows names no holder of a busy port.
  if (holder != nullptr) {
    holder->pid = 0;
    holder->program[0] = '\0';
  }
  char path[256];
  if (!SerialDevicePath(name, path, sizeof path)) return ENAMETOOLONG;
  // No sharing: every later opener is refused while this handle is open.
  const HANDLE device =
      CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (device == INVALID_HANDLE_VALUE) return LastErrno();
  *handle = HandleToLong(device);
  const SerialTimeouts never{};
  const int error = SerialSetTimeouts(*handle, never);
  if (error != 0) {
    CloseHandle(device);
    return error;
  }
  return 0;
}

int SerialSetTimeouts(int32_t handle, const SerialTimeouts& timeouts) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = timeouts.readInterval;
  t.ReadTotalTimeoutMultiplier = timeouts.readMultiplier;
  t.ReadTotalTimeoutConstant = timeouts.readConstant;
  t.WriteTotalTimeoutMultiplier = timeouts.writeMultiplier;
  t.WriteTotalTimeoutConstant = timeouts.writeConstant;
  // All zero would make ReadFile wait for the whole count without end; the
  // system's way of "return what is queued" is an interval of MAXDWORD alone.
  if (timeouts.readInterval == 0 && timeouts.readMultiplier == 0 && timeouts.readConstant == 0)
    t.ReadIntervalTimeout = MAXDWORD;
  return SetCommTimeouts(Device(handle), &t) ? 0 : LastErrno();
}

int SerialSetLine(int32_t handle, const SerialLine& line) {
  if (!StandardBaud(line.baud) || line.dataBits < 5 || line.dataBits > 8 || line.stopBits < 1 ||
      line.stopBits > 2 || (line.parity != 'N' && line.parity != 'E' && line.parity != 'O'))
    return EINVAL;
  // Everything not named stays zero: no flow control of any kind, no
  // replacement or discarding of bytes, no special characters.
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = line.baud;
  dcb.ByteSize = line.dataBits;
  dcb.Parity = line.parity == 'E' ? EVENPARITY : (line.parity == 'O' ? ODDPARITY : NOPARITY);
  dcb.StopBits = line.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  dcb.fBinary = 1;
  dcb.fParity = line.parityCheck ? 1 : 0;
  dcb.fDtrControl = DTR_CONTROL_DISABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  if (SetCommState(Device(handle), &dcb)) return 0;
  // Some drivers refuse equal XON and XOFF characters even with flow control
  // off: the usual pair changes nothing else on the line.
  if (GetLastError() != ERROR_INVALID_PARAMETER) return LastErrno();
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  return SetCommState(Device(handle), &dcb) ? 0 : LastErrno();
}

int SerialQueued(int32_t handle, uint32_t* count) {
  *count = 0;
  DWORD errors = 0;
  COMSTAT status{};
  // Also clears a line error, which would otherwise stop further reads.
  if (!ClearCommError(Device(handle), &errors, &status)) return LastErrno();
  *count = status.cbInQue;
  return 0;
}

int SerialReadQueued(int32_t handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
  *got = 0;
  uint32_t queued = 0;
  const int error = SerialQueued(handle, &queued);
  if (error != 0) return error;
  if (queued > count) queued = count;
  if (queued == 0) return 0;
  // The bytes are there already: the read returns at once whatever the time-outs.
  DWORD read = 0;
  if (ReadFile(Device(handle), buffer, queued, &read, nullptr)) *got = read;
  return 0;
}

int SerialRead(int32_t handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
  *got = 0;
  COMMTIMEOUTS t{};
  if (!GetCommTimeouts(Device(handle), &t)) return LastErrno();
  const uint32_t start = PlatformTickMs();
  DWORD read = 0;
  if (ReadFile(Device(handle), buffer, count, &read, nullptr)) {
    *got = read;
    return 0;
  }
  // A device that went away (unplugged) fails at once: read as silence and
  // sleep out the total time-out, so no caller spins on it.
  if (t.ReadIntervalTimeout != MAXDWORD) {
    const uint64_t total = static_cast<uint64_t>(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
    const int64_t left = static_cast<int64_t>(total) - static_cast<int64_t>(PlatformTickMs() - start);
    if (left > 0) PlatformSleepMs(left > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int32_t>(left));
  }
  return 0;
}

int SerialWrite(int32_t handle, const uint8_t* data, uint32_t count, uint32_t* written) {
  *written = 0;
  // Without overlapped operation WriteFile returns when the bytes are sent or
  // the write time-out has run out (a short write, no error).
  DWORD sent = 0;
  const BOOL ok = WriteFile(Device(handle), data, count, &sent, nullptr);
  *written = sent;
  return ok ? 0 : LastErrno();
}

void SerialClose(int32_t handle) { CloseHandle(Device(handle)); }
