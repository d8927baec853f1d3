// The matrix finisher on clips of known camera poses: holding the camera at full strength, removing
// shake while following pans, the border limits, the preparation cache, fusion of missing and corrupt
// measurements, rolling-shutter skew, bad input, tiny clips and pool shortage. (Allocation failures and
// equal bytes on any thread count are the reliability tests'; the adaptive pass and the border rounds'
// wider second limits are pinned by the golden test, which runs them in framing mode 6.)
#include "finishing/matrix_finisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <numbers>
#include <vector>

#include "concurrency/thread_pool.h"
#include "finishing/matrix_internal.h"
#include "motion/camera_matrix.h"
#include "platform/system.h"
#include "support/warm_pools.h"

namespace vendrix::finishing {
namespace {

using matrix::Camera;

constexpr int kW = 640, kH = 360;
constexpr double kPi = std::numbers::pi, kDeg = kPi / 180.0;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// Absolute content motion of a frame: a point x of frame 0 shows at T(t) z R(angle) x.
struct Pose {
  double tx = 0, ty = 0, angle = 0, zoom = 1;
};

void PoseMatrix(const Pose& p, double h[9]) {
  matrix::ComposeH(Camera{p.tx, p.ty, std::cos(p.angle), std::sin(p.angle), p.zoom, 0, 0}, h);
}

// The relative motion from a frame at pose `from` to one at pose `to` (into h), and where it moves (x, y).
std::pair<double, double> Relative(const Pose& from, const Pose& to, double x = 0, double y = 0, double* h = nullptr) {
  double f[9], m[9], ox, oy, w;
  PoseMatrix(from, f);
  PoseMatrix(to, m);
  EXPECT_TRUE(matrix::H3Inverse(f, f));
  matrix::H3Multiply(m, f, h ? h : m);
  matrix::H3Apply(h ? h : m, x, y, &ox, &oy, &w);
  return {ox, oy};
}

// A measured record of the relative motion from `prev` to `cur`, as a fit would write it.
void RelativeRecord(const Pose& prev, const Pose& cur, model::FrameRecord& r) {
  r.Clear();
  model::RecordReset(r);
  double h[9];
  Relative(prev, cur, 0, 0, h);
  motion::Mat4FromHomography(h, r.matrix());
  ASSERT_TRUE(motion::DecomposeCameraMatrix(r.matrix(), kH, r));
  motion::CameraMatrixFromRecord(r, kH, r.matrix());
  r.u(model::kSlotCount) = 100;
  r.u(model::kSlotSpan) = 1;
}

struct Clip {
  GlobalMotionPath* path = nullptr;
  std::vector<Pose> poses;
  explicit Clip(const std::vector<Pose>& p) : poses(p) {
    path = model::PathCreate(static_cast<uint32_t>(p.size()), 0);
    path->width = kW;
    path->height = kH;
    path->lastFrame = static_cast<int32_t>(p.size()) - 1;
    path->modelParams.modelKind = model::kModelProjective;
    for (size_t k = 1; k < p.size(); ++k) RelativeRecord(p[k - 1], p[k], path->measured[0]->records[k]);
  }
  ~Clip() { model::PathDelete(path); }
  int32_t n() const { return static_cast<int32_t>(poses.size()); }
  const model::FrameRecord& out(int i) const { return path->smoothed->records[i]; }
  float OutX(int i) const { return out(i).f(model::kSlotTx); }
  float OutY(int i) const { return out(i).f(model::kSlotTy); }
  // Output position of corner k of frame i from the exported translation and corner offsets.
  double Corner(int i, int k, int axis) const {
    const double nominal = axis == 0 ? ((k == 1 || k == 2) ? kW / 2.0 : -kW / 2.0) : (k >= 2 ? kH / 2.0 : -kH / 2.0);
    return nominal + out(i).f(model::kSlotTx + axis) + out(i).f(model::kSlotCorners + 2 * k + axis);
  }
  // The output position of source point (x, y) of frame i (exact for a correction without perspective).
  void Map(int i, double x, double y, double* ox, double* oy) const {
    *ox = OutX(i) + (Corner(i, 1, 0) - Corner(i, 0, 0)) / kW * x + (Corner(i, 3, 0) - Corner(i, 0, 0)) / kH * y;
    *oy = OutY(i) + (Corner(i, 1, 1) - Corner(i, 0, 1)) / kW * x + (Corner(i, 3, 1) - Corner(i, 0, 1)) / kH * y;
  }
  void ExpectFinite(int slots) const {
    for (int i = 0; i < n(); ++i)
      for (int s = 0; s < slots; ++s)
        ASSERT_TRUE(s == model::kSlotCount || s == model::kSlotSpan || std::isfinite(out(i).f(s))) << i << " " << s;
  }
};

// Strengths of translation, rotation, tilt 1, tilt 2 and zoom.
model::ModelParams Params(float a, float b, float c, float d, float e) {
  return {.modelKind = model::kModelProjective, .degreeRotation = 1, .degreeScale = 1, .fitEnabled = 1, .rollingShutter = 1,
          .translationStrength = a, .tilt1Strength = c, .tilt2Strength = d, .rotationStrength = b, .zoomStrength = e};
}
const model::ModelParams kUsual = Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f);

// As the finishing driver does: run (over the whole clip unless told), then keep the parameters in the path.
constexpr int32_t kWholeClip = INT32_MIN;
void Finish(Clip& clip, const model::ModelParams& p, int32_t n = kWholeClip) {
  RunMatrixFinisher(clip.path, p, n == kWholeClip ? clip.n() : n);
  clip.path->modelParams = p;
}

// Pan plus shake in every channel.
std::vector<Pose> ShakyPan(int n, double amp = 5.0) {
  std::vector<Pose> v(n);
  for (int k = 0; k < n; ++k) {
    v[k].tx = 1.5 * k + amp * std::sin(k * 2 * kPi / 6.3) + 0.6 * amp * std::sin(k * 2 * kPi / 9.7 + 1);
    v[k].ty = 0.4 * k + 0.8 * amp * std::sin(k * 2 * kPi / 7.1 + 2);
    v[k].angle = 0.02 * kDeg * k + 0.6 * kDeg * std::sin(k * 2 * kPi / 8.3);
    v[k].zoom = (1.0 + 0.0002 * k) * (1.0 + 0.01 * std::sin(k * 2 * kPi / 11.1));
  }
  return v;
}

// RMS of what a local quadratic over 15 frames (Savitzky-Golay) does not explain, 10 frames from the
// ends: the shake, without the curvature of intended moves.
double Jitter(const std::vector<double>& s) {
  double sum = 0;
  const int n = static_cast<int>(s.size());
  for (int i = 10; i < n - 10; ++i) {
    double m = 0;
    for (int o = -7; o <= 7; ++o) m += 3.0 * (167 - 5 * o * o) / 3315.0 * s[i + o];
    sum += (s[i] - m) * (s[i] - m);
  }
  return std::sqrt(sum / (n - 20));
}

// Jitter of the output relative to the input, over three points fixed in the scene, both axes.
double ResidualJitter(const Clip& clip) {
  double in = 0, out = 0;
  for (const auto& pt : {std::pair{0.0, 0.0}, std::pair{200.0, 100.0}, std::pair{-250.0, -120.0}}) {
    std::vector<double> ix, iy, ox, oy;
    for (int i = 0; i < clip.n(); ++i) {
      double h[9], sx, sy, w, x, y;
      PoseMatrix(clip.poses[i], h);
      matrix::H3Apply(h, pt.first, pt.second, &sx, &sy, &w);
      clip.Map(i, sx, sy, &x, &y);
      ix.push_back(sx), iy.push_back(sy), ox.push_back(x), oy.push_back(y);
    }
    in += Jitter(ix) + Jitter(iy);
    out += Jitter(ox) + Jitter(oy);
  }
  return out / in;
}

class MatrixFinisher : public vendrix::testing::LiveBlocksTest {};

TEST_F(MatrixFinisher, FullStrengthHoldsTheCamera) {
  Clip clip(ShakyPan(300, 8.0));
  model::ModelParams p = Params(1.0f, 1.0f, 1.0f, 1.0f, 1.0f);
  p.keepTilt1 = p.keepTilt2 = 1;
  Finish(clip, p);
  EXPECT_EQ(clip.path->preparedCount, 300);
  for (int i = 0; i < clip.n(); ++i)
    for (int k = 0; k < 4; ++k) {  // the correction undoes the frame's motion: every point goes back to frame 0
      const auto [ex, ey] = Relative(clip.poses[i], clip.poses[0], (k == 1 || k == 2) ? kW / 2.0 : -kW / 2.0, k >= 2 ? kH / 2.0 : -kH / 2.0);
      ASSERT_NEAR(clip.Corner(i, k, 0), ex, 0.05) << i << " corner " << k;
      ASSERT_NEAR(clip.Corner(i, k, 1), ey, 0.05) << i << " corner " << k;
    }
  EXPECT_LT(ResidualJitter(clip), 0.001);
}

TEST_F(MatrixFinisher, RemovesShakeAndFollowsPans) {
  Clip clip(ShakyPan(600));
  // With both pools lent out the per-frame stages are skipped: nothing is written, and the preparation
  // must not count as done.
  concurrency::ThreadPoolService* svc = concurrency::PoolService();
  concurrency::WorkerPool *a = svc->AcquirePool(), *b = svc->AcquirePool();
  platform::SetProcessorCountOverride(2);
  Finish(clip, kUsual);
  EXPECT_TRUE(clip.path->preparedCount == 0 && clip.out(300).f(model::kSlotRotCos) == 0.0f);
  svc->ReleasePool(a);
  svc->ReleasePool(b);
  Finish(clip, kUsual);
  EXPECT_LT(ResidualJitter(clip), 0.10);
  // The pan is followed, not held: the correction stays at the size of the shake.
  for (int i = 150; i < 450; ++i) ASSERT_LT(std::hypot(clip.OutX(i), clip.OutY(i)), 15.0) << i;
  // A steady pan or roll alone passes unchanged away from the clip ends (symmetric kernels: no lag).
  for (int kind = 0; kind < 2; ++kind) {
    std::vector<Pose> pan(400);
    for (int k = 0; k < 400; ++k) pan[k] = kind == 0 ? Pose{2.0 * k, -0.5 * k, 0, 1.0} : Pose{0, 0, 0.05 * kDeg * k, 1.0};
    Clip steady(pan);
    Finish(steady, kUsual);
    for (int i = 200; i < 210; ++i)
      for (int s = 0; s < 10; ++s) ASSERT_NEAR(steady.out(i).f(s), 0.0f, 0.01) << kind << " frame " << i << " slot " << s;
  }
}

TEST_F(MatrixFinisher, BorderRoundsKeepTheCorrectionWithinTheLimits) {
  model::ModelParams p = Params(1.0f, 0.5f, 0.5f, 0.5f, 0.2f);
  p.borderFraction = 0.5f;  // limits 64 x 36 px
  // A camera held still through a long drift wants corrections of hundreds of pixels: the smooth excess
  // is removed, up to the clamped kernel's shortfall of the last round at the held clip end.
  std::vector<Pose> drift(400);
  for (int k = 0; k < 400; ++k) drift[k] = Pose{1.0 * k, -0.6 * k, 0.0, 1.0};
  Clip clip(drift);
  Finish(clip, p);
  EXPECT_FLOAT_EQ(clip.path->limitX, 64.0f);
  EXPECT_FLOAT_EQ(clip.path->limitY, 36.0f);
  float lo_x = 0, hi_x = 0, lo_y = 0, hi_y = 0;
  for (int i = 0; i < clip.n(); ++i) {
    lo_x = std::min(lo_x, clip.OutX(i)), hi_x = std::max(hi_x, clip.OutX(i));
    lo_y = std::min(lo_y, clip.OutY(i)), hi_y = std::max(hi_y, clip.OutY(i));
  }
  // The excess is taken off towards zero, so a correction never crosses to the other side.
  EXPECT_TRUE(lo_x > -1.0f || hi_x < 1.0f) << lo_x << " .. " << hi_x;
  EXPECT_TRUE(lo_y > -1.0f || hi_y < 1.0f) << lo_y << " .. " << hi_y;
  EXPECT_LE(std::max(hi_x, -lo_x), 64.0f + 1.0f);
  EXPECT_LE(std::max(hi_y, -lo_y), 36.0f + 1.0f);
  EXPECT_GT(std::max(hi_x, -lo_x), 60.0f);  // the limit is used, the frame is not simply recentred
}

TEST_F(MatrixFinisher, PreparationIsCachedUntilItsInputsChange) {
  Clip clip(ShakyPan(120));
  model::ModelParams p = kUsual;
  Finish(clip, p);
  ASSERT_EQ(clip.path->preparedCount, 120);
  const model::FrameRecord* integ = clip.path->integrated->records;
  std::vector<model::FrameRecord> prepared(integ, integ + 120);
  // New measurements with the same count and switches: the cached preparation is used.
  for (int k = 1; k < 120; ++k) clip.path->measured[0]->records[k].f(model::kSlotTx) += 3.0f;
  const float before = clip.OutX(60);
  p.translationStrength = 0.2f;
  Finish(clip, p);
  EXPECT_EQ(clip.path->preparedCount, 120);
  EXPECT_EQ(std::memcmp(prepared.data(), integ, 120 * sizeof(model::FrameRecord)), 0);
  EXPECT_NE(before, clip.OutX(60));  // but the new strength was applied
  // A readout factor or a rolling-shutter switch rebuilds it from the new measurements.
  p.readoutFactor = 0.25f;
  Finish(clip, p);
  EXPECT_EQ(clip.path->preparedCount, 120);
  EXPECT_NEAR(integ[10].f(model::kSlotTx), prepared[10].f(model::kSlotTx) - 30.0f, 0.05f);
  p.extended = 1;
  Finish(clip, p);
  EXPECT_NE(integ[10].f(model::kSlotRollingShutter), 0.0f);
  Finish(clip, p, 100);  // a different frame count rebuilds it too
  EXPECT_EQ(clip.path->preparedCount, 100);
}

TEST_F(MatrixFinisher, MissingAndCorruptMeasurementsAreInterpolated) {
  std::vector<Pose> pan(120);
  for (int k = 0; k < 120; ++k) pan[k] = Pose{3.0 * k, 1.0 * k, 0.001 * k, 1.0};
  Clip clip(pan);
  model::FrameRecord* m = clip.path->measured[0]->records;
  for (int k = 50; k < 53; ++k) m[k].u(model::kSlotCount) = 0;  // no fit, whatever the values say
  m[51].f(model::kSlotTx) += 40.0f;
  m[53].Clear();                                                 // never written: rotation pair (0, 0)
  m[70].f(model::kSlotTx) = kNaN;
  m[71].f(model::kSlotRotCos) = std::numeric_limits<float>::infinity();
  m[72].f(model::kSlotTy) = 1e30f;
  m[73].f(model::kSlotZoom) = 1e9f;
  m[74].f(model::kSlotTiltA) = -std::numeric_limits<float>::infinity();
  // The other variants: valid span-1 records are averaged in, others are ignored.
  model::FrameRecord* v1 = clip.path->measured[1]->records;
  RelativeRecord(pan[89], Pose{pan[90].tx + 4.0, pan[90].ty, pan[90].angle, 1.0}, v1[90]);
  RelativeRecord(pan[94], Pose{pan[95].tx + 50.0, pan[95].ty, pan[95].angle, 1.0}, v1[95]);
  v1[95].u(model::kSlotSpan) = 2;
  Finish(clip, Params(1.0f, 1.0f, 1.0f, 1.0f, 1.0f));
  const model::FrameRecord* integ = clip.path->integrated->records;
  for (int k = 0; k < 97; ++k) {
    // The prepared correction holds the camera on frame 0; frames from 90 on carry the 2 px more
    // horizontal motion that frame 90 fused from the two variants (the span-2 record at 95 is ignored).
    const auto [ex, ey] = Relative(Pose{pan[k].tx + (k >= 90 ? 2.0 : 0.0), pan[k].ty, pan[k].angle, 1.0}, Pose{}, 0, 0);
    ASSERT_NEAR(integ[k].f(model::kSlotTx), ex, 0.02) << k;
    ASSERT_NEAR(integ[k].f(model::kSlotTy), ey, 0.02) << k;
    ASSERT_NEAR(std::atan2(integ[k].f(model::kSlotRotSin), integ[k].f(model::kSlotRotCos)), -0.001 * k, 1e-5) << k;
  }
  clip.ExpectFinite(model::kSlotMatrix + 16);
}

TEST_F(MatrixFinisher, NonFiniteInputNeverReachesTheOutput) {
  Clip clip(ShakyPan(200, 10.0));
  const float bad[] = {kNaN, std::numeric_limits<float>::infinity(), -1e38f, 3e37f};
  uint32_t seed = 12345;
  auto rnd = [&seed]() { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (int v = 0; v < 4; ++v)
    for (int j = 0; j < 60; ++j) {
      model::FrameRecord& r = clip.path->measured[v]->records[rnd() % 200];
      r.f(rnd() % model::kRecordSlots) = bad[rnd() % 4];
      if (v > 0) r.u(model::kSlotSpan) = 1, r.u(model::kSlotCount) = 5;
    }
  model::ModelParams p = Params(0.4f, kNaN, 0.5f, 0.5f, 0.2f);
  p.keepTilt1 = p.keepTilt2 = p.adaptive = p.extended = 1;
  p.borderFraction = 0.3f;
  p.readoutFactor = kNaN;
  Finish(clip, p);
  p.translationStrength = std::numeric_limits<float>::infinity();
  p.borderFraction = kNaN;
  Finish(clip, p);
  EXPECT_TRUE(std::isfinite(clip.path->limitX) && std::isfinite(clip.path->limitAngle));
  clip.ExpectFinite(model::kSlotMatrix + 16);
  // An image size of 0 (a path never scanned) and an absurd aspect factor are survived as well.
  clip.path->width = clip.path->height = 0;
  clip.path->inputScale = kNaN;
  Finish(clip, Params(0.3f, 0.3f, 0.3f, 0.3f, 0.3f));
  clip.ExpectFinite(10);
}

TEST_F(MatrixFinisher, TinyClipsAndFrameCountsBeyondTheArrays) {
  Clip one(std::vector<Pose>(1));
  one.path->smoothed->records[0].f(model::kSlotTx) = 7.0f;
  Finish(one, kUsual);
  EXPECT_EQ(one.OutX(0), 0.0f);  // one frame: no correction
  EXPECT_EQ(one.out(0).f(model::kSlotRotCos), 1.0f);
  Finish(one, kUsual, 50);  // clamped to the capacity
  Finish(one, kUsual, -3);
  EXPECT_EQ(one.path->preparedCount, 0);
  Clip two(ShakyPan(2));
  two.path->smoothed->records[2].f(model::kSlotTx) = 99.0f;  // the spare record is not the finisher's
  model::ModelParams p = kUsual;
  p.adaptive = p.extended = 1;
  p.borderFraction = 0.2f;
  Finish(two, p);
  EXPECT_EQ(two.path->smoothed->records[2].f(model::kSlotTx), 99.0f);
  two.ExpectFinite(10);
  RunMatrixFinisher(nullptr, p, 10);
}

TEST_F(MatrixFinisher, RollingShutterReadoutVelocityAndCentreRow) {
  // A camera whose velocity changes linearly between the moments the frames' centre rows are read, and
  // jerkily from one frame to the next, with a vertical sway: step k is the mean (v_{k-1} + v_k) / 2, and
  // every fit's matrix carries the shear rho (v_k - v_{k-1}) / H of a readout of 0.6 frame times.
  const int n = 300;
  const double rho = 0.6;
  auto velocity = [](int k) { return 2.0 + 2.0 * std::sin(k / 2.0) + ((k % 2) ? 1.5 : -1.5); };
  std::vector<Pose> poses(n);
  for (int k = 1; k < n; ++k)
    poses[k] = Pose{poses[k - 1].tx + 0.5 * (velocity(k - 1) + velocity(k)), 8.0 * std::sin(k / 6.0), 0.0, 1.0};
  Clip clip(poses);
  model::FrameRecord* m = clip.path->measured[0]->records;
  for (int k = 1; k < n; ++k) m[k].f(model::kSlotMatrix + 1) += static_cast<float>(rho * (velocity(k) - velocity(k - 1)) / kH);
  model::ModelParams p = kUsual;
  p.extended = p.extendedBoth = p.rollingShutterTest = 1;
  Finish(clip, p);
  EXPECT_NEAR(clip.path->preparedReadout, rho, 0.01 * rho);
  // Each frame's shear follows its own velocity, which the mean of the steps around it misses.
  const model::FrameRecord* integ = clip.path->integrated->records;
  double off = 0, missed = 0;
  for (int k = 10; k < n - 10; ++k) {
    const double want = rho * velocity(k) / kH;
    off += std::pow(integ[k].f(model::kSlotRollingShutter) - want, 2);
    missed += std::pow(rho * (poses[k + 1].tx - poses[k - 1].tx) / 2 / kH - want, 2);
  }
  EXPECT_LT(off, 0.01 * missed);
  // With the extension the output unskews: left corners differ in x by shear * H.
  const int k = 160;  // where the sway is widest
  const double shear = integ[k].f(model::kSlotRollingShutter);
  auto lean = [&] { return clip.out(k).f(model::kSlotCorners) - clip.out(k).f(model::kSlotCorners + 6); };
  EXPECT_NEAR(lean(), shear * kH, 0.02);
  // Without it the frame keeps its shape, and the band pairs move it by the skew of the source row
  // the output's centre shows (the correction takes the frame's vertical offset out of the picture);
  // the band at the centre row has no wobble of its own.
  p.extendedBoth = 0;
  Finish(clip, p);
  EXPECT_NEAR(lean(), 0.0, 0.02);
  const double centre_row = -clip.OutY(k);
  ASSERT_GT(std::fabs(centre_row), 2.0);
  EXPECT_NEAR(clip.out(k).f(model::kSlotBands + model::kBandCount), shear * centre_row, 0.01);
  // Without the switch nothing is estimated; when the fits' skews are only noise (a global shutter)
  // the readout is 0 even untested.
  p.extended = 0;
  Finish(clip, p);
  EXPECT_EQ(integ[k].f(model::kSlotRollingShutter), 0.0f);
  Clip global(poses);
  for (int i = 1; i < n; ++i)
    global.path->measured[0]->records[i].f(model::kSlotMatrix + 1) += static_cast<float>(1e-4 * std::sin(0.7 * i));
  p.extended = 1;
  p.rollingShutterTest = 0;
  Finish(global, p);
  EXPECT_EQ(global.path->preparedReadout, 0.0f);
}

TEST_F(MatrixFinisher, RollingShutterWobbleGoesToTheBandsAndTheCorners) {
  // A smooth path that sways and rolls: row fraction f of frame k shows the content tau = rho (f - 1/2)
  // frames after the centre row, moved beyond the frame's linear skew by x(k + tau) - x(k) - tau x'(k)
  // and, from the roll, by -(angle(k + tau) - angle(k)) y sideways and +(...) x down (y, x from the centre).
  const int n = 200, k = 100;
  const double rho = 0.8, sway = 30.0;
  double roll = 1.2 * kDeg;
  auto x = [&](double t) { return 2.0 * t + sway * std::sin(t / 2.0); };
  auto angle = [&](double t) { return roll * std::sin(t / 3.0 + 1.0); };
  model::ModelParams p = kUsual;
  p.extended = 1;
  p.readoutFactor = static_cast<float>(rho);
  auto finish = [&] {
    std::vector<Pose> poses(n);
    for (int i = 0; i < n; ++i) poses[i] = Pose{x(i), 0.0, angle(i), 1.0};
    auto clip = std::make_unique<Clip>(poses);
    Finish(*clip, p);
    return clip;
  };
  std::unique_ptr<Clip> clip = finish();
  // Measured from the centre band: the pairs also carry the skew at the row the output's centre shows.
  auto band = [&](int j) { return clip->out(k).f(model::kSlotBands + 2 * j); };
  double worst = 0, largest = 0;
  for (int j = 0; j < model::kBandCount; ++j) {
    const double f = j / double(model::kBandCount) - 0.5, tau = rho * f, dt = 1e-4;
    const double slope = (x(k + dt) - x(k - dt)) / (2 * dt);
    const double want = x(k + tau) - x(k) - tau * slope - (angle(k + tau) - angle(k)) * f * kH;
    worst = std::max(worst, std::fabs(band(j) - band(model::kBandCount / 2) - want));
    largest = std::max(largest, std::fabs(want));
  }
  EXPECT_GT(largest, 0.5);
  EXPECT_LT(worst, 0.05 * largest) << largest;
  // The roll over the readout turns the top and bottom edges opposite ways: corners 0 and 1 drop
  // apart by rho w W / 2 on top of the frame's own roll, corners 3 and 2 the other way.
  auto y = [&](int c) { return clip->Corner(k, c, 1); };
  const double w = (angle(k + 1e-4) - angle(k - 1e-4)) / 2e-4;
  EXPECT_NEAR((y(0) - y(1)) - (y(3) - y(2)), -rho * w * kW, 0.05 * rho * std::fabs(w) * kW);
  // A roll three times as fast is held to the bounds: the twist to kMaxTwist and the bands' steepest
  // lean to kMaxRowLean.
  roll *= 3;
  clip = finish();
  EXPECT_NEAR(std::fabs((y(0) - y(1)) - (y(3) - y(2))), matrix::kMaxTwist * kW, 1e-3 * kW);
  double steepest = 0;
  for (int j = 0; j + 1 < model::kBandCount; ++j) steepest = std::max(steepest, double(std::fabs(band(j + 1) - band(j))));
  EXPECT_NEAR(steepest * model::kBandCount / kH, matrix::kMaxRowLean, 1e-4);
  // Without the rolling-shutter stages the edges stay parallel.
  p.extended = 0;
  clip = finish();
  EXPECT_NEAR((y(0) - y(1)) - (y(3) - y(2)), 0.0, 1e-3);
}

}  // namespace
}  // namespace vendrix::finishing
