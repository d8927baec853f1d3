// Scan parameters from the settings and the frame size against hand-computed values (block counts
// from the density factors, radii from the diagonal), the routing of the analysis and output flags,
// and the working image of halved frames and of a buffer holding one field. Scanning frames with
// block-matching settings: an interlaced frame's fields become entries 2f and 2f + 1 with opposite
// half-row shifts, and bad records or frames change nothing. (Luma reaching the planes and frames
// beyond the capacity are covered by the block-matching scans.)
#include "analysis/scan_params.h"

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "analysis/frame_planes.h"
#include "analysis/scan.h"
#include "model/profiles.h"

namespace vendrix::analysis {
namespace {

PathSettings Settings(int32_t level, int32_t degree, uint32_t flags, int32_t order) {
  PathSettings s = model::kDefaultPathSettings;
  s.AnalysisLevel = level;
  s.ModelDegree = degree;
  s.AnalysisFlags = flags;
  s.AnalysisOrder = order;
  return s;
}

struct Derived {
  model::MeasureParams m;
  model::ModelParams p;
  model::AnalysisImage img{};
  Derived(const PathSettings& s, int32_t w, int32_t h) {
    img.sourceWidth = w;
    img.sourceHeight = h;
    img.sourcePitch = w;
    DeriveScanParams(s, w, h, m, p, &img);
    ChooseWorkingImage(img);
  }
};

TEST(ScanParams, SizesBlockCountsAndRadii) {
  // Blocks: w h / (step^2 k), quartered by the block matcher (which halves frames from 700 x 450);
  // radius: R px per 720 x 576 diagonal, halved with the frame, then 1.5 times (two passes above 30),
  // or (r + 8) x 4 for a wide search, at least 10; the feature tracker neither halves nor widens.
  const struct {
    const char* name;
    PathSettings s;
    int32_t w, h, work_width;
    uint32_t blocks, coarsest;
    int32_t radius, two_pass;
  } cases[] = {
      {"full HD, level 4", Settings(4, 1, 0, 2), 1920, 1080, 960, 2025, 1, 43, 1},  // 8100 / 4; (59 >> 1) * 1.5
      {"640 x 480, level 4", Settings(4, 1, 0, 3), 640, 480, 640, 300, 0, 15, 0},    // quartered all the same
      {"level 0, no degree", Settings(0, 0, 0, 1), 1920, 1080, 960, 160, 2, 43, 1},  // a fixed count
      {"level 0, degree", Settings(0, 1, 0, 7), 1920, 1080, 960, 220, 3, 43, 1},
      {"level 2, no degree", Settings(2, 0, 0, 2), 1920, 1080, 960, 3375, 1, 43, 1},  // k' = 2.4, step 8
      {"level 12 = 2, wide", Settings(12, 1, VENDRIX_ANALYSIS_WIDE_SEARCH, 2), 720, 576, 360, 810, 1, 80, 1},
      {"tiny frame", Settings(4, 1, 0, 2), 100, 100, 100, 9, 1, 7, 0},            // radius 10 >> 1, + 2
      {"defaults: feature tracker", model::kDefaultPathSettings, 1920, 1080, 1920, 8100, 1, 47, 0},  // 20 px
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Derived d(c.s, c.w, c.h);
    EXPECT_EQ(d.img.width, c.work_width);
    EXPECT_EQ(d.m.targetBlocks, c.blocks);
    EXPECT_EQ(d.m.coarsestLevel, c.coarsest);
    EXPECT_EQ(d.m.searchRadius, c.radius);
    EXPECT_EQ(d.m.twoPass, c.two_pass);
  }
}

TEST(ScanParams, FlagsRouteToTheMeasurementAndTheModel) {
  const Derived hp(Settings(2, 1, VENDRIX_ANALYSIS_HIGH_PASS | VENDRIX_ANALYSIS_EXTRA_MEASURE | VENDRIX_ANALYSIS_ROLLING_SHUTTER |
                                      VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT, 3), 720, 576);
  EXPECT_TRUE(hp.m.highPass && !hp.m.contrastStretch && hp.m.multiDistance);
  EXPECT_TRUE(!hp.m.refineFine && hp.m.smoothPrefilter);  // level 2's fine refinement traded for the prefilter
  EXPECT_TRUE(hp.p.extended && hp.p.extendedBoth);
  EXPECT_EQ(hp.p.modelKind, model::kModelCornersTwoPass);
  EXPECT_TRUE(hp.p.degreeRotation && !hp.p.degreeScale);
  const Derived ext_only(Settings(2, 2, VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT, 2), 720, 576);
  EXPECT_FALSE(ext_only.p.extendedBoth);  // means nothing without VENDRIX_ANALYSIS_ROLLING_SHUTTER
  EXPECT_TRUE(ext_only.p.degreeRotation && ext_only.p.degreeScale);
  PathSettings framed = model::kDefaultPathSettings;
  framed.FramingMode = VENDRIX_FRAMING_BORDER_LIMIT;
  framed.FramingAmount = 19660;
  framed.OutputFlags = VENDRIX_OUTPUT_ADAPTIVE;
  const Derived f(framed, 100, 100);
  EXPECT_NEAR(f.p.borderFraction, 0.3f, 1e-4f);
  EXPECT_EQ(f.p.adaptive, 1);
}

// A buffer holding one field is halved across only, keeping the aspect. (The fields of a whole frame
// are read by the luma reader tests and split by the scan test below.)
TEST(ScanParams, WorkingImageOfAOneFieldBuffer) {
  static const uint8_t pixels[1440] = {};
  model::AnalysisImage img{};
  img.sourceWidth = 720, img.sourceHeight = 288, img.sourcePitch = 1440, img.sourceBuffer = pixels;
  img.fieldMode = VENDRIX_FIELD_FIRST;
  ChooseWorkingImage(img);
  EXPECT_TRUE(img.buffer == pixels && img.pitch == 1440 && img.width == 360 && img.height == 288);
}

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
