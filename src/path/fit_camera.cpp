// Placeholder until the camera fit lands: reports no valid motion.
#include "path/model_fit.h"

namespace vendrix::path {

void FitCamera(const ModelParams&, FrameRecord& out, MatchList&, int) { out.u(kSlotCount) = 0; }

}  // namespace vendrix::path
