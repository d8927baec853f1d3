#include "analysis/frame_records.h"

#include "path/model_fit.h"

namespace vendrix::analysis {

bool WriteEntryRecord(GlobalMotionPath* path, const path::ModelParams& params, MatchList& list, const EntryFit& fit) {
  if (!path || fit.variant < 0 || fit.variant > 3) return false;
  path::FrameRecordArray* array = path->measured[fit.variant];
  if (!array || fit.entry < 0 || fit.entry >= array->count) return false;
  path::ModelFit(params, array->records[fit.entry], list, fit.span, fit.compact, fit.homographyFlags);
  if (fit.keepMatches) path::RecordArraySetOwned(array->ownedA, fit.entry, MatchListCopy(&list));
  return true;
}

void InvalidateEntry(GlobalMotionPath* path, int32_t entry) {
  if (!path) return;
  for (path::FrameRecordArray* array : path->measured)
    if (array && entry >= 0 && entry < array->count) array->records[entry].u(path::kSlotCount) = 0;
  path->preparedCount = 0;
}

}  // namespace vendrix::analysis
