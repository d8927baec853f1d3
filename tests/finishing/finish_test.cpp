#include "finishing/finish.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analysis/scan.h"
#include "finishing/compensation.h"
#include "support/synthetic_frames.h"
#include "model/profiles.h"
#include "finishing/kernel.h"
#include "platform/heap.h"

namespace vendrix::finishing {
namespace {

TEST(FinishKernel, RadiiFromStrengthAndNormalisedTaps) {
  EXPECT_EQ(KernelRadius(0.4f, false), 133);
  EXPECT_EQ(KernelRadius(0.3f, false), 81);
  EXPECT_EQ(KernelRadius(0.2f, false), 39);
  EXPECT_EQ(KernelRadius(0.0f, false), 1);
  EXPECT_EQ(KernelRadius(0.995f, false), -1);  // holds the camera
  EXPECT_EQ(KernelRadius(0.99f, true), 598 | 1);  // clamped to the matrix variant's 598, made odd
  EXPECT_EQ(KernelRadius(std::nanf(""), false), 1);
  Kernel k;
  BuildKernel(0.0f, false, k);
  EXPECT_NEAR(k.At(0), 100.0f / 116.0f, 1e-6f);  // taps 8, 100, 8 before normalising
  EXPECT_NEAR(k.At(1), 8.0f / 116.0f, 1e-6f);
  for (bool matrix : {false, true}) {
    BuildKernel(0.4f, matrix, k);
    double sum = 0;
    for (int o = -k.radius; o <= k.radius; ++o) sum += k.At(o);
    EXPECT_NEAR(sum, 1.0, 1e-5);
    EXPECT_NEAR(k.At(k.radius) / k.At(0), matrix ? 0.0064f : 0.08f, 1e-4f);
  }
}

// A path with n entries measured by the additive model (kind 3): per-entry translation of a slow pan
// plus a sinusoidal shake.
struct ShakyPath {
  GlobalMotionPath* path;
  std::vector<double> camera;  // absolute x position of the camera per entry
  ShakyPath(int n, double pan, double shake) {
    path = model::PathCreate(static_cast<uint32_t>(n), 0);
    path->width = 640;
    path->height = 360;
    path->modelParams.modelKind = model::kModelCornersTwoPass;
    path->lastFrame = n - 1;
    for (int i = 0; i < n; ++i) camera.push_back(pan * i + shake * std::sin(i * 1.9));
    for (int i = 1; i < n; ++i) {
      model::FrameRecord& r = path->analysis->records[i];
      model::RecordReset(r);
      r.u(model::kSlotCount) = 100;
      r.u(model::kSlotSpan) = 1;
      r.f(model::kSlotTx) = static_cast<float>(camera[i] - camera[i - 1]);
    }
  }
  ~ShakyPath() { model::PathDelete(path); }
};

// Frame-to-frame jitter left in a path: RMS of the second difference.
double Jitter(const std::vector<double>& x) {
  double s = 0;
  for (size_t i = 2; i < x.size(); ++i) s += std::pow(x[i] - 2 * x[i - 1] + x[i - 2], 2);
  return std::sqrt(s / (x.size() - 2));
}

TEST(FinishAdditive, RemovesTheShakeAndKeepsThePan) {
  const int n = 300;
  ShakyPath s(n, 1.5, 3.0);
  PathSettings settings{};
  settings.Smoothing = 26214;  // 0.4
  settings.SecondarySmoothing = 19660;
  FinishPathWith(s.path, nullptr, &settings);
  std::vector<double> shown(n);
  for (int i = 0; i < n; ++i) {
    model::FrameRecord k;
    FrameCompensation(s.path, i, k);
    float d[8];
    CornerDisplacements(k, d);
    shown[i] = s.camera[i] + d[0];  // where the content appears once the frame is moved by D
  }
  EXPECT_LT(Jitter(shown), 0.05 * Jitter(s.camera));
  // The pan survives: the stabilised path still travels with the camera (away from the ends).
  EXPECT_NEAR(shown[250] - shown[50], s.camera[250] - s.camera[50], 0.1 * (s.camera[250] - s.camera[50]));
}

TEST(FinishAdditive, FullStrengthHoldsTheCameraAndNullRequestUsesShortestKernels) {
  const int n = 60;
  ShakyPath s(n, 2.0, 1.0);
  PathSettings hold{};
  hold.Smoothing = 65536;
  FinishPathWith(s.path, nullptr, &hold);
  for (int i = 0; i < n; ++i) EXPECT_EQ(s.path->smoothed->records[i].f(model::kSlotTx), 0.0f);
  // Strength 0 (the default request): radius-1 kernels, the path follows the camera closely.
  FinishPathWith(s.path, nullptr, nullptr);
  const float expect = (8.0f * s.path->integrated->records[29].f(model::kSlotTx) + 100.0f * s.path->integrated->records[30].f(model::kSlotTx) +
                        8.0f * s.path->integrated->records[31].f(model::kSlotTx)) / 116.0f;
  EXPECT_NEAR(s.path->smoothed->records[30].f(model::kSlotTx), expect, 1e-3f);
  // Bounds contain every compensated corner and the origin.
  EXPECT_LE(s.path->boundsMin[0], 0.0f);
  EXPECT_GE(s.path->boundsMax[0], 0.0f);
}

TEST(FinishDriver, WrongTagDoesNothingAndSettleOnlyKeepsTheEarlierResult) {
  const int n = 20;
  ShakyPath s(n, 1.0, 2.0);
  FinishPathWith(s.path, nullptr, nullptr);
  const float before = s.path->smoothed->records[10].f(model::kSlotTx);
  FinishRequest req{};
  req.tag = 3;
  req.action = -1;
  req.smoothing = 65536;
  FinishPathWith(s.path, &req, nullptr);
  EXPECT_EQ(s.path->smoothed->records[10].f(model::kSlotTx), before);
  req.tag = VENDRIX_FINISH_REQUEST_TAG;
  req.action = 0;  // settle and recompute the bounds only
  s.path->boundsMax[0] = 1e9f;
  FinishPathWith(s.path, &req, nullptr);
  EXPECT_EQ(s.path->smoothed->records[10].f(model::kSlotTx), before);
  EXPECT_LT(s.path->boundsMax[0], 1e8f);
}

TEST(FinishDriver, NaNMeasurementsNeverReachTheArrays) {
  const int n = 40;
  ShakyPath s(n, 1.0, 1.0);
  s.path->analysis->records[17].f(model::kSlotTx) = std::nanf("");
  s.path->analysis->records[18].f(model::kSlotCorners) = INFINITY;
  FinishPathWith(s.path, nullptr, nullptr);
  for (int i = 0; i < n; ++i) {
    model::FrameRecord k;
    FrameCompensation(s.path, i, k);
    for (int slot = 0; slot < 10; ++slot) ASSERT_TRUE(std::isfinite(k.f(slot))) << i << " " << slot;
  }
  EXPECT_TRUE(std::isfinite(s.path->boundsMin[0]));
}

TEST(FinishDriver, TinyClipsFinishWithoutReadingOutside) {
  for (uint32_t frames : {0u, 1u, 2u}) {
    const int64_t before = platform::HeapLiveBlocks();
    GlobalMotionPath* p = model::PathCreate(frames, 0);
    p->width = 64;
    p->modelParams.modelKind = model::kModelCornersTwoPass;
    FinishPathWith(p, nullptr, nullptr);
    EXPECT_EQ(p->boundsMin[0], 0.0f);
    model::PathDelete(p);
    EXPECT_EQ(platform::HeapLiveBlocks(), before);
  }
}

TEST(FinishDriver, KeepFlagsKeepTheAnalysisAndReleaseDropsIt) {
  const cv::Mat texture = vendrix::testing::MakeTexture(400, 260, 9);
  std::vector<cv::Mat> frames;
  for (int i = 0; i < 6; ++i) {
    vendrix::testing::CameraPose pose;
    pose.tx = 1.5 * i;
    frames.push_back(vendrix::testing::RenderFrame(texture, 320, 180, pose));
  }
  GlobalMotionPath* p = model::PathCreate(6, 0);
  auto scan = [&](int from, int to) {
    for (int i = from; i < to; ++i) {
      ScanInput in{};
      in.tag = VENDRIX_SCAN_INPUT_TAG;
      in.format = VENDRIX_PIXFMT_NV12;
      in.width = 320;
      in.height = 180;
      in.pitch = static_cast<int32_t>(frames[i].step[0]);
      in.buffer = frames[i].data;
      in.aspectFactor = 1.0f;
      in.settings = model::kDefaultPathSettings;
      analysis::ScanFrame(p, static_cast<uint32_t>(i), &in);
    }
  };
  scan(0, 3);
  FinishPathB(p, kFinishKeepAnalysis, &model::kDefaultPathSettings);
  EXPECT_NE(p->analyser, nullptr);  // kept: scanning goes on with the same analyser
  EXPECT_NE(p->matchStore, nullptr);
  EXPECT_EQ(p->lastFrame, 2);
  scan(3, 6);
  FinishPathB(p, 0, &model::kDefaultPathSettings);
  EXPECT_EQ(p->analyser, nullptr);  // released, with everything the analysis held
  EXPECT_EQ(p->matchStore, nullptr);
  EXPECT_EQ(p->handover, nullptr);
  EXPECT_EQ(p->lastFrame, 5);
  EXPECT_NEAR(p->analysis->records[4].f(model::kSlotTx), 1.5f, 0.1f);
  model::PathDelete(p);
}

}  // namespace
}  // namespace vendrix::finishing
