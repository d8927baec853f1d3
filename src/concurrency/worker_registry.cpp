#include "concurrency/worker_registry.h"

#include <new>

#include "platform/heap.h"

namespace vendrix::concurrency {
namespace {

using platform::kInfinite;
using platform::kStillActive;

WorkerRegistry* g_registry = nullptr;
platform::RecursiveMutex* g_registry_mutex = nullptr;

// The exit sentinel: a job function that does nothing and tells the worker to leave its loop.
void ExitSentinel(WorkerJob*) {}
// Marks a slot claimed by a submitter that is still writing the job's arguments; never called (the
// worker is only woken once the real function is in place).
void ClaimedSentinel(WorkerJob*) {}

constexpr uint32_t kIdlePollMs = 10;

bool IndexOk(int index) { return index >= 0 && index < kMaxWorkers; }

void ReleaseRegistry(WorkerRegistry* registry) {
  if (registry->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) delete registry;
}

uint32_t WorkerThreadBody(void* arg) {
  WorkerSlot& slot = *static_cast<WorkerSlot*>(arg);
  // Local copies: a stopper that abandons this thread clears the slot's pointers.
  platform::Event* const start = slot.start;
  platform::Event* const done = slot.done;
  done->Set();  // ready
  for (;;) {
    start->Wait(kInfinite);
    const WorkerJobFn fn = slot.job.fn.load(std::memory_order_acquire);
    if (!fn) continue;
    bool leave = fn == ExitSentinel;
    if (!leave) fn(&slot.job);
    // A stop that gave up waiting stores the sentinel over a running job; honour it when the job returns.
    leave |= slot.job.fn.exchange(nullptr, std::memory_order_acq_rel) == ExitSentinel;
    if (!leave) {
      done->Set();
      continue;
    }
    int running = kWorkerRunning;
    if (slot.exit_state.compare_exchange_strong(running, kWorkerExited, std::memory_order_acq_rel)) {
      done->Set();  // the stopper is still waiting and will join this thread
    } else {
      // The stopper gave up on this thread: its events and its share of the registry are ours to free.
      platform::EventClose(start);
      platform::EventClose(done);
      ReleaseRegistry(slot.owner);
    }
    return 0;
  }
}

}  // namespace

bool RegistryCreate() {
  if (g_registry) return true;
  auto* registry = new (std::nothrow) WorkerRegistry();
  auto* mutex = platform::MutexCreate();
  if (!registry || !mutex) {
    delete registry;
    platform::MutexClose(mutex);
    return false;
  }
  g_registry = registry;
  g_registry_mutex = mutex;
  return true;
}

void RegistryDestroy() {
  WorkerRegistry* const registry = g_registry;
  if (!registry) return;
  for (int i = 0; i < kMaxWorkers; ++i) WorkerStop(i);
  g_registry = nullptr;
  ReleaseRegistry(registry);
  platform::MutexClose(g_registry_mutex);
  g_registry_mutex = nullptr;
}

bool RegistryExists() { return g_registry != nullptr; }

int WorkerMaxCount() { return kMaxWorkers; }

bool WorkerEnsureThread(int index) {
  if (!IndexOk(index) || !g_registry) return false;
  platform::Lock lock(*g_registry_mutex);
  WorkerSlot& slot = g_registry->slots[index];
  if (!slot.thread) {
    slot.start = platform::EventCreate();
    slot.done = platform::EventCreate();
    slot.job.fn.store(nullptr, std::memory_order_relaxed);
    slot.owner = g_registry;
    slot.exit_state.store(kWorkerRunning, std::memory_order_relaxed);
    if (slot.start && slot.done)
      slot.thread = platform::ThreadCreate(WorkerThreadBody, &slot, 0, &slot.thread_id);
    if (slot.thread) {
      slot.done->Wait(kInfinite);
    } else {
      platform::EventClose(slot.start);
      platform::EventClose(slot.done);
      slot.start = slot.done = nullptr;
    }
  }
  return slot.thread != nullptr;
}

void WorkerWaitIdle(int index) {
  if (!IndexOk(index) || !g_registry) return;
  WorkerSlot& slot = g_registry->slots[index];
  // Timed waits: paths scanned from several host threads may wait on one slot, and one done signal
  // wakes only one of them; the others see the cleared job word at their next look.
  while (slot.job.fn.load(std::memory_order_acquire)) slot.done->Wait(kIdlePollMs);
}

bool WorkerSubmit(int index, const WorkerJob& job) {
  if (!IndexOk(index) || !g_registry) return false;
  WorkerSlot& slot = g_registry->slots[index];
  const WorkerJobFn fn = job.fn.load(std::memory_order_relaxed);
  if (!slot.thread || !fn) return false;
  // Claim the idle slot before writing its arguments: two submitters (job pools of paths scanned from
  // different host threads) must never both write one slot.
  WorkerJobFn idle = nullptr;
  if (!slot.job.fn.compare_exchange_strong(idle, ClaimedSentinel, std::memory_order_acq_rel)) return false;
  std::memcpy(slot.job.args, job.args, sizeof(job.args));
  slot.job.fn.store(fn, std::memory_order_release);
  slot.start->Set();
  return true;
}

bool WorkerStop(int index) {
  if (!IndexOk(index) || !g_registry) return false;
  platform::Lock lock(*g_registry_mutex);
  WorkerSlot& slot = g_registry->slots[index];
  if (!slot.thread) return false;
  if (platform::ThreadExitCode(slot.thread) == kStillActive) {
    if (slot.job.fn.load(std::memory_order_acquire)) slot.done->Wait(500);
    slot.job.fn.store(ExitSentinel, std::memory_order_release);
    slot.start->Set();
    if (slot.job.fn.load(std::memory_order_acquire) && platform::ThreadExitCode(slot.thread) == kStillActive) {
      slot.done->Wait(10);
      if (slot.job.fn.load(std::memory_order_acquire)) slot.done->Wait(400);
    }
  }
  // Still inside a job after every wait: hand the thread its slot's events and a reference to the
  // registry, unless it settles its exit first (then it is leaving and joining is quick).
  bool abandoned = false;
  if (slot.job.fn.load(std::memory_order_acquire) && platform::ThreadExitCode(slot.thread) == kStillActive) {
    g_registry->refs.fetch_add(1, std::memory_order_acq_rel);
    int running = kWorkerRunning;
    abandoned = slot.exit_state.compare_exchange_strong(running, kWorkerAbandoned, std::memory_order_acq_rel);
    if (!abandoned) g_registry->refs.fetch_sub(1, std::memory_order_acq_rel);
  }
  if (!abandoned) platform::ThreadJoin(slot.thread);
  platform::ThreadClose(slot.thread);
  slot.thread = nullptr;
  slot.thread_id = 0;
  if (!abandoned) {
    platform::EventClose(slot.start);
    platform::EventClose(slot.done);
  }
  slot.start = slot.done = nullptr;
  return abandoned;
}

}  // namespace vendrix::concurrency
