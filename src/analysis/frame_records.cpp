#include "analysis/frame_records.h"

#include "motion/model_fit.h"

namespace vendrix::analysis {

bool WriteEntryRecord(GlobalMotionPath* path, const model::ModelParams& params, model::MatchList& list, const EntryFit& fit) {
  if (!path || fit.variant < 0 || fit.variant > 3) return false;
  model::FrameRecordArray* array = path->measured[fit.variant];
  if (!array || fit.entry < 0 || fit.entry >= array->count) return false;
  motion::ModelFit(params, array->records[fit.entry], list, fit.span, fit.compact, fit.homographyFlags);
  if (fit.keepMatches) model::RecordArraySetOwned(array->keptMatches, fit.entry, model::MatchListCopy(&list));
  return true;
}

void InvalidateEntry(GlobalMotionPath* path, int32_t entry) {
  if (!path) return;
  for (model::FrameRecordArray* array : path->measured)
    if (array && entry >= 0 && entry < array->count) array->records[entry].u(model::kSlotCount) = 0;
  path->preparedCount = 0;
}

}  // namespace vendrix::analysis
