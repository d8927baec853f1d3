// Corner fit on block-matching-like match lists: 0.3 px noise, 25 % outliers, a small similarity
// (translation, 0.5 degree, 0.5 % zoom), rotation and scale steps on. One benchmark per list size and
// model kind (2: single pass, 3: two passes); the time is per fit.
#include <benchmark/benchmark.h>

#include "motion/model_fit.h"
#include "support/synthetic_matches.h"

namespace vendrix::motion {
namespace {

void BM_FitCorners(benchmark::State& state) {
  testing::SyntheticOptions o;
  o.count = static_cast<uint32_t>(state.range(0));
  o.noise = 0.3;
  o.outliers = 0.25;
  o.seed = 7;
  MatchList* list = testing::MakeMatches(testing::Similarity(4.0, -2.5, 0.5 * 3.14159265 / 180.0, 1.005), o);
  model::ModelParams params{};
  params.fitEnabled = 1;
  params.modelKind = static_cast<uint32_t>(state.range(1));
  params.degreeRotation = 1;
  params.degreeScale = 1;
  model::FrameRecord out;
  for (auto _ : state) {
    // The two-pass fit marks outliers invalid in the caller's list; every fit starts from the same list.
    for (uint32_t i = 0; i < list->count; ++i) list->matches[i].valid = 1;
    ModelFit(params, out, *list, 1, false, 0);
    benchmark::DoNotOptimize(out);
  }
  state.SetItemsProcessed(state.iterations() * o.count);
  model::MatchListRelease(list);
}
BENCHMARK(BM_FitCorners)
    ->ArgsProduct({{500, 2000, 8000}, {model::kModelCorners, model::kModelCornersTwoPass}})
    ->ArgNames({"", "kind"})
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace vendrix::motion
