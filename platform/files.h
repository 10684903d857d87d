#pragma once
// Files service: what the operations need to know about a file before they
// read it with the standard library.

#include <cstdint>

// True when path names a regular file (not a folder or a device); its size in
// bytes goes to *size.
bool FileRegularSize(const char* path, uint64_t* size);
