#include "motion/model_fit.h"

#include <cmath>

namespace vendrix::motion {

void PrefilterMatches(uint32_t kind, MatchList& list) {
  const uint32_t n = list.count;
  if ((kind == 1 && n < 21) || (kind == 2 && n < 6) || (kind != 1 && kind != 2)) return;
  double sum = 0.0;
  for (uint32_t i = 0; i < n; ++i) {
    // A NaN or infinite residual must not poison the mean of the others; it fails the test below.
    const double len = std::hypot(double{list.matches[i].dx}, double{list.matches[i].dy});
    if (std::isfinite(len)) sum += len;
  }
  // Kind 1 is strict (below the mean length, with a slightly inflated mean); kind 2 tolerates 20 %
  // plus a sub-pixel allowance so that a still scene keeps its matches.
  const double m = kind == 1 ? sum / (n - 1) : sum / n * 1.2 + 0.15;
  const double m2 = m * m;
  for (uint32_t i = 0; i < n; ++i) {
    MatchEntry& e = list.matches[i];
    const double len2 = double{e.dx} * e.dx + double{e.dy} * e.dy;
    // NaN residuals compare false and are dropped either way.
    const bool keep = kind == 1 ? len2 < m2 : len2 <= m2;
    if (!keep) e.valid = 0;
  }
}

void CompactMatches(MatchList& list) {
  uint32_t kept = 0;
  for (uint32_t i = 0; i < list.count; ++i)
    if (list.matches[i].valid) list.matches[kept++] = list.matches[i];
  list.count = kept;
}

void FitTranslation(model::FrameRecord& out, const MatchList& list) {
  double sx = 0.0, sy = 0.0;
  uint32_t nx = 0, ny = 0;
  for (uint32_t i = 0; i < list.count; ++i) {
    const MatchEntry& e = list.matches[i];
    if (e.weightX > 0.0f && std::isfinite(e.dx)) sx += e.dx, ++nx;
    if (e.weightY > 0.0f && std::isfinite(e.dy)) sy += e.dy, ++ny;
  }
  out.f(model::kSlotTx) = nx ? static_cast<float>(sx / nx) : 0.0f;
  out.f(model::kSlotTy) = ny ? static_cast<float>(sy / ny) : 0.0f;
}

void RefineBilinear(model::FrameRecord& out, const MatchList& list) {
  if (!list.width || !list.height) return;
  // The corners start at zero, so the residual left after the current model is the displacement minus
  // the translation; each corner takes the bilinear-weighted mean of it.
  double num[4][2] = {}, den[4][2] = {};
  const double tx = out.f(model::kSlotTx), ty = out.f(model::kSlotTy);
  for (uint32_t i = 0; i < list.count; ++i) {
    const MatchEntry& e = list.matches[i];
    const double u = e.x / static_cast<double>(list.width), v = e.y / static_cast<double>(list.height);
    if (!std::isfinite(u) || !std::isfinite(v)) continue;
    const double w[4] = {(1 - u) * (1 - v), u * (1 - v), u * v, (1 - u) * v};
    for (int k = 0; k < 4; ++k) {
      if (e.weightX > 0.0f && std::isfinite(e.dx)) num[k][0] += w[k] * (e.dx - tx), den[k][0] += w[k];
      if (e.weightY > 0.0f && std::isfinite(e.dy)) num[k][1] += w[k] * (e.dy - ty), den[k][1] += w[k];
    }
  }
  for (int k = 0; k < 4; ++k)
    for (int a = 0; a < 2; ++a)
      out.f(model::kSlotCorners + 2 * k + a) = den[k][a] > 1e-9 ? static_cast<float>(num[k][a] / den[k][a]) : 0.0f;
}

void ModelFit(const model::ModelParams& params, model::FrameRecord& out, MatchList& list, uint32_t span, bool compact,
              uint32_t homography_flags) {
  out.Clear();
  if (!params.fitEnabled) return;
  out.u(model::kSlotSpan) = span;
  if (list.count > static_cast<uint32_t>(list.capacity)) list.count = 0;  // a corrupt count measures nothing
  PrefilterMatches(params.prefilterKind, list);
  if (compact) CompactMatches(list);
  out.u(model::kSlotCount) = list.count;
  if (list.count == 0) return;
  switch (params.modelKind) {
    case model::kModelCorners:
    case model::kModelCornersTwoPass:
      FitCorners(params, out, list, params.modelKind == model::kModelCornersTwoPass ? 1 : 0);
      break;
    case model::kModelCamera:
    case model::kModelCameraCoarse:
      FitCamera(params, out, list, params.modelKind == model::kModelCameraCoarse ? 1 : 0);
      break;
    case model::kModelProjective:
    case model::kModelProjectiveRansac:
      FitProjective(params, out, list,
                    params.modelKind == model::kModelProjectiveRansac ? (homography_flags | 0x8000u) : homography_flags);
      break;
    default:
      FitTranslation(out, list);
      if (params.degreeRotation) RefineBilinear(out, list);
      break;
  }
}

}  // namespace vendrix::motion
