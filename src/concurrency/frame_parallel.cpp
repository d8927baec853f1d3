#include "concurrency/frame_parallel.h"

#include <atomic>

#include "concurrency/thread_pool.h"

namespace vendrix::concurrency {
namespace {

struct Shared {
  FrameFn fn;
  void* ctx;
  int32_t n;
  std::atomic<int32_t> next{0};
};

void Drain(Shared& s) {
  for (int32_t i; (i = s.next.fetch_add(1, std::memory_order_relaxed)) < s.n;) s.fn(s.ctx, i);
}

void DrainJob(PoolJob* job) { Drain(**PoolJobArgs<Shared*>(job)); }

}  // namespace

bool ForEachFrame(int32_t n, int32_t min_frames, FrameFn fn, void* ctx) {
  if (!fn || n <= 0) return true;
  ThreadPoolService* svc = PoolService();
  const int32_t workers = svc->ThreadCount();
  Shared shared;
  shared.fn = fn;
  shared.ctx = ctx;
  shared.n = n;
  if (n < min_frames || workers < 2) {
    Drain(shared);
    return true;
  }
  WorkerPool* pool = svc->AcquirePool();
  if (!pool) return false;
  for (int32_t w = 0; w < workers - 1; ++w) {
    PoolJob job;
    *PoolJobArgs<Shared*>(&job) = &shared;
    job.fn.store(DrainJob, std::memory_order_relaxed);
    if (!svc->SubmitJob(pool, &job)) break;
  }
  Drain(shared);
  svc->ReleasePool(pool);
  return true;
}

}  // namespace vendrix::concurrency
