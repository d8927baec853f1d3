// Pieces shared by the rasteriser's span kernels: the plain 8-bit bilinear blend, and the AVX2
// building blocks of the wide kernels.
//
// The wide kernels process eight output pixels at a time: sample positions are clamped and located
// in vector lanes exactly as LocateSample does, the 2 x 2 neighbourhoods are fetched with gathers,
// and the blend runs on 16-bit lanes with the products split into high and low halves so that the
// result equals the plain formula bit for bit. They are compiled for AVX2 only inside functions marked
// VENDRIX_TARGET_AVX2, which the span table chooses only when the processor has it.
#pragma once

#include <cstdint>

#include "platform/cpu.h"
#include "texmap/quad_raster.h"

#if VENDRIX_X86_KERNELS
#include <immintrin.h>
#endif

namespace vendrix::texmap {

// The span that remains after the first `done` pixels of `s`.
inline QuadSpan SpanTail(const QuadSpan& s, int32_t done) {
  QuadSpan t = s;
  t.column += done;
  t.count -= done;
  t.u = AddWrap(s.u, MulWrap(done, s.du));
  t.v = AddWrap(s.v, MulWrap(done, s.dv));
  return t;
}

// 8-bit weight of a 16.16 weight of 0..65536: 0..256.
constexpr int32_t Weight8(int32_t w16) { return w16 >> 8; }

// Bilinear blend of one 8-bit channel with 8-bit weights (S = 256), no rounding term:
// top = a*S + (b-a)*fx, bottom = c*S + (d-c)*fx, result = (top*S + (bottom-top)*fy) / S^2.
inline uint32_t Bilinear8(int32_t a, int32_t b, int32_t c, int32_t d, int32_t fx, int32_t fy) {
  const int32_t top = a * 256 + (b - a) * fx;
  const int32_t bottom = c * 256 + (d - c) * fx;
  return static_cast<uint32_t>((top * 256 + (bottom - top) * fy) >> 16);
}

#if VENDRIX_X86_KERNELS

// The grid's clamp limits and row pitch (in storage units) as vectors.
struct WideGrid {
  __m256i u_max, v_max, x_max, y_max, pitch_units;
};

VENDRIX_TARGET_AVX2 inline WideGrid MakeWideGrid(const SampleGrid& g) {
  WideGrid w;
  w.u_max = _mm256_set1_epi32(g.u_max);
  w.v_max = _mm256_set1_epi32(g.v_max);
  w.x_max = _mm256_set1_epi32(g.x_max);
  w.y_max = _mm256_set1_epi32(g.y_max);
  w.pitch_units = _mm256_set1_epi32(static_cast<int32_t>(g.pitch / g.unit));
  return w;
}

// Sample coordinates of eight consecutive pixels of a span: lanes u + j*du, v + j*dv (wrapping).
struct WideWalk {
  __m256i u, v, u_step, v_step;
};

VENDRIX_TARGET_AVX2 inline WideWalk StartWideWalk(const QuadSpan& s) {
  const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
  WideWalk w;
  w.u = _mm256_add_epi32(_mm256_set1_epi32(s.u), _mm256_mullo_epi32(lane, _mm256_set1_epi32(s.du)));
  w.v = _mm256_add_epi32(_mm256_set1_epi32(s.v), _mm256_mullo_epi32(lane, _mm256_set1_epi32(s.dv)));
  w.u_step = _mm256_set1_epi32(MulWrap(s.du, 8));
  w.v_step = _mm256_set1_epi32(MulWrap(s.dv, 8));
  return w;
}

VENDRIX_TARGET_AVX2 inline void StepWideWalk(WideWalk* w) {
  w->u = _mm256_add_epi32(w->u, w->u_step);
  w->v = _mm256_add_epi32(w->v, w->v_step);
}

// LocateSample in eight lanes: the neighbourhood's unit index from row 0 and the 8-bit weights
// (0..256) of its right column and lower row.
struct WideSample {
  __m256i x, y, index, fx, fy;
};

VENDRIX_TARGET_AVX2 inline WideSample LocateWide(const WideGrid& g, const WideWalk& w) {
  const __m256i zero = _mm256_setzero_si256();
  const __m256i uc = _mm256_min_epi32(_mm256_max_epi32(w.u, zero), g.u_max);
  const __m256i vc = _mm256_min_epi32(_mm256_max_epi32(w.v, zero), g.v_max);
  const __m256i x = _mm256_min_epi32(_mm256_srai_epi32(uc, kFxShift), g.x_max);
  const __m256i y = _mm256_min_epi32(_mm256_srai_epi32(vc, kFxShift), g.y_max);
  WideSample s;
  s.x = x;
  s.y = y;
  s.fx = _mm256_srli_epi32(_mm256_sub_epi32(uc, _mm256_slli_epi32(x, kFxShift)), 8);
  s.fy = _mm256_srli_epi32(_mm256_sub_epi32(vc, _mm256_slli_epi32(y, kFxShift)), 8);
  s.index = _mm256_add_epi32(_mm256_mullo_epi32(y, g.pitch_units), x);
  return s;
}

// Fetches the 4-byte units at `index` and at `index` + 1 (its right neighbour) for eight lanes with two
// 64-bit gathers, each element a unit with its right neighbour, then splits them into the left units
// and the right units. The lanes come out in the order 0 1 4 5 2 3 6 7 (see PairLaneOrder).
VENDRIX_TARGET_AVX2 inline void GatherUnitPairs(const uint8_t* row, __m256i index, __m256i* left, __m256i* right) {
  const auto* base = reinterpret_cast<const long long*>(row);
  const __m256i lo = _mm256_i32gather_epi64(base, _mm256_castsi256_si128(index), 4);
  const __m256i hi = _mm256_i32gather_epi64(base, _mm256_extracti128_si256(index, 1), 4);
  const __m256 lo_f = _mm256_castsi256_ps(lo), hi_f = _mm256_castsi256_ps(hi);
  *left = _mm256_castps_si256(_mm256_shuffle_ps(lo_f, hi_f, _MM_SHUFFLE(2, 0, 2, 0)));
  *right = _mm256_castps_si256(_mm256_shuffle_ps(lo_f, hi_f, _MM_SHUFFLE(3, 1, 3, 1)));
}

// Unit `at` (0..15) of the 16 units held in lo (0..7) and hi (8..15); `high` marks at > 7.
VENDRIX_TARGET_AVX2 inline __m256i PickUnits(__m256i lo, __m256i hi, __m256i at, __m256i high) {
  return _mm256_blendv_epi8(_mm256_permutevar8x32_epi32(lo, at), _mm256_permutevar8x32_epi32(hi, at), high);
}

// The common case of a gentle warp: all eight neighbourhoods start on one source row, within 15
// units of each other. Then a and b (that row) and c and d (the row below) come from 16-unit loads
// per row and lane permutes instead of gathers: within 7 units (every block of a frame drawn at its
// size or zoomed in), one 8-unit load for the left units and one a unit further on for the right
// units; otherwise two 16-unit loads per row, each lane picking from either half. False, with nothing
// read, when the block does not qualify (or the loads would pass the end of the row). Lanes in natural
// order.
VENDRIX_TARGET_AVX2 inline bool FetchRowBlock4(const SampleGrid& g, const WideSample& s, __m256i* a, __m256i* b,
                                               __m256i* c, __m256i* d) {
  constexpr int32_t kSpan = 15;   // units from the leftmost neighbourhood to the last right neighbour
  constexpr int32_t kNarrow = 8;  // the same with one 8-unit load per side
  const int32_t first = _mm256_cvtsi256_si32(s.x);
  const int32_t last = _mm256_extract_epi32(s.x, 7);
  const int32_t x0 = first < last ? first : last;
  if (x0 > g.last_x - kNarrow) return false;
  const int32_t y0 = _mm256_cvtsi256_si32(s.y);
  const __m256i rel = _mm256_sub_epi32(s.x, _mm256_set1_epi32(x0));
  const __m256i limit = _mm256_set1_epi32(kSpan - 1);
  // Every lane on row y0 and 0 <= rel <= 14 (unsigned compare also rejects negative offsets).
  const __m256i same_row = _mm256_cmpeq_epi32(s.y, _mm256_set1_epi32(y0));
  const __m256i in_reach = _mm256_cmpeq_epi32(_mm256_max_epu32(rel, limit), limit);
  if (_mm256_movemask_epi8(_mm256_and_si256(same_row, in_reach)) != -1) return false;
  const uint8_t* p = g.row0 + int64_t{y0} * g.pitch + int64_t{x0} * 4;
  const auto* top = reinterpret_cast<const __m256i*>(p);
  const auto* bottom = reinterpret_cast<const __m256i*>(p + g.down);
  const __m256i seven = _mm256_set1_epi32(7);
  if (_mm256_movemask_epi8(_mm256_cmpgt_epi32(rel, seven)) == 0) {
    const auto* top_right = reinterpret_cast<const __m256i*>(p + 4);
    const auto* bottom_right = reinterpret_cast<const __m256i*>(p + g.down + 4);
    *a = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(top), rel);
    *b = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(top_right), rel);
    *c = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(bottom), rel);
    *d = _mm256_permutevar8x32_epi32(_mm256_loadu_si256(bottom_right), rel);
    return true;
  }
  if (x0 > g.last_x - kSpan) return false;
  const __m256i top_lo = _mm256_loadu_si256(top);
  const __m256i top_hi = _mm256_loadu_si256(top + 1);
  const __m256i bottom_lo = _mm256_loadu_si256(bottom);
  const __m256i bottom_hi = _mm256_loadu_si256(bottom + 1);
  const __m256i next = _mm256_add_epi32(rel, _mm256_set1_epi32(1));
  const __m256i rel_high = _mm256_cmpgt_epi32(rel, seven);
  const __m256i next_high = _mm256_cmpgt_epi32(next, seven);
  *a = PickUnits(top_lo, top_hi, rel, rel_high);
  *b = PickUnits(top_lo, top_hi, next, next_high);
  *c = PickUnits(bottom_lo, bottom_hi, rel, rel_high);
  *d = PickUnits(bottom_lo, bottom_hi, next, next_high);
  return true;
}

// FetchRowBlock4 for 2-byte units: lanes hold unit x in bits 0..15 and unit x + 1 in bits 16..31,
// for the neighbourhood's row (top) and the row below (bottom), when every lane is on one row within
// 13 units of the leftmost. One 16-unit load per row; each lane picks the two dwords around its unit
// and shifts the pair into place.
VENDRIX_TARGET_AVX2 inline bool FetchRowBlock2(const SampleGrid& g, const WideSample& s, __m256i* top,
                                               __m256i* bottom) {
  constexpr int32_t kSpan = 15;  // the load covers units x0 .. x0 + 15
  const int32_t first = _mm256_cvtsi256_si32(s.x);
  const int32_t last = _mm256_extract_epi32(s.x, 7);
  const int32_t x0 = first < last ? first : last;
  if (x0 > g.last_x - kSpan) return false;
  const int32_t y0 = _mm256_cvtsi256_si32(s.y);
  const __m256i rel = _mm256_sub_epi32(s.x, _mm256_set1_epi32(x0));
  const __m256i limit = _mm256_set1_epi32(kSpan - 2);  // the pair (rel, rel + 1) must stay in dwords 0..7
  const __m256i same_row = _mm256_cmpeq_epi32(s.y, _mm256_set1_epi32(y0));
  const __m256i in_reach = _mm256_cmpeq_epi32(_mm256_max_epu32(rel, limit), limit);
  if (_mm256_movemask_epi8(_mm256_and_si256(same_row, in_reach)) != -1) return false;
  const uint8_t* p = g.row0 + int64_t{y0} * g.pitch + int64_t{x0} * 2;
  const __m256i dword = _mm256_srli_epi32(rel, 1);
  const __m256i next_dword = _mm256_add_epi32(dword, _mm256_set1_epi32(1));
  const __m256i shift = _mm256_slli_epi32(_mm256_and_si256(rel, _mm256_set1_epi32(1)), 4);  // 0 or 16 bits
  const __m256i back = _mm256_sub_epi32(_mm256_set1_epi32(32), shift);                         // 32 gives 0
  const __m256i rows[2] = {_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)),
                           _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + g.down))};
  __m256i* outs[2] = {top, bottom};
  for (int r = 0; r < 2; ++r) {
    const __m256i lo = _mm256_permutevar8x32_epi32(rows[r], dword);
    const __m256i hi = _mm256_permutevar8x32_epi32(rows[r], next_dword);
    *outs[r] = _mm256_or_si256(_mm256_srlv_epi32(lo, shift), _mm256_sllv_epi32(hi, back));
  }
  return true;
}

// Reorders lanes 0..7 as 0 1 4 5 2 3 6 7, the order of GatherUnitPairs; applied twice it restores the
// natural order.
VENDRIX_TARGET_AVX2 inline __m256i PairLaneOrder(__m256i v) { return _mm256_permute4x64_epi64(v, 0xD8); }

// An 8-bit weight w (0..256 per 32-bit lane) as the 16-bit lane pairs (256 - w, 256 - w) and (w, w).
VENDRIX_TARGET_AVX2 inline void PairWeights(__m256i w, __m256i* w0, __m256i* w1) {
  *w1 = _mm256_or_si256(w, _mm256_slli_epi32(w, 16));
  *w0 = _mm256_sub_epi16(_mm256_set1_epi16(256), *w1);
}

// a*w0 + b*w1 per 16-bit lane for 8-bit a, b and w0 + w1 = 256: at most 65280, so exact in 16 bits.
VENDRIX_TARGET_AVX2 inline __m256i BlendColumns16(__m256i a, __m256i b, __m256i w0, __m256i w1) {
  return _mm256_add_epi16(_mm256_mullo_epi16(a, w0), _mm256_mullo_epi16(b, w1));
}

// (top*w0 + bottom*w1) >> 16 per 16-bit lane, exactly: each 32-bit product is split into its high
// half (mulhi) and low half (mullo); the carry out of the low halves' sum is added to the high sum.
VENDRIX_TARGET_AVX2 inline __m256i BlendRows16(__m256i top, __m256i bottom, __m256i w0, __m256i w1) {
  const __m256i lo1 = _mm256_mullo_epi16(top, w0);
  const __m256i hi1 = _mm256_mulhi_epu16(top, w0);
  const __m256i lo2 = _mm256_mullo_epi16(bottom, w1);
  const __m256i hi2 = _mm256_mulhi_epu16(bottom, w1);
  const __m256i lo = _mm256_add_epi16(lo1, lo2);
  // lo >= lo1 (unsigned) exactly when the low halves did not carry; the mask is -1 then, 0 on carry.
  const __m256i no_carry = _mm256_cmpeq_epi16(_mm256_max_epu16(lo1, lo), lo);
  return _mm256_add_epi16(_mm256_add_epi16(hi1, hi2), _mm256_add_epi16(no_carry, _mm256_set1_epi16(1)));
}

// Bilinear blend of the two 8-bit channels held in bits 0..7 and 16..23 of every lane of a, b, c, d
// (top-left, top-right, bottom-left, bottom-right); results in the same bit positions.
VENDRIX_TARGET_AVX2 inline __m256i BlendPairs8(__m256i a, __m256i b, __m256i c, __m256i d, __m256i wx0, __m256i wx1,
                                        __m256i wy0, __m256i wy1) {
  const __m256i top = BlendColumns16(a, b, wx0, wx1);
  const __m256i bottom = BlendColumns16(c, d, wx0, wx1);
  return BlendRows16(top, bottom, wy0, wy1);
}

#endif  // VENDRIX_X86_KERNELS

}  // namespace vendrix::texmap
