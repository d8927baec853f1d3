// What the kernel checks share besides the entries. A check runs every table entry that an
// instruction-set level replaces beside the same entry at the reference level (no flags: the plain C++
// kernels), on the same inputs, and compares what they write byte for byte. Inputs end at a PROT_NONE
// page, so reading past them faults; outputs sit between canary bytes, so writing beside them shows.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <random>

#include "kernels/kernel_entries.h"
#include "platform/cpu.h"

namespace vendrix::testing {

inline void PrintTo(const IsaLevel& level, std::ostream* os) { *os << level.name; }

// The reference table and the table of `level`; false when this machine lacks the level.
template <class Table>
bool TablesAt(const IsaLevel& level, const Table& (*get)(), Table* ref, Table* vec) {
  *ref = TableAt(0, get);
  *vec = TableAt(level.flags, get);
  return (platform::CpuFlags() & level.flags) == level.flags;
}

// Memory ending at a PROT_NONE page. Place() puts `size` bytes before `tail` canary bytes and the page
// (an input takes no tail), with canaries before them too.
class Guarded {
 public:
  explicit Guarded(size_t capacity) : bytes_((capacity + 256 + kPage - 1) / kPage * kPage) {
    void* p = mmap(nullptr, bytes_ + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    end_ = static_cast<uint8_t*>(p) + bytes_;
    mprotect(end_, kPage, PROT_NONE);
  }
  ~Guarded() { munmap(end_ - bytes_, bytes_ + kPage); }
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  uint8_t* Place(size_t size, size_t tail = 0) {
    data_ = end_ - tail - size;
    std::memset(data_ - kCanaries, kCanary, kCanaries);
    std::memset(data_ + size, kCanary, tail);
    return data_;
  }
  bool Intact(size_t size) const {
    return std::all_of(data_ - kCanaries, data_, [](uint8_t b) { return b == kCanary; }) &&
           std::all_of(data_ + size, end_, [](uint8_t b) { return b == kCanary; });
  }

 private:
  static constexpr size_t kCanaries = 32, kPage = 4096;
  static constexpr uint8_t kCanary = 0xA5;
  size_t bytes_;
  uint8_t* end_;
  uint8_t* data_ = nullptr;
};

// The two outputs of a check. Same() places both at one random alignment (a multiple of `granule`),
// fills them alike, has run(out, 0) write the reference's and run(out, 1) the level's, and compares.
class Outputs {
 public:
  explicit Outputs(size_t capacity) : want_(capacity), got_(capacity) {}
  template <class Run>
  ::testing::AssertionResult Same(size_t size, std::mt19937& rng, Run run, size_t granule = 1) {
    const size_t misalign = granule * (rng() % (16 / granule));
    const size_t tail = 32 + (128 - (size + misalign + 32) % 64) % 64;  // the output starts misalign past 64
    uint8_t* want = want_.Place(size, tail);
    uint8_t* got = got_.Place(size, tail);
    for (size_t i = 0; i < size; ++i) want[i] = got[i] = static_cast<uint8_t>(rng());
    run(want, 0);
    run(got, 1);
    if (!got_.Intact(size)) return ::testing::AssertionFailure() << "wrote outside its output";
    const size_t at = static_cast<size_t>(std::mismatch(want, want + size, got).first - want);
    if (at < size) return ::testing::AssertionFailure() << "byte " << at << " of " << size << " differs";
    return ::testing::AssertionSuccess();
  }

 private:
  Guarded want_, got_;
};

// Input patterns: zeros, the largest value of the element (bytes 255, u16 65535, f32 1.0), zeros and
// that value alternating, noise, floats around 0..1, and floats mixed with -0, NaN, infinities,
// denormals and values beyond 32 bits. Float patterns always fill 4-byte elements. Every f32 NaN is the
// processor's default NaN: C++ leaves open which operand's NaN an operation passes on, so NaNs with
// other payloads could differ between two correct kernels.
enum class Pattern { kZero, kMax, kAlternating, kNoise, kUnitFloats, kSpecialFloats };
inline constexpr Pattern kPatterns[] = {Pattern::kZero,  Pattern::kMax,        Pattern::kAlternating,
                                        Pattern::kNoise, Pattern::kUnitFloats, Pattern::kSpecialFloats};

inline void Fill(uint8_t* p, size_t bytes, Pattern pattern, int element, std::mt19937& rng) {
  static const float kSpecials[] = {-0.0f, -1.0f, 1e-40f, 3e9f, -3e9f, __builtin_inff(), -__builtin_nanf("")};
  const bool floats = pattern == Pattern::kUnitFloats || pattern == Pattern::kSpecialFloats;
  const size_t step = floats ? 4 : static_cast<size_t>(element);
  for (size_t i = 0, k = 0; i < bytes; i += step, ++k) {
    const bool extreme = pattern == Pattern::kMax || (pattern == Pattern::kAlternating && k % 2);
    float f = extreme ? 1.0f : static_cast<float>(rng() % 1501) / 1000.0f - 0.25f;
    if (pattern == Pattern::kSpecialFloats && rng() % 2) f = kSpecials[rng() % std::size(kSpecials)];
    uint32_t v = 0;
    if (floats || (extreme && element == 4)) std::memcpy(&v, &f, 4);
    else if (extreme) v = ~0u;
    else if (pattern == Pattern::kNoise) v = static_cast<uint32_t>(rng());
    std::memcpy(&f, &v, 4);
    if (element == 4 && f != f) std::memcpy(&v, &kSpecials[6], 4);
    std::memcpy(p + i, &v, std::min(step, bytes - i));
  }
}

}  // namespace vendrix::testing
