// Path finishing: the additive finisher removing shake and keeping a pan, its kernel's taps at strength
// 0 and the camera held at full strength, and the driver (wrong tags, bad measurements, tiny clips).
// Keeping the analysis half way through a scan and releasing it at the end: the feature tracker's
// skipped-entries test. The kernel radius each profile's strengths give is pinned by the golden hashes
// of the arrays finished under them.
#include "finishing/finish.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "finishing/compensation.h"
#include "platform/heap.h"

namespace vendrix::finishing {
namespace {

// Frame-to-frame jitter left in a path: RMS of the second difference.
double Jitter(const std::vector<double>& x) {
  double s = 0;
  for (size_t i = 2; i < x.size(); ++i) s += std::pow(x[i] - 2 * x[i - 1] + x[i - 2], 2);
  return std::sqrt(s / double(x.size() - 2));
}

// A path with n entries measured by the additive model (kind 3): per-entry translation of a slow pan
// plus a sinusoidal shake.
struct ShakyPath {
  GlobalMotionPath* path;
  std::vector<double> camera;  // absolute x position of the camera per entry
  ShakyPath(int n, double pan, double shake) : path(model::PathCreate(static_cast<uint32_t>(n), 0)) {
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
  float Integrated(int i) const { return path->integrated->records[i].f(model::kSlotTx); }
  float Smoothed(int i) const { return path->smoothed->records[i].f(model::kSlotTx); }
};

TEST(FinishAdditive, RemovesTheShakeAndKeepsThePan) {
  const int n = 300;
  ShakyPath s(n, 1.5, 3.0);
  const PathSettings settings{.Smoothing = 26214, .SecondarySmoothing = 19660};  // 0.4 and 0.3
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

TEST(FinishAdditive, FullStrengthHoldsTheCameraStrengthZeroFollowsItAndBadRequestsKeepTheResult) {
  ShakyPath s(60, 2.0, 1.0);
  const PathSettings hold{.Smoothing = 65536};
  FinishPathWith(s.path, nullptr, &hold);
  for (int i = 0; i < 60; ++i) EXPECT_EQ(s.Smoothed(i), 0.0f);
  // Strength 0 (the default request): taps 8, 100, 8 over the neighbours, the clip ends held at entry
  // 1 and n - 1 (entry 0 is the reference, not a measurement).
  FinishPathWith(s.path, nullptr, nullptr);
  EXPECT_NEAR(s.Smoothed(30), (8 * s.Integrated(29) + 100 * s.Integrated(30) + 8 * s.Integrated(31)) / 116, 1e-3f);
  EXPECT_NEAR(s.Smoothed(0), s.Integrated(1), 1e-3f);
  EXPECT_NEAR(s.Smoothed(1), (108 * s.Integrated(1) + 8 * s.Integrated(2)) / 116, 1e-3f);
  EXPECT_NEAR(s.Smoothed(59), (8 * s.Integrated(58) + 108 * s.Integrated(59)) / 116, 1e-3f);
  EXPECT_LE(s.path->boundsMin[0], 0.0f);  // the bounds hold every compensated corner and the origin
  EXPECT_GE(s.path->boundsMax[0], 0.0f);
  // A request with a wrong tag changes nothing; settling only keeps the result and recomputes the bounds.
  const float before = s.Smoothed(10);
  FinishRequest req{.tag = 3, .action = -1, .smoothing = 65536};
  FinishPathWith(s.path, &req, nullptr);
  EXPECT_EQ(s.Smoothed(10), before);
  req.tag = VENDRIX_FINISH_REQUEST_TAG;
  req.action = 0;
  s.path->boundsMax[0] = 1e9f;
  FinishPathWith(s.path, &req, nullptr);
  EXPECT_EQ(s.Smoothed(10), before);
  EXPECT_LT(s.path->boundsMax[0], 1e8f);
}

TEST(FinishDriver, NaNMeasurementsAndTinyClips) {
  ShakyPath s(40, 1.0, 1.0);
  s.path->analysis->records[17].f(model::kSlotTx) = std::nanf("");
  s.path->analysis->records[18].f(model::kSlotCorners) = INFINITY;
  FinishPathWith(s.path, nullptr, nullptr);
  for (int i = 0; i < 40; ++i) {
    model::FrameRecord k;
    FrameCompensation(s.path, i, k);
    for (int slot = 0; slot < 10; ++slot) ASSERT_TRUE(std::isfinite(k.f(slot))) << i << " " << slot;
  }
  EXPECT_TRUE(std::isfinite(s.path->boundsMin[0]));
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

}  // namespace
}  // namespace vendrix::finishing
