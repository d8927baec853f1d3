// The rasterisers of packed 4:2:2 images: luma at full horizontal resolution (2-byte units, the chroma
// byte of every written unit set to 128) and chroma on pixel pairs (4-byte units, the two luma bytes
// of every written pair kept).
#include <cstring>

#include "texmap/quad_raster.h"
#include "texmap/quad_spans.h"
#include "texmap/quad_wide.h"

namespace vendrix::texmap {
namespace {

constexpr uint32_t kNeutralChroma = 128;

// kLumaByte: 0 for luma in the even bytes (YUYV8), 1 for the odd bytes (UYVY8).
template <int kLumaByte>
struct KernelLuma {
  static constexpr int32_t kSrcUnit = 2;
  static constexpr int32_t kDstUnit = 2;
  static constexpr int kChromaByte = 1 - kLumaByte;

  static void Plain(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    int32_t u = s.u, v = s.v;
    for (int32_t j = 0; j < s.count; ++j, u = AddWrap(u, s.du), v = AddWrap(v, s.dv)) {
      const SamplePos p = LocateSample(g, u, v);
      const uint8_t* pa = g.row0 + int64_t{p.y} * g.pitch + int64_t{p.x} * kSrcUnit + kLumaByte;
      const uint32_t y = Bilinear8(pa[0], pa[g.right], pa[g.down], pa[g.down + g.right], Weight8(p.fx), Weight8(p.fy));
      uint8_t* o = out + int64_t{j} * kDstUnit;
      o[kLumaByte] = static_cast<uint8_t>(y);
      o[kChromaByte] = static_cast<uint8_t>(kNeutralChroma);
    }
  }

#if VENDRIX_X86_KERNELS
  // 16 bytes at `lo` in the low half, 16 at `hi` in the high half.
  VENDRIX_TARGET_AVX2 static __m256i LoadHalves(const uint8_t* lo, const uint8_t* hi) {
    return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lo))),
                                   _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi)), 1);
  }

  // The luma of unit x and unit x + 1 of every lane's neighbourhood row (top) and the row below
  // (bottom), in bits 0..7 and 16..23, when the four lanes of each 128-bit half start on one row within
  // 6 units of the half's first lane (a gentle warp, the common case): one 16-byte load per row and
  // half, and a byte shuffle. False, with nothing read, otherwise.
  VENDRIX_TARGET_AVX2 static bool FetchHalves(const SampleGrid& g, const WideSample& s, __m256i* top, __m256i* bottom) {
    constexpr int32_t kReach = 6;  // the pair (rel, rel + 1) stays in the half's 8 loaded units
    const __m256i base = _mm256_permutevar8x32_epi32(s.x, _mm256_setr_epi32(0, 0, 0, 0, 4, 4, 4, 4));
    const __m256i rel = _mm256_sub_epi32(s.x, base);
    const __m256i limit = _mm256_set1_epi32(kReach);
    const int32_t y0 = _mm256_cvtsi256_si32(s.y);
    const __m256i same_row = _mm256_cmpeq_epi32(s.y, _mm256_set1_epi32(y0));
    const __m256i in_reach = _mm256_cmpeq_epi32(_mm256_max_epu32(rel, limit), limit);  // also rejects rel < 0
    if (_mm256_movemask_epi8(_mm256_and_si256(same_row, in_reach)) != -1) return false;
    const int32_t x0 = _mm256_cvtsi256_si32(s.x), x4 = _mm256_extract_epi32(s.x, 4);
    if (x0 > g.last_x - 7 || x4 > g.last_x - 7) return false;
    const uint8_t* row = g.row0 + int64_t{y0} * g.pitch;
    const uint8_t* p0 = row + int64_t{x0} * kSrcUnit;
    const uint8_t* p4 = row + int64_t{x4} * kSrcUnit;
    // Shuffle control per lane: bytes (2 rel + kLumaByte, none, 2 rel + kLumaByte + 2, none).
    const __m256i first = _mm256_add_epi32(_mm256_slli_epi32(rel, 1), _mm256_set1_epi32(kLumaByte));
    const __m256i control = _mm256_add_epi32(_mm256_or_si256(first, _mm256_slli_epi32(first, 16)),
                                             _mm256_set1_epi32(static_cast<int>(0x80028000u)));
    *top = _mm256_shuffle_epi8(LoadHalves(p0, p4), control);
    *bottom = _mm256_shuffle_epi8(LoadHalves(p0 + g.down, p4 + g.down), control);
    return true;
  }

  // Every lane's luma pair as FetchHalves gives it, from lanes holding unit x in bits 0..15 and unit
  // x + 1 in bits 16..31.
  VENDRIX_TARGET_AVX2 static __m256i LumaPairs(__m256i units) {
    return _mm256_and_si256(_mm256_srli_epi32(units, 8 * kLumaByte), _mm256_set1_epi32(0x00FF00FF));
  }

  // Bilinear8 in every lane, exactly: the column blends a (256 - fx) + b fx as one multiply-add of the
  // 16-bit pairs (at most 65280), then (top (256 - fy) + bottom fy) >> 16 in 32 bits.
  VENDRIX_TARGET_AVX2 static __m256i BlendLuma(__m256i top, __m256i bottom, const WideSample& ws) {
    const __m256i w256 = _mm256_set1_epi32(256);
    const __m256i wx = _mm256_or_si256(_mm256_sub_epi32(w256, ws.fx), _mm256_slli_epi32(ws.fx, 16));
    const __m256i t = _mm256_madd_epi16(top, wx);
    const __m256i b = _mm256_madd_epi16(bottom, wx);
    return _mm256_srli_epi32(
        _mm256_add_epi32(_mm256_mullo_epi32(t, _mm256_sub_epi32(w256, ws.fy)), _mm256_mullo_epi32(b, ws.fy)), 16);
  }

  // One 32-bit gather per row fetches a unit and its right neighbour together, which is safe because
  // the neighbourhood never starts on the last column (SampleGrid); a one-column source has no right
  // neighbour and takes the plain kernel, as does a grid too large for 32-bit gather indices.
  VENDRIX_TARGET_AVX2 static void Wide(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    if (g.right == 0 || !g.narrow) {
      Plain(g, out, s);
      return;
    }
    const WideGrid wg = MakeWideGrid(g);
    WideWalk walk = StartWideWalk(s);
    const int* top_row = reinterpret_cast<const int*>(g.row0);
    const int* bottom_row = reinterpret_cast<const int*>(g.row0 + g.down);
    const __m256i chroma = _mm256_set1_epi32(kLumaByte == 0 ? 0x8000 : 0x0080);
    const int32_t whole = s.count & ~7;
    for (int32_t j = 0; j < whole; j += 8) {
      const WideSample ws = LocateWide(wg, walk);
      __m256i top, bottom;
      if (!FetchHalves(g, ws, &top, &bottom)) {
        __m256i ab, cd;
        if (!FetchRowBlock2(g, ws, &ab, &cd)) {
          ab = _mm256_i32gather_epi32(top_row, ws.index, 2);
          cd = _mm256_i32gather_epi32(bottom_row, ws.index, 2);
        }
        top = LumaPairs(ab);
        bottom = LumaPairs(cd);
      }
      const __m256i y = BlendLuma(top, bottom, ws);
      const __m256i units = _mm256_or_si256(kLumaByte == 0 ? y : _mm256_slli_epi32(y, 8), chroma);
      const __m256i packed = _mm256_permute4x64_epi64(_mm256_packus_epi32(units, units), 0x08);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + int64_t{j} * kDstUnit), _mm256_castsi256_si128(packed));
      StepWideWalk(&walk);
    }
    if (whole < s.count) Plain(g, out + int64_t{whole} * kDstUnit, SpanTail(s, whole));
  }
#endif
};

// kFirstByte: 0 for the chroma bytes 0 and 2 (UYVY8), 1 for the bytes 1 and 3 (YUYV8).
template <int kFirstByte>
struct KernelChroma {
  static constexpr int32_t kSrcUnit = 4;
  static constexpr int32_t kDstUnit = 4;

  static void Plain(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    int32_t u = s.u, v = s.v;
    for (int32_t j = 0; j < s.count; ++j, u = AddWrap(u, s.du), v = AddWrap(v, s.dv)) {
      const SamplePos p = LocateSample(g, u, v);
      const uint8_t* pa = g.row0 + int64_t{p.y} * g.pitch + int64_t{p.x} * kSrcUnit;
      const int32_t fx = Weight8(p.fx), fy = Weight8(p.fy);
      uint8_t* o = out + int64_t{j} * kDstUnit;
      for (int k = kFirstByte; k < 4; k += 2)
        o[k] = static_cast<uint8_t>(Bilinear8(pa[k], pa[g.right + k], pa[g.down + k], pa[g.down + g.right + k], fx, fy));
    }
  }

#if VENDRIX_X86_KERNELS
  // A grid too large for 32-bit gather indices takes the plain kernel.
  VENDRIX_TARGET_AVX2 static void Wide(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    if (!g.narrow) {
      Plain(g, out, s);
      return;
    }
    const WideGrid wg = MakeWideGrid(g);
    WideWalk walk = StartWideWalk(s);
    const int* pa = reinterpret_cast<const int*>(g.row0);
    const int* pb = reinterpret_cast<const int*>(g.row0 + g.right);
    const int* pc = reinterpret_cast<const int*>(g.row0 + g.down);
    const int* pd = reinterpret_cast<const int*>(g.row0 + g.down + g.right);
    const __m256i low = _mm256_set1_epi32(0x00FF00FF);
    const __m256i kept = _mm256_set1_epi32(kFirstByte == 0 ? static_cast<int>(0xFF00FF00u) : 0x00FF00FF);
    constexpr int kShift = 8 * kFirstByte;
    const int32_t whole = s.count & ~7;
    for (int32_t j = 0; j < whole; j += 8) {
      const WideSample ws = LocateWide(wg, walk);
      __m256i a, b, c, d;
      if (!FetchRowBlock4(g, ws, &a, &b, &c, &d)) {
        a = _mm256_i32gather_epi32(pa, ws.index, 4);
        b = _mm256_i32gather_epi32(pb, ws.index, 4);
        c = _mm256_i32gather_epi32(pc, ws.index, 4);
        d = _mm256_i32gather_epi32(pd, ws.index, 4);
      }
      a = _mm256_and_si256(_mm256_srli_epi32(a, kShift), low);
      b = _mm256_and_si256(_mm256_srli_epi32(b, kShift), low);
      c = _mm256_and_si256(_mm256_srli_epi32(c, kShift), low);
      d = _mm256_and_si256(_mm256_srli_epi32(d, kShift), low);
      __m256i wx0, wx1, wy0, wy1;
      PairWeights(ws.fx, &wx0, &wx1);
      PairWeights(ws.fy, &wy0, &wy1);
      const __m256i r = BlendPairs8(a, b, c, d, wx0, wx1, wy0, wy1);
      __m256i* o = reinterpret_cast<__m256i*>(out + int64_t{j} * kDstUnit);
      const __m256i old = _mm256_and_si256(_mm256_loadu_si256(o), kept);
      _mm256_storeu_si256(o, _mm256_or_si256(old, _mm256_slli_epi32(r, kShift)));
      StepWideWalk(&walk);
    }
    if (whole < s.count) Plain(g, out + int64_t{whole} * kDstUnit, SpanTail(s, whole));
  }
#endif
};

}  // namespace

void FillYuvSpans(uint32_t flags, QuadSpanTable* table) {
  table->spans[kSpanLumaOdd] = KernelLuma<1>::Plain;
  table->spans[kSpanLumaEven] = KernelLuma<0>::Plain;
  table->spans[kSpanChromaEven] = KernelChroma<0>::Plain;
  table->spans[kSpanChromaOdd] = KernelChroma<1>::Plain;
#if VENDRIX_X86_KERNELS
  if (flags & platform::kCpuAvx2) {
    table->spans[kSpanLumaOdd] = KernelLuma<1>::Wide;
    table->spans[kSpanLumaEven] = KernelLuma<0>::Wide;
    table->spans[kSpanChromaEven] = KernelChroma<0>::Wide;
    table->spans[kSpanChromaOdd] = KernelChroma<1>::Wide;
  }
#else
  (void)flags;
#endif
}

}  // namespace vendrix::texmap
