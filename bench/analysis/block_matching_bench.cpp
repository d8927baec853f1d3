// Block-matching throughput per analysis level: the ScanMapB loop over frames already in memory, then
// settling the job pool, at 1280 x 720 and 1920 x 1080. Frames are 8-bit luma (the NV12 layout's first
// plane), so the figures are the analysis alone.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "analysis/scan.h"
#include "model/global_motion_path.h"
#include "model/profiles.h"
#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {
namespace {

constexpr int kFrames = 60;

const std::vector<cv::Mat>& Frames(int w, int h) {
  static std::vector<cv::Mat> frames;
  if (!frames.empty() && frames[0].cols == w) return frames;
  frames.clear();
  const cv::Mat texture = testing::MakeTexture(w + 160, h + 160, 21);
  for (int i = 0; i < kFrames; ++i) {
    const testing::CameraPose p{2.0 * std::sin(i * 0.9) + 0.8 * i, 1.5 * std::cos(i * 1.3), 0.003 * std::sin(i * 0.5)};
    frames.push_back(testing::RenderFrame(texture, w, h, p));
  }
  return frames;
}

void BM_BlockMatching(benchmark::State& state) {
  const int level = static_cast<int>(state.range(0));
  const auto& frames = Frames(static_cast<int>(state.range(1)), static_cast<int>(state.range(2)));
  PathSettings settings = model::kDefaultPathSettings;
  settings.AnalysisLevel = level;
  for (auto _ : state) {
    GlobalMotionPath* path = model::PathCreate(kFrames, 0);
    for (int i = 0; i < kFrames; ++i) {
      ScanInput in{};
      in.tag = VENDRIX_SCAN_INPUT_TAG;
      in.format = VENDRIX_PIXFMT_NV12;
      in.width = frames[i].cols;
      in.height = frames[i].rows;
      in.pitch = static_cast<int32_t>(frames[i].step[0]);
      in.buffer = frames[i].data;
      in.aspectFactor = 1.0f;
      in.settings = settings;
      ScanFrame(path, static_cast<uint32_t>(i), &in);
    }
    FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
    FinishPath(path, &settle);
    model::PathDelete(path);
  }
  state.counters["fps"] = benchmark::Counter(double(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
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
