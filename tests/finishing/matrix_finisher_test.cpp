#include "finishing/matrix_finisher.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <limits>
#include <numbers>
#include <thread>
#include <vector>

#include "concurrency/frame_parallel.h"
#include "concurrency/thread_pool.h"
#include "motion/camera_matrix.h"
#include "finishing/matrix_internal.h"
#include "platform/heap.h"
#include "platform/system.h"

namespace vendrix::finishing {
namespace {

using finishing::matrix::Camera;

constexpr int kW = 640, kH = 360;
constexpr double kPi = std::numbers::pi;
constexpr double kDeg = kPi / 180.0;

// Absolute content motion of a frame: a point x of frame 0 shows at T(t) z R(angle) x.
struct Pose {
  double tx = 0, ty = 0, angle = 0, zoom = 1;
};

void PoseMatrix(const Pose& p, double h[9]) {
  finishing::matrix::ComposeH(Camera{p.tx, p.ty, std::cos(p.angle), std::sin(p.angle), p.zoom, 0, 0}, h);
}

// The motion from frame 0 to frame i of a clip: pose i after the inverse of pose 0.
void FromFirst(const std::vector<Pose>& poses, int i, double h[9]) {
  double a[9], b[9], b_inv[9];
  PoseMatrix(poses[i], a);
  PoseMatrix(poses[0], b);
  finishing::matrix::H3Inverse(b, b_inv);
  finishing::matrix::H3Multiply(a, b_inv, h);
}

// A measured record of the relative motion from `prev` to `cur`, as a fit would write it.
void RelativeRecord(const Pose& prev, const Pose& cur, model::FrameRecord& r) {
  double a[9], b[9], b_inv[9], rel[9];
  PoseMatrix(prev, b);
  PoseMatrix(cur, a);
  ASSERT_TRUE(finishing::matrix::H3Inverse(b, b_inv));
  finishing::matrix::H3Multiply(a, b_inv, rel);
  Camera cam;
  ASSERT_TRUE(finishing::matrix::DecomposeH(rel, cam));
  r.Clear();
  model::RecordReset(r);
  r.f(model::kSlotTx) = static_cast<float>(cam.tx);
  r.f(model::kSlotTy) = static_cast<float>(cam.ty);
  r.f(model::kSlotRotSin) = static_cast<float>(cam.sn);
  r.f(model::kSlotRotCos) = static_cast<float>(cam.cs);
  r.f(model::kSlotZoom) = motion::ZoomTermFromFactor(static_cast<float>(cam.zoom), kH);
  r.u(model::kSlotCount) = 100;
  r.u(model::kSlotSpan) = 1;
  motion::CameraMatrixFromRecord(r, kH, r.matrix());
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
  // The output position of source point (x, y) of frame i, from the exported corners (exact for a
  // correction without perspective).
  void Map(int i, double x, double y, double* ox, double* oy) const {
    const model::FrameRecord& r = out(i);
    auto corner = [&](int k, int axis) {
      const double nominal = axis == 0 ? ((k == 1 || k == 2) ? kW / 2.0 : -kW / 2.0) : (k >= 2 ? kH / 2.0 : -kH / 2.0);
      return nominal + r.f(model::kSlotTx + axis) + r.f(model::kSlotCorners + 2 * k + axis);
    };
    const double m00 = (corner(1, 0) - corner(0, 0)) / kW, m10 = (corner(1, 1) - corner(0, 1)) / kW;
    const double m01 = (corner(3, 0) - corner(0, 0)) / kH, m11 = (corner(3, 1) - corner(0, 1)) / kH;
    *ox = r.f(model::kSlotTx) + m00 * x + m01 * y;
    *oy = r.f(model::kSlotTy) + m10 * x + m11 * y;
  }
};

model::ModelParams Params(float a, float b, float c, float d, float e) {
  model::ModelParams p{};
  p.modelKind = model::kModelProjective;
  p.fitEnabled = 1;
  p.rollingShutter = 1;
  p.degreeRotation = 1;
  p.degreeScale = 1;
  p.translationStrength = a;
  p.rotationStrength = b;
  p.tilt1Strength = c;
  p.tilt2Strength = d;
  p.zoomStrength = e;
  return p;
}

// As the finishing driver does: run, then keep the parameters in the path.
void Finish(GlobalMotionPath* path, const model::ModelParams& p, int32_t n) {
  RunMatrixFinisher(path, p, n);
  path->modelParams = p;
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

// RMS of what a local quadratic over 15 frames (Savitzky-Golay) does not explain, over frames
// margin .. n - margin: the shake, without the curvature of intended moves.
double Jitter(const std::vector<double>& s, int margin) {
  const int n = static_cast<int>(s.size());
  double sum = 0;
  int count = 0;
  for (int i = margin; i < n - margin; ++i) {
    double m = 0;
    for (int o = -7; o <= 7; ++o) m += 3.0 * (167 - 5 * o * o) / 3315.0 * s[i + o];
    sum += (s[i] - m) * (s[i] - m);
    ++count;
  }
  return std::sqrt(sum / count);
}

// Jitter of the output relative to the input, over three points fixed in the scene, both axes.
double ResidualJitter(const Clip& clip) {
  const double pts[3][2] = {{0, 0}, {200, 100}, {-250, -120}};
  double in = 0, out = 0;
  for (const auto& pt : pts) {
    std::vector<double> ix, iy, ox, oy;
    for (int i = 0; i < clip.n(); ++i) {
      double h[9], sx, sy, w, x, y;
      PoseMatrix(clip.poses[i], h);
      finishing::matrix::H3Apply(h, pt[0], pt[1], &sx, &sy, &w);
      clip.Map(i, sx, sy, &x, &y);
      ix.push_back(sx), iy.push_back(sy), ox.push_back(x), oy.push_back(y);
    }
    in += Jitter(ix, 10) + Jitter(iy, 10);
    out += Jitter(ox, 10) + Jitter(oy, 10);
  }
  return out / in;
}

class MatrixFinisher : public ::testing::Test {
 protected:
  void SetUp() override {
    // The pools start their threads on first use: start three in each pool (all the tests here ask
    // for) before counting heap blocks, with jobs that wait until all are running.
    static std::atomic<int> running{0};
    concurrency::ThreadPoolService* svc = concurrency::PoolService();
    concurrency::WorkerPool* pools[2] = {svc->AcquirePool(), svc->AcquirePool()};
    running = 0;
    int submitted = 0;
    for (concurrency::WorkerPool* pool : pools)
      for (int j = 0; pool && j < 3; ++j) {
        concurrency::PoolJob job;
        job.fn.store([](concurrency::PoolJob*) {
          running.fetch_add(1);
          while (running.load() > 0 && running.load() < 1000) std::this_thread::yield();
        });
        submitted += svc->SubmitJob(pool, &job);
      }
    while (running.load() < submitted) std::this_thread::yield();
    running = 1000;
    for (concurrency::WorkerPool* pool : pools)
      if (pool) svc->ReleasePool(pool);
    heap_ = platform::HeapLiveBlocks();
  }
  void TearDown() override {
    concurrency::PoolService()->SetMultithreaded(true);
    platform::SetProcessorCountOverride(0);
    EXPECT_EQ(platform::HeapLiveBlocks(), heap_);
  }
  int64_t heap_ = 0;
};

TEST_F(MatrixFinisher, FullStrengthHoldsTheCamera) {
  Clip clip(ShakyPan(300, 8.0));
  model::ModelParams p = Params(1.0f, 1.0f, 1.0f, 1.0f, 1.0f);
  p.keepTilt1 = p.keepTilt2 = 1;
  Finish(clip.path, p, clip.n());
  EXPECT_EQ(clip.path->preparedCount, 300);
  EXPECT_EQ(clip.path->frameHeight, 360.0f);
  for (int i = 0; i < clip.n(); ++i) {
    // The correction is the inverse of the frame's motion: every scene point goes back to frame 0.
    double h[9], hi[9];
    FromFirst(clip.poses, i, h);
    ASSERT_TRUE(finishing::matrix::H3Inverse(h, hi));
    for (int k = 0; k < 4; ++k) {
      const double nx = (k == 1 || k == 2) ? kW / 2.0 : -kW / 2.0, ny = k >= 2 ? kH / 2.0 : -kH / 2.0;
      double ex, ey, w;
      finishing::matrix::H3Apply(hi, nx, ny, &ex, &ey, &w);
      const model::FrameRecord& r = clip.out(i);
      ASSERT_NEAR(nx + r.f(model::kSlotTx) + r.f(model::kSlotCorners + 2 * k), ex, 0.05) << i << " corner " << k;
      ASSERT_NEAR(ny + r.f(model::kSlotTy) + r.f(model::kSlotCorners + 2 * k + 1), ey, 0.05) << i << " corner " << k;
    }
  }
  EXPECT_LT(ResidualJitter(clip), 0.001);
}

TEST_F(MatrixFinisher, RemovesShakeAndKeepsThePan) {
  Clip clip(ShakyPan(600));
  Finish(clip.path, Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f), clip.n());
  const double ratio = ResidualJitter(clip);
  std::printf("[ steadiness ] residual jitter %.2f %% of the input\n", 100.0 * ratio);
  EXPECT_LT(ratio, 0.10);
  // The pan is followed, not held: the correction stays at the size of the shake.
  for (int i = 150; i < 450; ++i) ASSERT_LT(std::hypot(clip.out(i).f(model::kSlotTx), clip.out(i).f(model::kSlotTy)), 15.0) << i;
  // The same with the adaptive pass and a border fraction of 0.3 (limits 38 x 22 px).
  model::ModelParams framed = Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f);
  framed.adaptive = 1;
  framed.borderFraction = 0.3f;
  Clip clip2(ShakyPan(600));
  Finish(clip2.path, framed, clip2.n());
  const double ratio_framed = ResidualJitter(clip2);
  std::printf("[ steadiness ] with adaptive pass and border 0.3: %.2f %%\n", 100.0 * ratio_framed);
  EXPECT_LT(ratio_framed, 0.10);

  // A steady pan or roll alone passes unchanged away from the clip ends (symmetric kernels: no lag).
  for (int kind = 0; kind < 2; ++kind) {
    std::vector<Pose> pan(400);
    for (int k = 0; k < 400; ++k) pan[k] = kind == 0 ? Pose{2.0 * k, -0.5 * k, 0, 1.0} : Pose{0, 0, 0.05 * kDeg * k, 1.0};
    Clip steady(pan);
    Finish(steady.path, Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f), steady.n());
    for (int i = 200; i < 210; ++i) {
      const model::FrameRecord& r = steady.out(i);
      for (int s = 0; s < 10; ++s) ASSERT_NEAR(r.f(s), 0.0f, 0.01) << kind << " frame " << i << " slot " << s;
    }
  }
}

TEST_F(MatrixFinisher, ComponentsTheSettingsDoNotCompensateAreLeftIn) {
  Clip clip(ShakyPan(200));
  model::ModelParams p = Params(1.0f, 1.0f, 1.0f, 1.0f, 1.0f);
  p.degreeRotation = 0;
  p.degreeScale = 0;
  Finish(clip.path, p, clip.n());
  for (int i = 0; i < clip.n(); ++i) {
    // Translation only: the corners move with the centre, and the centre goes back to frame 0's.
    const model::FrameRecord& r = clip.out(i);
    for (int s = model::kSlotCorners; s < 10; ++s) ASSERT_NEAR(r.f(s), 0.0f, 1e-3) << i;
    double h[9], cx, cy, w;
    FromFirst(clip.poses, i, h);
    finishing::matrix::H3Apply(h, 0, 0, &cx, &cy, &w);
    // With rotation and zoom left in, the picture is only shifted back by the centre's motion.
    ASSERT_NEAR(r.f(model::kSlotTx), -cx, 0.05) << i;
    ASSERT_NEAR(r.f(model::kSlotTy), -cy, 0.05) << i;
    ASSERT_NEAR(r.f(model::kSlotRotSin), 0.0f, 1e-6);
  }
}

TEST_F(MatrixFinisher, BorderRoundsKeepTheCorrectionWithinTheLimits) {
  // A camera held still (strength 1) through a long drift wants corrections of hundreds of pixels.
  std::vector<Pose> drift(400);
  for (int k = 0; k < 400; ++k) drift[k] = Pose{1.0 * k, -0.6 * k, 0.0, 1.0};
  Clip clip(drift);
  model::ModelParams p = Params(1.0f, 0.5f, 0.5f, 0.5f, 0.2f);
  p.borderFraction = 0.5f;
  Finish(clip.path, p, clip.n());
  EXPECT_FLOAT_EQ(clip.path->limitX, 64.0f);
  EXPECT_FLOAT_EQ(clip.path->limitY, 36.0f);
  EXPECT_NEAR(clip.path->limitAngle, (0.5 * 0.5 + 0.01) * 0.1 * kPi, 1e-6);
  float max_x = 0, max_y = 0;
  for (int i = 0; i < clip.n(); ++i) {
    max_x = std::max(max_x, std::fabs(clip.out(i).f(model::kSlotTx)));
    max_y = std::max(max_y, std::fabs(clip.out(i).f(model::kSlotTy)));
  }
  std::printf("[ border     ] held drift: largest |t| %.2f x %.2f px against limits 64 x 36\n", max_x, max_y);
  // A smooth excess is removed by the first two rounds; what is left at the held clip end is the
  // clamped kernel's shortfall of the last 1x round.
  EXPECT_LE(max_x, 64.0f + 1.0f);
  EXPECT_LE(max_y, 36.0f + 1.0f);
  EXPECT_GT(max_x, 60.0f);  // the limit is used, the frame is not simply recentred

  // Sharp shake: the last two rounds clip at twice the limits (frames beyond one limit are the ones
  // the compensation array flags).
  Clip shaky(ShakyPan(300, 60.0));
  Finish(shaky.path, p, shaky.n());
  float shaky_x = 0, shaky_y = 0;
  int beyond = 0;
  for (int i = 0; i < shaky.n(); ++i) {
    shaky_x = std::max(shaky_x, std::fabs(shaky.out(i).f(model::kSlotTx)));
    shaky_y = std::max(shaky_y, std::fabs(shaky.out(i).f(model::kSlotTy)));
    beyond += std::fabs(shaky.out(i).f(model::kSlotTx)) > 64.0f || std::fabs(shaky.out(i).f(model::kSlotTy)) > 36.0f;
    ASSERT_LE(std::fabs(shaky.out(i).f(model::kSlotTx)), 2 * 64.0f + 2.0f) << i;
    ASSERT_LE(std::fabs(shaky.out(i).f(model::kSlotTy)), 2 * 36.0f + 2.0f) << i;
  }
  std::printf("[ border     ] held shake of 60 px: largest |t| %.2f x %.2f px, %d of 300 frames beyond the limits\n",
              shaky_x, shaky_y, beyond);
  // Rotation is pulled towards its limit as well.
  std::vector<Pose> roll(300);
  for (int k = 0; k < 300; ++k) roll[k] = Pose{0, 0, 0.003 * k, 1.0};
  p.rotationStrength = 1.0f;  // the roll is held, not followed
  Clip rolled(roll);
  Finish(rolled.path, p, rolled.n());
  p.borderFraction = 0.0f;
  Clip free_roll(roll);
  Finish(free_roll.path, p, free_roll.n());
  EXPECT_EQ(free_roll.path->limitX, 0.0f);
  const double held = std::fabs(free_roll.out(299).f(model::kSlotRotSin));
  const double limited = std::fabs(rolled.out(299).f(model::kSlotRotSin));
  std::printf("[ border     ] held roll: sine %.3f without, %.3f with the limit (angle limit %.3f)\n", held, limited,
              clip.path->limitAngle);
  EXPECT_GT(held, 0.7);
  EXPECT_LT(limited, 0.5 * held);
}

TEST_F(MatrixFinisher, PreparationIsCachedUntilItsInputsChange) {
  Clip clip(ShakyPan(120));
  model::ModelParams p = Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f);
  Finish(clip.path, p, clip.n());
  ASSERT_EQ(clip.path->preparedCount, 120);
  std::vector<model::FrameRecord> prepared(clip.path->integrated->records, clip.path->integrated->records + 120);
  // New measurements with the same count and switches: the cached preparation is used.
  for (int k = 1; k < 120; ++k) clip.path->measured[0]->records[k].f(model::kSlotTx) += 3.0f;
  model::FrameRecord before = clip.out(60);
  p.translationStrength = 0.2f;
  Finish(clip.path, p, clip.n());
  EXPECT_EQ(clip.path->preparedCount, 120);
  EXPECT_EQ(std::memcmp(prepared.data(), clip.path->integrated->records, 120 * sizeof(model::FrameRecord)), 0);
  EXPECT_NE(before.f(model::kSlotTx), clip.out(60).f(model::kSlotTx));  // but the new strength was applied
  // A rolling-shutter switch or the readout factor rebuilds it from the new measurements.
  p.readoutFactor = 0.25f;
  Finish(clip.path, p, clip.n());
  EXPECT_EQ(clip.path->preparedCount, 120);
  EXPECT_NEAR(clip.path->integrated->records[10].f(model::kSlotTx), prepared[10].f(model::kSlotTx) - 30.0f, 0.05f);
  prepared.assign(clip.path->integrated->records, clip.path->integrated->records + 120);
  p.extended = 1;
  Finish(clip.path, p, clip.n());
  EXPECT_NE(clip.path->integrated->records[10].f(model::kSlotRollingShutter), 0.0f);
  // A different frame count rebuilds it too.
  Finish(clip.path, p, 100);
  EXPECT_EQ(clip.path->preparedCount, 100);
}

TEST_F(MatrixFinisher, MissingAndCorruptMeasurementsAreInterpolated) {
  std::vector<Pose> pan(120);
  for (int k = 0; k < 120; ++k) pan[k] = Pose{3.0 * k, 1.0 * k, 0.001 * k, 1.0};
  Clip clip(pan);
  model::FrameRecord* m = clip.path->measured[0]->records;
  for (int k = 50; k < 53; ++k) m[k].u(model::kSlotCount) = 0;   // no fit
  m[53].Clear();                                          // never written: rotation pair (0, 0)
  m[70].f(model::kSlotTx) = std::numeric_limits<float>::quiet_NaN();
  m[71].f(model::kSlotRotCos) = std::numeric_limits<float>::infinity();
  m[72].f(model::kSlotTy) = 1e30f;
  m[73].f(model::kSlotZoom) = 1e9f;
  m[74].f(model::kSlotTiltA) = -std::numeric_limits<float>::infinity();
  // The other variants: valid span-1 records are averaged in, others are ignored.
  model::FrameRecord* v1 = clip.path->measured[1]->records;
  RelativeRecord(pan[89], Pose{pan[90].tx + 4.0, pan[90].ty, pan[90].angle, 1.0}, v1[90]);
  RelativeRecord(pan[94], Pose{pan[95].tx + 50.0, pan[95].ty, pan[95].angle, 1.0}, v1[95]);
  v1[95].u(model::kSlotSpan) = 2;
  model::ModelParams p = Params(1.0f, 1.0f, 1.0f, 1.0f, 1.0f);
  Finish(clip.path, p, clip.n());
  const model::FrameRecord* integ = clip.path->integrated->records;
  for (int k = 0; k < 90; ++k) {
    double h[9], hi[9], ex, ey, w;
    PoseMatrix(pan[k], h);
    ASSERT_TRUE(finishing::matrix::H3Inverse(h, hi));
    finishing::matrix::H3Apply(hi, 0, 0, &ex, &ey, &w);
    ASSERT_NEAR(integ[k].f(model::kSlotTx), ex, 0.02) << k;
    ASSERT_NEAR(integ[k].f(model::kSlotTy), ey, 0.02) << k;
    ASSERT_NEAR(std::atan2(integ[k].f(model::kSlotRotSin), integ[k].f(model::kSlotRotCos)), -0.001 * k, 1e-5) << k;
  }
  // Frame 90 fused the two variants: 2 pixels more horizontal motion than frame 0 measured.
  double h[9], hi[9], ex, ey, w;
  PoseMatrix(Pose{pan[90].tx + 2.0, pan[90].ty, pan[90].angle, 1.0}, h);
  ASSERT_TRUE(finishing::matrix::H3Inverse(h, hi));
  finishing::matrix::H3Apply(hi, 0, 0, &ex, &ey, &w);
  EXPECT_NEAR(integ[90].f(model::kSlotTx), ex, 0.02);
  EXPECT_NEAR(integ[90].f(model::kSlotTy), ey, 0.02);
  for (int i = 0; i < clip.n(); ++i)
    for (int s = 0; s <= model::kSlotMatrix + 15; ++s)
      if (s != model::kSlotCount && s != model::kSlotSpan) {
        ASSERT_TRUE(std::isfinite(clip.out(i).f(s))) << i << " " << s;
      }
}

TEST_F(MatrixFinisher, NonFiniteInputNeverReachesTheOutput) {
  Clip clip(ShakyPan(200, 10.0));
  const float bad[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), -1e38f,
                       3e37f};
  uint32_t seed = 12345;
  auto rnd = [&seed]() { return (seed = seed * 1664525u + 1013904223u) >> 8; };
  for (int v = 0; v < 4; ++v)
    for (int j = 0; j < 60; ++j) {
      model::FrameRecord& r = clip.path->measured[v]->records[rnd() % 200];
      r.f(rnd() % model::kRecordSlots) = bad[rnd() % 4];
      if (v > 0) r.u(model::kSlotSpan) = 1, r.u(model::kSlotCount) = 5;
    }
  model::ModelParams p = Params(0.4f, std::numeric_limits<float>::quiet_NaN(), 0.5f, 0.5f, 0.2f);
  p.keepTilt1 = p.keepTilt2 = 1;
  p.adaptive = 1;
  p.extended = 1;
  p.borderFraction = 0.3f;
  p.readoutFactor = std::numeric_limits<float>::quiet_NaN();
  Finish(clip.path, p, clip.n());
  p.translationStrength = std::numeric_limits<float>::infinity();
  p.borderFraction = std::numeric_limits<float>::quiet_NaN();
  Finish(clip.path, p, clip.n());
  EXPECT_TRUE(std::isfinite(clip.path->limitX) && std::isfinite(clip.path->limitAngle));
  for (int i = 0; i < clip.n(); ++i)
    for (int s = 0; s <= model::kSlotMatrix + 15; ++s)
      if (s != model::kSlotCount && s != model::kSlotSpan) {
        ASSERT_TRUE(std::isfinite(clip.out(i).f(s))) << i << " " << s;
      }
  // An image size of 0 (a path never scanned) and an absurd aspect factor are survived as well.
  clip.path->width = clip.path->height = 0;
  clip.path->inputScale = std::numeric_limits<float>::quiet_NaN();
  Finish(clip.path, Params(0.3f, 0.3f, 0.3f, 0.3f, 0.3f), clip.n());
  for (int i = 0; i < clip.n(); ++i)
    for (int s = 0; s < 10; ++s) ASSERT_TRUE(std::isfinite(clip.out(i).f(s)));
}

TEST_F(MatrixFinisher, TinyAndOversizedFrameCounts) {
  {
    Clip one(std::vector<Pose>(1));
    one.path->smoothed->records[0].f(model::kSlotTx) = 7.0f;
    Finish(one.path, Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f), 1);
    EXPECT_EQ(one.out(0).f(model::kSlotTx), 0.0f);  // one frame: no correction
    EXPECT_EQ(one.out(0).f(model::kSlotRotCos), 1.0f);
    Finish(one.path, Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f), 50);  // clamped to the capacity
    Finish(one.path, Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f), -3);
    EXPECT_EQ(one.path->preparedCount, 0);
  }
  Clip two(ShakyPan(2));
  two.path->smoothed->records[2].f(model::kSlotTx) = 99.0f;  // the spare record is not the finisher's
  model::ModelParams p = Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f);
  p.adaptive = 1;
  p.borderFraction = 0.2f;
  p.extended = 1;
  Finish(two.path, p, 2);
  EXPECT_EQ(two.path->smoothed->records[2].f(model::kSlotTx), 99.0f);
  for (int i = 0; i < 2; ++i)
    for (int s = 0; s < 10; ++s) EXPECT_TRUE(std::isfinite(two.out(i).f(s)));
  RunMatrixFinisher(nullptr, p, 10);
}

TEST_F(MatrixFinisher, EndsEarlyWithoutMemoryOrPool) {
  Clip clip(ShakyPan(200));
  const model::ModelParams p = Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f);
  platform::HeapFailAllocation(1);
  Finish(clip.path, p, clip.n());
  platform::HeapFailAllocation(0);
  EXPECT_EQ(clip.path->preparedCount, 0);
  EXPECT_EQ(clip.out(100).f(model::kSlotRotCos), 0.0f);  // nothing written
  // Both pools lent out: the per-frame stages are skipped, so the preparation does not count.
  concurrency::ThreadPoolService* svc = concurrency::PoolService();
  concurrency::WorkerPool* a = svc->AcquirePool();
  concurrency::WorkerPool* b = svc->AcquirePool();
  platform::SetProcessorCountOverride(2);
  Finish(clip.path, p, clip.n());
  EXPECT_EQ(clip.path->preparedCount, 0);
  EXPECT_EQ(clip.out(100).f(model::kSlotRotCos), 0.0f);
  if (a) svc->ReleasePool(a);
  if (b) svc->ReleasePool(b);
  Finish(clip.path, p, clip.n());
  EXPECT_EQ(clip.path->preparedCount, 200);
  EXPECT_LT(ResidualJitter(clip), 0.1);
}

TEST_F(MatrixFinisher, SameResultOnOneThreadAndOnThePool) {
  Clip clip(ShakyPan(1000, 20.0));
  model::ModelParams p = Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f);
  p.keepTilt1 = p.keepTilt2 = 1;
  p.adaptive = 1;
  p.borderFraction = 0.3f;
  p.extended = 1;
  concurrency::PoolService()->SetMultithreaded(false);
  Finish(clip.path, p, clip.n());
  std::vector<model::FrameRecord> single(clip.path->smoothed->records, clip.path->smoothed->records + 1000);
  std::vector<model::FrameRecord> prepared(clip.path->integrated->records, clip.path->integrated->records + 1000);
  concurrency::PoolService()->SetMultithreaded(true);
  platform::SetProcessorCountOverride(4);
  clip.path->preparedCount = 0;
  std::memset(clip.path->smoothed->records, 0, 1000 * sizeof(model::FrameRecord));
  Finish(clip.path, p, clip.n());
  EXPECT_EQ(std::memcmp(prepared.data(), clip.path->integrated->records, 1000 * sizeof(model::FrameRecord)), 0);
  EXPECT_EQ(std::memcmp(single.data(), clip.path->smoothed->records, 1000 * sizeof(model::FrameRecord)), 0);
}

TEST_F(MatrixFinisher, RollingShutterSkewIsEstimatedAndUndone) {
  // Velocity varies, and every fit's matrix carries the shear a readout of 0.6 frame times produces.
  const int n = 300;
  std::vector<Pose> poses(n);
  for (int k = 1; k < n; ++k) poses[k] = Pose{poses[k - 1].tx + 3.0 + 2.0 * std::sin(k / 5.0), 0.0, 0.0, 1.0};
  Clip clip(poses);
  model::FrameRecord* m = clip.path->measured[0]->records;
  auto v = [&](int k) {
    const int a = std::max(k, 1), b = std::min(k + 1, n - 1);
    return 0.5 * (m[a].f(model::kSlotTx) + m[b].f(model::kSlotTx));
  };
  for (int k = 2; k < n; ++k) m[k].f(model::kSlotMatrix + 1) += static_cast<float>(0.6 * (v(k) - v(k - 1)) / kH);
  model::ModelParams p = Params(0.4f, 0.5f, 0.5f, 0.5f, 0.2f);
  p.extended = 1;
  p.rollingShutterTest = 1;
  Finish(clip.path, p, n);
  const model::FrameRecord* integ = clip.path->integrated->records;
  for (int k = 1; k < n; ++k) ASSERT_NEAR(integ[k].f(model::kSlotRollingShutter), 0.6 * v(k) / kH, 2e-5) << k;
  // The output unskews: left corners differ in x by shear * H.
  const model::FrameRecord& r = clip.out(150);
  EXPECT_NEAR(r.f(model::kSlotCorners + 0) - r.f(model::kSlotCorners + 6), 0.6 * v(150), 0.02);
  // A given readout factor is used as it is; without the switch nothing is corrected.
  p.readoutFactor = 0.5f;
  Finish(clip.path, p, n);
  EXPECT_NEAR(integ[150].f(model::kSlotRollingShutter), 0.5 * v(150) / kH, 1e-6);
  p.extended = 0;
  Finish(clip.path, p, n);
  EXPECT_EQ(integ[150].f(model::kSlotRollingShutter), 0.0f);
}

TEST_F(MatrixFinisher, AdaptivePassFollowsLargeMovesCloser) {
  // Shake, then a fast move of 1.5 image widths, then shake again.
  std::vector<Pose> poses = ShakyPan(600, 4.0);
  for (int k = 0; k < 600; ++k) {
    const double u = std::clamp((k - 250) / 100.0, 0.0, 1.0);
    poses[k].tx = 960.0 * (u - std::sin(2 * kPi * u) / (2 * kPi)) + 4.0 * std::sin(k * 2 * kPi / 6.3);
  }
  model::ModelParams p = Params(0.6f, 0.5f, 0.5f, 0.5f, 0.2f);
  Clip plain(poses);
  Finish(plain.path, p, 600);
  p.adaptive = 1;
  Clip adaptive(poses);
  Finish(adaptive.path, p, 600);
  float max_plain = 0, max_adaptive = 0;
  for (int i = 0; i < 600; ++i) {
    max_plain = std::max(max_plain, std::fabs(plain.out(i).f(model::kSlotTx)));
    max_adaptive = std::max(max_adaptive, std::fabs(adaptive.out(i).f(model::kSlotTx)));
  }
  const double jitter_plain = ResidualJitter(plain), jitter_adaptive = ResidualJitter(adaptive);
  std::printf("[ adaptive   ] largest correction %.1f px plain, %.1f px adaptive; jitter %.2f %% / %.2f %%\n",
              max_plain, max_adaptive, 100 * jitter_plain, 100 * jitter_adaptive);
  EXPECT_LT(max_adaptive, 0.8f * max_plain);
  EXPECT_LT(jitter_adaptive, 0.05);
}

}  // namespace
}  // namespace vendrix::finishing
