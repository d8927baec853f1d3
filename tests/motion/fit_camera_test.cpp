// Camera fit (model kinds 4 and 5) on synthetic match lists with known camera motion: per-band wobble,
// the implausible-tilt limit, rejection of what the model cannot explain, and single-axis matches.
// (Recovery of known motion through noise and outliers, bad matches and lists no fit can use are
// tests/motion/model_fit_test.cpp's, for every model.)
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <tuple>
#include <vector>

#include "motion/fit_checks.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {
namespace {

using testing::MatchListPtr;

const Truth& kCombined = kMotions[5];

MatchListPtr MakeList(const Truth& t, uint32_t count, double noise, double outliers, uint32_t seed, std::vector<double> band_x = {}) {
  return testing::MakeList(Motion(t, std::move(band_x)), {.count = count, .noise = noise, .outliers = outliers, .seed = seed});
}

model::FrameRecord Fit(const MatchListPtr& list, int variant) {
  return FitChecked(*list, variant ? model::kModelCameraCoarse : model::kModelCamera);
}

double Error(const model::FrameRecord& r, const Truth& t) { return testing::CornerError(r, Motion(t), kWidth, kHeight); }
double TiltDegrees(const model::FrameRecord& r, int i) { return std::atan(r.f(model::kSlotTiltA + i)) / kDeg; }
double Band(const model::FrameRecord& r, int k, int axis) { return r.f(model::kSlotBands + 2 * k + axis); }

// A 1 px wobble of 1.5 cycles with zero mean and slope over the bands is recovered (RMS band error
// about 0.07 px with 500 matches, 0.024 px with 2000) without leaking into the global motion. (Rigid
// motion giving no band values is checked with every recovered motion above.)
TEST(FitCamera, BandValuesFollowWobbleAndOnlyWobble) {
  std::vector<double> wobble(model::kBandCount);
  double s0 = 0, s1 = 0, s11 = 0;
  const double mid = 0.5 * (model::kBandCount - 1);
  for (int k = 0; k < model::kBandCount; ++k) {
    wobble[k] = std::sin(2 * std::numbers::pi * 1.5 * (k + 0.5) / model::kBandCount);
    s0 += wobble[k], s1 += (k - mid) * wobble[k], s11 += (k - mid) * (k - mid);
  }
  for (int k = 0; k < model::kBandCount; ++k) wobble[k] -= s0 / model::kBandCount + s1 / s11 * (k - mid);
  for (const int variant : {0, 1}) {
    for (const auto& [count, bound] : {std::pair{500u, 0.1}, std::pair{2000u, 0.05}}) {
      MatchListPtr list = MakeList(kCombined, count, 0.3, 0.25, 8, wobble);
      const model::FrameRecord r = Fit(list, variant);
      double err2 = 0;
      for (int k = 0; k < model::kBandCount; ++k) {
        err2 += (Band(r, k, 0) - wobble[k]) * (Band(r, k, 0) - wobble[k]);
        EXPECT_EQ(Band(r, k, 1), 0.0f);  // no vertical wobble
      }
      EXPECT_LT(std::sqrt(err2 / model::kBandCount), bound) << count << " matches";
      EXPECT_LT(Error(r, kCombined), 0.2);
    }
  }
}

TEST(FitCamera, ImplausibleAndUnexplainableMotionIsRejected) {
  for (const int variant : {0, 1}) {
    // A tilt beyond the plausible range is never reported: the fit rejects or stays within 10 degrees.
    for (const Truth t : {Truth{"", 0, 0, 0, 1, 20, 0}, Truth{"", 0, 0, 0, 1, 0, -25}}) {
      const model::FrameRecord r = Fit(MakeList(t, 1000, 0.3, 0.2, 4), variant);
      EXPECT_LE(std::fabs(TiltDegrees(r, 0)), 10.0 + 1e-4);
      EXPECT_LE(std::fabs(TiltDegrees(r, 1)), 10.0 + 1e-4);
    }
    // 960 x 540: limit 7.3 px. Noise of 8 px per axis cannot be fitted within it, random displacements
    // are no camera motion at all, and seven matches are too few; eight are enough.
    for (const auto& [count, noise, outliers] : {std::tuple{1000u, 8.0, 0.0}, std::tuple{1000u, 0.0, 1.0}, std::tuple{7u, 0.0, 0.0}})
      ExpectNoMotion(Fit(MakeList(kMotions[1], count, noise, outliers, 5), variant));
    const model::FrameRecord r = Fit(MakeList(kMotions[1], 8, 0.0, 0.0, 5), variant);
    EXPECT_EQ(r.count(), 8u);
    EXPECT_LT(Error(r, kMotions[1]), 0.05);
  }
  // 64 x 36: the diagonal gives a limit of 0.49 px, raised to 1 px. Noise of 0.45 px per axis (0.64 px
  // RMS) passes, 1.2 px (1.7 px RMS) does not.
  for (const auto& [noise, accepted] : {std::pair{0.45, true}, std::pair{1.2, false}}) {
    MatchListPtr list = testing::MakeList(testing::Similarity(1.5, -0.5, 0.01, 1.0), {.width = 64, .height = 36, .count = 200, .noise = noise, .seed = 9});
    EXPECT_EQ(Fit(list, 0).count() > 0, accepted) << "noise " << noise;
  }
}

TEST(FitCamera, SingleAxisMatchesCount) {
  MatchListPtr list = MakeList(kCombined, 2000, 0.3, 0.2, 13);
  // Half the matches measured only in x, the other half only in y.
  for (uint32_t i = 0; i < list->count; ++i) (i % 2 ? list->matches[i].weightX : list->matches[i].weightY) = 0;
  EXPECT_LT(Error(Fit(list, 0), kCombined), 0.25);
}

}  // namespace
}  // namespace vendrix::motion
