// Corner fit (model kinds 2 and 3) on synthetic match lists: vertical scale and shear with the extended
// iterations, a robust translation at degree 0, outlier marking of the two-pass variant, and rejection
// of too few matches. (Similarity recovery, bad matches and lists no fit can use are
// tests/motion/model_fit_test.cpp's.)
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

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

TEST(FitCorner, SixMatchesUsableOnBothAxesAreEnough) {
  for (const int kind : {2, 3}) {
    // 10 matches, 5 with only an x weight: 5 usable on both axes are too few, 6 are enough.
    MatchListPtr list = MakeList(Similarity(2.0, 1.0, 0.0, 1.0), {.count = 10});
    for (uint32_t i = 0; i < 5; ++i) list->matches[i].weightY = 0.0f;
    ExpectNoMotion(Fit(list, kind, true, false, 2), 0, 2);
    list->matches[0].weightY = 1.0f;
    const model::FrameRecord r = Fit(list, kind, true, false, 2);
    EXPECT_EQ(r.count(), 10u);
    EXPECT_NEAR(r.f(model::kSlotTx), 2.0f, 1e-3f);
  }
}

}  // namespace
}  // namespace vendrix::motion
