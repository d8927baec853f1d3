#include "concurrency/thread_pool.h"

#include <cmath>
#include <cstring>

#include "platform/heap.h"
#include "platform/system.h"

namespace vendrix::concurrency {
namespace {

using platform::kInfinite;
using platform::kStillActive;

WorkerPool* g_pools[kMaxPools] = {};
int32_t g_pool_count = 0;
std::atomic<int32_t> g_round_robin{0};
std::atomic<bool> g_single_thread{false};
std::atomic<float> g_load_factor{1.0f};

void ExitSentinel(PoolJob*) {}

uint32_t PoolThreadBody(void* arg) {
  PoolSlot& slot = *static_cast<PoolSlot*>(arg);
  slot.done->Set();  // ready
  for (;;) {
    slot.start->Wait(kInfinite);
    const PoolJobFn fn = slot.job.fn.load(std::memory_order_acquire);
    if (fn == ExitSentinel) break;
    if (!fn) continue;
    fn(&slot.job);
    // A stop that gave up waiting stores the sentinel over a running job; honour it when the job returns.
    const bool leave = slot.job.fn.exchange(nullptr, std::memory_order_acq_rel) == ExitSentinel;
    slot.done->Set();
    if (leave) return 0;
  }
  slot.job.fn.store(nullptr, std::memory_order_release);
  return 0;
}

void SetSlotPriority(PoolSlot& slot, int32_t priority) {
  if (slot.priority == priority) return;
  slot.priority = priority;
  if (slot.thread) platform::ThreadSetPriority(slot.thread, priority);
}

void StopSlot(PoolSlot& slot) {
  if (slot.thread && platform::ThreadExitCode(slot.thread) == kStillActive) {
    if (slot.job.fn.load(std::memory_order_acquire)) slot.done->Wait(500);
    slot.job.fn.store(ExitSentinel, std::memory_order_release);
    slot.start->Set();
    while (platform::ThreadExitCode(slot.thread) == kStillActive && slot.job.fn.load(std::memory_order_acquire))
      platform::SleepMs(2);
  }
  if (slot.thread) {
    platform::ThreadJoin(slot.thread);  // the thread has left its loop or is about to
    platform::ThreadClose(slot.thread);
  }
  slot.thread = nullptr;
  slot.thread_id = 0;
  platform::EventClose(slot.start);
  platform::EventClose(slot.done);
  slot.start = slot.done = nullptr;
}

int32_t ThreadCount() {
  if (g_single_thread.load(std::memory_order_relaxed)) return 1;
  const int32_t n = platform::ProcessorCount();
  return n > kPoolSlots ? kPoolSlots : n;
}

WorkerPool* AcquirePool() {
  WorkerPool* pool = nullptr;
  const int32_t count = g_pool_count;
  for (int32_t attempt = 0; attempt < count && !pool; ++attempt) {
    const int32_t n = g_round_robin.fetch_add(1, std::memory_order_relaxed) + 1;
    WorkerPool* candidate = g_pools[static_cast<uint32_t>(n) % static_cast<uint32_t>(count)];
    // The lock can only be held with the busy flag clear while another thread is half-way through
    // acquiring or releasing the pool; treating that as busy (try, not wait) means a thread holding
    // one pool never blocks on the other, so no two borrowers can ever wait on each other.
    if (candidate && !candidate->busy.load(std::memory_order_acquire) && candidate->lock.TryEnter()) {
      if (candidate->busy.load(std::memory_order_acquire)) {
        candidate->lock.Leave();  // taken again by its own borrower (the lock is recursive)
        continue;
      }
      candidate->busy.store(1, std::memory_order_release);
      pool = candidate;
    }
  }
  if (!pool) return nullptr;
  pool->reserved = 0;
  pool->job_count = 0;
  if (pool->priority != 0) {
    pool->priority = 0;
    for (PoolSlot& slot : pool->slots) SetSlotPriority(slot, 0);
  }
  return pool;
}

int32_t SubmitJob(WorkerPool* pool, PoolJob* job) {
  if (!pool || !job || !pool->busy.load(std::memory_order_acquire)) return 0;
  const PoolJobFn fn = job->fn.load(std::memory_order_relaxed);
  if (!fn) return 0;
  PoolSlot* slot = nullptr;
  for (PoolSlot& s : pool->slots) {
    if (!s.thread || !s.job.fn.load(std::memory_order_acquire)) {
      slot = &s;
      break;
    }
  }
  if (!slot) return 0;
  if (!slot->thread) {
    slot->start = platform::EventCreate();
    slot->done = platform::EventCreate();
    slot->priority = pool->priority;
    slot->job.fn.store(nullptr, std::memory_order_relaxed);
    if (slot->start && slot->done)
      slot->thread = platform::ThreadCreate(PoolThreadBody, slot, kPoolThreadStack, &slot->thread_id);
    if (!slot->thread) {
      platform::EventClose(slot->start);
      platform::EventClose(slot->done);
      slot->start = slot->done = nullptr;
      return 0;
    }
    slot->done->Wait(kInfinite);  // ready
    platform::ThreadSetPriority(slot->thread, slot->priority);
  }
  std::memcpy(slot->job.args, job->args, sizeof(job->args));
  slot->job.fn.store(fn, std::memory_order_release);
  slot->start->Set();
  ++pool->job_count;
  return 1;
}

int32_t ReleasePool(WorkerPool* pool) {
  if (!pool || !pool->busy.load(std::memory_order_acquire)) return 0;
  for (PoolSlot& slot : pool->slots) {
    if (!slot.thread) continue;
    // The done event may hold a stale signal from an earlier job; wait until the job word clears.
    while (slot.job.fn.load(std::memory_order_acquire)) slot.done->Wait(kInfinite);
  }
  pool->busy.store(0, std::memory_order_release);
  pool->lock.Leave();
  return 1;
}

int32_t PoolBusy(WorkerPool* pool) {
  if (!pool) return 0;
  for (PoolSlot& slot : pool->slots)
    if (slot.thread && slot.job.fn.load(std::memory_order_acquire)) return 1;
  return 0;
}

bool IsMultithreaded() { return !g_single_thread.load(std::memory_order_relaxed); }

void SetMultithreaded(bool on) { g_single_thread.store(!on, std::memory_order_relaxed); }

int32_t ThreadsForLoad(const ThreadLoad* load) {
  int32_t count = platform::ProcessorCount();
  if (count > kPoolSlots) count = kPoolSlots;
  if (g_single_thread.load(std::memory_order_relaxed) || count < 2 || !load || load->kind != 1 || load->zero != 0)
    return 1;
  if (!(load->unit > 0.001f)) return 1;
  float r = load->work / load->unit * g_load_factor.load(std::memory_order_relaxed);
  if (count > 2) r *= static_cast<float>(count / 2);
  // NaN or a huge ratio asks for as many threads as there are; a NaN must not reach the conversion.
  if (!(r < static_cast<float>(kPoolSlots + 1))) return r != r ? 1 : count;
  const auto n = static_cast<int32_t>(std::trunc(r));
  if (n <= 1) return 1;
  return n < count ? n : count;
}

float GetLoadFactor() { return g_load_factor.load(std::memory_order_relaxed); }

void SetLoadFactor(float factor) { g_load_factor.store(factor, std::memory_order_relaxed); }

void SetPoolPriority(WorkerPool* pool, int32_t priority) {
  if (!pool) return;
  const int32_t q = priority < 0 ? -1 : 0;
  if (pool->priority == q) return;
  pool->priority = q;
  for (PoolSlot& slot : pool->slots) SetSlotPriority(slot, q);
}

ThreadPoolService g_builtin = {
    ThreadCount,     AcquirePool,   SubmitJob,     ReleasePool,   PoolBusy,        IsMultithreaded,
    SetMultithreaded, ThreadsForLoad, GetLoadFactor, SetLoadFactor, SetPoolPriority,
};

ThreadPoolService* g_service = &g_builtin;

}  // namespace

ThreadPoolService* PoolService() { return g_service; }

bool CreatePools(int32_t count) {
  if (count < 1) count = 1;
  if (count > kMaxPools) count = kMaxPools;
  g_pool_count = count;
  for (int32_t i = count - 1; i >= 0; --i) {
    if (g_pools[i]) continue;
    g_pools[i] = platform::HeapNew<WorkerPool>();
    if (!g_pools[i]) {
      DestroyPools();
      return false;
    }
  }
  return true;
}

void DestroyPools() {
  for (int32_t i = kMaxPools - 1; i >= 0; --i) {
    WorkerPool* pool = g_pools[i];
    if (!pool) continue;
    for (PoolSlot& slot : pool->slots) StopSlot(slot);
    platform::HeapDelete(pool);
    g_pools[i] = nullptr;
  }
  g_pool_count = 0;
}

}  // namespace vendrix::concurrency
