// The plane pool's windows (sharing, exhaustion, no leaks) and the prefilters on small planes with
// hand-computed results: step edges through the smoothing prefilter, a spike through the high-pass.
// (The contrast stretch and the binomial levels, which every block measurement reads, run in the
// golden block-matching profiles and the block matcher's shift recovery.)
#include "analysis/frame_planes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "support/warm_pools.h"

namespace vendrix::analysis {
namespace {

class PlanePool : public vendrix::testing::LiveBlocksTest {
 protected:
  void SetUp() override {
    LiveBlocksTest::SetUp();
    pool_ = model::FramePlanePoolCreate(40, 30);
    ASSERT_NE(pool_, nullptr);
  }
  void TearDown() override {
    model::FramePlanePoolRelease(pool_);
    LiveBlocksTest::TearDown();
  }
  int InUse() const {
    return static_cast<int>(std::count_if(std::begin(pool_->planes), std::end(pool_->planes),
                                          [](const model::FramePlane& p) { return p.useCount > 0; }));
  }
  model::FramePlanePool* pool_ = nullptr;
};

TEST_F(PlanePool, WindowsShareThePlanesOfEarlierEntries) {
  FrameWindow w0, w1, w2, w3;
  ASSERT_TRUE(AcquireWindow(*pool_, 0, w0));
  EXPECT_EQ(w0.entries, 1);
  ASSERT_TRUE(AcquireWindow(*pool_, 6, w1));
  EXPECT_EQ(w1.entries, 5);  // entries 6, 5, 4, 3, 2
  EXPECT_EQ(InUse(), 4 + 20);
  ReleaseWindow(w0);
  ASSERT_TRUE(AcquireWindow(*pool_, 7, w2));
  EXPECT_EQ(w2.planes[1][2], w1.planes[0][2]);  // entry 6 level 2, shared
  EXPECT_EQ(w2.planes[1][2]->useCount, 2);
  model::FramePlane* entry7 = w2.planes[0][0];
  EXPECT_EQ(entry7->entry, 7);
  ReleaseWindow(w1);
  ReleaseWindow(w2);
  EXPECT_EQ(InUse(), 0);
  // Released planes stay keyed: the next window over the same entries finds them again.
  ASSERT_TRUE(AcquireWindow(*pool_, 7, w3));
  EXPECT_EQ(w3.planes[0][0], entry7);
  ReleaseWindow(w3);
}

TEST_F(PlanePool, ExhaustionDropsEveryReferenceOfTheFailedWindow) {
  FrameWindow held[2], extra;
  ASSERT_TRUE(AcquireWindow(*pool_, 4, held[0]));   // 20 planes
  ASSERT_TRUE(AcquireWindow(*pool_, 40, held[1]));  // 20 more: 40 of 52 in use
  EXPECT_FALSE(AcquireWindow(*pool_, 100, extra));  // needs 20, only 12 free
  EXPECT_EQ(InUse(), 40);
  for (const auto& entry : extra.planes)
    for (model::FramePlane* p : entry) EXPECT_EQ(p, nullptr);
  ReleaseWindow(held[0]);
  EXPECT_TRUE(AcquireWindow(*pool_, 100, extra));
  ReleaseWindow(extra);
  ReleaseWindow(held[1]);
}

// A plane of w x h pixels inside a border of 4 zero bytes.
struct TestPlane {
  static constexpr int kB = 4;
  int w, h, pitch;
  std::vector<uint8_t> px;
  TestPlane(int width, int height, uint8_t fill)
      : w(width), h(height), pitch(width + 2 * kB), px(size_t(pitch) * (height + 2 * kB), 0) {
    for (int y = 0; y < h; ++y) std::fill_n(At(0, y), w, fill);
  }
  uint8_t* Origin() { return px.data() + kB * pitch + kB; }
  uint8_t* At(int x, int y) { return Origin() + y * pitch + x; }
};

TEST(PlaneFilters, SmoothPrefilterSoftensAStepEdgeByAnEighthEachWay) {
  // 40 | 200 at column 12 (then row 8): each 1-2-1 pass moves the two edge pixels by 160 / 8 towards
  // each other (60, 180); the median keeps that profile. Rim pixels, which see the zero border, aside.
  for (bool vertical_edge : {true, false}) {
    TestPlane p(23, 17, 40);
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x)
        if ((vertical_edge ? x >= 12 : y >= 8)) *p.At(x, y) = 200;
    SmoothPrefilter(p.Origin(), p.pitch, p.w, p.h);
    for (int y = 2; y < p.h - 2; ++y)
      for (int x = 2; x < p.w - 2; ++x) {
        const int d = vertical_edge ? x - 12 : y - 8;
        ASSERT_EQ(*p.At(x, y), d <= -2 ? 40 : d == -1 ? 60 : d == 0 ? 180 : 200) << x << "," << y;
      }
  }
}

TEST(PlaneFilters, HighPassOfASpikeClampsAndReadsTheBorder) {
  // (16 p - ring) / 2 on a plane of 10 with one pixel of 200 at (5, 5).
  TestPlane p(23, 17, 10);
  *p.At(5, 5) = 200;
  HighPassFilter(p.Origin(), p.pitch, p.w, p.h);
  EXPECT_EQ(*p.At(5, 5), 255);  // 1520 clamps
  for (int y = 1; y < p.h - 1; ++y)
    for (int x = 1; x < p.w - 1; ++x) {
      const int ring = std::max(std::abs(x - 5), std::abs(y - 5));
      if (ring > 0) {
        ASSERT_EQ(*p.At(x, y), ring == 1 ? 0 : 40) << x << "," << y;  // -55 clamps beside the spike
      }
    }
  EXPECT_EQ(*p.At(0, 0), 65);   // five neighbours in the zero border
  EXPECT_EQ(*p.At(0, 10), 55);  // three
}

}  // namespace
}  // namespace vendrix::analysis
