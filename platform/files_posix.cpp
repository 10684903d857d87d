#include "platform/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int FileReadAll(const char* path, uint64_t maxBytes, std::vector<uint8_t>& bytes) {
  bytes.clear();
  // Not blocking: a FIFO named by mistake must not hold the open.
  const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return errno;
  struct stat info {};
  int error = 0;
  if (fstat(fd, &info) != 0)
    error = errno;
  else if (S_ISDIR(info.st_mode))
    error = EISDIR;
  else if (!S_ISREG(info.st_mode))
    error = EINVAL;
  else if (static_cast<uint64_t>(info.st_size) > maxBytes)
    error = EFBIG;
  if (error == 0) {
    bytes.resize(static_cast<size_t>(info.st_size));
    size_t got = 0;
    for (;;) {
      // One byte of room beyond the size tells a file that grew meanwhile.
      if (got == bytes.size()) bytes.resize(got + 4096);
      const ssize_t r = read(fd, bytes.data() + got, bytes.size() - got);
      if (r < 0 && errno == EINTR) continue;
      if (r < 0) {
        error = errno;
        break;
      }
      if (r == 0) break;
      got += static_cast<size_t>(r);
      if (got > maxBytes) {
        error = EFBIG;
        break;
      }
    }
    bytes.resize(got);
  }
  close(fd);
  if (error != 0) bytes.clear();
  return error;
}

std::string FileFolderOf(const char* path) {
  std::string folder;
  const char* slash = std::strrchr(path, '/');
  if (slash != nullptr) folder.assign(path, slash == path ? 1 : static_cast<size_t>(slash - path));
  if (!folder.empty() && folder[0] == '/') return folder;
  char current[4096];
  if (getcwd(current, sizeof current) == nullptr) return std::string();
  if (folder.empty()) return current;
  std::string joined = current;
  if (joined.back() != '/') joined += '/';
  return joined + folder;
}

std::string FileBaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

std::FILE* FileOpenForWriting(const char* path, int& error) {
  // Not blocking: a FIFO without a reader fails (ENXIO) instead of holding
  // the program before it starts. Not inherited by programs started later.
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) {
    error = errno;
    return nullptr;
  }
  // Writes wait as into any file: a reader that is slow is no failure.
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::FILE* file = fdopen(fd, "wb");
  error = file != nullptr ? 0 : errno;
  if (file == nullptr) close(fd);
  return file;
}

int FileWrite(std::FILE* file, const void* data, size_t size, size_t& written) {
  const int fd = fileno(file);
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (written = 0; written < size;) {
    const ssize_t n = write(fd, bytes + written, size - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return errno;
    if (n == 0) return ENOSPC;
    written += static_cast<size_t>(n);
  }
  return 0;
}

int FileCut(std::FILE* file, uint64_t length) {
  struct stat info {};
  const int fd = fileno(file);
  if (fstat(fd, &info) != 0) return errno;
  if (!S_ISREG(info.st_mode)) return 0;
  return ftruncate(fd, static_cast<off_t>(length)) == 0 ? 0 : errno;
}

bool FileSameDevice(const char* a, const char* b) {
  struct stat first {}, second {};
  if (stat(a, &first) != 0 || stat(b, &second) != 0) return false;
  // Two nodes of one device are the same device, though not the same file.
  if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
  return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}
