// Texture-map definitions from hand-made compensation arrays: refusals, the field's record, grading,
// and the band shifts of array D. (The corners, visible region and flags of every framing mode, and
// frames before and beyond the array, are pinned by the golden hashes of the definitions.)
#include "texmap/texmap_def.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "model/profiles.h"

namespace vendrix::texmap {
namespace {

constexpr int32_t kOne = 65536;

// A compensation array of `count` records for a 640 x 360 analysis with the default settings.
struct Array {
  std::vector<uint32_t> words;
  Array(int32_t count, bool version_d = false, bool interlaced = false)
      : words((version_d ? VENDRIX_COMP_D_SIZE(count) : VENDRIX_COMP_B_SIZE(count)) / 4, 0) {
    Head() = MotionCompHeader{version_d ? VENDRIX_COMP_D_TAG : VENDRIX_COMP_B_TAG, 0, count, 640, 360, 0, 0, 0, 0, 0,
                              interlaced ? 1u : 0u};
    Settings() = model::kDefaultPathSettings;
  }
  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(words.data()); }
  MotionCompHeader& Head() { return *reinterpret_cast<MotionCompHeader*>(Bytes()); }
  PathSettings& Settings() { return *reinterpret_cast<PathSettings*>(Bytes() + VENDRIX_COMP_OFFSET_SETTINGS); }
  void Shift(int i, int32_t dx, int32_t dy) {  // every corner of array B record i
    for (auto& c : reinterpret_cast<MotionCompArrayBRecord*>(Bytes() + VENDRIX_COMP_B_OFFSET_RECORDS)[i].corner) c = {dx, dy};
  }
  int32_t Define(TexMapDefA& d, int32_t frame, int32_t field = 0, int32_t skip = 0) {
    return DefineTexMapA(&d, words.data(), skip, frame, field, d.outRect.w / kOne, d.outRect.h / kOne);
  }
};

TexMapDefA Def(int32_t w, int32_t h) {
  TexMapDefA d{};
  d.version = VENDRIX_TEXMAP_A_VERSION;
  d.outRect = {0, 0, w * kOne, h * kOne};
  return d;
}

TEST(DefTexMap, RefusalsChangeNothing) {
  Array a(4);
  TexMapDefA d = Def(640, 360);
  d.version = VENDRIX_TEXMAP_A_VERSION + 1;
  const TexMapDefA before = d;
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 0, 0, 0, 640, 360), 0);
  d.version = VENDRIX_TEXMAP_A_VERSION;
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 0, 0, 0, 0, 360), 0);
  a.Head().width = 0;
  EXPECT_EQ(DefineTexMapA(&d, a.words.data(), 0, 0, 0, 640, 360), 0);
  d.version = before.version;
  EXPECT_EQ(std::memcmp(&d, &before, sizeof(d)), 0);
  TexMapDefD dd{};
  dd.version = VENDRIX_TEXMAP_A_VERSION;
  EXPECT_EQ(DefineTexMapD(&dd, a.words.data(), 0, 0, 640, 360), 0);
}

TEST(DefTexMap, InterlacedArraysTakeTheField) {
  Array a(8, false, true);
  a.Settings().FramingMode = VENDRIX_FRAMING_FOLLOW;
  for (int i = 0; i < 8; ++i) a.Shift(i, (i + 1) * kOne, 0);
  TexMapDefA d = Def(640, 360);
  a.Define(d, 3, 1);
  EXPECT_EQ(d.cornerShift[0].x, 8 * kOne);  // record 7 = frame 3, field 1
}

TEST(DefTexMap, QualityGrades) {
  Array a(1);
  a.Settings().FramingMode = VENDRIX_FRAMING_FOLLOW;
  TexMapDefA d = Def(640, 360);
  d.visibleRect = {0, 0, 640 * kOne, 360 * kOne};
  EXPECT_EQ(a.Define(d, 0, 0, 1), VENDRIX_TEXMAP_QUALITY_OK);  // all-zero corners, full view
  d.visibleRect.x1 = 300 * kOne;
  EXPECT_EQ(a.Define(d, 0, 0, 1), VENDRIX_TEXMAP_QUALITY_SMALL_VISIBLE);
  d.visibleRect.x1 = 640 * kOne;
  d.cornerShift[1].x = 3000 * kOne;
  EXPECT_EQ(a.Define(d, 0, 0, 1), VENDRIX_TEXMAP_QUALITY_TOO_LARGE);
  for (auto& c : d.cornerShift) c = {-500 * kOne, 0};
  EXPECT_EQ(a.Define(d, 0, 0, 1), VENDRIX_TEXMAP_QUALITY_OFF_CENTRE);
  a.Settings().FramingMode = VENDRIX_FRAMING_BORDER_LIMIT;
  EXPECT_EQ(a.Define(d, 0, 0, 1), VENDRIX_TEXMAP_QUALITY_OK);  // this mode is never graded
}

TEST(DefTexMap, VersionDReadsTheBandsAndHugeBoundsSaturate) {
  Array a(1, true);
  a.Head().boundsMinX = INT32_MIN;
  a.Head().boundsMaxY = INT32_MAX;
  const int16_t half = 128;  // band 0's x: 0.5 px in 8.8
  std::memcpy(a.Bytes() + VENDRIX_COMP_D_OFFSET_RECORDS + VENDRIX_COMP_D_RECORD_OFFSET_BANDS, &half, 2);
  TexMapDefD d{};
  d.version = VENDRIX_TEXMAP_D_VERSION;
  d.outRect = {0, 0, 1280 * kOne, 720 * kOne};
  DefineTexMapD(&d, a.words.data(), 0, 0, 1280, 720);
  EXPECT_TRUE(d.visibleRect.x0 >= 0 && d.visibleRect.x1 <= 1280 * kOne);
  a.Head().boundsMinX = a.Head().boundsMaxY = 0;
  DefineTexMapD(&d, a.words.data(), 0, 0, 1280, 720);
  EXPECT_EQ(d.bandShift[0].x, kOne);  // 0.5 analysis px = 1 output px at twice the size
}

}  // namespace
}  // namespace vendrix::texmap
