// Path finishing: brings the analysis to rest, optionally re-fits the motion models, runs the finisher
// the model kind selects, and records the bounds of the compensated frame corners.
#pragma once

#include <cstdint>

#include "model/global_motion_path.h"
#include "vendrix/vendrix.h"

namespace vendrix::finishing {

// Request flag bits (FinishRequest word 4).
constexpr uint32_t kFinishKeepAnalysis = 0x04;
constexpr uint32_t kFinishKeepAnalysisLight = 0x08;  // keep, and do not wait for the analyser

// The finishing driver. `request` may be null (tag 4, run a finisher, all strengths 0); `settings`,
// when given, override the request's strengths and switches. A wrong tag does nothing.
void FinishPathWith(GlobalMotionPath* path, const FinishRequest* request, const PathSettings* settings);

// Usable entry count: entries up to the last completed one that the arrays hold.
int32_t UsableEntries(const GlobalMotionPath* path);

// Recomputes boundsMin / boundsMax from the compensation of the usable entries.
void ComputeBounds(GlobalMotionPath* path);

}  // namespace vendrix::finishing
