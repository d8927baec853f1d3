// The streaming engine of the real-time path: scanning frames into the window, preparing a frame for
// display (waiting for its analysis, finishing the window again with a continuity blend, sliding the
// window), building its texture-map definition, and the three frame-range queries.
//
// Field pairs (an interlaced stream, two entries per frame): the window's path keeps the room of a
// progressive window in entries, so it holds half as many frames. The window is then counted in those
// frames: it accepts room / 2 frames and slides once the frames left before its end are only what the
// margin and the look-ahead need, so that every frame it accepts is analysed.
#include "realtime/rt_stream.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/scan.h"
#include "finishing/compensation.h"
#include "finishing/finish.h"
#include "model/analyser.h"
#include "platform/heap.h"
#include "platform/system.h"
#include "realtime/rt_lock.h"
#include "texmap/texmap_def.h"

namespace vendrix::realtime {
namespace {

// Waiting for the analysis of a requested frame: at most this many passes, each one analyser step or
// a short sleep; from the eleventh on the engine settles for less look-ahead.
constexpr int kWaitPasses = 20;
constexpr int kWaitPatientPasses = 10;
constexpr uint32_t kWaitSleepMs = 10;
constexpr int32_t kSyncDrain = 4, kSyncEndOfInput = 2;
// The continuity blend: the new path meets the old one at the anchor frame and returns to its own
// course with weight 100 / (e^2 + 100) at e entries from it.
constexpr float kBlendReach = 100.0f;
constexpr int64_t kOne = 65536;

// Stream frame numbers may be anywhere in the 64-bit range: sums that could pass it saturate.
int64_t Plus(int64_t a, int64_t b) {
  int64_t r;
  return __builtin_add_overflow(a, b, &r) ? (b > 0 ? INT64_MAX : INT64_MIN) : r;
}

bool FieldPairs(const RTMotionPath* rt) { return rt->config.FieldPairs != 0; }
int64_t EntriesPerFrame(const RTMotionPath* rt) { return FieldPairs(rt) ? 2 : 1; }
int64_t Margin(const RTMotionPath* rt) { return rt->config.SteadyMargin; }
int64_t LookAhead(const RTMotionPath* rt) { return rt->config.LookAhead; }

// Frames the window holds, and the length after which it slides (both in frames).
int64_t WindowFrames(const RTMotionPath* rt) { return WindowRoom(rt->config) / EntriesPerFrame(rt); }
int64_t WindowLength(const RTMotionPath* rt) {
  if (!FieldPairs(rt)) return rt->config.WindowLength;
  // The last frame a window of this length accepts is its length plus the margin and twice the
  // look-ahead past its first; it must fall inside the frames the path holds.
  const int64_t fits = WindowFrames(rt) - 1 - Margin(rt) - 2 * LookAhead(rt);
  return std::clamp<int64_t>(fits, 1, rt->config.WindowLength);
}
int64_t WindowEnd(const RTMotionPath* rt) { return Plus(rt->windowFirst, WindowFrames(rt) - 1); }

// The last frame whose analysis is complete; -1 without a window.
int64_t CompletedEnd(const RTMotionPath* rt) {
  if (!rt->path) return -1;
  const int64_t last = rt->path->lastFrame;
  return Plus(rt->windowFirst, FieldPairs(rt) ? (last + 1) / 2 - 1 : last);
}

int64_t ScannedEnd(const RTMotionPath* rt) { return rt->path ? rt->lastScanned : -1; }

const MotionCompHeader& Header(const uint32_t* comp) { return *reinterpret_cast<const MotionCompHeader*>(comp); }

// The last frame whose compensation will not change any more; -1 without a compensation array.
int64_t SteadyEnd(const RTMotionPath* rt) {
  if (!rt->comp) return -1;
  const MotionCompHeader& h = Header(rt->comp);
  const int64_t n = (h.interlaced & 1) ? h.count / 2 : h.count;
  return Plus(rt->compFirst, n - Margin(rt) - 1);
}

void StartWindow(RTMotionPath* rt, int64_t first) {
  model::PathDelete(rt->path);
  rt->path = nullptr;
  RtDropComp(rt);
  rt->compFirst = 0;
  // The room is not doubled for field pairs; the path only learns that a frame is two entries.
  GlobalMotionPath* path = model::PathCreate(static_cast<uint32_t>(WindowRoom(rt->config)), 0);
  if (!path) return;
  if (FieldPairs(rt)) path->flags |= kPathInterlaced;
  rt->path = path;
  rt->windowFirst = first;
}

// Waits, at most kWaitPasses passes, until the analysis is far enough past f or cannot get further
// without new frames. The feature tracker is advanced by its own steps; the block matcher's jobs reach
// the path when it is finished.
void WaitForAnalysis(RTMotionPath* rt, int64_t f) {
  if (!rt->path) return;
  const int64_t margin = Margin(rt), ahead = LookAhead(rt);
  for (int pass = 0; pass < kWaitPasses; ++pass) {
    // Results the tracker has finished reach the path first, so that "completed" is current.
    if (model::Analyser* a = rt->path->analyser) a->Sync(kSyncDrain);
    const int64_t completed = CompletedEnd(rt), scanned = ScannedEnd(rt);
    if (Plus(f, margin + 11 * ahead / 16) < completed || scanned == completed) return;
    if (pass >= kWaitPatientPasses && Plus(f, margin) < completed) return;
    if (scanned - completed < ahead) return;
    if (model::Analyser* a = rt->path->analyser)
      a->Sync(pass == 0 ? kSyncDrain : kSyncEndOfInput);
    else
      platform::SleepMs(kWaitSleepMs);
  }
}

int32_t Saturate(int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, INT32_MIN, INT32_MAX)); }

int32_t* Corners(uint32_t* comp, int64_t record) {
  return reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(comp) + VENDRIX_COMP_B_OFFSET_RECORDS +
                                    record * VENDRIX_COMP_B_RECORD_SIZE + VENDRIX_COMP_B_RECORD_OFFSET_CORNERS);
}

// Pulls the new array toward the old one so that the picture does not jump at the anchor frame g.
// False, with nothing changed, when the new path lies so far from the old one there that it must be a
// failed finishing.
bool BlendWithOld(const RTMotionPath* rt, uint32_t* fresh, int64_t count, int64_t g) {
  const uint32_t* old = rt->comp;
  const int64_t k = EntriesPerFrame(rt);
  const int64_t old_count = Header(old).count;
  const int64_t j_old = std::clamp<int64_t>((g - rt->compFirst) * k, 0, std::max<int64_t>(old_count - 1, 0));
  const int64_t j_new = std::clamp<int64_t>((g - rt->windowFirst) * k, 0, std::max<int64_t>(count - 1, 0));
  if (old_count < 1 || count < 1) return true;
  const int32_t* o = Corners(const_cast<uint32_t*>(old), j_old);
  const int32_t* n = Corners(fresh, j_new);
  int64_t d[8];
  const int64_t jump = int64_t{std::max(rt->path->width, rt->path->height)} * (kOne / 2);
  for (int i = 0; i < 8; ++i) {
    d[i] = int64_t{o[i]} - n[i];
    if (std::llabs(d[i]) > jump) return false;
  }
  for (int64_t r = 0; r < count; ++r) {
    const float e = static_cast<float>(std::llabs(j_new - r));
    const float w = kBlendReach / (e * e + kBlendReach);
    int32_t* c = Corners(fresh, r);
    for (int i = 0; i < 8; ++i) c[i] = Saturate(c[i] + static_cast<int64_t>(static_cast<float>(d[i]) * w));
  }
  return true;
}

// Finishes the window again and makes its compensation array current, continuous with the old one at
// frame g. A failed allocation keeps the old array.
void Refinish(RTMotionPath* rt, int64_t g) {
  if (!rt->path) {
    RtDropComp(rt);
    return;
  }
  const FinishRequest request{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SMOOTH, 0, 0, VENDRIX_FINISH_KEEP_NO_WAIT};
  finishing::FinishPathWith(rt->path, &request, &rt->settings);
  const int64_t room = model::PathCapacity(rt->path);
  const int64_t bytes = VENDRIX_COMP_B_SIZE(room);
  auto* fresh = static_cast<uint32_t*>(platform::HeapAllocate(static_cast<size_t>(bytes)));
  if (!fresh) return;
  fresh[0] = VENDRIX_COMP_B_TAG;
  if (!finishing::CopyCompArrayB(rt->path, fresh, static_cast<int32_t>(bytes))) {
    platform::HeapRelease(fresh);
    return;
  }
  std::memcpy(reinterpret_cast<uint8_t*>(fresh) + VENDRIX_COMP_OFFSET_SETTINGS, &rt->settings, sizeof(PathSettings));
  const int64_t count = std::min<int64_t>(int64_t{rt->path->lastFrame} + 1, rt->path->smoothed->count);
  reinterpret_cast<MotionCompHeader*>(fresh)->count = static_cast<int32_t>(std::max<int64_t>(count, 0));
  if (rt->comp && !BlendWithOld(rt, fresh, count, g)) {
    platform::HeapRelease(fresh);
    return;
  }
  RtDropComp(rt);
  rt->comp = fresh;
  rt->compFirst = rt->windowFirst;
}

// Drops the s oldest frames of the window (and the array built on them).
void Slide(RTMotionPath* rt, int64_t s) {
  if (s < 1 || !rt->path) return;
  RtDropComp(rt);
  model::PathShift(rt->path, static_cast<int32_t>(-s * EntriesPerFrame(rt)));
  rt->windowFirst += s;
}

// Makes frame f ready for display: false when it cannot be (before the array, or its block outside the
// window).
bool Prepare(RTMotionPath* rt, int64_t f) {
  const int64_t margin = Margin(rt), ahead = LookAhead(rt);
  int64_t steady = SteadyEnd(rt);
  if (rt->comp && f < rt->compFirst) return false;
  if (steady < -1) steady += margin;  // a young stream: its array holds fewer records than the margin
  // Close to the end of the steady part with enough new analysis: finish the window again.
  if (steady - f <= 2 && Plus(f, margin + 11 * ahead / 16) < CompletedEnd(rt)) steady = -1;
  if (f <= steady) return true;
  const int64_t m = std::max<int64_t>(ahead, 2), block = f - f % m;
  const int64_t scanned = ScannedEnd(rt);
  if (block < rt->windowFirst || Plus(block, m - 1) > WindowEnd(rt)) return false;
  if (f < Plus(rt->windowFirst, WindowLength(rt))) {
    if (f >= scanned) return true;  // not scanned yet: the current array, if any, serves
    WaitForAnalysis(rt, f);
  } else {
    Slide(rt, f >= scanned ? block - rt->windowFirst : 2 * WindowLength(rt) / 3);
  }
  Refinish(rt, f - 1);
  return true;
}

// Whether a frame of this geometry ends the current window.
bool GeometryChanged(const RTMotionPath* rt, const RTFrameInput& in) {
  return (rt->lastWidth > 0 && rt->lastWidth != in.width) || (rt->lastHeight > 0 && rt->lastHeight != in.height) ||
         (rt->lastAspect != 0.0f && std::fabs(rt->lastAspect - in.aspectFactor) > 0.001f);
}

}  // namespace

int32_t RtScanMap(RTMotionPath* rt, const RTFrameInput* input, int64_t frame) {
  ScanInput scan{};
  scan.tag = VENDRIX_SCAN_INPUT_TAG;
  RtLock hold;
  if (!rt || !input || input->tag != VENDRIX_RT_FRAME_TAG) return -1;
  // Differences as 128-bit values: stream frame numbers may be anywhere in the 64-bit range.
  const __int128 since_last = static_cast<__int128>(frame) - rt->lastScanned;
  if (GeometryChanged(rt, *input)) {
    if (rt->path) RtReset(rt);
    StartWindow(rt, frame);
  } else if (!rt->path) {
    StartWindow(rt, frame);
  } else if (frame >= rt->windowFirst && frame <= rt->lastScanned) {
    return 0;  // scanned already
  } else if (since_last > 1 || frame < rt->windowFirst) {
    StartWindow(rt, frame);  // frames were skipped, or the stream went back before the window
  } else if (frame > WindowEnd(rt)) {
    return -1;  // full: a texture-map request must slide it first
  }
  if (!rt->path) return -1;
  scan.format = input->format;
  scan.fieldMode = input->fieldMode;
  scan.width = input->width;
  scan.height = input->height;
  scan.pitch = input->pitch;
  scan.buffer = input->buffer;
  scan.aspectFactor = input->aspectFactor;
  scan.settings = rt->settings;
  analysis::ScanFrame(rt->path, static_cast<uint32_t>(frame - rt->windowFirst), &scan);
  rt->lastScanned = frame;
  rt->lastWidth = input->width;
  rt->lastHeight = input->height;
  rt->lastAspect = input->aspectFactor;
  return 0;
}

int32_t RtTexMapDef(RTMotionPath* rt, TexMapDefA* def, int32_t reserved, int64_t frame, uint32_t field, int32_t width,
                    int32_t height) {
  RtLock hold;
  if (reserved != 0 || frame < 0 || !rt || !Prepare(rt, frame)) return -1;
  if (!def) return 0;
  if (def->version != VENDRIX_TEXMAP_A_VERSION || width < 1 || height < 1 || field > 1 || !rt->comp) return -1;
  return texmap::DefineTexMapA(def, rt->comp, 0, static_cast<int32_t>(static_cast<uint32_t>(frame - rt->compFirst)),
                               static_cast<int32_t>(field), width, height);
}

int32_t RtSteadyRange(RTMotionPath* rt, int64_t* first, int64_t* last) {
  if (!rt) return 0;  // writes nothing
  if (first) *first = -1;
  if (last) *last = -1;
  RtLock hold;
  if (!rt->comp) return 0;
  const int64_t a = rt->compFirst, b = SteadyEnd(rt);
  if (a < b) {
    if (first) *first = a;
    if (last) *last = b;
  }
  return 1;
}

int32_t RtCompletedRange(RTMotionPath* rt, int64_t* first, int64_t* last) {
  if (!rt) return 0;
  if (first) *first = -1;
  if (last) *last = -1;
  RtLock hold;
  const int64_t a = rt->windowFirst, b = CompletedEnd(rt);
  if (a < b) {
    if (first) *first = a;
    if (last) *last = b;
  }
  return 1;
}

int32_t RtRequirements(RTMotionPath* rt, int64_t frame, int64_t* scanned, int64_t* needed, int64_t* acceptable) {
  if (!rt) return 0;
  for (int64_t* out : {scanned, needed, acceptable})
    if (out) *out = -1;
  RtLock hold;
  const int64_t l = rt->path ? rt->lastScanned : 0, w = rt->path ? rt->windowFirst : 0;
  const int64_t margin = Margin(rt), ahead = LookAhead(rt);
  const int64_t need = std::max(Plus(frame, margin + ahead - 1), l);
  if (scanned) *scanned = std::max(w, l);
  if (needed) *needed = need;
  if (acceptable) *acceptable = std::max({need, Plus(w, WindowLength(rt) + margin + 2 * ahead), l});
  return 1;
}

}  // namespace vendrix::realtime
