// The mixing row kernels: the plain references, their SSE2 and AVX2 versions, and the table.
//
// The integer blend needs the high 16 bits of a wa + b wb (wa + wb = 65535) for 16-bit a and b. The
// vector versions form it from 16-bit products without widening: the sum of the two products' high
// halves plus the carry out of their low halves, which is exactly the reference's 32-bit result >> 16.
// The float blend is a + (b - a) x factor in each lane, the reference's operations in its order.
#include "imaging/mix_rows.h"

#include <cstring>

#include "imaging/pixel_formats.h"
#include "platform/cpu.h"
#include "platform/kernel_table.h"

#if VENDRIX_X86_KERNELS
#include <immintrin.h>
#endif

namespace vendrix::imaging::mix {
namespace {

// Weighted sum of two values in 16.16: a (65535 - w) + b w, at most 65535 x 65535 = 4 294 836 225, so
// unsigned 32-bit arithmetic holds it; the result is its integer part.
inline uint32_t Blend(uint32_t a, uint32_t b, uint32_t weight_a, uint32_t weight_b) {
  return (a * weight_a + b * weight_b) >> kFxShift;
}

// weight / 65535 in single precision, the factor of the float blend.
inline float FloatFactor(uint32_t weight) { return static_cast<float>(weight) * 1.5259022e-5f; }

// Leading-block paths: convert the first values of a row in blocks and return how many they did.
using IntBlocks = int32_t (*)(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight);
using FloatBlocks = int32_t (*)(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, float factor);

// The row kernels: kBlocks... take the leading values in turn (widest first), the plain loop the rest.
// With no block paths they are the plain references.
template <IntBlocks... kBlocks>
void MixRowU8(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  int32_t i = 0;
  ((i += kBlocks(a + i, b + i, c + i, count - i, weight)), ...);
  const uint32_t weight_a = kWeightMax - weight;
  for (; i < count; ++i) c[i] = static_cast<uint8_t>(Blend(a[i], b[i], weight_a, weight));
}

template <IntBlocks... kBlocks>
void MixRowU16(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  int32_t i = 0;
  ((i += kBlocks(a + 2 * i, b + 2 * i, c + 2 * i, count - i, weight)), ...);
  const uint32_t weight_a = kWeightMax - weight;
  for (; i < count; ++i)
    Store16(c + 2 * i, static_cast<uint16_t>(Blend(Load16(a + 2 * i), Load16(b + 2 * i), weight_a, weight)));
}

template <FloatBlocks... kBlocks>
void MixRowF32(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  if (weight == static_cast<uint32_t>(kWeightMax)) {
    // The full weight gives B exactly; a + (b - a) x 1 can differ from b in the last bit.
    std::memmove(c, b, static_cast<size_t>(count) * 4);
    return;
  }
  const float factor = FloatFactor(weight);
  int32_t i = 0;
  ((i += kBlocks(a + 4 * i, b + 4 * i, c + 4 * i, count - i, factor)), ...);
  for (; i < count; ++i) {
    const float va = LoadF32(a + 4 * i);
    StoreF32(c + 4 * i, va + (LoadF32(b + 4 * i) - va) * factor);
  }
}

#if VENDRIX_X86_KERNELS
// ---- SSE2: 16 bytes per step. Each block is loaded whole before it is stored, so c may be a or b. ----

inline __m128i Load128(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store128(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// The high 16 bits of a wa + b wb for eight u16 lanes (a carry out of the low halves shows as a
// saturating add that differs from the wrapping one).
inline __m128i BlendHigh16(__m128i a, __m128i b, __m128i weight_a, __m128i weight_b) {
  const __m128i low_a = _mm_mullo_epi16(a, weight_a), low_b = _mm_mullo_epi16(b, weight_b);
  const __m128i high = _mm_add_epi16(_mm_mulhi_epu16(a, weight_a), _mm_mulhi_epu16(b, weight_b));
  const __m128i no_carry = _mm_cmpeq_epi16(_mm_adds_epu16(low_a, low_b), _mm_add_epi16(low_a, low_b));
  return _mm_add_epi16(_mm_add_epi16(high, _mm_set1_epi16(1)), no_carry);  // no_carry is -1 or 0
}
inline __m128i WeightLanes(uint32_t w) { return _mm_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(w))); }

int32_t MixU8Sse2(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  const __m128i wa = WeightLanes(kWeightMax - weight), wb = WeightLanes(weight), zero = _mm_setzero_si128();
  const int32_t blocks = count / 16;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i va = Load128(a + 16 * i), vb = Load128(b + 16 * i);
    const __m128i low = BlendHigh16(_mm_unpacklo_epi8(va, zero), _mm_unpacklo_epi8(vb, zero), wa, wb);
    const __m128i high = BlendHigh16(_mm_unpackhi_epi8(va, zero), _mm_unpackhi_epi8(vb, zero), wa, wb);
    Store128(c + 16 * i, _mm_packus_epi16(low, high));
  }
  return blocks * 16;
}
int32_t MixU16Sse2(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  const __m128i wa = WeightLanes(kWeightMax - weight), wb = WeightLanes(weight);
  const int32_t blocks = count / 8;
  for (int32_t i = 0; i < blocks; ++i)
    Store128(c + 16 * i, BlendHigh16(Load128(a + 16 * i), Load128(b + 16 * i), wa, wb));
  return blocks * 8;
}
int32_t MixF32Sse2(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, float factor) {
  const __m128 f = _mm_set1_ps(factor);
  const int32_t blocks = count / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128 va = _mm_loadu_ps(reinterpret_cast<const float*>(a + 16 * i));
    const __m128 vb = _mm_loadu_ps(reinterpret_cast<const float*>(b + 16 * i));
    _mm_storeu_ps(reinterpret_cast<float*>(c + 16 * i), _mm_add_ps(va, _mm_mul_ps(_mm_sub_ps(vb, va), f)));
  }
  return blocks * 4;
}

// ---- AVX2: the integer blends, the same per lane, 32 bytes per step. ----------------------------------

VENDRIX_TARGET_AVX2 inline __m256i Load256(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
VENDRIX_TARGET_AVX2 inline void Store256(uint8_t* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
VENDRIX_TARGET_AVX2 inline __m256i BlendHigh16(__m256i a, __m256i b, __m256i weight_a, __m256i weight_b) {
  const __m256i low_a = _mm256_mullo_epi16(a, weight_a), low_b = _mm256_mullo_epi16(b, weight_b);
  const __m256i high = _mm256_add_epi16(_mm256_mulhi_epu16(a, weight_a), _mm256_mulhi_epu16(b, weight_b));
  const __m256i no_carry = _mm256_cmpeq_epi16(_mm256_adds_epu16(low_a, low_b), _mm256_add_epi16(low_a, low_b));
  return _mm256_add_epi16(_mm256_add_epi16(high, _mm256_set1_epi16(1)), no_carry);
}
VENDRIX_TARGET_AVX2 inline __m256i WeightLanes256(uint32_t w) {
  return _mm256_set1_epi16(static_cast<int16_t>(static_cast<uint16_t>(w)));
}

// The byte unpacks and the pack work within each 128-bit half, so the pack puts every byte back in
// its place.
VENDRIX_TARGET_AVX2 int32_t MixU8Avx2(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight) {
  const __m256i wa = WeightLanes256(kWeightMax - weight), wb = WeightLanes256(weight), zero = _mm256_setzero_si256();
  const int32_t blocks = count / 32;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m256i va = Load256(a + 32 * i), vb = Load256(b + 32 * i);
    const __m256i low = BlendHigh16(_mm256_unpacklo_epi8(va, zero), _mm256_unpacklo_epi8(vb, zero), wa, wb);
    const __m256i high = BlendHigh16(_mm256_unpackhi_epi8(va, zero), _mm256_unpackhi_epi8(vb, zero), wa, wb);
    Store256(c + 32 * i, _mm256_packus_epi16(low, high));
  }
  return blocks * 32;
}
VENDRIX_TARGET_AVX2 int32_t MixU16Avx2(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count,
                                       uint32_t weight) {
  const __m256i wa = WeightLanes256(kWeightMax - weight), wb = WeightLanes256(weight);
  const int32_t blocks = count / 16;
  for (int32_t i = 0; i < blocks; ++i)
    Store256(c + 32 * i, BlendHigh16(Load256(a + 32 * i), Load256(b + 32 * i), wa, wb));
  return blocks * 16;
}
#endif

void FillTable(uint32_t flags, MixRowTable* table) {
  MixRow* rows = table->rows;
  rows[kMixU8] = MixRowU8<>;
  rows[kMixU16] = MixRowU16<>;
  rows[kMixF32] = MixRowF32<>;
#if VENDRIX_X86_KERNELS
  if (flags & platform::kCpuSse2) {
    rows[kMixU8] = MixRowU8<MixU8Sse2>;
    rows[kMixU16] = MixRowU16<MixU16Sse2>;
    rows[kMixF32] = MixRowF32<MixF32Sse2>;
  }
  // The SSE2 blocks take what is left of a row after the 32-byte blocks. Float rows keep the SSE2
  // version: they move four bytes per value and eight lanes measured no faster.
  if (flags & platform::kCpuAvx2) {
    rows[kMixU8] = MixRowU8<MixU8Avx2, MixU8Sse2>;
    rows[kMixU16] = MixRowU16<MixU16Avx2, MixU16Sse2>;
  }
#else
  (void)flags;
#endif
}

constinit platform::KernelTable<MixRowTable> g_table(FillTable);

}  // namespace

const MixRowTable& MixRowKernels() { return g_table.Get(); }

}  // namespace vendrix::imaging::mix
