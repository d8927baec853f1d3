// Cost of borrowing a pool for one parallel step: acquire, hand out N trivial jobs, release. This is
// the fixed overhead every parallel stage of analysis, finishing and rendering pays per step.
#include <benchmark/benchmark.h>

#include <atomic>

#include "concurrency/parallel.h"
#include "concurrency/thread_pool.h"

namespace vendrix::concurrency {
namespace {

void Nop(PoolJob* job) { PoolJobArgs<std::atomic<int>*>(job)[0]->fetch_add(1, std::memory_order_relaxed); }

void BM_AcquireSubmitRelease(benchmark::State& state) {
  ThreadPoolService* svc = PoolService();
  std::atomic<int> counter{0};
  const int jobs = static_cast<int>(state.range(0));
  for (auto _ : state) {
    WorkerPool* pool = svc->AcquirePool();
    for (int j = 0; j < jobs; ++j) {
      PoolJob job;
      *PoolJobArgs<std::atomic<int>*>(&job) = &counter;
      job.fn.store(Nop, std::memory_order_relaxed);
      svc->SubmitJob(pool, &job);
    }
    svc->ReleasePool(pool);
  }
  state.SetItemsProcessed(state.iterations() * jobs);
}
BENCHMARK(BM_AcquireSubmitRelease)->Arg(1)->Arg(2)->Arg(8)->Arg(32)->UseRealTime();

void BM_ParallelFor(benchmark::State& state) {
  std::atomic<int> counter{0};
  const auto items = static_cast<int32_t>(state.range(0));
  for (auto _ : state)
    ParallelFor(items, [](void* c, int32_t) { static_cast<std::atomic<int>*>(c)->fetch_add(1); }, &counter);
  state.SetItemsProcessed(state.iterations() * items);
}
BENCHMARK(BM_ParallelFor)->Arg(2)->Arg(8)->UseRealTime();

}  // namespace
}  // namespace vendrix::concurrency
