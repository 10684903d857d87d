#include "platform/thread.h"

#include <limits.h>
#include <pthread.h>

#include <new>

namespace {

struct Start {
  void (*entry)(void*);
  void* argument;
};

void* Run(void* start) {
  const Start s = *static_cast<Start*>(start);
  delete static_cast<Start*>(start);
  s.entry(s.argument);
  return nullptr;
}

static_assert(sizeof(pthread_mutex_t) <= sizeof(PlatformLock::storage));

pthread_mutex_t* Mutex(PlatformLock& lock) { return reinterpret_cast<pthread_mutex_t*>(lock.storage); }

}  // namespace

bool PlatformThreadStart(void (*entry)(void*), void* argument, size_t stackBytes) {
  Start* start = new (std::nothrow) Start{entry, argument};
  if (start == nullptr) return false;
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  // Below PTHREAD_STACK_MIN the request would be refused outright.
  const size_t least = static_cast<size_t>(PTHREAD_STACK_MIN);
  pthread_attr_setstacksize(&attr, stackBytes < least ? least : stackBytes);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_t thread;
  const bool started = pthread_create(&thread, &attr, Run, start) == 0;
  pthread_attr_destroy(&attr);
  if (!started) delete start;
  return started;
}

void PlatformLockInit(PlatformLock& lock) { new (lock.storage) pthread_mutex_t(PTHREAD_MUTEX_INITIALIZER); }

void PlatformLockEnter(PlatformLock& lock) { pthread_mutex_lock(Mutex(lock)); }

void PlatformLockLeave(PlatformLock& lock) { pthread_mutex_unlock(Mutex(lock)); }
