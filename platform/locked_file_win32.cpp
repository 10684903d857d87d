#include "platform/locked_file.h"

#include <windows.h>

#include <cerrno>

#include "platform/text_win32.h"
#include "platform/time.h"

namespace {

// The lock covers one byte far beyond any journal's end: LockFileEx's locks
// are mandatory on the bytes they cover, and readers must never be refused.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;
constexpr DWORD kLockOffsetLow = 0xFFFFFFF0;

HANDLE HandleOf(const LockedFile& file) { return reinterpret_cast<HANDLE>(file.handle); }

int ErrnoOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE: return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION: return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return ENOSPC;
    default: return EIO;
  }
}

OVERLAPPED LockPlace() {
  OVERLAPPED place{};
  place.Offset = kLockOffsetLow;
  place.OffsetHigh = kLockOffsetHigh;
  return place;
}

}  // namespace

int LockedFileOpen(const char* path, int32_t waitMs, LockedFile& file) {
  file.handle = -1;
  const std::wstring wide = WideFromUtf8(path);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return EISDIR;
  const HANDLE handle =
      CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return ErrnoOf(GetLastError());
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    CloseHandle(handle);
    return EINVAL;
  }
  const uint32_t since = PlatformTickMs();
  for (;;) {
    OVERLAPPED place = LockPlace();
    if (LockFileEx(handle, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &place)) break;
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION || static_cast<int32_t>(PlatformTickMs() - since) >= waitMs) {
      CloseHandle(handle);
      return error == ERROR_LOCK_VIOLATION ? ETIMEDOUT : ErrnoOf(error);
    }
    PlatformSleepMs(2);
  }
  file.handle = reinterpret_cast<intptr_t>(handle);
  return 0;
}

int LockedFileSize(const LockedFile& file, uint64_t& size) {
  LARGE_INTEGER length{};
  if (!GetFileSizeEx(HandleOf(file), &length)) return ErrnoOf(GetLastError());
  size = static_cast<uint64_t>(length.QuadPart);
  return 0;
}

int LockedFileReadAt(const LockedFile& file, uint64_t offset, void* data, size_t size, size_t& got) {
  got = 0;
  while (got < size) {
    OVERLAPPED place{};
    place.Offset = static_cast<DWORD>(offset + got);
    place.OffsetHigh = static_cast<DWORD>((offset + got) >> 32);
    DWORD read = 0;
    const DWORD chunk = size - got > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size - got);
    if (!ReadFile(HandleOf(file), static_cast<char*>(data) + got, chunk, &read, &place)) {
      const DWORD error = GetLastError();
      if (error == ERROR_HANDLE_EOF) break;
      return ErrnoOf(error);
    }
    if (read == 0) break;
    got += read;
  }
  return 0;
}

int LockedFileAppend(const LockedFile& file, const void* data, size_t size) {
  for (size_t done = 0; done < size;) {
    // Offset all ones: at the end of the file, whoever wrote last.
    OVERLAPPED place{};
    place.Offset = 0xFFFFFFFF;
    place.OffsetHigh = 0xFFFFFFFF;
    DWORD wrote = 0;
    const DWORD chunk = size - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(size - done);
    if (!WriteFile(HandleOf(file), static_cast<const char*>(data) + done, chunk, &wrote, &place))
      return ErrnoOf(GetLastError());
    done += wrote;
  }
  return FlushFileBuffers(HandleOf(file)) ? 0 : ErrnoOf(GetLastError());
}

void LockedFileClose(LockedFile& file) {
  if (file.handle == -1) return;
  OVERLAPPED place = LockPlace();
  UnlockFileEx(HandleOf(file), 0, 1, 0, &place);
  CloseHandle(HandleOf(file));
  file.handle = -1;
}
