// Long streams through the real-time path, as a live host drives it: thousands of frames through
// many slides of the window must come out steady, without a jump where the window slides, with the
// live heap bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "concurrency/thread_pool.h"
#include "platform/heap.h"
#include "support/shaky_clip.h"
#include "support/stream_host.h"
#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace vendrix::testing {
namespace {

// Frame i of an endless shaky walk over a texture: a slow wander plus hand shake, in BGRA.
class ShakyStream {
 public:
  ShakyStream(int w, int h, uint32_t seed) : w_(w), h_(h), texture_(MakeTexture(w + 200, h + 200, seed)), rng_(seed) {}
  cv::Mat Next(int64_t i) {
    const double t = double(i);
    CameraPose p{12.0 * std::sin(t / 90.0) + shake_(rng_), 8.0 * std::sin(t / 130.0) + shake_(rng_), 0.0};
    cv::Mat bgra;
    cv::cvtColor(RenderFrame(texture_, w_, h_, p), bgra, cv::COLOR_GRAY2BGRA);
    return bgra;
  }

 private:
  int w_, h_;
  cv::Mat texture_;
  std::mt19937 rng_;
  std::normal_distribution<double> shake_{0.0, 1.2};
};

TEST(RealtimeStream, FiveThousandFramesThroughManySlidesStaySteadyAndBounded) {
  constexpr int64_t kFrames = 5000, kMeasured = kFrames - 100;  // the unanalysed tail is left out
  RTMotionPath* path = NewRTMotionPath();
  // A short window, so that the stream slides it many times. Its slide (two thirds of it) is made of
  // whole look-ahead blocks, so that no frame falls in a partial block at the start of a window, which
  // the path refuses. The steady margin (the configured default, 50) keeps every re-finishing well
  // behind the end of the analysis, where a new finishing revises the old one little: a slide, which
  // starts over without the old array, then barely moves the picture. With a margin of 10 the
  // corrections carried by the continuity blend reach 2 pixels, and a slide drops them at once.
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, 300, 50, 50, 0};
  ASSERT_EQ(RTMotionPathConfigurate(path, &config), 1);
  // The analysis runs on the calling thread, so that what is complete at each request, and with it
  // every output frame, does not depend on timing.
  concurrency::PoolService()->SetMultithreaded(false);
  ShakyStream stream(128, 96, 5);
  JitterMeter in, out;
  std::vector<double> motion;  // output's frame-to-frame shift, by frame
  std::vector<int64_t> slides;
  int64_t window_first = 0, heap_first_half = 0, heap_second_half = 0;
  StreamHost host(path, [&](int64_t f, const cv::Mat& picture) {
    if (f >= kMeasured) return;
    const cv::Point2d d = out.Add(picture);
    motion.push_back(std::hypot(d.x, d.y));
    // A window that moved on while this frame was defined slid for it.
    int64_t first, last;
    if (RTMotionScannerCompletedFrameRange(path, &first, &last) && first > window_first) {
      slides.push_back(f);
      window_first = first;
    }
  });
  for (int64_t i = 0; i < kFrames; ++i) {
    const cv::Mat frame = stream.Next(i);
    if (i < kMeasured) in.Add(frame);
    host.Push(i, frame);
    int64_t& heap = i < kFrames / 2 ? heap_first_half : heap_second_half;
    heap = std::max(heap, platform::HeapLiveBlocks());
  }
  host.Flush();
  EXPECT_EQ(host.Refused(), 0);
  EXPECT_GT(slides.size(), 20u);
  // The offline road reaches 0.22 on this stream.
  EXPECT_LT(out.Jitter(), 0.3 * in.Jitter()) << "jitter in " << in.Jitter() << ", out " << out.Jitter();
  std::vector<double> sorted = motion;
  std::sort(sorted.begin(), sorted.end());
  const double p99 = sorted[sorted.size() * 99 / 100];
  for (int64_t s : slides)
    for (int64_t f = s; f < s + 2 && f < int64_t(motion.size()); ++f) EXPECT_LE(motion[f], p99) << "frame " << f;
  EXPECT_LE(heap_second_half, heap_first_half);  // the window's memory is reused, slide after slide
  DeleteRTMotionPath(path);
  concurrency::PoolService()->SetMultithreaded(true);
}

TEST(RealtimeStream, FieldPairsStreamSteadyAndSlide) {
  RTMotionPath* path = NewRTMotionPath();
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, 100, 10, 30, 1};
  ASSERT_EQ(RTMotionPathConfigurate(path, &config), 1);
  ShakyStream stream(128, 96, 6);
  JitterMeter in, out;
  int64_t rendered = 0;
  StreamHost host(path, [&](int64_t, const cv::Mat& picture) {
    out.Add(picture);
    ++rendered;
  });
  for (int64_t i = 0; i < 600; ++i) {
    const cv::Mat frame = stream.Next(i);
    in.Add(frame);
    host.Push(i, frame);
  }
  host.Flush();
  EXPECT_EQ(rendered, 600);
  EXPECT_LT(out.Jitter(), 0.3 * in.Jitter()) << "jitter in " << in.Jitter() << ", out " << out.Jitter();
  int64_t first, last;
  ASSERT_EQ(RTMotionScannerCompletedFrameRange(path, &first, &last), 1);
  EXPECT_GT(first, 400);  // the window slid along
  EXPECT_GE(last, 570);   // all but the tracker's look-ahead analysed
  DeleteRTMotionPath(path);
}

}  // namespace
}  // namespace vendrix::testing
