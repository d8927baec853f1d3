// The real-time path through its exports: configuration, settings change classes, scanning into the
// window (repeats, skips, geometry changes, the full window and its slide), texture-map requests and
// the frame-range queries; then long streams, as a live host drives them: thousands of frames through
// many slides of the window must come out steady, without a jump where the window slides. (That the
// live heap stays bounded slide after slide, the soak slice rt_soak_slice checks.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "concurrency/thread_pool.h"
#include "model/profiles.h"
#include "platform/system.h"
#include "realtime/rt_path.h"
#include "support/shaky_clip.h"
#include "support/stream_host.h"
#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace vendrix::realtime {
namespace {

constexpr int kW = 48, kH = 32;
using Range = std::pair<int64_t, int64_t>;

struct Frames {
  cv::Mat texture = testing::MakeTexture(kW + 100, kH + 100, 3);
  cv::Mat At(int64_t i) const { return testing::RenderFrame(texture, kW, kH, {0.3 * double(i % 97), 0.0, 0.0}); }
};

int32_t Scan(RTMotionPath* p, const cv::Mat& grey, int64_t frame, float aspect = 1.0f) {
  const RTFrameInput in{VENDRIX_RT_FRAME_TAG, VENDRIX_PIXFMT_NV12, 0, grey.cols, grey.rows,
                        static_cast<int32_t>(grey.step[0]), aspect, 0, grey.data};
  return RTMotionPathScanMap(p, &in, frame);
}

// Frames 0 to `last` scanned, then a definition requested for `frame`, which finishes the window.
void ScanAndFinish(RTMotionPath* p, const Frames& f, int last, int64_t frame) {
  for (int i = 0; i <= last; ++i) ASSERT_EQ(Scan(p, f.At(i), i), 0);
  ASSERT_EQ(RTMotionPathTexMapDef(p, nullptr, 0, frame, 0, kW, kH), 0);
  ASSERT_TRUE(p->path && p->comp);
}

TEST(RealtimePath, ConfigurationIsNormalisedAndAnUnchangedOneKeepsTheWindow) {
  RTMotionPath* p = NewRTMotionPath();
  const RTPathConfig zero{2, 0, 0, 0, 0}, far{2, 50, 1, 5000, 1}, wrong{3, 200, 20, 20, 0};
  auto config_is = [&](RTPathConfig c) { return std::memcmp(&p->config, &c, sizeof c) == 0; };
  ASSERT_EQ(RTMotionPathConfigurate(p, &zero), 1);
  EXPECT_TRUE(config_is({2, 1000, 50, 50, 0}));  // zeros take the defaults
  ASSERT_EQ(RTMotionPathConfigurate(p, &far), 1);
  EXPECT_TRUE(config_is({2, 100, 2, 1000, 1}));  // out of range: clamped
  EXPECT_EQ(RTMotionPathConfigurate(p, &wrong), 0);
  EXPECT_EQ(RTMotionPathConfigurate(nullptr, &zero), 0);
  EXPECT_EQ(RTMotionPathConfigurate(p, nullptr), 0);
  EXPECT_TRUE(config_is({2, 100, 2, 1000, 1}));

  ASSERT_NO_FATAL_FAILURE(ScanAndFinish(p, Frames(), 2, 1));
  GlobalMotionPath* window = p->path;
  ASSERT_EQ(RTMotionPathConfigurate(p, &far), 1);  // the same values: nothing changes
  EXPECT_EQ(p->path, window);
  EXPECT_NE(p->comp, nullptr);
  ASSERT_EQ(RTMotionPathConfigurate(p, &zero), 1);  // other values: window and array go
  EXPECT_EQ(p->path, nullptr);
  EXPECT_EQ(p->comp, nullptr);
  DeleteRTMotionPath(p);
  DeleteRTMotionPath(nullptr);
}

TEST(RealtimePath, SettingsStartAsTheDefaultProfileAndChangesRebuildWhatTheyMust) {
  RTMotionPath* p = NewRTMotionPath();
  PathSettings s;
  std::memset(&s, 0x5A, sizeof s);
  EXPECT_EQ(RTMotionPathGetSettings(p, &s, 59), 0);
  EXPECT_EQ(RTMotionPathGetSettings(p, &s, 61), 0);
  EXPECT_EQ(s.AnalysisLevel, 0x5A5A5A5A);
  ASSERT_EQ(RTMotionPathGetSettings(p, &s, 60), 1);
  EXPECT_EQ(IsSameProfile(VENDRIX_PROFILE_DEFAULT, &s), 1);
  EXPECT_EQ(RTMotionPathSetSettings(p, &s, 59), 0);
  EXPECT_EQ(RTMotionPathSetSettings(nullptr, &s, 60), 0);

  struct Change {
    const char* name;
    int32_t old_level;
    void (*apply)(PathSettings&);
    bool keeps_window, keeps_comp;
  };
  const Change changes[] = {
      {"framing mode", 9, [](PathSettings& x) { x.FramingMode = VENDRIX_FRAMING_FIT; }, true, true},
      {"smoothing", 9, [](PathSettings& x) { x.Smoothing += 100; }, true, false},
      {"rolling shutter, level 9", 9, [](PathSettings& x) { x.AnalysisFlags ^= 0x10; }, true, false},
      {"rolling shutter, level 3", 3, [](PathSettings& x) { x.AnalysisFlags ^= 0x10; }, false, false},
      {"analysis order", 9, [](PathSettings& x) { x.AnalysisOrder = 3; }, false, false},
      {"amount, mode 2", 9, [](PathSettings& x) { x.FramingAmount = 1000; }, true, true},
      {"amount, mode 6", 9, [](PathSettings& x) { x.FramingMode = 6, x.FramingAmount = 1000; }, true, false},
      {"adaptive window", 9, [](PathSettings& x) { x.OutputFlags ^= VENDRIX_OUTPUT_ADAPTIVE; }, true, false},
  };
  Frames f;
  for (const Change& c : changes) {
    SCOPED_TRACE(c.name);
    PathSettings old = model::kDefaultPathSettings;
    old.AnalysisLevel = c.old_level;
    ASSERT_EQ(RTMotionPathSetSettings(p, &old, 60), 1);
    ASSERT_NO_FATAL_FAILURE(ScanAndFinish(p, f, 2, 1));
    PathSettings next = old;
    c.apply(next);
    ASSERT_EQ(RTMotionPathSetSettings(p, &next, 60), 1);
    EXPECT_EQ(p->path != nullptr, c.keeps_window);
    EXPECT_EQ(p->comp != nullptr, c.keeps_comp);
    if (p->comp) {  // the array already carries the new framing fields
      EXPECT_EQ(std::memcmp(reinterpret_cast<uint8_t*>(p->comp) + VENDRIX_COMP_OFFSET_SETTINGS, &next, 60), 0);
    }
    ASSERT_EQ(RTMotionPathGetSettings(p, &s, 60), 1);
    EXPECT_EQ(std::memcmp(&s, &next, 60), 0);
  }
  DeleteRTMotionPath(p);
}

TEST(RealtimePath, ScanningRepeatsSkipsAndGeometry) {
  RTMotionPath* p = NewRTMotionPath();
  Frames f;
  for (int64_t i : {0, 1, 2, 1}) EXPECT_EQ(Scan(p, f.At(i), i), 0);  // a repeat is accepted
  EXPECT_EQ(p->lastScanned, 2);
  ASSERT_EQ(RTMotionPathTexMapDef(p, nullptr, 0, 1, 0, kW, kH), 0);
  EXPECT_EQ(Scan(p, f.At(5), 5), 0);  // frames 3 and 4 skipped: a new window at 5
  EXPECT_EQ(p->windowFirst, 5);
  EXPECT_EQ(p->comp, nullptr);
  EXPECT_EQ(Scan(p, f.At(6), 6, 1.0005f), 0);  // an aspect change of 0.0005 keeps the window ...
  EXPECT_EQ(p->windowFirst, 5);
  EXPECT_EQ(Scan(p, f.At(7), 7, 1.0025f), 0);  // ... one of 0.002 does not
  EXPECT_EQ(p->windowFirst, 7);
  const cv::Mat wider = testing::RenderFrame(f.texture, kW + 2, kH, {0, 0, 0});
  EXPECT_EQ(Scan(p, wider, 8, 1.0025f), 0);  // a new width too
  EXPECT_EQ(p->windowFirst, 8);
  EXPECT_EQ(p->lastWidth, kW + 2);
  const RTFrameInput bad{2, VENDRIX_PIXFMT_NV12, 0, kW, kH, kW, 1.0f, 0, f.At(0).data};
  EXPECT_EQ(RTMotionPathScanMap(p, &bad, 9), -1);
  EXPECT_EQ(RTMotionPathScanMap(p, nullptr, 9), -1);
  EXPECT_EQ(RTMotionPathScanMap(nullptr, &bad, 9), -1);
  DeleteRTMotionPath(p);
}

TEST(RealtimePath, AFullWindowRefusesUntilARequestSlidesIt) {
  Frames f;
  const cv::Mat frame = f.At(1);
  for (const bool scanned_beyond : {true, false}) {
    SCOPED_TRACE(scanned_beyond ? "requested frame scanned" : "requested frame not scanned yet");
    RTMotionPath* p = NewRTMotionPath();
    PathSettings s = model::kDefaultPathSettings;
    s.AnalysisLevel = 2;  // block matching: these frames are too small for it, so scanning is cheap
    RTMotionPathSetSettings(p, &s, 60);
    const int64_t last = scanned_beyond ? 1113 : 1050;
    for (int64_t i = 0; i <= last; ++i) ASSERT_EQ(Scan(p, frame, i), 0) << i;
    if (scanned_beyond) {
      EXPECT_EQ(Scan(p, frame, 1114), -1);  // room for 1114 frames
    }
    ASSERT_EQ(RTMotionPathTexMapDef(p, nullptr, 0, scanned_beyond ? 1000 : 1085, 0, kW, kH), 0);
    EXPECT_EQ(p->windowFirst, scanned_beyond ? 666 : 1080);  // two thirds of the length, or to the block
    if (scanned_beyond) {
      EXPECT_EQ(Scan(p, frame, 1114), 0);
    }
    DeleteRTMotionPath(p);
  }
}

TEST(RealtimePath, RequestsAndRangesRefuseAndReportAsTheyShould) {
  RTMotionPath* p = NewRTMotionPath();
  int64_t a = 5, b = 5, c = 5;
  EXPECT_EQ(RTMotionScannerRequirementsFrameRange(p, 0, &a, &b, &c), 1);
  EXPECT_EQ(std::tuple(a, b, c), std::tuple(0, 29, 1050));
  EXPECT_EQ(RTMotionScannerRequirementsFrameRange(p, 0, nullptr, nullptr, nullptr), 1);
  a = b = 5;
  EXPECT_EQ(RTMotionPathSteadyFrameRange(p, &a, &b), 0);  // nothing finished yet
  EXPECT_EQ(Range(a, b), Range(-1, -1));
  a = b = c = 5;
  EXPECT_EQ(RTMotionScannerRequirementsFrameRange(nullptr, 0, &a, &b, &c), 0);
  EXPECT_EQ(a, 5);  // a null object writes nothing
  EXPECT_EQ(RTMotionScannerCompletedFrameRange(nullptr, &a, &b), 0);
  EXPECT_EQ(RTMotionPathSteadyFrameRange(nullptr, &a, &b), 0);

  Frames f;
  std::vector<uint8_t> out(kW * kH * 4);
  TexMapDefA def{VENDRIX_TEXMAP_A_VERSION};
  EXPECT_EQ(RTMotionPathTexMapDef(p, &def, 0, 0, 0, kW, kH), -1);  // nothing scanned: no array
  for (int i = 0; i < 80; ++i) ASSERT_EQ(Scan(p, f.At(i), i), 0);
  // The analysis runs on the tracker's threads, whose look-ahead stages (19 entries in each pass) hold
  // the newest entries back until more arrive, so how far it completes without further frames depends
  // on the order its threads ran in; of 80 frames more than the steady margin of 10 the ranges below
  // need.
  for (int tries = 0; tries < 2000 && !(RTMotionScannerCompletedFrameRange(p, &a, &b) && b >= 12); ++tries) {
    ASSERT_EQ(RTMotionPathTexMapDef(p, nullptr, 0, 3, 0, kW, kH), 0);
    platform::SleepMs(5);
  }
  EXPECT_EQ(RTMotionPathTexMapDef(p, &def, 1, 3, 0, kW, kH), -1);
  EXPECT_EQ(RTMotionPathTexMapDef(p, &def, 0, -1, 0, kW, kH), -1);
  EXPECT_EQ(RTMotionPathTexMapDef(p, &def, 0, 3, 2, kW, kH), -1);
  EXPECT_EQ(RTMotionPathTexMapDef(p, &def, 0, 3, 0, 0, kH), -1);
  TexMapDefA wrong{3};
  EXPECT_EQ(RTMotionPathTexMapDef(p, &wrong, 0, 3, 0, kW, kH), -1);
  EXPECT_GE(RTMotionPathTexMapDef(p, &def, 0, 3, 0, kW, kH), 0);
  EXPECT_EQ(RTMotionPathTexMapDef(nullptr, &def, 0, 3, 0, kW, kH), -1);
  EXPECT_EQ(RTMotionScannerCompletedFrameRange(p, &a, &b), 1);
  EXPECT_TRUE(a == 0 && b >= 12) << a << " .. " << b;
  ASSERT_EQ(RTMotionPathSteadyFrameRange(p, &a, &b), 1);
  EXPECT_EQ(Range(a, b), Range(0, p->compFirst + reinterpret_cast<const MotionCompHeader*>(p->comp)->count - 10 - 1));

  // A compensation array of 11 records from frame 0 with a margin of 10 would be steady over frame 0
  // alone, which is never reported.
  reinterpret_cast<MotionCompHeader*>(p->comp)->count = 11;
  p->compFirst = 0;
  a = b = 5;
  EXPECT_EQ(RTMotionPathSteadyFrameRange(p, &a, &b), 1);
  EXPECT_EQ(Range(a, b), Range(-1, -1));
  DeleteRTMotionPath(p);
}

TEST(RealtimePath, AFinishingThatWouldJumpKeepsTheOldArray) {
  RTMotionPath* p = NewRTMotionPath();
  ASSERT_NO_FATAL_FAILURE(ScanAndFinish(p, Frames(), 59, 20));
  uint32_t* old = p->comp;
  // Where the next finishing is anchored, the old array says the frame was moved half a width and
  // more: the new path lies too far from it, so the old array stays as it was.
  const int64_t steady = p->compFirst + reinterpret_cast<const MotionCompHeader*>(old)->count - 10 - 1;
  auto* corner = reinterpret_cast<int32_t*>(reinterpret_cast<uint8_t*>(old) + VENDRIX_COMP_B_OFFSET_RECORDS +
                                            steady * VENDRIX_COMP_B_RECORD_SIZE);
  corner[0] += (kW + 2) * VENDRIX_FX_ONE;
  const std::vector<uint32_t> before(old, old + VENDRIX_COMP_B_SIZE(p->path->analysis->count) / 4);
  ASSERT_EQ(RTMotionPathTexMapDef(p, nullptr, 0, steady + 1, 0, kW, kH), 0);
  EXPECT_EQ(p->comp, old);
  EXPECT_EQ(std::vector<uint32_t>(old, old + before.size()), before);
  DeleteRTMotionPath(p);
}

using namespace testing;  // the shaky walk, its jitter meter and the streaming host

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
}  // namespace vendrix::realtime
