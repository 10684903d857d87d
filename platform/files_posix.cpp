#include "platform/files.h"

#include <sys/stat.h>

bool FileRegularSize(const char* path, uint64_t* size) {
  struct stat info {};
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return false;
  *size = static_cast<uint64_t>(info.st_size);
  return true;
}
