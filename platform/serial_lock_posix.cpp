#include "platform/serial_lock_posix.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kLockFolders[] = {"/run/lock", "/var/lock"};

// The program name of a process ("minicom"), or "" when it cannot be read.
void ProgramOf(pid_t pid, SerialHolder* holder) {
  holder->pid = static_cast<int32_t>(pid);
  holder->program[0] = '\0';
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/comm", static_cast<int>(pid));
  std::FILE* f = std::fopen(path, "r");
  if (f == nullptr) return;
  if (std::fgets(holder->program, sizeof holder->program, f) == nullptr) holder->program[0] = '\0';
  std::fclose(f);
  holder->program[std::strcspn(holder->program, "\n")] = '\0';
}

// Follows the symbolic links a device is often named by (/dev/serial/by-id/…,
// a udev alias) to the node itself, so that every name of one device meets
// the same lock.
void FollowLinks(const char* devicePath, char* path, size_t size) {
  std::snprintf(path, size, "%s", devicePath);
  for (int hop = 0; hop < 8; ++hop) {
    char target[PATH_MAX];
    const ssize_t n = readlink(path, target, sizeof target - 1);
    if (n <= 0) return;
    target[n] = '\0';
    if (target[0] == '/') {
      std::snprintf(path, size, "%s", target);
    } else {
      char* slash = std::strrchr(path, '/');
      const size_t keep = slash != nullptr ? static_cast<size_t>(slash - path) + 1 : 0;
      if (keep + static_cast<size_t>(n) >= size) return;
      std::memmove(path + keep, target, static_cast<size_t>(n) + 1);
    }
  }
}

// The lock's name for a device: what follows "/dev/", with "/" made "_"
// (ttyACM0, pts_7), as the other serial programs name it. "a/b/../c" parts
// left by relative links are folded away first.
bool LockName(const char* devicePath, char* name, size_t size) {
  char path[PATH_MAX];
  FollowLinks(devicePath, path, sizeof path);
  // Fold "dir/../" pairs that relative links leave behind.
  for (char* up = std::strstr(path, "/../"); up != nullptr; up = std::strstr(path, "/../")) {
    char* start = up;
    while (start > path && *(start - 1) != '/') --start;
    if (start == path) break;
    std::memmove(start, up + 4, std::strlen(up + 4) + 1);
  }
  const char* tail = std::strncmp(path, "/dev/", 5) == 0 ? path + 5 : path;
  const int n = std::snprintf(name, size, "LCK..%s", tail);
  if (n < 0 || static_cast<size_t>(n) >= size) return false;
  for (char* c = name + 5; *c != '\0'; ++c)
    if (*c == '/') *c = '_';
  return true;
}

// The pid a lock file names (HDB format: ten characters of decimal pid and a
// newline; an older binary form holds a 4-byte int), or 0 when unreadable.
pid_t LockOwner(const char* path) {
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return 0;
  char text[32] = {};
  const ssize_t n = read(fd, text, sizeof text - 1);
  close(fd);
  if (n == 4) {
    int32_t binary = 0;
    std::memcpy(&binary, text, 4);
    return binary > 0 ? binary : 0;
  }
  if (n <= 0) return 0;
  const long pid = std::strtol(text, nullptr, 10);
  return pid > 0 && pid < 0x7FFFFFFF ? static_cast<pid_t>(pid) : 0;
}

bool Alive(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

// Writes our pid into a fresh file beside the lock and links it into place,
// so that nobody ever reads a lock file that is still empty.
int CreateLock(const char* folder, const char* lockPath) {
  char temporary[160];
  std::snprintf(temporary, sizeof temporary, "%s/LTMP.%d", folder, static_cast<int>(getpid()));
  const int fd = open(temporary, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return errno;
  char text[16];
  const int n = std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(getpid()));
  const bool written = write(fd, text, static_cast<size_t>(n)) == n;
  close(fd);
  int error = written ? 0 : EIO;
  if (error == 0 && link(temporary, lockPath) != 0) error = errno;
  unlink(temporary);
  return error;
}

}  // namespace

int SerialLockTake(const char* devicePath, SerialLockFile* lock, SerialHolder* holder) {
  lock->path[0] = '\0';
  char name[96];
  if (!LockName(devicePath, name, sizeof name)) return 0;
  for (const char* folder : kLockFolders) {
    char path[sizeof lock->path];
    std::snprintf(path, sizeof path, "%s/%s", folder, name);
    // Two tries: the second after taking over a lock whose owner is gone.
    for (int attempt = 0; attempt < 2; ++attempt) {
      const int error = CreateLock(folder, path);
      if (error == 0) {
        std::memcpy(lock->path, path, sizeof path);
        return 0;
      }
      if (error != EEXIST) break;  // this folder cannot be used: try the next
      const pid_t owner = LockOwner(path);
      if (owner == getpid()) {
        ProgramOf(owner, holder);
        return EBUSY;  // another port of this very process has the device
      }
      if (owner != 0 && Alive(owner)) {
        ProgramOf(owner, holder);
        return EBUSY;
      }
      unlink(path);  // stale: its owner is gone, or it names nobody
    }
    if (access(folder, W_OK) == 0) return 0;  // usable, yet the lock could not be made: go on without
  }
  return 0;
}

void SerialLockRelease(SerialLockFile* lock) {
  if (lock->path[0] == '\0') return;
  if (LockOwner(lock->path) == getpid()) unlink(lock->path);
  lock->path[0] = '\0';
}

int SerialLockOwner(const char* devicePath, SerialHolder* holder) {
  char name[96];
  if (!LockName(devicePath, name, sizeof name)) return 0;
  for (const char* folder : kLockFolders) {
    char path[sizeof SerialLockFile{}.path];
    std::snprintf(path, sizeof path, "%s/%s", folder, name);
    const pid_t owner = LockOwner(path);
    if (owner != 0 && Alive(owner)) {
      ProgramOf(owner, holder);
      return EBUSY;
    }
  }
  return 0;
}

int SerialFindOtherHolder(dev_t rdev, long mostDescriptors, SerialHolder* holder) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  const pid_t self = getpid();
  int result = 0;
  while (result == 0) {
    const dirent* process = readdir(proc);
    if (process == nullptr) break;
    char* end = nullptr;
    const long pid = std::strtol(process->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    char fdFolder[64];
    std::snprintf(fdFolder, sizeof fdFolder, "/proc/%ld/fd", pid);
    DIR* fds = opendir(fdFolder);  // only processes we may look into
    if (fds == nullptr) continue;
    // The folder's size is the number of open descriptors (Linux 6.2 and
    // later; 0 before, and then every process is looked into).
    struct stat table {};
    if (fstat(dirfd(fds), &table) == 0 && table.st_size > mostDescriptors) {
      closedir(fds);
      continue;
    }
    while (const dirent* entry = readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      // Only a node in /dev is compared by its number; a socket, a pipe or a
      // file is passed over by its link, never stat'ed through it, since a
      // stat waits on the file's system (an NFS server that is gone).
      char target[8];
      if (readlinkat(dirfd(fds), entry->d_name, target, sizeof target) < 5 || std::memcmp(target, "/dev/", 5) != 0)
        continue;
      struct stat info {};
      if (fstatat(dirfd(fds), entry->d_name, &info, 0) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == rdev) {
        ProgramOf(static_cast<pid_t>(pid), holder);
        result = EBUSY;
        break;
      }
    }
    closedir(fds);
  }
  closedir(proc);
  return result;
}
