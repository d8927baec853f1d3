// Image conversion and mixing at 1920 x 1080, single-threaded. Reported time is per frame; the byte rate
// counts the bytes read plus the bytes written per frame, over CPU time (the machine may be shared).
//
//   vendrix_bench_util --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
// reports the median over the repetitions.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "imaging/image_convert.h"
#include "imaging/image_mix.h"
#include "imaging/pixel_formats.h"
#include "vendrix/vendrix.h"

namespace {

constexpr int32_t kWidth = 1920;
constexpr int32_t kHeight = 1080;

// Pitch of a row of `bytes`, rounded up to 64 bytes as a capture buffer would be.
int32_t PitchFor(int64_t bytes) { return static_cast<int32_t>((bytes + 63) & ~int64_t{63}); }

struct Buffer {
  std::vector<uint8_t> bytes;
  ImageDesc desc{};
};

// An image of `rows_total` rows (luma plus any chroma rows) filled with noise.
Buffer MakeImage(uint32_t format, int32_t width, int32_t height, int64_t row_bytes, int32_t rows_total) {
  Buffer b;
  const int32_t pitch = PitchFor(row_bytes);
  b.bytes.resize(static_cast<size_t>(pitch) * rows_total);
  std::mt19937 rng(7);
  for (auto& v : b.bytes) v = static_cast<uint8_t>(rng());
  if (format == VENDRIX_PIXFMT_ARGB32F || format == VENDRIX_PIXFMT_AYUV32F) {
    for (size_t i = 0; i + 4 <= b.bytes.size(); i += 4) {
      const float f = static_cast<float>(b.bytes[i]) / 255.0f;
      std::memcpy(&b.bytes[i], &f, 4);
    }
  }
  b.desc.format = format;
  b.desc.width = width;
  b.desc.height = height;
  b.desc.pitch = pitch;
  b.desc.buffer = b.bytes.data();
  return b;
}

int64_t RowBytes(uint32_t format, int32_t width) {
  switch (format) {
    case VENDRIX_PIXFMT_NV12:
      return width;
    case VENDRIX_PIXFMT_V210:
      return 128 * ((int64_t{width} + 47) / 48);
    default:
      return int64_t{vendrix::imaging::BytesPerPixel(format)} * width;
  }
}

Buffer MakeFrame(uint32_t format, int32_t width, int32_t height) {
  const int32_t rows = format == VENDRIX_PIXFMT_NV12 ? height + (height + 1) / 2 : height;
  return MakeImage(format, width, height, RowBytes(format, width), rows);
}

int64_t FrameBytes(uint32_t format, int32_t width, int32_t height) {
  const int64_t rows = format == VENDRIX_PIXFMT_NV12 ? height + (height + 1) / 2 : height;
  return RowBytes(format, width) * rows;
}

void Convert(benchmark::State& state, uint32_t dst_format, uint32_t src_format, uint32_t mode, int32_t dst_width,
             int32_t dst_height) {
  Buffer src = MakeFrame(src_format, kWidth, kHeight);
  Buffer dst = MakeFrame(dst_format, dst_width, dst_height);
  ConvRecord rec{};
  rec.tag = VENDRIX_IMAGE_TAG;
  rec.mode = mode;
  rec.source = src.desc;
  rec.destination = dst.desc;
  if (!vendrix::imaging::ConvertImage(rec)) {
    state.SkipWithError("conversion refused");
    return;
  }
  for (auto _ : state) {
    vendrix::imaging::ConvertImage(rec);
    benchmark::DoNotOptimize(dst.bytes.data());
    benchmark::ClobberMemory();
  }
  const int64_t read = src_format == VENDRIX_PIXFMT_NV12 && dst_format == VENDRIX_PIXFMT_NV12
                           ? FrameBytes(dst_format, dst_width, dst_height)
                           : FrameBytes(src_format, kWidth, kHeight);
  state.SetBytesProcessed(state.iterations() * (read + FrameBytes(dst_format, dst_width, dst_height)));
}

void Mix(benchmark::State& state, uint32_t format) {
  Buffer a = MakeFrame(format, kWidth, kHeight);
  Buffer b = MakeFrame(format, kWidth, kHeight);
  Buffer c = MakeFrame(format, kWidth, kHeight);
  MixRecord rec{};
  rec.tag = VENDRIX_IMAGE_TAG;
  rec.aFormat = format;
  rec.aWidth = kWidth;
  rec.aHeight = kHeight;
  rec.aPitch = a.desc.pitch;
  rec.aBuffer = a.desc.buffer;
  rec.b = b.desc;
  rec.c = c.desc;
  rec.mixMode = VENDRIX_MIX_LINEAR;
  rec.weight = 20000;
  if (!vendrix::imaging::MixImages(rec)) {
    state.SkipWithError("mix refused");
    return;
  }
  for (auto _ : state) {
    vendrix::imaging::MixImages(rec);
    benchmark::DoNotOptimize(c.bytes.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(state.iterations() * 3 * FrameBytes(format, kWidth, kHeight));
}

#define VX_CONVERT(name, dst, src, mode, w, h)                                 \
  void name(benchmark::State& state) { Convert(state, dst, src, mode, w, h); } \
  BENCHMARK(name)->Unit(benchmark::kMillisecond)

VX_CONVERT(Conv_1_to_1_copy, 1, 1, 0, kWidth, kHeight);
VX_CONVERT(Conv_1_to_1_tinted, 1, 1, 1, kWidth, kHeight);
VX_CONVERT(Conv_1_to_1_resample_720p, 1, 1, 0, 1280, 720);
VX_CONVERT(Conv_1_to_2, 2, 1, 0, kWidth, kHeight);
VX_CONVERT(Conv_1_to_10_yuyv, 10, 1, 0, kWidth, kHeight);
VX_CONVERT(Conv_1_to_9_uyvy, 9, 1, 0, kWidth, kHeight);
VX_CONVERT(Conv_1_to_15_ayuv8, 15, 1, 0, kWidth, kHeight);
VX_CONVERT(Conv_1_to_20_ayuv16, 20, 1, 0, kWidth, kHeight);
VX_CONVERT(Conv_1_to_21_ayuv32f, 21, 1, 0, kWidth, kHeight);
VX_CONVERT(Conv_11_to_1_decode, 1, 11, 0, kWidth, kHeight);
VX_CONVERT(Conv_19_to_1, 1, 19, 0, kWidth, kHeight);
// The planar destinations the table offers: v210 frames to the NV12 luma plane (the scanner's path), and
// NV12 to NV12.
VX_CONVERT(Conv_13_to_12_luma, 12, 13, 0, kWidth, kHeight);
VX_CONVERT(Conv_12_to_12_copy, 12, 12, 0, kWidth, kHeight);
VX_CONVERT(Conv_12_to_12_half, 12, 12, 0, kWidth / 2, kHeight / 2);
VX_CONVERT(Conv_13_to_14, 14, 13, 0, kWidth, kHeight);
VX_CONVERT(Conv_14_to_13, 13, 14, 0, kWidth, kHeight);

#define VX_MIX(name, format)                                 \
  void name(benchmark::State& state) { Mix(state, format); } \
  BENCHMARK(name)->Unit(benchmark::kMillisecond)

VX_MIX(Mix_1_u8, 1);
VX_MIX(Mix_18_u16, 18);
VX_MIX(Mix_19_f32, 19);

}  // namespace
