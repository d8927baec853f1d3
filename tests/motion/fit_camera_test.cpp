// Camera fit (model kinds 4 and 5) on synthetic match lists with known camera motion.
//
// Accuracy reached (2000 matches on 960 x 540, 0.3 px noise, 20 % and 40 % outliers, fixed seeds; over 40
// seeds the standard deviations are about 0.012 px translation, 0.0015 deg rotation, 3e-5 zoom, 0.004 /
// 0.007 deg tilts and 0.07 px mean corner error, with no measurable bias). The bounds below are about
// three standard deviations.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <numbers>
#include <string>
#include <tuple>
#include <vector>

#include "motion/camera_matrix.h"
#include "motion/model_fit.h"
#include "support/synthetic_matches.h"
#include "platform/heap.h"

namespace vendrix::motion {
namespace {

using model::MatchList;
using testing::MakeMatches;
using testing::SyntheticOptions;

constexpr double kDeg = std::numbers::pi / 180.0;
constexpr double kWidth = 960.0, kHeight = 540.0;

// A camera motion in the record's terms: translation (px), rotation (deg), zoom factor, tilt angles (deg).
struct Truth {
  double tx = 0, ty = 0, rotation = 0, zoom = 1, tiltA = 0, tiltB = 0;
};

model::FrameRecord TruthRecord(const Truth& t) {
  model::FrameRecord r;
  r.Clear();
  model::RecordReset(r);
  r.f(model::kSlotTx) = static_cast<float>(t.tx);
  r.f(model::kSlotTy) = static_cast<float>(t.ty);
  r.f(model::kSlotRotSin) = static_cast<float>(std::sin(t.rotation * kDeg));
  r.f(model::kSlotRotCos) = static_cast<float>(std::cos(t.rotation * kDeg));
  r.f(model::kSlotZoom) = ZoomTermFromFactor(static_cast<float>(t.zoom), static_cast<float>(kHeight));
  r.f(model::kSlotTiltA) = static_cast<float>(std::tan(t.tiltA * kDeg));
  r.f(model::kSlotTiltB) = static_cast<float>(std::tan(t.tiltB * kDeg));
  return r;
}

void TruthMatrix(const Truth& t, float m[16]) {
  CameraMatrixFromRecord(TruthRecord(t), static_cast<float>(kHeight), m);
}

// The camera motion of `t`, then a per-band x shift of the current rows (none when band_x is empty).
testing::MotionFn TruthMotion(const Truth& t, std::vector<double> band_x = {}) {
  float m[16];
  TruthMatrix(t, m);
  double h[9];
  HomographyFromMat4(m, h);
  const testing::MotionFn camera = testing::Homography(h);
  return [camera, band_x](double x, double y, double* ox, double* oy) {
    camera(x, y, ox, oy);
    if (band_x.empty()) return;
    const int k = static_cast<int>(std::floor((*oy + kHeight / 2) * model::kBandCount / kHeight));
    if (k >= 0 && k < model::kBandCount) *ox += band_x[k];
  };
}

MatchList* MakeList(const Truth& t, uint32_t count, double noise, double outliers, uint32_t seed,
                    std::vector<double> band_x = {}) {
  SyntheticOptions o;
  o.count = count;
  o.noise = noise;
  o.outliers = outliers;
  o.seed = seed;
  return MakeMatches(TruthMotion(t, std::move(band_x)), o);
}

// Runs the whole model fit (kind 4 or 5) and checks that it released everything it allocated.
model::FrameRecord Fit(MatchList* list, int variant) {
  model::ModelParams params{};
  params.fitEnabled = 1;
  params.modelKind = variant ? model::kModelCameraCoarse : model::kModelCamera;
  model::FrameRecord out;
  const int64_t live = platform::HeapLiveBlocks();
  ModelFit(params, out, *list, 1, false, 0);
  EXPECT_EQ(platform::HeapLiveBlocks(), live);
  return out;
}

// Largest distance between the image corners mapped by two camera matrices.
double CornerDistance(const float* a, const float* b) {
  double worst = 0;
  for (int i = 0; i < 4; ++i) {
    const float x = (i == 1 || i == 2 ? 0.5f : -0.5f) * static_cast<float>(kWidth);
    const float y = (i >= 2 ? 0.5f : -0.5f) * static_cast<float>(kHeight);
    float ax, ay, bx, by;
    Mat4Apply(a, x, y, &ax, &ay);
    Mat4Apply(b, x, y, &bx, &by);
    worst = std::max(worst, std::hypot(double{ax} - bx, double{ay} - by));
  }
  return worst;
}

double CornerError(const model::FrameRecord& r, const Truth& t) {
  float truth[16];
  TruthMatrix(t, truth);
  return CornerDistance(r.matrix(), truth);
}

double Rotation(const model::FrameRecord& r) { return std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)) / kDeg; }
double Zoom(const model::FrameRecord& r) { return ZoomFactorFromTerm(r.f(model::kSlotZoom), static_cast<float>(kHeight)); }
double TiltA(const model::FrameRecord& r) { return std::atan(r.f(model::kSlotTiltA)) / kDeg; }
double TiltB(const model::FrameRecord& r) { return std::atan(r.f(model::kSlotTiltB)) / kDeg; }
double Band(const model::FrameRecord& r, int k, int axis) { return r.f(model::kSlotBands + 2 * k + axis); }

double MaxBand(const model::FrameRecord& r) {
  double worst = 0;
  for (int i = model::kSlotBands; i < model::kRecordSlots; ++i) worst = std::max(worst, std::fabs(double{r.f(i)}));
  return worst;
}

bool AllFinite(const model::FrameRecord& r) {
  for (int i = 0; i < model::kRecordSlots; ++i)
    if (i != model::kSlotCount && i != model::kSlotSpan && !std::isfinite(r.f(i))) return false;
  return true;
}

// A rejected fit leaves exactly the no-motion record with the identity matrix (and span 0).
void ExpectRejected(const model::FrameRecord& r) {
  model::FrameRecord expected;
  expected.Clear();
  model::RecordReset(expected);
  model::RecordSetIdentityMatrix(expected);
  for (int i = 0; i < model::kRecordSlots; ++i) EXPECT_EQ(r.u(i), expected.u(i)) << "slot " << i;
}

// A valid record is one camera motion seen through every slot group the path finisher reads.
void ExpectConsistent(const model::FrameRecord& r) {
  ASSERT_TRUE(AllFinite(r));
  float m[16];
  CameraMatrixFromRecord(r, static_cast<float>(kHeight), m);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(r.matrix()[i], m[i]) << "matrix entry " << i;
  model::FrameRecord corners = r;
  CornersFromMatrix(m, static_cast<float>(kWidth), static_cast<float>(kHeight), corners);
  for (int i = model::kSlotCorners; i < model::kSlotCorners + 8; ++i) EXPECT_EQ(r.f(i), corners.f(i)) << "corner slot " << i;
  EXPECT_NEAR(std::hypot(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)), 1.0, 1e-6);
  for (int i = 0; i < 2; ++i) {  // tilt pairs: (sin, cos) of atan(tilt term)
    EXPECT_NEAR(r.f(model::kSlotTilt1Sin + 2 * i), std::sin(std::atan(r.f(model::kSlotTiltA + i))), 1e-6);
    EXPECT_NEAR(r.f(model::kSlotTilt1Cos + 2 * i), std::cos(std::atan(r.f(model::kSlotTiltA + i))), 1e-6);
  }
}

// Displacement error of each match against the truth, in px.
std::vector<double> TruthDeviation(const MatchList& list, const Truth& t) {
  float m[16], inv[16];
  TruthMatrix(t, m);
  EXPECT_TRUE(Mat4Inverse(m, inv));
  std::vector<double> out;
  for (uint32_t i = 0; i < list.count; ++i) {
    const auto& e = list.matches[i];
    float rx, ry;
    Mat4Apply(inv, e.x - static_cast<float>(kWidth / 2), e.y - static_cast<float>(kHeight / 2), &rx, &ry);
    const double cx = e.x - kWidth / 2, cy = e.y - kHeight / 2;
    out.push_back(std::hypot(e.dx - (cx - rx), e.dy - (cy - ry)));
  }
  return out;
}

struct MotionCase {
  const char* name;
  Truth truth;
};

const MotionCase kMotions[] = {
    {"translation", {7.5, -4.25, 0, 1, 0, 0}},
    {"rotation", {0, 0, 1.5, 1, 0, 0}},
    {"zoom", {0, 0, 0, 1.03, 0, 0}},
    {"tilt_about_vertical_axis", {0, 0, 0, 1, 3, 0}},
    {"tilt_about_horizontal_axis", {0, 0, 0, 1, 0, -3}},
    {"combined", {-6, 3.5, -0.8, 0.98, 1.5, 1}},
    {"large", {25, 10, 4, 1.08, 5, -4}},
};

// --- Known motion -------------------------------------------------------------------------------------

class FitCameraRecovery : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(FitCameraRecovery, RecoversMotionAndMarksOutliers) {
  const auto [motion, variant] = GetParam();
  const Truth& t = kMotions[motion].truth;
  for (const double outliers : {0.2, 0.4}) {
    SCOPED_TRACE(outliers);
    MatchList* list = MakeList(t, 2000, 0.3, outliers, 11 + motion);
    ASSERT_NE(list, nullptr);
    const std::vector<double> deviation = TruthDeviation(*list, t);
    const model::FrameRecord r = Fit(list, variant);
    ASSERT_GT(r.count(), 0u);
    EXPECT_NEAR(r.f(model::kSlotTx), t.tx, 0.05);
    EXPECT_NEAR(r.f(model::kSlotTy), t.ty, 0.05);
    EXPECT_NEAR(Rotation(r), t.rotation, 0.005);
    EXPECT_NEAR(Zoom(r), t.zoom, 1e-4);
    EXPECT_NEAR(TiltA(r), t.tiltA, 0.015);
    EXPECT_NEAR(TiltB(r), t.tiltB, 0.025);
    EXPECT_LT(CornerError(r, t), 0.15);
    EXPECT_EQ(MaxBand(r), 0.0);  // no wobble in the data
    ExpectConsistent(r);
    // Every gross outlier is marked invalid; nearly every good match stays valid.
    uint32_t good = 0, good_kept = 0;
    for (uint32_t i = 0; i < list->count; ++i) {
      if (deviation[i] > 3.0) {
        EXPECT_EQ(list->matches[i].valid, 0) << "match " << i;
      }
      if (deviation[i] < 1.0) ++good, good_kept += list->matches[i].valid;
    }
    EXPECT_GE(good_kept, good * 0.995);
    MatchListRelease(list);
  }
}

INSTANTIATE_TEST_SUITE_P(Motions, FitCameraRecovery,
                         ::testing::Combine(::testing::Range(0, static_cast<int>(std::size(kMotions))),
                                            ::testing::Values(0, 1)),
                         [](const auto& test) {
                           return std::string(kMotions[std::get<0>(test.param)].name) + "_variant" +
                                  std::to_string(std::get<1>(test.param));
                         });

TEST(FitCamera, NoiseFreeInliersAreFittedExactlyDespiteOutliers) {
  const Truth t = kMotions[5].truth;
  for (const int variant : {0, 1}) {
    MatchList* list = MakeList(t, 500, 0.0, 0.3, 3);
    const model::FrameRecord r = Fit(list, variant);
    ASSERT_GT(r.count(), 0u);
    EXPECT_LT(CornerError(r, t), 0.01);
    MatchListRelease(list);
  }
}

TEST(FitCamera, VariantsAgree) {
  for (const MotionCase& c : kMotions)
    for (const uint32_t count : {500u, 2000u}) {
      SCOPED_TRACE(c.name);
      MatchList* a = MakeList(c.truth, count, 0.3, 0.25, 21);
      MatchList* b = MakeList(c.truth, count, 0.3, 0.25, 21);
      const model::FrameRecord ra = Fit(a, 0), rb = Fit(b, 1);
      ASSERT_GT(ra.count(), 0u);
      ASSERT_GT(rb.count(), 0u);
      EXPECT_LT(CornerDistance(ra.matrix(), rb.matrix()), 0.01);
      MatchListRelease(a);
      MatchListRelease(b);
    }
}

// A tilt beyond the plausible range is never reported: the fit either rejects or stays within 10 deg.
TEST(FitCamera, ImplausibleTiltIsNotReported) {
  for (const Truth t : {Truth{0, 0, 0, 1, 20, 0}, Truth{0, 0, 0, 1, 0, -25}})
    for (const int variant : {0, 1}) {
      MatchList* list = MakeList(t, 1000, 0.3, 0.2, 4);
      const model::FrameRecord r = Fit(list, variant);
      EXPECT_TRUE(AllFinite(r));
      EXPECT_LE(std::fabs(TiltA(r)), 10.0 + 1e-4);
      EXPECT_LE(std::fabs(TiltB(r)), 10.0 + 1e-4);
      MatchListRelease(list);
    }
}

// --- Band values ----------------------------------------------------------------------------------

// A wobble profile with zero mean and zero slope over the bands: `amplitude` sine of `cycles` cycles.
std::vector<double> Wobble(double amplitude, double cycles) {
  std::vector<double> b(model::kBandCount);
  double s0 = 0, s1 = 0, s11 = 0;
  const double mid = 0.5 * (model::kBandCount - 1);
  for (int k = 0; k < model::kBandCount; ++k) {
    b[k] = amplitude * std::sin(2 * std::numbers::pi * cycles * (k + 0.5) / model::kBandCount);
    s0 += b[k];
    s1 += (k - mid) * b[k];
    s11 += (k - mid) * (k - mid);
  }
  for (int k = 0; k < model::kBandCount; ++k) b[k] -= s0 / model::kBandCount + s1 / s11 * (k - mid);
  return b;
}

TEST(FitCameraBands, StayZeroWithoutWobble) {
  for (const uint32_t count : {100u, 500u, 2000u, 8000u})
    for (uint32_t seed = 1; seed <= 5; ++seed)
      for (const int variant : {0, 1}) {
        MatchList* list = MakeList(kMotions[5].truth, count, 0.3, 0.25, seed);
        const model::FrameRecord r = Fit(list, variant);
        ASSERT_GT(r.count(), 0u);
        EXPECT_EQ(MaxBand(r), 0.0) << count << " matches, seed " << seed;
        MatchListRelease(list);
      }
}

// Accuracy: RMS band error 0.07 px (500 matches) and 0.024 px (2000) for a 1 px wobble of 1.5 cycles.
TEST(FitCameraBands, RecoverPerBandShift) {
  const Truth t = kMotions[5].truth;
  const std::vector<double> wobble = Wobble(1.0, 1.5);
  for (const auto& [count, bound] : {std::pair{500u, 0.1}, std::pair{2000u, 0.05}})
    for (const int variant : {0, 1}) {
      MatchList* list = MakeList(t, count, 0.3, 0.25, 8, wobble);
      const model::FrameRecord r = Fit(list, variant);
      ASSERT_GT(r.count(), 0u);
      double err2 = 0;
      for (int k = 0; k < model::kBandCount; ++k) {
        err2 += (Band(r, k, 0) - wobble[k]) * (Band(r, k, 0) - wobble[k]);
        EXPECT_EQ(Band(r, k, 1), 0.0f);  // no vertical wobble
      }
      EXPECT_LT(std::sqrt(err2 / model::kBandCount), bound) << count << " matches";
      // The wobble does not leak into the global motion.
      EXPECT_LT(CornerError(r, t), 0.2);
      EXPECT_NEAR(Rotation(r), t.rotation, 0.01);
      MatchListRelease(list);
    }
}

// --- Rejection ------------------------------------------------------------------------------------

TEST(FitCameraReject, ErrorAboveLimit) {
  for (const int variant : {0, 1}) {
    // 960 x 540: limit 7.3 px. Noise of 8 px per axis cannot be fitted within it.
    MatchList* noisy = MakeList(kMotions[0].truth, 1000, 8.0, 0.0, 5);
    ExpectRejected(Fit(noisy, variant));
    MatchListRelease(noisy);
    // Random displacements: no camera motion at all.
    MatchList* random = MakeList(kMotions[0].truth, 1000, 0.0, 1.0, 6);
    ExpectRejected(Fit(random, variant));
    MatchListRelease(random);
  }
}

TEST(FitCameraReject, LimitIsAtLeastOnePixel) {
  // 64 x 36: the diagonal gives 0.49 px, clamped to 1 px. Noise of 0.45 px per axis (0.64 px RMS) passes,
  // 1.2 px (1.7 px RMS) does not.
  for (const auto& [noise, accepted] : {std::pair{0.45, true}, std::pair{1.2, false}}) {
    SyntheticOptions o;
    o.width = 64;
    o.height = 36;
    o.count = 200;
    o.noise = noise;
    o.seed = 9;
    MatchList* list = MakeMatches(testing::Similarity(1.5, -0.5, 0.01, 1.0), o);
    const model::FrameRecord r = Fit(list, 0);
    EXPECT_EQ(r.count() > 0, accepted) << "noise " << noise;
    MatchListRelease(list);
  }
}

TEST(FitCameraReject, NeedsEightMatches) {
  for (const int variant : {0, 1}) {
    MatchList* seven = MakeList(kMotions[1].truth, 7, 0.0, 0.0, 2);
    ExpectRejected(Fit(seven, variant));
    MatchListRelease(seven);
    MatchList* eight = MakeList(kMotions[1].truth, 8, 0.0, 0.0, 2);
    const model::FrameRecord r = Fit(eight, variant);
    EXPECT_EQ(r.count(), 8u);
    EXPECT_LT(CornerError(r, kMotions[1].truth), 0.05);
    MatchListRelease(eight);
  }
}

// --- Bad input ----------------------------------------------------------------------------------

TEST(FitCameraInput, NonFiniteAndHugeMatchesAreIgnoredAndMarkedInvalid) {
  const Truth t = kMotions[5].truth;
  const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
  MatchList* list = MakeList(t, 1000, 0.3, 0.2, 12);
  for (uint32_t i = 0; i < list->count; i += 10) {
    auto& e = list->matches[i];
    switch (i / 10 % 5) {
      case 0: e.dx = nan; break;
      case 1: e.y = nan; break;
      case 2: e.dy = inf; break;
      case 3: e.x = 1e30f; break;
      default: e.dx = -3e38f; break;
    }
  }
  const model::FrameRecord r = Fit(list, 1);
  ASSERT_GT(r.count(), 0u);
  ExpectConsistent(r);
  EXPECT_LT(CornerError(r, t), 0.2);
  for (uint32_t i = 0; i < list->count; i += 10) EXPECT_EQ(list->matches[i].valid, 0) << "match " << i;
  MatchListRelease(list);
}

TEST(FitCameraInput, UnusableListsAreRejected) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::function<void(MatchList&)> spoilers[] = {
      [&](MatchList& l) { for (uint32_t i = 0; i < l.count; ++i) l.matches[i].dx = l.matches[i].x = nan; },
      [](MatchList& l) { for (uint32_t i = 0; i < l.count; ++i) l.matches[i].weightX = l.matches[i].weightY = 0; },
      [](MatchList& l) { l.width = 0; },
      [](MatchList& l) { l.height = 0; },
  };
  for (const auto& spoil : spoilers)
    for (const int variant : {0, 1}) {
      MatchList* list = MakeList(kMotions[0].truth, 300, 0.3, 0.0, 1);
      spoil(*list);
      ExpectRejected(Fit(list, variant));
      MatchListRelease(list);
    }
}

TEST(FitCameraInput, SingleAxisMatchesStillFit) {
  // Half the matches measured only in x, the other half only in y.
  const Truth t = kMotions[5].truth;
  MatchList* list = MakeList(t, 2000, 0.3, 0.2, 13);
  for (uint32_t i = 0; i < list->count; ++i) (i % 2 ? list->matches[i].weightX : list->matches[i].weightY) = 0;
  const model::FrameRecord r = Fit(list, 0);
  ASSERT_GT(r.count(), 0u);
  EXPECT_LT(CornerError(r, t), 0.25);
  MatchListRelease(list);
}

TEST(FitCameraInput, AllocationFailureRejectsAndLeaksNothing) {
  MatchList* list = MakeList(kMotions[5].truth, 500, 0.3, 0.2, 14);
  platform::HeapFailAllocation(1);
  const model::FrameRecord r = Fit(list, 1);
  platform::HeapFailAllocation(0);
  ExpectRejected(r);
  MatchListRelease(list);
}

}  // namespace
}  // namespace vendrix::motion
