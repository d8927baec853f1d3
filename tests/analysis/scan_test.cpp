// Scanning frames with block-matching settings: an interlaced frame's fields become entries 2f and
// 2f + 1 with opposite half-row shifts, and bad records or frames change nothing. (Luma reaching the
// planes and frames beyond the capacity are covered by the block-matching scans.)
#include "analysis/scan.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "analysis/frame_planes.h"
#include "model/profiles.h"

namespace vendrix::analysis {
namespace {

ScanInput Input(std::vector<uint8_t>& pixels, int32_t w, int32_t h, uint32_t field_mode, int32_t level) {
  pixels.resize(size_t(w) * h * 4);
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = uint8_t(i * 7 % 251);
  ScanInput in{VENDRIX_SCAN_INPUT_TAG, VENDRIX_PIXFMT_BGRA8, field_mode, 0, 0, w, h, w * 4, pixels.data(), 1.0f, model::kDefaultPathSettings};
  in.settings.AnalysisLevel = level;
  return in;
}

const model::FramePlane* FindPlane(const GlobalMotionPath* path, int32_t entry, int32_t level) {
  for (const model::FramePlane& plane : path->planePool->planes)
    if (plane.entry == entry && plane.level == level) return &plane;
  return nullptr;
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
  EXPECT_TRUE(a.fieldShift == -0.5f && a.buffer == px.data());
  SetUpEntry(path, in.settings, b, m, p);
  EXPECT_TRUE(b.fieldShift == 0.5f && b.buffer == px.data() + 720 * 4);  // the second field starts one row down
  EXPECT_TRUE(path->width == 360 && path->height == 288);
  ScanFrame(path, 5, &in);
  ASSERT_NE(path->planePool, nullptr);
  EXPECT_TRUE(FindPlane(path, 10, 0) && FindPlane(path, 11, 0) && !FindPlane(path, 12, 0));
  EXPECT_TRUE(path->fieldMode == in.fieldMode && path->inputWidth == 720u);
  model::PathDelete(path);
}

TEST(Scan, BadRecordsAndFramesDoNothing) {
  std::vector<uint8_t> px;
  ScanInput in = Input(px, 64, 48, 0, 4);
  GlobalMotionPath* path = model::PathCreate(3, 0);
  ScanFrame(path, 0, nullptr);
  ScanFrame(nullptr, 0, &in);
  in.tag = VENDRIX_SCAN_INPUT_TAG + 1;
  ScanFrame(path, 0, &in);
  EXPECT_EQ(path->inputWidth, 0u);
  in.tag = VENDRIX_SCAN_INPUT_TAG;
  for (auto [w, h, buffer] : {std::tuple{0, 48, px.data()}, std::tuple{64, -1, px.data()}, std::tuple{40000, 48, px.data()},
                              std::tuple{64, 48, static_cast<uint8_t*>(nullptr)}}) {
    in.width = w, in.height = h, in.buffer = buffer;
    ScanFrame(path, 0, &in);
    EXPECT_EQ(path->planePool, nullptr) << w << "x" << h;
  }
  model::PathDelete(path);
}

}  // namespace
}  // namespace vendrix::analysis
