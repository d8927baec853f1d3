#include "analysis/frame_planes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "platform/heap.h"

namespace vendrix::analysis {
namespace {

class PlanePool : public ::testing::Test {
 protected:
  void SetUp() override {
    before_ = platform::HeapLiveBlocks();
    pool_ = model::FramePlanePoolCreate(40, 30);
    ASSERT_NE(pool_, nullptr);
  }
  void TearDown() override {
    model::FramePlanePoolRelease(pool_);
    EXPECT_EQ(platform::HeapLiveBlocks(), before_);
  }
  int InUse() const {
    int n = 0;
    for (const model::FramePlane& p : pool_->planes) n += p.useCount > 0;
    return n;
  }
  model::FramePlanePool* pool_ = nullptr;
  int64_t before_ = 0;
};

TEST_F(PlanePool, WindowsShareThePlanesOfEarlierEntries) {
  FrameWindow w0, w1;
  ASSERT_TRUE(AcquireWindow(*pool_, 0, w0));
  EXPECT_EQ(w0.entries, 1);
  ASSERT_TRUE(AcquireWindow(*pool_, 6, w1));
  EXPECT_EQ(w1.entries, 5);  // entries 6, 5, 4, 3, 2
  EXPECT_EQ(InUse(), 4 + 20);
  ReleaseWindow(w0);
  FrameWindow w2;
  ASSERT_TRUE(AcquireWindow(*pool_, 7, w2));
  EXPECT_EQ(w2.planes[1][2], w1.planes[0][2]);  // entry 6 level 2, shared
  EXPECT_EQ(w2.planes[1][2]->useCount, 2);
  EXPECT_EQ(w2.planes[0][0]->entry, 7);
  ReleaseWindow(w1);
  ReleaseWindow(w2);
  EXPECT_EQ(InUse(), 0);
  // Released planes stay keyed: the next window over the same entries finds them again.
  model::FramePlane* entry7 = nullptr;
  for (model::FramePlane& p : pool_->planes)
    if (p.entry == 7 && p.level == 0) entry7 = &p;
  FrameWindow w3;
  ASSERT_TRUE(AcquireWindow(*pool_, 7, w3));
  EXPECT_EQ(w3.planes[0][0], entry7);
  ReleaseWindow(w3);
}

TEST_F(PlanePool, ExhaustionDropsEveryReferenceOfTheFailedWindow) {
  FrameWindow held[2];
  ASSERT_TRUE(AcquireWindow(*pool_, 4, held[0]));   // 20 planes
  ASSERT_TRUE(AcquireWindow(*pool_, 40, held[1]));  // 20 more: 40 of 52 in use
  FrameWindow extra;
  EXPECT_FALSE(AcquireWindow(*pool_, 100, extra));  // needs 20, only 12 free
  EXPECT_EQ(InUse(), 40);
  for (const auto& entry : extra.planes)
    for (model::FramePlane* p : entry) EXPECT_EQ(p, nullptr);
  ReleaseWindow(held[0]);
  EXPECT_TRUE(AcquireWindow(*pool_, 100, extra));
  ReleaseWindow(extra);
  ReleaseWindow(held[1]);
}

// A bordered plane of random pixels for the filters, with an independent copy to compute the reference.
struct TestPlane {
  static constexpr int kB = 4;
  int w, h, pitch;
  std::vector<uint8_t> px;
  TestPlane(int width, int height, uint32_t seed) : w(width), h(height), pitch(width + 2 * kB), px(size_t(pitch) * (height + 2 * kB), 0) {
    std::mt19937 rng(seed);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) *At(x, y) = static_cast<uint8_t>(rng() % 256);
  }
  uint8_t* Origin() { return px.data() + kB * pitch + kB; }
  uint8_t* At(int x, int y) { return Origin() + y * pitch + x; }
  int Get(int x, int y) { return *At(x, y); }
};

int Clamp(int v) { return std::clamp(v, 0, 255); }

TEST(PlaneFilters, HighPassAndMedianMatchAPlainReference) {
  TestPlane a(23, 17, 5), ref = a;
  HighPassFilter(a.Origin(), a.pitch, a.w, a.h);
  for (int y = 0; y < a.h; ++y)
    for (int x = 0; x < a.w; ++x) {
      int ring = 0;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx)
          if (dx || dy) ring += ref.Get(x + dx, y + dy);
      ASSERT_EQ(a.Get(x, y), Clamp((16 * ref.Get(x, y) - ring) / 2)) << x << "," << y;
    }

  TestPlane s(23, 17, 6), sref = s;
  SmoothPrefilter(s.Origin(), s.pitch, s.w, s.h);
  // Reference: horizontal, vertical, then the 3 x 3 median, each from the previous stage's full result.
  TestPlane hz = sref, vt = sref;
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x) {
      const int p = sref.Get(x, y);
      *hz.At(x, y) = static_cast<uint8_t>(Clamp(p - (2 * p - sref.Get(x - 1, y) - sref.Get(x + 1, y)) / 8));
    }
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x) {
      const int p = hz.Get(x, y);
      *vt.At(x, y) = static_cast<uint8_t>(Clamp(p - (2 * p - hz.Get(x, y - 1) - hz.Get(x, y + 1)) / 8));
    }
  for (int y = 0; y < s.h; ++y)
    for (int x = 0; x < s.w; ++x) {
      std::vector<int> v;
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) v.push_back(vt.Get(x + dx, y + dy));
      std::nth_element(v.begin(), v.begin() + 4, v.end());
      ASSERT_EQ(s.Get(x, y), v[4]) << x << "," << y;
    }
}

TEST(PlaneFilters, ContrastStretchPivotsOnTheRmsAndNeverDarkensLowContrast) {
  TestPlane a(16, 16, 1);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) *a.At(x, y) = static_cast<uint8_t>(100 + (x + y) % 8);
  ContrastStretch(a.Origin(), a.pitch, a.w, a.h);
  // Mean ~103.5 is just below the RMS, so the gain is about 1.875: the range 100..107 widens.
  int lo = 255, hi = 0;
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) lo = std::min(lo, a.Get(x, y)), hi = std::max(hi, a.Get(x, y));
  EXPECT_GE(hi - lo, 12);
  EXPECT_LE(hi - lo, 14);
  EXPECT_EQ(a.Get(-1, 0), 0);  // the border is not touched
}

TEST(PlaneFilters, BinomialLevelsSpreadTheirTaps) {
  for (int tap : {1, 2, 4}) {
    TestPlane src(20, 12, 10 + tap), dst(20, 12, 99);
    BinomialLevel(src.Origin(), dst.Origin(), src.pitch, src.w, src.h, tap);
    for (int y = 0; y < src.h; ++y)
      for (int x = 0; x < src.w; ++x) {
        int sum = 0;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx)
            sum += (2 - std::abs(dx)) * (2 - std::abs(dy)) * src.Get(x + dx * tap, y + dy * tap);
        ASSERT_EQ(dst.Get(x, y), (sum + 8) >> 4) << tap << " " << x << "," << y;
      }
  }
}

}  // namespace
}  // namespace vendrix::analysis
