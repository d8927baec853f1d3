// Placeholder until the projective fit lands: reports no valid motion.
#include "path/model_fit.h"

namespace vendrix::path {

void FitProjective(const ModelParams&, FrameRecord& out, MatchList&, uint32_t) { out.u(kSlotCount) = 0; }

}  // namespace vendrix::path
