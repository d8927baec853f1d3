// What the kernel checks share. Each check runs every entry of a kernel table that an instruction-set
// level replaces beside the same entry at the reference level (no flags: the plain C++ kernels), on the
// same inputs, and compares what they write byte for byte. Inputs end at a PROT_NONE page, so reading
// past them faults; outputs sit between canary bytes, so writing beside them shows.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
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

// A copy of a kernel table as `flags` fill it.
template <class Table>
Table TableAt(uint32_t flags, const Table& (*get)()) {
  platform::SetCpuFlagsMask(flags);
  const Table table = get();
  platform::SetCpuFlagsMask(platform::kCpuAllFlags);
  return table;
}

// The reference table and the table of `level`; false when this machine lacks the level.
template <class Table>
bool TablesAt(const IsaLevel& level, const Table& (*get)(), Table* ref, Table* vec) {
  platform::SetCpuFlagsMask(platform::kCpuAllFlags);
  if ((platform::CpuFlags() & level.flags) != level.flags) return false;
  *ref = TableAt(0, get);
  *vec = TableAt(level.flags, get);
  return true;
}

// Check parameters: a level and an entry index, named "avx2_Entry".
using LevelAndEntry = std::tuple<IsaLevel, int>;
inline auto EveryLevel(int entries) {
  return ::testing::Combine(::testing::ValuesIn(kIsaLevels), ::testing::Range(0, entries));
}
inline std::string CheckName(const ::testing::TestParamInfo<LevelAndEntry>& test, const char* entry) {
  return std::string(std::get<0>(test.param).name) + "_" + entry;
}

// Memory ending at a PROT_NONE page.
class Guarded {
 public:
  explicit Guarded(size_t capacity) {
    capacity_ = (capacity + 256 + kPage - 1) / kPage * kPage;
    void* p = mmap(nullptr, capacity_ + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    end_ = static_cast<uint8_t*>(p) + capacity_;
    mprotect(end_, kPage, PROT_NONE);
  }
  ~Guarded() { munmap(end_ - capacity_, capacity_ + kPage); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  uint8_t* Input(size_t size) { return Place(size, 0); }
  // An output `misalign` bytes past a 64-byte boundary, with canaries on both sides.
  uint8_t* Output(size_t size, size_t misalign) {
    return Place(size, kCanaries + (128 - (size + misalign + kCanaries) % 64) % 64);
  }
  bool Intact() const {
    const auto canary = [](uint8_t b) { return b == kCanary; };
    return std::all_of(data_ - kCanaries, data_, canary) && std::all_of(data_ + size_, end_, canary);
  }

 private:
  static constexpr size_t kCanaries = 32, kPage = 4096;
  static constexpr uint8_t kCanary = 0xA5;
  uint8_t* Place(size_t size, size_t tail) {
    data_ = end_ - tail - size;
    size_ = size;
    std::memset(data_ - kCanaries, kCanary, kCanaries);
    std::memset(data_ + size, kCanary, tail);
    return data_;
  }
  size_t capacity_;
  uint8_t* end_;
  uint8_t* data_ = nullptr;
  size_t size_ = 0;
};

// The two outputs of a check. Same() places both at one random alignment (a multiple of `granule`),
// fills them alike, has run(out, 0) write the reference's and run(out, 1) the level's, and compares.
class Outputs {
 public:
  explicit Outputs(size_t capacity) : want_(capacity), got_(capacity) {}
  template <class Run>
  ::testing::AssertionResult Same(size_t size, std::mt19937& rng, Run run, size_t granule = 1) {
    const size_t misalign = granule * (rng() % (16 / granule));
    uint8_t* want = want_.Output(size, misalign);
    uint8_t* got = got_.Output(size, misalign);
    for (size_t i = 0; i < size; ++i) want[i] = got[i] = static_cast<uint8_t>(rng());
    run(want, 0);
    run(got, 1);
    if (!got_.Intact()) return ::testing::AssertionFailure() << "wrote outside its output";
    const size_t at = static_cast<size_t>(std::mismatch(want, want + size, got).first - want);
    if (at < size) return ::testing::AssertionFailure() << "byte " << at << " of " << size << " differs";
    return ::testing::AssertionSuccess();
  }

 private:
  Guarded want_, got_;
};

// Input patterns: zeros, the largest value of the element (bytes 255, u16 65535, f32 1.0), zeros and
// that value alternating, noise, floats around 0..1, and floats mixed with -0, NaN, infinities,
// denormals and values beyond 32 bits. Float patterns always fill 4-byte elements.
enum class Pattern { kZero, kMax, kAlternating, kNoise, kUnitFloats, kSpecialFloats };
inline constexpr Pattern kPatterns[] = {Pattern::kZero,  Pattern::kMax,        Pattern::kAlternating,
                                        Pattern::kNoise, Pattern::kUnitFloats, Pattern::kSpecialFloats};

inline void Fill(uint8_t* p, size_t bytes, Pattern pattern, int element, std::mt19937& rng) {
  static const float kSpecials[] = {0.0f, -0.0f, 1.0f, -1.0f, 1e-40f, 3e9f, -3e9f, __builtin_inff(), __builtin_nanf("")};
  const bool floats = pattern == Pattern::kUnitFloats || pattern == Pattern::kSpecialFloats;
  const size_t step = floats ? 4 : static_cast<size_t>(element);
  for (size_t i = 0, k = 0; i < bytes; i += step, ++k) {
    uint8_t v[4] = {};
    const bool extreme = pattern == Pattern::kMax || (pattern == Pattern::kAlternating && k % 2);
    float f = static_cast<float>(rng() % 1501) / 1000.0f - 0.25f;
    if (pattern == Pattern::kSpecialFloats && rng() % 2) f = kSpecials[rng() % std::size(kSpecials)];
    if (extreme) f = 1.0f;
    if (floats || (extreme && element == 4)) std::memcpy(v, &f, 4);
    else if (extreme) std::memset(v, 0xFF, 4);
    else if (pattern == Pattern::kNoise) for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
    std::memcpy(p + i, v, std::min(step, bytes - i));
  }
}

}  // namespace vendrix::testing
