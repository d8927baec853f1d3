#include "analysis/scan.h"

#include <gtest/gtest.h>

#include <vector>

#include "analysis/frame_planes.h"
#include "platform/heap.h"
#include "model/profiles.h"

namespace vendrix::analysis {
namespace {

ScanInput Input(std::vector<uint8_t>& pixels, int32_t w, int32_t h, uint32_t field_mode, int32_t level) {
  pixels.assign(size_t(w) * h * 4, 0);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7 % 251);
  ScanInput in{};
  in.tag = VENDRIX_SCAN_INPUT_TAG;
  in.format = VENDRIX_PIXFMT_BGRA8;
  in.fieldMode = field_mode;
  in.width = w;
  in.height = h;
  in.pitch = w * 4;
  in.buffer = pixels.data();
  in.aspectFactor = 1.0f;
  in.settings = model::kDefaultPathSettings;
  in.settings.AnalysisLevel = level;
  return in;
}

TEST(Scan, FieldsOfAnInterlacedFrameAreEntriesTwoFAndTwoFPlusOneWithOppositeShifts) {
  std::vector<uint8_t> px;
  const ScanInput in = Input(px, 720, 576, VENDRIX_FIELD_IN_FRAME | VENDRIX_FIELD_FIRST, 4);
  model::AnalysisImage a, b;
  BuildEntryImages(in, a, b);
  EXPECT_EQ(b.fieldMode, VENDRIX_FIELD_IN_FRAME | VENDRIX_FIELD_SECOND);
  GlobalMotionPath* path = model::PathCreate(8, VENDRIX_PATH_INTERLACED);
  model::MeasureParams m;
  model::ModelParams p;
  SetUpEntry(path, in.settings, a, m, p);
  EXPECT_EQ(a.fieldShift, -0.5f);
  EXPECT_EQ(a.buffer, px.data());
  SetUpEntry(path, in.settings, b, m, p);
  EXPECT_EQ(b.fieldShift, 0.5f);
  EXPECT_EQ(b.buffer, px.data() + 720 * 4);  // the second field starts one row down
  EXPECT_EQ(path->width, 360);
  EXPECT_EQ(path->height, 288);

  ScanFrame(path, 5, &in);  // entries 10 and 11, both prepared in the plane pool
  ASSERT_NE(path->planePool, nullptr);
  int entries_seen[2] = {};
  for (const model::FramePlane& plane : path->planePool->planes) {
    if (plane.entry == 10 && plane.level == 0) ++entries_seen[0];
    if (plane.entry == 11 && plane.level == 0) ++entries_seen[1];
  }
  EXPECT_EQ(entries_seen[0], 1);
  EXPECT_EQ(entries_seen[1], 1);
  EXPECT_EQ(path->fieldMode, in.fieldMode);
  EXPECT_EQ(path->inputWidth, 720u);
  model::PathDelete(path);
}

TEST(Scan, PathKeepsTheParametersOfTheLastScanAndPreparesLumaPlanes) {
  const int64_t before = platform::HeapLiveBlocks();
  std::vector<uint8_t> px;
  ScanInput in = Input(px, 320, 240, 0, 3);
  GlobalMotionPath* path = model::PathCreate(3, VENDRIX_PATH_KEEP_MATCHES);
  ScanFrame(path, 0, &in);
  EXPECT_EQ(path->width, 320);
  EXPECT_EQ(path->measureParams.keepMatches, 1);
  EXPECT_EQ(path->modelParams.modelKind, 3u);
  EXPECT_EQ(path->searchRadius, path->measureParams.searchRadius);
  ASSERT_NE(path->planePool, nullptr);
  const model::FramePlane* level0 = nullptr;
  for (const model::FramePlane& plane : path->planePool->planes)
    if (plane.entry == 0 && plane.level == 0) level0 = &plane;
  ASSERT_NE(level0, nullptr);
  const uint8_t* origin = PlaneOrigin(*path->planePool, *level0);
  int nonzero = 0;
  for (int x = 0; x < 320; ++x) nonzero += origin[100 * PlanePitch(*path->planePool) + x] != 0;
  EXPECT_GT(nonzero, 200);  // the luma arrived (after the contrast stretch)

  ScanFrame(path, 3, &in);  // beyond the capacity: nothing new
  for (const model::FramePlane& plane : path->planePool->planes) EXPECT_NE(plane.entry, 3);
  model::PathDelete(path);
  EXPECT_EQ(platform::HeapLiveBlocks(), before);
}

TEST(Scan, BadRecordsDoNothing) {
  std::vector<uint8_t> px;
  ScanInput in = Input(px, 64, 48, 0, 4);
  GlobalMotionPath* path = model::PathCreate(3, 0);
  ScanFrame(path, 0, nullptr);
  ScanFrame(nullptr, 0, &in);
  in.tag = 2;
  ScanFrame(path, 0, &in);
  EXPECT_EQ(path->inputWidth, 0u);
  in.tag = VENDRIX_SCAN_INPUT_TAG;
  for (auto [w, h] : {std::pair{0, 48}, std::pair{64, -1}, std::pair{40000, 48}}) {
    in.width = w;
    in.height = h;
    ScanFrame(path, 0, &in);
    EXPECT_EQ(path->planePool, nullptr);
  }
  in.width = 64;
  in.height = 48;
  in.buffer = nullptr;
  ScanFrame(path, 0, &in);
  EXPECT_EQ(path->planePool, nullptr);
  model::PathDelete(path);
}

}  // namespace
}  // namespace vendrix::analysis
