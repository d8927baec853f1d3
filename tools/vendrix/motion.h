// A clip's finished motion: what the analysis pass produces, what a motion file stores and what the
// render pass and the plot read.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "fields.h"
#include "vendrix/vendrix.h"

namespace vendrix::cli {

// One point of a camera path: position in video pixels, roll in radians, scale (1 = unchanged).
struct PathSample {
  double x = 0, y = 0, rotation = 0, zoom = 1;
};

struct Motion {
  int32_t video_width = 0, video_height = 0;
  int64_t frames = 0;                // frames of the clip
  // Interlaced: the clip was analysed as fields, two entries per frame (2f, 2f + 1 in time order).
  FieldOrder field_order = FieldOrder::kProgressive;
  PathSettings settings{};           // the settings the clip was analysed and smoothed with
  std::vector<uint32_t> comp;        // compensation array B (settings copy at byte 300 not placed)
  std::vector<PathSample> camera;    // measured camera path, per entry
  std::vector<PathSample> smoothed;  // camera path after the correction, per entry
  std::vector<uint8_t> measured;     // per entry: 1 when the analysis measured its motion, 0 when it could not
  // Rolling-shutter band pairs, kBandValues per entry (band_mesh.h); empty when the path has none.
  std::vector<int16_t> bands;

  // Records of the compensation array: one per frame, or one per field.
  int64_t entries() const { return IsInterlaced(field_order) ? 2 * frames : frames; }
};

// Wall seconds of each stage of a run, for the summary line and --stats.
struct Timings {
  double decode = 0, analysis = 0, finishing = 0, render = 0, encode = 0;
  int64_t frames = 0;
};

// 16.16 fixed point (the compensation array's unit) to double and back, saturated.
inline double FromFixed(int32_t v) { return double(v) / VENDRIX_FX_ONE; }
inline int32_t ToFixed(double v) {
  return int32_t(std::clamp(std::lround(v * VENDRIX_FX_ONE), long(INT32_MIN), long(INT32_MAX)));
}

// How far a record's correction moves each side of the frame, as compensations (the opposite of where
// its corners go), analysis pixels: the clip bounds the framing reads are the extremes of these over
// the clip, never on the wrong side of zero.
struct SideReach {
  double left, right, top, bottom;
};
SideReach SideReachOf(const MotionCompArrayBRecord& record);

// Record `i` of the motion's compensation array: where the correction moves each corner of the frame,
// in analysis pixels.
MotionCompArrayBRecord RecordOf(const Motion& motion, int64_t i);

// Camera paths from a finished path and its compensation array: the measured path integrates the
// entry-to-entry motion (camera position, so the content's motion negated); the smoothed path is the
// measured one moved by each entry's correction.
// `measured` marks the entries whose analysis record the queries report as empty (the fit found too
// few matches or was rejected); their motion counts as none.
void ComputeCameraPaths(GlobalMotionPath* path, Motion& motion);

// Per entry, the zoom the framing adds on top of the correction when the frame is rendered through
// `framed` (FramedArray of the motion; 1 = none): the scale of the texture-map definition's corners
// against the correction's own.
std::vector<double> FramingZoom(const Motion& motion, const std::vector<uint32_t>& framed);

}  // namespace vendrix::cli
