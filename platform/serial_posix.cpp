#include "platform/serial.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/serial_lock_posix.h"
#include "platform/time.h"

namespace {

// Time-outs of the open handles. The port layer holds at most 32 ports; the
// rest is room for direct users of the service.
constexpr int kMaxHandles = 64;

struct HandleEntry {
  int32_t fd;  // -1: free entry
  SerialTimeouts timeouts;
  SerialLockFile lock;
};

HandleEntry gHandles[kMaxHandles] = {};
bool gHandlesReady = false;

void PrepareHandles() {
  if (gHandlesReady) return;
  for (HandleEntry& e : gHandles) e.fd = -1;
  gHandlesReady = true;
}

HandleEntry* FindHandle(int32_t fd) {
  PrepareHandles();
  if (fd < 0) return nullptr;
  for (HandleEntry& e : gHandles)
    if (e.fd == fd) return &e;
  return nullptr;
}

speed_t BaudConstant(uint32_t baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    default: return B0;
  }
}

// Milliseconds left until deadline, never negative.
int32_t MsLeft(uint32_t deadline) {
  const int32_t left = static_cast<int32_t>(deadline - PlatformTickMs());
  return left > 0 ? left : 0;
}

bool HungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

// A program that only glances at the device (a prober opening and closing it)
// does not hold it: busy only when it is still there a moment later.
constexpr int32_t kHolderLookAgainMs = 20;
int HeldByAnother(dev_t rdev, long mostDescriptors, SerialHolder* holder) {
  if (SerialFindOtherHolder(rdev, mostDescriptors, holder) == 0) return 0;
  PlatformSleepMs(kHolderLookAgainMs);
  return SerialFindOtherHolder(rdev, mostDescriptors, holder);
}

// Names the program whose exclusive flag refused the open: its lock file,
// else whoever has the device open.
void NameHolder(const char* path, SerialHolder* holder) {
  struct stat info {};
  if (SerialLockOwner(path, holder) == 0 && stat(path, &info) == 0)
    SerialFindOtherHolder(info.st_rdev, SerialAnyDescriptors, holder);
}

uint32_t ClampMs(uint64_t ms) { return ms > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<uint32_t>(ms); }

}  // namespace

bool SerialDevicePath(const char* name, char* path, size_t size) {
  const int n = name[0] == '/' ? std::snprintf(path, size, "%s", name)
                               : std::snprintf(path, size, "/dev/%s", name);
  return n >= 0 && static_cast<size_t>(n) < size;
}

int SerialOpen(const char* name, int32_t* handle, SerialHolder* holder) {
  SerialHolder unused{};
  if (holder == nullptr) holder = &unused;
  holder->pid = 0;
  holder->program[0] = '\0';
  char path[256];
  if (!SerialDevicePath(name, path, sizeof path)) return ENAMETOOLONG;
  PrepareHandles();
  HandleEntry* entry = nullptr;
  for (HandleEntry& e : gHandles)
    if (e.fd == -1) { entry = &e; break; }
  if (entry == nullptr) return EMFILE;

  const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const int error = errno;
    if (error == EBUSY) NameHolder(path, holder);  // the exclusive flag of a program there first
    return error;
  }

  // TIOCEXCL keeps out later openers except root; the flock also keeps out root
  // and a second open in this process, since each open gets its own lock
  // owner. A program that was there first shows by its lock file, its flock
  // or its exclusive flag (which root opens through), and is then looked for
  // among all processes to be named. One that shows by none of them is looked
  // for only among processes of an ordinary size, since every open pays for
  // that look (SerialOrdinaryDescriptors).
  SerialLockFile lock{};
  int error = 0;
  int exclusive = 0;
  termios probe{};
  struct stat info {};
  if (tcgetattr(fd, &probe) != 0 || fstat(fd, &info) != 0)
    error = errno;  // not a terminal
  else if ((error = SerialLockTake(path, &lock, holder)) != 0) {
  } else if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    error = errno;  // the lock file just taken is ours: the holder is found by looking
    SerialFindOtherHolder(info.st_rdev, SerialAnyDescriptors, holder);
  } else if (ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0) {
    // Or a flag left by a program that was killed while a pseudo-terminal's
    // other side kept the terminal: then nobody has it and it may be used.
    error = HeldByAnother(info.st_rdev, SerialAnyDescriptors, holder);
  } else
    error = HeldByAnother(info.st_rdev, SerialOrdinaryDescriptors, holder);
  if (error == 0 && ioctl(fd, TIOCEXCL) != 0) error = errno;
  if (error != 0) {
    SerialLockRelease(&lock);
    close(fd);
    return error;
  }
  entry->fd = fd;
  entry->timeouts = SerialTimeouts{};
  entry->lock = lock;
  *handle = fd;
  return 0;
}

int SerialSetTimeouts(int32_t handle, const SerialTimeouts& timeouts) {
  HandleEntry* e = FindHandle(handle);
  if (e == nullptr) return EBADF;
  e->timeouts = timeouts;
  return 0;
}

int SerialSetLine(int32_t handle, const SerialLine& line) {
  if (FindHandle(handle) == nullptr) return EBADF;
  const speed_t speed = BaudConstant(line.baud);
  if (speed == B0 || line.dataBits < 5 || line.dataBits > 8 || line.stopBits < 1 || line.stopBits > 2)
    return EINVAL;

  termios t{};
  if (tcgetattr(handle, &t) != 0) return errno;
  cfmakeraw(&t);
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY | IGNPAR | PARMRK | INPCK);
  if (line.parityCheck) t.c_iflag |= INPCK;
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
  t.c_cflag |= CREAD | CLOCAL;
  static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t.c_cflag |= kSizes[line.dataBits - 5];
  if (line.parity == 'E') t.c_cflag |= PARENB;
  if (line.parity == 'O') t.c_cflag |= PARENB | PARODD;
  if (line.stopBits == 2) t.c_cflag |= CSTOPB;
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  if (cfsetispeed(&t, speed) != 0 || cfsetospeed(&t, speed) != 0) return errno;
  if (tcsetattr(handle, TCSANOW, &t) != 0) return errno;

  int lines = TIOCM_DTR | TIOCM_RTS;
  if (ioctl(handle, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) return errno;
  return 0;
}

int SerialQueued(int32_t handle, uint32_t* count) {
  *count = 0;
  if (FindHandle(handle) == nullptr) return EBADF;
  // The driver hands what came in to the terminal from a kernel worker; on a
  // busy machine that worker may not have run yet, and the count alone would
  // miss bytes that did arrive. Asking poll makes the terminal take them now.
  pollfd p{handle, POLLIN, 0};
  poll(&p, 1, 0);
  int queued = 0;
  if (ioctl(handle, FIONREAD, &queued) != 0) return errno;
  *count = queued > 0 ? static_cast<uint32_t>(queued) : 0u;
  return 0;
}

int SerialReadQueued(int32_t handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
  *got = 0;
  if (FindHandle(handle) == nullptr) return EBADF;
  while (*got < count) {
    const ssize_t r = read(handle, buffer + *got, count - *got);
    if (r > 0) {
      *got += static_cast<uint32_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    break;  // nothing more queued, or the device is gone: both read as silence
  }
  return 0;
}

int SerialRead(int32_t handle, uint8_t* buffer, uint32_t count, uint32_t* got) {
  *got = 0;
  HandleEntry* e = FindHandle(handle);
  if (e == nullptr) return EBADF;
  const SerialTimeouts t = e->timeouts;
  const bool hasTotal = t.readMultiplier != 0 || t.readConstant != 0;
  const uint32_t start = PlatformTickMs();
  const uint32_t totalDeadline =
      start + ClampMs(static_cast<uint64_t>(t.readMultiplier) * count + t.readConstant);
  uint32_t lastByte = start;
  bool gone = false;

  for (;;) {
    while (*got < count) {
      const ssize_t r = read(handle, buffer + *got, count - *got);
      if (r > 0) {
        *got += static_cast<uint32_t>(r);
        lastByte = PlatformTickMs();
        continue;
      }
      if (r < 0 && errno == EINTR) continue;
      // A raw terminal that never waits reads 0 both when nothing has come
      // yet and after a hang-up; only the hang-up means the device is gone.
      if (r == 0) gone = HungUp(handle);
      if (r < 0 && (errno == EIO || errno == ENXIO || errno == ENODEV)) gone = true;
      break;
    }
    if (*got == count) return 0;
    if (!hasTotal && t.readInterval == 0) return 0;  // no time-out at all: never wait

    // Wait for the earlier of the total deadline and the end of the interval.
    int32_t wait = hasTotal ? MsLeft(totalDeadline) : 0x7FFFFFFF;
    if (t.readInterval != 0 && *got > 0) {
      const int32_t intervalLeft = MsLeft(lastByte + t.readInterval);
      if (intervalLeft < wait) wait = intervalLeft;
    }
    if (wait <= 0) return 0;
    if (!hasTotal && *got == 0 && gone) return 0;  // only an interval: nothing to sleep out

    if (gone) {
      PlatformSleepMs(wait);
      gone = false;
      continue;
    }
    pollfd p{handle, POLLIN, 0};
    const int ready = poll(&p, 1, wait);
    if (ready < 0 && errno != EINTR) return errno;
    if (ready > 0 && (p.revents & POLLIN) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
      gone = true;  // hang-up without data: sleep out the time-out instead of spinning
  }
}

int SerialWrite(int32_t handle, const uint8_t* data, uint32_t count, uint32_t* written) {
  *written = 0;
  HandleEntry* e = FindHandle(handle);
  if (e == nullptr) return EBADF;
  const uint32_t deadline =
      PlatformTickMs() +
      ClampMs(static_cast<uint64_t>(e->timeouts.writeMultiplier) * count + e->timeouts.writeConstant);
  while (*written < count) {
    const ssize_t r = write(handle, data + *written, count - *written);
    if (r > 0) {
      *written += static_cast<uint32_t>(r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) return errno;
    const int32_t wait = MsLeft(deadline);
    if (wait <= 0) return 0;  // time-out: a short write, as the caller's time-out allows
    pollfd p{handle, POLLOUT, 0};
    const int ready = poll(&p, 1, wait);
    if (ready < 0 && errno != EINTR) return errno;
    if (ready > 0 && (p.revents & POLLOUT) == 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0)
      return EIO;
  }
  // The bytes are queued, not sent: at 4800 baud a 280-byte record is on the
  // line for 583 ms, and whoever waits for the answer must not start counting
  // before it has left. The driver's output queue tells.
  for (;;) {
    int queued = 0;
    if (ioctl(handle, TIOCOUTQ, &queued) != 0 || queued <= 0) return 0;
    if (MsLeft(deadline) <= 0) return 0;
    PlatformSleepMs(1);
  }
}

void SerialClose(int32_t handle) {
  HandleEntry* e = FindHandle(handle);
  if (e == nullptr) return;
  e->fd = -1;
  SerialLockRelease(&e->lock);
  // The exclusive flag belongs to the terminal, not to this descriptor: a
  // terminal that someone else keeps open (a pseudo-terminal's other side)
  // would otherwise refuse every later open by an ordinary user.
  ioctl(handle, TIOCNXCL);
  close(handle);  // also releases the lock
}
