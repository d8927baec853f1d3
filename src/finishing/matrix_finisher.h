// The matrix finisher: smooths the camera path of model kinds 4 and above on a 4 x 4 camera matrix
// per entry, keeps the corrected frame within the border limits and writes each entry's correction.
#pragma once

#include <cstdint>

#include "model/global_motion_path.h"
#include "model/model_params.h"

namespace vendrix::finishing {

// Runs the finisher over the first `n` entries (the usable count) with the amended parameters `p`
// (strengths, border fraction and switches already taken from the request and settings). Writes
// path->integrated (prepared and integrated camera path, cached while the preparation stays valid),
// path->smoothed (per-entry correction: translation = where the warp moves the image centre, corners
// = offsets of the warped corners relative to it; source corner k lands at output corner k +
// t + c_k), path->frameHeight, path->limitX / limitY / limitAngle and path->preparedCount. Compares
// `p` with path->modelParams for its cache test; the caller stores `p` into the path afterwards.
void RunMatrixFinisher(GlobalMotionPath* path, const model::ModelParams& p, int32_t n);

}  // namespace vendrix::finishing
