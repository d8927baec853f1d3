#include "finishing/additive_finisher.h"

#include <algorithm>
#include <cmath>
#include <memory>

#include "finishing/kernel.h"

namespace vendrix::finishing {
namespace {

// Records with non-finite motion values are treated as missing: one corrupt measurement must not turn
// the whole integrated path into NaN.
bool Finite(const model::FrameRecord& r) {
  for (int i = 0; i < 10; ++i)
    if (!std::isfinite(r.f(i))) return false;
  return true;
}

bool Usable(const model::FrameRecord& r) { return r.count() != 0 && Finite(r); }

}  // namespace

void IntegratePath(GlobalMotionPath* path, int32_t n) {
  model::FrameRecordArray* integ = path->integrated;
  n = std::min({n, integ->count, path->analysis->count});
  if (n <= 0) return;
  for (int32_t k = 0; k < n; ++k) {
    integ->records[k] = path->analysis->records[k];
    if (!Finite(integ->records[k])) {
      model::RecordReset(integ->records[k]);  // keeps the count at 0: a missing measurement adds nothing
    }
  }
  auto weight = [&](int32_t k) -> float& { return integ->records[k].f(model::kSlotWeight); };
  weight(0) = 0.0f;
  for (int32_t k = 1; k < n; ++k) {
    model::RecordAdd(integ->records[k], integ->records[k - 1]);
    weight(k) = 1.0f;
    for (int v = 3; v >= 1; --v) {
      const model::FrameRecordArray* m = path->measured[v];
      if (!m || k >= m->count) continue;
      const model::FrameRecord& r = m->records[k];
      if (r.span() == 1 && Usable(r)) {
        RecordAdd(integ->records[k], r);
        weight(k) += 1.0f;
      }
    }
  }
  // Long-span measurements pull the path toward the motion they saw over several entries, which
  // cancels the drift that summing short steps accumulates.
  for (int v = 3; v >= 1; --v) {
    const model::FrameRecordArray* m = path->measured[v];
    if (!m) continue;
    for (int32_t k = 1; k < n && k < m->count; ++k) {
      model::FrameRecord t = m->records[k];
      const int32_t d = static_cast<int32_t>(t.span());
      if (d <= 1 || d > k || !Usable(t)) continue;
      double big_w = 1.0;
      const int32_t mi = std::min(k + 2 * d, n - 1);
      const model::FrameRecord& neighbour = m->records[mi];
      if (mi < m->count && Usable(neighbour) &&
          (std::fabs(neighbour.f(model::kSlotTx)) > 1e-5f || std::fabs(neighbour.f(model::kSlotTy)) > 1e-5f)) {
        const double w = std::exp(-0.6 * (2.0 * d) * (2.0 * d)) / (double(d) * d);
        model::RecordAddScaled(t, neighbour, static_cast<float>(w));
        big_w += w;
      }
      for (int32_t s = 1; s <= d; ++s) {
        model::FrameRecord u = integ->records[k - d];
        const float wk = weight(k - d);
        if (wk > 0.0f) model::RecordScale(u, 1.0f / wk);
        model::RecordAddScaled(u, t, static_cast<float>((double(s) / d) / big_w));
        const float g = static_cast<float>(std::exp(1.1 * (8 - d + s)));
        RecordAddScaled(integ->records[k - d + s], u, g);
        weight(k - d + s) += g;
      }
    }
  }
  for (int32_t k = 0; k < n; ++k)
    if (weight(k) > 0.0f) model::RecordScale(integ->records[k], 1.0f / weight(k));
}

void SmoothAdditive(GlobalMotionPath* path, int32_t n, float translation, float corners) {
  const model::FrameRecordArray* integ = path->integrated;
  model::FrameRecordArray* sm = path->smoothed;
  n = std::min({n, integ->count, sm->count});
  if (n <= 0) return;
  if (n == 1) {
    // A single usable entry has no neighbours to smooth against: no correction.
    for (int s = 0; s < 10; ++s) sm->records[0].f(s) = integ->records[0].f(s);
    return;
  }
  auto kernel = std::make_unique<Kernel>();
  // Index 0 is the reference entry whose record holds no motion; the sums use entries 1..n-1.
  auto smooth = [&](int first_slot, int slots, float strength) {
    BuildKernel(strength, false, *kernel);
    for (int32_t i = 0; i < n; ++i) {
      double acc[8] = {};
      if (!kernel->Empty()) {
        for (int32_t o = -kernel->radius; o <= kernel->radius; ++o) {
          const int32_t j = std::clamp(i + o, 1, n - 1);
          const float w = kernel->At(o);
          for (int s = 0; s < slots; ++s) acc[s] += double{w} * integ->records[j].f(first_slot + s);
        }
      }
      for (int s = 0; s < slots; ++s) sm->records[i].f(first_slot + s) = static_cast<float>(acc[s]);
    }
  };
  smooth(model::kSlotTx, 2, translation);
  smooth(model::kSlotCorners, 8, corners);
}

}  // namespace vendrix::finishing
