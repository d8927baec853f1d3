#include "analysis/frame_queries.h"

#include <cmath>

namespace vendrix::analysis {
namespace {

using model::FrameRecord;
using model::kSlotRotCos;
using model::kSlotRotSin;
using model::kSlotTilt1Cos;
using model::kSlotTilt1Sin;
using model::kSlotTilt2Cos;
using model::kSlotTilt2Sin;

const FrameRecord* EntryRecord(const GlobalMotionPath* path, int32_t level, int32_t entry, const float* out) {
  if (!path || !path->analysis || level != 0 || !out || entry < 0 || entry >= path->analysis->count) return nullptr;
  return &path->analysis->records[entry];
}

}  // namespace

int32_t CurrentAnalysisFrameCount(const GlobalMotionPath* path) {
  if (!path || !path->analysis) return -1;
  return path->lastFrame < path->analysis->count ? path->lastFrame : path->analysis->count;
}

bool AnalysisFrameTranslation(const GlobalMotionPath* path, int32_t level, int32_t entry, float out[3]) {
  const FrameRecord* r = EntryRecord(path, level, entry, out);
  if (!r) return false;
  out[0] = r->f(model::kSlotTx);
  out[1] = r->f(model::kSlotTy);
  out[2] = r->f(model::kSlotZoom);
  return true;
}

bool AnalysisFrameRotation(const GlobalMotionPath* path, int32_t level, int32_t entry, float out[3]) {
  const FrameRecord* r = EntryRecord(path, level, entry, out);
  if (!r) return false;
  out[0] = std::atan2(r->f(kSlotTilt1Sin), r->f(kSlotTilt1Cos));
  out[1] = std::atan2(r->f(kSlotTilt2Sin), r->f(kSlotTilt2Cos));
  out[2] = std::atan2(r->f(kSlotRotSin), r->f(kSlotRotCos));
  return true;
}

void FrameMotionVector(const GlobalMotionPath* path, FrameMvRecord* record) {
  if (!path || !record || record->tag != VENDRIX_FRAME_MV_TAG || !path->analysis || !path->integrated) return;
  const bool interlaced = (path->flags & kPathInterlaced) != 0;
  // The hand-over value is a scan frame index; an interlaced path reports the frame's first field.
  int64_t entry = static_cast<int32_t>(path->handoverValue);
  if (interlaced && entry >= 1) entry *= 2;
  if (entry < 0 || entry >= path->integrated->count || entry >= path->analysis->count) return;

  // By default the motion is the mean of the entry's record and the one before it. A field measured
  // over a longer span in the second array reports that record alone, scaled back to one entry.
  const FrameRecord* a = &path->analysis->records[entry > 0 ? entry - 1 : 0];
  const FrameRecord* b = &path->analysis->records[entry];
  int32_t s = 256;
  uint32_t radius = static_cast<uint32_t>(path->searchRadius);
  const model::FrameRecordArray* second = path->measured[1];
  if (interlaced && second && entry < second->count && second->records[entry].span() > 1) {
    const uint32_t d = second->records[entry].span();
    a = b = &second->records[entry];
    s = static_cast<int32_t>(512u / d);
    radius *= d;
  }
  record->workWidth = static_cast<uint32_t>(path->width);
  record->workHeight = static_cast<uint32_t>(path->height);
  record->sourceWidth = path->inputWidth;
  record->sourceHeight = path->inputHeight;
  record->searchRadius = radius;
  record->pathX = path->integrated->records[entry].f(model::kSlotTx);
  record->pathY = path->integrated->records[entry].f(model::kSlotTy);
  for (int k = 0; k < VENDRIX_FRAME_MV_VALUES; ++k)
    record->motion[k] = (a->f(k) + b->f(k)) * static_cast<float>(s) / 512.0f;
}

}  // namespace vendrix::analysis
