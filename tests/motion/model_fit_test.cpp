// The model fit driver: pre-filters, compaction, the translation fit with its bilinear corner
// refinement, the records of disabled, empty and corrupt lists, and the no-motion record every fitted
// model gives a list it cannot use.
#include "motion/model_fit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "motion/fit_checks.h"
#include "platform/heap.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {
namespace {

using testing::MatchListPtr;

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

MatchListPtr Shift(uint32_t n, double dx, double dy) { return testing::MakeList(testing::Similarity(dx, dy, 0.0, 1.0), {.count = n, .seed = 3}); }

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
  MatchListPtr list = testing::MakeList([](double x, double y, double* ox, double* oy) { *ox = x + 4.0 * (x + 480.0) / 960.0, *oy = y; },
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
      MatchListPtr list = testing::MakeList(testing::Similarity(-3.0, 4.0, 0.0, 1.0), {.count = 300, .noise = 0.3});
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
