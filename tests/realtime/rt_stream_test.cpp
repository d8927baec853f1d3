// Long streams through the real-time path, as a live host drives it: thousands of frames through
// many slides of the window must come out steady, without a jump where the window slides. (That the
// live heap stays bounded slide after slide, the soak slice rt_soak_slice checks.)
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "concurrency/thread_pool.h"
#include "support/shaky_clip.h"
#include "support/stream_host.h"
#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace vendrix::testing {
namespace {

// A stream of `frames` frames of an endless shaky walk over a texture (a slow wander plus hand shake, in
// BGRA) through `path`, driven as a live host drives it; the output's jitter and frame-to-frame shift
// are measured on the frames before `measured`, the input's likewise.
struct Streamed {
  double in = 0, out = 0;
  std::vector<double> motion;   // output's frame-to-frame shift, by frame
  std::vector<int64_t> slides;  // frames for whose definition the window moved on
  int64_t rendered = 0, refused = 0;
};

Streamed Stream(RTMotionPath* path, int64_t frames, int64_t measured, uint32_t seed) {
  const cv::Mat texture = MakeTexture(128 + 200, 96 + 200, seed);
  std::mt19937 rng(seed);
  std::normal_distribution<double> shake(0.0, 1.2);
  JitterMeter in, out;
  Streamed s;
  int64_t window_first = 0;
  StreamHost host(path, [&](int64_t f, const cv::Mat& picture) {
    ++s.rendered;
    if (f >= measured) return;
    const cv::Point2d d = out.Add(picture);
    s.motion.push_back(std::hypot(d.x, d.y));
    int64_t first, last;
    if (RTMotionScannerCompletedFrameRange(path, &first, &last) && first > window_first) {
      s.slides.push_back(f);
      window_first = first;
    }
  });
  for (int64_t i = 0; i < frames; ++i) {
    const double t = double(i);
    cv::Mat frame;
    cv::cvtColor(RenderFrame(texture, 128, 96, {12.0 * std::sin(t / 90.0) + shake(rng), 8.0 * std::sin(t / 130.0) + shake(rng), 0.0}),
                 frame, cv::COLOR_GRAY2BGRA);
    if (i < measured) in.Add(frame);
    host.Push(i, frame);
  }
  host.Flush();
  s.refused = host.Refused();
  s.in = in.Jitter(), s.out = out.Jitter();
  return s;
}

TEST(RealtimeStream, FiveThousandFramesThroughManySlidesStaySteady) {
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
  const Streamed s = Stream(path, 5000, 4900, 5);  // the unanalysed tail is left out
  EXPECT_EQ(s.refused, 0);
  EXPECT_GT(s.slides.size(), 20u);
  // The offline road reaches 0.22 on this stream.
  EXPECT_LT(s.out, 0.3 * s.in) << "jitter in " << s.in << ", out " << s.out;
  std::vector<double> sorted = s.motion;
  std::sort(sorted.begin(), sorted.end());
  const double p99 = sorted[sorted.size() * 99 / 100];
  for (int64_t slide : s.slides)
    for (int64_t f = slide; f < slide + 2 && f < int64_t(s.motion.size()); ++f) EXPECT_LE(s.motion[f], p99) << "frame " << f;
  DeleteRTMotionPath(path);
  concurrency::PoolService()->SetMultithreaded(true);
}

TEST(RealtimeStream, FieldPairsStreamSteadyAndSlide) {
  RTMotionPath* path = NewRTMotionPath();
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, 100, 10, 30, 1};
  ASSERT_EQ(RTMotionPathConfigurate(path, &config), 1);
  const Streamed s = Stream(path, 600, 600, 6);
  EXPECT_EQ(s.rendered, 600);
  EXPECT_LT(s.out, 0.3 * s.in) << "jitter in " << s.in << ", out " << s.out;
  int64_t first, last;
  ASSERT_EQ(RTMotionScannerCompletedFrameRange(path, &first, &last), 1);
  EXPECT_GT(first, 400);  // the window slid along
  EXPECT_GE(last, 570);   // all but the tracker's look-ahead analysed
  DeleteRTMotionPath(path);
}

}  // namespace
}  // namespace vendrix::testing
