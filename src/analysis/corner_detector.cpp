#include "analysis/corner_detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#define VENDRIX_CORNER_SSE2 1
#endif

#include "platform/heap.h"

// The kernels run four pixels at a time with SSE2 where the compiler offers it (every x86-64 target)
// and one at a time otherwise; both forms do the same float operations in the same order, so their
// results are bit-identical and the scalar tails finish each row exactly as the vector loop would.

namespace vendrix::analysis {
namespace {

constexpr int32_t kMinSide = 5;  // below, the suppression band (d >= 2) is empty
constexpr int32_t kMaxSide = 32767;
constexpr size_t kPlaneCount = 13;  // the smallest work block, in planes
constexpr size_t kLaidOutPlanes = 7;
constexpr int32_t kTapRadius = 3;

constexpr float kInv255 = 0.003921569f;
constexpr float kSpacingPerPixel = 0.01369863f;  // 1/73 per pixel of sqrt(W*H)
constexpr float kHarrisK = 0.04f;
constexpr float kTensorSpread = 0.3f;    // K(3, 0.3) on the tensor planes
constexpr float kResponseSpread = 0.7f;  // K(3, 0.7) on the response
constexpr float kThresholdScale = 0.4f;
constexpr float kThresholdCap = 0.0009f;
constexpr float kCandidateFloor = 0.0008f;
constexpr float kWeakFraction = 0.25f;   // of the mean candidate value, with more than 4n candidates
constexpr int32_t kEnoughCorners = 100;  // more than this stops the spacing search
constexpr int32_t kMinSearchSpacing = 3;
// Checking peaks' windows one by one is preferred while peaks x window area stays within this many
// comparisons per pixel of the frame. Most peaks lose to a neighbour at once, so the direct checks cost
// far less than their bound; on textured frames the two forms break even near 10.
constexpr int64_t kSparseBudget = 8;

// Row buffers of the streaming kernels, in planes.rows.
enum CornerRow : int32_t {
  kLumaRows = 0,           // 3: luma of rows y - 1, y, y + 1 (ring by row % 3)
  kProductRows = 3,        // 3: padded tensor products of one row (S_xx, S_yy, S_xy)
  kTensorRing = 6,         // 3 x 7: row-smoothed tensor, ring by row % 7 per channel
  kResponsePad = 27,       // 1: padded response of one row
  kResponseRing = 28,      // 7: row-smoothed response, ring by row % 7
  kMaxRow = 35,            // 1: running maxima of one row
  kWindowMaxRow = 36,      // 1: window maxima of one band row
  kRowsUsed = 37,
};
static_assert(kRowsUsed <= kCornerRowBuffers);

inline float* Row(float* plane, int32_t width, int32_t y) { return plane + int64_t{width} * y; }

// The 7-tap symmetric sum, in the order every kernel uses.
inline float Taps7(float c, float l1, float r1, float l2, float r2, float l3, float r3, const float t[4]) {
  return ((t[0] * c + t[1] * (l1 + r1)) + t[2] * (l2 + r2)) + t[3] * (l3 + r3);
}

#if VENDRIX_CORNER_SSE2
inline __m128 Taps7(__m128 c, __m128 l1, __m128 r1, __m128 l2, __m128 r2, __m128 l3, __m128 r3, const __m128 t[4]) {
  __m128 s = _mm_mul_ps(t[0], c);
  s = _mm_add_ps(s, _mm_mul_ps(t[1], _mm_add_ps(l1, r1)));
  s = _mm_add_ps(s, _mm_mul_ps(t[2], _mm_add_ps(l2, r2)));
  return _mm_add_ps(s, _mm_mul_ps(t[3], _mm_add_ps(l3, r3)));
}
#endif

// dst[x] = taps over pad[x .. x + 6] (pad holds the row shifted by the tap radius).
void SmoothRow(const float* pad, float* dst, int32_t width, const float t[4]) {
  int32_t x = 0;
#if VENDRIX_CORNER_SSE2
  const __m128 vt[4] = {_mm_set1_ps(t[0]), _mm_set1_ps(t[1]), _mm_set1_ps(t[2]), _mm_set1_ps(t[3])};
  for (; x + 4 <= width; x += 4) {
    const float* p = pad + x + kTapRadius;
    _mm_storeu_ps(dst + x, Taps7(_mm_loadu_ps(p), _mm_loadu_ps(p - 1), _mm_loadu_ps(p + 1), _mm_loadu_ps(p - 2),
                                 _mm_loadu_ps(p + 2), _mm_loadu_ps(p - 3), _mm_loadu_ps(p + 3), vt));
  }
#endif
  for (; x < width; ++x) {
    const float* p = pad + x + kTapRadius;
    dst[x] = Taps7(p[0], p[-1], p[1], p[-2], p[2], p[-3], p[3], t);
  }
}

// dst[x] = taps over seven rows (r[3] the centre row).
void SmoothColumns(const float* const r[7], float* dst, int32_t width, const float t[4]) {
  int32_t x = 0;
#if VENDRIX_CORNER_SSE2
  const __m128 vt[4] = {_mm_set1_ps(t[0]), _mm_set1_ps(t[1]), _mm_set1_ps(t[2]), _mm_set1_ps(t[3])};
  for (; x + 4 <= width; x += 4) {
    _mm_storeu_ps(dst + x, Taps7(_mm_loadu_ps(r[3] + x), _mm_loadu_ps(r[2] + x), _mm_loadu_ps(r[4] + x),
                                 _mm_loadu_ps(r[1] + x), _mm_loadu_ps(r[5] + x), _mm_loadu_ps(r[0] + x),
                                 _mm_loadu_ps(r[6] + x), vt));
  }
#endif
  for (; x < width; ++x) dst[x] = Taps7(r[3][x], r[2][x], r[4][x], r[1][x], r[5][x], r[0][x], r[6][x], t);
}

void LoadLuma(const uint8_t* src, float* dst, int32_t width) {
  int32_t x = 0;
#if VENDRIX_CORNER_SSE2
  const __m128i zero = _mm_setzero_si128();
  const __m128 scale = _mm_set1_ps(kInv255);
  for (; x + 16 <= width; x += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + x));
    const __m128i lo = _mm_unpacklo_epi8(v, zero);
    const __m128i hi = _mm_unpackhi_epi8(v, zero);
    _mm_storeu_ps(dst + x, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(lo, zero)), scale));
    _mm_storeu_ps(dst + x + 4, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(lo, zero)), scale));
    _mm_storeu_ps(dst + x + 8, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpacklo_epi16(hi, zero)), scale));
    _mm_storeu_ps(dst + x + 12, _mm_mul_ps(_mm_cvtepi32_ps(_mm_unpackhi_epi16(hi, zero)), scale));
  }
#endif
  for (; x < width; ++x) dst[x] = static_cast<float>(src[x]) * kInv255;
}

// Interior of one tensor row (1 <= x <= W - 2) from the luma rows above, at and below.
void TensorRow(const float* up, const float* row, const float* down, float* sxx, float* syy, float* sxy,
               int32_t width) {
  int32_t x = 1;
#if VENDRIX_CORNER_SSE2
  for (; x + 4 <= width - 1; x += 4) {
    const __m128 gx = _mm_sub_ps(_mm_loadu_ps(row + x - 1), _mm_loadu_ps(row + x + 1));
    const __m128 gy = _mm_sub_ps(_mm_loadu_ps(up + x), _mm_loadu_ps(down + x));
    _mm_storeu_ps(sxx + x, _mm_mul_ps(gx, gx));
    _mm_storeu_ps(syy + x, _mm_mul_ps(gy, gy));
    _mm_storeu_ps(sxy + x, _mm_mul_ps(gx, gy));
  }
#endif
  for (; x < width - 1; ++x) {
    const float gx = row[x - 1] - row[x + 1];
    const float gy = up[x] - down[x];
    sxx[x] = gx * gx;
    syy[x] = gy * gy;
    sxy[x] = gx * gy;
  }
}

inline float Response(float a, float b, float c) {
  const float tr = a + b;
  return (a * b - c * c) - kHarrisK * (tr * tr);
}

// One response row from the column pass of the three row-smoothed tensor channels (seven rows each,
// [3] the centre row).
void ColumnResponseRow(const float* const xx[7], const float* const yy[7], const float* const xy[7], float* dst,
                       int32_t width, const float t[4]) {
  int32_t x = 0;
#if VENDRIX_CORNER_SSE2
  const __m128 vt[4] = {_mm_set1_ps(t[0]), _mm_set1_ps(t[1]), _mm_set1_ps(t[2]), _mm_set1_ps(t[3])};
  const __m128 k = _mm_set1_ps(kHarrisK);
  auto column4 = [&](const float* const r[7], int32_t i) {
    return Taps7(_mm_loadu_ps(r[3] + i), _mm_loadu_ps(r[2] + i), _mm_loadu_ps(r[4] + i), _mm_loadu_ps(r[1] + i),
                 _mm_loadu_ps(r[5] + i), _mm_loadu_ps(r[0] + i), _mm_loadu_ps(r[6] + i), vt);
  };
  for (; x + 4 <= width; x += 4) {
    const __m128 a = column4(xx, x), b = column4(yy, x), c = column4(xy, x);
    const __m128 tr = _mm_add_ps(a, b);
    const __m128 det = _mm_sub_ps(_mm_mul_ps(a, b), _mm_mul_ps(c, c));
    _mm_storeu_ps(dst + x, _mm_sub_ps(det, _mm_mul_ps(k, _mm_mul_ps(tr, tr))));
  }
#endif
  for (; x < width; ++x) {
    auto column = [&](const float* const r[7]) {
      return Taps7(r[3][x], r[2][x], r[4][x], r[1][x], r[5][x], r[0][x], r[6][x], t);
    };
    dst[x] = Response(column(xx), column(yy), column(xy));
  }
}

// Repeats the first and last pixel of a row held at pad + kTapRadius into the pads on either side.
void ReplicateEdges(float* pad, int32_t width) {
  for (int32_t i = 0; i < kTapRadius; ++i) {
    pad[i] = pad[kTapRadius];
    pad[kTapRadius + width + i] = pad[kTapRadius + width - 1];
  }
}

float SumSquares(const float* p, int32_t n) {
  int32_t i = 0;
  float sum = 0.0f;
#if VENDRIX_CORNER_SSE2
  __m128 acc = _mm_setzero_ps();
  for (; i + 4 <= n; i += 4) {
    const __m128 v = _mm_loadu_ps(p + i);
    acc = _mm_add_ps(acc, _mm_mul_ps(v, v));
  }
  float lanes[4];
  _mm_storeu_ps(lanes, acc);
  sum = (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
#endif
  for (; i < n; ++i) sum += p[i] * p[i];
  return sum;
}

// dst[i] = max(a[i], b[i]) for i < n. dst may be a.
void MaxRows(const float* a, const float* b, float* dst, int32_t n) {
  int32_t i = 0;
#if VENDRIX_CORNER_SSE2
  for (; i + 4 <= n; i += 4) _mm_storeu_ps(dst + i, _mm_max_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
#endif
  for (; i < n; ++i) dst[i] = std::max(a[i], b[i]);
}

// In place: buf[i] = max(buf[i], buf[i + step]) for i < n. Ascending order reads every buf[i + step]
// before it is overwritten.
void MaxShifted(float* buf, int32_t step, int32_t n) { MaxRows(buf, buf + step, buf, n); }

// M over one band row: r where r >= t and r >= the window maximum w, else 0.
void SuppressRow(const float* r, const float* w, float t, float* dst, int32_t n) {
  int32_t i = 0;
#if VENDRIX_CORNER_SSE2
  const __m128 vt = _mm_set1_ps(t);
  for (; i + 4 <= n; i += 4) {
    const __m128 v = _mm_loadu_ps(r + i);
    const __m128 keep = _mm_and_ps(_mm_cmpge_ps(v, vt), _mm_cmpge_ps(v, _mm_loadu_ps(w + i)));
    _mm_storeu_ps(dst + i, _mm_and_ps(keep, v));
  }
#endif
  for (; i < n; ++i) dst[i] = (r[i] >= t && r[i] >= w[i]) ? r[i] : 0.0f;
}

// First index i >= start with row[i] > floor, or n.
int32_t NextAbove(const float* row, int32_t start, int32_t n, float floor) {
  int32_t i = start;
#if VENDRIX_CORNER_SSE2
  const __m128 f = _mm_set1_ps(floor);
  while (i + 4 <= n && _mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(row + i), f)) == 0) i += 4;
#endif
  while (i < n && !(row[i] > floor)) ++i;
  return i;
}

// Strongest first; equal values keep raster order (a total order, so the result is unique).
inline bool Stronger(const CornerCandidate& a, const CornerCandidate& b) {
  return a.value > b.value || (a.value == b.value && a.index < b.index);
}

// Keeps the `keep` strongest of cand[0..n), strongest first. In place, no allocation.
void KeepStrongest(CornerCandidate* cand, int32_t n, int32_t keep) {
  std::nth_element(cand, cand + (keep - 1), cand + n, Stronger);
  std::sort(cand, cand + keep, Stronger);
}

// True when any of p[0..n) is above v.
bool AnyAbove(const float* p, int32_t n, float v) {
  int32_t i = 0;
#if VENDRIX_CORNER_SSE2
  const __m128 vv = _mm_set1_ps(v);
  for (; i + 4 <= n; i += 4)
    if (_mm_movemask_ps(_mm_cmpgt_ps(_mm_loadu_ps(p + i), vv)) != 0) return true;
#endif
  for (; i < n; ++i)
    if (p[i] > v) return true;
  return false;
}

// Whether R at (x, y) is not below any R of its (2d + 1)^2 window (which lies inside the plane). The
// eight neighbours go first: beside a corner's peak most pixels lose to one of them.
bool WindowIsMax(const float* r, int32_t w, int32_t x, int32_t y, int32_t d) {
  const float* c = r + int64_t{w} * y + x;
  const float v = *c;
  for (int32_t dy = -1; dy <= 1; ++dy)
    if (AnyAbove(c + int64_t{w} * dy - 1, 3, v)) return false;
  for (int32_t yy = y - d; yy <= y + d; ++yy)
    if (AnyAbove(r + int64_t{w} * yy + x - d, 2 * d + 1, v)) return false;
  return true;
}

// The selection rules over n candidates in raster order; returns the number kept (the first records).
int32_t ApplySelection(CornerCandidate* cand, int32_t n, int32_t max_corners) {
  const int64_t limit = max_corners;
  if (n <= limit) return n;
  if (n <= 4 * limit) {
    KeepStrongest(cand, n, max_corners);
    return max_corners;
  }
  float sum = 0.0f;
  for (int32_t i = 0; i < n; ++i) sum += cand[i].value;
  const float weak = kWeakFraction * (sum / static_cast<float>(n));
  int32_t kept = 0;
  for (int32_t i = 0; i < n; ++i)
    if (cand[i].value > weak) cand[kept++] = cand[i];
  if (kept <= limit) return kept;
  KeepStrongest(cand, kept, max_corners);
  return max_corners;
}

bool BandEmpty(int32_t w, int32_t h, int32_t d) { return w - 2 * d <= 0 || h - 2 * d <= 0; }

float ThresholdOf(float q, int32_t w, int32_t h, int32_t d) {
  if (BandEmpty(w, h, d)) return 0.0f;
  const float m = static_cast<float>(int64_t{w - 2 * d} * (h - 2 * d));
  return std::min(kThresholdScale * std::sqrt(q / (m + 1.0f)), kThresholdCap);
}

}  // namespace

bool DetectorScratchReserve(DetectorScratch& scratch, size_t bytes) {
  if (scratch.block && scratch.bytes >= bytes) return true;
  DetectorScratchRelease(scratch);
  // Every plane is written before it is read, so the block need not be zeroed.
  scratch.block = platform::HeapAllocate(bytes, 0);
  if (!scratch.block) return false;
  scratch.bytes = bytes;
  return true;
}

void DetectorScratchRelease(DetectorScratch& scratch) {
  platform::HeapRelease(scratch.block);
  scratch.block = nullptr;
  scratch.bytes = 0;
}

int32_t CornerSpacing(int32_t width, int32_t height) {
  const int64_t area = (width > 0 && height > 0) ? int64_t{width} * height : 0;
  const int32_t d0 = static_cast<int32_t>(std::sqrt(static_cast<float>(area)) * kSpacingPerPixel + 0.5f);
  const int32_t d = d0 > 4 ? d0 - (d0 + 3) / 6 : d0;
  return std::max(d, 2);
}

size_t CornerWorkBytes(int32_t width, int32_t height) {
  if (width < kMinSide || height < kMinSide || width > kMaxSide || height > kMaxSide) return 0;
  const size_t plane = size_t(width) * size_t(height);
  const size_t layout = kLaidOutPlanes * plane + size_t(kCornerRowBuffers) * size_t(CornerRowStride(width));
  return std::max(kPlaneCount * plane, layout) * sizeof(float);
}

CornerPlanes CornerPlanesIn(void* block, int32_t width, int32_t height) {
  CornerPlanes p{};
  p.width = width;
  p.height = height;
  float* f = static_cast<float*>(block);
  const size_t plane = size_t(width) * size_t(height);
  p.response = f;
  p.suppressed = f + plane;
  p.candidates = f + 2 * plane;  // two planes
  p.windowRows = f + 4 * plane;  // three planes
  f += kLaidOutPlanes * plane;
  p.rows = f;
  return p;
}

void SmoothingTaps(float spread, float taps[4]) {
  float sum = 0.0f;
  for (int32_t i = 0; i <= kTapRadius; ++i) {
    taps[i] = std::exp(-0.5f * static_cast<float>(i * i) / spread);
    sum += i == 0 ? taps[i] : 2.0f * taps[i];
  }
  for (int32_t i = 0; i <= kTapRadius; ++i) taps[i] /= sum;
}

void ComputeCornerResponse(const uint8_t* image, int32_t pitch, const CornerPlanes& planes) {
  const int32_t w = planes.width, h = planes.height, stride = CornerRowStride(w);
  auto buffer = [&](int32_t i) { return planes.rows + int64_t{stride} * i; };
  auto luma = [&](int32_t y) { return buffer(kLumaRows + y % 3); };
  auto tensor = [&](int32_t channel, int32_t y) { return buffer(kTensorRing + 7 * channel + y % 7); };
  auto response = [&](int32_t y) { return buffer(kResponseRing + y % 7); };
  auto load = [&](int32_t y) { LoadLuma(image + int64_t{pitch} * y, luma(y), w); };
  float* product[3] = {buffer(kProductRows), buffer(kProductRows + 1), buffer(kProductRows + 2)};
  float* response_pad = buffer(kResponsePad);
  float tensor_taps[4], response_taps[4];
  SmoothingTaps(kTensorSpread, tensor_taps);
  SmoothingTaps(kResponseSpread, response_taps);

  // The products' first and last columns are 0, and so are their replicated pads.
  for (float* p : product) std::memset(p, 0, sizeof(float) * size_t(stride));
  load(0);
  load(1);
  // Step s makes the row-smoothed tensor row s, the response row s - 3 (its column pass needs tensor
  // rows up to s) and the final response row s - 6 (needs response rows up to s - 3). The rings hold
  // the seven latest rows, which covers every clamped row each pass reads.
  for (int32_t s = 0; s < h + 6; ++s) {
    if (s < h) {
      if (s == 0 || s == h - 1) {
        for (int32_t c = 0; c < 3; ++c) std::memset(tensor(c, s), 0, sizeof(float) * size_t(w));
      } else {
        if (s + 1 < h && s >= 1) load(s + 1);
        TensorRow(luma(s - 1), luma(s), luma(s + 1), product[0] + kTapRadius, product[1] + kTapRadius,
                  product[2] + kTapRadius, w);
        for (int32_t c = 0; c < 3; ++c) SmoothRow(product[c], tensor(c, s), w, tensor_taps);
      }
    }
    const int32_t y = s - kTapRadius;
    if (y >= 0 && y < h) {
      const float* rows[3][7];
      for (int32_t c = 0; c < 3; ++c)
        for (int32_t i = 0; i < 7; ++i) rows[c][i] = tensor(c, std::clamp(y + i - kTapRadius, 0, h - 1));
      ColumnResponseRow(rows[0], rows[1], rows[2], response_pad + kTapRadius, w, tensor_taps);
      ReplicateEdges(response_pad, w);
      SmoothRow(response_pad, response(y), w, response_taps);
    }
    const int32_t out = s - 2 * kTapRadius;
    if (out >= 0 && out < h) {
      const float* rows[7];
      for (int32_t i = 0; i < 7; ++i) rows[i] = response(std::clamp(out + i - kTapRadius, 0, h - 1));
      SmoothColumns(rows, Row(planes.response, w, out), w, response_taps);
    }
  }
}

float BandSquares(const CornerPlanes& planes, int32_t d) {
  const int32_t w = planes.width, h = planes.height;
  const int32_t bw = w - 2 * d, bh = h - 2 * d;
  if (d < 0 || bw <= 0 || bh <= 0) return 0.0f;
  float q = 0.0f;
  for (int32_t y = d; y < h - d; ++y) q += SumSquares(Row(planes.response, w, y) + d, bw);
  return q;
}

float RingSquares(const CornerPlanes& planes, int32_t d) {
  const int32_t w = planes.width, h = planes.height;
  if (d < 0 || BandEmpty(w, h, d + 1)) return 0.0f;
  float q = SumSquares(Row(planes.response, w, d) + d, w - 2 * d);
  q += SumSquares(Row(planes.response, w, h - 1 - d) + d, w - 2 * d);
  for (int32_t y = d + 1; y < h - 1 - d; ++y) {
    const float* row = Row(planes.response, w, y);
    q += row[d] * row[d] + row[w - 1 - d] * row[w - 1 - d];
  }
  return q;
}

float CornerThreshold(const CornerPlanes& planes, int32_t d) {
  return ThresholdOf(BandSquares(planes, d), planes.width, planes.height, d);
}

// Window maxima, with a cost per pixel that does not grow with the window length k = 2d + 1:
// - along rows by doubling: the maximum over 2s pixels from two overlapping maxima over s, up to the
//   largest power of two P <= k; two overlapping P-wide maxima then cover the window, since 2P > k;
// - down the columns by van Herk / Gil-Werman over blocks of k rows: prefix maxima from each block's
//   first row and suffix maxima from its last; the rows [y - d, y + d] span at most two blocks, so their
//   maximum is the suffix maximum at y - d and the prefix maximum at y + d.
// Blocks are processed top to bottom; the rows whose window ends in the current block are emitted as
// soon as it is done, so only one block of prefix rows and two of suffix rows are held. Only band
// columns are computed; the window of a band pixel never leaves the plane.
void SuppressNonMaxima(const CornerPlanes& planes, int32_t d, float threshold) {
  const int32_t w = planes.width, h = planes.height;
  const int32_t bw = w - 2 * d, bh = h - 2 * d;
  const size_t row_bytes = sizeof(float) * size_t(w);
  if (d < 1 || bw <= 0 || bh <= 0) {
    std::memset(planes.suppressed, 0, row_bytes * size_t(h));
    return;
  }
  const int32_t k = 2 * d + 1;  // <= h, so the 3k rows below fit in the three planes
  int32_t span = 1;
  while (span * 2 <= k) span *= 2;
  const int64_t stride = CornerRowStride(w);
  float* buf = planes.rows + stride * kMaxRow;
  float* wmax = planes.rows + stride * kWindowMaxRow;
  auto prefix = [&](int32_t y) { return planes.windowRows + int64_t{w} * (y % k) + d; };
  auto suffix = [&](int32_t y) { return planes.windowRows + int64_t{w} * (k + y % (2 * k)) + d; };

  std::memset(planes.suppressed, 0, row_bytes * size_t(d));
  for (int32_t b0 = 0; b0 < h; b0 += k) {
    const int32_t b1 = std::min(b0 + k, h);
    for (int32_t y = b0; y < b1; ++y) {
      std::memcpy(buf, Row(planes.response, w, y), row_bytes);
      for (int32_t s = 1; s < span; s *= 2) MaxShifted(buf, s, w - 2 * s + 1);
      // Band pixel x: window [x - d, x + d] = the span-wide maxima from x - d and from x + d - span + 1.
      MaxRows(buf, buf + (k - span), suffix(y), bw);
      if (y == b0)
        std::memcpy(prefix(y), suffix(y), sizeof(float) * size_t(bw));
      else
        MaxRows(prefix(y - 1), suffix(y), prefix(y), bw);
    }
    for (int32_t y = b1 - 2; y >= b0; --y) MaxRows(suffix(y + 1), suffix(y), suffix(y), bw);

    for (int32_t y = std::max(b0 - d, d); y < std::min(b1 - d, h - d); ++y) {
      float* out = Row(planes.suppressed, w, y);
      std::memset(out, 0, sizeof(float) * size_t(d));
      std::memset(out + w - d, 0, sizeof(float) * size_t(d));
      MaxRows(suffix(y - d), prefix(y + d), wmax, bw);
      SuppressRow(Row(planes.response, w, y) + d, wmax, threshold, out + d, bw);
    }
  }
  std::memset(Row(planes.suppressed, w, h - d), 0, row_bytes * size_t(d));
}

int32_t SelectCorners(const CornerPlanes& planes, int32_t max_corners) {
  if (max_corners <= 0) return 0;
  const int32_t w = planes.width, h = planes.height;
  auto* cand = static_cast<CornerCandidate*>(planes.candidates);
  int32_t n = 0;
  for (int32_t y = 0; y < h; ++y) {
    const float* row = Row(planes.suppressed, w, y);
    for (int32_t x = NextAbove(row, 0, w, kCandidateFloor); x < w; x = NextAbove(row, x + 1, w, kCandidateFloor))
      cand[n++] = {row[x], y * w + x};
  }
  return ApplySelection(cand, n, max_corners);
}

int32_t CollectPeaks(const CornerPlanes& planes, int32_t d, int32_t* peaks) {
  const int32_t w = planes.width, h = planes.height;
  if (d < 1 || BandEmpty(w, h, d)) return 0;
  int32_t n = 0;
  for (int32_t y = d; y < h - d; ++y) {
    const float* row = Row(planes.response, w, y);
    for (int32_t x = NextAbove(row, d, w - d, kCandidateFloor); x < w - d; x = NextAbove(row, x + 1, w - d, kCandidateFloor))
      peaks[n++] = y * w + x;
  }
  return n;
}

int32_t PeakCandidates(const CornerPlanes& planes, const int32_t* peaks, int32_t count, int32_t d, float threshold,
                       CornerCandidate* out) {
  const int32_t w = planes.width, h = planes.height;
  int32_t n = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t x = peaks[i] % w, y = peaks[i] / w;
    if (x < d || x >= w - d || y < d || y >= h - d) continue;
    const float v = planes.response[peaks[i]];
    if (v >= threshold && WindowIsMax(planes.response, w, x, y, d)) out[n++] = {v, peaks[i]};
  }
  return n;
}

int32_t DetectCorners(const uint8_t* image, int32_t width, int32_t height, int32_t pitch, int32_t max_corners,
                      DetectorScratch& scratch, float* xy) {
  if (!image || !xy || max_corners <= 0) return 0;
  const size_t bytes = CornerWorkBytes(width, height);
  if (bytes == 0 || std::abs(int64_t{pitch}) < width) return 0;
  if (!DetectorScratchReserve(scratch, bytes)) return 0;
  const CornerPlanes planes = CornerPlanesIn(scratch.block, width, height);
  ComputeCornerResponse(image, pitch, planes);

  // Every candidate of every spacing searched is a peak (R above the candidate floor) of the widest band.
  // None: no corners (flat, dark or blurred frames). Few: each peak's window is checked directly, which
  // finds the same candidates as the full suppression at a fraction of its cost.
  int32_t d = CornerSpacing(width, height);
  auto* peaks = reinterpret_cast<int32_t*>(planes.windowRows);  // room for W * H; dense suppression reuses it
  const int32_t peak_count = CollectPeaks(planes, std::min(d, kMinSearchSpacing), peaks);
  if (peak_count == 0) return 0;
  const int64_t window = int64_t{2 * d + 1} * (2 * d + 1);
  const bool sparse = peak_count * window <= kSparseBudget * int64_t{width} * height;

  // Lower the spacing while the result is thin, down to kMinSearchSpacing; the last result stands. The
  // band's sum of squares grows by one ring per step.
  auto* cand = static_cast<CornerCandidate*>(planes.candidates);
  float q = BandSquares(planes, d);
  int32_t kept = 0;
  for (;;) {
    const float t = ThresholdOf(q, width, height, d);
    if (sparse) {
      kept = ApplySelection(cand, PeakCandidates(planes, peaks, peak_count, d, t, cand), max_corners);
    } else {
      SuppressNonMaxima(planes, d, t);
      kept = SelectCorners(planes, max_corners);
    }
    if (kept > kEnoughCorners || d - 1 < kMinSearchSpacing) break;
    --d;
    q = BandEmpty(width, height, d + 1) ? BandSquares(planes, d) : q + RingSquares(planes, d);
  }

  for (int32_t i = 0; i < kept; ++i) {
    xy[2 * i] = static_cast<float>(cand[i].index % width);
    xy[2 * i + 1] = static_cast<float>(cand[i].index / width);
  }
  return kept;
}

}  // namespace vendrix::analysis
