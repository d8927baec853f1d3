// Exports of path finishing and the compensation arrays.
#include "api/guard.h"
#include "finishing/compensation.h"
#include "finishing/finish.h"
#include "vendrix/vendrix.h"

using vendrix::api::Guarded;
using vendrix::api::GuardedVoid;

extern "C" void FinishPath(GlobalMotionPath* path, const FinishRequest* request) noexcept {
  GuardedVoid([&] { vendrix::finishing::FinishPathWith(path, request, nullptr); });
}

extern "C" void FinishPathB(GlobalMotionPath* path, uint32_t flags, const PathSettings* settings) noexcept {
  GuardedVoid([&] {
    FinishRequest request{};
    request.tag = VENDRIX_FINISH_REQUEST_TAG;
    request.action = -1;
    request.flags = flags;
    vendrix::finishing::FinishPathWith(path, &request, settings);
  });
}

extern "C" uint32_t CopyMotionCompArrayBPath(GlobalMotionPath* path, uint32_t* block, int32_t size) noexcept {
  return Guarded<uint32_t>(0, [&] { return vendrix::finishing::CopyCompArrayB(path, block, size); });
}

extern "C" uint32_t CopyMotionCompArrayDPath(GlobalMotionPath* path, uint32_t* block, int32_t size) noexcept {
  return Guarded<uint32_t>(0, [&] { return vendrix::finishing::CopyCompArrayD(path, block, size); });
}
