#include "analysis/frame_planes.h"

#include <algorithm>
#include <cmath>
#include <cstring>


namespace vendrix::analysis {
namespace {

constexpr int32_t kMaxRow = 32767 + 2;

model::FramePlane* Find(model::FramePlanePool& pool, int32_t entry, int32_t level) {
  for (model::FramePlane& p : pool.planes)
    if (p.entry == entry && p.level == level) return &p;
  return nullptr;
}

// A plane no window uses: never-used planes first, then the one holding the oldest entry, so that the
// planes of recent entries stay cached for the next windows.
model::FramePlane* TakeFree(model::FramePlanePool& pool) {
  model::FramePlane* best = nullptr;
  for (model::FramePlane& p : pool.planes) {
    if (p.useCount != 0) continue;
    if (p.entry < 0) return &p;
    if (!best || p.entry < best->entry) best = &p;
  }
  return best;
}

inline uint8_t Clamp255(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

// 16.16 fixed point: the gain of the contrast stretch.
using Fixed16 = int32_t;
inline Fixed16 ToFixed16(double v) { return static_cast<Fixed16>(std::lround(v * 65536.0)); }

// Sorts a pair so that a <= b.
inline void Sort2(int& a, int& b) {
  const int lo = std::min(a, b), hi = std::max(a, b);
  a = lo;
  b = hi;
}

// Median of nine by the classic 19-exchange network.
inline uint8_t Median9(int p[9]) {
  Sort2(p[1], p[2]); Sort2(p[4], p[5]); Sort2(p[7], p[8]);
  Sort2(p[0], p[1]); Sort2(p[3], p[4]); Sort2(p[6], p[7]);
  Sort2(p[1], p[2]); Sort2(p[4], p[5]); Sort2(p[7], p[8]);
  Sort2(p[0], p[3]); Sort2(p[5], p[8]); Sort2(p[4], p[7]);
  Sort2(p[3], p[6]); Sort2(p[1], p[4]); Sort2(p[2], p[5]);
  Sort2(p[4], p[7]); Sort2(p[4], p[2]); Sort2(p[6], p[4]);
  Sort2(p[4], p[2]);
  return static_cast<uint8_t>(p[4]);
}

// Applies a 3 x 3 neighbourhood operator in place. `op(up, row, down, x)` reads the unfiltered rows
// (copies kept in three row buffers that include one border pixel on each side).
template <class Op>
void Filter3x3InPlace(uint8_t* plane, int32_t pitch, int32_t width, int32_t height, Op op) {
  static_assert(model::kPlaneBorder >= 1);
  const size_t n = static_cast<size_t>(width) + 2;
  uint8_t buf[3][kMaxRow];
  uint8_t* up = buf[0];
  uint8_t* row = buf[1];
  uint8_t* down = buf[2];
  std::memcpy(up, plane - pitch - 1, n);
  std::memcpy(row, plane - 1, n);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* out = plane + int64_t{y} * pitch;
    std::memcpy(down, out + pitch - 1, n);
    for (int32_t x = 0; x < width; ++x) out[x] = op(up + 1, row + 1, down + 1, x);
    uint8_t* t = up;
    up = row;
    row = down;
    down = t;
  }
}

}  // namespace

bool AcquireWindow(model::FramePlanePool& pool, int32_t entry, FrameWindow& window) {
  std::memset(&window, 0, sizeof(window));
  window.entries = 0;
  for (int32_t k = 0; k < kWindowEntries && entry - k >= 0; ++k) {
    for (int32_t level = 0; level < kLevels; ++level) {
      model::FramePlane* p = Find(pool, entry - k, level);
      if (!p) {
        p = TakeFree(pool);
        if (!p) {
          ReleaseWindow(window);
          return false;
        }
        p->entry = entry - k;
        p->level = level;
        p->prepared = false;
      }
      ++p->useCount;
      window.planes[k][level] = p;
    }
    window.entries = k + 1;
  }
  return true;
}

void ReleaseWindow(FrameWindow& window) {
  for (auto& entry : window.planes)
    for (model::FramePlane*& p : entry) {
      if (p && p->useCount > 0) --p->useCount;
      p = nullptr;
    }
  window.entries = 0;
}

void SmoothPrefilter(uint8_t* plane, int32_t pitch, int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || width > kMaxRow - 2) return;
  // p' = p - (2p - a - b) / 8 with a, b the neighbours, first along rows, then along columns; the
  // division truncates toward zero as in integer arithmetic.
  uint8_t orig[kMaxRow];
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* r = plane + int64_t{y} * pitch;
    std::memcpy(orig, r - 1, static_cast<size_t>(width) + 2);
    for (int32_t x = 0; x < width; ++x) {
      const int p = orig[x + 1];
      r[x] = Clamp255(p - (2 * p - orig[x] - orig[x + 2]) / 8);
    }
  }
  uint8_t prev[kMaxRow];
  std::memcpy(prev, plane - pitch, static_cast<size_t>(width));
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* r = plane + int64_t{y} * pitch;
    const uint8_t* below = r + pitch;
    for (int32_t x = 0; x < width; ++x) {
      const int p = r[x];
      const int up = prev[x];
      prev[x] = r[x];
      r[x] = Clamp255(p - (2 * p - up - below[x]) / 8);
    }
  }
  Filter3x3InPlace(plane, pitch, width, height, [](const uint8_t* u, const uint8_t* m, const uint8_t* d, int32_t x) {
    int v[9] = {u[x - 1], u[x], u[x + 1], m[x - 1], m[x], m[x + 1], d[x - 1], d[x], d[x + 1]};
    return Median9(v);
  });
}

void HighPassFilter(uint8_t* plane, int32_t pitch, int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || width > kMaxRow - 2) return;
  Filter3x3InPlace(plane, pitch, width, height, [](const uint8_t* u, const uint8_t* m, const uint8_t* d, int32_t x) {
    const int ring = u[x - 1] + u[x] + u[x + 1] + m[x - 1] + m[x + 1] + d[x - 1] + d[x] + d[x + 1];
    return Clamp255((16 * m[x] - ring) / 2);
  });
}

void ContrastStretch(uint8_t* plane, int32_t pitch, int32_t width, int32_t height) {
  if (width <= 0 || height <= 0) return;
  uint64_t sum = 0, sum2 = 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* r = plane + int64_t{y} * pitch;
    uint32_t row = 0, row2 = 0;  // a row of at most 32767 pixels cannot overflow 32 bits in row2
    for (int32_t x = 0; x < width; ++x) row += r[x], row2 += uint32_t{r[x]} * r[x];
    sum += row;
    sum2 += row2;
  }
  const double n = double(width) * height;
  const double mean = sum / n, rms = std::sqrt(sum2 / n);
  // Stretch about the RMS level; darker, low-contrast frames (mean well below RMS) are stretched less.
  const Fixed16 gain = ToFixed16(std::max(1.875 * (mean - rms + 256.0) / 256.0, 1.0));
  const int s = static_cast<int>(rms);
  uint8_t table[256];
  for (int v = 0; v < 256; ++v) table[v] = Clamp255(s + static_cast<int>((int64_t{gain} * (v - s)) >> 16));
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* r = plane + int64_t{y} * pitch;
    for (int32_t x = 0; x < width; ++x) r[x] = table[r[x]];
  }
}

void BinomialLevel(const uint8_t* src, uint8_t* dst, int32_t pitch, int32_t width, int32_t height, int32_t tap) {
  if (width <= 0 || height <= 0 || tap <= 0 || tap > model::kPlaneBorder) return;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* m = src + int64_t{y} * pitch;
    const uint8_t* u = m - int64_t{tap} * pitch;
    const uint8_t* d = m + int64_t{tap} * pitch;
    uint8_t* out = dst + int64_t{y} * pitch;
    for (int32_t x = 0; x < width; ++x) {
      const unsigned top = u[x - tap] + 2u * u[x] + u[x + tap];
      const unsigned mid = m[x - tap] + 2u * m[x] + m[x + tap];
      const unsigned bot = d[x - tap] + 2u * d[x] + d[x + tap];
      out[x] = static_cast<uint8_t>((top + 2u * mid + bot + 8u) >> 4);
    }
  }
}

void PrepareScaleStack(const model::FramePlanePool& pool, const FrameWindow& window, const model::AnalysisImage& image,
                       const model::MeasureParams& params) {
  model::FramePlane* const* levels = window.planes[0];
  if (!levels[0] || !image.readRow || image.width != pool.width || image.height != pool.height) return;
  const int32_t pitch = PlanePitch(pool), w = pool.width, h = pool.height;
  uint8_t* l0 = PlaneOrigin(pool, *levels[0]);
  image.readRow(image, l0, pitch);
  if (params.smoothPrefilter) SmoothPrefilter(l0, pitch, w, h);
  if (params.highPass) HighPassFilter(l0, pitch, w, h);
  if (params.contrastStretch) ContrastStretch(l0, pitch, w, h);
  levels[0]->prepared = true;
  const int32_t top = params.coarsestLevel >= 3 ? 3 : 2;
  for (int32_t k = 1; k <= top; ++k) {
    if (!levels[k]) break;
    BinomialLevel(PlaneOrigin(pool, *levels[k - 1]), PlaneOrigin(pool, *levels[k]), pitch, w, h, 1 << (k - 1));
    levels[k]->prepared = true;
  }
}

}  // namespace vendrix::analysis
