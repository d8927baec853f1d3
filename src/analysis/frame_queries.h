// Read-only queries on the analysis results of a path. They read records without locking: the host
// calls them between scans, when no job writes the entries up to the last completed one.
#pragma once

#include <cstdint>

#include "model/global_motion_path.h"

namespace vendrix::analysis {

// min(last completed entry, capacity); -1 for a null path or one without analysis array.
int32_t CurrentAnalysisFrameCount(const GlobalMotionPath* path);
// Slots 0, 1 and 20 of the entry's analysis record. False for a null path or output, level != 0 or an
// entry outside 0..capacity-1.
bool AnalysisFrameTranslation(const GlobalMotionPath* path, int32_t level, int32_t entry, float out[3]);
// The two tilt angles and the in-plane rotation of the entry, radians; same checks.
bool AnalysisFrameRotation(const GlobalMotionPath* path, int32_t level, int32_t entry, float out[3]);
// Fills a tag-3 record with the motion of the entry last handed over; anything else leaves it untouched.
void FrameMotionVector(const GlobalMotionPath* path, FrameMvRecord* record);

}  // namespace vendrix::analysis
