// Pool threads start on first use and live as long as the library, so a test that counts live heap
// blocks around multithreaded work starts every slot's thread first. Every slot of both pools gets a
// job that waits until all of them run, so each occupies its own slot and thread.
#pragma once

#include <gtest/gtest.h>

#include <atomic>

#include "concurrency/thread_pool.h"
#include "concurrency/worker_registry.h"
#include "platform/heap.h"
#include "platform/system.h"

namespace vendrix::testing {

inline void WarmPools() {
  static bool warmed = false;
  if (warmed) return;
  warmed = true;
  concurrency::ThreadPoolService* svc = concurrency::PoolService();
  concurrency::WorkerPool* pools[2] = {svc->AcquirePool(), svc->AcquirePool()};
  for (concurrency::WorkerPool* pool : pools) {
    if (!pool) continue;
    static std::atomic<int> started;
    started = 0;
    int submitted = 0;
    for (int i = 0; i < concurrency::kPoolSlots; ++i) {
      concurrency::PoolJob job;
      job.fn.store([](concurrency::PoolJob*) {
        started.fetch_add(1);
        while (started.load() < concurrency::kPoolSlots) platform::SleepMs(1);
      });
      submitted += svc->SubmitJob(pool, &job);
    }
    if (submitted < concurrency::kPoolSlots) started.fetch_add(concurrency::kPoolSlots);  // release a partial set
    svc->ReleasePool(pool);
  }
}

// The dedicated workers of the block matcher likewise start on first use and live with the library.
inline void WarmWorkers() {
  for (int i = 0; i < concurrency::kMaxWorkers; ++i) concurrency::WorkerEnsureThread(i);
}

// A test that must leave as many live heap blocks as it found, counted once the library's threads run.
// The pool switch and the processor count a test may change are put back first.
class LiveBlocksTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WarmPools();
    WarmWorkers();
    live_ = platform::HeapLiveBlocks();
  }
  void TearDown() override {
    concurrency::PoolService()->SetMultithreaded(true);
    platform::SetProcessorCountOverride(0);
    EXPECT_EQ(platform::HeapLiveBlocks(), live_);
  }
  int64_t live_ = 0;
};

}  // namespace vendrix::testing
