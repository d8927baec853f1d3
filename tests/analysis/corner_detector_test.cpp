// The corner detector on images with known answers: the spacing growing with the frame size, the corners of squares
// (also stored bottom-up), none on a flat image; the Harris corners of the fine refinement against
// OpenCV's own selection. The row kernels are checked at every instruction-set
// level in tests/kernels; the golden test pins the detector's output on real frames.
#include "analysis/corner_detector.h"
#include "analysis/harris_corners.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

namespace vendrix::analysis {
namespace {

// The spacing grows with the frame from 2 and is never smaller at a larger frame (its scale is a tuning
// constant, judged by the tracker's recovered motion with the own detector).
TEST(CornerSpacing, GrowsWithTheFrameFromTwo) {
  EXPECT_EQ(CornerSpacing(0, 0), 2);
  for (int32_t w = 16, last = 2; w <= 4096; w += 16) {
    const int32_t d = CornerSpacing(w, w * 9 / 16);
    EXPECT_GE(d, last) << w;
    last = d;
  }
}

// The corners of a w x h image as (x, y) pairs; pitch -w stores it bottom-up.
std::vector<float> Detect(const std::vector<uint8_t>& px, int32_t w, int32_t h, int32_t pitch) {
  DetectorScratch scratch;
  std::vector<float> xy(4000);
  const uint8_t* row0 = pitch < 0 ? px.data() + size_t(w) * (h - 1) : px.data();
  xy.resize(2 * size_t(DetectCorners(row0, w, h, pitch, 2000, scratch, xy.data())));
  DetectorScratchRelease(scratch);
  return xy;
}

struct Rectangles {
  int32_t side, gap;
  uint8_t ground, value;
};
class CornersOf : public ::testing::TestWithParam<Rectangles> {};

// A grid of squares (none when their side is 0: a flat image): as many corners as the squares have,
// one within a pixel of each square corner (the point between the pixels inside and outside it), and
// the same corners from the image stored bottom-up.
TEST_P(CornersOf, SquaresAreFoundWithinAPixel) {
  const Rectangles p = GetParam();
  const int32_t w = 200, h = 140;
  std::vector<uint8_t> px(w * h, p.ground), flipped(w * h);
  std::vector<std::pair<float, float>> truth;
  for (int32_t y0 = 20; p.side > 0 && y0 + p.side < h - 20; y0 += p.side + p.gap)
    for (int32_t x0 = 20; x0 + p.side < w - 20; x0 += p.side + p.gap) {
      for (int32_t y = y0; y < y0 + p.side; ++y) std::fill_n(&px[y * w + x0], p.side, p.value);
      for (int c = 0; c < 4; ++c) truth.emplace_back(x0 - 0.5f + (c & 1) * p.side, y0 - 0.5f + (c >> 1) * p.side);
    }
  for (int32_t y = 0; y < h; ++y) std::copy_n(&px[y * w], w, &flipped[(h - 1 - y) * w]);
  const std::vector<float> xy = Detect(px, w, h, w);
  EXPECT_EQ(Detect(flipped, w, h, -w), xy);
  ASSERT_EQ(xy.size(), 2 * truth.size());
  for (const auto& [x, y] : truth) {
    bool found = false;
    for (size_t i = 0; i < xy.size(); i += 2) found |= std::fabs(xy[i] - x) <= 1.0f && std::fabs(xy[i + 1] - y) <= 1.0f;
    EXPECT_TRUE(found) << "no corner near " << x << ", " << y;
  }
}
INSTANTIATE_TEST_SUITE_P(Grids, CornersOf,
                         ::testing::Values(Rectangles{12, 18, 0, 200}, Rectangles{20, 15, 40, 180},
                                           Rectangles{9, 25, 128, 255}, Rectangles{0, 0, 128, 0}));

// The Harris corners of the fine refinement are goodFeaturesToTrack's at the distance that ends the run:
// on busy images the first distance is enough, on sparse ones the run goes down to the last.
TEST(HarrisCornersTest, AreThoseOfGoodFeaturesToTrackAtTheFinalDistance) {
  cv::RNG rng(23);
  for (const int blobs : {3000, 120, 20}) {
    cv::Mat image(240, 320, CV_8UC1, cv::Scalar(90));
    for (int i = 0; i < blobs; ++i)
      cv::circle(image, cv::Point(rng.uniform(0, 320), rng.uniform(0, 240)), rng.uniform(1, 6),
                 cv::Scalar(rng.uniform(0, 256)), cv::FILLED);
    cv::GaussianBlur(image, image, cv::Size(3, 3), 0.8);
    for (const HarrisPlan plan : {HarrisPlan{0.00015, 7, 200, 4}, HarrisPlan{0.0004, 6, 100, 5}}) {
      std::vector<cv::Point2f> ours, reference;
      HarrisCorners(image, plan, 2000, ours);
      int distance = plan.start_distance;
      for (;; --distance) {
        cv::goodFeaturesToTrack(image, reference, 2000, plan.quality, distance, cv::noArray(), 3, true, 0.04);
        if (int(reference.size()) > plan.enough || distance - 1 < plan.min_distance) break;
      }
      ASSERT_EQ(ours, reference) << blobs << " blobs, distance " << distance;
    }
  }
  std::vector<cv::Point2f> none{{1, 1}};
  HarrisCorners(cv::Mat(), HarrisPlan{0.0004, 6, 100, 5}, 2000, none);
  EXPECT_TRUE(none.empty());
}

}  // namespace
}  // namespace vendrix::analysis
