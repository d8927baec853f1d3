#include "analysis/corner_detector.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "platform/heap.h"

namespace vendrix::analysis {
namespace {

// ---- Plain references ----

// K(3, p) smoothing, rows then columns, edge pixels repeated; same sum order as the detector.
std::vector<float> RefSmooth(const std::vector<float>& src, int w, int h, float spread) {
  float t[4];
  SmoothingTaps(spread, t);
  auto at = [&](const std::vector<float>& p, int x, int y) {
    return p[size_t(std::clamp(y, 0, h - 1)) * w + std::clamp(x, 0, w - 1)];
  };
  auto taps = [&](float c, float l1, float r1, float l2, float r2, float l3, float r3) {
    return ((t[0] * c + t[1] * (l1 + r1)) + t[2] * (l2 + r2)) + t[3] * (l3 + r3);
  };
  std::vector<float> rows(src.size()), out(src.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      rows[size_t(y) * w + x] = taps(at(src, x, y), at(src, x - 1, y), at(src, x + 1, y), at(src, x - 2, y),
                                     at(src, x + 2, y), at(src, x - 3, y), at(src, x + 3, y));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      out[size_t(y) * w + x] = taps(at(rows, x, y), at(rows, x, y - 1), at(rows, x, y + 1), at(rows, x, y - 2),
                                    at(rows, x, y + 2), at(rows, x, y - 3), at(rows, x, y + 3));
  return out;
}

std::vector<float> RefResponse(const std::vector<uint8_t>& img, int w, int h) {
  const size_t n = size_t(w) * h;
  std::vector<float> lum(n), sxx(n, 0.0f), syy(n, 0.0f), sxy(n, 0.0f), r(n);
  for (size_t i = 0; i < n; ++i) lum[i] = static_cast<float>(img[i]) * 0.003921569f;
  for (int y = 1; y < h - 1; ++y)
    for (int x = 1; x < w - 1; ++x) {
      const size_t i = size_t(y) * w + x;
      const float gx = lum[i - 1] - lum[i + 1], gy = lum[i - w] - lum[i + w];
      sxx[i] = gx * gx;
      syy[i] = gy * gy;
      sxy[i] = gx * gy;
    }
  sxx = RefSmooth(sxx, w, h, 0.3f);
  syy = RefSmooth(syy, w, h, 0.3f);
  sxy = RefSmooth(sxy, w, h, 0.3f);
  for (size_t i = 0; i < n; ++i) {
    const float tr = sxx[i] + syy[i];
    r[i] = (sxx[i] * syy[i] - sxy[i] * sxy[i]) - 0.04f * (tr * tr);
  }
  return RefSmooth(r, w, h, 0.7f);
}

// M by the definition: every window pixel compared, band only.
std::vector<float> RefSuppress(const float* r, int w, int h, int d, float t) {
  std::vector<float> m(size_t(w) * h, 0.0f);
  for (int y = d; y < h - d; ++y)
    for (int x = d; x < w - d; ++x) {
      const float v = r[size_t(y) * w + x];
      bool top = v >= t;
      for (int v2 = -d; v2 <= d && top; ++v2)
        for (int u = -d; u <= d && top; ++u) top = !(v < r[size_t(y + v2) * w + x + u]);
      m[size_t(y) * w + x] = top ? v : 0.0f;
    }
  return m;
}

// The detector's planes in a scratch block, with guard bytes right behind the laid-out buffers that
// are checked when the test ends.
struct Work {
  static constexpr size_t kGuard = 256;
  DetectorScratch scratch;
  CornerPlanes planes{};
  uint8_t* guard = nullptr;
  Work(int w, int h) {
    const size_t layout = sizeof(float) * (7 * size_t(w) * h + size_t(kCornerRowBuffers) * CornerRowStride(w));
    EXPECT_TRUE(DetectorScratchReserve(scratch, std::max(CornerWorkBytes(w, h), layout + kGuard)));
    planes = CornerPlanesIn(scratch.block, w, h);
    guard = static_cast<uint8_t*>(scratch.block) + layout;
    std::memset(guard, 0xA5, kGuard);
  }
  ~Work() {
    for (size_t i = 0; i < kGuard; ++i) EXPECT_EQ(guard[i], 0xA5) << "guard byte " << i;
    DetectorScratchRelease(scratch);
  }
};

struct Image {
  int w, h;
  std::vector<uint8_t> px;
  Image(int w_, int h_, uint8_t fill = 0) : w(w_), h(h_), px(size_t(w_) * h_, fill) {}
  void Square(int x0, int y0, int size, uint8_t v) {
    for (int y = y0; y < y0 + size; ++y) std::fill_n(&px[size_t(y) * w + x0], size, v);
  }
};

// Runs the detector on an image with guard floats around the output.
std::vector<float> Detect(const Image& im, int max_corners, DetectorScratch& scratch) {
  constexpr int kGuard = 8;
  constexpr float kMark = -12345.0f;
  std::vector<float> buf(2 * size_t(max_corners) + 2 * kGuard, kMark);
  const int n = DetectCorners(im.px.data(), im.w, im.h, im.w, max_corners, scratch, buf.data() + kGuard);
  EXPECT_GE(n, 0);
  EXPECT_LE(n, max_corners);
  for (int i = 0; i < kGuard; ++i) EXPECT_EQ(buf[i], kMark);
  for (size_t i = kGuard + 2 * size_t(n); i < buf.size(); ++i) EXPECT_EQ(buf[i], kMark) << "written past the count";
  return {buf.begin() + kGuard, buf.begin() + kGuard + 2 * n};
}

// ---- Tests ----

TEST(CornerDetector, SpacingFollowsTheFrameSize) {
  EXPECT_EQ(CornerSpacing(720, 576), 7);
  EXPECT_EQ(CornerSpacing(64, 64), 2);
  EXPECT_EQ(CornerSpacing(1920, 1080), 17);
  EXPECT_EQ(CornerSpacing(960, 540), 8);
  EXPECT_EQ(CornerSpacing(320, 240), 4);  // d0 = 4: not reduced
  EXPECT_EQ(CornerSpacing(0, 0), 2);
  EXPECT_EQ(CornerSpacing(-5, 100), 2);
}

TEST(CornerDetector, ResponseMatchesThePlainPipeline) {
  std::mt19937 rng(7);
  for (const auto& [w, h] : {std::pair{5, 5}, {37, 23}, {130, 71}}) {
    Image im(w, h);
    for (auto& p : im.px) p = static_cast<uint8_t>(rng() & 0xFF);
    if (w == 130) im.Square(20, 20, 30, 255);  // saturated edges next to noise
    Work work(w, h);
    ComputeCornerResponse(im.px.data(), w, work.planes);
    const std::vector<float> ref = RefResponse(im.px, w, h);
    for (size_t i = 0; i < ref.size(); ++i) ASSERT_EQ(work.planes.response[i], ref[i]) << w << "x" << h << " at " << i;
  }
}

TEST(CornerDetector, FastSuppressionMatchesTheWindowDefinition) {
  std::mt19937 rng(11);
  for (const auto& [w, h] : {std::pair{5, 5}, {41, 29}, {97, 64}}) {
    Work work(w, h);
    for (int d = 1; d <= 17; ++d) {
      // Few distinct levels: plateaus and ties everywhere, the worst case for a "not smaller" test.
      for (size_t i = 0; i < size_t(w) * h; ++i)
        work.planes.response[i] = static_cast<float>(int(rng() % 7) - 2) * 0.001f;
      const float t = d % 2 ? 0.0f : 0.0015f;
      SuppressNonMaxima(work.planes, d, t);
      const std::vector<float> ref = RefSuppress(work.planes.response, w, h, d, t);
      for (size_t i = 0; i < ref.size(); ++i)
        ASSERT_EQ(work.planes.suppressed[i], ref[i]) << w << "x" << h << " d=" << d << " at " << i;
    }
  }
}

// The peak form finds exactly the candidates of the full suppression.
TEST(CornerDetector, PeakCandidatesMatchTheSuppressedPlane) {
  std::mt19937 rng(13);
  const int w = 83, h = 61;
  Work work(w, h);
  std::vector<int32_t> peaks(size_t(w) * h);
  std::vector<CornerCandidate> sparse(size_t(w) * h);
  for (int d = 2; d <= 12; ++d) {
    for (size_t i = 0; i < size_t(w) * h; ++i)  // around the floor, with ties
      work.planes.response[i] = static_cast<float>(rng() % 9) * 0.0003f * (rng() % 4 == 0 ? 1.0f : 0.5f);
    const float t = d % 3 == 0 ? 0.0015f : 0.0f;
    const int np = CollectPeaks(work.planes, std::min(d, 3), peaks.data());
    const int ns = PeakCandidates(work.planes, peaks.data(), np, d, t, sparse.data());
    SuppressNonMaxima(work.planes, d, t);
    const int nd = SelectCorners(work.planes, w * h);  // everything fits: raster order, unsorted
    ASSERT_EQ(ns, nd) << "d=" << d;
    const auto* dense = static_cast<const CornerCandidate*>(work.planes.candidates);
    for (int i = 0; i < nd; ++i) {
      ASSERT_EQ(sparse[i].index, dense[i].index) << "d=" << d << " #" << i;
      ASSERT_EQ(sparse[i].value, dense[i].value);
    }
  }
}

// The whole search, written plainly with the public kernels (full suppression at every spacing).
std::vector<float> PlainDetect(const Image& im, int max_corners) {
  Work work(im.w, im.h);
  ComputeCornerResponse(im.px.data(), im.w, work.planes);
  int kept = 0;
  for (int d = CornerSpacing(im.w, im.h);; --d) {
    SuppressNonMaxima(work.planes, d, CornerThreshold(work.planes, d));
    kept = SelectCorners(work.planes, max_corners);
    if (kept > 100 || d - 1 < 3) break;
  }
  std::vector<float> xy;
  for (int i = 0; i < kept; ++i) {
    const int index = static_cast<const CornerCandidate*>(work.planes.candidates)[i].index;
    xy.push_back(float(index % im.w));
    xy.push_back(float(index / im.w));
  }
  return xy;
}

TEST(CornerDetector, SearchMatchesThePlainLoopOnSparseAndBusyFrames) {
  std::mt19937 rng(17);
  Image sparse(400, 300, 40), busy(400, 300);
  sparse.Square(30, 30, 25, 240);
  sparse.Square(90, 60, 20, 180);
  for (auto& p : busy.px) p = static_cast<uint8_t>(rng() % 256);  // peaks everywhere: full suppression
  DetectorScratch scratch;
  for (const Image* im : {&sparse, &busy})
    for (int n : {5, 60, 2000}) EXPECT_EQ(Detect(*im, n, scratch), PlainDetect(*im, n)) << n;
  DetectorScratchRelease(scratch);
}

TEST(CornerDetector, ThresholdIsCappedAndZeroOnFlatResponse) {
  Work work(20, 20);
  std::fill_n(work.planes.response, 400, 0.0f);
  EXPECT_EQ(CornerThreshold(work.planes, 3), 0.0f);
  std::fill_n(work.planes.response, 400, 1.0f);
  EXPECT_EQ(CornerThreshold(work.planes, 3), 0.0009f);
  EXPECT_EQ(CornerThreshold(work.planes, 10), 0.0f);  // empty band
  // Lowering the spacing adds exactly one ring to the band's sum of squares.
  std::mt19937 rng(19);
  for (int i = 0; i < 400; ++i) work.planes.response[i] = static_cast<float>(rng() % 1000) * 1e-4f;
  for (int d = 2; d <= 9; ++d)
    EXPECT_NEAR(BandSquares(work.planes, d) + RingSquares(work.planes, d - 1), BandSquares(work.planes, d - 1),
                1e-5f * BandSquares(work.planes, d - 1)) << d;
  EXPECT_EQ(RingSquares(work.planes, 9), 0.0f);  // band 10 is empty
}

// The selection rules on a hand-made suppressed plane.
class Selection : public ::testing::Test {
 protected:
  static constexpr int kW = 16, kH = 16;
  Work work{kW, kH};
  void SetUp() override { std::fill_n(work.planes.suppressed, kW * kH, 0.0f); }
  void Put(int index, float v) { work.planes.suppressed[index] = v; }
  std::vector<int> Kept(int max_corners) {
    const int n = SelectCorners(work.planes, max_corners);
    const auto* c = static_cast<const CornerCandidate*>(work.planes.candidates);
    std::vector<int> idx;
    for (int i = 0; i < n; ++i) idx.push_back(c[i].index);
    return idx;
  }
};

TEST_F(Selection, AllCandidatesInRasterOrderWhenTheyFit) {
  Put(40, 0.01f);
  Put(20, 0.5f);
  Put(200, 0.0008f);  // not above the floor
  Put(90, 0.0009f);
  EXPECT_EQ(Kept(3), (std::vector<int>{20, 40, 90}));
  EXPECT_EQ(Kept(0), std::vector<int>{});
}

TEST_F(Selection, UpToFourTimesTheLimitKeepsTheStrongestInOrderOfStrength) {
  const float v[] = {0.002f, 0.009f, 0.005f, 0.009f, 0.001f, 0.007f, 0.003f, 0.004f};
  for (int i = 0; i < 8; ++i) Put(10 * i + 5, v[i]);
  EXPECT_EQ(Kept(2), (std::vector<int>{15, 35}));          // 8 = 4n: equal values keep raster order
  EXPECT_EQ(Kept(5), (std::vector<int>{15, 35, 55, 25, 75}));
}

TEST_F(Selection, BeyondFourTimesTheWeakAreDroppedFirst) {
  // 9 candidates for a limit of 2: mean 0.02, weak = M <= 0.005.
  for (int i = 0; i < 7; ++i) Put(i * 20, 0.001f + 0.0005f * i);  // all weak
  Put(150, 0.09f);
  Put(30, 0.0555f);
  EXPECT_EQ(Kept(2), (std::vector<int>{30, 150}));  // two left: raster order, not sorted
  Put(250, 0.06f);  // 10 candidates, three strong for a limit of 2: sorted
  EXPECT_EQ(Kept(2), (std::vector<int>{150, 250}));
}

TEST(CornerDetector, FlatImageHasNoCorners) {
  DetectorScratch scratch;
  for (uint8_t v : {0, 128, 255}) EXPECT_TRUE(Detect(Image(96, 80, v), 2000, scratch).empty());
  DetectorScratchRelease(scratch);
}

// Squares of 12 pixels, 30 apart: every detected corner is integer-valued and lies at a square corner,
// and every square corner is found.
TEST(CornerDetector, FindsTheCornersOfSquares) {
  Image im(200, 140);
  std::vector<std::pair<float, float>> truth;
  for (int y0 = 20; y0 + 12 < 120; y0 += 30)
    for (int x0 = 20; x0 + 12 < 180; x0 += 30) {
      im.Square(x0, y0, 12, 200);
      for (int c = 0; c < 4; ++c) truth.emplace_back(x0 + (c & 1 ? 11.5f : -0.5f), y0 + (c & 2 ? 11.5f : -0.5f));
    }
  DetectorScratch scratch;
  const std::vector<float> xy = Detect(im, 2000, scratch);
  ASSERT_EQ(xy.size(), 2 * truth.size());
  auto near = [](float ax, float ay, float bx, float by) { return std::fabs(ax - bx) <= 1.5f && std::fabs(ay - by) <= 1.5f; };
  for (size_t i = 0; i < xy.size(); i += 2) {
    EXPECT_EQ(xy[i], std::floor(xy[i]));
    EXPECT_EQ(xy[i + 1], std::floor(xy[i + 1]));
    EXPECT_TRUE(std::any_of(truth.begin(), truth.end(), [&](auto t) { return near(xy[i], xy[i + 1], t.first, t.second); }))
        << xy[i] << "," << xy[i + 1];
  }
  for (auto t : truth) {
    bool found = false;
    for (size_t i = 0; i < xy.size(); i += 2) found |= near(xy[i], xy[i + 1], t.first, t.second);
    EXPECT_TRUE(found) << t.first << "," << t.second;
  }
  // Fewer than 4n candidates: the limit keeps the strongest, sorted.
  const std::vector<float> few = Detect(im, 10, scratch);
  EXPECT_EQ(few.size(), 20u);
  DetectorScratchRelease(scratch);
}

// Two squares 6 pixels apart: their facing corners are one window apart at spacing 7 but separate
// maxima at spacing 3. With few corners the spacing is lowered and both appear; with more than 100 the
// first spacing stands.
TEST(CornerDetector, LowersTheSpacingOnlyWhileCornersAreFew) {
  auto close_pair_found = [](Image& im, size_t* count) {
    im.Square(300, 300, 14, 255);
    im.Square(320, 300, 14, 150);
    DetectorScratch scratch;
    const std::vector<float> xy = Detect(im, 2000, scratch);
    DetectorScratchRelease(scratch);
    *count = xy.size() / 2;
    int facing = 0;  // top corners between the two squares
    for (size_t i = 0; i < xy.size(); i += 2) facing += (xy[i] >= 312 && xy[i] <= 321 && xy[i + 1] <= 305) ? 1 : 0;
    return facing;
  };
  ASSERT_EQ(CornerSpacing(720, 576), 7);
  Image sparse(720, 576);
  size_t n = 0;
  EXPECT_EQ(close_pair_found(sparse, &n), 2);
  EXPECT_EQ(n, 8u);
  Image busy(720, 576);
  for (int y0 = 30; y0 < 250; y0 += 40)
    for (int x0 = 30; x0 < 690; x0 += 40) busy.Square(x0, y0, 14, 255);  // 17 x 6 squares, 408 corners
  EXPECT_EQ(close_pair_found(busy, &n), 1);
  EXPECT_GT(n, 100u);
}

TEST(CornerDetector, BottomUpRowsGiveTheSameCorners) {
  Image im(90, 70);
  im.Square(20, 15, 20, 220);
  im.Square(55, 40, 15, 90);
  Image flipped(90, 70);
  for (int y = 0; y < 70; ++y) std::memcpy(&flipped.px[size_t(69 - y) * 90], &im.px[size_t(y) * 90], 90);
  DetectorScratch scratch;
  std::vector<float> a(200), b(200);
  const int na = DetectCorners(im.px.data(), 90, 70, 90, 100, scratch, a.data());
  const int nb = DetectCorners(&flipped.px[size_t(69) * 90], 90, 70, -90, 100, scratch, b.data());
  EXPECT_EQ(na, 8);
  EXPECT_EQ(na, nb);
  EXPECT_EQ(a, b);
  DetectorScratchRelease(scratch);
}

TEST(CornerDetector, BadArgumentsWriteNothing) {
  Image im(64, 64);
  im.Square(20, 20, 20, 255);
  DetectorScratch scratch;
  float xy[8] = {};
  const float zero[8] = {};
  EXPECT_EQ(DetectCorners(nullptr, 64, 64, 64, 4, scratch, xy), 0);
  EXPECT_EQ(DetectCorners(im.px.data(), 64, 64, 64, 4, scratch, nullptr), 0);
  EXPECT_EQ(DetectCorners(im.px.data(), 64, 64, 64, 0, scratch, xy), 0);
  EXPECT_EQ(DetectCorners(im.px.data(), 64, 64, 63, 4, scratch, xy), 0);   // rows overlap
  EXPECT_EQ(DetectCorners(im.px.data(), 4, 64, 64, 4, scratch, xy), 0);    // narrower than the band
  EXPECT_EQ(DetectCorners(im.px.data(), 64, -3, 64, 4, scratch, xy), 0);
  EXPECT_EQ(DetectCorners(im.px.data(), 40000, 2, 40000, 4, scratch, xy), 0);
  EXPECT_EQ(std::memcmp(xy, zero, sizeof(xy)), 0);
  EXPECT_EQ(scratch.block, nullptr);  // nothing was allocated for them
  EXPECT_EQ(DetectCorners(im.px.data(), 64, 64, 64, 4, scratch, xy), 4);
  DetectorScratchRelease(scratch);
}

TEST(CornerDetector, ScratchGrowsOnlyAndMemoryFailureGivesNoCorners) {
  const int64_t live = platform::HeapLiveBlocks();
  Image big(120, 90), small(60, 50);
  big.Square(30, 30, 20, 255);
  small.Square(10, 10, 20, 255);
  DetectorScratch scratch;
  platform::HeapFailAllocation(1);
  EXPECT_TRUE(Detect(big, 50, scratch).empty());
  EXPECT_EQ(scratch.block, nullptr);
  EXPECT_EQ(Detect(big, 50, scratch).size(), 8u);  // four corners
  void* block = scratch.block;
  EXPECT_EQ(platform::HeapLiveBlocks(), live + 1);
  EXPECT_EQ(Detect(small, 50, scratch).size(), 8u);
  EXPECT_EQ(Detect(big, 50, scratch).size(), 8u);
  EXPECT_EQ(scratch.block, block);  // no reallocation for the same or a smaller frame
  DetectorScratchRelease(scratch);
  EXPECT_EQ(platform::HeapLiveBlocks(), live);
}

}  // namespace
}  // namespace vendrix::analysis
