// Checks and known camera motions shared by the model-fit tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "motion/model_fit.h"
#include "platform/heap.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {

inline constexpr double kDeg = std::numbers::pi / 180.0;
inline constexpr double kWidth = 960.0, kHeight = 540.0;  // the synthetic lists' image

// A camera motion: translation (px), rotation (deg), zoom factor, tilt angles (deg).
struct Truth {
  const char* name;
  double tx, ty, rotation, zoom, tiltA, tiltB;
};
inline constexpr Truth kMotions[] = {
    {"translation", 7.5, -4.25, 0, 1, 0, 0},         {"rotation", 0, 0, 1.5, 1, 0, 0},
    {"zoom", 0, 0, 0, 1.03, 0, 0},                   {"tilt_about_vertical_axis", 0, 0, 0, 1, 3, 0},
    {"tilt_about_horizontal_axis", 0, 0, 0, 1, 0, -3}, {"combined", -6, 3.5, -0.8, 0.98, 1.5, 1},
    {"large", 25, 10, 4, 1.08, 5, -4},               {"large_rotation", 0, 0, -10, 1, 0, 0},
};

// The camera motion of `t`, then a per-band x shift of the current rows (none when band_x is empty).
inline testing::MotionFn Motion(const Truth& t, std::vector<double> band_x = {}) {
  const testing::MotionFn camera = testing::CameraMotion(t.tx, t.ty, t.rotation * kDeg, t.zoom,
                                                         std::tan(t.tiltA * kDeg) / kHeight, std::tan(t.tiltB * kDeg) / kHeight);
  return [camera, band_x](double x, double y, double* ox, double* oy) {
    camera(x, y, ox, oy);
    const int k = static_cast<int>(std::floor((*oy + kHeight / 2) * model::kBandCount / kHeight));
    if (!band_x.empty() && k >= 0 && k < model::kBandCount) *ox += band_x[k];
  };
}

// Runs the whole model fit of `kind` (no pre-filter, no compaction) and checks what every fit must
// guarantee: the live heap block count is unchanged and the record holds no NaN.
inline model::FrameRecord FitChecked(MatchList& list, uint32_t kind, uint32_t span = 1, uint32_t flags = 0,
                                     model::ModelParams params = {}) {
  params.fitEnabled = 1;
  params.modelKind = kind;
  model::FrameRecord out;
  const int64_t live = platform::HeapLiveBlocks();
  ModelFit(params, out, list, span, false, flags);
  EXPECT_EQ(platform::HeapLiveBlocks(), live);
  for (int i = 0; i < model::kRecordSlots; ++i)
    EXPECT_TRUE(i == model::kSlotCount || i == model::kSlotSpan || std::isfinite(out.f(i))) << "slot " << i;
  return out;
}

// The no-motion record: translation and corners 0, angle pairs (0, 1), zoom and tilt terms 0, no band
// values, identity matrix; with the given match count and span.
inline void ExpectNoMotion(const model::FrameRecord& r, uint32_t count = 0, uint32_t span = 0) {
  model::FrameRecord expected;
  expected.Clear();
  model::RecordReset(expected);
  model::RecordSetIdentityMatrix(expected);
  expected.u(model::kSlotCount) = count;
  expected.u(model::kSlotSpan) = span;
  for (int i = 0; i < model::kRecordSlots; ++i) EXPECT_EQ(r.u(i), expected.u(i)) << "slot " << i;
}

}  // namespace vendrix::motion
