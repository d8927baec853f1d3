#include "concurrency/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "concurrency/parallel.h"
#include "platform/system.h"

namespace vendrix::concurrency {
namespace {

struct SleepAddArgs {
  std::atomic<int>* counter;
  uint32_t sleep_ms;
};

void SleepAddJob(PoolJob* job) {
  const SleepAddArgs& a = *PoolJobArgs<SleepAddArgs>(job);
  if (a.sleep_ms) platform::SleepMs(a.sleep_ms);
  a.counter->fetch_add(1);
}

PoolJob MakeJob(std::atomic<int>* counter, uint32_t sleep_ms) {
  PoolJob job;
  *PoolJobArgs<SleepAddArgs>(&job) = SleepAddArgs{counter, sleep_ms};
  job.fn.store(SleepAddJob);
  return job;
}

class PoolTest : public ::testing::Test {
 protected:
  void TearDown() override {
    svc->SetMultithreaded(true);
    svc->SetLoadFactor(1.0f);
    platform::SetProcessorCountOverride(0);
  }
  ThreadPoolService* svc = PoolService();
};

TEST_F(PoolTest, ReleaseWaitsForEveryJob) {
  WorkerPool* pool = svc->AcquirePool();
  ASSERT_NE(pool, nullptr);
  std::atomic<int> counter{0};
  for (int i = 0; i < kPoolSlots; ++i) {
    PoolJob job = MakeJob(&counter, i % 3 == 0 ? 20 : 1);
    ASSERT_EQ(svc->SubmitJob(pool, &job), 1) << i;
  }
  EXPECT_EQ(pool->job_count, static_cast<uint32_t>(kPoolSlots));
  PoolJob extra = MakeJob(&counter, 0);
  // All 32 slots may still be busy; a refused job must not run.
  const int extra_taken = svc->SubmitJob(pool, &extra);
  EXPECT_EQ(svc->ReleasePool(pool), 1);
  EXPECT_EQ(counter.load(), kPoolSlots + extra_taken);
  EXPECT_EQ(svc->PoolBusy(pool), 0);
  EXPECT_EQ(svc->ReleasePool(pool), 0);  // not lent out any more
  EXPECT_EQ(svc->SubmitJob(pool, &extra), 0);
  EXPECT_EQ(counter.load(), kPoolSlots + extra_taken);
}

TEST_F(PoolTest, ThirdConcurrentAcquireGetsNull) {
  WorkerPool* a = svc->AcquirePool();
  WorkerPool* b = svc->AcquirePool();
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(a, b);
  EXPECT_EQ(svc->AcquirePool(), nullptr);
  // From another thread too (the pool lock is recursive, so the owner alone is not a fair test).
  WorkerPool* other = reinterpret_cast<WorkerPool*>(1);
  std::thread([&] { other = svc->AcquirePool(); }).join();
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(svc->ReleasePool(a), 1);
  EXPECT_EQ(svc->ReleasePool(b), 1);
  EXPECT_EQ(svc->ReleasePool(nullptr), 0);
  EXPECT_EQ(svc->PoolBusy(nullptr), 0);
}

TEST_F(PoolTest, ThreadCountAndSingleThreadSwitch) {
  platform::SetProcessorCountOverride(64);
  EXPECT_EQ(svc->ThreadCount(), 32);
  platform::SetProcessorCountOverride(6);
  EXPECT_EQ(svc->ThreadCount(), 6);
  EXPECT_TRUE(svc->IsMultithreaded());
  svc->SetMultithreaded(false);
  EXPECT_FALSE(svc->IsMultithreaded());
  EXPECT_EQ(svc->ThreadCount(), 1);
  const ThreadLoad load{1, 0, 100.0f, 1.0f};
  EXPECT_EQ(svc->ThreadsForLoad(&load), 1);
}

TEST_F(PoolTest, ThreadsForLoadCases) {
  platform::SetProcessorCountOverride(8);
  const ThreadLoad one_and_half{1, 0, 1.5f, 1.0f};
  EXPECT_EQ(svc->ThreadsForLoad(&one_and_half), 6);  // trunc(1.5 * 8/2)
  const ThreadLoad tiny_unit{1, 0, 100.0f, 0.0005f};
  EXPECT_EQ(svc->ThreadsForLoad(&tiny_unit), 1);
  const ThreadLoad big{1, 0, 1000.0f, 1.0f};
  EXPECT_EQ(svc->ThreadsForLoad(&big), 8);
  const ThreadLoad bad_kind{2, 0, 1000.0f, 1.0f};
  const ThreadLoad bad_zero{1, 1, 1000.0f, 1.0f};
  EXPECT_EQ(svc->ThreadsForLoad(&bad_kind), 1);
  EXPECT_EQ(svc->ThreadsForLoad(&bad_zero), 1);
  EXPECT_EQ(svc->ThreadsForLoad(nullptr), 1);
  const ThreadLoad nan_work{1, 0, std::numeric_limits<float>::quiet_NaN(), 1.0f};
  EXPECT_EQ(svc->ThreadsForLoad(&nan_work), 1);
  svc->SetLoadFactor(0.25f);
  EXPECT_FLOAT_EQ(svc->GetLoadFactor(), 0.25f);
  const ThreadLoad three{1, 0, 3.0f, 1.0f};
  EXPECT_EQ(svc->ThreadsForLoad(&three), 3);  // 3 * 0.25 * 4
  svc->SetLoadFactor(1.0f);
  platform::SetProcessorCountOverride(2);
  EXPECT_EQ(svc->ThreadsForLoad(&three), 2);  // no halving factor at 2, capped at the count
  const ThreadLoad below_two{1, 0, 1.9f, 1.0f};
  EXPECT_EQ(svc->ThreadsForLoad(&below_two), 1);
  platform::SetProcessorCountOverride(1);
  EXPECT_EQ(svc->ThreadsForLoad(&big), 1);
}

TEST_F(PoolTest, PoolPriorityFollowsSetAndResetsOnAcquire) {
  WorkerPool* pool = svc->AcquirePool();
  ASSERT_NE(pool, nullptr);
  std::atomic<int> counter{0};
  PoolJob job = MakeJob(&counter, 0);
  ASSERT_EQ(svc->SubmitJob(pool, &job), 1);
  svc->SetPoolPriority(pool, -7);
  EXPECT_EQ(pool->priority, -1);
  EXPECT_EQ(pool->slots[0].priority, -1);
  svc->SetPoolPriority(nullptr, -1);  // no effect, no crash
  svc->ReleasePool(pool);
  // Acquire the same pool again (round robin alternates) and find it back at normal priority.
  WorkerPool* again = nullptr;
  for (int i = 0; i < 2 && again != pool; ++i) {
    if (again) svc->ReleasePool(again);
    again = svc->AcquirePool();
  }
  ASSERT_EQ(again, pool);
  EXPECT_EQ(pool->priority, 0);
  EXPECT_EQ(pool->slots[0].priority, 0);
  svc->ReleasePool(pool);
}

// Several host threads borrow both pools at once and hand them many short jobs; run under
// ThreadSanitizer this checks the hand-over between borrower and workers.
TEST_F(PoolTest, ManyJobsAcrossBothPoolsFromManyThreads) {
  std::atomic<int> counter{0};
  std::atomic<int> expected{0};
  std::vector<std::thread> hosts;
  for (int h = 0; h < 4; ++h) {
    hosts.emplace_back([&] {
      for (int round = 0; round < 40; ++round) {
        WorkerPool* pool = svc->AcquirePool();
        if (!pool) {
          std::this_thread::yield();
          continue;
        }
        for (int j = 0; j < 8; ++j) {
          PoolJob job = MakeJob(&counter, 0);
          expected.fetch_add(svc->SubmitJob(pool, &job));
        }
        svc->ReleasePool(pool);
      }
    });
  }
  for (auto& t : hosts) t.join();
  EXPECT_EQ(counter.load(), expected.load());
  EXPECT_GT(expected.load(), 0);
}

TEST_F(PoolTest, ParallelForRunsEveryItemOnceWithOrWithoutPools) {
  for (bool multi : {true, false}) {
    svc->SetMultithreaded(multi);
    for (int32_t count : {1, 2, 33, 100}) {
      std::vector<std::atomic<int>> hits(count);
      ParallelFor(
          count, [](void* ctx, int32_t i) { (*static_cast<std::vector<std::atomic<int>>*>(ctx))[i].fetch_add(1); },
          &hits);
      for (int32_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "item " << i << " of " << count;
    }
  }
  // With both pools lent out elsewhere everything runs on the caller.
  WorkerPool* a = svc->AcquirePool();
  WorkerPool* b = svc->AcquirePool();
  std::atomic<int> n{0};
  std::thread([&] { ParallelFor(10, [](void* c, int32_t) { static_cast<std::atomic<int>*>(c)->fetch_add(1); }, &n); })
      .join();
  EXPECT_EQ(n.load(), 10);
  svc->ReleasePool(a);
  svc->ReleasePool(b);
}

}  // namespace
}  // namespace vendrix::concurrency
