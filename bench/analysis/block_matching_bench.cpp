// Block-matching throughput per analysis level: the ScanMapB loop over frames already in memory, then
// settling the job pool, at 1280 x 720 and 1920 x 1080.
#include <benchmark/benchmark.h>

#include "analysis/scan.h"
#include "model/global_motion_path.h"
#include "model/profiles.h"
#include "scan_clip.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {
namespace {

void BM_BlockMatching(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  const auto& frames = ClipFrames(static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  PathSettings settings = model::kDefaultPathSettings;
  settings.AnalysisLevel = level;
  for (auto _ : state) {
    GlobalMotionPath* path = model::PathCreate(kClipFrames, 0);
    ScanClip(path, frames, settings);
    FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
    FinishPath(path, &settle);
    model::PathDelete(path);
  }
  state.counters["fps"] = benchmark::Counter(double(kClipFrames) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_BlockMatching)
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7, 8}, {1280}, {720}})
    ->ArgsProduct({{0, 1, 2, 3, 4, 5, 6, 7, 8}, {1920}, {1080}})
    ->ArgNames({"level", "w", "h"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace
}  // namespace vendrix::analysis
