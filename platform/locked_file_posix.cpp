#include "platform/locked_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/time.h"

int LockedFileOpen(const char* path, int32_t waitMs, LockedFile& file) {
  file.handle = -1;
  // Not blocking: a FIFO named by mistake must not hold the open.
  const int fd = open(path, O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return errno;
  struct stat info {};
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
    const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
    close(fd);
    return error;
  }
  // Other writers hold the lock for one append; one that keeps it longer is
  // waited for only so long, so that nothing hangs on it.
  const uint32_t since = PlatformTickMs();
  while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if ((error != EWOULDBLOCK && error != EINTR) || static_cast<int32_t>(PlatformTickMs() - since) >= waitMs) {
      close(fd);
      return error == EWOULDBLOCK ? ETIMEDOUT : error;
    }
    PlatformSleepMs(2);
  }
  file.handle = fd;
  return 0;
}

int LockedFileSize(const LockedFile& file, uint64_t& size) {
  struct stat info {};
  if (fstat(static_cast<int>(file.handle), &info) != 0) return errno;
  size = static_cast<uint64_t>(info.st_size);
  return 0;
}

int LockedFileReadAt(const LockedFile& file, uint64_t offset, void* data, size_t size, size_t& got) {
  got = 0;
  while (got < size) {
    const ssize_t r = pread(static_cast<int>(file.handle), static_cast<char*>(data) + got, size - got,
                            static_cast<off_t>(offset + got));
    if (r < 0 && errno == EINTR) continue;
    if (r < 0) return errno;
    if (r == 0) break;
    got += static_cast<size_t>(r);
  }
  return 0;
}

int LockedFileAppend(const LockedFile& file, const void* data, size_t size) {
  const int fd = static_cast<int>(file.handle);
  for (size_t done = 0; done < size;) {
    const ssize_t w = write(fd, static_cast<const char*>(data) + done, size - done);
    if (w < 0 && errno == EINTR) continue;
    if (w < 0) return errno;
    done += static_cast<size_t>(w);
  }
  return fsync(fd) == 0 ? 0 : errno;
}

void LockedFileClose(LockedFile& file) {
  if (file.handle < 0) return;
  close(static_cast<int>(file.handle));  // the lock goes with the descriptor
  file.handle = -1;
}
