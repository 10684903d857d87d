#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace {

struct Start {
  void (*entry)(void*);
  void* argument;
};

DWORD WINAPI Run(LPVOID start) {
  const Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  s.entry(s.argument);
  return 0;
}

static_assert(sizeof(CRITICAL_SECTION) <= sizeof(PlatformLock::storage));

CRITICAL_SECTION* Section(PlatformLock& lock) { return reinterpret_cast<CRITICAL_SECTION*>(lock.storage); }

}  // namespace

bool PlatformThreadStart(void (*entry)(void*), void* argument, size_t stackBytes) {
  Start* start = new (std::nothrow) Start{entry, argument};
  if (start == nullptr) return false;
  // The size is what the thread commits at first; the system rounds it up.
  const HANDLE thread = CreateThread(nullptr, stackBytes, Run, start, 0, nullptr);
  if (thread == nullptr) {
    delete start;
    return false;
  }
  CloseHandle(thread);  // detached: nobody waits for it
  return true;
}

void PlatformLockInit(PlatformLock& lock) { InitializeCriticalSection(Section(lock)); }

void PlatformLockEnter(PlatformLock& lock) { EnterCriticalSection(Section(lock)); }

void PlatformLockLeave(PlatformLock& lock) { LeaveCriticalSection(Section(lock)); }
