#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "platform/heap.h"

namespace vendrix::platform {

// Shared between the handle and the running thread; whichever lets go last frees it.
struct Thread {
  pthread_t handle{};
  ThreadProc proc = nullptr;
  void* arg = nullptr;
  std::atomic<uint32_t> exit_code{kStillActive};
  std::atomic<pid_t> tid{0};
  std::atomic<int32_t> priority{kPriorityNormal};
  std::atomic<int> refs{2};
  bool joined = false;
};

namespace {

// Below-normal maps onto a nice value two steps above the process's own; the thread then yields to the
// host's threads under load without being starved.
constexpr int kBelowNormalNiceStep = 2;

void ApplyPriority(pid_t tid, int32_t priority) {
  if (tid == 0) return;
  const int base = getpriority(PRIO_PROCESS, 0);
  const int nice = base + (priority < 0 ? kBelowNormalNiceStep : 0);
  setpriority(PRIO_PROCESS, static_cast<id_t>(tid), nice);  // best effort
}

void Unref(Thread* t) {
  if (t->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) HeapDelete(t);
}

void* Trampoline(void* p) {
  auto* t = static_cast<Thread*>(p);
  const auto tid = static_cast<pid_t>(syscall(SYS_gettid));
  t->tid.store(tid, std::memory_order_release);
  const int32_t prio = t->priority.load(std::memory_order_acquire);
  if (prio != kPriorityNormal) ApplyPriority(tid, prio);
  const uint32_t code = t->proc(t->arg);
  // A proc returning the "still active" value would look alive forever; report it as 0.
  t->exit_code.store(code == kStillActive ? 0 : code, std::memory_order_release);
  Unref(t);
  return nullptr;
}

}  // namespace

Thread* ThreadCreate(ThreadProc proc, void* arg, size_t stack_size, uint32_t* id) {
  if (!proc) return nullptr;
  Thread* t = HeapNew<Thread>();
  if (!t) return nullptr;
  t->proc = proc;
  t->arg = arg;
  pthread_attr_t attr;
  if (pthread_attr_init(&attr) != 0) {
    HeapDelete(t);
    return nullptr;
  }
  if (stack_size) pthread_attr_setstacksize(&attr, std::max<size_t>(stack_size, PTHREAD_STACK_MIN));
  const int rc = pthread_create(&t->handle, &attr, Trampoline, t);
  pthread_attr_destroy(&attr);
  if (rc != 0) {
    HeapDelete(t);
    return nullptr;
  }
  if (id) {
    // The kernel id is what debuggers and `top -H` show; wait for the thread to publish it.
    pid_t tid;
    while ((tid = t->tid.load(std::memory_order_acquire)) == 0) sched_yield();
    *id = static_cast<uint32_t>(tid);
  }
  return t;
}

uint32_t ThreadExitCode(const Thread* thread) {
  return thread ? thread->exit_code.load(std::memory_order_acquire) : 0;
}

void ThreadSetPriority(Thread* thread, int32_t priority) {
  if (!thread) return;
  thread->priority.store(priority, std::memory_order_release);
  if (thread->exit_code.load(std::memory_order_acquire) == kStillActive)
    ApplyPriority(thread->tid.load(std::memory_order_acquire), priority);
}

void ThreadJoin(Thread* thread) {
  if (!thread || thread->joined) return;
  pthread_join(thread->handle, nullptr);
  thread->joined = true;
}

void ThreadClose(Thread* thread) {
  if (!thread) return;
  if (!thread->joined) {
    if (thread->exit_code.load(std::memory_order_acquire) != kStillActive)
      pthread_join(thread->handle, nullptr);
    else
      pthread_detach(thread->handle);
  }
  Unref(thread);
}

}  // namespace vendrix::platform
