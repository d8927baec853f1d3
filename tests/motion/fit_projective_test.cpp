// Projective fit (model kinds 6 and 7) on synthetic match lists: the aspect factor, the three outcomes
// (full record, no motion with the count kept, complete rejection), the search order and the wide
// search. (Recovery of each known motion, exact without noise and outliers, bad matches and lists no
// fit can use are tests/motion/model_fit_test.cpp's, for every model.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "motion/fit_checks.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {
namespace {

using testing::CameraMotion;
using testing::CornerError;
using testing::MakeList;
using testing::MatchListPtr;
using testing::MotionFn;

model::FrameRecord Fit(const MatchListPtr& list, uint32_t kind = model::kModelProjective, uint32_t flags = 0, uint32_t span = 1) {
  return FitChecked(*list, kind, span, flags);
}

// Rejected by the search: match count and span 0, no motion, every match invalid.
void ExpectCompleteRejection(const model::FrameRecord& r, const MatchList& list) {
  ExpectNoMotion(r);
  for (uint32_t i = 0; i < list.count; ++i) EXPECT_TRUE(list.matches[i].valid == 0 && list.matches[i].fitValue == 1e6f) << i;
}

uint32_t ValidCount(const MatchList& list) {
  return static_cast<uint32_t>(std::count_if(list.matches, list.matches + list.count, [](const MatchEntry& e) { return e.valid != 0; }));
}

TEST(FitProjective, AspectFactorKeepsPositionsInAnalysisPixels) {
  // Analysis pixels twice as wide as tall: a 2 degree rotation of the displayed image with a shift of
  // (6, -2) analysis pixels.
  const double a = 2.0, theta = 2 * kDeg, c = std::cos(theta), s = std::sin(theta);
  const MotionFn motion = [=](double x, double y, double* ox, double* oy) {
    *ox = (c * x * a - s * y) / a + 6;
    *oy = s * x * a + c * y - 2;
  };
  MatchListPtr list = MakeList(motion, {.width = 480});
  list->aspectFactor = static_cast<float>(a);
  list->matches[3].x += 4;  // a match found 4 analysis pixels off keeps that residual
  list->matches[3].dx += 4;
  const model::FrameRecord r = Fit(list);
  for (float outside : {0.05f, 11.0f}) {  // factors outside 0.1 .. 10 mean square pixels
    MatchListPtr square(model::MatchListCreate(1, 1, 8, 8, outside));
    EXPECT_EQ(square->aspectFactor, 1.0f) << outside;
  }
  EXPECT_NEAR(list->matches[3].dx, 4, 1e-3);
  EXPECT_NEAR(r.f(model::kSlotTx), 6, 1e-3);
  EXPECT_NEAR(r.f(model::kSlotTy), -2, 1e-3);
  EXPECT_NEAR(std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)), theta, 1e-5);
  EXPECT_LT(CornerError(r, motion, 480, 540), 0.05);
}

TEST(FitProjective, TooFewPointsNoWeightsOrTooLargeAnErrorRejectCompletely) {
  const MotionFn motion = CameraMotion(2, 1, 0, 1, 0, 0);
  for (uint32_t n : {1u, 2u, 3u, 4u}) {
    MatchListPtr list = MakeList(motion, {.count = n});
    ExpectCompleteRejection(Fit(list), *list);
  }
  MatchListPtr list = MakeList(motion, {});
  for (uint32_t i = 0; i < list->count; ++i) (i % 2 ? list->matches[i].weightX : list->matches[i].weightY) = 0;
  ExpectCompleteRejection(Fit(list), *list);
  for (uint32_t i = 0; i < list->count; ++i) EXPECT_EQ(list->matches[i].quality, -1.0f);
  // 64 x 48 image: limit 1.5 after least median of squares, 3 after the RANSAC retry. Errors of about
  // 5 px exceed both; the same motion measured with 0.2 px noise passes.
  list = MakeList(motion, {.width = 64, .height = 48, .count = 300, .noise = 5.0});
  ExpectCompleteRejection(Fit(list), *list);
  EXPECT_EQ(Fit(MakeList(motion, {.width = 64, .height = 48, .count = 300, .noise = 0.2})).count(), 300u);
}

TEST(FitProjective, PoorSpreadGivesNoMotionWithCountKept) {
  // 60 matches bunched within 15 px of the centre, then 20 well-spread ones (fewer than 25 inliers).
  MatchListPtr bunched = MakeList(CameraMotion(5, 0, 0, 1, 0, 0), {.width = 30, .height = 30, .count = 60});
  bunched->width = 960;
  bunched->height = 540;
  for (uint32_t i = 0; i < bunched->count; ++i) bunched->matches[i].x += 465, bunched->matches[i].y += 255;
  MatchListPtr sparse = MakeList(CameraMotion(5, 0, 0, 1, 0, 0), {.count = 20});
  for (MatchListPtr* list : {&bunched, &sparse}) {
    ExpectNoMotion(Fit(*list, model::kModelProjective, 0, 3), (*list)->count, 1);
    EXPECT_EQ(ValidCount(**list), (*list)->count);  // the matches keep their marks
  }
}

TEST(FitProjective, Kind7StartsWithRansacAndKind6RetriesWithIt) {
  const MotionFn motion = CameraMotion(3, -2, 0.01, 1.0, 0, 0);
  auto worst = [](const MatchList& l) {
    float m = 0;
    for (uint32_t i = 0; i < l.count; ++i) m = l.matches[i].valid ? std::max(m, l.matches[i].fitValue) : m;
    return std::sqrt(m);
  };
  // 6 px noise: least median of squares (kind 6) passes its limit and keeps errors far beyond what
  // RANSAC at 6 px (kind 7) accepts.
  MatchListPtr lmeds = MakeList(motion, {.count = 1000, .noise = 6.0, .seed = 5});
  MatchListPtr ransac = MakeList(motion, {.count = 1000, .noise = 6.0, .seed = 5});
  ASSERT_GT(Fit(lmeds, model::kModelProjective).count(), 0u);
  ASSERT_GT(Fit(ransac, model::kModelProjectiveRansac).count(), 0u);
  EXPECT_GT(worst(*lmeds), 12.0f);
  EXPECT_LT(worst(*ransac), 8.0f);
  // 9 px noise: the least-median error exceeds 1.5 x the limit, so kind 6 retries with RANSAC and ends
  // exactly where kind 7 starts.
  lmeds = MakeList(motion, {.count = 1000, .noise = 9.0, .seed = 5});
  ransac = MakeList(motion, {.count = 1000, .noise = 9.0, .seed = 5});
  const model::FrameRecord a = Fit(lmeds, model::kModelProjective), b = Fit(ransac, model::kModelProjectiveRansac);
  EXPECT_GT(a.count(), 0u);
  EXPECT_EQ(std::memcmp(&a, &b, sizeof(a)), 0);
  EXPECT_EQ(ValidCount(*lmeds), ValidCount(*ransac));
}

TEST(FitProjective, WideSearchFollowsLargeMotion) {
  const MotionFn motion = CameraMotion(70, -45, 4 * kDeg, 1.05, 0, 0);
  for (uint32_t kind : {model::kModelProjective, model::kModelProjectiveRansac}) {
    MatchListPtr list = MakeList(motion, {.count = 2000, .noise = 0.3, .outliers = 0.25, .outlier_range = 150, .seed = 3});
    EXPECT_LT(CornerError(Fit(list, kind, kHomographyWideSearch), motion, 960, 540), 0.25);
    EXPECT_NEAR(ValidCount(*list), 1500, 100);
  }
}

}  // namespace
}  // namespace vendrix::motion
