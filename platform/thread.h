#pragma once
// Threads service: a detached worker thread with a small stack, and a plain
// mutual-exclusion lock.

#include <cstddef>
#include <cstdint>

// Starts entry(argument) on a new detached thread whose stack is about
// stackBytes (the system may round it up to its minimum). The thread is never
// joined; it ends with the process or when entry returns. False when no thread
// could be started.
bool PlatformThreadStart(void (*entry)(void*), void* argument, size_t stackBytes);

// A lock in caller-owned storage, large enough for every system's own lock.
// Initialise once before first use; it is never destroyed (process-wide locks).
struct PlatformLock {
  alignas(16) unsigned char storage[64];
};

void PlatformLockInit(PlatformLock& lock);
void PlatformLockEnter(PlatformLock& lock);
void PlatformLockLeave(PlatformLock& lock);
