// Camera fit (model kinds 4 and 5) on realistic synthetic lists: a handheld-like motion (translation,
// rotation, zoom and both tilts), 0.3 px noise and 25 % outliers on a 960 x 540 working image.
// BM_FitCamera/<matches>/<variant>: variant 0 = kind 4, variant 1 = kind 5 (coarse and final phases).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <numbers>

#include "motion/camera_matrix.h"
#include "motion/model_fit.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {
namespace {

model::MatchList* MakeRealisticList(uint32_t count) {
  model::FrameRecord truth;
  truth.Clear();
  model::RecordReset(truth);
  const double theta = 0.6 * std::numbers::pi / 180.0;
  truth.f(model::kSlotTx) = 5.5f;
  truth.f(model::kSlotTy) = -2.75f;
  truth.f(model::kSlotRotSin) = static_cast<float>(std::sin(theta));
  truth.f(model::kSlotRotCos) = static_cast<float>(std::cos(theta));
  truth.f(model::kSlotZoom) = ZoomTermFromFactor(1.012f, 540.0f);
  truth.f(model::kSlotTiltA) = 0.02f;
  truth.f(model::kSlotTiltB) = -0.015f;
  float m[16];
  CameraMatrixFromRecord(truth, 540.0f, m);
  double h[9];
  HomographyFromMat4(m, h);
  testing::SyntheticOptions o;
  o.count = count;
  o.noise = 0.3;
  o.outliers = 0.25;
  o.seed = 7;
  return testing::MakeMatches(testing::Homography(h), o);
}

void BM_FitCamera(benchmark::State& state) {
  const auto count = static_cast<uint32_t>(state.range(0));
  const int variant = static_cast<int>(state.range(1));
  model::MatchList* list = MakeRealisticList(count);
  model::MatchList* work = MakeRealisticList(count);
  if (!list || !work) {
    state.SkipWithError("match list allocation failed");
    return;
  }
  model::ModelParams params{};
  params.fitEnabled = 1;
  params.modelKind = variant ? model::kModelCameraCoarse : model::kModelCamera;
  model::FrameRecord out;
  for (auto _ : state) {
    // The fit marks outliers invalid; every run starts from the untouched list.
    state.PauseTiming();
    std::memcpy(work->matches, list->matches, sizeof(model::MatchEntry) * list->count);
    work->count = list->count;
    state.ResumeTiming();
    ModelFit(params, out, *work, 1, false, 0);
    benchmark::DoNotOptimize(out);
  }
  state.counters["valid"] = out.count() ? 1.0 : 0.0;
  model::MatchListRelease(work);
  model::MatchListRelease(list);
}

BENCHMARK(BM_FitCamera)
    ->ArgsProduct({{500, 2000, 8000}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace vendrix::motion
