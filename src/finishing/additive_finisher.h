// The additive finisher (model kinds below 4): integrates the per-entry motion into an absolute
// camera path, then smooths translation and corner offsets with symmetric exponential kernels. The
// compensation of entry i is integrated[i] - smoothed[i].
#pragma once

#include <cstdint>

#include "model/global_motion_path.h"

namespace vendrix::finishing {

// Integrated path of the first n entries, fusing the measurement variants and correcting drift with
// the long-span measurements.
void IntegratePath(GlobalMotionPath* path, int32_t n);
// Smoothed translation (strength `translation`) and corners (strength `corners`) of the first n
// entries. Other fields of the smoothed records are left as they were.
void SmoothAdditive(GlobalMotionPath* path, int32_t n, float translation, float corners);

}  // namespace vendrix::finishing
