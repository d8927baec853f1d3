// Composition of motion records and the camera matrix built from and read back into a record.
#include "model/frame_record.h"

#include <gtest/gtest.h>

#include <cmath>
#include <initializer_list>
#include <random>
#include <utility>

#include "motion/camera_matrix.h"

namespace vendrix::model {
namespace {

constexpr float kDeg = 3.14159265358979f / 180.0f;

// A record of no motion with the given slots set; angle slots take an angle in degrees.
FrameRecord Record(std::initializer_list<std::pair<int, float>> values) {
  FrameRecord r;
  r.Clear();
  RecordReset(r);
  for (const auto& [slot, v] : values) {
    const bool angle = slot == kSlotRotSin || slot == kSlotTilt1Sin || slot == kSlotTilt2Sin;
    r.f(slot) = angle ? std::sin(v * kDeg) : v;
    if (angle) r.f(slot + 1) = std::cos(v * kDeg);
  }
  return r;
}

TEST(FrameRecordOps, CompositionAddsAnglesAndDifferenceUndoesIt) {
  FrameRecord a = Record({{kSlotRotSin, 30.0f}});
  RecordCompose(a, Record({{kSlotRotSin, 60.0f}}));
  EXPECT_NEAR(a.f(kSlotRotSin), 1.0f, 1e-6f);
  EXPECT_NEAR(a.f(kSlotRotCos), 0.0f, 1e-6f);
  FrameRecord half = Record({});  // half of a 60 degree turn with a shift of 4 px: 30 degrees and 2 px
  RecordComposeScaled(half, Record({{kSlotRotSin, 60.0f}, {kSlotTx, 4.0f}}), 0.5f);
  EXPECT_NEAR(half.f(kSlotRotSin), 0.5f, 1e-6f);
  EXPECT_NEAR(half.f(kSlotTx), 2.0f, 1e-6f);
  // Any motion followed by another and then by the inverse of the other is the first again.
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-30.0f, 30.0f);
  auto random = [&] {
    return Record({{kSlotTx, u(rng)}, {kSlotTy, u(rng)}, {kSlotZoom, u(rng)}, {kSlotTiltA, u(rng)}, {kSlotTiltB, u(rng)},
                   {kSlotRotSin, u(rng)}, {kSlotTilt1Sin, u(rng)}, {kSlotTilt2Sin, u(rng)}});
  };
  for (int trial = 0; trial < 20; ++trial) {
    const FrameRecord x = random(), y = random();
    FrameRecord z = x;
    RecordCompose(z, y);
    RecordDifference(z, y);
    for (int slot = 0; slot < kSlotMatrix; ++slot) EXPECT_NEAR(z.f(slot), x.f(slot), 1e-5f) << slot;
  }
}

TEST(CameraMatrix, RecordRoundTripAndInverse) {
  std::mt19937 rng(11);
  std::uniform_real_distribution<float> t(-40.0f, 40.0f), angle(-11.0f, 11.0f), zoom(-30.0f, 30.0f), tilt(-0.15f, 0.15f);
  for (int trial = 0; trial < 50; ++trial) {
    const FrameRecord r = Record({{kSlotTx, t(rng)}, {kSlotTy, t(rng)}, {kSlotRotSin, angle(rng)}, {kSlotZoom, zoom(rng)},
                                  {kSlotTiltA, tilt(rng)}, {kSlotTiltB, tilt(rng)}});
    float m[16], inv[16], prod[16];
    motion::CameraMatrixFromRecord(r, 540.0f, m);
    FrameRecord back = Record({});
    ASSERT_TRUE(motion::DecomposeCameraMatrix(m, 540.0f, back));
    for (int slot : {kSlotTx, kSlotTy, kSlotRotSin, kSlotRotCos, kSlotZoom, kSlotTiltA, kSlotTiltB})
      EXPECT_NEAR(back.f(slot), r.f(slot), 2e-3f) << "slot " << slot << " trial " << trial;
    ASSERT_TRUE(motion::Mat4Inverse(m, inv));
    motion::Mat4Multiply(m, inv, prod);
    for (int i = 0; i < 16; ++i) EXPECT_NEAR(prod[i], i % 5 == 0 ? 1.0f : 0.0f, 1e-5f);
  }
}

TEST(CameraMatrix, CornersOfAZoomAndRejectionOfBadMatrices) {
  FrameRecord r = Record({{kSlotTx, 5.0f}, {kSlotZoom, motion::ZoomTermFromFactor(1.1f, 100.0f)}});
  float m[16];
  motion::CameraMatrixFromRecord(r, 100.0f, m);
  motion::CornersFromMatrix(m, 200.0f, 100.0f, r);
  // 200 x 100: each corner moves outward by 10 % of its distance from the centre; the translation is
  // not in the offsets.
  const float expected[8] = {-10, -5, 10, -5, 10, 5, -10, 5};
  for (int i = 0; i < 8; ++i) EXPECT_NEAR(r.f(kSlotCorners + i), expected[i], 1e-3f) << i;
  float singular[16] = {}, nan_m[16], out[16];
  motion::Mat4Identity(nan_m);
  nan_m[3] = std::nanf("");
  for (float* bad : {singular, nan_m}) {
    EXPECT_FALSE(motion::Mat4Inverse(bad, out));
    EXPECT_FALSE(motion::DecomposeCameraMatrix(bad, 100.0f, r));
  }
}

}  // namespace
}  // namespace vendrix::model
