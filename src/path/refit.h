// The model re-fit pass of finishing: fits every entry's motion model again from the match list the
// measurement kept, with the parameters of the finishing request.
#pragma once

#include "path/global_motion_path.h"
#include "path/model_params.h"

namespace vendrix::path {

// Runs the pass unless it is not needed (feature-tracking analysis, or already done for this entry
// count and variant). Entries are re-fitted in parallel from 10 entries on.
void RefitModels(GlobalMotionPath* path, const ModelParams& p);

}  // namespace vendrix::path
