// The worker pool service: two pools of 32 lazily started threads that analysis, finishing and
// rendering borrow one whole pool at a time for one parallel step.
//
// A borrower takes a pool with AcquirePool, hands it up to 32 jobs with SubmitJob and gives it back
// with ReleasePool, which waits for every job. Acquire and release happen on the borrowing thread;
// the pool's critical section is held in between. Users reach the service only through PoolService().
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/sync.h"
#include "platform/thread.h"

namespace vendrix::concurrency {

struct PoolJob;
using PoolJobFn = void (*)(PoolJob* job);

// 144 bytes: the function (null = idle) and 136 bytes of arguments owned by the submitter.
struct PoolJob {
  std::atomic<PoolJobFn> fn{nullptr};
  alignas(8) unsigned char args[136];

  PoolJob() = default;
  // Submitters build jobs by value; copying takes the arguments, then the function word.
  PoolJob(const PoolJob& other) noexcept {
    std::memcpy(args, other.args, sizeof(args));
    fn.store(other.fn.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  PoolJob& operator=(const PoolJob&) = delete;
};
static_assert(sizeof(PoolJob) == 144);

template <class T>
T* PoolJobArgs(PoolJob* job) {
  static_assert(sizeof(T) <= sizeof(job->args) && std::is_trivially_copyable_v<T>);
  return reinterpret_cast<T*>(job->args);
}

constexpr int kPoolSlots = 32;
constexpr int kMaxPools = 4;
constexpr uint32_t kPoolThreadStack = 1u << 20;

struct PoolSlot {
  uint32_t thread_id = 0;
  platform::Thread* thread = nullptr;
  platform::Event* start = nullptr;
  platform::Event* done = nullptr;
  PoolJob job;
  int32_t priority = 0;  // platform::ThreadPriority the slot's thread should run at
};

struct WorkerPool {
  platform::CriticalSection lock;  // owned by the borrower while the pool is lent out
  PoolSlot slots[kPoolSlots];
  std::atomic<uint8_t> busy{0};    // 1 while lent out
  uint32_t reserved = 0;           // reset on acquire
  uint32_t job_count = 0;          // jobs submitted since the pool was acquired
  int32_t priority = 0;            // 0 normal, -1 below normal
};

// Workload description for ThreadsForLoad: kind must be 1 and zero 0; `work` over `unit` is the number
// of job-sized pieces of work (the load factor scales it).
struct ThreadLoad {
  uint32_t kind;
  uint32_t zero;
  float work;
  float unit;
};

// The operation table, in its fixed order.
struct ThreadPoolService {
  int32_t (*ThreadCount)();
  WorkerPool* (*AcquirePool)();
  int32_t (*SubmitJob)(WorkerPool* pool, PoolJob* job);
  int32_t (*ReleasePool)(WorkerPool* pool);
  int32_t (*PoolBusy)(WorkerPool* pool);
  bool (*IsMultithreaded)();
  void (*SetMultithreaded)(bool on);
  int32_t (*ThreadsForLoad)(const ThreadLoad* load);
  float (*GetLoadFactor)();
  void (*SetLoadFactor)(float factor);
  void (*SetPoolPriority)(WorkerPool* pool, int32_t priority);
};

// The process-wide service pointer, initialised to the built-in table.
ThreadPoolService* PoolService();

// Creates the pools (count is clamped to 1..4; the library uses 2). False, with nothing left
// allocated, when an allocation fails.
bool CreatePools(int32_t count);
// Stops every pool's threads and frees the pools, last to first.
void DestroyPools();

}  // namespace vendrix::concurrency
