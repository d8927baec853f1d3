// Level-9 analysis throughput: the whole ScanMapB loop over frames already in memory plus the final
// full Sync, at 1280 x 720 and 1920 x 1080, with the time each pipeline stage took.
#include <benchmark/benchmark.h>

#include <vector>

#include "analysis/scan.h"
#include "analysis/feature_tracker.h"
#include "scan_clip.h"
#include "model/profiles.h"

namespace vendrix::analysis {
namespace {

void BM_AnalyseLevel9(benchmark::State& state) {
  const auto& frames = ClipFrames(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  constexpr int kStages = static_cast<int>(TrackerStage::kCount);
  int64_t stage_ns[kStages] = {};
  for (auto _ : state) {
    GlobalMotionPath* path = model::PathCreate(kClipFrames, 0);
    ScanClip(path, frames, model::kDefaultPathSettings);
    auto* a = static_cast<FeatureTracker*>(path->analyser);
    a->Sync(0);
    for (int s = 0; s < kStages; ++s) stage_ns[s] += a->StageNanoseconds(static_cast<TrackerStage>(s));
    model::PathDelete(path);
  }
  state.counters["fps"] = benchmark::Counter(double(kClipFrames) * state.iterations(), benchmark::Counter::kIsRate);
  const char* names[kStages] = {"detect", "prepare", "track", "triangulate", "fit0", "ahead0",
                                "score0", "fit1", "ahead1", "score1", "deliver"};
  for (int s = 0; s < kStages; ++s)
    state.counters[std::string("ms_") + names[s]] = double(stage_ns[s]) / 1e6 / (double(kClipFrames) * state.iterations());
}
BENCHMARK(BM_AnalyseLevel9)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond)
    ->Iterations(2)->UseRealTime();

}  // namespace
}  // namespace vendrix::analysis
