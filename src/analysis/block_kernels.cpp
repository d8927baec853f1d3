// The block matcher's kernels: plain references, SSE2 versions (eight displacements or pixels per step)
// and AVX2 versions of the search rows (sixteen), and their table. A vector version finishes what is left
// of a row with the narrower version or the reference.
#include "analysis/block_kernels.h"

#include "platform/cpu.h"
#include "platform/kernel_table.h"

#if VENDRIX_X86_KERNELS
#include <immintrin.h>
#endif

namespace vendrix::analysis {
namespace {

void SparseRow(const uint8_t* ref, const ptrdiff_t offsets[4], const uint8_t values[4], int32_t count, uint32_t* sums) {
  for (int32_t i = 0; i < count; ++i) {
    uint32_t s = 0;
    for (int k = 0; k < 4; ++k) {
      const int32_t d = int32_t{values[k]} - int32_t{ref[offsets[k] + i]};
      s += static_cast<uint32_t>(d * d);
    }
    sums[i] = s;
  }
}

int32_t FirstMin(const uint32_t* v, int32_t n) {
  int32_t best = 0;
  for (int32_t i = 1; i < n; ++i)
    if (v[i] < v[best]) best = i;
  return best;
}

uint32_t BlockSsd(const uint8_t* a, const uint8_t* b, ptrdiff_t pitch, int32_t size) {
  uint32_t s = 0;
  for (int32_t y = 0; y < size; ++y, a += pitch, b += pitch)
    for (int32_t x = 0; x < size; ++x) {
      const int32_t d = int32_t{a[x]} - int32_t{b[x]};
      s += static_cast<uint32_t>(d * d);
    }
  return s;
}

void CellMeasure(const uint8_t* p, ptrdiff_t pitch, int32_t size, CellSums* out) {
  uint32_t sum = 0, sq = 0, gx = 0, gy = 0;
  for (int32_t y = 0; y < size; ++y) {
    const uint8_t* row = p + y * pitch;
    for (int32_t x = 0; x < size; ++x) {
      const int32_t v = row[x];
      sum += static_cast<uint32_t>(v);
      sq += static_cast<uint32_t>(v * v);
      if (x + 1 < size) {
        const int32_t d = int32_t{row[x + 1]} - v;
        gx += static_cast<uint32_t>(d * d);
      }
      if (y + 1 < size) {
        const int32_t d = int32_t{row[x + pitch]} - v;
        gy += static_cast<uint32_t>(d * d);
      }
    }
  }
  *out = {sum, sq, gx, gy};
}

#if VENDRIX_X86_KERNELS

inline __m128i Widen8(const uint8_t* p) {
  return _mm_unpacklo_epi8(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)), _mm_setzero_si128());
}
inline __m128i Widen4(const uint8_t* p) {
  int32_t w;
  __builtin_memcpy(&w, p, 4);
  return _mm_unpacklo_epi8(_mm_cvtsi32_si128(w), _mm_setzero_si128());
}
inline uint32_t Total(__m128i v) {
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(1, 0, 3, 2)));
  v = _mm_add_epi32(v, _mm_shuffle_epi32(v, _MM_SHUFFLE(2, 3, 0, 1)));
  return static_cast<uint32_t>(_mm_cvtsi128_si32(v));
}

// Eight displacements a step. The differences of two samples are interleaved, so that one
// multiply-add squares both and adds them for each displacement.
void SparseRowSse2(const uint8_t* ref, const ptrdiff_t offsets[4], const uint8_t values[4], int32_t count,
                   uint32_t* sums) {
  const __m128i v0 = _mm_set1_epi16(values[0]), v1 = _mm_set1_epi16(values[1]);
  const __m128i v2 = _mm_set1_epi16(values[2]), v3 = _mm_set1_epi16(values[3]);
  int32_t i = 0;
  for (; i + 8 <= count; i += 8) {
    const __m128i d0 = _mm_sub_epi16(v0, Widen8(ref + offsets[0] + i)), d1 = _mm_sub_epi16(v1, Widen8(ref + offsets[1] + i));
    const __m128i d2 = _mm_sub_epi16(v2, Widen8(ref + offsets[2] + i)), d3 = _mm_sub_epi16(v3, Widen8(ref + offsets[3] + i));
    const __m128i l01 = _mm_unpacklo_epi16(d0, d1), h01 = _mm_unpackhi_epi16(d0, d1);
    const __m128i l23 = _mm_unpacklo_epi16(d2, d3), h23 = _mm_unpackhi_epi16(d2, d3);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i),
                     _mm_add_epi32(_mm_madd_epi16(l01, l01), _mm_madd_epi16(l23, l23)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(sums + i + 4),
                     _mm_add_epi32(_mm_madd_epi16(h01, h01), _mm_madd_epi16(h23, h23)));
  }
  if (i < count) SparseRow(ref + i, offsets, values, count - i, sums + i);
}

// The smallest value by signed lane minima (every value is below 2^31), then its first position.
int32_t FirstMinSse2(const uint32_t* v, int32_t n) {
  if (n < 8) return FirstMin(v, n);
  __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
  int32_t i = 4;
  for (; i + 4 <= n; i += 4) {
    const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
    const __m128i greater = _mm_cmpgt_epi32(m, x);
    m = _mm_or_si128(_mm_and_si128(greater, x), _mm_andnot_si128(greater, m));
  }
  alignas(16) uint32_t lanes[4];
  _mm_store_si128(reinterpret_cast<__m128i*>(lanes), m);
  uint32_t best = lanes[0];
  for (uint32_t lane : lanes) best = lane < best ? lane : best;
  for (; i < n; ++i) best = v[i] < best ? v[i] : best;
  const __m128i target = _mm_set1_epi32(static_cast<int32_t>(best));
  int32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const int mask = _mm_movemask_ps(
        _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + j)), target)));
    if (mask) return j + __builtin_ctz(static_cast<unsigned>(mask));
  }
  while (v[j] != best) ++j;
  return j;
}

uint32_t BlockSsdSse2(const uint8_t* a, const uint8_t* b, ptrdiff_t pitch, int32_t size) {
  __m128i acc = _mm_setzero_si128();
  for (int32_t y = 0; y < size; ++y, a += pitch, b += pitch) {
    int32_t x = 0;
    for (; x + 8 <= size; x += 8) {
      const __m128i d = _mm_sub_epi16(Widen8(a + x), Widen8(b + x));
      acc = _mm_add_epi32(acc, _mm_madd_epi16(d, d));
    }
    if (x < size) {  // the last four pixels of a 12-pixel row
      const __m128i d = _mm_sub_epi16(Widen4(a + x), Widen4(b + x));
      acc = _mm_add_epi32(acc, _mm_madd_epi16(d, d));
    }
  }
  return Total(acc);
}

// Eight (the last chunk of a 12-pixel row: four) pixels a step; the horizontal differences pair each
// pixel with its right neighbour, the lane of the row's last pixel masked off.
void CellMeasureSse2(const uint8_t* p, ptrdiff_t pitch, int32_t size, CellSums* out) {
  const __m128i zero = _mm_setzero_si128();
  __m128i sum = zero, sq = zero, gx = zero, gy = zero;
  for (int32_t y = 0; y < size; ++y) {
    const uint8_t* row = p + y * pitch;
    for (int32_t x = 0; x < size; x += 8) {
      const bool half = size - x < 8;
      const __m128i v = half ? Widen4(row + x) : Widen8(row + x);
      const __m128i right = half ? Widen4(row + x + 1) : Widen8(row + x + 1);
      sum = _mm_add_epi32(sum, _mm_madd_epi16(v, _mm_set1_epi16(1)));
      sq = _mm_add_epi32(sq, _mm_madd_epi16(v, v));
      __m128i dx = _mm_sub_epi16(right, v);
      if (x + 8 >= size) {  // the chunk holding the row's last pixel: its difference leaves the cell
        const int last = (size - 1) - x;
        alignas(16) int16_t keep[8];
        for (int k = 0; k < 8; ++k) keep[k] = k < last ? -1 : 0;
        dx = _mm_and_si128(dx, _mm_load_si128(reinterpret_cast<const __m128i*>(keep)));
      }
      gx = _mm_add_epi32(gx, _mm_madd_epi16(dx, dx));
      if (y + 1 < size) {
        const __m128i dy = _mm_sub_epi16(half ? Widen4(row + pitch + x) : Widen8(row + pitch + x), v);
        gy = _mm_add_epi32(gy, _mm_madd_epi16(dy, dy));
      }
    }
  }
  *out = {Total(sum), Total(sq), Total(gx), Total(gy)};
}

VENDRIX_TARGET_AVX2 inline __m256i Widen16(const uint8_t* p) {
  return _mm256_cvtepu8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// Sixteen displacements a step. unpacklo/unpackhi work per 128-bit lane, so the two halves of the
// result are put back in displacement order before they are stored.
VENDRIX_TARGET_AVX2 void SparseRowAvx2(const uint8_t* ref, const ptrdiff_t offsets[4], const uint8_t values[4],
                                       int32_t count, uint32_t* sums) {
  const __m256i v0 = _mm256_set1_epi16(values[0]), v1 = _mm256_set1_epi16(values[1]);
  const __m256i v2 = _mm256_set1_epi16(values[2]), v3 = _mm256_set1_epi16(values[3]);
  int32_t i = 0;
  for (; i + 16 <= count; i += 16) {
    const __m256i d0 = _mm256_sub_epi16(v0, Widen16(ref + offsets[0] + i));
    const __m256i d1 = _mm256_sub_epi16(v1, Widen16(ref + offsets[1] + i));
    const __m256i d2 = _mm256_sub_epi16(v2, Widen16(ref + offsets[2] + i));
    const __m256i d3 = _mm256_sub_epi16(v3, Widen16(ref + offsets[3] + i));
    const __m256i l01 = _mm256_unpacklo_epi16(d0, d1), h01 = _mm256_unpackhi_epi16(d0, d1);
    const __m256i l23 = _mm256_unpacklo_epi16(d2, d3), h23 = _mm256_unpackhi_epi16(d2, d3);
    const __m256i lo = _mm256_add_epi32(_mm256_madd_epi16(l01, l01), _mm256_madd_epi16(l23, l23));
    const __m256i hi = _mm256_add_epi32(_mm256_madd_epi16(h01, h01), _mm256_madd_epi16(h23, h23));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i), _mm256_permute2x128_si256(lo, hi, 0x20));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(sums + i + 8), _mm256_permute2x128_si256(lo, hi, 0x31));
  }
  if (i < count) SparseRowSse2(ref + i, offsets, values, count - i, sums + i);
}

VENDRIX_TARGET_AVX2 int32_t FirstMinAvx2(const uint32_t* v, int32_t n) {
  if (n < 16) return FirstMinSse2(v, n);
  __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v));
  int32_t i = 8;
  for (; i + 8 <= n; i += 8) m = _mm256_min_epu32(m, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i)));
  __m128i q = _mm_min_epu32(_mm256_castsi256_si128(m), _mm256_extracti128_si256(m, 1));
  q = _mm_min_epu32(q, _mm_shuffle_epi32(q, _MM_SHUFFLE(1, 0, 3, 2)));
  q = _mm_min_epu32(q, _mm_shuffle_epi32(q, _MM_SHUFFLE(2, 3, 0, 1)));
  uint32_t best = static_cast<uint32_t>(_mm_cvtsi128_si32(q));
  for (; i < n; ++i) best = v[i] < best ? v[i] : best;
  const __m256i target = _mm256_set1_epi32(static_cast<int32_t>(best));
  int32_t j = 0;
  for (; j + 8 <= n; j += 8) {
    const int mask = _mm256_movemask_ps(_mm256_castsi256_ps(
        _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + j)), target)));
    if (mask) return j + __builtin_ctz(static_cast<unsigned>(mask));
  }
  while (v[j] != best) ++j;
  return j;
}

#endif

// The full-block sum and the cell measures have no AVX2 version: their rows are 8 to 24 pixels, too
// short for sixteen lanes to pay.
void FillTable(uint32_t flags, BlockKernels* t) {
  *t = BlockKernels{SparseRow, FirstMin, BlockSsd, CellMeasure};
#if VENDRIX_X86_KERNELS
  if (flags & platform::kCpuSse2) *t = BlockKernels{SparseRowSse2, FirstMinSse2, BlockSsdSse2, CellMeasureSse2};
  if (flags & platform::kCpuAvx2) t->sparse_row = SparseRowAvx2, t->first_min = FirstMinAvx2;
#else
  (void)flags;
#endif
}

constinit platform::KernelTable<BlockKernels> g_table(FillTable);

}  // namespace

const BlockKernels& BlockKernelTable() { return g_table.Get(); }

}  // namespace vendrix::analysis
