#include "concurrency/parallel.h"

#include "concurrency/thread_pool.h"

namespace vendrix::concurrency {
namespace {

struct ItemArgs {
  ParallelFn fn;
  void* ctx;
  int32_t index;
};

void RunItem(PoolJob* job) {
  const ItemArgs& a = *PoolJobArgs<ItemArgs>(job);
  a.fn(a.ctx, a.index);
}

}  // namespace

void ParallelFor(int32_t count, ParallelFn fn, void* ctx) {
  if (!fn || count <= 0) return;
  ThreadPoolService* svc = PoolService();
  WorkerPool* pool = (count > 1 && svc->IsMultithreaded() && svc->ThreadCount() > 1) ? svc->AcquirePool() : nullptr;
  int32_t next = 0;
  while (next < count) {
    const int32_t first = next;
    const int32_t end = (count - first > kPoolSlots + 1) ? first + kPoolSlots + 1 : count;
    int32_t inline_end = first + 1;  // items [first, inline_end) run here
    for (int32_t i = first + 1; i < end; ++i) {
      PoolJob job;
      *PoolJobArgs<ItemArgs>(&job) = ItemArgs{fn, ctx, i};
      job.fn.store(RunItem, std::memory_order_relaxed);
      if (!pool || !svc->SubmitJob(pool, &job)) break;
      inline_end = i + 1;
    }
    fn(ctx, first);
    // Items the pool did not take run here.
    for (int32_t i = inline_end; i < end; ++i) fn(ctx, i);
    if (pool && end < count) {
      svc->ReleasePool(pool);
      pool = svc->AcquirePool();
    }
    next = end;
  }
  if (pool) svc->ReleasePool(pool);
}

}  // namespace vendrix::concurrency
