#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "motion/camera_matrix.h"
#include "motion/model_fit.h"
#include "support/synthetic_matches.h"
#include "platform/heap.h"

namespace vendrix::motion {

// Test hooks defined next to the corner fit.
double CornerFitRotationSearch(MatchEntry* entries, uint32_t count, uint32_t width, uint32_t height);
double CornerFitScaleSearch(MatchEntry* entries, uint32_t count, uint32_t width, uint32_t height);

namespace {

using vendrix::testing::MakeMatches;
using vendrix::testing::MotionFn;
using vendrix::testing::Similarity;
using vendrix::testing::SyntheticOptions;

constexpr double kPi = 3.14159265358979323846;
constexpr double kDeg = kPi / 180.0;

model::ModelParams CornerParams(int kind, bool rotation, bool scale, bool extended) {
  model::ModelParams p{};
  p.fitEnabled = 1;
  p.modelKind = static_cast<uint32_t>(kind);
  p.degreeRotation = rotation ? 1 : 0;
  p.degreeScale = scale ? 1 : 0;
  p.extended = extended ? 1 : 0;
  return p;
}

// Largest error of the record's translation and of its corners (translation + offset) against the
// motion, in pixels.
struct Errors {
  double translation = 0.0;
  double corners = 0.0;
};

Errors Compare(const model::FrameRecord& r, const MotionFn& motion, double width, double height) {
  Errors e;
  double tx, ty;
  motion(0.0, 0.0, &tx, &ty);
  e.translation = std::hypot(r.f(model::kSlotTx) - tx, r.f(model::kSlotTy) - ty);
  const double hw = width / 2, hh = height / 2;
  const double nominal[4][2] = {{-hw, -hh}, {hw, -hh}, {hw, hh}, {-hw, hh}};
  for (int k = 0; k < 4; ++k) {
    double x, y;
    motion(nominal[k][0], nominal[k][1], &x, &y);
    const double ox = x - nominal[k][0] - tx, oy = y - nominal[k][1] - ty;  // expected offset
    e.corners = std::max(e.corners, std::hypot(r.f(model::kSlotCorners + 2 * k) - ox, r.f(model::kSlotCorners + 2 * k + 1) - oy));
  }
  return e;
}

void ExpectNoNaN(const model::FrameRecord& r) {
  for (int i = 0; i < model::kRecordSlots; ++i) {
    if (i == model::kSlotCount || i == model::kSlotSpan) continue;
    ASSERT_TRUE(std::isfinite(r.f(i))) << "slot " << i;
  }
}

void ExpectRejected(const model::FrameRecord& r) {
  EXPECT_EQ(r.u(model::kSlotCount), 0u);
  for (int i = model::kSlotTx; i < model::kSlotSpread; ++i) EXPECT_EQ(r.f(i), 0.0f) << "slot " << i;
  EXPECT_EQ(r.f(model::kSlotRotSin), 0.0f);
  EXPECT_EQ(r.f(model::kSlotRotCos), 1.0f);
  EXPECT_EQ(r.f(model::kSlotZoom), 0.0f);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(r.matrix()[i], i % 5 == 0 ? 1.0f : 0.0f);
}

struct Case {
  int kind;
  bool extended;
  double tx, ty, theta, zoom;
  double outliers;
};

// 2000 matches, 0.3 px noise, 20-40 % outliers, both variants, with and without the extended
// iterations. Bounds: translation 0.05 px, corners 0.35 px (0.2 px extended), angle 0.01 degree; the
// corner bound is set by the zoom the 8 (or 20) halving zoom steps leave, about 2 % (0.3 %) of it.
TEST(FitCornerMotion, RecoversSimilarityWithNoiseAndOutliers) {
  const Case cases[] = {
      {2, false, 6.5, -3.2, 1.5 * kDeg, 1.02, 0.2},   {3, false, 6.5, -3.2, 1.5 * kDeg, 1.02, 0.2},
      {2, false, -4.0, 2.0, -2.0 * kDeg, 0.985, 0.4}, {3, false, -4.0, 2.0, -2.0 * kDeg, 0.985, 0.4},
      {2, true, 3.0, 5.0, 1.0 * kDeg, 1.03, 0.3},     {3, true, 3.0, 5.0, 1.0 * kDeg, 1.03, 0.3},
  };
  for (const Case& c : cases) {
    SyntheticOptions o;
    o.count = 2000;
    o.noise = 0.3;
    o.outliers = c.outliers;
    o.seed = 11;
    const MotionFn motion = Similarity(c.tx, c.ty, c.theta, c.zoom);
    MatchList* list = MakeMatches(motion, o);
    const int64_t heap = platform::HeapLiveBlocks();
    model::FrameRecord r;
    ModelFit(CornerParams(c.kind, true, true, c.extended), r, *list, 1, false, 0);
    EXPECT_EQ(platform::HeapLiveBlocks(), heap);
    ExpectNoNaN(r);
    const Errors e = Compare(r, motion, o.width, o.height);
    EXPECT_NEAR(std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)), c.theta, 0.01 * kDeg);
    EXPECT_NEAR(ZoomFactorFromTerm(r.f(model::kSlotZoom), static_cast<float>(o.height)), c.zoom, c.extended ? 2e-4 : 6e-4);
    EXPECT_EQ(r.u(model::kSlotCount), o.count);
    EXPECT_LT(e.translation, 0.05) << c.kind << " " << c.extended;
    EXPECT_LT(e.corners, c.extended ? 0.2 : 0.35) << c.kind << " " << c.extended;
    model::MatchListRelease(list);
  }
}


TEST(FitCornerMotion, RotationAndZoomComeOutWithTheirOwnSign) {
  // Noise-free: a positive angle (x toward y, i.e. clockwise on screen) moves the bottom-right corner
  // left and down; a zoom above 1 moves every corner outward.
  SyntheticOptions o;
  o.count = 800;
  for (const bool rotation : {true, false}) {
    const MotionFn motion = rotation ? Similarity(0, 0, 2.0 * kDeg, 1.0) : Similarity(0, 0, 0.0, 1.03);
    MatchList* list = MakeMatches(motion, o);
    model::FrameRecord r;
    ModelFit(CornerParams(2, true, true, false), r, *list, 1, false, 0);
    const Errors e = Compare(r, motion, o.width, o.height);
    EXPECT_LT(e.corners, rotation ? 0.05 : 0.4) << rotation;  // 8 zoom steps leave about 2 % of the zoom
    const float* c = &r.f(model::kSlotCorners);
    if (rotation) {
      EXPECT_LT(c[4], -5.0f);
      EXPECT_GT(c[5], 10.0f);
      EXPECT_GT(r.f(model::kSlotRotSin), 0.03f);
      EXPECT_NEAR(std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)), 2.0 * kDeg, 1e-4);
    } else {
      EXPECT_LT(c[0], -6.0f);
      EXPECT_LT(c[1], -3.0f);
      EXPECT_GT(c[4], 6.0f);
      EXPECT_GT(c[5], 3.0f);
      EXPECT_GT(r.f(model::kSlotZoom), 0.9f * (0.03f - 0.001f) * o.height);
    }
    // The matrix slots hold the similarity the rotation pair and zoom term describe.
    float m[16];
    CameraMatrixFromRecord(r, static_cast<float>(o.height), m);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(r.matrix()[i], m[i], 1e-5f);
    model::MatchListRelease(list);
  }
}

TEST(FitCornerMotion, ExtendedIterationsFollowVerticalScaleAndShear) {
  // A rolling-shutter-like motion: 1 % vertical stretch and a 0.01 horizontal shear by row.
  const MotionFn motion = [](double x, double y, double* ox, double* oy) {
    *ox = x + 0.01 * y + 2.0;
    *oy = 1.01 * y - 1.0;
  };
  SyntheticOptions o;
  o.count = 2000;
  o.noise = 0.3;
  o.outliers = 0.25;
  MatchList* list = MakeMatches(motion, o);
  model::FrameRecord plain, extended;
  ModelFit(CornerParams(2, true, true, false), plain, *list, 1, false, 0);
  ModelFit(CornerParams(2, true, true, true), extended, *list, 1, false, 0);
  const Errors ep = Compare(plain, motion, o.width, o.height), ee = Compare(extended, motion, o.width, o.height);
  EXPECT_GT(ep.corners, 1.0);  // a similarity cannot follow it
  EXPECT_LT(ee.corners, 0.3);
  EXPECT_LT(ee.translation, 0.05);
  model::MatchListRelease(list);
}

TEST(FitCornerMotion, DegreeZeroGivesARobustTranslation) {
  SyntheticOptions o;
  o.count = 1000;
  o.noise = 0.3;
  o.outliers = 0.4;
  const MotionFn motion = Similarity(7.25, -2.5, 0.0, 1.0);
  for (const int kind : {2, 3}) {
    MatchList* list = MakeMatches(motion, o);
    model::FrameRecord r;
    ModelFit(CornerParams(kind, false, false, false), r, *list, 1, false, 0);
    EXPECT_LT(Compare(r, motion, o.width, o.height).translation, 0.05) << kind;
    for (int i = model::kSlotCorners; i < model::kSlotSpread; ++i) EXPECT_NEAR(r.f(i), 0.0f, 1e-3f) << kind;
    model::MatchListRelease(list);
  }
}

TEST(FitCornerValidity, TwoPassVariantMarksOutliersInvalidSinglePassDoesNot) {
  SyntheticOptions o;
  o.count = 1000;
  o.noise = 0.3;
  const MotionFn motion = Similarity(3.0, 1.0, 0.5 * kDeg, 1.01);
  for (const int kind : {2, 3}) {
    MatchList* list = MakeMatches(motion, o);
    for (uint32_t i = 0; i < list->count; i += 4) list->matches[i].dx += 25.0f;  // gross mismatches
    model::FrameRecord r;
    ModelFit(CornerParams(kind, true, true, false), r, *list, 1, false, 0);
    uint32_t outliers_kept = 0, inliers_dropped = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
      if (i % 4 == 0) outliers_kept += list->matches[i].valid;
      else inliers_dropped += 1 - list->matches[i].valid;
    }
    if (kind == 3) {
      EXPECT_EQ(outliers_kept, 0u);
      EXPECT_LE(inliers_dropped, 2u);
    } else {
      EXPECT_EQ(outliers_kept, (list->count + 3) / 4);
      EXPECT_EQ(inliers_dropped, 0u);
    }
    EXPECT_LT(Compare(r, motion, o.width, o.height).corners, 0.3) << kind;
    model::MatchListRelease(list);
  }
}

TEST(FitCornerValidity, FewerThanSixUsableMatchesAreRejected) {
  const int64_t heap = platform::HeapLiveBlocks();
  SyntheticOptions o;
  o.count = 10;
  MatchList* list = MakeMatches(Similarity(2.0, 1.0, 0.0, 1.0), o);
  for (const int kind : {2, 3}) {
    // 10 matches, 5 with only an x weight: 5 usable on both axes.
    for (uint32_t i = 0; i < 5; ++i) list->matches[i].weightY = 0.0f;
    model::FrameRecord r;
    ModelFit(CornerParams(kind, true, true, false), r, *list, 2, false, 0);
    ExpectRejected(r);
    EXPECT_EQ(r.u(model::kSlotSpan), 2u);
    // One more match on both axes makes it valid.
    list->matches[0].weightY = 1.0f;
    ModelFit(CornerParams(kind, true, true, false), r, *list, 2, false, 0);
    EXPECT_EQ(r.u(model::kSlotCount), 10u);
    EXPECT_NEAR(r.f(model::kSlotTx), 2.0f, 1e-3f);
  }
  model::MatchListRelease(list);
  EXPECT_EQ(platform::HeapLiveBlocks(), heap);
}

TEST(FitCornerValidity, BadInputIsRejectedOrSkippedWithoutNaN) {
  const int64_t heap = platform::HeapLiveBlocks();
  SyntheticOptions o;
  o.count = 200;
  o.noise = 0.3;
  const MotionFn motion = Similarity(-3.0, 4.0, 1.0 * kDeg, 1.0);
  MatchList* list = MakeMatches(motion, o);
  const float nan = std::nanf("");
  list->matches[3].dx = nan;
  list->matches[4].y = nan;
  list->matches[5].dy = 1e30f;      // longer than the image
  list->matches[6].x = -1e30f;      // far outside the image
  list->matches[7].weightX = nan;   // axis excluded, match kept
  list->matches[8].weightY = std::numeric_limits<float>::infinity();
  model::FrameRecord r;
  for (const int kind : {2, 3}) {
    ModelFit(CornerParams(kind, true, true, true), r, *list, 1, false, 0);
    ExpectNoNaN(r);
    EXPECT_EQ(r.u(model::kSlotCount), o.count);
    EXPECT_LT(Compare(r, motion, o.width, o.height).corners, 0.5) << kind;
    for (uint32_t i = 3; i <= 6; ++i) EXPECT_EQ(list->matches[i].valid, 0) << i;
    EXPECT_EQ(list->matches[7].valid, 1);
  }

  // Every match bad, zero-size or huge images, all weights zero: rejected.
  for (uint32_t i = 0; i < list->count; ++i) list->matches[i].dx = nan;
  ModelFit(CornerParams(3, true, true, false), r, *list, 1, false, 0);
  ExpectRejected(r);
  model::MatchListRelease(list);
  for (int c = 0; c < 3; ++c) {
    list = MakeMatches(motion, o);
    if (c == 0) list->width = 0;
    if (c == 1) list->height = 1u << 30;
    for (uint32_t i = 0; c == 2 && i < list->count; ++i) list->matches[i].weightX = list->matches[i].weightY = 0.0f;
    ModelFit(CornerParams(2, true, true, false), r, *list, 1, false, 0);
    ExpectRejected(r);
    model::MatchListRelease(list);
  }
  EXPECT_EQ(platform::HeapLiveBlocks(), heap);
}

TEST(FitCornerValidity, AllocationFailureRejectsAndLeaksNothing) {
  SyntheticOptions o;
  o.count = 100;
  MatchList* list = MakeMatches(Similarity(1.0, 1.0, 0.0, 1.0), o);
  const int64_t heap = platform::HeapLiveBlocks();
  platform::HeapFailAllocation(1);
  model::FrameRecord r;
  ModelFit(CornerParams(3, true, true, false), r, *list, 1, false, 0);
  platform::HeapFailAllocation(0);
  ExpectRejected(r);
  EXPECT_EQ(platform::HeapLiveBlocks(), heap);
  model::MatchListRelease(list);
}

// Entries with centred positions on a grid and residuals of a known small motion.
std::vector<MatchEntry> GridEntries(double width, double height, double theta, double zoom) {
  std::vector<MatchEntry> v;
  for (int j = 0; j < 15; ++j)
    for (int i = 0; i < 25; ++i) {
      MatchEntry e{};
      e.x = static_cast<float>((i - 12) * width / 26);
      e.y = static_cast<float>((j - 7) * height / 16);
      e.dx = static_cast<float>(-theta * e.y + (zoom - 1) * e.x);
      e.dy = static_cast<float>(theta * e.x + (zoom - 1) * e.y);
      e.weightX = e.weightY = 1.0f;
      v.push_back(e);
    }
  return v;
}

TEST(FitCornerSearch, EstimatorsFindHandBuiltRotationAndZoom) {
  for (const double theta : {0.01, -0.0437, 0.3}) {
    std::vector<MatchEntry> v = GridEntries(960, 540, theta, 1.0);
    EXPECT_NEAR(CornerFitRotationSearch(v.data(), static_cast<uint32_t>(v.size()), 960, 540), theta, 1e-4);
    EXPECT_NEAR(CornerFitScaleSearch(v.data(), static_cast<uint32_t>(v.size()), 960, 540), 1.0, 2e-3);
  }
  for (const double zoom : {1.004, 0.93}) {
    std::vector<MatchEntry> v = GridEntries(960, 540, 0.0, zoom);
    EXPECT_NEAR(CornerFitScaleSearch(v.data(), static_cast<uint32_t>(v.size()), 960, 540), zoom, 1e-4);
    EXPECT_NEAR(CornerFitRotationSearch(v.data(), static_cast<uint32_t>(v.size()), 960, 540), 0.0, 1e-3);
  }
  // Slot 10 receives c / (rho + c + 1), c = diagonal / 128; the centre entry has rho = 0.
  std::vector<MatchEntry> v = GridEntries(960, 540, 0.01, 1.0);
  CornerFitRotationSearch(v.data(), static_cast<uint32_t>(v.size()), 960, 540);
  const double c = std::hypot(960.0, 540.0) / 128.0;
  EXPECT_NEAR(v[7 * 25 + 12].quality, c / (c + 1.0), 1e-6);
  EXPECT_NEAR(v[0].quality, c / (std::hypot(v[0].x, v[0].y) + c + 1.0), 1e-6);
  // A fifth of the entries replaced by gross mismatches hardly moves the L1 estimate.
  v = GridEntries(960, 540, 0.02, 1.0);
  for (size_t i = 0; i < v.size(); i += 5) v[i].dx = 40.0f, v[i].dy = -35.0f;
  EXPECT_NEAR(CornerFitRotationSearch(v.data(), static_cast<uint32_t>(v.size()), 960, 540), 0.02, 2e-4);
}

}  // namespace
}  // namespace vendrix::motion
