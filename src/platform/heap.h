// Process heap of the library: every block the library's own objects, tables and images use.
//
// Blocks are zero-filled on request (almost every caller asks, and relies on fresh blocks being zero),
// freeing null is a no-op, and a live-block counter lets tests prove that an object released everything
// it allocated. A failure can be injected into the N-th allocation so tests can walk every failure path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace vendrix::platform {

enum HeapFlags : uint32_t {
  kHeapZero = 1u,  // zero the new block, or the grown tail of a reallocated one
};

// General allocation wrapper: reallocates `old` when it is non-null, otherwise allocates.
// Returns null on failure; a failed reallocation leaves `old` valid and unchanged.
void* MemAlloc(void* old, size_t size, uint32_t flags);

inline void* HeapAllocate(size_t size, uint32_t flags = kHeapZero) { return MemAlloc(nullptr, size, flags); }

// Releases a block from MemAlloc / HeapAllocate. Null is a no-op.
void HeapRelease(void* block);

// Number of blocks currently allocated through this layer (all threads).
int64_t HeapLiveBlocks();

// Test hook: the `nth` allocation from now (1 = the next one) fails; 0 disarms. Returns how many
// allocations the previous arming was still waiting for (0 once its failure happened), so a walk over
// every allocation of a piece of work knows when it has passed the last one.
int64_t HeapFailAllocation(int64_t nth);

// Test hook: from now on each allocation fails with probability 1 / one_in (0 disarms), drawn from a
// generator seeded with `seed`, so that the same sequence of allocations fails at the same places.
void HeapFailAtRandom(uint32_t one_in, uint64_t seed);

// Constructs a T in a zero-filled heap block; null when the allocation fails or the constructor throws.
template <class T, class... Args>
T* HeapNew(Args&&... args) noexcept {
  void* p = HeapAllocate(sizeof(T), kHeapZero);
  if (!p) return nullptr;
  try {
    return new (p) T(std::forward<Args>(args)...);
  } catch (...) {
    HeapRelease(p);
    return nullptr;
  }
}

template <class T>
void HeapDelete(T* obj) noexcept {
  if (!obj) return;
  obj->~T();
  HeapRelease(obj);
}

}  // namespace vendrix::platform
