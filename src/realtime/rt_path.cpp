// The real-time path object: creation, deletion, window configuration and settings with the change
// classes that decide what must be rebuilt.
#include "realtime/rt_path.h"

#include <cstring>

#include "model/profiles.h"
#include "platform/heap.h"
#include "realtime/rt_lock.h"

namespace vendrix::realtime {
namespace {

constexpr uint32_t kFlagRollingShutter = VENDRIX_ANALYSIS_ROLLING_SHUTTER;
constexpr uint32_t kOutputFinishing = VENDRIX_OUTPUT_ADAPTIVE | VENDRIX_OUTPUT_TILT1 | VENDRIX_OUTPUT_TILT2;
constexpr int32_t kLevelMatrixModel = 6;  // from this level on, the rolling-shutter flag only re-finishes

// 0 means `zero`; below lo becomes lo, above hi becomes hi (unsigned comparisons).
uint32_t Normalise(uint32_t v, uint32_t zero, uint32_t lo, uint32_t hi) {
  if (v == 0) return zero;
  return v < lo ? lo : (v > hi ? hi : v);
}

// The analysis must start again: the measurement itself changes.
bool NeedsRestart(const PathSettings& old, const PathSettings& s) {
  uint32_t flags = old.AnalysisFlags ^ s.AnalysisFlags;
  if (old.AnalysisLevel >= kLevelMatrixModel) flags &= ~kFlagRollingShutter;
  return flags != 0 || old.AnalysisLevel != s.AnalysisLevel || old.AnalysisOffset != s.AnalysisOffset ||
         old.AnalysisOrder != s.AnalysisOrder;
}

// The window must be finished again: smoothing and the finisher's switches change.
bool NeedsRefinish(const PathSettings& old, const PathSettings& s) {
  return old.Smoothing != s.Smoothing || old.SecondarySmoothing != s.SecondarySmoothing ||
         old.SmoothingWeight1 != s.SmoothingWeight1 || old.SmoothingWeight2 != s.SmoothingWeight2 ||
         old.SmoothingWeight3 != s.SmoothingWeight3 || old.SmoothingWeight4 != s.SmoothingWeight4 ||
         old.ModelDegree != s.ModelDegree || ((old.AnalysisFlags ^ s.AnalysisFlags) & kFlagRollingShutter) ||
         ((old.OutputFlags ^ s.OutputFlags) & kOutputFinishing) ||
         (old.FramingAmount != s.FramingAmount && (s.FramingMode == VENDRIX_FRAMING_BORDER_LIMIT ||
                                                   old.FramingMode == VENDRIX_FRAMING_BORDER_LIMIT));
}

}  // namespace

int64_t WindowRoom(const RTPathConfig& c) {
  return int64_t{c.WindowLength} + c.SteadyMargin + 2 * int64_t{c.LookAhead} + 64;
}

void RtDropComp(RTMotionPath* rt) {
  platform::HeapRelease(rt->comp);
  rt->comp = nullptr;
}

void RtReset(RTMotionPath* rt) {
  model::PathDelete(rt->path);
  rt->path = nullptr;
  rt->lastScanned = 0;
  rt->lastWidth = rt->lastHeight = 0;
  RtDropComp(rt);
}

RTMotionPath* RtCreate() {
  auto* rt = static_cast<RTMotionPath*>(platform::HeapAllocate(sizeof(RTMotionPath)));
  if (!rt) return nullptr;
  // The default settings, with ordinary framing without an amount and without the adaptive window,
  // which needs the whole clip's motion.
  rt->settings = model::kDefaultPathSettings;
  rt->settings.FramingAmount = 0;
  rt->settings.FramingMode = VENDRIX_FRAMING_FOLLOW;
  rt->settings.OutputFlags &= ~uint32_t{VENDRIX_OUTPUT_ADAPTIVE};
  rt->config = {VENDRIX_RT_CONFIG_TAG, VENDRIX_RT_DEFAULT_WINDOW_LENGTH, VENDRIX_RT_DEFAULT_STEADY_MARGIN,
                VENDRIX_RT_DEFAULT_LOOK_AHEAD, 0};
  return rt;
}

void RtDelete(RTMotionPath* rt) {
  RtLock hold;
  if (!rt) return;
  RtReset(rt);
  platform::HeapRelease(rt);
}

int32_t RtConfigure(RTMotionPath* rt, const RTPathConfig* config) {
  if (!rt || !config || config->tag != VENDRIX_RT_CONFIG_TAG) return 0;
  const RTPathConfig c{VENDRIX_RT_CONFIG_TAG, Normalise(config->WindowLength, 1000, 100, 10000),
                       Normalise(config->SteadyMargin, 50, 2, 1000), Normalise(config->LookAhead, 50, 2, 1000),
                       config->FieldPairs};
  RtLock hold;
  const RTPathConfig& o = rt->config;
  if (o.WindowLength == c.WindowLength && o.SteadyMargin == c.SteadyMargin && o.LookAhead == c.LookAhead &&
      o.FieldPairs == c.FieldPairs)
    return 1;
  RtReset(rt);
  rt->config = c;
  return 1;
}

int32_t RtGetSettings(RTMotionPath* rt, PathSettings* out, uint32_t size) {
  if (!rt || !out || size != VENDRIX_PATH_SETTINGS_SIZE) return 0;
  RtLock hold;
  *out = rt->settings;
  return 1;
}

int32_t RtSetSettings(RTMotionPath* rt, const PathSettings* in, int32_t size) {
  if (!rt || !in || size != VENDRIX_PATH_SETTINGS_SIZE) return 0;
  RtLock hold;
  const PathSettings old = rt->settings, s = *in;
  rt->settings = s;
  if (NeedsRestart(old, s)) {
    RtReset(rt);
  } else if (NeedsRefinish(old, s)) {
    RtDropComp(rt);
  } else if (rt->comp) {
    // Framing, view and other output fields take effect with the next definition.
    std::memcpy(reinterpret_cast<uint8_t*>(rt->comp) + VENDRIX_COMP_OFFSET_SETTINGS, &s, sizeof(s));
  }
  return 1;
}

}  // namespace vendrix::realtime
