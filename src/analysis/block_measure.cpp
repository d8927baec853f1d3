#include "analysis/block_measure.h"

#include <algorithm>
#include <cmath>

#include "model/record_array.h"
#include "motion/model_fit.h"

namespace vendrix::analysis {
namespace {

constexpr int32_t kMaxDistance = 4;
// The path's measurement arrays the block matcher fills: the forward measurement (in multi-distance
// mode, one array per distance 1, 2 and 4), and the reversed second pass at the first distance, which
// the single-distance mode keeps beside the forward one and the multi-distance mode after its three.
constexpr int kForward = 0;
constexpr int kReversedSingle = 1;
constexpr int kReversedMulti = 3;
// Two-pass radius: a cheap first search with this many blocks measures the spread; the real search
// then covers 1.3 spreads plus a little, at least 6 and at most 1.5 times the configured radius.
constexpr uint32_t kProbeBlocks = 100;
constexpr uint32_t kTwoPassFromBlocks = 200;
constexpr double kSpreadToRadius = 1.3;
constexpr int32_t kMinProbedRadius = 6;
// Reference-distance adaptation: a spread above half the radius risks leaving the search window, one
// below 0.4 of it leaves room to measure over a longer distance.
constexpr double kSpreadHigh = 0.5, kSpreadLow = 0.4;
constexpr int32_t kMinLongRadius = 10;

bool Prepared(const model::FramePlane* p) { return p && p->prepared; }

int32_t DistanceLimit(uint32_t max_distance) {
  if (max_distance <= 1) return 1;
  return max_distance <= 3 ? static_cast<int32_t>(max_distance) : kMaxDistance;
}

struct Measured {
  int32_t distance = 0;  // 0: not measured
  Measurement m;
};

// One measurement at `distance` (current against reference, or reversed); nothing when its planes are
// missing.
Measured MeasureAt(const EntryMeasurement& job, model::MeasureParams p, int32_t distance, bool reversed,
                   const BlockKernels& k) {
  SearchPlanes planes;
  job.matches->count = 0;
  if (!PlanesAtDistance(*job.pool, *job.window, distance, p, &planes)) return {};
  if (reversed) std::swap(planes.current, planes.reference);
  return {distance, MeasureOnce(p, planes, *job.matches, k)};
}

// The search radius of the real measurement from a cheap probe (two-pass mode).
void ProbeRadius(const EntryMeasurement& job, model::MeasureParams& p, int32_t distance, const BlockKernels& k) {
  if (!p.twoPass || p.targetBlocks < kTwoPassFromBlocks) return;
  model::MeasureParams probe = p;
  probe.targetBlocks = kProbeBlocks;
  probe.explicitWindow = 0;
  const Measured first = MeasureAt(job, probe, distance, false, k);
  int32_t radius = 2 + static_cast<int32_t>(std::trunc(kSpreadToRadius * first.m.spread));
  if (radius <= kMinProbedRadius) radius = kMinProbedRadius;
  radius = std::min<int32_t>(radius, 3 * p.searchRadius / 2);
  p.searchRadius = static_cast<uint16_t>(radius);
  p.explicitWindow = 0;
}

// The forward measurement with the reference distance chosen from the measured spread.
Measured MeasureAdaptive(const EntryMeasurement& job, model::MeasureParams p, const BlockKernels& k) {
  const FrameWindow& w = *job.window;
  if (w.entries < 2 || !Prepared(w.planes[0][0]) || !Prepared(w.planes[1][0])) return {};
  const int32_t limit = DistanceLimit(p.maxDistance);
  int32_t d = 1;
  bool may_raise = true, may_lower = true;
  if (p.fixedDistance) {
    d = std::min(limit, w.entries - 1);
    may_raise = may_lower = false;
  } else if (p.distanceStep) {
    if (d >= limit) {
      d = d + 1 - limit / 2;
      may_raise = false;
    }
    d -= 1;
  }
  d = std::max(1, std::min({d, limit, kMaxDistance}));
  ProbeRadius(job, p, d, k);
  Measured r = MeasureAt(job, p, d, false, k);
  if (p.maxDistance < 2) return r;
  const double radius = p.searchRadius;
  for (;;) {
    const double spread = r.m.spread;
    int32_t next = 0;
    if (spread >= kSpreadLow * radius) {
      if (spread > kSpreadHigh * radius && may_lower && d > 1) next = d - 1, may_raise = false;
    } else if (may_raise && d < std::min({w.entries - 1, limit, kMaxDistance})) {
      next = d + 1, may_lower = false;
    }
    if (next == 0) return r;
    const Measured again = MeasureAt(job, p, next, false, k);
    if (again.distance == 0) return MeasureAt(job, p, d, false, k);  // that reference is gone: keep d
    d = next;
    r = again;
  }
}

// The field's half-row offset from the frame's centre line, on measurements over an odd distance.
void ApplyFieldShift(const model::MeasureParams& p, bool odd_distance, model::MatchList& list) {
  if (!p.fieldShiftOn || !odd_distance || !(std::fabs(p.fieldShift) > 0.001f)) return;
  for (uint32_t i = 0; i < list.count; ++i) list.matches[i].dy += p.fieldShift;
}

// A reversed measurement reports the motion from the current to the reference entry at the reference's
// block positions: turned round, it is forward motion again.
void TurnRound(model::MatchList& list) {
  for (uint32_t i = 0; i < list.count; ++i) {
    model::MatchEntry& m = list.matches[i];
    m.x -= m.dx;
    m.y -= m.dy;
    m.dx = -m.dx;
    m.dy = -m.dy;
  }
}

// Fits the list into the entry's record of `variant` and, when asked, keeps the list as measured with
// the fit's values of every match (the re-fit pass starts from it again).
model::FrameRecord* KeepAndFit(const EntryMeasurement& job, int variant, int32_t distance) {
  model::FrameRecordArray* array = job.path->measured[variant];
  if (!array || job.entry < 0 || job.entry >= array->count) return nullptr;
  model::MatchList& list = *job.matches;
  model::MatchList* copy = job.measure.keepMatches ? model::MatchListCopy(&list) : nullptr;
  model::FrameRecord& record = array->records[job.entry];
  motion::ModelFit(job.model, record, list, static_cast<uint32_t>(distance), true, 0);
  if (copy) {
    for (uint32_t i = 0; i < copy->count && i < list.count; ++i) copy->matches[i].fitValue = list.matches[i].fitValue;
    model::RecordArraySetOwned(array->keptMatches, job.entry, copy);
  }
  return &record;
}

void MeasureReversed(const EntryMeasurement& job, const model::MeasureParams& p, int32_t distance, int variant,
                     const BlockKernels& k) {
  const Measured r = MeasureAt(job, p, distance, true, k);
  TurnRound(*job.matches);
  ApplyFieldShift(p, (r.distance & 1) != 0, *job.matches);
  KeepAndFit(job, variant, r.distance);
}

void MeasureSingle(const EntryMeasurement& job, const BlockKernels& k) {
  const model::MeasureParams& p = job.measure;
  const Measured r = MeasureAdaptive(job, p, k);
  ApplyFieldShift(p, (p.maxDistance & 1) != 0, *job.matches);
  KeepAndFit(job, kForward, r.distance);
  if (p.secondPass && r.distance > 0) MeasureReversed(job, p, r.distance, kReversedSingle, k);
}

// Distances 1, 2 and 4 into the first three arrays; each longer distance searches as far as the shorter
// one's spread, scaled by the distance, suggests.
void MeasureMultiDistance(const EntryMeasurement& job, const BlockKernels& k) {
  model::MeasureParams p = job.measure;
  if (job.interlaced) p.searchRadius = static_cast<uint16_t>(p.searchRadius / 2);
  Measured prev;
  int variant = kForward;
  for (int32_t d = 1; d <= kMaxDistance && d <= job.entry; d *= 2, ++variant) {
    model::MeasureParams q = p;
    q.fixedDistance = 1;
    if (d == 1) {
      ProbeRadius(job, q, d, k);
    } else {
      const double scaled = prev.distance > 0 ? kSpreadToRadius * d * prev.m.spread / prev.distance : 0.0;
      q.searchRadius = static_cast<uint16_t>(std::max<int32_t>(kMinLongRadius, 1 + static_cast<int32_t>(std::trunc(scaled))));
      q.explicitWindow = 0;
    }
    const Measured r = MeasureAt(job, q, d, false, k);
    ApplyFieldShift(p, (d & 1) != 0, *job.matches);
    if (model::FrameRecord* rec = KeepAndFit(job, variant, r.distance)) {
      rec->f(model::kSlotSpread) = static_cast<float>(r.m.spread);
      rec->f(model::kSlotSpread + 1) = static_cast<float>(r.m.spread);
    }
    if (d == 1 && p.secondPass && r.distance > 0) MeasureReversed(job, q, 1, kReversedMulti, k);
    prev = r;
  }
}

}  // namespace

bool PlanesAtDistance(const model::FramePlanePool& pool, const FrameWindow& window, int32_t distance,
                      const model::MeasureParams& p, SearchPlanes* planes) {
  if (distance < 1 || distance >= window.entries) return false;
  const int32_t top = p.coarsestLevel >= 3 ? 3 : 2;
  for (int32_t level = 0; level < 4; ++level) {
    planes->current[level] = planes->reference[level] = nullptr;
    if (level > top) continue;
    const model::FramePlane* cur = window.planes[0][level];
    const model::FramePlane* ref = window.planes[distance][level];
    if (!Prepared(cur) || !Prepared(ref)) return false;
    planes->current[level] = PlaneOrigin(pool, *cur);
    planes->reference[level] = PlaneOrigin(pool, *ref);
  }
  planes->pitch = PlanePitch(pool);
  planes->width = pool.width;
  planes->height = pool.height;
  return true;
}

void MeasureEntry(const EntryMeasurement& job, const BlockKernels& k) {
  if (!job.path || !job.matches || !job.pool || !job.window) return;
  if (job.measure.multiDistance)
    MeasureMultiDistance(job, k);
  else
    MeasureSingle(job, k);
}

}  // namespace vendrix::analysis
