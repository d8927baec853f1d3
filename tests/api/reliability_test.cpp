// The whole library through its exports, at both analysers (levels 4 and 9): allocation failures, the
// same bytes at any thread count and vector level, and eight host threads at once.
//
// The allocation-failure walk: for n = 1, 2, ... the n-th heap allocation of a whole offline road
// (create, scan, settle, finish, copy array B, define and render each frame, delete) and of a real-time
// cycle (create, configure, settings, scans, requests and renders, a settings change, delete) fails,
// until n passes the last allocation. The failing call must answer as its export promises, the objects
// must work again afterwards, and deleting them must leave no block behind. One pool thread, and a wait
// for the block matcher's workers after every scan, keep the allocation order, and so n, repeatable.
// The heap hook cannot fail (so this walk never reaches): operator new and std::vector growth (the
// feature tracker, its chain linker and scorer, the worker registry), OpenCV's allocations (the
// tracker's images, corner detection, optical flow and the fits) and thread creation.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <thread>
#include <vector>

#include "concurrency/thread_pool.h"
#include "concurrency/worker_registry.h"
#include "platform/cpu.h"
#include "support/shaky_clip.h"
#include "support/warm_pools.h"
#include "texmap/render.h"
#include "vendrix/vendrix.h"

namespace vendrix::testing {
namespace {

// Sanitizer builds walk every fourth n and compare fewer thread counts and vector levels; the plain
// build walks every n and compares every pair.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
constexpr int64_t kStride = kSanitized ? 4 : 1;
constexpr uint8_t kUntouched = 0x5A;

// Arms the failure of the n-th allocation from now (0: none) and tells, call by call, whether it hit.
class Failure {
 public:
  explicit Failure(int64_t nth) : armed_(nth > 0), pending_(nth > 0) { platform::HeapFailAllocation(nth); }
  ~Failure() { platform::HeapFailAllocation(0); }
  // True right after the call in which the armed allocation failed; nothing fails after that.
  bool HitIn() {
    if (!pending_) return false;
    const int64_t left = platform::HeapFailAllocation(0);
    if (left > 0 && !stopped_) {
      platform::HeapFailAllocation(left);
      return false;
    }
    pending_ = false;
    return hit_ = left == 0;
  }
  // Ends the walked part of the work: no allocation fails from here on.
  void Stop() {
    stopped_ = true;
    HitIn();
  }
  bool Hit() {
    HitIn();
    return hit_;
  }
  bool Armed() const { return armed_; }

 private:
  bool armed_, pending_, stopped_ = false, hit_ = false;
};

// The block matcher measures on the registry's workers: with a failure armed, wait until they are idle
// so that their allocations come in a fixed order with the caller's.
void WaitForWorkers(const Failure& failure) {
  if (!failure.Armed()) return;
  for (int i = 0; i < concurrency::kMaxWorkers; ++i) concurrency::WorkerWaitIdle(i);
}

// Renders def; a render that failed must have written nothing, and is repeated.
std::vector<uint8_t> Render(const TexMapDefA& def, cv::Mat& out, Failure& failure) {
  out.setTo(cv::Scalar::all(kUntouched));
  TexMap(&def);
  if (failure.HitIn()) {
    EXPECT_EQ(cv::countNonZero(out.reshape(1) != kUntouched), 0) << "a failed render wrote";
    TexMap(&def);
  }
  return std::vector<uint8_t>(out.datastart, out.dataend);
}

struct Road {
  std::vector<uint32_t> comp;
  std::vector<std::vector<uint8_t>> frames;
  bool analysed_in_full = true;  // no scan lost its measurement to the failure
  std::vector<int32_t> answers;  // real time: what each texture-map request returned
};

Road Offline(const std::vector<cv::Mat>& clip, const PathSettings& settings, Failure& failure) {
  const int n = static_cast<int>(clip.size()), w = clip[0].cols, h = clip[0].rows;
  Road road;
  GlobalMotionPath* path = NewGlobalMotionPath(0, n, 0);
  if (failure.HitIn()) {
    EXPECT_EQ(path, nullptr);
    path = NewGlobalMotionPath(0, n, 0);
  }
  EXPECT_NE(path, nullptr);
  if (!path) return road;
  for (int i = 0; i < n; ++i) {
    const ScanInput in{.tag = VENDRIX_SCAN_INPUT_TAG, .format = VENDRIX_PIXFMT_BGRA8, .width = w, .height = h,
                       .pitch = static_cast<int32_t>(clip[i].step[0]), .buffer = clip[i].data, .aspectFactor = 1.0f,
                       .settings = settings};
    ScanMapB(path, i, &in);
    WaitForWorkers(failure);
    if (failure.HitIn()) road.analysed_in_full = false;
  }
  const FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
  FinishPath(path, &settle);
  // Settling completes the analysis (the tracker's last steps run here): a failure loses measurements.
  if (failure.HitIn()) road.analysed_in_full = false;
  FinishPathB(path, 0, &settings);
  if (failure.HitIn()) FinishPathB(path, 0, &settings);  // a finisher ended early: again
  road.comp.assign(static_cast<size_t>(SizeOfMotionCompArrayBPath(path) / 4), 0);
  road.comp[0] = VENDRIX_COMP_B_TAG;
  const int32_t bytes = static_cast<int32_t>(road.comp.size() * 4);
  uint32_t copied = CopyMotionCompArrayBPath(path, road.comp.data(), bytes);
  if (failure.HitIn()) copied = CopyMotionCompArrayBPath(path, road.comp.data(), bytes);
  EXPECT_EQ(copied, 1u);
  std::memcpy(reinterpret_cast<uint8_t*>(road.comp.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &settings, sizeof(settings));
  cv::Mat out(h, w, CV_8UC4);
  for (int i = 0; i < n; ++i) {
    TexMapDefA def = BgraDefinition(clip[i], out);
    int32_t quality = DefTexMapA(&def, road.comp.data(), 0, i, 0, w, h);
    if (failure.HitIn()) quality = DefTexMapA(&def, road.comp.data(), 0, i, 0, w, h);
    EXPECT_GE(quality, VENDRIX_TEXMAP_QUALITY_OK);
    road.frames.push_back(Render(def, out, failure));
  }
  DeleteGlobalMotionPath(path);
  return road;
}

// A stream through a real-time path: frames are scanned and rendered in turns, with a settings change
// between them. The walk covers the first `walked` frames. The rest come with the failure disarmed,
// after a gap that starts a new window at the start of a look-ahead block (a window that a failure
// made start late refuses the frames of its first, partial block), and the path must steady them.
// The look-ahead is longer than the walked frames, so no request waits for analysis.
Road Realtime(const std::vector<cv::Mat>& clip, int walked, const PathSettings& settings, Failure& failure) {
  const int w = clip[0].cols, h = clip[0].rows;
  Road road;
  RTMotionPath* rt = NewRTMotionPath();
  if (failure.HitIn()) {
    EXPECT_EQ(rt, nullptr);
    rt = NewRTMotionPath();
  }
  EXPECT_NE(rt, nullptr);
  if (!rt) return road;
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, 100, 2, 32, 0};
  EXPECT_EQ(RTMotionPathConfigurate(rt, &config), 1);
  EXPECT_EQ(RTMotionPathSetSettings(rt, &settings, 60), 1);
  failure.HitIn();
  cv::Mat out(h, w, CV_8UC4);
  int scanned = 0, shown = 0;
  auto number = [&](int i) { return i < walked ? i : 2 * config.LookAhead + i - walked; };
  auto scan_to = [&](int end) {
    for (; scanned < end; ++scanned) {
      const cv::Mat& frame = clip[scanned];
      const RTFrameInput in{VENDRIX_RT_FRAME_TAG, VENDRIX_PIXFMT_BGRA8, 0, w, h, static_cast<int32_t>(frame.step[0]),
                            1.0f, 0, frame.data};
      const int32_t answer = RTMotionPathScanMap(rt, &in, number(scanned));
      WaitForWorkers(failure);
      EXPECT_TRUE(answer == 0 || (failure.HitIn() && answer == -1)) << "scan " << scanned << ": " << answer;
    }
  };
  auto show_to = [&](int end) {
    for (; shown < end; ++shown) {
      TexMapDefA def = BgraDefinition(clip[shown], out);
      const int32_t answer = RTMotionPathTexMapDef(rt, &def, 0, number(shown), 0, w, h);
      failure.HitIn();
      EXPECT_TRUE(answer >= -1 && answer <= VENDRIX_TEXMAP_QUALITY_OFF_CENTRE) << answer;
      road.answers.push_back(answer);
      if (answer >= 0) road.frames.push_back(Render(def, out, failure));
    }
  };
  const int n = static_cast<int>(clip.size());
  scan_to(walked / 2);
  show_to(walked / 4);
  PathSettings smoother = settings;
  smoother.Smoothing += 10;  // finishes the window again
  EXPECT_EQ(RTMotionPathSetSettings(rt, &smoother, 60), 1);
  failure.HitIn();
  scan_to(walked);
  show_to(walked / 2);
  failure.Stop();
  scan_to(n);
  show_to(n);
  DeleteRTMotionPath(rt);
  return road;
}

class Roads : public LiveBlocksTest, public ::testing::WithParamInterface<int32_t> {
 protected:
  Roads() {
    ApplyProfile(GetParam() == 4 ? 30 : VENDRIX_PROFILE_DEFAULT, &settings_);
    settings_.AnalysisLevel = GetParam();
    concurrency::PoolService()->SetMultithreaded(false);
  }
  // Runs `work` once without failures, then with each allocation failing in turn; `check(result)` after
  // each, with the heap's live blocks counted once the render scratch is gone.
  template <class Work, class Check>
  void Walk(Work work, Check check) {
    int64_t nth = 0;
    for (;; nth += kStride) {
      SCOPED_TRACE("allocation " + std::to_string(nth));
      Failure failure(nth);
      auto result = work(failure);
      texmap::ReleaseRenderScratch();
      ASSERT_EQ(platform::HeapLiveBlocks(), live_);
      if (nth > 0 && !failure.Hit()) break;
      check(result, failure.Hit());
      if (nth == 0) nth = 1 - kStride;
    }
  }
  PathSettings settings_;
};

TEST_P(Roads, OfflineAllocationFailuresFailCleanlyAndAgainGiveTheSameResult) {
  const std::vector<cv::Mat> clip = ShakyClip(160, 120, 5, 7);
  Road reference;
  Walk([&](Failure& f) { return Offline(clip, settings_, f); },
       [&](const Road& road, bool hit) {
         if (!hit) reference = road;
         // Once the scans measured everything, finishing and rendering again recover the exact result.
         if (road.analysed_in_full) {
           EXPECT_TRUE(road.comp == reference.comp);
           EXPECT_TRUE(road.frames == reference.frames);
         }
       });
}

TEST_P(Roads, RealTimeAllocationFailuresFailCleanlyAndTheStreamGoesOn) {
  const std::vector<cv::Mat> clip = ShakyClip(128, 96, 16, 8);
  Walk([&](Failure& f) { return Realtime(clip, 10, settings_, f); },
       [&](const Road& stream, bool) {
         ASSERT_FALSE(stream.answers.empty());
         EXPECT_GE(stream.answers.back(), 0) << "the stream is not steadied again";
       });
}

// Many failures in one stream: one allocation in 30 fails, at random by a fixed seed, over 150 frames.
// Every call answers as documented, and once the failures stop the path steadies the stream again.
TEST_P(Roads, RealTimeStreamOutlivesRandomAllocationFailures) {
  const std::vector<cv::Mat> clip = ShakyClip(160, 120, 20, 11);
  RTMotionPath* rt = NewRTMotionPath();
  ASSERT_NE(rt, nullptr);
  const RTPathConfig config{VENDRIX_RT_CONFIG_TAG, 100, 2, 32, 0};
  ASSERT_TRUE(RTMotionPathConfigurate(rt, &config) && RTMotionPathSetSettings(rt, &settings_, 60));
  cv::Mat out(120, 160, CV_8UC4);
  int steadied = 0;
  platform::HeapFailAtRandom(30, 11);
  for (int64_t f = 0; f < 200; ++f) {
    if (f == 150) platform::HeapFailAtRandom(0, 0);
    const cv::Mat& frame = clip[f % 20];
    const RTFrameInput in{VENDRIX_RT_FRAME_TAG, VENDRIX_PIXFMT_BGRA8, 0, 160, 120, static_cast<int32_t>(frame.step[0]),
                          1.0f, 0, frame.data};
    const int32_t scanned = RTMotionPathScanMap(rt, &in, f);
    ASSERT_TRUE(scanned == 0 || scanned == -1);
    TexMapDefA def = BgraDefinition(frame, out);
    const int32_t answer = RTMotionPathTexMapDef(rt, &def, 0, std::max<int64_t>(f - 8, 0), 0, 160, 120);
    ASSERT_TRUE(answer >= -1 && answer <= VENDRIX_TEXMAP_QUALITY_OFF_CENTRE) << answer;
    if (answer >= 0) TexMap(&def);
    steadied += f >= 150 && answer >= 0;
  }
  DeleteRTMotionPath(rt);
  texmap::ReleaseRenderScratch();
  EXPECT_GT(steadied, 40);
}

// The offline road gives the same bytes (array B and rendered frames) whatever the pool's thread count
// and whatever instruction-set level the kernel tables were filled for. So does the real-time road with
// its analysis on the calling thread (one pool thread) at the tracker's level; the block matcher's
// analysis always runs on the registry's workers, so what a real-time request finds complete depends
// on timing there.
TEST_P(Roads, GiveTheSameBytesForAnyThreadCountAndVectorLevel) {
  const std::vector<cv::Mat> clip = ShakyClip(320, 180, 8, 9);
  Failure none(0);
  const Road offline = Offline(clip, settings_, none), stream = Realtime(clip, 8, settings_, none);
  for (int32_t threads : {1, 2, 4, 8})
    for (uint32_t isa : {0u, uint32_t{platform::kCpuSse2}, platform::kCpuAllFlags}) {
      // Sanitizer builds take the diagonal: 2 threads with plain code, 4 with SSE2, 8 with AVX2.
      if (kSanitized && threads != 2 << std::popcount(isa)) continue;
      SCOPED_TRACE(std::to_string(threads) + " threads, instruction sets " + std::to_string(isa));
      platform::SetCpuFlagsMask(isa);
      concurrency::PoolService()->SetMultithreaded(threads > 1);
      platform::SetProcessorCountOverride(threads);
      const Road road = Offline(clip, settings_, none);
      EXPECT_TRUE(road.comp == offline.comp);
      EXPECT_TRUE(road.frames == offline.frames);
      if (threads == 1 && GetParam() == 9) {
        const Road again = Realtime(clip, 8, settings_, none);
        EXPECT_TRUE(again.answers == stream.answers && again.frames == stream.frames);
      }
    }
  platform::SetCpuFlagsMask(platform::kCpuAllFlags);
}

INSTANTIATE_TEST_SUITE_P(Levels, Roads, ::testing::Values(4, 9),
                         [](const auto& level) { return "Level" + std::to_string(level.param); });

// Eight host threads at once create, scan, finish, render and delete offline paths at both analysers
// and stream through real-time paths, first with the pools in use and then with one pool thread. With
// more borrowers than pools, a render strip or a finishing stage that finds no free pool is skipped, so
// only the second round must give the serial results; the first must end, race-free, with every path
// deleted.
using HostThreads = LiveBlocksTest;

TEST_F(HostThreads, EightAtOnceRunTogetherAndMatchTheSerialResults) {
  const std::vector<cv::Mat> clip = ShakyClip(160, 120, 6, 10);
  PathSettings settings[2];
  ApplyProfile(30, &settings[0]);  // block matching
  ApplyProfile(VENDRIX_PROFILE_DEFAULT, &settings[1]);
  Failure none(0);
  const Road serial[2] = {Offline(clip, settings[0], none), Offline(clip, settings[1], none)};
  for (const bool pools : {true, false}) {
    SCOPED_TRACE(pools ? "pools in use" : "one pool thread");
    concurrency::PoolService()->SetMultithreaded(pools);
    std::vector<Road> results(16);
    std::atomic<int> streamed{0};
    std::vector<std::thread> hosts;
    for (int t = 0; t < 8; ++t)
      hosts.emplace_back([&, t] {
        Failure unarmed(0);
        for (int k = 0; k < 2; ++k) results[2 * t + k] = Offline(clip, settings[(t + k) % 2], unarmed);
        const Road stream = Realtime(clip, 6, settings[t % 2], unarmed);
        if (!stream.answers.empty() && stream.answers.back() >= 0) ++streamed;
      });
    for (std::thread& host : hosts) host.join();
    EXPECT_EQ(streamed.load(), 8);
    for (int i = 0; i < 16 && !pools; ++i) {
      const Road& expected = serial[(i / 2 + i % 2) % 2];
      EXPECT_TRUE(results[i].comp == expected.comp && results[i].frames == expected.frames) << "host " << i / 2;
    }
  }
  texmap::ReleaseRenderScratch();
}

}  // namespace
}  // namespace vendrix::testing
