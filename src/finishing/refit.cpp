#include "finishing/refit.h"

#include <algorithm>
#include <cstring>

#include "model/match_list.h"
#include "concurrency/frame_parallel.h"
#include "motion/model_fit.h"

namespace vendrix::finishing {
namespace {

constexpr int32_t kParallelFrom = 10;

struct RefitContext {
  GlobalMotionPath* path;
  const model::ModelParams* p;
};

// Whether an entry is fitted again in the re-fit variant: entries whose last fit found no valid motion
// are the ones a second look with other parameters can win back; valid ones keep their record.
bool NeedsRefit(const model::FrameRecord& r) { return r.count() == 0; }

void RefitEntry(RefitContext& c, int32_t i) {
  model::FrameRecordArray* a = c.path->analysis;
  auto* kept = static_cast<model::MatchList*>(a->keptMatches[i]);
  auto* untouched = static_cast<model::MatchList*>(a->originalMatches[i]);
  // Restore: the first pass keeps the list as measured; later passes start from that copy again.
  if (!untouched && kept) {
    a->originalMatches[i] = model::MatchListCopy(kept);
  } else if (untouched) {
    model::MatchList* fresh = model::MatchListCopy(untouched);
    if (fresh) RecordArraySetOwned(a->keptMatches, i, fresh);
  }
  kept = static_cast<model::MatchList*>(a->keptMatches[i]);
  if (!kept) return;
  if (c.p->refitVariant && !NeedsRefit(a->records[i])) return;
  model::MatchList* work = model::MatchListCopy(kept);
  if (!work) return;
  model::FrameRecord& r = a->records[i];
  motion::ModelFit(*c.p, r, *work, 1, true, 0);
  if (r.count() == 0 && (c.p->modelKind == model::kModelCamera || c.p->modelKind == model::kModelCameraCoarse)) {
    // The camera model could not explain the matches: fall back to the projective model, which
    // tolerates more outliers, without its tilt angles.
    model::MatchListRelease(work);
    work = model::MatchListCopy(kept);
    if (work) {
      model::ModelParams projective = *c.p;
      projective.modelKind = model::kModelProjective;
      motion::ModelFit(projective, r, *work, 1, true, 0);
      r.f(model::kSlotTilt1Sin) = 0.0f;
      r.f(model::kSlotTilt1Cos) = 1.0f;
      r.f(model::kSlotTilt2Sin) = 0.0f;
      r.f(model::kSlotTilt2Cos) = 1.0f;
    }
  }
  model::MatchListRelease(work);
}

}  // namespace

void RefitModels(GlobalMotionPath* path, const model::ModelParams& p) {
  if (p.analyserKind == 1) return;
  const int32_t n = std::min(path->smoothed->count, path->lastFrame + 1);
  if (p.refitVariant) {
    if (path->refitKind != 0 && path->refitSize == static_cast<uint32_t>(n)) return;
  } else if (path->refitKind == 0) {
    return;
  }
  RefitContext ctx{path, &p};
  auto body = [&ctx](int32_t i) { RefitEntry(ctx, i); };
  if (!concurrency::ForEachFrame(n, kParallelFrom, body)) return;
  path->preparedCount = 0;  // the records changed under the finisher's cached preparation
  path->refitSize = static_cast<uint32_t>(n);
  path->refitKind = p.refitVariant;
}

}  // namespace vendrix::finishing
