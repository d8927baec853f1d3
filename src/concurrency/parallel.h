// Convenience over the pool service for a fixed number of independent work items.
#pragma once

#include <cstdint>

namespace vendrix::concurrency {

using ParallelFn = void (*)(void* ctx, int32_t index);

// Runs fn(ctx, i) for every i in [0, count): items 1..count-1 on a borrowed pool, item 0 on the calling
// thread, then waits for all of them. When no pool is free, the service is single-threaded, or a job
// cannot be started, the remaining items run on the calling thread instead, so every item runs exactly
// once whatever happens. `count` above 33 is run in rounds.
void ParallelFor(int32_t count, ParallelFn fn, void* ctx);

}  // namespace vendrix::concurrency
