// The per-entry compensation of a finished path, and its export as compensation arrays B and D.
//
// K(i) is the record whose translation and corners say how entry i must move to follow the smoothed
// path; the exported corner displacement of corner k is Dk = -(ck + t): the frame's corner k is drawn
// at the output's corner k plus Dk.
#pragma once

#include <cstdint>

#include "model/frame_record.h"
#include "model/global_motion_path.h"

namespace vendrix::finishing {

// K(i) of the finisher that produced the path's records. Entries outside the arrays give a zero record.
void FrameCompensation(const GlobalMotionPath* path, int32_t i, model::FrameRecord& k);

// The four corner displacements D0..D3 of a compensation record, (x, y) pairs.
void CornerDisplacements(const model::FrameRecord& k, float d[8]);

// Fill a host block with array B (tag 1005) or D (tag 2001). `size` 0 only tests the tag. Returns 1 on
// success; 0 when the tag is wrong or the size is not the exact size of the array (block untouched).
uint32_t CopyCompArrayB(const GlobalMotionPath* path, uint32_t* block, int32_t size);
uint32_t CopyCompArrayD(const GlobalMotionPath* path, uint32_t* block, int32_t size);

}  // namespace vendrix::finishing
