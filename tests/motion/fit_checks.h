// Checks shared by the model-fit tests.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "motion/model_fit.h"
#include "platform/heap.h"

namespace vendrix::motion {

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
