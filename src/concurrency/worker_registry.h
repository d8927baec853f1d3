// The registry of eight dedicated worker threads, each running one job at a time that its owner
// hands over through the slot's start/done event pair. The block-matching analyser runs its jobs here.
//
// Hand-off contract: only the owner of a slot submits to it. The job's function word is the busy flag:
// the worker clears it before it signals done, so a waiter that sees done and a null job knows the
// slot is free again.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "platform/sync.h"
#include "platform/thread.h"

namespace vendrix::concurrency {

struct WorkerJob;
using WorkerJobFn = void (*)(WorkerJob* job);

// 80 bytes: the function (null = idle) and 72 bytes of arguments laid out by the submitter.
struct WorkerJob {
  std::atomic<WorkerJobFn> fn{nullptr};
  alignas(8) unsigned char args[72];

  WorkerJob() = default;
  // Submitters build jobs by value; copying takes the arguments, then the function word.
  WorkerJob(const WorkerJob& other) noexcept {
    std::memcpy(args, other.args, sizeof(args));
    fn.store(other.fn.load(std::memory_order_relaxed), std::memory_order_relaxed);
  }
  WorkerJob& operator=(const WorkerJob&) = delete;
};
static_assert(sizeof(WorkerJob) == 80);

// Typed view of a job's argument bytes.
template <class T>
T* WorkerJobArgs(WorkerJob* job) {
  static_assert(sizeof(T) <= sizeof(job->args) && std::is_trivially_copyable_v<T>);
  return reinterpret_cast<T*>(job->args);
}

struct WorkerRegistry;

// How a slot's thread ended, settled once by whichever of the thread and its stopper gets there first.
enum WorkerExit : int { kWorkerRunning = 0, kWorkerExited = 1, kWorkerAbandoned = 2 };

struct WorkerSlot {
  uint32_t thread_id = 0;
  platform::Thread* thread = nullptr;
  platform::Event* start = nullptr;  // set to hand the thread a job
  platform::Event* done = nullptr;   // set by the thread when ready and after each job
  WorkerJob job;
  WorkerRegistry* owner = nullptr;
  std::atomic<int> exit_state{kWorkerRunning};
};

constexpr int kMaxWorkers = 8;

struct WorkerRegistry {
  WorkerSlot slots[kMaxWorkers];
  // One reference for the library, one for each thread abandoned inside a job that did not end in
  // time: such a thread still uses its slot, and the last of them frees the block.
  std::atomic<int> refs{1};
};

// Creates the registry and its mutex; false (and nothing left allocated) when either fails.
bool RegistryCreate();
// Stops slots 0..7 in order, frees the registry and closes its mutex. No-op without a registry.
void RegistryDestroy();
bool RegistryExists();

int WorkerMaxCount();

// Starts the slot's thread if it has none and waits until it is ready. False for an index outside
// 0..7, without a registry, or when the thread cannot be created.
bool WorkerEnsureThread(int index);
// Waits until the slot's job is done.
void WorkerWaitIdle(int index);
// Hands `job` to the slot and wakes its thread; a busy slot is left alone and false returned.
bool WorkerSubmit(int index, const WorkerJob& job);
// Stops the slot's thread: a job still running gets 500 ms, then the exit request 10 + 400 ms more.
// Returns true when the thread had to be abandoned inside a job that did not end in time.
bool WorkerStop(int index);

}  // namespace vendrix::concurrency
