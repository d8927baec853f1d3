// Rendering warped 1920 x 1080 frames with TexMap: a small rotation with a zoom that covers the frame,
// the margins filled as the definition builder asks, single-threaded and on all pool threads.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "concurrency/thread_pool.h"
#include "texmap/render.h"
#include "texmap/render_internal.h"
#include "vendrix/vendrix.h"

namespace vendrix::texmap {
namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;
constexpr int32_t kOne = 65536;

// Bytes of one host frame of `format` (planar codes with their chroma) and its pitch.
int64_t FramePitch(uint32_t format) { return RowBytes(format, kWidth); }
int64_t FrameBytes(uint32_t format) {
  const int64_t luma = FramePitch(format) * kHeight;
  return (format == VENDRIX_PIXFMT_NV12 || format == VENDRIX_PIXFMT_YUV420P) ? luma + luma / 2 : luma;
}

// A turn of about 1 degree and a 4% zoom about the frame centre, as a stabilised frame typically is.
void SetWarp(TexMapDefA* def) {
  const double angle = 1.0 * 3.14159265358979 / 180.0, zoom = 1.04;
  const double cx = kWidth / 2.0, cy = kHeight / 2.0;
  const double corners[4][2] = {{0, 0}, {kWidth, 0}, {kWidth, kHeight}, {0, kHeight}};
  for (int k = 0; k < 4; ++k) {
    const double x = corners[k][0] - cx, y = corners[k][1] - cy;
    const double wx = cx + zoom * (x * std::cos(angle) - y * std::sin(angle));
    const double wy = cy + zoom * (x * std::sin(angle) + y * std::cos(angle));
    def->cornerShift[k] = {static_cast<int32_t>((wx - corners[k][0]) * kOne),
                           static_cast<int32_t>((wy - corners[k][1]) * kOne)};
  }
}

void BM_TexMap(benchmark::State& state) {
  const auto format = static_cast<uint32_t>(state.range(0));
  const bool all_threads = state.range(1) != 0;
  const int64_t pitch = FramePitch(format);
  std::vector<uint8_t> src(static_cast<size_t>(FrameBytes(format))), out(src.size());
  std::mt19937 rng(1);
  // Smooth content with some noise: what a camera delivers, not a worst case for the caches.
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<uint8_t>((i / 7 + (i / pitch) / 3 + (rng() & 15)) & 0xFF);
  if (format == VENDRIX_PIXFMT_ARGB32F) {
    for (size_t i = 0; i + 4 <= src.size(); i += 4) {
      const float v = static_cast<float>(src[i]) / 255.0f;
      std::memcpy(&src[i], &v, 4);
    }
  }
  TexMapDefA def;
  std::memset(&def, 0, sizeof(def));
  def.version = VENDRIX_TEXMAP_A_VERSION;
  def.pixelFormat = format;
  def.mapFlags = VENDRIX_MAP_FILL | VENDRIX_MAP_FILL_MARGINS;
  def.srcRect = {0, 0, kWidth * kOne, kHeight * kOne};
  def.srcPitch = static_cast<int32_t>(pitch);
  def.srcRows = kHeight;
  def.srcBuffer = src.data();
  def.outRect = def.srcRect;
  def.outPitch = static_cast<int32_t>(pitch);
  def.outRows = kHeight;
  def.outBuffer = out.data();
  def.visibleRect = {0, 0, kWidth * kOne, kHeight * kOne};
  SetWarp(&def);

  concurrency::PoolService()->SetMultithreaded(all_threads);
  TexMap(&def);  // warm up: pool threads, temporaries
  for (auto _ : state) {
    TexMap(&def);
    benchmark::ClobberMemory();
  }
  concurrency::PoolService()->SetMultithreaded(true);
  ReleaseRenderScratch();
  state.SetBytesProcessed(state.iterations() * FrameBytes(format));
  state.counters["threads"] = all_threads ? concurrency::PoolService()->ThreadCount() : 1;
}

BENCHMARK(BM_TexMap)
    ->ArgNames({"code", "all_threads"})
    ->ArgsProduct({{VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_YUYV8, VENDRIX_PIXFMT_YUV420P, VENDRIX_PIXFMT_AYUV16,
                    VENDRIX_PIXFMT_ARGB32F},
                   {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace vendrix::texmap

