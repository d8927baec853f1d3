// Corner fit (model kinds 2 and 3) on synthetic match lists: a similarity recovered through noise and
// outliers, vertical scale and shear with the extended iterations, a robust translation at degree 0,
// outlier marking of the two-pass variant, and rejection of too few or bad matches. (Lists no fit can
// use are tests/motion/model_fit_test.cpp's.)
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <tuple>
#include <vector>

#include "motion/camera_matrix.h"
#include "motion/fit_checks.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {
namespace {

using testing::MakeList;
using testing::MatchListPtr;
using testing::MotionFn;
using testing::Similarity;

constexpr double kDeg = std::numbers::pi / 180.0;

// Kind 2 (single pass) or 3 (two passes).
model::FrameRecord Fit(const MatchListPtr& list, int kind, bool rotation_and_scale = true, bool extended = false, uint32_t span = 1) {
  model::ModelParams p{};
  p.degreeRotation = p.degreeScale = rotation_and_scale ? 1 : 0;
  p.extended = extended ? 1 : 0;
  return FitChecked(*list, static_cast<uint32_t>(kind), span, 0, p);
}

double Error(const model::FrameRecord& r, const MotionFn& motion) { return testing::CornerError(r, motion, 960, 540); }

// 2000 matches, 0.3 px noise, 20-40 % outliers, both kinds, with and without the extended iterations.
// Bounds: translation 0.05 px, corners 0.35 px (0.2 px extended), angle 0.01 degree; the corner bound is
// set by the zoom the 8 (or 20) halving zoom steps leave, about 2 % (0.3 %) of it.
TEST(FitCorner, RecoversSimilarityWithNoiseAndOutliers) {
  for (const auto& [extended, tx, ty, theta, zoom, outliers] :
       {std::tuple{false, 6.5, -3.2, 1.5 * kDeg, 1.02, 0.2}, std::tuple{false, -4.0, 2.0, -2.0 * kDeg, 0.985, 0.4},
        std::tuple{true, 3.0, 5.0, 1.0 * kDeg, 1.03, 0.3}})
    for (const int kind : {2, 3}) {
      SCOPED_TRACE(::testing::Message() << "kind " << kind << ", extended " << extended << ", angle " << theta / kDeg);
      const MotionFn motion = Similarity(tx, ty, theta, zoom);
      const model::FrameRecord r = Fit(MakeList(motion, {.count = 2000, .noise = 0.3, .outliers = outliers, .seed = 11}), kind, true, extended);
      EXPECT_EQ(r.count(), 2000u);
      EXPECT_NEAR(r.f(model::kSlotTx), tx, 0.05);
      EXPECT_NEAR(r.f(model::kSlotTy), ty, 0.05);
      EXPECT_LT(Error(r, motion), extended ? 0.2 : 0.35);
      EXPECT_NEAR(std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)), theta, 0.01 * kDeg);
      EXPECT_NEAR(ZoomFactorFromTerm(r.f(model::kSlotZoom), 540.0f), zoom, extended ? 2e-4 : 6e-4);
    }
}

TEST(FitCorner, ExtendedIterationsFollowVerticalScaleAndShear) {
  // A rolling-shutter-like motion: 1 % vertical stretch and a 0.01 horizontal shear by row.
  const MotionFn motion = [](double x, double y, double* ox, double* oy) {
    *ox = x + 0.01 * y + 2.0;
    *oy = 1.01 * y - 1.0;
  };
  MatchListPtr list = MakeList(motion, {.count = 2000, .noise = 0.3, .outliers = 0.25});
  EXPECT_GT(Error(Fit(list, 2), motion), 1.0);  // a similarity cannot follow it
  const model::FrameRecord r = Fit(list, 2, true, true);
  EXPECT_LT(Error(r, motion), 0.3);
  EXPECT_NEAR(r.f(model::kSlotTx), 2.0, 0.05);
  EXPECT_NEAR(r.f(model::kSlotTy), -1.0, 0.05);
}

TEST(FitCorner, DegreeZeroGivesARobustTranslation) {
  for (const int kind : {2, 3}) {
    const model::FrameRecord r = Fit(MakeList(Similarity(7.25, -2.5, 0.0, 1.0), {.count = 1000, .noise = 0.3, .outliers = 0.4}), kind, false);
    EXPECT_NEAR(r.f(model::kSlotTx), 7.25, 0.05) << kind;
    EXPECT_NEAR(r.f(model::kSlotTy), -2.5, 0.05) << kind;
    for (int i = model::kSlotCorners; i < model::kSlotSpread; ++i) EXPECT_NEAR(r.f(i), 0.0f, 1e-3f) << kind;
  }
}

TEST(FitCorner, TwoPassVariantMarksOutliersInvalidSinglePassDoesNot) {
  const MotionFn motion = Similarity(3.0, 1.0, 0.5 * kDeg, 1.01);
  for (const int kind : {2, 3}) {
    MatchListPtr list = MakeList(motion, {.count = 1000, .noise = 0.3});
    for (uint32_t i = 0; i < list->count; i += 4) list->matches[i].dx += 25.0f;  // gross mismatches
    EXPECT_LT(Error(Fit(list, kind), motion), 0.3) << kind;
    uint32_t outliers_kept = 0, inliers_dropped = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
      if (i % 4 == 0) outliers_kept += list->matches[i].valid;
      else inliers_dropped += 1 - list->matches[i].valid;
    }
    EXPECT_EQ(outliers_kept, kind == 3 ? 0u : 250u);
    EXPECT_LE(inliers_dropped, kind == 3 ? 2u : 0u);
  }
}

TEST(FitCorner, TooFewOrUnusableMatchesAreSkippedOrRejected) {
  for (const int kind : {2, 3}) {
    // 10 matches, 5 with only an x weight: 5 usable on both axes are too few, 6 are enough.
    MatchListPtr list = MakeList(Similarity(2.0, 1.0, 0.0, 1.0), {.count = 10});
    for (uint32_t i = 0; i < 5; ++i) list->matches[i].weightY = 0.0f;
    ExpectNoMotion(Fit(list, kind, true, false, 2), 0, 2);
    list->matches[0].weightY = 1.0f;
    const model::FrameRecord r = Fit(list, kind, true, false, 2);
    EXPECT_EQ(r.count(), 10u);
    EXPECT_NEAR(r.f(model::kSlotTx), 2.0f, 1e-3f);
    // Bad numbers are skipped and marked invalid; a bad weight only excludes its axis.
    const MotionFn motion = Similarity(-3.0, 4.0, 1.0 * kDeg, 1.0);
    list = MakeList(motion, {.count = 200, .noise = 0.3});
    list->matches[3].dx = list->matches[4].y = list->matches[7].weightX = std::nanf("");
    list->matches[5].dy = 1e30f;   // longer than the image
    list->matches[6].x = -1e30f;   // far outside the image
    list->matches[8].weightY = std::numeric_limits<float>::infinity();
    EXPECT_LT(Error(Fit(list, kind, true, true), motion), 0.5) << kind;
    for (uint32_t i = 3; i <= 8; ++i) EXPECT_EQ(list->matches[i].valid, i < 7 ? 0 : 1) << i;
  }
}

}  // namespace
}  // namespace vendrix::motion
