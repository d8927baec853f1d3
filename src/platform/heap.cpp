#include "platform/heap.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace vendrix::platform {
namespace {

// Each block carries its usable size in a 16-byte prefix, so that a reallocation knows how much of
// the new block is the grown part to zero, and the payload keeps malloc's 16-byte alignment.
struct alignas(16) BlockHeader {
  size_t size;
};
static_assert(sizeof(BlockHeader) == 16);

std::atomic<int64_t> g_live{0};
std::atomic<int64_t> g_fail_countdown{0};

bool InjectedFailure() {
  int64_t n = g_fail_countdown.load(std::memory_order_relaxed);
  while (n > 0) {
    if (g_fail_countdown.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return n == 1;
  }
  return false;
}

BlockHeader* HeaderOf(void* block) { return static_cast<BlockHeader*>(block) - 1; }

}  // namespace

void* MemAlloc(void* old, size_t size, uint32_t flags) {
  if (size > SIZE_MAX - sizeof(BlockHeader) || InjectedFailure()) return nullptr;
  const bool zero = (flags & kHeapZero) != 0;
  if (old) {
    BlockHeader* h = HeaderOf(old);
    const size_t old_size = h->size;
    auto* nh = static_cast<BlockHeader*>(std::realloc(h, sizeof(BlockHeader) + size));
    if (!nh) return nullptr;
    nh->size = size;
    if (zero && size > old_size) std::memset(reinterpret_cast<char*>(nh + 1) + old_size, 0, size - old_size);
    return nh + 1;
  }
  auto* h = static_cast<BlockHeader*>(zero ? std::calloc(1, sizeof(BlockHeader) + size)
                                           : std::malloc(sizeof(BlockHeader) + size));
  if (!h) return nullptr;
  h->size = size;
  g_live.fetch_add(1, std::memory_order_relaxed);
  return h + 1;
}

void HeapRelease(void* block) {
  if (!block) return;
  g_live.fetch_sub(1, std::memory_order_relaxed);
  std::free(HeaderOf(block));
}

int64_t HeapLiveBlocks() { return g_live.load(std::memory_order_relaxed); }

int64_t HeapFailAllocation(int64_t nth) { return g_fail_countdown.exchange(nth < 0 ? 0 : nth, std::memory_order_relaxed); }

}  // namespace vendrix::platform
