#include "analysis/feature_tracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "analysis/scan.h"
#include "concurrency/thread_pool.h"
#include "platform/debug.h"
#include "platform/heap.h"
#include "support/synthetic_frames.h"
#include "support/warm_pools.h"
#include "model/profiles.h"

namespace vendrix::analysis {
namespace {

using testing::CameraPose;

constexpr int kW = 640, kH = 360;

struct Clip {
  std::vector<cv::Mat> frames;
  std::vector<CameraPose> poses;
};

// A clip whose camera pans steadily and turns slowly, with a small per-frame wobble.
Clip MakeClip(int frames, uint32_t seed) {
  Clip clip;
  const cv::Mat texture = testing::MakeTexture(kW + 200, kH + 200, seed);
  for (int i = 0; i < frames; ++i) {
    CameraPose p;
    p.tx = 1.3 * i + 0.6 * std::sin(i * 1.7);
    p.ty = -0.8 * i + 0.4 * std::cos(i * 2.3);
    p.theta = 0.002 * i;
    clip.poses.push_back(p);
    clip.frames.push_back(testing::RenderFrame(texture, kW, kH, p));
  }
  return clip;
}

ScanInput InputFor(const cv::Mat& frame, const PathSettings& settings) {
  ScanInput in{};
  in.tag = VENDRIX_SCAN_INPUT_TAG;
  in.format = VENDRIX_PIXFMT_NV12;  // 8-bit luma rows
  in.width = frame.cols;
  in.height = frame.rows;
  in.pitch = static_cast<int32_t>(frame.step[0]);
  in.buffer = frame.data;
  in.aspectFactor = 1.0f;
  in.settings = settings;
  return in;
}

GlobalMotionPath* ScanClip(const Clip& clip, const PathSettings& settings) {
  GlobalMotionPath* path = model::PathCreate(static_cast<uint32_t>(clip.frames.size()), 0);
  for (size_t i = 0; i < clip.frames.size(); ++i) {
    const ScanInput in = InputFor(clip.frames[i], settings);
    ScanFrame(path, static_cast<uint32_t>(i), &in);
  }
  if (path->analyser) path->analyser->Sync(0);
  return path;
}

using vendrix::testing::WarmPools;

class FeatureTrackerTest : public ::testing::Test {
 protected:
  void TearDown() override { concurrency::PoolService()->SetMultithreaded(true); }
};

TEST_F(FeatureTrackerTest, RecoversKnownMotionForEveryEntry) {
  const Clip clip = MakeClip(30, 3);
  WarmPools();
  const int64_t before = platform::HeapLiveBlocks();
  GlobalMotionPath* path = ScanClip(clip, model::kDefaultPathSettings);
  ASSERT_NE(path->analyser, nullptr);
  EXPECT_EQ(path->lastFrame, 29);
  double worst = 0.0;
  for (int e = 1; e < 30; ++e) {
    const model::FrameRecord& r = path->analysis->records[e];
    ASSERT_GT(r.count(), 50u) << "entry " << e;
    double dx, dy;
    testing::CentreMotion(clip.poses[e - 1], clip.poses[e], &dx, &dy);
    worst = std::max({worst, std::fabs(r.f(model::kSlotTx) - dx), std::fabs(r.f(model::kSlotTy) - dy)});
    EXPECT_NEAR(std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)), 0.002, 3e-4) << e;
  }
  EXPECT_LT(worst, 0.1) << "translation error, working pixels";
  model::PathDelete(path);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

TEST_F(FeatureTrackerTest, ThreadedAndSingleThreadedRunsGiveIdenticalRecords) {
  const Clip clip = MakeClip(24, 5);
  GlobalMotionPath* threaded = ScanClip(clip, model::kDefaultPathSettings);
  concurrency::PoolService()->SetMultithreaded(false);
  GlobalMotionPath* single = ScanClip(clip, model::kDefaultPathSettings);
  for (int e = 0; e < 24; ++e)
    ASSERT_EQ(std::memcmp(&threaded->analysis->records[e], &single->analysis->records[e], sizeof(model::FrameRecord)), 0)
        << "entry " << e;
  EXPECT_EQ(threaded->lastFrame, single->lastFrame);
  model::PathDelete(threaded);
  model::PathDelete(single);
}

TEST_F(FeatureTrackerTest, OwnDetectorAndSecondPassSettings) {
  // Profile 35 turns the Harris detector off (no 0x08) and the re-fit pass off (no 0x40); profile 38
  // runs both passes with the quality filter on.
  for (uint32_t profile : {35u, 38u}) {
    PathSettings s;
    model::CopyProfile(profile, &s);
    const Clip clip = MakeClip(25, 7);
    GlobalMotionPath* path = ScanClip(clip, s);
    for (int e = 1; e < 25; ++e) {
      double dx, dy;
      testing::CentreMotion(clip.poses[e - 1], clip.poses[e], &dx, &dy);
      EXPECT_NEAR(path->analysis->records[e].f(model::kSlotTx), dx, 0.15) << profile << " entry " << e;
      EXPECT_NEAR(path->analysis->records[e].f(model::kSlotTy), dy, 0.15) << profile << " entry " << e;
    }
    model::PathDelete(path);
  }
}

TEST_F(FeatureTrackerTest, SyncModesAndTheRecordAfterTheLastEntry) {
  const Clip clip = MakeClip(8, 9);
  GlobalMotionPath* path = model::PathCreate(20, 0);
  for (int i = 0; i < 8; ++i) {
    const ScanInput in = InputFor(clip.frames[i], model::kDefaultPathSettings);
    ScanFrame(path, static_cast<uint32_t>(i), &in);
  }
  auto* a = static_cast<FeatureTracker*>(path->analyser);
  a->Sync(1);  // nothing
  a->Sync(2);  // end of input: the last entries may now be produced
  a->Sync(3);  // stop the workers
  EXPECT_FALSE(a->Running());
  a->Sync(4);  // drain only
  a->Sync(0);
  EXPECT_EQ(path->lastFrame, 7);
  const model::FrameRecord& next = path->analysis->records[8];
  EXPECT_EQ(next.count(), 1u);  // the record after the last entry is a no-motion record with count 1
  EXPECT_EQ(next.f(model::kSlotRotCos), 1.0f);
  for (int stage = 0; stage <= static_cast<int>(TrackerStage::kCount); ++stage)
    EXPECT_EQ(a->QueueCount(static_cast<TrackerStage>(stage)), 0) << stage;
  model::PathDelete(path);
}

TEST_F(FeatureTrackerTest, TwoPathsFromTwoHostThreadsAndDeletionMidStream) {
  const Clip clip = MakeClip(16, 11);
  WarmPools();
  const int64_t before = platform::HeapLiveBlocks();
  std::vector<GlobalMotionPath*> paths(2);
  std::vector<std::thread> hosts;
  for (int t = 0; t < 2; ++t)
    hosts.emplace_back([&, t] { paths[t] = ScanClip(clip, model::kDefaultPathSettings); });
  for (auto& h : hosts) h.join();
  for (int e = 0; e < 16; ++e)
    EXPECT_EQ(std::memcmp(&paths[0]->analysis->records[e], &paths[1]->analysis->records[e], sizeof(model::FrameRecord)), 0);
  for (GlobalMotionPath* p : paths) model::PathDelete(p);

  // Deleting a path while frames are still in flight waits for them and frees everything.
  GlobalMotionPath* path = model::PathCreate(16, 0);
  for (int i = 0; i < 10; ++i) {
    const ScanInput in = InputFor(clip.frames[i], model::kDefaultPathSettings);
    ScanFrame(path, static_cast<uint32_t>(i), &in);
  }
  model::PathDelete(path);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

TEST_F(FeatureTrackerTest, FlatFramesAndRefusedEntriesKeepThePipelineMoving) {
  const cv::Mat flat(kH, kW, CV_8U, cv::Scalar(90));
  GlobalMotionPath* path = model::PathCreate(6, 0);
  for (int i = 0; i < 8; ++i) {  // the last two are beyond the capacity and refused
    const ScanInput in = InputFor(flat, model::kDefaultPathSettings);
    ScanFrame(path, static_cast<uint32_t>(i), &in);
  }
  path->analyser->Sync(0);
  // Entries 0..5 are complete; a Sync after a refused entry also moves the last completed entry one
  // past the last delivered one, to the capacity.
  EXPECT_EQ(path->lastFrame, 6);
  for (int e = 1; e < 6; ++e) EXPECT_EQ(path->analysis->records[e].count(), 0u) << "flat frames measure nothing";
  model::PathDelete(path);
}

}  // namespace
}  // namespace vendrix::analysis
