// Corner detection on a textured synthetic frame: the library's own detector at the analyser's working
// sizes (and 1920 x 1080), next to the Harris path the detect stage takes with fine refinement.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <random>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "analysis/corner_detector.h"
#include "analysis/harris_corners.h"
#include "platform/cpu.h"

namespace vendrix::analysis {
namespace {

constexpr int32_t kMaxCorners = 2000;

// Overlapping rectangles of random grey on a gradient, with mild noise: corners of every strength.
std::vector<uint8_t> TexturedFrame(int32_t w, int32_t h) {
  std::mt19937 rng(1234);
  std::vector<int32_t> v(size_t(w) * h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) v[size_t(y) * w + x] = 60 + 80 * x / w + 40 * y / h;
  const int32_t rects = w * h / 1500;
  for (int32_t r = 0; r < rects; ++r) {
    const int32_t rw = 4 + int32_t(rng() % 60), rh = 4 + int32_t(rng() % 60);
    const int32_t x0 = int32_t(rng() % uint32_t(w - rw)), y0 = int32_t(rng() % uint32_t(h - rh));
    const int32_t grey = int32_t(rng() % 256);
    for (int32_t y = y0; y < y0 + rh; ++y)
      for (int32_t x = x0; x < x0 + rw; ++x) v[size_t(y) * w + x] = grey;
  }
  std::vector<uint8_t> px(v.size());
  for (size_t i = 0; i < v.size(); ++i) px[i] = static_cast<uint8_t>(std::clamp(v[i] + int32_t(rng() % 7) - 3, 0, 255));
  return px;
}

void BM_DetectCorners(benchmark::State& state) {
  const auto w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  const std::vector<uint8_t> frame = TexturedFrame(w, h);
  std::vector<float> xy(2 * kMaxCorners);
  DetectorScratch scratch;
  int32_t found = 0;
  for (auto _ : state) {
    found = DetectCorners(frame.data(), w, h, w, kMaxCorners, scratch, xy.data());
    benchmark::DoNotOptimize(xy.data());
  }
  DetectorScratchRelease(scratch);
  state.counters["corners"] = found;
  state.SetBytesProcessed(state.iterations() * int64_t{w} * h);
}
BENCHMARK(BM_DetectCorners)->Args({960, 540})->Args({640, 360})->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The detector at 1920 x 1080 with its kernel table at each level: the plain references (flags 0),
// SSE2 (1) and AVX2 (3).
void BM_DetectCornersAtLevel(benchmark::State& state) {
  platform::SetCpuFlagsMask(static_cast<uint32_t>(state.range(2)));
  BM_DetectCorners(state);
  platform::SetCpuFlagsMask(platform::kCpuAllFlags);
}
BENCHMARK(BM_DetectCornersAtLevel)->Args({1920, 1080, 0})->Args({1920, 1080, platform::kCpuSse2})
    ->Args({1920, 1080, platform::kCpuSse2 | platform::kCpuAvx2})
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// Worst case: a frame with few corners (40) lowers the spacing all the way to 3, one suppression per
// step. (A frame with none at all is settled after the response.)
void BM_DetectCornersSparse(benchmark::State& state) {
  const auto w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  std::vector<uint8_t> frame(size_t(w) * h, 60);
  for (int32_t i = 0; i < 10; ++i) {
    const int32_t x0 = w / 12 + i * (w / 11), y0 = h / 3 + (i % 3) * (h / 6);
    for (int32_t y = y0; y < y0 + 30; ++y) std::fill_n(&frame[size_t(y) * w + x0], 30, uint8_t{230});
  }
  std::vector<float> xy(2 * kMaxCorners);
  DetectorScratch scratch;
  int32_t found = 0;
  for (auto _ : state) found = DetectCorners(frame.data(), w, h, w, kMaxCorners, scratch, xy.data());
  DetectorScratchRelease(scratch);
  state.counters["corners"] = found;
  state.SetBytesProcessed(state.iterations() * int64_t{w} * h);
}
BENCHMARK(BM_DetectCornersSparse)->Args({960, 540})->Args({1920, 1080})
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The Harris path the detect stage takes with fine refinement, with its first-round plan, on the
// textured frame or (third argument 1) the same frame blurred: there nearly every pixel passes the
// threshold and thousands of weak peaks compete. OpenCV may run parts of it on its own threads; the
// thread count is reported, not changed.
void BM_HarrisCorners(benchmark::State& state) {
  const auto w = static_cast<int32_t>(state.range(0)), h = static_cast<int32_t>(state.range(1));
  std::vector<uint8_t> frame = TexturedFrame(w, h);
  cv::Mat image(h, w, CV_8UC1, frame.data());
  if (state.range(2)) cv::GaussianBlur(image, image, cv::Size(), 12.0);  // in place, over `frame`
  std::vector<cv::Point2f> corners;
  for (auto _ : state) {
    HarrisCorners(image, HarrisPlan{0.00015, 7, 200, 4}, kMaxCorners, corners);
    benchmark::DoNotOptimize(corners.data());
  }
  state.counters["corners"] = static_cast<double>(corners.size());
  state.counters["cv_threads"] = cv::getNumThreads();
  state.SetBytesProcessed(state.iterations() * int64_t{w} * h);
}
BENCHMARK(BM_HarrisCorners)->Args({960, 540, 0})->Args({640, 360, 0})->Args({1920, 1080, 0})->Args({640, 480, 1})
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
}  // namespace vendrix::analysis
