// Exports of the global motion path: creation, deletion and the analysis queries.
#include "analysis/frame_queries.h"
#include "api/guard.h"
#include "model/global_motion_path.h"
#include "vendrix/vendrix.h"

using vendrix::api::Guarded;
using vendrix::api::GuardedVoid;

extern "C" GlobalMotionPath* NewGlobalMotionPath(uint64_t, uint32_t frameCount, int32_t flags) noexcept {
  return Guarded<GlobalMotionPath*>(nullptr, [&] { return vendrix::model::PathCreate(frameCount, flags); });
}

extern "C" void DeleteGlobalMotionPath(GlobalMotionPath* path) noexcept {
  GuardedVoid([&] { vendrix::model::PathDelete(path); });
}

extern "C" int32_t GetCurrentAnalysisFrameCount(GlobalMotionPath* path) noexcept {
  return vendrix::analysis::CurrentAnalysisFrameCount(path);
}

extern "C" int32_t GetAnalysisFrameTranslation(GlobalMotionPath* path, int32_t level, int32_t entry,
                                               float* out) noexcept {
  return vendrix::analysis::AnalysisFrameTranslation(path, level, entry, out) ? 1 : 0;
}

extern "C" int32_t GetAnalysisFrameRotation(GlobalMotionPath* path, int32_t level, int32_t entry,
                                            float* out) noexcept {
  return vendrix::analysis::AnalysisFrameRotation(path, level, entry, out) ? 1 : 0;
}

extern "C" void GetFrameMV(GlobalMotionPath* path, uint64_t, FrameMvRecord* record) noexcept {
  vendrix::analysis::FrameMotionVector(path, record);
}

extern "C" int64_t SizeOfMotionCompArrayBPath(GlobalMotionPath* path) noexcept {
  return path ? VENDRIX_COMP_B_SIZE(vendrix::model::PathCapacity(path)) : 0;
}

extern "C" int64_t SizeOfMotionCompArrayDPath(GlobalMotionPath* path) noexcept {
  return path ? VENDRIX_COMP_D_SIZE(vendrix::model::PathCapacity(path)) : 0;
}
