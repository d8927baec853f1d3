// The worker registry and the library's attach and detach: a busy slot is never overwritten, attach is
// idempotent, and an attach that fails an allocation fails whole and leaves nothing behind.
#include "concurrency/worker_registry.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>

#include "concurrency/library.h"
#include "platform/heap.h"
#include "platform/system.h"

namespace vendrix::concurrency {
namespace {

struct CountArgs {
  std::atomic<int>* counter;
};
struct GateArgs {
  std::atomic<bool>* open;
  std::atomic<bool>* entered;
};

template <class Args>
WorkerJob MakeJob(WorkerJobFn fn, const Args& args) {
  WorkerJob job;
  std::memcpy(job.args, &args, sizeof(args));
  job.fn.store(fn);
  return job;
}
void AddJob(WorkerJob* job) { WorkerJobArgs<CountArgs>(job)->counter->fetch_add(1); }
void GateJob(WorkerJob* job) {
  const GateArgs& a = *WorkerJobArgs<GateArgs>(job);
  a.entered->store(true);
  while (!a.open->load()) platform::SleepMs(1);
}

TEST(WorkerRegistry, BusySlotIsNotOverwrittenAndBadIndexesAreRefused) {
  std::atomic<bool> open{false}, entered{false};
  std::atomic<int> counter{0};
  ASSERT_TRUE(WorkerEnsureThread(3));
  ASSERT_TRUE(WorkerSubmit(3, MakeJob(GateJob, GateArgs{&open, &entered})));
  EXPECT_FALSE(WorkerSubmit(3, MakeJob(AddJob, CountArgs{&counter})));
  open.store(true);
  WorkerWaitIdle(3);
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(counter.load(), 0);  // the rejected job never ran
  ASSERT_TRUE(WorkerSubmit(3, MakeJob(AddJob, CountArgs{&counter})));
  WorkerWaitIdle(3);
  EXPECT_EQ(counter.load(), 1);
  EXPECT_FALSE(WorkerEnsureThread(-1));
  EXPECT_FALSE(WorkerEnsureThread(WorkerMaxCount()));
  EXPECT_FALSE(WorkerSubmit(WorkerMaxCount(), MakeJob(AddJob, CountArgs{&counter})));
}

// Attach twice, detach twice, fail to attach again and attach, as a host that loads, unloads and reloads
// the library would (with allocations failing on the way).
TEST(Library, AttachIsIdempotentAndAFailedAttachLeavesNothingBehind) {
  EXPECT_TRUE(ProcessAttach(nullptr));
  EXPECT_EQ(AttachCount(), 1);
  ProcessDetach();
  ProcessDetach();  // not attached: nothing happens
  EXPECT_TRUE(AttachCount() == 0 && !RegistryExists());
  const int64_t before = platform::HeapLiveBlocks();
  for (int nth = 1; nth <= 3; ++nth) {
    platform::HeapFailAllocation(nth);
    EXPECT_FALSE(ProcessAttach(nullptr)) << nth;
    EXPECT_EQ(AttachCount(), 0);
    EXPECT_EQ(platform::HeapLiveBlocks(), before) << "failed attach left blocks behind, nth " << nth;
  }
  platform::HeapFailAllocation(0);
  ASSERT_TRUE(ProcessAttach(nullptr));
  EXPECT_TRUE(AttachCount() == 1 && RegistryExists());
}

}  // namespace
}  // namespace vendrix::concurrency
