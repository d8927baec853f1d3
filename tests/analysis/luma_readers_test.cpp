// The luma readers: one hand-made pixel of every format against its documented luma, then the full,
// half-size and field readers on luma patterns and impulses with hand-computed results, and formats
// or images that must leave the plane (and the guard around it) untouched.
#include "analysis/luma_readers.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <vector>

#include "analysis/scan_params.h"

namespace vendrix::analysis {
namespace {

std::vector<uint8_t> Floats(float a, float b, float c, float d) {
  const float v[4] = {a, b, c, d};
  return std::vector<uint8_t>(reinterpret_cast<const uint8_t*>(v), reinterpret_cast<const uint8_t*>(v + 4));
}

TEST(LumaReaders, EveryFormatReadsTheMeanOfItsColourChannelsOrItsY) {
  // Colour channels 30, 60, 90 (high bytes of 16-bit ones; 0.25, 0.5, 0.75 of float ones) or Y = 77
  // (0.5); the other channels hold other values.
  const struct {
    uint32_t format;
    std::vector<uint8_t> pixel;
    int luma;
  } cases[] = {
      {VENDRIX_PIXFMT_BGRA8, {30, 60, 90, 200}, 60},   {VENDRIX_PIXFMT_BGR8, {30, 60, 90}, 60},
      {VENDRIX_PIXFMT_ARGB8, {200, 30, 60, 90}, 60},   {VENDRIX_PIXFMT_UYVY8, {200, 77}, 77},
      {VENDRIX_PIXFMT_YUYV8, {77, 200}, 77},           {VENDRIX_PIXFMT_VUYA8, {10, 20, 77, 200}, 77},
      {VENDRIX_PIXFMT_AYUV8, {200, 77, 10, 20}, 77},   {VENDRIX_PIXFMT_NV12, {77}, 77},
      {VENDRIX_PIXFMT_YUV420P, {77}, 77},              {VENDRIX_PIXFMT_BGRA16, {9, 30, 9, 60, 9, 90, 9, 200}, 60},
      {VENDRIX_PIXFMT_ARGB16, {9, 200, 9, 30, 9, 60, 9, 90}, 60}, {VENDRIX_PIXFMT_AYUV16, {9, 200, 9, 77, 9, 10, 9, 20}, 77},
      {VENDRIX_PIXFMT_VUYA16, {9, 10, 9, 20, 9, 77, 9, 200}, 77}, {VENDRIX_PIXFMT_BGRA32F, Floats(0.25f, 0.5f, 0.75f, 1), 127},
      {VENDRIX_PIXFMT_ARGB32F, Floats(1, 0.25f, 0.5f, 0.75f), 127}, {VENDRIX_PIXFMT_AYUV32F, Floats(1, 0.5f, 0.1f, 0.2f), 127},
      {VENDRIX_PIXFMT_VUYA32F, Floats(0.1f, 0.2f, 0.5f, 1), 127},
  };
  for (const auto& c : cases) {
    ASSERT_EQ(LumaBytesPerPixel(c.format), int32_t(c.pixel.size())) << c.format;
    std::vector<uint8_t> row;
    for (int i = 0; i < 3; ++i) row.insert(row.end(), c.pixel.begin(), c.pixel.end());
    uint8_t luma[4] = {1, 1, 1, 1};
    ASSERT_TRUE(LumaOfRow(c.format, row.data(), luma, 3)) << c.format;
    EXPECT_TRUE(luma[0] == c.luma && luma[1] == c.luma && luma[2] == c.luma && luma[3] == 1) << c.format;
  }
  // Float channels clamp, and a NaN reads as black.
  const std::vector<uint8_t> odd = Floats(std::nanf(""), 2.0f, -1.0f, 0.5f);
  uint8_t y[3];
  LumaOfRow(VENDRIX_PIXFMT_AYUV32F, odd.data(), y, 1);
  LumaOfRow(VENDRIX_PIXFMT_VUYA32F, odd.data(), y + 1, 1);
  LumaOfRow(VENDRIX_PIXFMT_BGRA32F, odd.data(), y + 2, 1);
  EXPECT_TRUE(y[0] == 255 && y[1] == 0 && y[2] == 0);
}

// An 8-bit luma source (NV12 rows) and the plane it is read into, inside a guard frame of 8 bytes
// that must survive every read.
struct Reading {
  static constexpr uint8_t kGuard = 0xA5;
  int32_t sw, sh;
  std::vector<uint8_t> src;
  model::AnalysisImage img{};
  int32_t pitch = 0;
  std::vector<uint8_t> plane;

  std::function<int(int, int)> source;  // luma of source pixel (x, y), counted from row 0

  Reading(int32_t w, int32_t h) : sw(w), sh(h) {}
  void Read(uint32_t field_mode, uint32_t halve, bool bottom_up) {
    img = model::AnalysisImage{};
    img.format = VENDRIX_PIXFMT_NV12;
    img.fieldMode = field_mode;
    img.sourceWidth = sw;
    img.sourceHeight = sh;
    img.sourcePitch = bottom_up ? -(sw + 7) : sw + 7;  // padded rows
    src.assign(size_t(sw + 7) * sh, 0);
    for (int y = 0; y < sh; ++y)
      for (int x = 0; x < sw; ++x) src[size_t(y) * (sw + 7) + x] = uint8_t(source(x, y));
    img.sourceBuffer = src.data() + (bottom_up ? size_t(sw + 7) * (sh - 1) : 0);
    img.halveAllowed = halve;
    ChooseWorkingImage(img);
    pitch = img.width + 16;
    plane.assign(size_t(pitch) * (img.height + 16), kGuard);
    img.readRow(img, Origin(), pitch);
  }
  uint8_t* Origin() { return plane.data() + 8 * pitch + 8; }
  int At(int x, int y) { return Origin()[int64_t{y} * pitch + x]; }
  bool GuardsIntact() const {
    for (int32_t y = 0; y < img.height + 16; ++y)
      for (int32_t x = 0; x < pitch; ++x)
        if ((y < 8 || y >= img.height + 8 || x < 8 || x >= img.width + 8) && plane[size_t(y) * pitch + x] != kGuard) return false;
    return true;
  }
};

TEST(LumaReaders, FullSizeCopiesTheLumaInBothRowOrders) {
  for (bool bottom_up : {false, true}) {
    Reading r(37, 11);
    r.source = [](int x, int y) { return (3 * x + 50 * y) & 255; };
    r.Read(0, 0, bottom_up);
    ASSERT_TRUE(r.img.readRow == ReadLumaFull && r.img.width == 37 && r.img.height == 11);
    for (int y = 0; y < 11; ++y)
      for (int x = 0; x < 37; ++x) {
        const int row = bottom_up ? 10 - y : y;  // row 0 of a bottom-up image is the last in memory
        ASSERT_EQ(r.At(x, y), (3 * x + 50 * row) & 255) << x << "," << y;
      }
    EXPECT_TRUE(r.GuardsIntact());
  }
}

// Impulses of 170 on black: the expected plane is 0 except at the listed pixels; the rim keeps its guard.
void ExpectImpulseResponse(Reading& r, const std::map<std::pair<int, int>, int>& nonzero, int rim_rows) {
  for (int y = rim_rows; y < r.img.height - rim_rows; ++y)
    for (int x = 1; x < r.img.width - 1; ++x) {
      const auto it = nonzero.find({x, y});
      ASSERT_EQ(r.At(x, y), it == nonzero.end() ? 0 : it->second) << x << "," << y;
    }
  EXPECT_TRUE(r.At(0, rim_rows) == Reading::kGuard && r.At(r.img.width - 1, rim_rows) == Reading::kGuard);
  EXPECT_TRUE(r.GuardsIntact());
}

TEST(LumaReaders, HalfSizeIsA121BinomialOverEveryOtherSourceRowAndColumn) {
  // Working pixel (x, y) weighs source columns 2x - 1, 2x, 2x + 1 by 1, 2, 1 and source rows 2y - 2,
  // 2y, 2y + 2 by 1, 2, 1, rounded sixteenths: 170 at an even column and row gives 43 at its working
  // pixel and 21 (edge weights) above and below; at an odd column, 21 and 11 on both working columns
  // beside it; at an odd row, nothing.
  Reading r(720, 460);
  r.source = [](int x, int y) { return (x == 200 && y == 100) || (x == 301 && y == 200) || (x == 400 && y == 301) ? 170 : 0; };
  r.Read(0, 1, false);
  ASSERT_TRUE(r.img.readRow == ReadLumaHalf && r.img.width == 360 && r.img.height == 230);
  ExpectImpulseResponse(r, {{{100, 50}, 43}, {{100, 49}, 21}, {{100, 51}, 21}, {{150, 100}, 21}, {{151, 100}, 21},
                            {{150, 99}, 11}, {{151, 99}, 11}, {{150, 101}, 11}, {{151, 101}, 11}}, 1);
  EXPECT_EQ(r.At(5, 0), Reading::kGuard);
}

TEST(LumaReaders, FieldReaderSmoothsTheRowsOfItsFieldOnly) {
  // 1-2-1 over source columns 2x - 1 .. 2x + 1, rounded quarters: 170 at an even column gives 85, at an
  // odd one 43 on both working columns beside it; rows of the other field give nothing.
  for (uint32_t field : {VENDRIX_FIELD_FIRST, VENDRIX_FIELD_SECOND}) {
    Reading r(64, 20);
    r.source = [](int x, int y) { return y == 7 && (x == 20 || x == 31) ? 170 : 0; };  // row 7: second field row 3
    r.Read(VENDRIX_FIELD_IN_FRAME | field, 1, false);
    ASSERT_TRUE(r.img.readRow == ReadLumaField && r.img.width == 32 && r.img.height == 10);
    std::map<std::pair<int, int>, int> nonzero;
    if (field == VENDRIX_FIELD_SECOND) nonzero = {{{10, 3}, 85}, {{15, 3}, 43}, {{16, 3}, 43}};
    ExpectImpulseResponse(r, nonzero, 0);
  }
}

TEST(LumaReaders, FormatsWithoutLumaAndBadImagesWriteNothing) {
  constexpr uint32_t kGapCode = 3, kUnknownCode = 99;
  Reading r(16, 8);
  r.source = [](int, int) { return 50; };
  for (uint32_t format : {kGapCode, VENDRIX_PIXFMT_UYVY16, kUnknownCode}) {
    r.Read(0, 0, false);
    r.plane.assign(r.plane.size(), Reading::kGuard);
    r.img.format = format;
    ReadLumaFull(r.img, r.Origin(), r.pitch);
    EXPECT_TRUE(r.At(3, 3) == Reading::kGuard && r.GuardsIntact()) << format;
  }
  r.img.format = VENDRIX_PIXFMT_NV12;
  ReadLumaFull(r.img, nullptr, 16);  // no plane: nothing happens
  r.img.buffer = nullptr;
  ReadLumaHalf(r.img, r.Origin(), r.pitch);
  ReadLumaFull(r.img, r.Origin(), r.pitch);
  EXPECT_EQ(r.At(2, 2), Reading::kGuard);
}

}  // namespace
}  // namespace vendrix::analysis
