#include "texmap/texmap_def.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "model/profiles.h"

namespace vendrix::texmap {
namespace {

constexpr int32_t kOne = 65536;

// A hand-made array B of n records for a 640 x 360 analysis.
struct ArrayB {
  std::vector<uint32_t> words;
  int32_t n;
  explicit ArrayB(int32_t count, bool interlaced = false) : words(VENDRIX_COMP_B_SIZE(count) / 4, 0), n(count) {
    Head().tag = VENDRIX_COMP_B_TAG;
    Head().count = count;
    Head().width = 640;
    Head().height = 360;
    Head().interlaced = interlaced ? 1 : 0;
    Settings() = model::kDefaultPathSettings;
  }
  MotionCompHeader& Head() { return *reinterpret_cast<MotionCompHeader*>(words.data()); }
  PathSettings& Settings() {
    return *reinterpret_cast<PathSettings*>(reinterpret_cast<uint8_t*>(words.data()) + VENDRIX_COMP_OFFSET_SETTINGS);
  }
  MotionCompArrayBRecord& Rec(int i) {
    return reinterpret_cast<MotionCompArrayBRecord*>(reinterpret_cast<uint8_t*>(words.data()) +
                                                     VENDRIX_COMP_B_OFFSET_RECORDS)[i];
  }
  void Shift(int i, int32_t dx, int32_t dy) {
    for (auto& c : Rec(i).corner) c = {dx, dy};
  }
};

TexMapDefA Def(int32_t w, int32_t h) {
  TexMapDefA d{};
  d.version = VENDRIX_TEXMAP_A_VERSION;
  d.outRect = {0, 0, w * kOne, h * kOne};
  return d;
}

TEST(DefTexMap, RefusalsChangeNothing) {
  ArrayB a(4);
  TexMapDefA d = Def(640, 360);
  d.version = 3;
  const TexMapDefA before = d;
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 0, 0, 0, 640, 360), 0);
  d.version = VENDRIX_TEXMAP_A_VERSION;
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 0, 0, 0, 0, 360), 0);
  a.Head().width = 0;
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 0, 0, 0, 640, 360), 0);
  d.version = 3;
  EXPECT_EQ(std::memcmp(&d, &before, sizeof(d)), 0);
  TexMapDefD dd{};
  dd.version = 2;
  EXPECT_EQ(DefineTexMapD(&dd, a.words.data(), 0, 0, 640, 360), 0);
}

TEST(DefTexMap, FrameIndexIsClampedAndInterlacedArraysTakeTheField) {
  ArrayB a(8, true);
  a.Settings().FramingMode = 2;
  a.Settings().FramingAmount = 0;
  for (int i = 0; i < 8; ++i) a.Shift(i, (i + 1) * kOne, 0);
  TexMapDefA d = Def(640, 360);
  DefineTexMapA(&d, a.words.data(), 0, 3, 1, 640, 360);
  EXPECT_EQ(d.cornerShift[0].x, 8 * kOne);  // record 7 = frame 3, field 1
  DefineTexMapA(&d, a.words.data(), 0, -5, 0, 640, 360);
  EXPECT_EQ(d.cornerShift[0].x, 1 * kOne);  // a negative frame reads frame 0
  DefineTexMapA(&d, a.words.data(), 0, 99, 0, 640, 360);
  EXPECT_EQ(d.cornerShift[0].x, 8 * kOne);  // beyond the array: the last record
}

TEST(DefTexMap, OrdinaryModeScalesToTheOutputAndShrinksTheVisibleRegion) {
  ArrayB a(2);
  a.Settings().FramingMode = 2;
  a.Settings().FramingAmount = 0;
  a.Shift(1, 4 * kOne, -2 * kOne);
  TexMapDefA d = Def(1280, 720);  // twice the analysis size
  const int32_t q = DefineTexMapA(&d, a.words.data(), 0, 1, 0, 1280, 720);
  EXPECT_EQ(q, 0);
  EXPECT_EQ(d.cornerShift[2].x, 8 * kOne);
  EXPECT_EQ(d.cornerShift[2].y, -4 * kOne);
  EXPECT_EQ(d.mapFlags & 0x3u, 0x3u);
  EXPECT_EQ(d.visibleRect.x0, 8 * kOne);           // the frame moved right: the left margin is uncovered
  EXPECT_EQ(d.visibleRect.y1, (720 - 4 - 1) * kOne);  // and up: the bottom margin
  EXPECT_EQ(d.visibleRect.y0, 0);
}

TEST(DefTexMap, FitZoomCoversTheClipsRangeOfMovement) {
  ArrayB a(2);
  a.Settings().FramingMode = 0;
  a.Head().boundsMinX = -32 * kOne;  // the clip moves 32 px either way horizontally
  a.Head().boundsMaxX = 32 * kOne;
  TexMapDefA d = Def(640, 360);
  DefineTexMapA(&d, a.words.data(), 0, 0, 0, 640, 360);
  // Zoom 640 / 576: every corner moves outward by 320 / 9 px horizontally, 20 px vertically.
  EXPECT_NEAR(d.cornerShift[0].x / double(kOne), -320.0 / 9.0, 0.01);
  EXPECT_NEAR(d.cornerShift[0].y / double(kOne), -20.0, 0.01);
  EXPECT_NEAR(d.cornerShift[2].x / double(kOne), 320.0 / 9.0, 0.01);
  EXPECT_EQ(d.mapFlags & 0x3u, 0x3u);

  // An amount of 65535 makes the ordinary mode fit as well; with mode 5 it gives a zoom limit of ~4.
  a.Settings().FramingMode = 2;
  a.Settings().FramingAmount = 65535;
  TexMapDefA e = Def(640, 360);
  DefineTexMapA(&e, a.words.data(), 0, 0, 0, 640, 360);
  EXPECT_EQ(std::memcmp(e.cornerShift, d.cornerShift, sizeof(d.cornerShift)), 0);
}

TEST(DefTexMap, EdgeExtensionWinsOverFillFlagsAndSplitViewFlags) {
  ArrayB a(1);
  a.Settings().FramingMode = 1;
  a.Settings().OutputFlags = 0x100 | 0x1 | 0x10;
  TexMapDefA d = Def(640, 360);
  d.mapFlags = 0x10000;  // a host bit the builder keeps
  DefineTexMapA(&d, a.words.data(), 0, 0, 0, 640, 360);
  EXPECT_EQ(d.mapFlags, 0x10000u | 0x100u | 0x1000u | 0x10u);
}

TEST(DefTexMap, QualityGrades) {
  ArrayB a(1);
  a.Settings().FramingMode = 2;
  TexMapDefA d = Def(640, 360);
  d.visibleRect = {0, 0, 640 * kOne, 360 * kOne};
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 1, 0, 0, 640, 360), 0);  // all-zero corners, full view
  d.visibleRect = {0, 0, 300 * kOne, 360 * kOne};
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 1, 0, 0, 640, 360), 1);
  d.visibleRect = {0, 0, 640 * kOne, 360 * kOne};
  d.cornerShift[1].x = 3000 * kOne;
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 1, 0, 0, 640, 360), 2);
  for (auto& c : d.cornerShift) c = {-500 * kOne, 0};
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 1, 0, 0, 640, 360), 3);
  a.Settings().FramingMode = 6;
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 1, 0, 0, 640, 360), 0);  // mode 6 always grades 0
}

TEST(DefTexMap, VersionDReadsTheBandsAndHugeBoundsSaturate) {
  std::vector<uint32_t> words(VENDRIX_COMP_D_SIZE(1) / 4, 0);
  auto& head = *reinterpret_cast<MotionCompHeader*>(words.data());
  head.tag = VENDRIX_COMP_D_TAG;
  head.count = 1;
  head.width = 640;
  head.height = 360;
  head.boundsMinX = INT32_MIN;
  head.boundsMaxY = INT32_MAX;
  auto* bytes = reinterpret_cast<uint8_t*>(words.data());
  *reinterpret_cast<PathSettings*>(bytes + VENDRIX_COMP_OFFSET_SETTINGS) = model::kDefaultPathSettings;
  const int16_t half = 128;  // 0.5 px in 8.8
  std::memcpy(bytes + VENDRIX_COMP_D_OFFSET_RECORDS + 32, &half, 2);
  TexMapDefD d{};
  d.version = VENDRIX_TEXMAP_D_VERSION;
  d.outRect = {0, 0, 1280 * kOne, 720 * kOne};
  DefineTexMapD(&d, words.data(), 0, 0, 1280, 720);
  EXPECT_GE(d.visibleRect.x0, 0);
  EXPECT_LE(d.visibleRect.x1, 1280 * kOne);
  head.boundsMinX = 0;
  head.boundsMaxY = 0;
  DefineTexMapD(&d, words.data(), 0, 0, 1280, 720);
  EXPECT_EQ(d.bandShift[0].x, kOne);  // 0.5 analysis px = 1 output px at twice the size
}

}  // namespace
}  // namespace vendrix::texmap
