// Threads of the platform layer: created with a stack size and a priority, with an exit-code query
// that reads kStillActive while the thread runs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vendrix::platform {

constexpr uint32_t kStillActive = 259;

enum ThreadPriority : int32_t {
  kPriorityNormal = 0,
  kPriorityBelowNormal = -1,
};

using ThreadProc = uint32_t (*)(void* arg);

struct Thread;

// Starts `proc(arg)` on a new thread with at least `stack_size` bytes of stack (0 = the system default).
// Stores the thread's id in *id when id is non-null. Returns null when the thread cannot be created.
Thread* ThreadCreate(ThreadProc proc, void* arg, size_t stack_size, uint32_t* id);

// The value `proc` returned, or kStillActive while it runs.
uint32_t ThreadExitCode(const Thread* thread);

// Sets the thread's scheduling priority (kPriorityNormal or kPriorityBelowNormal). Best effort: a
// host without the right to raise a thread's priority again keeps it lowered.
void ThreadSetPriority(Thread* thread, int32_t priority);

// Blocks until the thread has ended.
void ThreadJoin(Thread* thread);

// Releases the handle. A thread that still runs is detached and frees its own state when it ends.
void ThreadClose(Thread* thread);

}  // namespace vendrix::platform
