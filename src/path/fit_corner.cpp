// Placeholder until the corner fit lands: reports no valid motion.
#include "path/model_fit.h"

namespace vendrix::path {

void FitCorners(const ModelParams&, FrameRecord& out, MatchList&, int) { out.u(kSlotCount) = 0; }

}  // namespace vendrix::path
