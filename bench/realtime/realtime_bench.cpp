// The real-time road as a live host drives it, through the shared library and its public header only:
// every frame of an NV12 stream held in memory is scanned as it arrives, and each frame is defined and
// rendered (TexMap into an NV12 output) as soon as the requirements query allows. Reported per size:
// frames per second sustained over the stream, the delay (frames a frame waits between its arrival
// and its rendering, worst case), and the per-arrival time (the scan plus whatever it let render,
// waits and re-finishing included): median, 99th percentile and worst.
// Each size runs with the library's configuration and with the command's (look-ahead and margin 50).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace {

constexpr int kDistinct = 90;   // frames rendered once; the stream walks them forth and back
constexpr int kStream = 900;    // frames per run: 30 s at 30 frames/s, past the first window slide

struct Nv12 {
  std::vector<uint8_t> bytes;  // luma rows then interleaved chroma rows, pitch = width
};

const std::vector<Nv12>& Frames(int w, int h) {
  static std::vector<Nv12> frames;
  static int built_w = 0;
  if (built_w == w) return frames;
  frames.clear();
  built_w = w;
  const cv::Mat texture = vendrix::testing::MakeTexture(w + 200, h + 200, 7);
  std::mt19937 rng(3);
  std::normal_distribution<double> shake(0.0, 2.0);
  for (int i = 0; i < kDistinct; ++i) {
    const vendrix::testing::CameraPose p{20.0 * std::sin(i / 15.0) + shake(rng), 10.0 * std::sin(i / 23.0) + shake(rng),
                                         0.002 * shake(rng)};
    const cv::Mat luma = vendrix::testing::RenderFrame(texture, w, h, p);
    Nv12 f;
    f.bytes.resize(size_t(w) * h * 3 / 2, 128);
    for (int y = 0; y < h; ++y) std::memcpy(&f.bytes[size_t(y) * w], luma.ptr(y), size_t(w));
    frames.push_back(std::move(f));
  }
  return frames;
}

// Stream frame i shows distinct frame 0, 1, ..., 89, 88, ..., 1, 0, 1, ...
const Nv12& StreamFrame(const std::vector<Nv12>& frames, int64_t i) {
  const int64_t period = 2 * (kDistinct - 1), k = i % period;
  return frames[size_t(k < kDistinct ? k : period - k)];
}

void BM_Realtime(benchmark::State& state) {
  const int w = static_cast<int>(state.range(0)), h = static_cast<int>(state.range(1));
  // Look-ahead 0 keeps the library's configuration; otherwise the window the vendrix command uses: a
  // steady margin as long as the look-ahead and a length whose slide is a whole number of its blocks.
  const auto look_ahead = static_cast<uint32_t>(state.range(2));
  const uint32_t blocks = look_ahead ? (2000 + 3 * look_ahead / 2) / (3 * look_ahead) : 0;  // per slide, near 1000
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, 3 * blocks * look_ahead / 2, look_ahead, look_ahead, 0};
  const std::vector<Nv12>& frames = Frames(w, h);
  std::vector<uint8_t> out(size_t(w) * h * 3 / 2);
  using Clock = std::chrono::steady_clock;
  std::vector<double> arrival_ms;
  int64_t worst_delay = 0;
  double seconds = 0;
  for (auto _ : state) {
    RTMotionPath* path = NewRTMotionPath();
    if (look_ahead > 0) RTMotionPathConfigurate(path, &config);
    std::deque<int64_t> held;
    auto render = [&](int64_t now, bool end) {
      while (!held.empty()) {
        const int64_t f = held.front();
        int64_t scanned, needed, acceptable;
        RTMotionScannerRequirementsFrameRange(path, f, &scanned, &needed, &acceptable);
        if (!end && scanned < needed) return;
        const Nv12& src = StreamFrame(frames, f);
        TexMapDefA def{};
        def.version = VENDRIX_TEXMAP_A_VERSION;
        def.pixelFormat = VENDRIX_PIXFMT_NV12;
        def.srcRect = {0, 0, w * VENDRIX_FX_ONE, h * VENDRIX_FX_ONE};
        def.srcPitch = w;
        def.srcRows = h;  // luma rows: the chroma plane follows them
        def.srcBuffer = src.bytes.data();
        def.outRect = def.srcRect;
        def.outPitch = w;
        def.outRows = h;
        def.outBuffer = out.data();
        if (RTMotionPathTexMapDef(path, &def, 0, f, 0, w, h) >= 0) TexMap(&def);
        worst_delay = std::max(worst_delay, now - f);
        held.pop_front();
      }
    };
    const auto start = Clock::now();
    for (int64_t i = 0; i < kStream; ++i) {
      const auto t0 = Clock::now();
      const Nv12& f = StreamFrame(frames, i);
      const RTFrameInput in{VENDRIX_RT_FRAME_TAG, VENDRIX_PIXFMT_NV12, 0, w, h, w, 1.0f, 0, f.bytes.data()};
      held.push_back(i);
      // A full window refuses until a request slides it: render what is ready, then scan again.
      for (size_t before = held.size(); RTMotionPathScanMap(path, &in, i) != 0; before = held.size()) {
        render(i, false);
        if (held.size() == before) break;
      }
      render(i, false);
      arrival_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    render(kStream, true);
    seconds += std::chrono::duration<double>(Clock::now() - start).count();
    DeleteRTMotionPath(path);
  }
  std::sort(arrival_ms.begin(), arrival_ms.end());
  state.counters["fps"] = double(kStream) * double(state.iterations()) / seconds;
  state.counters["delay_frames"] = double(worst_delay);
  state.counters["median_ms"] = arrival_ms[arrival_ms.size() / 2];
  state.counters["p99_ms"] = arrival_ms[arrival_ms.size() * 99 / 100];
  state.counters["worst_ms"] = arrival_ms.back();
}
BENCHMARK(BM_Realtime)
    ->ArgsProduct({{1280}, {720}, {0, 50}})
    ->ArgsProduct({{1920}, {1080}, {0, 50}})
    ->ArgNames({"w", "h", "look_ahead"})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
