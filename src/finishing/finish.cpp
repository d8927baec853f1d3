#include "finishing/finish.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "model/analyser.h"
#include "model/analysis_jobs.h"
#include "finishing/additive_finisher.h"
#include "finishing/compensation.h"
#include "finishing/matrix_finisher.h"
#include "finishing/refit.h"

namespace vendrix::finishing {
namespace {

// The request as eleven words: tag, action, translation strength, corner strength base, flags, four
// per-channel strengths, adaptive switch, border fraction.
struct Request {
  uint32_t tag;
  int32_t action;
  int32_t smoothing;
  int32_t secondary;
  uint32_t flags;
  int32_t weight[4];
  uint32_t adaptive;
  int32_t border;
};
static_assert(sizeof(Request) == sizeof(FinishRequest));

constexpr float kFixed = 65536.0f;
constexpr uint32_t kOutputAdaptive = 0x1000, kOutputTilt1 = 0x2000, kOutputTilt2 = 0x4000;
constexpr uint32_t kAnalysisRolling = 0x10;

void OverrideFromSettings(const PathSettings& s, Request& r, model::ModelParams& p) {
  r.smoothing = s.Smoothing;
  r.secondary = s.SecondarySmoothing;
  r.weight[0] = s.SmoothingWeight1;
  r.weight[1] = s.SmoothingWeight2;
  r.weight[2] = s.SmoothingWeight3;
  r.weight[3] = s.SmoothingWeight4;
  r.adaptive = s.OutputFlags & kOutputAdaptive;
  if (s.FramingMode == 6) r.border = s.FramingAmount;
  p.keepTilt1 = (s.OutputFlags & kOutputTilt1) ? 1 : 0;
  p.keepTilt2 = (s.OutputFlags & kOutputTilt2) ? 1 : 0;
  p.extended = (s.AnalysisFlags & kAnalysisRolling) ? 1 : 0;
  if (s.ModelDegree >= 0 && s.ModelDegree <= 2) {
    p.degreeRotation = s.ModelDegree >= 1 ? 1 : 0;
    p.degreeScale = s.ModelDegree == 2 ? 1 : 0;
  }
}

void SetStrengths(const Request& r, model::ModelParams& p) {
  const float b = static_cast<float>(r.secondary);
  p.translationStrength = static_cast<float>(r.smoothing) / kFixed;
  p.tilt1Strength = b / (4.0f * kFixed);
  p.tilt2Strength = b / (4.0f * kFixed);
  p.rotationStrength = b / kFixed;
  p.zoomStrength = b / kFixed;
  if (p.modelKind > 3) {
    // The per-channel weights of the newer models replace the values derived from the base.
    if (r.weight[0]) p.zoomStrength = static_cast<float>(r.weight[0]) / kFixed;
    if (r.weight[1]) p.rotationStrength = static_cast<float>(r.weight[1]) / kFixed;
    if (r.weight[2]) p.tilt1Strength = static_cast<float>(r.weight[2]) / kFixed;
    if (r.weight[3]) p.tilt2Strength = static_cast<float>(r.weight[3]) / kFixed;
  }
}

void BringAnalysisToRest(GlobalMotionPath* path, const Request& r, const model::ModelParams& p) {
  if ((r.flags & (kFinishKeepAnalysis | kFinishKeepAnalysisLight)) == 0) {
    if (path->analyser) {
      path->analyser->Release();  // a full Sync first
      path->analyser = nullptr;
    }
    // Releasing drops the results of the jobs still in flight: their records are written, but the
    // path's last completed entry stays where the last hand-over left it.
    if (path->jobPool) {
      path->jobPool->Release();
      path->jobPool = nullptr;
      RefitModels(path, p);
    }
    model::PathReleaseAnalysis(path);
    return;
  }
  if (path->analyser) path->analyser->Sync((r.flags & kFinishKeepAnalysisLight) ? 1 : 0);
  if (path->jobPool) {
    path->jobPool->CompleteAll(true);
    RefitModels(path, p);
  }
}

}  // namespace

int32_t UsableEntries(const GlobalMotionPath* path) {
  if (!path || !path->smoothed) return 0;
  const int64_t n = std::min<int64_t>(path->smoothed->count, int64_t{path->lastFrame} + 1);
  return static_cast<int32_t>(std::max<int64_t>(n, 0));
}

void ComputeBounds(GlobalMotionPath* path) {
  float lo[2] = {0.0f, 0.0f}, hi[2] = {0.0f, 0.0f};
  const int32_t n = UsableEntries(path);
  for (int32_t j = 0; j < n; ++j) {
    model::FrameRecord k;
    FrameCompensation(path, j == 0 ? 0 : std::min(j, path->integrated->count - 1), k);
    const float tx = k.f(model::kSlotTx), ty = k.f(model::kSlotTy);
    auto cx = [&](int c) { return tx + k.f(model::kSlotCorners + 2 * c); };
    auto cy = [&](int c) { return ty + k.f(model::kSlotCorners + 2 * c + 1); };
    // fmin/fmax skip NaN, so a corrupt record cannot poison the bounds.
    lo[0] = std::fmin(lo[0], std::fmin(cx(0), cx(3)));
    hi[0] = std::fmax(hi[0], std::fmax(cx(1), cx(2)));
    lo[1] = std::fmin(lo[1], std::fmin(cy(0), cy(1)));
    hi[1] = std::fmax(hi[1], std::fmax(cy(3), cy(2)));
  }
  path->boundsMin[0] = lo[0];
  path->boundsMin[1] = lo[1];
  path->boundsMax[0] = hi[0];
  path->boundsMax[1] = hi[1];
}

void FinishPathWith(GlobalMotionPath* path, const FinishRequest* request, const PathSettings* settings) {
  if (!path) return;
  model::ModelParams p = path->modelParams;
  Request r{4, -1, 0, 0, 0, {0, 0, 0, 0}, 0, 0};
  if (request) std::memcpy(&r, request, sizeof(r));
  if (settings) OverrideFromSettings(*settings, r, p);
  if (r.tag != 4) return;
  p.adaptive = r.adaptive != 0 ? 1 : 0;
  p.borderFraction = static_cast<float>(r.border) / kFixed;
  BringAnalysisToRest(path, r, p);
  if (r.action < 0) {
    SetStrengths(r, p);
    const int32_t n = UsableEntries(path);
    if (p.modelKind < model::kModelCamera) {
      IntegratePath(path, n);
      SmoothAdditive(path, n, p.translationStrength, p.rotationStrength);
    } else {
      RunMatrixFinisher(path, p, n);
    }
    path->modelParams = p;
  }
  ComputeBounds(path);
}

}  // namespace vendrix::finishing
