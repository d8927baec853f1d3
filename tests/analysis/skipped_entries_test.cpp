// A host that skips a frame or scans one again: the feature tracker's in-order stages must not wait for
// entries that never come. On an interlaced path a skipped frame leaves both its fields missing, which
// used to stall the next finishing for the analyser's whole time-out.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "analysis/frame_queries.h"
#include "analysis/scan.h"
#include "model/global_motion_path.h"
#include "model/profiles.h"
#include "platform/debug.h"
#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {
namespace {

std::vector<std::string> g_lines;

TEST(SkippedEntries, InterlacedPathWithAGapAndARescanFinishesWithoutTheTimeOut) {
  const cv::Mat texture = testing::MakeTexture(560, 480, 7);
  const platform::DebugSink previous = platform::SetDebugSink([](const char* line) { g_lines.emplace_back(line); });
  for (uint32_t flags : {0u, static_cast<uint32_t>(VENDRIX_PATH_INTERLACED)}) {
    SCOPED_TRACE(flags);
    GlobalMotionPath* path = model::PathCreate(10, static_cast<int32_t>(flags));
    for (uint32_t frame : {0u, 1u, 2u, 4u, 5u, 6u, 5u, 7u, 8u, 9u}) {  // 3 skipped, 5 scanned twice
      const cv::Mat f = testing::RenderFrame(texture, 320, 240, {1.0 * frame, 0.5 * frame, 0});
      ScanInput in{VENDRIX_SCAN_INPUT_TAG, VENDRIX_PIXFMT_NV12, 0, 0, 0, 320, 240, static_cast<int32_t>(f.step[0]),
                   f.data, 1.0f, model::kDefaultPathSettings};
      ScanFrame(path, frame, &in);
    }
    FinishPathB(path, 0, &model::kDefaultPathSettings);
    const int32_t per_frame = flags ? 2 : 1;
    EXPECT_EQ(path->lastFrame, 10 * per_frame - 1);
    float t[3];
    ASSERT_TRUE(AnalysisFrameTranslation(path, 0, 8 * per_frame, t));  // tracked again after the gap
    EXPECT_NEAR(t[0], 1.0f, 0.15f);
    model::PathDelete(path);
  }
  platform::SetDebugSink(previous);
  for (const std::string& line : g_lines) EXPECT_EQ(line.find("Timeout"), std::string::npos) << line;
}

}  // namespace
}  // namespace vendrix::analysis
