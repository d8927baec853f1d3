// Writing the analysis result of one entry into the path's record arrays.
#pragma once

#include <cstdint>

#include "model/match_list.h"
#include "model/global_motion_path.h"
#include "model/model_params.h"

namespace vendrix::analysis {

struct EntryFit {
  int32_t variant;           // measurement array 0..3
  int32_t entry;             // entry index (interlaced: 2 * frame + field)
  uint32_t span;             // reference distance in entries
  bool compact;              // remove invalid matches before the fit
  uint32_t homographyFlags;  // extra options of the projective fit
  bool keepMatches;          // replace the entry's kept copy of the match list
};

// Fits `list` into the entry's record of the chosen array and, when asked, keeps a copy of the list
// (after the fit, so the copy carries the fit's valid marks). False for an entry or array out of range.
// A copy that cannot be allocated only loses the copy, never the record.
bool WriteEntryRecord(GlobalMotionPath* path, const model::ModelParams& params, model::MatchList& list, const EntryFit& fit);

// Before an entry is measured again: clears its match count in all four arrays and drops the
// finisher's cached preparation, which was built from the old records.
void InvalidateEntry(GlobalMotionPath* path, int32_t entry);

}  // namespace vendrix::analysis
