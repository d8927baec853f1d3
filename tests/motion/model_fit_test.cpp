// The model fit driver: pre-filters, compaction, the translation fit with its bilinear corner
// refinement, the records of disabled, empty and corrupt lists; the corner fit (kinds 2 and 3) on
// what only it does; and what every fitted model (corner, camera, projective) must do: recover known
// camera motion through noise and outliers, skip bad matches, and give the no-motion record for a list
// it cannot use.
#include "motion/model_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "motion/camera_matrix.h"
#include "motion/fit_checks.h"
#include "platform/heap.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {
namespace {

using testing::MakeList;
using testing::MatchListPtr;
using testing::MotionFn;
using testing::Similarity;


model::FrameRecord RunTranslationFit(MatchList& list, uint8_t degree_rotation = 0, uint8_t enabled = 1, uint32_t span = 1) {
  model::ModelParams p{};
  p.fitEnabled = enabled;
  p.modelKind = model::kModelTranslation;
  p.degreeRotation = degree_rotation;
  model::FrameRecord r;
  for (auto& s : r.s) s.u = 0xFFFFFFFFu;
  ModelFit(p, r, list, span, true, 0);
  return r;
}

MatchListPtr Shift(uint32_t n, double dx, double dy) { return MakeList(Similarity(dx, dy, 0.0, 1.0), {.count = n, .seed = 3}); }

TEST(ModelFit, PrefiltersDropFarMatchesAndCompactionKeepsTheOrder) {
  for (uint32_t n : {20u, 21u}) {  // kind 1 acts from 21 matches on
    MatchListPtr list = Shift(n, 1.0, 0.0);
    list->matches[0].dx = 50.0f;
    PrefilterMatches(1, *list);
    EXPECT_EQ(list->matches[0].valid, n == 20 ? 1 : 0) << n;
    EXPECT_EQ(list->matches[1].valid, 1);
  }
  MatchListPtr list = Shift(10, 0.0, 0.0);
  for (uint32_t i = 0; i < list->count; ++i) list->matches[i].dx = 0.1f;  // kind 2 keeps a steady scene
  list->matches[4].dx = 9.0f;
  list->matches[7].dy = std::nanf("");  // NaN never passes
  PrefilterMatches(2, *list);
  const float x5 = list->matches[5].x;
  CompactMatches(*list);
  EXPECT_EQ(list->count, 8u);
  EXPECT_EQ(list->matches[4].x, x5);
}

TEST(ModelFit, TranslationIsTheMeanPerAxisAndExcludedAxesStayZero) {
  MatchListPtr list = Shift(50, 2.5, -1.5);
  model::FrameRecord r = RunTranslationFit(*list);
  EXPECT_EQ(r.count(), 50u);
  EXPECT_EQ(r.span(), 1u);
  EXPECT_NEAR(r.f(model::kSlotTx), 2.5f, 1e-4f);
  EXPECT_NEAR(r.f(model::kSlotTy), -1.5f, 1e-4f);
  for (uint32_t i = 0; i < list->count; ++i) list->matches[i].weightX = 0.0f;
  r = RunTranslationFit(*list);
  EXPECT_EQ(r.f(model::kSlotTx), 0.0f);
  EXPECT_NEAR(r.f(model::kSlotTy), -1.5f, 1e-4f);
}

TEST(ModelFit, BilinearRefinementMovesTheRightCornersOnly) {
  // A displacement that grows linearly to the right, from 0 at the left edge to 4 px at the right.
  MatchListPtr list = MakeList([](double x, double y, double* ox, double* oy) { *ox = x + 4.0 * (x + 480.0) / 960.0, *oy = y; },
                                        {.count = 2000});
  const model::FrameRecord r = RunTranslationFit(*list, 1);
  EXPECT_NEAR(r.f(model::kSlotTx), 2.0f, 0.2f);
  // Offsets relative to the translation: about -+2/3 of the true -+2 on the left / right corners.
  for (int k = 0; k < 4; ++k) {
    EXPECT_NEAR(std::fabs(r.f(model::kSlotCorners + 2 * k)), 0.67f, 0.2f) << k;
    EXPECT_EQ(r.f(model::kSlotCorners + 2 * k) > 0, k == 1 || k == 2) << k;
  }
}

TEST(ModelFit, DisabledEmptyAndCorruptLists) {
  const int64_t before = platform::HeapLiveBlocks();
  MatchListPtr list = Shift(30, 1.0, 1.0);
  model::FrameRecord r = RunTranslationFit(*list, 0, 0);
  for (auto& s : r.s) ASSERT_EQ(s.u, 0u);  // a disabled fit leaves a zero record
  list->count = 0;
  r = RunTranslationFit(*list, 0, 1, 2);
  EXPECT_EQ(r.span(), 2u);
  EXPECT_EQ(r.count(), 0u);
  list->count = 1u << 30;  // beyond the capacity: measured as nothing, not read out of bounds
  EXPECT_EQ(RunTranslationFit(*list).count(), 0u);
  list.reset();
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

// ---- The corner fit (kinds 2 and 3): its extended iterations, degree 0 and the fewest matches it
// fits (its outlier marking: the every-model test) ----

model::FrameRecord CornerFit(const MatchListPtr& list, int kind, bool rotation_and_scale = true, bool extended = false, uint32_t span = 1) {
  model::ModelParams p{};
  p.degreeRotation = p.degreeScale = rotation_and_scale ? 1 : 0;
  p.extended = extended ? 1 : 0;
  return FitChecked(*list, static_cast<uint32_t>(kind), span, 0, p);
}

TEST(FitCorner, ExtendedIterationsFollowVerticalScaleAndShear) {
  // A rolling-shutter-like motion: 1 % vertical stretch and a 0.01 horizontal shear by row.
  const MotionFn motion = [](double x, double y, double* ox, double* oy) {
    *ox = x + 0.01 * y + 2.0;
    *oy = 1.01 * y - 1.0;
  };
  MatchListPtr list = MakeList(motion, {.count = 2000, .noise = 0.3, .outliers = 0.25});
  EXPECT_GT(testing::CornerError(CornerFit(list, 2), motion, 960, 540), 1.0);  // a similarity cannot follow it
  const model::FrameRecord r = CornerFit(list, 2, true, true);
  EXPECT_LT(testing::CornerError(r, motion, 960, 540), 0.3);
  EXPECT_NEAR(r.f(model::kSlotTx), 2.0, 0.05);
  EXPECT_NEAR(r.f(model::kSlotTy), -1.0, 0.05);
}

TEST(FitCorner, DegreeZeroGivesARobustTranslation) {
  for (const int kind : {2, 3}) {
    const model::FrameRecord r = CornerFit(MakeList(Similarity(7.25, -2.5, 0.0, 1.0), {.count = 1000, .noise = 0.3, .outliers = 0.4}), kind, false);
    EXPECT_NEAR(r.f(model::kSlotTx), 7.25, 0.05) << kind;
    EXPECT_NEAR(r.f(model::kSlotTy), -2.5, 0.05) << kind;
    for (int i = model::kSlotCorners; i < model::kSlotSpread; ++i) EXPECT_NEAR(r.f(i), 0.0f, 1e-3f) << kind;
  }
}

TEST(FitCorner, SixMatchesUsableOnBothAxesAreEnough) {
  for (const int kind : {2, 3}) {
    // 10 matches, 5 with only an x weight: 5 usable on both axes are too few, 6 are enough.
    MatchListPtr list = MakeList(Similarity(2.0, 1.0, 0.0, 1.0), {.count = 10});
    for (uint32_t i = 0; i < 5; ++i) list->matches[i].weightY = 0.0f;
    ExpectNoMotion(CornerFit(list, kind, true, false, 2), 0, 2);
    list->matches[0].weightY = 1.0f;
    const model::FrameRecord r = CornerFit(list, kind, true, false, 2);
    EXPECT_EQ(r.count(), 10u);
    EXPECT_NEAR(r.f(model::kSlotTx), 2.0f, 1e-3f);
  }
}

// ---- Every fitted model ----

// Known camera motions recovered by every model that can express them (the corner fits have no tilts)
// from 2000 matches with 0.3 px noise and 20 or 40 % outliers up to 30 px off (60 % for the projective
// fits), and noise-free with 30 % and with none (then the projective fits are exact, keeping every
// match). Bounds per family: translation (px), rotation (deg), zoom factor, tilts (deg), corners (px,
// noisy and noise-free); matches farther than `marked` px end invalid (the single-pass corner fit
// marks none), and at least the share `kept` of those within 1 px stays valid. The camera fits'
// bounds are about three standard deviations over 40 seeds (no measurable bias); the corner fits'
// corners are set by the zoom their halving steps leave, the projective fits' marking by RANSAC's
// acceptance of 6 px.
struct Family {
  double translation, rotation, zoom, tilt, corners, clean_corners, marked, kept;
};
constexpr Family kCornerFits{0.05, 0.03, 1e-3, 0, 0.5, 0.5, 3, 0.995}, kCameraFits{0.05, 0.005, 1e-4, 0.025, 0.15, 0.01, 3, 0.995},
    kProjectiveFits{0.1, 0.015, 3e-4, 0.05, 0.4, 0.15, 12, 0.95};

double Degrees(float sine, float cosine) { return std::atan2(sine, cosine) / kDeg; }

class EveryModel : public ::testing::TestWithParam<std::pair<int, uint32_t>> {};

TEST_P(EveryModel, RecoversTheCameraMotionAndMarksTheOutliers) {
  const Truth& t = kMotions[GetParam().first];
  const uint32_t kind = GetParam().second;
  const Family& b = kind <= model::kModelCornersTwoPass ? kCornerFits : kind <= model::kModelCameraCoarse ? kCameraFits : kProjectiveFits;
  const MotionFn motion = Motion(t);
  model::ModelParams p{};
  p.degreeRotation = p.degreeScale = 1;
  for (const auto& [noise, outliers] : {std::pair{0.3, 0.2}, std::pair{0.3, 0.4}, std::pair{0.0, 0.3}, std::pair{0.3, 0.6}, std::pair{0.0, 0.0}}) {
    if (outliers > 0.5 && kind < model::kModelProjective) continue;  // beyond half outliers: the projective fits only
    const bool exact = noise == 0 && outliers == 0 && kind >= model::kModelProjective;  // every match kept, exact
    SCOPED_TRACE(::testing::Message() << "noise " << noise << ", outliers " << outliers);
    MatchListPtr list = MakeList(motion, {.count = 2000, .noise = noise, .outliers = outliers, .seed = 11u + GetParam().first});
    std::vector<double> off(list->count);  // how far from where the motion takes the match
    for (uint32_t i = 0; i < list->count; ++i) {
      const MatchEntry& e = list->matches[i];
      double mx, my;
      motion(e.x - kWidth / 2 - e.dx, e.y - kHeight / 2 - e.dy, &mx, &my);
      off[i] = std::hypot(e.x - kWidth / 2 - mx, e.y - kHeight / 2 - my);
    }
    const model::FrameRecord r = FitChecked(*list, kind, 2, 0, p);
    ASSERT_GT(r.count(), 0u);
    EXPECT_EQ(r.span(), 2u);
    EXPECT_NEAR(r.f(model::kSlotTx), t.tx, b.translation);
    EXPECT_NEAR(r.f(model::kSlotTy), t.ty, b.translation);
    EXPECT_NEAR(Degrees(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)), t.rotation, b.rotation);
    EXPECT_NEAR(ZoomFactorFromTerm(r.f(model::kSlotZoom), kHeight), t.zoom, b.zoom);
    if (kind >= model::kModelCamera) {  // both tilt terms, and the tilt angle pairs saying the same
      EXPECT_NEAR(std::atan(r.f(model::kSlotTiltA)) / kDeg, t.tiltA, b.tilt);
      EXPECT_NEAR(std::atan(r.f(model::kSlotTiltB)) / kDeg, t.tiltB, b.tilt);
      EXPECT_NEAR(Degrees(r.f(model::kSlotTilt1Sin), r.f(model::kSlotTilt1Cos)), t.tiltA, b.tilt);
      EXPECT_NEAR(Degrees(r.f(model::kSlotTilt2Sin), r.f(model::kSlotTilt2Cos)), t.tiltB, b.tilt);
    }
    EXPECT_LT(testing::CornerError(r, motion, kWidth, kHeight), exact ? 0.01 : noise > 0 ? b.corners : b.clean_corners);
    float rebuilt[16];  // the slots describe the same motion as the matrix (a homography's only when exact)
    CameraMatrixFromRecord(r, static_cast<float>(kHeight), rebuilt);
    for (int i = 0; i < 16 && (kind < model::kModelProjective || exact); ++i) EXPECT_NEAR(rebuilt[i], r.matrix()[i], 1e-5) << i;
    for (int i = model::kSlotBands; i < model::kRecordSlots; ++i) ASSERT_EQ(r.f(i), 0.0f) << "no wobble in the data";
    uint32_t good = 0, good_kept = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
      const MatchEntry& e = list->matches[i];
      // The single-pass corner fit marks nothing; the others every match beyond `marked`.
      ASSERT_TRUE((kind == model::kModelCorners ? e.valid : off[i] <= b.marked || !e.valid) && (!exact || e.valid)) << "match " << i;
      if (off[i] < 1.0) ++good, good_kept += e.valid;
      if (kind >= model::kModelProjective) {  // residuals replaced by what the model leaves
        ASSERT_NEAR(e.fitValue, e.valid ? e.dx * e.dx + e.dy * e.dy : 1e6f, 1e-3f) << i;
      }
    }
    EXPECT_GE(good_kept, good * b.kept);
  }
}

std::vector<std::pair<int, uint32_t>> ExpressibleMotions() {
  std::vector<std::pair<int, uint32_t>> cases;
  for (int m = 0; m < static_cast<int>(std::size(kMotions)); ++m)
    for (uint32_t kind = model::kModelCorners; kind <= model::kModelProjectiveRansac; ++kind)
      if (kind >= model::kModelCamera || (kMotions[m].tiltA == 0 && kMotions[m].tiltB == 0)) cases.emplace_back(m, kind);
  return cases;
}
INSTANTIATE_TEST_SUITE_P(Motions, EveryModel, ::testing::ValuesIn(ExpressibleMotions()), [](const auto& test) {
  return std::string(kMotions[test.param.first].name) + "_kind" + std::to_string(test.param.second);
});

// Non-finite or absurd coordinates and displacements, bad weights and a match a pre-filter dropped
// (not compacted), with every fitted model: the rest of the list still gives the motion, the bad
// matches end invalid, and a bad weight only excludes its axis in the corner fits.
TEST(ModelFit, BadMatchesAreSkippedAndMarkedInvalidWithEveryModel) {
  const float bad[] = {std::nanf(""), std::numeric_limits<float>::infinity(), 1e30f, -3e38f};
  const MotionFn motion = Similarity(-3.0, 4.0, 0.01, 1.0);
  model::ModelParams p{};
  p.degreeRotation = p.degreeScale = p.extended = 1;
  for (uint32_t kind = model::kModelCorners; kind <= model::kModelProjectiveRansac; ++kind) {
    SCOPED_TRACE(::testing::Message() << "kind " << kind);
    MatchListPtr list = MakeList(motion, {.count = 1000, .noise = 0.3, .seed = 12});
    for (uint32_t i = 0; i < list->count; i += 10) (i % 20 ? list->matches[i].dx : list->matches[i].y) = bad[i / 10 % 4];
    list->matches[5].x = -1e30f;  // far outside the image
    list->matches[7].weightX = std::nanf("");
    list->matches[8].weightY = std::numeric_limits<float>::infinity();
    list->matches[9].valid = 0;
    EXPECT_LT(testing::CornerError(FitChecked(*list, kind, 1, 0, p), motion, 960, 540), 0.3);
    for (uint32_t i = 0; i < list->count; i += 10) EXPECT_EQ(list->matches[i].valid, 0) << i;
    EXPECT_EQ(list->matches[5].valid, 0);
    EXPECT_EQ(list->matches[9].valid, 0);
    EXPECT_TRUE(kind > model::kModelCornersTwoPass || (list->matches[7].valid && list->matches[8].valid));
    EXPECT_TRUE(kind < model::kModelProjective || (list->matches[0].quality == -1.0f && list->matches[9].quality == -1.0f));
  }
}

// Every match unusable, no weights, a zero (or, for the corner and camera fits, absurd) image size, or
// no memory: the corner, camera and projective fits all give the no-motion record (the corner fits keep the span), and the projective
// fits also mark every match invalid with the rejection residual.
TEST(ModelFit, UnusableListsGiveTheNoMotionRecordWithEveryModel) {
  const float nan = std::nanf("");
  const std::function<void(MatchList&)> spoilers[] = {
      [&](MatchList& l) { for (uint32_t i = 0; i < l.count; ++i) l.matches[i].dx = l.matches[i].x = nan; },
      [](MatchList& l) { for (uint32_t i = 0; i < l.count; ++i) l.matches[i].weightX = l.matches[i].weightY = 0; },
      [](MatchList& l) { l.width = 0; },
      [](MatchList& l) { l.height = 0; },
      [](MatchList& l) { l.height = 1u << 30; },
      [](MatchList&) { platform::HeapFailAllocation(1); },
  };
  for (uint32_t kind = model::kModelCorners; kind <= model::kModelProjectiveRansac; ++kind)
    for (size_t k = 0; k < std::size(spoilers); ++k) {
      if (k == 4 && kind >= model::kModelProjective) continue;  // a case of the corner and camera fits, which refuse it
      SCOPED_TRACE(::testing::Message() << "kind " << kind << ", spoiler " << k);
      MatchListPtr list = MakeList(Similarity(-3.0, 4.0, 0.0, 1.0), {.count = 300, .noise = 0.3});
      spoilers[k](*list);
      const model::FrameRecord r = FitChecked(*list, kind);
      platform::HeapFailAllocation(0);
      ExpectNoMotion(r, 0, kind <= model::kModelCornersTwoPass ? 1 : 0);
      for (uint32_t i = 0; i < list->count && kind >= model::kModelProjective; ++i)
        ASSERT_TRUE(list->matches[i].valid == 0 && list->matches[i].fitValue == 1e6f) << i;
    }
}

}  // namespace
}  // namespace vendrix::motion
