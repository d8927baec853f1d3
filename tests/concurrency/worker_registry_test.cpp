#include "concurrency/worker_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "concurrency/library.h"
#include "platform/heap.h"
#include "platform/system.h"

namespace vendrix::concurrency {
namespace {

using Clock = std::chrono::steady_clock;

struct CountArgs {
  std::atomic<int>* counter;
  int add;
};

void AddJob(WorkerJob* job) {
  const CountArgs& a = *WorkerJobArgs<CountArgs>(job);
  a.counter->fetch_add(a.add);
}

struct GateArgs {
  std::atomic<bool>* open;
  std::atomic<bool>* entered;
};

void GateJob(WorkerJob* job) {
  const GateArgs& a = *WorkerJobArgs<GateArgs>(job);
  a.entered->store(true);
  while (!a.open->load()) platform::SleepMs(1);
}

WorkerJob MakeJob(WorkerJobFn fn, const void* args, size_t n) {
  WorkerJob job;
  std::memcpy(job.args, args, n);
  job.fn.store(fn);
  return job;
}

TEST(WorkerRegistry, RunsJobsOnEverySlotAndRejectsBadIndexes) {
  std::atomic<int> counter{0};
  for (int i = 0; i < WorkerMaxCount(); ++i) {
    ASSERT_TRUE(WorkerEnsureThread(i));
    ASSERT_TRUE(WorkerEnsureThread(i));  // a second call keeps the thread
    CountArgs args{&counter, i + 1};
    WorkerJob job = MakeJob(AddJob, &args, sizeof(args));
    ASSERT_TRUE(WorkerSubmit(i, job));
  }
  for (int i = 0; i < WorkerMaxCount(); ++i) WorkerWaitIdle(i);
  EXPECT_EQ(counter.load(), 36);

  CountArgs args{&counter, 1};
  WorkerJob job = MakeJob(AddJob, &args, sizeof(args));
  EXPECT_FALSE(WorkerEnsureThread(-1));
  EXPECT_FALSE(WorkerEnsureThread(8));
  EXPECT_FALSE(WorkerSubmit(8, job));
  WorkerWaitIdle(99);  // ignored
  EXPECT_EQ(counter.load(), 36);
}

TEST(WorkerRegistry, BusySlotIsNotOverwritten) {
  std::atomic<bool> open{false}, entered{false};
  std::atomic<int> counter{0};
  ASSERT_TRUE(WorkerEnsureThread(3));
  GateArgs gate{&open, &entered};
  ASSERT_TRUE(WorkerSubmit(3, MakeJob(GateJob, &gate, sizeof(gate))));
  CountArgs add{&counter, 1};
  EXPECT_FALSE(WorkerSubmit(3, MakeJob(AddJob, &add, sizeof(add))));
  open.store(true);
  WorkerWaitIdle(3);
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(counter.load(), 0);  // the rejected job never ran
  ASSERT_TRUE(WorkerSubmit(3, MakeJob(AddJob, &add, sizeof(add))));
  WorkerWaitIdle(3);
  EXPECT_EQ(counter.load(), 1);
}

// Detach and attach again, as an unload followed by a reload would.
TEST(Library, AttachIsIdempotentAndDetachWithoutAttachDoesNothing) {
  EXPECT_EQ(AttachCount(), 1);
  EXPECT_TRUE(ProcessAttach(nullptr));
  EXPECT_EQ(AttachCount(), 1);
  ProcessDetach();
  EXPECT_EQ(AttachCount(), 0);
  EXPECT_FALSE(RegistryExists());
  ProcessDetach();  // not attached: nothing happens
  EXPECT_EQ(AttachCount(), 0);
  ASSERT_TRUE(ProcessAttach(nullptr));
  EXPECT_EQ(AttachCount(), 1);
}

TEST(Library, AttachFailsWholeWhenAnAllocationFails) {
  ProcessDetach();
  const int64_t before = platform::HeapLiveBlocks();
  for (int nth = 1; nth <= 3; ++nth) {
    platform::HeapFailAllocation(nth);
    EXPECT_FALSE(ProcessAttach(nullptr)) << nth;
    EXPECT_EQ(AttachCount(), 0);
    EXPECT_EQ(platform::HeapLiveBlocks(), before) << "failed attach left blocks behind, nth " << nth;
  }
  platform::HeapFailAllocation(0);
  ASSERT_TRUE(ProcessAttach(nullptr));
}

TEST(Library, DetachWithAStuckWorkerGivesUpWithinASecond) {
  // Static: the abandoned worker still reads the gate after this test has returned.
  static std::atomic<bool> open{false}, entered{false};
  open = false;
  entered = false;
  ASSERT_TRUE(WorkerEnsureThread(5));
  GateArgs gate{&open, &entered};
  ASSERT_TRUE(WorkerSubmit(5, MakeJob(GateJob, &gate, sizeof(gate))));
  while (!entered.load()) platform::SleepMs(1);
  const auto t0 = Clock::now();
  ProcessDetach();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - t0).count();
  EXPECT_GE(ms, 850.0);   // 500 + 10 + 400 ms of waiting for the stuck slot
  EXPECT_LT(ms, 1500.0);  // and no more
  open.store(true);       // the abandoned worker finishes its job and leaves on its own
  platform::SleepMs(50);
  ASSERT_TRUE(ProcessAttach(nullptr));
}

}  // namespace
}  // namespace vendrix::concurrency
