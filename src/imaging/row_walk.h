// Row walking shared by the conversion kernels: a per-unit operation applied across a row with the
// source resampled, and the same with a vector path over the leading units of equal-size rows.
#pragma once

#include <cstdint>

#include "imaging/pixel_formats.h"
#include "platform/cpu.h"

#if VENDRIX_X86_KERNELS
#include <immintrin.h>
#endif

namespace vendrix::imaging::convert {

// Applies Op::Apply(source unit, destination unit) across a row, resampling the source units: the plain
// reference of a conversion.
template <int kSrcBytes, int kDstBytes, class Op>
void PixelRow(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) {
  if (step == static_cast<uint32_t>(kFxOne)) {
    for (int32_t x = 0; x < count; ++x) Op::Apply(src + x * kSrcBytes, dst + x * kDstBytes);
    return;
  }
  uint32_t position = 0;
  for (int32_t x = 0; x < count; ++x, position += step)
    Op::Apply(src + FxInt(position) * kSrcBytes, dst + x * kDstBytes);
}

// As PixelRow, with a vector path for equal sizes: `kBlocks` converts the leading units it handles in
// blocks and returns their number; Op converts the rest of the row and every resampled row.
template <int kSrcBytes, int kDstBytes, class Op, int32_t (*kBlocks)(const uint8_t*, uint8_t*, int32_t)>
void PixelRowBlocks(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) {
  if (step == static_cast<uint32_t>(kFxOne)) {
    const int32_t done = kBlocks(src, dst, count);
    src += done * kSrcBytes;
    dst += done * kDstBytes;
    count -= done;
  }
  PixelRow<kSrcBytes, kDstBytes, Op>(src, dst, count, step);
}

#if VENDRIX_X86_KERNELS
// Unaligned vector access and channel extraction shared by the vector paths.
namespace wide {
inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
// Byte kByte of four 4-byte pixels, one per 32-bit lane.
template <int kByte>
inline __m128i Channel(__m128i px) {
  const __m128i shifted = kByte == 0 ? px : _mm_srli_epi32(px, 8 * kByte);
  return kByte == 3 ? shifted : _mm_and_si128(shifted, _mm_set1_epi32(0xFF));
}

}  // namespace wide
#endif

}  // namespace vendrix::imaging::convert
