// The feature-tracking analyser on synthetic clips of known camera motion: the motion it recovers with
// three detector settings, Sync modes, deletion mid-stream, flat frames and refused entries, and the
// heap left as it was found; a host that skips a frame or scans one again, and finishings that keep the
// analysis and release it. (The same bytes on any thread count and from eight host threads at once are
// the reliability tests'.)
#include "analysis/feature_tracker.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "analysis/frame_queries.h"
#include "analysis/scan.h"
#include "model/profiles.h"
#include "platform/debug.h"
#include "support/synthetic_frames.h"
#include "support/warm_pools.h"

namespace vendrix::analysis {
namespace {

constexpr int kW = 640, kH = 360;

// A clip whose camera pans steadily and turns slowly (0.002 rad per frame), with a small wobble.
struct Clip {
  std::vector<cv::Mat> frames;
  std::vector<testing::CameraPose> poses;
  Clip(int count, uint32_t seed) {
    const cv::Mat texture = testing::MakeTexture(kW + 200, kH + 200, seed);
    for (int i = 0; i < count; ++i) {
      poses.push_back({1.3 * i + 0.6 * std::sin(i * 1.7), -0.8 * i + 0.4 * std::cos(i * 2.3), 0.002 * i});
      frames.push_back(testing::RenderFrame(texture, kW, kH, poses.back()));
    }
  }
};

void Scan(GlobalMotionPath* path, const cv::Mat& frame, int index, const PathSettings& settings = model::kDefaultPathSettings) {
  const ScanInput in{VENDRIX_SCAN_INPUT_TAG, VENDRIX_PIXFMT_NV12, 0, 0, 0, frame.cols, frame.rows, int32_t(frame.step[0]),
                     frame.data, 1.0f, settings};  // NV12: 8-bit luma rows
  ScanFrame(path, uint32_t(index), &in);
}

class FeatureTrackerTest : public testing::LiveBlocksTest {};

// Default settings (translation within 0.1 working px); profile 35 (own corner detector, no re-fit
// variant) and profile 38 (quality filter on), within 0.15 px.
class RecoveredMotion : public FeatureTrackerTest, public ::testing::WithParamInterface<int> {};

TEST_P(RecoveredMotion, MatchesTheCameraForEveryEntry) {
  PathSettings s = model::kDefaultPathSettings;
  if (GetParam() >= 0) model::CopyProfile(uint32_t(GetParam()), &s);
  const double tolerance = GetParam() < 0 ? 0.1 : 0.15;
  const Clip clip(25, 3);
  GlobalMotionPath* path = model::PathCreate(25, 0);
  for (int i = 0; i < 25; ++i) Scan(path, clip.frames[i], i, s);
  ASSERT_NE(path->analyser, nullptr);
  path->analyser->Sync(0);
  EXPECT_EQ(path->lastFrame, 24);
  for (int e = 1; e < 25; ++e) {
    const model::FrameRecord& r = path->analysis->records[e];
    double dx, dy;
    testing::CentreMotion(clip.poses[e - 1], clip.poses[e], &dx, &dy);
    EXPECT_GT(r.count(), 50u) << "entry " << e;
    EXPECT_NEAR(r.f(model::kSlotTx), dx, tolerance) << "entry " << e;
    EXPECT_NEAR(r.f(model::kSlotTy), dy, tolerance) << "entry " << e;
    EXPECT_NEAR(std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos)), 0.002, 3e-4) << "entry " << e;
  }
  model::PathDelete(path);
}

INSTANTIATE_TEST_SUITE_P(FeatureTrackerTest, RecoveredMotion, ::testing::Values(-1, 35, 38), [](const auto& param_info) {
  return param_info.param < 0 ? std::string("Defaults") : "Profile" + std::to_string(param_info.param);
});

TEST_F(FeatureTrackerTest, SyncModesDeletionMidStreamFlatFramesAndRefusedEntries) {
  const Clip clip(10, 9);
  GlobalMotionPath* path = model::PathCreate(20, 0);
  for (int i = 0; i < 8; ++i) Scan(path, clip.frames[i], i);
  auto* a = static_cast<FeatureTracker*>(path->analyser);
  a->Sync(1);  // nothing
  a->Sync(2);  // end of input: the last entries may now be produced
  a->Sync(3);  // stop the workers
  EXPECT_FALSE(a->Running());
  a->Sync(4);  // drain only
  a->Sync(0);
  EXPECT_EQ(path->lastFrame, 7);
  const model::FrameRecord& next = path->analysis->records[8];  // after the last entry: no motion, count 1
  EXPECT_TRUE(next.count() == 1u && next.f(model::kSlotRotCos) == 1.0f);
  for (int stage = 0; stage <= int(TrackerStage::kCount); ++stage) EXPECT_EQ(a->QueueCount(TrackerStage(stage)), 0) << stage;
  model::PathDelete(path);
  path = model::PathCreate(16, 0);  // deleted while frames are in flight: waits for them, frees everything
  for (int i = 0; i < 10; ++i) Scan(path, clip.frames[i], i);
  model::PathDelete(path);
  // Flat frames measure nothing; entries beyond the capacity are refused, and a Sync after a refused
  // entry moves the last completed entry one past the last delivered one, to the capacity.
  const cv::Mat flat(kH, kW, CV_8U, cv::Scalar(90));
  path = model::PathCreate(6, 0);
  for (int i = 0; i < 8; ++i) Scan(path, flat, i);
  path->analyser->Sync(0);
  EXPECT_EQ(path->lastFrame, 6);
  for (int e = 1; e < 6; ++e) EXPECT_EQ(path->analysis->records[e].count(), 0u) << e;
  model::PathDelete(path);
}

// The tracker's in-order stages must not wait for entries that never come. On an interlaced path a
// skipped frame leaves both its fields missing, which used to stall the next finishing for the
// analyser's whole time-out. That finishing keeps the analysis and scanning goes on; the last one
// releases everything the analysis held.
std::vector<std::string> g_lines;

TEST(SkippedEntries, InterlacedPathWithAGapAndARescanFinishesWithoutTheTimeOut) {
  const cv::Mat texture = testing::MakeTexture(560, 480, 7);
  const platform::DebugSink previous = platform::SetDebugSink([](const char* line) { g_lines.emplace_back(line); });
  for (uint32_t flags : {0u, static_cast<uint32_t>(VENDRIX_PATH_INTERLACED)}) {
    SCOPED_TRACE(flags);
    GlobalMotionPath* path = model::PathCreate(10, static_cast<int32_t>(flags));
    const int32_t per_frame = flags ? 2 : 1;
    for (int frame : {0, 1, 2, 4, 5, 6, 5, 7, 8, 9}) {  // 3 skipped, 5 scanned twice
      Scan(path, testing::RenderFrame(texture, 320, 240, {1.0 * frame, 0.5 * frame, 0}), frame);
      if (frame != 7) continue;
      FinishPathB(path, VENDRIX_FINISH_KEEP_ANALYSIS, &model::kDefaultPathSettings);
      EXPECT_TRUE(path->analyser && path->lastFrame == 8 * per_frame - 1) << path->lastFrame;
    }
    FinishPathB(path, 0, &model::kDefaultPathSettings);
    EXPECT_TRUE(!path->analyser && !path->matchStore && !path->handover);
    EXPECT_EQ(path->lastFrame, 10 * per_frame - 1);
    float t[3];
    ASSERT_TRUE(AnalysisFrameTranslation(path, 0, 8 * per_frame, t));  // tracked again after the gap and the finish
    EXPECT_NEAR(t[0], 1.0f, 0.15f);
    model::PathDelete(path);
  }
  platform::SetDebugSink(previous);
  for (const std::string& line : g_lines) EXPECT_EQ(line.find("Timeout"), std::string::npos) << line;
}

}  // namespace
}  // namespace vendrix::analysis
