// The scanner export.
#include "analysis/scan.h"
#include "api/guard.h"
#include "vendrix/vendrix.h"

extern "C" void ScanMapB(GlobalMotionPath* path, uint32_t frame, const ScanInput* input) noexcept {
  vendrix::api::GuardedVoid([&] { vendrix::analysis::ScanFrame(path, frame, input); });
}
