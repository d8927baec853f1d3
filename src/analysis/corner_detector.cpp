#include "analysis/corner_detector.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/corner_kernels.h"
#include "platform/heap.h"

// The per-row work runs through the detector's kernel table (corner_kernels.h), fetched once per pass.

namespace vendrix::analysis {
namespace {

constexpr int32_t kMinSide = 5;  // below, the suppression band (d >= 2) is empty
constexpr int32_t kMaxSide = 32767;
constexpr size_t kPlaneCount = 13;  // the smallest work block, in planes
constexpr size_t kLaidOutPlanes = 7;
constexpr int32_t kTapRadius = 3;

constexpr float kSpacingPerPixel = 0.01369863f;  // 1/73 per pixel of sqrt(W*H)
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

// Repeats the first and last pixel of a row held at pad + kTapRadius into the pads on either side.
void ReplicateEdges(float* pad, int32_t width) {
  for (int32_t i = 0; i < kTapRadius; ++i) {
    pad[i] = pad[kTapRadius];
    pad[kTapRadius + width + i] = pad[kTapRadius + width - 1];
  }
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

// Whether R at (x, y) is not below any R of its (2d + 1)^2 window (which lies inside the plane). The
// eight neighbours go first: beside a corner's peak most pixels lose to one of them.
bool WindowIsMax(const CornerKernels& kernels, const float* r, int32_t w, int32_t x, int32_t y, int32_t d) {
  const float* c = r + int64_t{w} * y + x;
  const float v = *c;
  // Any of p[0..n) above v.
  const auto any_above = [&](const float* p, int32_t n) { return kernels.next_above(p, 0, n, v) < n; };
  for (int32_t dy = -1; dy <= 1; ++dy)
    if (any_above(c + int64_t{w} * dy - 1, 3)) return false;
  for (int32_t yy = y - d; yy <= y + d; ++yy)
    if (any_above(r + int64_t{w} * yy + x - d, 2 * d + 1)) return false;
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
  const CornerKernels& kernels = CornerKernelTable();
  auto load = [&](int32_t y) { kernels.load_luma(image + int64_t{pitch} * y, luma(y), w); };
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
        kernels.tensor_row(luma(s - 1), luma(s), luma(s + 1), product[0] + kTapRadius, product[1] + kTapRadius,
                           product[2] + kTapRadius, w);
        for (int32_t c = 0; c < 3; ++c) kernels.smooth_row(product[c], tensor(c, s), w, tensor_taps);
      }
    }
    const int32_t y = s - kTapRadius;
    if (y >= 0 && y < h) {
      const float* rows[3][7];
      for (int32_t c = 0; c < 3; ++c)
        for (int32_t i = 0; i < 7; ++i) rows[c][i] = tensor(c, std::clamp(y + i - kTapRadius, 0, h - 1));
      kernels.column_response(rows[0], rows[1], rows[2], response_pad + kTapRadius, w, tensor_taps);
      ReplicateEdges(response_pad, w);
      kernels.smooth_row(response_pad, response(y), w, response_taps);
    }
    const int32_t out = s - 2 * kTapRadius;
    if (out >= 0 && out < h) {
      const float* rows[7];
      for (int32_t i = 0; i < 7; ++i) rows[i] = response(std::clamp(out + i - kTapRadius, 0, h - 1));
      kernels.smooth_columns(rows, Row(planes.response, w, out), w, response_taps);
    }
  }
}

float BandSquares(const CornerPlanes& planes, int32_t d) {
  const int32_t w = planes.width, h = planes.height;
  const int32_t bw = w - 2 * d, bh = h - 2 * d;
  if (d < 0 || bw <= 0 || bh <= 0) return 0.0f;
  const auto sum_squares = CornerKernelTable().sum_squares;
  float q = 0.0f;
  for (int32_t y = d; y < h - d; ++y) q += sum_squares(Row(planes.response, w, y) + d, bw);
  return q;
}

float RingSquares(const CornerPlanes& planes, int32_t d) {
  const int32_t w = planes.width, h = planes.height;
  if (d < 0 || BandEmpty(w, h, d + 1)) return 0.0f;
  const auto sum_squares = CornerKernelTable().sum_squares;
  float q = sum_squares(Row(planes.response, w, d) + d, w - 2 * d);
  q += sum_squares(Row(planes.response, w, h - 1 - d) + d, w - 2 * d);
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
  const auto max_rows = CornerKernelTable().max_rows;
  const auto suppress_row = CornerKernelTable().suppress_row;
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
      // In place: buf[i] = max(buf[i], buf[i + s]), each value read before it is overwritten.
      for (int32_t s = 1; s < span; s *= 2) max_rows(buf, buf + s, buf, w - 2 * s + 1);
      // Band pixel x: window [x - d, x + d] = the span-wide maxima from x - d and from x + d - span + 1.
      max_rows(buf, buf + (k - span), suffix(y), bw);
      if (y == b0)
        std::memcpy(prefix(y), suffix(y), sizeof(float) * size_t(bw));
      else
        max_rows(prefix(y - 1), suffix(y), prefix(y), bw);
    }
    for (int32_t y = b1 - 2; y >= b0; --y) max_rows(suffix(y + 1), suffix(y), suffix(y), bw);

    for (int32_t y = std::max(b0 - d, d); y < std::min(b1 - d, h - d); ++y) {
      float* out = Row(planes.suppressed, w, y);
      std::memset(out, 0, sizeof(float) * size_t(d));
      std::memset(out + w - d, 0, sizeof(float) * size_t(d));
      max_rows(suffix(y - d), prefix(y + d), wmax, bw);
      suppress_row(Row(planes.response, w, y) + d, wmax, threshold, out + d, bw);
    }
  }
  std::memset(Row(planes.suppressed, w, h - d), 0, row_bytes * size_t(d));
}

int32_t SelectCorners(const CornerPlanes& planes, int32_t max_corners) {
  if (max_corners <= 0) return 0;
  const int32_t w = planes.width, h = planes.height;
  const auto next_above = CornerKernelTable().next_above;
  auto* cand = static_cast<CornerCandidate*>(planes.candidates);
  int32_t n = 0;
  for (int32_t y = 0; y < h; ++y) {
    const float* row = Row(planes.suppressed, w, y);
    for (int32_t x = next_above(row, 0, w, kCandidateFloor); x < w; x = next_above(row, x + 1, w, kCandidateFloor))
      cand[n++] = {row[x], y * w + x};
  }
  return ApplySelection(cand, n, max_corners);
}

int32_t CollectPeaks(const CornerPlanes& planes, int32_t d, int32_t* peaks) {
  const int32_t w = planes.width, h = planes.height;
  if (d < 1 || BandEmpty(w, h, d)) return 0;
  const auto next_above = CornerKernelTable().next_above;
  int32_t n = 0;
  for (int32_t y = d; y < h - d; ++y) {
    const float* row = Row(planes.response, w, y);
    for (int32_t x = next_above(row, d, w - d, kCandidateFloor); x < w - d;
         x = next_above(row, x + 1, w - d, kCandidateFloor))
      peaks[n++] = y * w + x;
  }
  return n;
}

int32_t PeakCandidates(const CornerPlanes& planes, const int32_t* peaks, int32_t count, int32_t d, float threshold,
                       CornerCandidate* out) {
  const int32_t w = planes.width, h = planes.height;
  const CornerKernels& kernels = CornerKernelTable();
  int32_t n = 0;
  for (int32_t i = 0; i < count; ++i) {
    const int32_t x = peaks[i] % w, y = peaks[i] / w;
    if (x < d || x >= w - d || y < d || y >= h - d) continue;
    const float v = planes.response[peaks[i]];
    if (v >= threshold && WindowIsMax(kernels, planes.response, w, x, y, d)) out[n++] = {v, peaks[i]};
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
