// Soak of the real-time path: a long stream of small frames scanned, defined and rendered as a live
// host would, through many window slides, with the settings (analysis level, smoothing) and the
// window configuration changed on the way. It fails (exit status 1) when
//  - the live heap blocks of the second half of the stream peak more than 25 % above those of the first
//    half (each half sees both analysers; what a window holds varies with its content and with the
//    timing of the block matcher's workers), or
//  - a correction is not finite or moves a corner by more than half the frame, or
//  - a request is refused other than shortly after a change that restarts the window (the frames
//    before the new window's first look-ahead block cannot be defined).
// Prints frames, wall time, peak live heap blocks and peak RSS.
//   vendrix_rt_soak [frames] [width] [height]     (defaults 100000 128 96)
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include <opencv2/imgproc.hpp>

#include "concurrency/library.h"
#include "platform/heap.h"
#include "support/synthetic_frames.h"
#include "texmap/render.h"
#include "vendrix/vendrix.h"

namespace {

using vendrix::testing::CameraPose;

// The settings for segment k of the stream: the smoothing steps through three strengths (the window
// is finished again), the analyser alternates every two segments and the window length every four
// (both restart the window). Returns whether the window restarts. The window lengths slide by whole
// look-ahead blocks.
bool ChangeSettings(RTMotionPath* rt, int64_t k) {
  PathSettings s;
  RTMotionPathGetSettings(rt, &s, sizeof(s));
  const int32_t level = s.AnalysisLevel;
  s.AnalysisLevel = (k / 2) % 2 ? 4 : 9;
  s.Smoothing = static_cast<int32_t>((0.5 + 0.2 * (k % 3)) * 65536);
  RTMotionPathSetSettings(rt, &s, sizeof(s));
  if (k % 4 == 3) {
    const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, k % 8 == 3 ? 600u : 300u, 20, 20, 0};
    RTMotionPathConfigurate(rt, &config);
    return true;
  }
  return k == 0 || s.AnalysisLevel != level;
}

int Soak(int64_t frames, int w, int h) {
  const int64_t segment = std::clamp<int64_t>(frames / 16, 250, 1500);  // frames between settings changes
  const cv::Mat texture = vendrix::testing::MakeTexture(w + 200, h + 200, 5);
  std::mt19937 rng(5);
  std::normal_distribution<double> shake(0.0, 1.5);
  RTMotionPath* rt = NewRTMotionPath();
  if (!rt) return 1;
  int64_t restart = 0;
  ChangeSettings(rt, 0);
  const auto start = std::chrono::steady_clock::now();
  int64_t peak[2] = {0, 0}, refused = 0, requests = 0, bad = 0;
  double largest = 0.0;
  cv::Mat bgra, out(h, w, CV_8UC4);
  for (int64_t i = 0; i < frames; ++i) {
    if (i > 0 && i % segment == 0 && ChangeSettings(rt, i / segment)) restart = i;
    const double t = static_cast<double>(i);
    const CameraPose pose{12.0 * std::sin(t / 90.0) + shake(rng), 8.0 * std::sin(t / 130.0) + shake(rng), 0.0};
    cv::cvtColor(vendrix::testing::RenderFrame(texture, w, h, pose), bgra, cv::COLOR_GRAY2BGRA);
    const RTFrameInput in{VENDRIX_RT_FRAME_TAG, VENDRIX_PIXFMT_BGRA8, 0, w, h, static_cast<int32_t>(bgra.step[0]),
                          1.0f, 0, bgra.data};
    // A full window takes the frame once a request for it has slid the window.
    const VendrixFxRect frame{0, 0, w * VENDRIX_FX_ONE, h * VENDRIX_FX_ONE};
    TexMapDefA def{.version = VENDRIX_TEXMAP_A_VERSION, .pixelFormat = VENDRIX_PIXFMT_BGRA8, .srcRect = frame,
                   .srcPitch = static_cast<int32_t>(bgra.step[0]), .srcRows = h, .srcBuffer = bgra.data,
                   .outRect = frame, .outPitch = static_cast<int32_t>(out.step[0]), .outRows = h, .outBuffer = out.data};
    if (RTMotionPathScanMap(rt, &in, i) != 0) RTMotionPathTexMapDef(rt, nullptr, 0, i, 0, w, h);
    if (RTMotionPathScanMap(rt, &in, i) != 0) ++bad;
    // The frame shown now is the one a look-ahead of 20 frames back (with no delay at the start).
    const int64_t shown = i - 20;
    if (shown >= 0) {
      ++requests;
      if (RTMotionPathTexMapDef(rt, &def, 0, shown, 0, w, h) < 0) {
        ++refused;
        if (i - restart > 80) ++bad;
      } else {
        for (const VendrixFxPoint& c : def.cornerShift) {
          const double dx = c.x / 65536.0, dy = c.y / 65536.0;
          largest = std::max({largest, std::fabs(dx), std::fabs(dy)});
          if (!std::isfinite(dx) || !std::isfinite(dy) || std::fabs(dx) > w / 2.0 || std::fabs(dy) > h / 2.0) ++bad;
        }
        TexMap(&def);
      }
    }
    int64_t& p = peak[i < frames / 2 ? 0 : 1];
    p = std::max(p, vendrix::platform::HeapLiveBlocks());
  }
  DeleteRTMotionPath(rt);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("frames %lld (%dx%d), wall %.1f s, peak live blocks %lld / %lld (first / second half), peak RSS %ld MiB\n",
              static_cast<long long>(frames), w, h, seconds, static_cast<long long>(peak[0]),
              static_cast<long long>(peak[1]), usage.ru_maxrss / 1024);
  std::printf("requests %lld, refused %lld, faults (refusals, scans or corrections) %lld, largest correction %.1f px\n",
              static_cast<long long>(requests), static_cast<long long>(refused), static_cast<long long>(bad), largest);
  const bool ok = peak[1] <= peak[0] + peak[0] / 4 && bad == 0;
  if (!ok) std::printf("FAILED\n");
  return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const int64_t frames = argc > 1 ? std::atoll(argv[1]) : 100000;
  const int w = argc > 2 ? std::atoi(argv[2]) : 128, h = argc > 3 ? std::atoi(argv[3]) : 96;
  vendrix::concurrency::CreateRTPathLock();
  if (!vendrix::concurrency::ProcessAttach(nullptr)) return 1;
  const int status = Soak(frames, w, h);
  vendrix::texmap::ReleaseRenderScratch();
  vendrix::concurrency::ProcessDetach();
  vendrix::concurrency::DeleteRTPathLock();
  return status;
}
