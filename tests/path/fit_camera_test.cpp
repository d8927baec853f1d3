// Camera fit (model kinds 4 and 5) on synthetic match lists with known camera motion.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <numbers>
#include <vector>

#include "path/camera_matrix.h"
#include "path/model_fit.h"
#include "path/synthetic_matches.h"
#include "platform/heap.h"

namespace vendrix::path {
namespace {

using analysis::MatchList;
using testing::MakeMatches;
using testing::SyntheticOptions;

constexpr double kDeg = std::numbers::pi / 180.0;
constexpr double kWidth = 960.0, kHeight = 540.0;

// A camera motion in the record's terms: translation (px), rotation (deg), zoom factor, tilt angles (deg).
struct Truth {
  double tx = 0, ty = 0, rotation = 0, zoom = 1, tiltA = 0, tiltB = 0;
};

FrameRecord TruthRecord(const Truth& t, double height) {
  FrameRecord r;
  r.Clear();
  RecordReset(r);
  r.f(kSlotTx) = static_cast<float>(t.tx);
  r.f(kSlotTy) = static_cast<float>(t.ty);
  r.f(kSlotRotSin) = static_cast<float>(std::sin(t.rotation * kDeg));
  r.f(kSlotRotCos) = static_cast<float>(std::cos(t.rotation * kDeg));
  r.f(kSlotZoom) = ZoomTermFromFactor(static_cast<float>(t.zoom), static_cast<float>(height));
  r.f(kSlotTiltA) = static_cast<float>(std::tan(t.tiltA * kDeg) * height);
  r.f(kSlotTiltB) = static_cast<float>(std::tan(t.tiltB * kDeg) * height);
  return r;
}

// The camera motion of `t` followed by a per-band x shift of the current rows (none when band_x is empty).
testing::MotionFn TruthMotion(const Truth& t, double height, std::vector<double> band_x = {}) {
  float m[16];
  CameraMatrixFromRecord(TruthRecord(t, height), static_cast<float>(height), m);
  double h[9];
  HomographyFromMat4(m, h);
  const testing::MotionFn camera = testing::Homography(h);
  return [camera, band_x, height](double x, double y, double* ox, double* oy) {
    camera(x, y, ox, oy);
    if (band_x.empty()) return;
    const int k = static_cast<int>(std::floor((*oy + height / 2) * kBandCount / height));
    if (k >= 0 && k < kBandCount) *ox += band_x[k];
  };
}

struct FitOutput {
  FrameRecord record;
  std::vector<uint8_t> valid;
};

// Runs the whole model fit (kind 4 or 5) and checks that it released everything it allocated.
FitOutput Fit(MatchList* list, int variant) {
  ModelParams params{};
  params.fitEnabled = 1;
  params.modelKind = variant ? kModelCameraCoarse : kModelCamera;
  FitOutput out;
  const int64_t live = platform::HeapLiveBlocks();
  ModelFit(params, out.record, *list, 1, false, 0);
  EXPECT_EQ(platform::HeapLiveBlocks(), live);
  for (uint32_t i = 0; i < list->count; ++i) out.valid.push_back(list->matches[i].valid);
  return out;
}

// Largest distance between the image corners mapped by the record's matrix and by the truth.
double CornerError(const FrameRecord& r, const Truth& t) {
  float truth[16];
  CameraMatrixFromRecord(TruthRecord(t, kHeight), static_cast<float>(kHeight), truth);
  double worst = 0;
  for (int i = 0; i < 4; ++i) {
    const float x = (i == 1 || i == 2 ? 0.5f : -0.5f) * static_cast<float>(kWidth);
    const float y = (i >= 2 ? 0.5f : -0.5f) * static_cast<float>(kHeight);
    float ax, ay, bx, by;
    Mat4Apply(r.matrix(), x, y, &ax, &ay);
    Mat4Apply(truth, x, y, &bx, &by);
    worst = std::max(worst, std::hypot(double{ax} - bx, double{ay} - by));
  }
  return worst;
}

double Rotation(const FrameRecord& r) { return std::atan2(r.f(kSlotRotSin), r.f(kSlotRotCos)) / kDeg; }
double Zoom(const FrameRecord& r) { return ZoomFactorFromTerm(r.f(kSlotZoom), static_cast<float>(kHeight)); }
double TiltA(const FrameRecord& r) { return std::atan(r.f(kSlotTiltA) / kHeight) / kDeg; }
double TiltB(const FrameRecord& r) { return std::atan(r.f(kSlotTiltB) / kHeight) / kDeg; }

double MaxBand(const FrameRecord& r) {
  double worst = 0;
  for (int i = kSlotBands; i < kRecordSlots; ++i) worst = std::max(worst, std::fabs(double{r.f(i)}));
  return worst;
}

bool AllFinite(const FrameRecord& r) {
  for (int i = 0; i < kRecordSlots; ++i)
    if (i != kSlotCount && i != kSlotSpan && !std::isfinite(r.f(i))) return false;
  return true;
}

[[maybe_unused]] void ExpectRejected(const FrameRecord& r) {
  EXPECT_EQ(r.count(), 0u);
  EXPECT_TRUE(AllFinite(r));
  EXPECT_EQ(r.f(kSlotTx), 0.0f);
  EXPECT_EQ(r.f(kSlotTy), 0.0f);
  EXPECT_EQ(r.f(kSlotRotCos), 1.0f);
  float identity[16];
  Mat4Identity(identity);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(r.matrix()[i], identity[i]) << "matrix entry " << i;
}

struct MotionCase {
  const char* name;
  Truth truth;
};

const MotionCase kMotions[] = {
    {"translation", {7.5, -4.25, 0, 1, 0, 0}},
    {"rotation", {0, 0, 1.5, 1, 0, 0}},
    {"zoom", {0, 0, 0, 1.03, 0, 0}},
    {"tilt_vertical_axis", {0, 0, 0, 1, 3, 0}},
    {"tilt_horizontal_axis", {0, 0, 0, 1, 0, -3}},
    {"combined", {-6, 3.5, -0.8, 0.98, 1.5, 1}},
};

// --- Recovery of known motion -------------------------------------------------------------------

class FitCameraRecovery : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(FitCameraRecovery, RecoversMotionAtRealisticNoiseAndOutliers) {
  const auto [motion, variant] = GetParam();
  const Truth& t = kMotions[motion].truth;
  for (const double outliers : {0.2, 0.4}) {
    SyntheticOptions o;
    o.count = 500;
    o.noise = 0.3;
    o.outliers = outliers;
    o.seed = 11 + motion;
    MatchList* list = MakeMatches(TruthMotion(t, kHeight), o);
    ASSERT_NE(list, nullptr);
    const FitOutput fit = Fit(list, variant);
    const FrameRecord& r = fit.record;
    std::printf("%-22s v%d out %.1f: t %.4f %.4f rot %.5f zoom %.6f tilt %.4f %.4f corner %.4f band %.4f\n",
                kMotions[motion].name, variant, outliers, r.f(0) - t.tx, r.f(1) - t.ty, Rotation(r) - t.rotation,
                Zoom(r) - t.zoom, TiltA(r) - t.tiltA, TiltB(r) - t.tiltB, CornerError(r, t), MaxBand(r));
    EXPECT_GT(r.count(), 0u);
    EXPECT_NEAR(r.f(kSlotTx), t.tx, 0.05);
    EXPECT_NEAR(r.f(kSlotTy), t.ty, 0.05);
    EXPECT_NEAR(Rotation(r), t.rotation, 0.01);
    EXPECT_NEAR(Zoom(r), t.zoom, 1e-4);
    EXPECT_NEAR(TiltA(r), t.tiltA, 0.1);
    EXPECT_NEAR(TiltB(r), t.tiltB, 0.1);
    EXPECT_LT(CornerError(r, t), 0.15);
    EXPECT_LT(MaxBand(r), 0.2);
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

}  // namespace
}  // namespace vendrix::path
