// What the kernel checks and benchmarks share: the instruction-set levels, a table as one level fills
// it, guarded memory, and the input patterns.
//
// The checks compare every entry of every kernel table, at every level the machine has, with the same
// entry at the reference level (no flags: the plain C++ kernels), byte for byte.
#pragma once

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <ostream>
#include <random>
#include <string>

#include "platform/cpu.h"

namespace vendrix::testing {

struct IsaLevel {
  const char* name;
  uint32_t flags;
};
inline void PrintTo(const IsaLevel& level, std::ostream* os) { *os << level.name; }
inline constexpr IsaLevel kIsaLevels[] = {{"sse2", platform::kCpuSse2},
                                          {"avx2", platform::kCpuSse2 | platform::kCpuAvx2}};

inline bool LevelAvailable(const IsaLevel& level) {
  platform::SetCpuFlagsMask(platform::kCpuAllFlags);
  return (platform::CpuFlags() & level.flags) == level.flags;
}

// A copy of a kernel table as the given flags fill it (0: the references).
template <class Table>
Table TableAt(uint32_t flags, const Table& (*get)()) {
  platform::SetCpuFlagsMask(flags);
  const Table table = get();
  platform::SetCpuFlagsMask(platform::kCpuAllFlags);
  return table;
}

// Memory followed by a PROT_NONE page. Place() puts a buffer near the end: an input flush against the
// page, so a read past it faults; an output with canary bytes on both sides, checked by Intact(), and
// the page after them.
class GuardedArena {
 public:
  explicit GuardedArena(size_t capacity) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    capacity_ = (capacity + kCanaryBytes * 2 + 128 + page - 1) / page * page;
    void* p = mmap(nullptr, capacity_ + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<uint8_t*>(p);
    if (base_) mprotect(base_ + capacity_, page, PROT_NONE);
  }
  ~GuardedArena() {
    if (base_) munmap(base_, capacity_ + static_cast<size_t>(sysconf(_SC_PAGESIZE)));
  }
  GuardedArena(const GuardedArena&) = delete;
  GuardedArena& operator=(const GuardedArena&) = delete;

  uint8_t* PlaceInput(size_t size) {
    Mark(base_ + capacity_ - size, size, 0);
    return data_;
  }
  // The output starts `misalign` (0..63) bytes past a 64-byte boundary.
  uint8_t* PlaceOutput(size_t size, size_t misalign) {
    const size_t tail = kCanaryBytes + (128 - (size + misalign + kCanaryBytes) % 64) % 64;
    Mark(base_ + capacity_ - tail - size, size, tail);
    return data_;
  }
  bool Intact() const {
    for (size_t i = 0; i < kCanaryBytes; ++i)
      if (data_[-1 - static_cast<ptrdiff_t>(i)] != kCanary) return false;
    for (size_t i = 0; i < tail_; ++i)
      if (data_[size_ + i] != kCanary) return false;
    return true;
  }

 private:
  static constexpr size_t kCanaryBytes = 32;
  static constexpr uint8_t kCanary = 0xA5;

  void Mark(uint8_t* data, size_t size, size_t tail) {
    data_ = data;
    size_ = size;
    tail_ = tail;
    std::memset(data_ - kCanaryBytes, kCanary, kCanaryBytes);
    std::memset(data_ + size_, kCanary, tail_);
  }

  uint8_t* base_ = nullptr;
  size_t capacity_ = 0;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t tail_ = 0;
};

// Input patterns: the extremes of the value range, alternating extremes, and noise. Values are
// elements of `element` bytes: 1 (bytes), 2 (u16) or 4 (f32, whose extreme is 1.0).
enum class Pattern { kZero, kMax, kAlternating, kNoise, kUnitFloats, kSpecialFloats };
inline constexpr Pattern kPatterns[] = {Pattern::kZero,  Pattern::kMax,        Pattern::kAlternating,
                                        Pattern::kNoise, Pattern::kUnitFloats, Pattern::kSpecialFloats};

inline void FillPattern(uint8_t* p, size_t bytes, Pattern pattern, int element, std::mt19937& rng) {
  const float one = 1.0f;
  const float specials[] = {0.0f, -0.0f, 1.0f, -1.0f, 0.5f, 1e-40f, 3e9f, -3e9f, __builtin_inff(), __builtin_nanf("")};
  for (size_t i = 0; i < bytes; i += static_cast<size_t>(element)) {
    const size_t n = std::min(bytes - i, static_cast<size_t>(element));
    const bool odd = (i / static_cast<size_t>(element)) % 2 != 0;
    float f = 0.0f;
    switch (pattern) {
      case Pattern::kZero:
        std::memset(p + i, 0, n);
        continue;
      case Pattern::kMax:
      case Pattern::kAlternating:
        if (pattern == Pattern::kAlternating && !odd) std::memset(p + i, 0, n);
        else if (element == 4) std::memcpy(p + i, &one, n);
        else std::memset(p + i, 0xFF, n);
        continue;
      case Pattern::kNoise:
        for (size_t k = 0; k < n; ++k) p[i + k] = static_cast<uint8_t>(rng());
        continue;
      case Pattern::kUnitFloats:
        f = static_cast<float>(rng() % 1501) / 1000.0f - 0.25f;
        break;
      case Pattern::kSpecialFloats:
        f = rng() % 2 ? specials[rng() % std::size(specials)] : static_cast<float>(rng() % 1000) / 999.0f;
        break;
    }
    std::memcpy(p + i, &f, n);
  }
}

inline std::string LevelName(const IsaLevel& level, const char* entry) { return std::string(level.name) + "_" + entry; }

}  // namespace vendrix::testing
