// The worker pool service: release waits for every job, at most two pools lent out at once (a third
// borrower gets null, from any thread), thread counts for a load, and ParallelFor running every item
// exactly once with or without a pool. (Many borrowers at once: the reliability tests' host threads.)
#include "concurrency/thread_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>
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

PoolJob MakeJob(std::atomic<int>* counter, uint32_t sleep_ms) {
  PoolJob job;
  *PoolJobArgs<SleepAddArgs>(&job) = SleepAddArgs{counter, sleep_ms};
  job.fn.store([](PoolJob* j) {
    const SleepAddArgs& a = *PoolJobArgs<SleepAddArgs>(j);
    if (a.sleep_ms) platform::SleepMs(a.sleep_ms);
    a.counter->fetch_add(1);
  });
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
  const int extra_taken = svc->SubmitJob(pool, &extra);  // all slots may still be busy: then it must not run
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
  ASSERT_TRUE(a && b);
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

TEST_F(PoolTest, ThreadCountsFollowTheProcessorsTheSwitchAndTheLoad) {
  platform::SetProcessorCountOverride(64);
  EXPECT_EQ(svc->ThreadCount(), kPoolSlots);
  platform::SetProcessorCountOverride(6);
  EXPECT_EQ(svc->ThreadCount(), 6);
  svc->SetMultithreaded(false);
  EXPECT_FALSE(svc->IsMultithreaded());
  EXPECT_EQ(svc->ThreadCount(), 1);
  const ThreadLoad heavy{1, 0, 1000.0f, 1.0f};
  EXPECT_EQ(svc->ThreadsForLoad(&heavy), 1);
  svc->SetMultithreaded(true);
  EXPECT_EQ(svc->ThreadsForLoad(nullptr), 1);
  // Pieces of work (work / unit x load factor), times half the processors above two, capped at them.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    int32_t processors;
    float factor;
    ThreadLoad load;
    int32_t threads;
  } cases[] = {
      {8, 1.0f, {1, 0, 1.5f, 1.0f}, 6},      {8, 1.0f, {1, 0, 100.0f, 0.0005f}, 1},  // unit too small
      {8, 1.0f, {1, 0, 1000.0f, 1.0f}, 8},   {8, 1.0f, {2, 0, 1000.0f, 1.0f}, 1},    // wrong kind
      {8, 1.0f, {1, 1, 1000.0f, 1.0f}, 1},   {8, 1.0f, {1, 0, nan, 1.0f}, 1},
      {8, 0.25f, {1, 0, 3.0f, 1.0f}, 3},     {2, 1.0f, {1, 0, 3.0f, 1.0f}, 2},       // no factor at 2
      {2, 1.0f, {1, 0, 1.9f, 1.0f}, 1},      {1, 1.0f, {1, 0, 1000.0f, 1.0f}, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.processors << " processors, factor " << c.factor << ", work " << c.load.work);
    platform::SetProcessorCountOverride(c.processors);
    svc->SetLoadFactor(c.factor);
    EXPECT_FLOAT_EQ(svc->GetLoadFactor(), c.factor);
    EXPECT_EQ(svc->ThreadsForLoad(&c.load), c.threads);
  }
}

TEST_F(PoolTest, ParallelForRunsEveryItemOnceWithOrWithoutPools) {
  auto hit = [](void* ctx, int32_t i) { (*static_cast<std::vector<std::atomic<int>>*>(ctx))[i].fetch_add(1); };
  for (bool multi : {true, false}) {
    svc->SetMultithreaded(multi);
    for (int32_t count : {1, 2, 33, 100}) {
      std::vector<std::atomic<int>> hits(count);
      ParallelFor(count, hit, &hits);
      for (int32_t i = 0; i < count; ++i) ASSERT_EQ(hits[i].load(), 1) << "item " << i << " of " << count;
    }
  }
  // With both pools lent out elsewhere everything runs on the caller.
  WorkerPool* a = svc->AcquirePool();
  WorkerPool* b = svc->AcquirePool();
  std::vector<std::atomic<int>> hits(10);
  std::thread([&] { ParallelFor(10, hit, &hits); }).join();
  for (int32_t i = 0; i < 10; ++i) EXPECT_EQ(hits[i].load(), 1);
  svc->ReleasePool(a);
  svc->ReleasePool(b);
}

}  // namespace
}  // namespace vendrix::concurrency
