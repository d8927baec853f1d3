// The process-wide lock of the real-time paths, held for the whole of a call.
#pragma once

#include "concurrency/library.h"

namespace vendrix::realtime {

class RtLock {
 public:
  // The lock exists from the library's load to its unload; without it (never loaded as a library) the
  // calls run unserialised, which is safe for one host thread.
  RtLock() : lock_(concurrency::RTPathLock()) {
    if (lock_) lock_->Enter();
  }
  ~RtLock() {
    if (lock_) lock_->Leave();
  }
  RtLock(const RtLock&) = delete;
  RtLock& operator=(const RtLock&) = delete;

 private:
  platform::CriticalSection* lock_;
};

}  // namespace vendrix::realtime
