// Level-9 analysis throughput: the whole ScanMapB loop over frames already in memory plus the final
// full Sync, at 1280 x 720 and 1920 x 1080, with the time each pipeline stage took.
#include <benchmark/benchmark.h>

#include <vector>

#include "analysis/scan.h"
#include "analysis/feature_tracker.h"
#include "support/synthetic_frames.h"
#include "model/profiles.h"

namespace vendrix::analysis {
namespace {

constexpr int kFrames = 60;

std::vector<cv::Mat> Frames(int w, int h) {
  const cv::Mat texture = testing::MakeTexture(w + 160, h + 160, 21);
  std::vector<cv::Mat> frames;
  for (int i = 0; i < kFrames; ++i) {
    testing::CameraPose p;
    p.tx = 2.0 * std::sin(i * 0.9) + 0.8 * i;
    p.ty = 1.5 * std::cos(i * 1.3);
    p.theta = 0.003 * std::sin(i * 0.5);
    frames.push_back(testing::RenderFrame(texture, w, h, p));
  }
  return frames;
}

void BM_AnalyseLevel9(benchmark::State& state) {
  const auto frames = Frames(static_cast<int>(state.range(0)), static_cast<int>(state.range(1)));
  constexpr int kStages = static_cast<int>(TrackerStage::kCount);
  int64_t stage_ns[kStages] = {};
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
      in.settings = model::kDefaultPathSettings;
      ScanFrame(path, static_cast<uint32_t>(i), &in);
    }
    auto* a = static_cast<FeatureTracker*>(path->analyser);
    a->Sync(0);
    for (int s = 0; s < kStages; ++s) stage_ns[s] += a->StageNanoseconds(static_cast<TrackerStage>(s));
    model::PathDelete(path);
  }
  state.counters["fps"] = benchmark::Counter(double(kFrames) * state.iterations(), benchmark::Counter::kIsRate);
  const char* names[kStages] = {"detect", "prepare", "track", "triangulate", "fit0", "ahead0",
                                "score0", "fit1", "ahead1", "score1", "deliver"};
  for (int s = 0; s < kStages; ++s)
    state.counters[std::string("ms_") + names[s]] = double(stage_ns[s]) / 1e6 / (double(kFrames) * state.iterations());
}
BENCHMARK(BM_AnalyseLevel9)->Args({1280, 720})->Args({1920, 1080})->Unit(benchmark::kMillisecond)
    ->Iterations(2)->UseRealTime();

}  // namespace
}  // namespace vendrix::analysis
