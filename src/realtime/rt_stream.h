// The streaming calls of the real-time path: scanning a frame, preparing and defining a frame for
// display, and the frame ranges. Each takes the process-wide real-time lock for its whole run; the
// range queries set their outputs to -1 first (a null object writes nothing and returns 0).
#pragma once

#include <cstdint>

#include "realtime/rt_path.h"

namespace vendrix::realtime {

// 0 when the frame was scanned (or had been); -1 when refused (bad record, window full, no window).
int32_t RtScanMap(RTMotionPath* rt, const RTFrameInput* input, int64_t frame);
// -1 when refused; 0 with a null definition once the frame is prepared; else DefTexMapA's result.
int32_t RtTexMapDef(RTMotionPath* rt, TexMapDefA* def, int32_t reserved, int64_t frame, uint32_t field, int32_t width,
                    int32_t height);
int32_t RtSteadyRange(RTMotionPath* rt, int64_t* first, int64_t* last);
int32_t RtCompletedRange(RTMotionPath* rt, int64_t* first, int64_t* last);
int32_t RtRequirements(RTMotionPath* rt, int64_t frame, int64_t* scanned, int64_t* needed, int64_t* acceptable);

}  // namespace vendrix::realtime
