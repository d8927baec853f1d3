// The real-time path exports.
#include "api/guard.h"
#include "realtime/rt_path.h"
#include "realtime/rt_stream.h"
#include "vendrix/vendrix.h"

using vendrix::api::Guarded;
using vendrix::api::GuardedVoid;
namespace rt = vendrix::realtime;

extern "C" RTMotionPath* NewRTMotionPath(void) noexcept { return Guarded<RTMotionPath*>(nullptr, [] { return rt::RtCreate(); }); }

extern "C" void DeleteRTMotionPath(RTMotionPath* path) noexcept { GuardedVoid([&] { rt::RtDelete(path); }); }

extern "C" int32_t RTMotionPathConfigurate(RTMotionPath* path, const RTPathConfig* config) noexcept {
  return Guarded(0, [&] { return rt::RtConfigure(path, config); });
}

extern "C" int32_t RTMotionPathGetSettings(RTMotionPath* path, PathSettings* out, uint32_t size) noexcept {
  return Guarded(0, [&] { return rt::RtGetSettings(path, out, size); });
}

extern "C" int32_t RTMotionPathSetSettings(RTMotionPath* path, const PathSettings* in, int32_t size) noexcept {
  return Guarded(0, [&] { return rt::RtSetSettings(path, in, size); });
}

extern "C" int32_t RTMotionPathScanMap(RTMotionPath* path, const RTFrameInput* input, int64_t frame) noexcept {
  return Guarded(-1, [&] { return rt::RtScanMap(path, input, frame); });
}

extern "C" int32_t RTMotionPathTexMapDef(RTMotionPath* path, TexMapDefA* def, int32_t reserved, int64_t frame,
                                         uint32_t field, int32_t width, int32_t height) noexcept {
  return Guarded(-1, [&] { return rt::RtTexMapDef(path, def, reserved, frame, field, width, height); });
}

extern "C" int32_t RTMotionPathSteadyFrameRange(RTMotionPath* path, int64_t* first, int64_t* last) noexcept {
  return Guarded(0, [&] { return rt::RtSteadyRange(path, first, last); });
}

extern "C" int32_t RTMotionScannerCompletedFrameRange(RTMotionPath* path, int64_t* first, int64_t* last) noexcept {
  return Guarded(0, [&] { return rt::RtCompletedRange(path, first, last); });
}

extern "C" int32_t RTMotionScannerRequirementsFrameRange(RTMotionPath* path, int64_t frame, int64_t* scanned,
                                                         int64_t* needed, int64_t* acceptable) noexcept {
  return Guarded(0, [&] { return rt::RtRequirements(path, frame, scanned, needed, acceptable); });
}
