// Per-frame stages of path finishing: frame indices handed out by an atomic counter to the threads of
// a borrowed pool plus the calling thread.
#pragma once

#include <cstdint>

namespace vendrix::concurrency {

using FrameFn = void (*)(void* ctx, int32_t frame);

// Runs fn(ctx, i) for every i in [0, n). Below `min_frames` frames, or when the pool service reports
// fewer than 2 threads, everything runs on the calling thread. Otherwise a pool is borrowed and
// ThreadCount - 1 jobs plus the calling thread take frames from the counter; when no pool is free the
// stage is skipped and false is returned (the caller keeps its input).
bool ForEachFrame(int32_t n, int32_t min_frames, FrameFn fn, void* ctx);

// The same with a callable, for stages written as lambdas.
template <class F>
bool ForEachFrame(int32_t n, int32_t min_frames, F& f) {
  return ForEachFrame(
      n, min_frames, [](void* c, int32_t i) { (*static_cast<F*>(c))(i); }, &f);
}

}  // namespace vendrix::concurrency
