// The scale stack of an entry and the frame window of the block matcher.
//
// Every entry gets four luma planes of the working size (levels 0..3) from the path's plane pool:
// level 0 is the frame's luma after the optional filters, levels 1..3 are smoothed copies at the same
// size whose kernel taps are 1, 2 and 4 pixels apart. A window references the planes of the current
// entry and of up to four entries before it.
#pragma once

#include <cstdint>

#include "model/analysis_image.h"
#include "model/frame_plane_pool.h"
#include "model/measure_params.h"

namespace vendrix::analysis {

constexpr int32_t kWindowEntries = 5;
constexpr int32_t kLevels = 4;

struct FrameWindow {
  model::FramePlane* planes[kWindowEntries][kLevels];  // [0] = current entry, [k] = k entries before; null = none
  int32_t entries;                              // entries referenced (1..5)
};

// First byte of the working area of a plane (inside its border).
inline uint8_t* PlaneOrigin(const model::FramePlanePool& pool, const model::FramePlane& plane) {
  return plane.pixels + (int64_t{pool.width} + 2 * model::kPlaneBorder) * model::kPlaneBorder + model::kPlaneBorder;
}
inline int32_t PlanePitch(const model::FramePlanePool& pool) { return pool.width + 2 * model::kPlaneBorder; }

// References the planes of `entry` and the four entries before it (those >= 0). A plane already keyed
// (entry, level) is shared; otherwise a plane no window uses is taken and re-keyed. False, with every
// reference of this window dropped again, when the pool has no plane left.
bool AcquireWindow(model::FramePlanePool& pool, int32_t entry, FrameWindow& window);
void ReleaseWindow(FrameWindow& window);

// Reads the entry's luma into level 0, applies the filters the parameters ask for and builds the
// smoothed levels up to the coarsest level (level 3 only when coarsestLevel >= 3).
void PrepareScaleStack(const model::FramePlanePool& pool, const FrameWindow& window, const model::AnalysisImage& image,
                       const model::MeasureParams& params);

// Level-0 filters, on a plane of width x height with at least one pixel of border around it.
void SmoothPrefilter(uint8_t* plane, int32_t pitch, int32_t width, int32_t height);
void HighPassFilter(uint8_t* plane, int32_t pitch, int32_t width, int32_t height);
void ContrastStretch(uint8_t* plane, int32_t pitch, int32_t width, int32_t height);
// dst = src convolved with 1-2-1 by 1-2-1 whose taps are `tap` pixels apart. Needs a border of `tap`.
void BinomialLevel(const uint8_t* src, uint8_t* dst, int32_t pitch, int32_t width, int32_t height, int32_t tap);

}  // namespace vendrix::analysis
