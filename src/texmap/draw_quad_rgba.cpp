// The rasterisers of the four-channel layouts: 4 x 8-bit (8-bit weights), 4 x u16 (16-bit weights)
// and 4 x f32 (single-precision blend).
#include <cstring>

#include "texmap/quad_raster.h"
#include "texmap/quad_spans.h"
#include "texmap/quad_wide.h"

namespace vendrix::texmap {
namespace {

inline uint32_t LoadU32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline uint32_t Channel8(uint32_t px, int k) { return (px >> (8 * k)) & 0xFFu; }

// ---- 4 x 8-bit ---------------------------------------------------------------------------------------

struct Kernel4x8 {
  static constexpr int32_t kSrcUnit = 4;
  static constexpr int32_t kDstUnit = 4;

  // The plain kernel, and the reference of the wide one.
  static void Plain(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    int32_t u = s.u, v = s.v;
    for (int32_t j = 0; j < s.count; ++j, u = AddWrap(u, s.du), v = AddWrap(v, s.dv)) {
      const SamplePos p = LocateSample(g, u, v);
      const uint8_t* pa = g.row0 + int64_t{p.y} * g.pitch + int64_t{p.x} * kSrcUnit;
      const uint32_t a = LoadU32(pa), b = LoadU32(pa + g.right);
      const uint32_t c = LoadU32(pa + g.down), d = LoadU32(pa + g.down + g.right);
      const int32_t fx = Weight8(p.fx), fy = Weight8(p.fy);
      uint32_t px = 0;
      for (int k = 0; k < 4; ++k) {
        const uint32_t r = Bilinear8(static_cast<int32_t>(Channel8(a, k)), static_cast<int32_t>(Channel8(b, k)),
                                     static_cast<int32_t>(Channel8(c, k)), static_cast<int32_t>(Channel8(d, k)), fx, fy);
        px |= r << (8 * k);
      }
      std::memcpy(out + int64_t{j} * kDstUnit, &px, 4);
    }
  }

#if VENDRIX_X86_KERNELS
  // Four channels of eight pixels: channels 0 and 2 in the even bytes, 1 and 3 moved down into them.
  VENDRIX_TARGET_AVX2 static __m256i Blend(__m256i a, __m256i b, __m256i c, __m256i d, __m256i fx, __m256i fy) {
    const __m256i low = _mm256_set1_epi32(0x00FF00FF);
    __m256i wx0, wx1, wy0, wy1;
    PairWeights(fx, &wx0, &wx1);
    PairWeights(fy, &wy0, &wy1);
    const __m256i r02 = BlendPairs8(_mm256_and_si256(a, low), _mm256_and_si256(b, low), _mm256_and_si256(c, low),
                                    _mm256_and_si256(d, low), wx0, wx1, wy0, wy1);
    const __m256i r13 = BlendPairs8(
        _mm256_and_si256(_mm256_srli_epi32(a, 8), low), _mm256_and_si256(_mm256_srli_epi32(b, 8), low),
        _mm256_and_si256(_mm256_srli_epi32(c, 8), low), _mm256_and_si256(_mm256_srli_epi32(d, 8), low), wx0, wx1,
        wy0, wy1);
    return _mm256_or_si256(r02, _mm256_slli_epi32(r13, 8));
  }

  // A unit and its right neighbour are fetched together (one 64-bit gather element), which is safe
  // because the neighbourhood never starts on the last column; a one-column source has no right
  // neighbour and takes the plain kernel, as does a grid too large for 32-bit gather indices. Blocks of
  // a gentle warp take loads and permutes instead.
  VENDRIX_TARGET_AVX2 static void Wide(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    if (g.right == 0 || !g.narrow) {
      Plain(g, out, s);
      return;
    }
    const WideGrid wg = MakeWideGrid(g);
    WideWalk walk = StartWideWalk(s);
    const uint8_t* top_row = g.row0;
    const uint8_t* bottom_row = g.row0 + g.down;
    const int32_t whole = s.count & ~7;
    for (int32_t j = 0; j < whole; j += 8) {
      const WideSample ws = LocateWide(wg, walk);
      __m256i a, b, c, d, px;
      if (FetchRowBlock4(g, ws, &a, &b, &c, &d)) {
        px = Blend(a, b, c, d, ws.fx, ws.fy);
      } else {
        GatherUnitPairs(top_row, ws.index, &a, &b);
        GatherUnitPairs(bottom_row, ws.index, &c, &d);
        px = PairLaneOrder(Blend(a, b, c, d, PairLaneOrder(ws.fx), PairLaneOrder(ws.fy)));
      }
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + int64_t{j} * kDstUnit), px);
      StepWideWalk(&walk);
    }
    if (whole < s.count) Plain(g, out + int64_t{whole} * kDstUnit, SpanTail(s, whole));
  }
#endif
};

// ---- 4 x u16 -----------------------------------------------------------------------------------------

struct Kernel4x16 {
  static constexpr int32_t kSrcUnit = 8;
  static constexpr int32_t kDstUnit = 8;

  // 16-bit weights, S = 65536: 64-bit products.
  static uint16_t Blend(int64_t a, int64_t b, int64_t c, int64_t d, int64_t fx, int64_t fy) {
    const int64_t top = a * 65536 + (b - a) * fx;
    const int64_t bottom = c * 65536 + (d - c) * fx;
    return static_cast<uint16_t>((top * 65536 + (bottom - top) * fy) >> 32);
  }

  static void Plain(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    int32_t u = s.u, v = s.v;
    for (int32_t j = 0; j < s.count; ++j, u = AddWrap(u, s.du), v = AddWrap(v, s.dv)) {
      const SamplePos p = LocateSample(g, u, v);
      const uint8_t* pa = g.row0 + int64_t{p.y} * g.pitch + int64_t{p.x} * kSrcUnit;
      uint16_t a[4], b[4], c[4], d[4], r[4];
      std::memcpy(a, pa, 8);
      std::memcpy(b, pa + g.right, 8);
      std::memcpy(c, pa + g.down, 8);
      std::memcpy(d, pa + g.down + g.right, 8);
      for (int k = 0; k < 4; ++k) r[k] = Blend(a[k], b[k], c[k], d[k], p.fx, p.fy);
      std::memcpy(out + int64_t{j} * kDstUnit, r, 8);
    }
  }

#if VENDRIX_X86_KERNELS
  // The four channels of one pixel at a time. top = a*(S - fx) + b*fx is the same integer as
  // a*S + (b - a)*fx and stays below 2^32, so 32-bit lanes hold it exactly; the second blend needs
  // 48 bits and runs in 64-bit lanes.
  VENDRIX_TARGET_AVX2 static void Wide(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    const __m128i one = _mm_set1_epi32(kFxOne);
    const __m256i even_lanes = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
    int32_t u = s.u, v = s.v;
    for (int32_t j = 0; j < s.count; ++j, u = AddWrap(u, s.du), v = AddWrap(v, s.dv)) {
      const SamplePos p = LocateSample(g, u, v);
      const uint8_t* pa = g.row0 + int64_t{p.y} * g.pitch + int64_t{p.x} * kSrcUnit;
      auto load = [](const uint8_t* q) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(q)); };
      const __m128i a = _mm_cvtepu16_epi32(load(pa)), b = _mm_cvtepu16_epi32(load(pa + g.right));
      const __m128i c = _mm_cvtepu16_epi32(load(pa + g.down)), d = _mm_cvtepu16_epi32(load(pa + g.down + g.right));
      const __m128i wx1 = _mm_set1_epi32(p.fx), wx0 = _mm_sub_epi32(one, wx1);
      const __m128i top = _mm_add_epi32(_mm_mullo_epi32(a, wx0), _mm_mullo_epi32(b, wx1));
      const __m128i bottom = _mm_add_epi32(_mm_mullo_epi32(c, wx0), _mm_mullo_epi32(d, wx1));
      const __m256i wy1 = _mm256_set1_epi64x(p.fy), wy0 = _mm256_set1_epi64x(kFxOne - p.fy);
      const __m256i sum = _mm256_add_epi64(_mm256_mul_epu32(_mm256_cvtepu32_epi64(top), wy0),
                                           _mm256_mul_epu32(_mm256_cvtepu32_epi64(bottom), wy1));
      const __m256i result = _mm256_permutevar8x32_epi32(_mm256_srli_epi64(sum, 32), even_lanes);
      const __m128i low = _mm256_castsi256_si128(result);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(out + int64_t{j} * kDstUnit), _mm_packus_epi32(low, low));
    }
  }
#endif
};

// ---- 4 x f32 -----------------------------------------------------------------------------------------

struct KernelF32 {
  static constexpr int32_t kSrcUnit = 16;
  static constexpr int32_t kDstUnit = 16;

  // Floats are not clamped by moving the neighbourhood back one unit (x + (1 - x) is not always 1 in
  // single precision); instead a sample on the last column or row takes its own unit as the
  // neighbour, whose weight is then 0: (a - a) * 0 + a = a, as the formula gives with any neighbour.
  static void Plain(const SampleGrid& g, uint8_t* out, const QuadSpan& s) {
    constexpr float kWeightScale = 1.0f / 65536.0f;
    int32_t u = s.u, v = s.v;
    for (int32_t j = 0; j < s.count; ++j, u = AddWrap(u, s.du), v = AddWrap(v, s.dv)) {
      const int32_t uc = ClampI32(u, 0, g.u_max);
      const int32_t vc = ClampI32(v, 0, g.v_max);
      const int32_t x = FxFloor(uc), y = FxFloor(vc);
      const int64_t right = x < g.last_x ? kSrcUnit : 0;
      const int64_t down = y < g.last_y ? g.pitch : 0;
      const uint8_t* pa = g.row0 + int64_t{y} * g.pitch + int64_t{x} * kSrcUnit;
      const float fx = static_cast<float>(FxFrac(uc)) * kWeightScale;
      const float fy = static_cast<float>(FxFrac(vc)) * kWeightScale;
      float a[4], b[4], c[4], d[4], r[4];
      std::memcpy(a, pa, 16);
      std::memcpy(b, pa + right, 16);
      std::memcpy(c, pa + down, 16);
      std::memcpy(d, pa + down + right, 16);
      for (int k = 0; k < 4; ++k) {
        const float top = (b[k] - a[k]) * fx + a[k];
        const float bottom = (d[k] - c[k]) * fx + c[k];
        r[k] = (bottom - top) * fy + top;
      }
      std::memcpy(out + int64_t{j} * kDstUnit, r, 16);
    }
  }
};

}  // namespace

void FillRgbaSpans(uint32_t flags, QuadSpanTable* table) {
  table->spans[kSpan4x8] = Kernel4x8::Plain;
  table->spans[kSpan4x16] = Kernel4x16::Plain;
  table->spans[kSpan4xF32] = KernelF32::Plain;
#if VENDRIX_X86_KERNELS
  if (flags & platform::kCpuAvx2) {
    table->spans[kSpan4x8] = Kernel4x8::Wide;
    table->spans[kSpan4x16] = Kernel4x16::Wide;
  }
#else
  (void)flags;
#endif
}

}  // namespace vendrix::texmap
