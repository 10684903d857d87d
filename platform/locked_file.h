#pragma once
// Locked files service: a file that several programs append to, one at a
// time, under an exclusive advisory lock (flock on Linux, LockFileEx on
// Windows). Readers that take no lock still read it: the lock keeps writers
// apart and never blocks a read. Paths are UTF-8.

#include <cstddef>
#include <cstdint>

struct LockedFile {
  intptr_t handle = -1;
};

// Opens the file for reading and appending, created when missing, and takes
// its exclusive lock, trying for up to waitMs. 0, or an errno value: ENOENT
// (a missing folder), EACCES (no permission), EISDIR (a folder), ETIMEDOUT
// (another writer kept the lock all that time), or what the system reported.
int LockedFileOpen(const char* path, int32_t waitMs, LockedFile& file);

// The file's size in bytes.
int LockedFileSize(const LockedFile& file, uint64_t& size);

// Reads up to size bytes at offset; got is what came.
int LockedFileReadAt(const LockedFile& file, uint64_t offset, void* data, size_t size, size_t& got);

// Appends size bytes at the end and waits until they are on the disk (fsync,
// FlushFileBuffers). 0, or the errno value of the write or sync that failed.
int LockedFileAppend(const LockedFile& file, const void* data, size_t size);

// Releases the lock and closes the file.
void LockedFileClose(LockedFile& file);
