// A spin lock for queues whose critical sections are a few pointer writes: taken by exchanging the
// word from 0 to 1, released by storing 0.
#pragma once

#include <atomic>
#include <thread>

namespace vendrix::concurrency {

class SpinLock {
 public:
  void Enter() {
    for (int spins = 0;; ++spins) {
      int expected = 0;
      if (word_.compare_exchange_weak(expected, 1, std::memory_order_acquire, std::memory_order_relaxed)) return;
      if (spins > 64) std::this_thread::yield();  // the holder was preempted: let it run
    }
  }
  void Leave() { word_.store(0, std::memory_order_release); }

 private:
  std::atomic<int> word_{0};
};

}  // namespace vendrix::concurrency
