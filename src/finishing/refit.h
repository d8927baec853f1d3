// The model re-fit pass of finishing: fits every entry's motion model again from the match list the
// measurement kept, with the parameters of the finishing request.
#pragma once

#include "model/global_motion_path.h"
#include "model/model_params.h"

namespace vendrix::finishing {

// Runs the pass unless it is not needed (feature-tracking analysis, or already done for this entry
// count and variant). Entries are re-fitted in parallel from 10 entries on.
void RefitModels(GlobalMotionPath* path, const model::ModelParams& p);

}  // namespace vendrix::finishing
