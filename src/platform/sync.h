// Synchronisation objects of the platform layer: auto-reset events, a recursive mutex and a
// recursive critical section, with the semantics the library's worker hand-offs rely on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace vendrix::platform {

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

// Auto-reset event: Set() wakes exactly one waiter (or the next one to wait) and resets on wake-up.
// Created unsignalled.
class Event {
 public:
  void Set();
  // Waits up to `ms` milliseconds (kInfinite = no limit). True when signalled, false on time-out.
  bool Wait(uint32_t ms);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  bool signalled_ = false;
};

// Heap-allocated events, so that their lifetime is visible to the heap's live-block counter.
Event* EventCreate();
void EventClose(Event* event);  // null is a no-op

// Recursive lock that the holding thread may take again; used both where the library wants a
// mutex (creation and stopping of dedicated workers) and a critical section (pools, queues).
class CriticalSection {
 public:
  void Enter() { mutex_.lock(); }
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

using RecursiveMutex = CriticalSection;

RecursiveMutex* MutexCreate();
void MutexClose(RecursiveMutex* mutex);  // null is a no-op

// Scoped holder for either lock.
class Lock {
 public:
  explicit Lock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~Lock() { cs_.Leave(); }
  Lock(const Lock&) = delete;
  Lock& operator=(const Lock&) = delete;

 private:
  CriticalSection& cs_;
};

}  // namespace vendrix::platform
