// Luma readers and the scale stack at 1920 x 1080: what every scanned frame pays before measuring.
#include <benchmark/benchmark.h>

#include <vector>

#include "analysis/frame_planes.h"
#include "analysis/luma_readers.h"
#include "analysis/scan_params.h"

namespace vendrix::analysis {
namespace {

constexpr int32_t kW = 1920, kH = 1080;

struct Frame {
  std::vector<uint8_t> pixels;
  model::AnalysisImage image{};
  Frame(uint32_t format, uint32_t halve) {
    const int32_t bpp = LumaBytesPerPixel(format);
    pixels.resize(size_t(kW) * kH * bpp);
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>((i * 2654435761u) >> 24);
    image.format = format;
    image.sourceWidth = kW;
    image.sourceHeight = kH;
    image.sourcePitch = kW * bpp;
    image.sourceBuffer = pixels.data();
    image.halveAllowed = halve;
    ChooseWorkingImage(image);
  }
};

void BM_ReadLuma(benchmark::State& state) {
  Frame f(static_cast<uint32_t>(state.range(0)), static_cast<uint32_t>(state.range(1)));
  std::vector<uint8_t> plane(size_t(f.image.width) * f.image.height);
  for (auto _ : state) {
    f.image.readRow(f.image, plane.data(), f.image.width);
    benchmark::DoNotOptimize(plane.data());
  }
  state.SetBytesProcessed(state.iterations() * int64_t(f.pixels.size()));
}
// Args: format, halving allowed.
BENCHMARK(BM_ReadLuma)->Args({1, 0})->Args({1, 1})->Args({10, 0})->Args({10, 1})->Args({12, 0})->Args({12, 1})->Args({20, 1})
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_ScaleStack(benchmark::State& state) {
  Frame f(1, 1);
  model::FramePlanePool* pool = model::FramePlanePoolCreate(f.image.width, f.image.height);
  model::MeasureParams m;
  LoadMeasureDefaults(m);
  m.contrastStretch = 1;
  m.coarsestLevel = 3;
  m.smoothPrefilter = static_cast<uint8_t>(state.range(0));
  int32_t entry = 0;
  for (auto _ : state) {
    FrameWindow w;
    AcquireWindow(*pool, entry++, w);
    PrepareScaleStack(*pool, w, f.image, m);
    ReleaseWindow(w);
  }
  model::FramePlanePoolRelease(pool);
}
// Arg: smoothing prefilter (with its median) on or off.
BENCHMARK(BM_ScaleStack)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
}  // namespace vendrix::analysis

BENCHMARK_MAIN();
