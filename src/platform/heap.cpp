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
std::atomic<uint32_t> g_fail_one_in{0};
std::atomic<uint64_t> g_fail_state{0};

// One step of splitmix64 over the shared state: every allocation draws its own number.
bool RandomFailure(uint32_t one_in) {
  constexpr uint64_t kGamma = 0x9E3779B97F4A7C15ull;
  uint64_t z = g_fail_state.fetch_add(kGamma, std::memory_order_relaxed) + kGamma;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return (z ^ (z >> 31)) % one_in == 0;
}

bool InjectedFailure() {
  if (const uint32_t one_in = g_fail_one_in.load(std::memory_order_relaxed); one_in && RandomFailure(one_in)) return true;
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

void HeapFailAtRandom(uint32_t one_in, uint64_t seed) {
  g_fail_state.store(seed, std::memory_order_relaxed);
  g_fail_one_in.store(one_in, std::memory_order_relaxed);
}

int64_t HeapFailAllocation(int64_t nth) { return g_fail_countdown.exchange(nth < 0 ? 0 : nth, std::memory_order_relaxed); }

}  // namespace vendrix::platform
