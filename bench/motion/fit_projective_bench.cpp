// Projective fit on realistic match lists: 0.3 px noise, 25 % outliers, a small camera motion with
// rotation, zoom and perspective. The fit annotates and rewrites its list, so every iteration starts
// from a fresh copy of the generated matches (restored outside the timed region).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>

#include "motion/model_fit.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {
namespace {

void BM_FitProjective(benchmark::State& state) {
  const double h[9] = {1.004 * std::cos(0.01), -1.004 * std::sin(0.01), 4.0,
                       1.004 * std::sin(0.01), 1.004 * std::cos(0.01), -2.5,
                       1e-5,                   -2e-5,                  1.0};
  vendrix::testing::SyntheticOptions options;
  options.count = static_cast<uint32_t>(state.range(0));
  options.noise = 0.3;
  options.outliers = 0.25;
  MatchList* pristine = vendrix::testing::MakeMatches(vendrix::testing::Homography(h), options);
  MatchList* work = vendrix::testing::MakeMatches(vendrix::testing::Homography(h), options);
  if (!pristine || !work) {
    state.SkipWithError("match list allocation failed");
    model::MatchListRelease(pristine);
    model::MatchListRelease(work);
    return;
  }
  model::ModelParams params{};
  params.modelKind = model::kModelProjective;
  params.fitEnabled = 1;
  model::FrameRecord out;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(work->matches, pristine->matches, pristine->count * sizeof(MatchEntry));
    work->count = pristine->count;
    out.Clear();
    out.u(model::kSlotSpan) = 1;
    out.u(model::kSlotCount) = work->count;
    state.ResumeTiming();
    FitProjective(params, out, *work, 0);
    benchmark::DoNotOptimize(out);
  }
  if (out.count() == 0) state.SkipWithError("fit rejected the benchmark data");
  model::MatchListRelease(pristine);
  model::MatchListRelease(work);
}

BENCHMARK(BM_FitProjective)
    ->Arg(500)
    ->Arg(2000)
    ->Arg(8000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace vendrix::motion
