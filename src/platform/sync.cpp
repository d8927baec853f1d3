#include "platform/sync.h"

#include <chrono>

#include "platform/heap.h"

namespace vendrix::platform {

void Event::Set() {
  // Notify while holding the lock: a waiter that wakes may close the event at once, and must not do so
  // while this call still touches the condition variable.
  std::lock_guard<std::mutex> lock(mutex_);
  signalled_ = true;
  cv_.notify_one();
}

bool Event::Wait(uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (ms == kInfinite) {
    cv_.wait(lock, [this] { return signalled_; });
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return signalled_; })) {
    return false;
  }
  signalled_ = false;
  return true;
}

Event* EventCreate() { return HeapNew<Event>(); }
void EventClose(Event* event) { HeapDelete(event); }

RecursiveMutex* MutexCreate() { return HeapNew<RecursiveMutex>(); }
void MutexClose(RecursiveMutex* mutex) { HeapDelete(mutex); }

}  // namespace vendrix::platform
