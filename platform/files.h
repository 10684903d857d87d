#pragma once
// Files service: reading a whole file the operations send, and naming the
// folder a file is looked for in. Paths are UTF-8 on every system.

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// Reads the whole regular file at path into bytes, in one go, so that what is
// sent afterwards is what the file held at this moment. Returns 0, or an errno
// value: ENOENT (no such file), EACCES (no permission), EISDIR (a folder),
// EINVAL (a device or another file that is not regular), EFBIG (larger than
// maxBytes), or what the system reported while reading. bytes is empty on
// failure.
int FileReadAll(const char* path, uint64_t maxBytes, std::vector<uint8_t>& bytes);

// The absolute folder a path is looked for in: the current folder for a bare
// file name, the path's own folder otherwise. Empty when it cannot be told.
std::string FileFolderOf(const char* path);

// The file's own name, without its folder.
std::string FileBaseName(const char* path);

// The system's own wording of an errno value of this service.
std::string FileErrorText(int error);

// Opens the file at path for writing, created or emptied, in binary mode so
// that lines end in "\n" on every system. nullptr and the errno value in
// error when it cannot be written (a missing folder: ENOENT, a folder:
// EISDIR, no permission: EACCES, a FIFO nobody reads: ENXIO). The open never
// waits: not for a FIFO's reader, nor for a terminal's carrier.
std::FILE* FileOpenForWriting(const char* path, int& error);

// Writes size bytes to file past any stdio buffer, in one call of the system's
// write when it takes them all (a pipe takes up to 4096 bytes at once, never
// mixed with another writer's), continuing after a short write. 0, or the
// errno value of the write that failed (ENOSPC, EFBIG, EPIPE, ...), with
// written the bytes that went.
int FileWrite(std::FILE* file, const void* data, size_t size, size_t& written);

// Cuts a regular file back to length bytes; anything else is left as it is.
// 0 or an errno value.
int FileCut(std::FILE* file, uint64_t length);

// True when both paths name the same file or device, whatever the names: a
// link, another name of the same device node. False when either is missing.
bool FileSameDevice(const char* a, const char* b);
