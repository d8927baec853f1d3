#include "motion/model_fit.h"

#include <gtest/gtest.h>

#include <cmath>

#include "support/synthetic_matches.h"
#include "platform/heap.h"

namespace vendrix::motion {
namespace {

using vendrix::testing::MakeMatches;
using vendrix::testing::Similarity;
using vendrix::testing::SyntheticOptions;

model::ModelParams TranslationParams() {
  model::ModelParams p{};
  p.fitEnabled = 1;
  p.modelKind = model::kModelTranslation;
  return p;
}

MatchList* Shift(uint32_t n, double dx, double dy, uint32_t seed = 3) {
  SyntheticOptions o;
  o.count = n;
  o.seed = seed;
  return MakeMatches(Similarity(dx, dy, 0.0, 1.0), o);
}

TEST(ModelFitPrefilter, KindOneNeedsTwentyOneMatchesAndDropsTheFarOnes) {
  for (uint32_t n : {20u, 21u}) {
    MatchList* list = Shift(n, 1.0, 0.0);
    list->matches[0].dx = 50.0f;  // one far outlier
    PrefilterMatches(1, *list);
    EXPECT_EQ(list->matches[0].valid, n == 20 ? 1 : 0) << n;
    EXPECT_EQ(list->matches[1].valid, 1);
    model::MatchListRelease(list);
  }
}

TEST(ModelFitPrefilter, KindTwoToleratesASteadySceneAndCompactionKeepsOrder) {
  MatchList* list = Shift(10, 0.0, 0.0);
  for (uint32_t i = 0; i < list->count; ++i) list->matches[i].dx = 0.1f;  // all alike: all kept
  list->matches[4].dx = 9.0f;
  list->matches[7].dy = std::nanf("");
  PrefilterMatches(2, *list);
  EXPECT_EQ(list->matches[4].valid, 0);
  EXPECT_EQ(list->matches[7].valid, 0);  // NaN never passes
  const float x5 = list->matches[5].x;
  CompactMatches(*list);
  EXPECT_EQ(list->count, 8u);
  EXPECT_EQ(list->matches[4].x, x5);
  model::MatchListRelease(list);
}

TEST(ModelFitTranslation, WeightedMeansPerAxisAndExcludedAxes) {
  MatchList* list = Shift(50, 2.5, -1.5);
  model::FrameRecord r;
  ModelFit(TranslationParams(), r, *list, 1, false, 0);
  EXPECT_EQ(r.u(model::kSlotCount), 50u);
  EXPECT_EQ(r.u(model::kSlotSpan), 1u);
  EXPECT_NEAR(r.f(model::kSlotTx), 2.5f, 1e-4f);
  EXPECT_NEAR(r.f(model::kSlotTy), -1.5f, 1e-4f);
  for (uint32_t i = 0; i < list->count; ++i) list->matches[i].weightX = 0.0f;
  ModelFit(TranslationParams(), r, *list, 1, false, 0);
  EXPECT_EQ(r.f(model::kSlotTx), 0.0f);
  EXPECT_NEAR(r.f(model::kSlotTy), -1.5f, 1e-4f);
  model::MatchListRelease(list);
}

TEST(ModelFitTranslation, BilinearRefinementRecoversCornerOffsets) {
  // A displacement field that grows linearly to the right: corners 1 and 2 move, 0 and 3 do not.
  SyntheticOptions o;
  o.count = 2000;
  MatchList* list = MakeMatches(
      [&](double x, double y, double* ox, double* oy) {
        const double u = (x + o.width / 2.0) / o.width;
        *ox = x + 4.0 * u;
        *oy = y;
      },
      o);
  model::ModelParams p = TranslationParams();
  p.degreeRotation = 1;
  model::FrameRecord r;
  ModelFit(p, r, *list, 1, false, 0);
  EXPECT_NEAR(r.f(model::kSlotTx), 2.0f, 0.2f);
  // Offsets relative to the translation: negative on the left corners, positive on the right ones
  // (a single weighted pass with broad bilinear weights gives about -+2/3 of the true -+2).
  EXPECT_LT(r.f(model::kSlotCorners + 0), -0.5f);
  EXPECT_GT(r.f(model::kSlotCorners + 2), 0.5f);
  EXPECT_GT(r.f(model::kSlotCorners + 4), 0.5f);
  EXPECT_LT(r.f(model::kSlotCorners + 6), -0.5f);
  model::MatchListRelease(list);
}

TEST(ModelFitDispatch, DisabledEmptyAndCorruptLists) {
  const int64_t before = platform::HeapLiveBlocks();
  MatchList* list = Shift(30, 1.0, 1.0);
  model::FrameRecord r;
  for (auto& s : r.s) s.u = 0xFFFFFFFFu;
  model::ModelParams off = TranslationParams();
  off.fitEnabled = 0;
  ModelFit(off, r, *list, 2, false, 0);
  for (auto& s : r.s) ASSERT_EQ(s.u, 0u);  // a disabled fit leaves a zero record

  list->count = 0;
  ModelFit(TranslationParams(), r, *list, 2, false, 0);
  EXPECT_EQ(r.u(model::kSlotSpan), 2u);
  EXPECT_EQ(r.u(model::kSlotCount), 0u);

  list->count = 1u << 30;  // beyond the capacity: measured as nothing, not read out of bounds
  ModelFit(TranslationParams(), r, *list, 1, true, 0);
  EXPECT_EQ(r.u(model::kSlotCount), 0u);
  model::MatchListRelease(list);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

}  // namespace
}  // namespace vendrix::motion
