#include "model/frame_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "motion/camera_matrix.h"

namespace vendrix::model {
namespace {

constexpr float kPi = 3.14159265358979f;

FrameRecord Rotation(float degrees) {
  FrameRecord r;
  r.Clear();
  RecordReset(r);
  const float a = degrees * kPi / 180.0f;
  r.f(kSlotRotSin) = std::sin(a);
  r.f(kSlotRotCos) = std::cos(a);
  return r;
}

FrameRecord RandomRecord(std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-3.0f, 3.0f), ang(-0.5f, 0.5f);
  FrameRecord r;
  r.Clear();
  RecordReset(r);
  for (int i = 0; i < 10; ++i) r.f(i) = u(rng);
  for (int i = kSlotBands; i < kRecordSlots; ++i) r.f(i) = u(rng);
  for (int slot : {kSlotRotSin, kSlotTilt1Sin, kSlotTilt2Sin}) {
    const float a = ang(rng);
    r.f(slot) = std::sin(a);
    r.f(slot + 1) = std::cos(a);
  }
  r.f(kSlotZoom) = u(rng);
  r.f(kSlotTiltA) = u(rng);
  r.f(kSlotTiltB) = u(rng);
  return r;
}

TEST(FrameRecordOps, ResetKeepsSlotElevenAndTheMatrix) {
  FrameRecord r;
  for (auto& s : r.s) s.f = 7.0f;
  RecordReset(r);
  for (int i : {0, 5, 9, 10, 20, 22, 23, 41, 104}) EXPECT_EQ(r.f(i), 0.0f) << i;
  EXPECT_EQ(r.u(kSlotCount), 0u);
  EXPECT_EQ(r.u(kSlotSpan), 0u);
  for (int i : {kSlotRotCos, kSlotTilt1Cos, kSlotTilt2Cos}) EXPECT_EQ(r.f(i), 1.0f);
  EXPECT_EQ(r.f(kSlotWeight), 7.0f);
  EXPECT_EQ(r.f(kSlotRollingShutter), 7.0f);  // not a motion slot
  EXPECT_EQ(r.f(kSlotMatrix), 7.0f);
}

TEST(FrameRecordOps, ComposeAddsAnglesAndDifferenceUndoesIt) {
  FrameRecord a = Rotation(30.0f);
  const FrameRecord b = Rotation(60.0f);
  RecordCompose(a, b);
  EXPECT_NEAR(a.f(kSlotRotSin), 1.0f, 1e-6f);
  EXPECT_NEAR(a.f(kSlotRotCos), 0.0f, 1e-6f);

  std::mt19937 rng(7);
  for (int trial = 0; trial < 20; ++trial) {
    const FrameRecord x = RandomRecord(rng), y = RandomRecord(rng);
    FrameRecord z = x;
    RecordCompose(z, y);
    RecordDifference(z, y);
    for (int slot : {kSlotTx, kSlotTy, kSlotRotSin, kSlotRotCos, kSlotTilt1Sin, kSlotTilt2Cos, kSlotZoom, kSlotTiltA, kSlotTiltB})
      EXPECT_NEAR(z.f(slot), x.f(slot), 1e-5f) << slot;
    // Composing with w times b: w = 1 equals compose, w = 0 changes nothing.
    FrameRecord c1 = x, c0 = x, cf = x;
    RecordComposeScaled(c1, y, 1.0f);
    RecordComposeScaled(c0, y, 0.0f);
    RecordCompose(cf, y);
    for (int slot : {kSlotTx, kSlotTy, kSlotRotSin, kSlotRotCos, kSlotTilt1Sin, kSlotZoom}) {
      EXPECT_NEAR(c1.f(slot), cf.f(slot), 1e-5f) << slot;
      EXPECT_NEAR(c0.f(slot), x.f(slot), 1e-6f) << slot;
    }
  }
}

TEST(FrameRecordOps, LinearOperationsTouchExactlyTheMotionVector) {
  FrameRecord a, b;
  for (int i = 0; i < kRecordSlots; ++i) a.s[i].f = 1.0f, b.s[i].f = 2.0f;
  RecordAddScaled(a, b, 0.5f);
  int touched = 0;
  for (int i = 0; i < kRecordSlots; ++i) touched += a.f(i) == 2.0f;
  EXPECT_EQ(touched, kMotionVectorSize);
  EXPECT_EQ(a.f(9), 2.0f);
  EXPECT_EQ(a.f(10), 1.0f);
  EXPECT_EQ(a.f(40), 1.0f);
  EXPECT_EQ(a.f(41), 2.0f);

  FrameRecord zero, out;
  zero.Clear();
  b.Clear();
  out.Clear();
  b.f(kSlotTx) = 2.0f;
  b.f(kSlotTy) = 4.0f;
  RecordInterpolate(out, zero, b, 0.5f);
  EXPECT_FLOAT_EQ(out.f(kSlotTx), 1.0f);
  EXPECT_FLOAT_EQ(out.f(kSlotTy), 2.0f);
  RecordSubtract(out, b);
  RecordScale(out, -2.0f);
  EXPECT_FLOAT_EQ(out.f(kSlotTx), 2.0f);
  RecordAdd(out, b);
  EXPECT_FLOAT_EQ(out.f(kSlotTy), 8.0f);
}

TEST(FrameRecordOps, BlendMovesAThirdAndKeepsPairsOnTheCircle) {
  FrameRecord a = Rotation(0.0f), b = Rotation(90.0f);
  b.f(kSlotTx) = 3.0f;
  RecordBlend(a, b);
  EXPECT_FLOAT_EQ(a.f(kSlotTx), 1.0f);
  EXPECT_NEAR(a.f(kSlotRotSin), 1.0f / 3.0f, 1e-6f);
  EXPECT_NEAR(a.f(kSlotRotSin) * a.f(kSlotRotSin) + a.f(kSlotRotCos) * a.f(kSlotRotCos), 1.0f, 1e-6f);
}

TEST(CameraMatrix, RecordRoundTripAndInverse) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> t(-40.0f, 40.0f), ang(-0.2f, 0.2f), zt(-30.0f, 30.0f), tilt(-0.15f, 0.15f);
  const float height = 540.0f;
  for (int trial = 0; trial < 50; ++trial) {
    FrameRecord r;
    r.Clear();
    RecordReset(r);
    const float theta = ang(rng);
    r.f(kSlotTx) = t(rng);
    r.f(kSlotTy) = t(rng);
    r.f(kSlotRotSin) = std::sin(theta);
    r.f(kSlotRotCos) = std::cos(theta);
    r.f(kSlotZoom) = zt(rng);
    r.f(kSlotTiltA) = tilt(rng);
    r.f(kSlotTiltB) = tilt(rng);
    float m[16], inv[16], prod[16];
    motion::CameraMatrixFromRecord(r, height, m);
    FrameRecord back;
    back.Clear();
    ASSERT_TRUE(motion::DecomposeCameraMatrix(m, height, back));
    for (int slot : {kSlotTx, kSlotTy, kSlotRotSin, kSlotRotCos, kSlotZoom, kSlotTiltA, kSlotTiltB})
      EXPECT_NEAR(back.f(slot), r.f(slot), 2e-3f) << "slot " << slot << " trial " << trial;
    ASSERT_TRUE(motion::Mat4Inverse(m, inv));
    motion::Mat4Multiply(m, inv, prod);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(prod[i], i % 5 == 0 ? 1.0f : 0.0f, 1e-5f);
  }
}

TEST(CameraMatrix, CornersOfAZoomAndRejectionOfBadMatrices) {
  FrameRecord r;
  r.Clear();
  RecordReset(r);
  r.f(kSlotTx) = 5.0f;
  r.f(kSlotZoom) = motion::ZoomTermFromFactor(1.1f, 100.0f);
  float m[16];
  motion::CameraMatrixFromRecord(r, 100.0f, m);
  motion::CornersFromMatrix(m, 200.0f, 100.0f, r);
  // Each corner moves outward by 10 % of its distance from the centre; the translation is not in it.
  EXPECT_NEAR(r.f(kSlotCorners + 0), -10.0f, 1e-3f);
  EXPECT_NEAR(r.f(kSlotCorners + 1), -5.0f, 1e-3f);
  EXPECT_NEAR(r.f(kSlotCorners + 4), 10.0f, 1e-3f);
  EXPECT_NEAR(r.f(kSlotCorners + 5), 5.0f, 1e-3f);

  float singular[16] = {}, out[16];
  EXPECT_FALSE(motion::Mat4Inverse(singular, out));
  EXPECT_FALSE(motion::DecomposeCameraMatrix(singular, 100.0f, r));
  float nan_m[16];
  motion::Mat4Identity(nan_m);
  nan_m[3] = std::nanf("");
  EXPECT_FALSE(motion::Mat4Inverse(nan_m, out));
  EXPECT_FALSE(motion::DecomposeCameraMatrix(nan_m, 100.0f, r));
}

}  // namespace
}  // namespace vendrix::model
