// The corner detector's row kernels: plain references, SSE2 versions (four pixels per step) and AVX2
// versions (eight), and their table. A vector version finishes the last pixels of a row with the
// reference's per-pixel code, so the whole row is what the reference would write.
#include "analysis/corner_kernels.h"

#include "platform/cpu.h"
#include "platform/kernel_table.h"

#if VENDRIX_X86_KERNELS
#include <immintrin.h>
#endif

namespace vendrix::analysis {
namespace {

constexpr float kInv255 = 0.003921569f;
constexpr float kHarrisK = 0.04f;
constexpr int32_t kTapRadius = 3;

// ---- Per-pixel forms, shared by the references and the vector versions' tails ----------------------

inline float Taps7(float c, float l1, float r1, float l2, float r2, float l3, float r3, const float t[4]) {
  return ((t[0] * c + t[1] * (l1 + r1)) + t[2] * (l2 + r2)) + t[3] * (l3 + r3);
}
inline float RowTaps(const float* pad, int32_t x, const float t[4]) {
  const float* p = pad + x + kTapRadius;
  return Taps7(p[0], p[-1], p[1], p[-2], p[2], p[-3], p[3], t);
}
inline float ColumnTaps(const float* const r[7], int32_t x, const float t[4]) {
  return Taps7(r[3][x], r[2][x], r[4][x], r[1][x], r[5][x], r[0][x], r[6][x], t);
}
inline float Response(float a, float b, float c) {
  const float tr = a + b;
  return (a * b - c * c) - kHarrisK * (tr * tr);
}
inline void TensorAt(const float* up, const float* row, const float* down, float* sxx, float* syy, float* sxy,
                     int32_t x) {
  const float gx = row[x - 1] - row[x + 1];
  const float gy = up[x] - down[x];
  sxx[x] = gx * gx;
  syy[x] = gy * gy;
  sxy[x] = gx * gy;
}
inline float MaxOf(float a, float b) { return a > b ? a : b; }  // as the vector max instructions
inline float Suppressed(float r, float w, float t) { return (r >= t && r >= w) ? r : 0.0f; }
// A Harris peak at x: above the level, not 0, and no neighbour above the level larger.
inline bool PeakAt(const float* above, const float* row, const float* below, int32_t x, float level) {
  const float v = row[x];
  if (!(v > level) || v == 0) return false;
  const auto kept = [level](float n) { return n > level ? n : 0.0f; };
  return !(kept(above[x - 1]) > v || kept(above[x]) > v || kept(above[x + 1]) > v || kept(row[x - 1]) > v ||
           kept(row[x + 1]) > v || kept(below[x - 1]) > v || kept(below[x]) > v || kept(below[x + 1]) > v);
}

// ---- References ----------------------------------------------------------------------------------

void LoadLuma(const uint8_t* src, float* dst, int32_t width) {
  for (int32_t x = 0; x < width; ++x) dst[x] = static_cast<float>(src[x]) * kInv255;
}
void TensorRow(const float* up, const float* row, const float* down, float* sxx, float* syy, float* sxy,
               int32_t width) {
  for (int32_t x = 1; x < width - 1; ++x) TensorAt(up, row, down, sxx, syy, sxy, x);
}
void SmoothRow(const float* pad, float* dst, int32_t width, const float t[4]) {
  for (int32_t x = 0; x < width; ++x) dst[x] = RowTaps(pad, x, t);
}
void SmoothColumns(const float* const r[7], float* dst, int32_t width, const float t[4]) {
  for (int32_t x = 0; x < width; ++x) dst[x] = ColumnTaps(r, x, t);
}
void ColumnResponse(const float* const xx[7], const float* const yy[7], const float* const xy[7], float* dst,
                    int32_t width, const float t[4]) {
  for (int32_t x = 0; x < width; ++x)
    dst[x] = Response(ColumnTaps(xx, x, t), ColumnTaps(yy, x, t), ColumnTaps(xy, x, t));
}
void MaxRows(const float* a, const float* b, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = MaxOf(a[i], b[i]);
}
void SuppressRow(const float* r, const float* w, float t, float* dst, int32_t n) {
  for (int32_t i = 0; i < n; ++i) dst[i] = Suppressed(r[i], w[i], t);
}
float SumSquares(const float* p, int32_t n) {
  float lanes[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  int32_t i = 0;
  for (; i + 4 <= n; i += 4)
    for (int32_t k = 0; k < 4; ++k) lanes[k] += p[i + k] * p[i + k];
  float sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
  for (; i < n; ++i) sum += p[i] * p[i];
  return sum;
}
int32_t NextAbove(const float* row, int32_t start, int32_t n, float floor) {
  int32_t i = start;
  while (i < n && !(row[i] > floor)) ++i;
  return i;
}
int32_t RowPeaks(const float* above, const float* row, const float* below, int32_t start, int32_t end, float level,
                 int32_t* xs) {
  int32_t count = 0;
  for (int32_t x = start; x < end; ++x)
    if (PeakAt(above, row, below, x, level)) xs[count++] = x;
  return count;
}

#if VENDRIX_X86_KERNELS
// ---- SSE2 ------------------------------------------------------------------------------------------

inline __m128 Taps7(__m128 c, __m128 l1, __m128 r1, __m128 l2, __m128 r2, __m128 l3, __m128 r3, const __m128 t[4]) {
  __m128 s = _mm_mul_ps(t[0], c);
  s = _mm_add_ps(s, _mm_mul_ps(t[1], _mm_add_ps(l1, r1)));
  s = _mm_add_ps(s, _mm_mul_ps(t[2], _mm_add_ps(l2, r2)));
  return _mm_add_ps(s, _mm_mul_ps(t[3], _mm_add_ps(l3, r3)));
}
inline __m128 ColumnTaps4(const float* const r[7], int32_t x, const __m128 t[4]) {
  return Taps7(_mm_loadu_ps(r[3] + x), _mm_loadu_ps(r[2] + x), _mm_loadu_ps(r[4] + x), _mm_loadu_ps(r[1] + x),
               _mm_loadu_ps(r[5] + x), _mm_loadu_ps(r[0] + x), _mm_loadu_ps(r[6] + x), t);
}

void LoadLumaSse2(const uint8_t* src, float* dst, int32_t width) {
  const __m128i zero = _mm_setzero_si128();
  const __m128 scale = _mm_set1_ps(kInv255);
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x));
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_ps(dst + x, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)), scale));
    _mm_storeu_ps(dst + x + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)), scale));
    _mm_storeu_ps(dst + x + 8, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)), scale));
    _mm_storeu_ps(dst + x + 12, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)), scale));
  }
  for (; x < width; ++x) dst[x] = static_cast<float>(src[x]) * kInv255;
}
void TensorRowSse2(const float* up, const float* row, const float* down, float* sxx, float* syy, float* sxy,
                   int32_t width) {
  int32_t x = 1;
  for (; x + 4 <= width - 1; x += 4) {
    const __m128 gx = _mm_sub_ps(_mm_loadu_ps(row + x - 1), _mm_loadu_ps(row + x + 1));
    const __m128 gy = _mm_sub_ps(_mm_loadu_ps(up + x), _mm_loadu_ps(down + x));
    _mm_storeu_ps(sxx + x, _mm_mul_ps(gx, gx));
    _mm_storeu_ps(syy + x, _mm_mul_ps(gy, gy));
    _mm_storeu_ps(sxy + x, _mm_mul_ps(gx, gy));
  }
  for (; x < width - 1; ++x) TensorAt(up, row, down, sxx, syy, sxy, x);
}
void SmoothRowSse2(const float* pad, float* dst, int32_t width, const float t[4]) {
  const __m128 vt[4] = {_mm_set1_ps(t[0]), _mm_set1_ps(t[1]), _mm_set1_ps(t[2]), _mm_set1_ps(t[3])};
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const float* p = pad + x + kTapRadius;
    _mm_storeu_ps(dst + x, Taps7(_mm_loadu_ps(p), _mm_loadu_ps(p - 1), _mm_loadu_ps(p + 1), _mm_loadu_ps(p - 2),
                                 _mm_loadu_ps(p + 2), _mm_loadu_ps(p - 3), _mm_loadu_ps(p + 3), vt));
  }
  for (; x < width; ++x) dst[x] = RowTaps(pad, x, t);
}
void SmoothColumnsSse2(const float* const r[7], float* dst, int32_t width, const float t[4]) {
  const __m128 vt[4] = {_mm_set1_ps(t[0]), _mm_set1_ps(t[1]), _mm_set1_ps(t[2]), _mm_set1_ps(t[3])};
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) _mm_storeu_ps(dst + x, ColumnTaps4(r, x, vt));
  for (; x < width; ++x) dst[x] = ColumnTaps(r, x, t);
}
void ColumnResponseSse2(const float* const xx[7], const float* const yy[7], const float* const xy[7], float* dst,
                        int32_t width, const float t[4]) {
  const __m128 vt[4] = {_mm_set1_ps(t[0]), _mm_set1_ps(t[1]), _mm_set1_ps(t[2]), _mm_set1_ps(t[3])};
  const __m128 k = _mm_set1_ps(kHarrisK);
  int32_t x = 0;
  for (; x + 4 <= width; x += 4) {
    const __m128 a = ColumnTaps4(xx, x, vt), b = ColumnTaps4(yy, x, vt), c = ColumnTaps4(xy, x, vt);
    const __m128 tr = _mm_add_ps(a, b);
    const __m128 det = _mm_sub_ps(_mm_mul_ps(a, b), _mm_mul_ps(c, c));
    _mm_storeu_ps(dst + x, _mm_sub_ps(det, _mm_mul_ps(k, _mm_mul_ps(tr, tr))));
  }
  for (; x < width; ++x) dst[x] = Response(ColumnTaps(xx, x, t), ColumnTaps(yy, x, t), ColumnTaps(xy, x, t));
}
void MaxRowsSse2(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(dst + i, _mm_max_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
  for (; i < n; ++i) dst[i] = MaxOf(a[i], b[i]);
}
void SuppressRowSse2(const float* r, const float* w, float t, float* dst, int32_t n) {
  const __m128 vt = _mm_set1_ps(t);
  int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 v = _mm_loadu_ps(r + i);
    const __m128 keep = _mm_and_ps(_mm_cmpge_ps(v, vt), _mm_cmpge_ps(v, _mm_loadu_ps(w + i)));
    _mm_storeu_ps(dst + i, _mm_and_ps(keep, v));
  }
  for (; i < n; ++i) dst[i] = Suppressed(r[i], w[i], t);
}
int32_t NextAboveSse2(const float* row, int32_t start, int32_t n, float floor) {
  const __m128 f = _mm_set1_ps(floor);
  int32_t i = start;
  while (i + 4 <= n && _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(row + i), f)) == 0) i += 4;
  while (i < n && !(row[i] > floor)) ++i;
  return i;
}
// Most pixels of a response are below the level, so a step whose four centres all fail costs one
// comparison; the neighbours are only compared where a centre passes.
int32_t RowPeaksSse2(const float* above, const float* row, const float* below, int32_t start, int32_t end, float level,
                     int32_t* xs) {
  const __m128 lv = _mm_set1_ps(level), zero = _mm_setzero_ps();
  int32_t count = 0, x = start;
  for (; x + 4 <= end; x += 4) {
    const __m128 v = _mm_loadu_ps(row + x);
    int bits = _mm_movemask_ps(_mm_andnot_ps(_mm_cmpeq_ps(v, zero), _mm_cmpgt_ps(v, lv)));
    if (!bits) continue;
    __m128 larger = zero;
    for (const float* r : {above, row, below})
      for (int32_t dx = -1; dx <= 1; ++dx) {
        if (r == row && dx == 0) continue;
        const __m128 n = _mm_loadu_ps(r + x + dx);
        larger = _mm_or_ps(larger, _mm_cmpgt_ps(_mm_and_ps(n, _mm_cmpgt_ps(n, lv)), v));
      }
    bits &= ~_mm_movemask_ps(larger);
    for (; bits; bits &= bits - 1) xs[count++] = x + __builtin_ctz(static_cast<unsigned>(bits));
  }
  for (; x < end; ++x)
    if (PeakAt(above, row, below, x, level)) xs[count++] = x;
  return count;
}

// ---- AVX2 (eight lanes; the per-lane operations of SSE2) ---------------------------------------------

VENDRIX_TARGET_AVX2 inline __m256 Taps7(__m256 c, __m256 l1, __m256 r1, __m256 l2, __m256 r2, __m256 l3, __m256 r3,
                                        const __m256 t[4]) {
  __m256 s = _mm256_mul_ps(t[0], c);
  s = _mm256_add_ps(s, _mm256_mul_ps(t[1], _mm256_add_ps(l1, r1)));
  s = _mm256_add_ps(s, _mm256_mul_ps(t[2], _mm256_add_ps(l2, r2)));
  return _mm256_add_ps(s, _mm256_mul_ps(t[3], _mm256_add_ps(l3, r3)));
}
VENDRIX_TARGET_AVX2 inline __m256 ColumnTaps8(const float* const r[7], int32_t x, const __m256 t[4]) {
  return Taps7(_mm256_loadu_ps(r[3] + x), _mm256_loadu_ps(r[2] + x), _mm256_loadu_ps(r[4] + x),
               _mm256_loadu_ps(r[1] + x), _mm256_loadu_ps(r[5] + x), _mm256_loadu_ps(r[0] + x),
               _mm256_loadu_ps(r[6] + x), t);
}
VENDRIX_TARGET_AVX2 inline void SplatTaps(const float t[4], __m256 vt[4]) {
  for (int k = 0; k < 4; ++k) vt[k] = _mm256_set1_ps(t[k]);
}

VENDRIX_TARGET_AVX2 void TensorRowAvx2(const float* up, const float* row, const float* down, float* sxx, float* syy,
                                       float* sxy, int32_t width) {
  int32_t x = 1;
  for (; x + 8 <= width - 1; x += 8) {
    const __m256 gx = _mm256_sub_ps(_mm256_loadu_ps(row + x - 1), _mm256_loadu_ps(row + x + 1));
    const __m256 gy = _mm256_sub_ps(_mm256_loadu_ps(up + x), _mm256_loadu_ps(down + x));
    _mm256_storeu_ps(sxx + x, _mm256_mul_ps(gx, gx));
    _mm256_storeu_ps(syy + x, _mm256_mul_ps(gy, gy));
    _mm256_storeu_ps(sxy + x, _mm256_mul_ps(gx, gy));
  }
  for (; x < width - 1; ++x) TensorAt(up, row, down, sxx, syy, sxy, x);
}
VENDRIX_TARGET_AVX2 void SmoothRowAvx2(const float* pad, float* dst, int32_t width, const float t[4]) {
  __m256 vt[4];
  SplatTaps(t, vt);
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const float* p = pad + x + kTapRadius;
    _mm256_storeu_ps(dst + x, Taps7(_mm256_loadu_ps(p), _mm256_loadu_ps(p - 1), _mm256_loadu_ps(p + 1),
                                    _mm256_loadu_ps(p - 2), _mm256_loadu_ps(p + 2), _mm256_loadu_ps(p - 3),
                                    _mm256_loadu_ps(p + 3), vt));
  }
  for (; x < width; ++x) dst[x] = RowTaps(pad, x, t);
}
VENDRIX_TARGET_AVX2 void SmoothColumnsAvx2(const float* const r[7], float* dst, int32_t width, const float t[4]) {
  __m256 vt[4];
  SplatTaps(t, vt);
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) _mm256_storeu_ps(dst + x, ColumnTaps8(r, x, vt));
  for (; x < width; ++x) dst[x] = ColumnTaps(r, x, t);
}
VENDRIX_TARGET_AVX2 void ColumnResponseAvx2(const float* const xx[7], const float* const yy[7],
                                            const float* const xy[7], float* dst, int32_t width, const float t[4]) {
  __m256 vt[4];
  SplatTaps(t, vt);
  const __m256 k = _mm256_set1_ps(kHarrisK);
  int32_t x = 0;
  for (; x + 8 <= width; x += 8) {
    const __m256 a = ColumnTaps8(xx, x, vt), b = ColumnTaps8(yy, x, vt), c = ColumnTaps8(xy, x, vt);
    const __m256 tr = _mm256_add_ps(a, b);
    const __m256 det = _mm256_sub_ps(_mm256_mul_ps(a, b), _mm256_mul_ps(c, c));
    _mm256_storeu_ps(dst + x, _mm256_sub_ps(det, _mm256_mul_ps(k, _mm256_mul_ps(tr, tr))));
  }
  for (; x < width; ++x) dst[x] = Response(ColumnTaps(xx, x, t), ColumnTaps(yy, x, t), ColumnTaps(xy, x, t));
}
VENDRIX_TARGET_AVX2 void MaxRowsAvx2(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) _mm256_storeu_ps(dst + i, _mm256_max_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
  for (; i < n; ++i) dst[i] = MaxOf(a[i], b[i]);
}
VENDRIX_TARGET_AVX2 void SuppressRowAvx2(const float* r, const float* w, float t, float* dst, int32_t n) {
  const __m256 vt = _mm256_set1_ps(t);
  int32_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256 v = _mm256_loadu_ps(r + i);
    const __m256 at_least_w = _mm256_cmp_ps(v, _mm256_loadu_ps(w + i), _CMP_GE_OQ);
    const __m256 keep = _mm256_and_ps(_mm256_cmp_ps(v, vt, _CMP_GE_OQ), at_least_w);
    _mm256_storeu_ps(dst + i, _mm256_and_ps(keep, v));
  }
  for (; i < n; ++i) dst[i] = Suppressed(r[i], w[i], t);
}
VENDRIX_TARGET_AVX2 int32_t NextAboveAvx2(const float* row, int32_t start, int32_t n, float floor) {
  const __m256 f = _mm256_set1_ps(floor);
  int32_t i = start;
  while (i + 8 <= n && _mm256_movemask_ps(_mm256_cmp_ps(_mm256_loadu_ps(row + i), f, _CMP_GT_OQ)) == 0) i += 8;
  while (i < n && !(row[i] > floor)) ++i;
  return i;
}
VENDRIX_TARGET_AVX2 int32_t RowPeaksAvx2(const float* above, const float* row, const float* below, int32_t start,
                                         int32_t end, float level, int32_t* xs) {
  const __m256 lv = _mm256_set1_ps(level), zero = _mm256_setzero_ps();
  int32_t count = 0, x = start;
  for (; x + 8 <= end; x += 8) {
    const __m256 v = _mm256_loadu_ps(row + x);
    const __m256 candidate = _mm256_andnot_ps(_mm256_cmp_ps(v, zero, _CMP_EQ_OQ), _mm256_cmp_ps(v, lv, _CMP_GT_OQ));
    int bits = _mm256_movemask_ps(candidate);
    if (!bits) continue;
    __m256 larger = zero;
    for (const float* r : {above, row, below})
      for (int32_t dx = -1; dx <= 1; ++dx) {
        if (r == row && dx == 0) continue;
        const __m256 n = _mm256_loadu_ps(r + x + dx);
        const __m256 kept = _mm256_and_ps(n, _mm256_cmp_ps(n, lv, _CMP_GT_OQ));
        larger = _mm256_or_ps(larger, _mm256_cmp_ps(kept, v, _CMP_GT_OQ));
      }
    bits &= ~_mm256_movemask_ps(larger);
    for (; bits; bits &= bits - 1) xs[count++] = x + __builtin_ctz(static_cast<unsigned>(bits));
  }
  for (; x < end; ++x)
    if (PeakAt(above, row, below, x, level)) xs[count++] = x;
  return count;
}
#endif

// The sum of squares has no vector version: the compiler vectorises its four interleaved sums from the
// plain code as well as SSE2 intrinsics do, and eight lanes would add in another order. The luma load
// keeps its SSE2 version at the AVX2 level: it is bound by its stores, and eight lanes gained under 10%.
void FillTable(uint32_t flags, CornerKernels* t) {
  *t = CornerKernels{LoadLuma, TensorRow, SmoothRow, SmoothColumns, ColumnResponse,
                     MaxRows, SuppressRow, SumSquares, NextAbove, RowPeaks};
#if VENDRIX_X86_KERNELS
  if (flags & platform::kCpuSse2)
    *t = CornerKernels{LoadLumaSse2, TensorRowSse2, SmoothRowSse2, SmoothColumnsSse2, ColumnResponseSse2,
                       MaxRowsSse2,  SuppressRowSse2, SumSquares, NextAboveSse2, RowPeaksSse2};
  if (flags & platform::kCpuAvx2)
    *t = CornerKernels{LoadLumaSse2, TensorRowAvx2, SmoothRowAvx2, SmoothColumnsAvx2, ColumnResponseAvx2,
                       MaxRowsAvx2,  SuppressRowAvx2, SumSquares, NextAboveAvx2, RowPeaksAvx2};
#else
  (void)flags;
#endif
}

constinit platform::KernelTable<CornerKernels> g_table(FillTable);

}  // namespace

const CornerKernels& CornerKernelTable() { return g_table.Get(); }

}  // namespace vendrix::analysis
