// Image conversion as ConvImage runs it: known colours of the JFIF equations and refused requests.
// The row kernels are checked against their references at every instruction-set level in
// tests/kernels; the golden test pins every pair's output (v210 packing and unpacking included).
#include "imaging/image_convert.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace vendrix::imaging {
namespace {

using Bytes = std::vector<uint8_t>;

ImageDesc Desc(uint32_t format, int32_t width, int32_t height, int32_t pitch, const void* buffer) {
  return {format, 0, 0, 0, width, height, pitch, 0, const_cast<void*>(buffer)};
}
ImageDesc Pixel(uint32_t format, const void* buffer) { return Desc(format, 1, 1, 16, buffer); }
ConvRecord Record(const ImageDesc& src, const ImageDesc& dst) { return {VENDRIX_IMAGE_TAG, 0, src, dst}; }
bool Convert(const ImageDesc& src, const ImageDesc& dst) { return ConvertImage(Record(src, dst)); }

// Y = 0.299 R + 0.587 G + 0.114 B, Cb = 128 - 0.16874 R - 0.33126 G + 0.5 B,
// Cr = 128 + 0.5 R - 0.41869 G - 0.08131 B, each rounded and held to 0..255, worked out by hand.
struct Colour {
  uint8_t r, g, b, y, cb, cr;
};
class KnownColours : public ::testing::TestWithParam<Colour> {};

// AYUV8 and VUYA8 read red from byte 0 of the source, the 4:2:2 packers from byte 2 (BGRA8).
TEST_P(KnownColours, EncodeToTheirValuesAndDecodeBack) {
  const Colour c = GetParam();
  const uint8_t red_first[4] = {c.r, c.g, c.b, 7}, pair[8] = {c.b, c.g, c.r, 0, c.b, c.g, c.r, 0};
  uint8_t ayuv[4], vuya[4], uyvy[4], back[4];
  ASSERT_TRUE(Convert(Pixel(VENDRIX_PIXFMT_BGRA8, red_first), Pixel(VENDRIX_PIXFMT_AYUV8, ayuv)));
  ASSERT_TRUE(Convert(Pixel(VENDRIX_PIXFMT_BGRA8, red_first), Pixel(VENDRIX_PIXFMT_VUYA8, vuya)));
  ASSERT_TRUE(Convert(Desc(VENDRIX_PIXFMT_BGRA8, 2, 1, 8, pair), Desc(VENDRIX_PIXFMT_UYVY8, 2, 1, 4, uyvy)));
  ASSERT_TRUE(Convert(Pixel(VENDRIX_PIXFMT_VUYA8, vuya), Pixel(VENDRIX_PIXFMT_BGRA8, back)));
  EXPECT_EQ(Bytes(ayuv, ayuv + 4), (Bytes{7, c.y, c.cb, c.cr}));
  EXPECT_EQ(Bytes(vuya, vuya + 4), (Bytes{c.cr, c.cb, c.y, 7}));
  EXPECT_EQ(Bytes(uyvy, uyvy + 4), (Bytes{c.cb, c.y, c.cr, c.y}));
  EXPECT_NEAR(back[0], c.b, 2);
  EXPECT_NEAR(back[1], c.g, 2);
  EXPECT_NEAR(back[2], c.r, 2);
  EXPECT_EQ(back[3], 7);
}

INSTANTIATE_TEST_SUITE_P(Jfif, KnownColours,
                         ::testing::Values(Colour{0, 0, 0, 0, 128, 128}, Colour{255, 255, 255, 255, 128, 128},
                                           Colour{128, 128, 128, 128, 128, 128}, Colour{255, 0, 0, 76, 85, 255},
                                           Colour{0, 255, 0, 150, 44, 21}, Colour{0, 0, 255, 29, 255, 107}));

// Requests whose rows would not fit their buffers, or that name no conversion, write nothing.
TEST(ConvImage, RefusesBadRequestsWithoutWriting) {
  uint32_t src[4][8] = {}, dst[4][8];
  const ImageDesc from = Desc(VENDRIX_PIXFMT_BGRA8, 8, 4, 32, src), to = Desc(VENDRIX_PIXFMT_BGRA8, 6, 4, 32, dst);
  const ConvRecord bad[] = {
      Record(Desc(VENDRIX_PIXFMT_BGRA8, 8, 4, -31, src), to),
      Record(from, Desc(VENDRIX_PIXFMT_BGRA8, 6, 4, 23, dst)),
      Record(from, Desc(VENDRIX_PIXFMT_BGR8, 7, 4, 22, dst)),  // rows step by 20 bytes: the pitch to whole words
      Record({VENDRIX_PIXFMT_BGRA8, VENDRIX_FIELD_IN_FRAME, 0, 0, 8, 4, 0x40000000, 0, src}, to),  // the field's pitch
      Record(Desc(VENDRIX_PIXFMT_V210, 8, 4, 32, src), Desc(VENDRIX_PIXFMT_NV12, 6, 4, 32, dst)),  // unequal widths
      Record(Desc(VENDRIX_PIXFMT_UYVY8, 8, 4, 32, src), Desc(VENDRIX_PIXFMT_UYVY8, 6, 4, 32, dst)),  // no such pair
  };
  for (const ConvRecord& r : bad) {
    std::fill_n(&dst[0][0], 32, 0xEEEEEEEEu);
    EXPECT_FALSE(ConvertImage(r)) << &r - bad;
    EXPECT_TRUE(std::all_of(&dst[0][0], &dst[0][0] + 32, [](uint32_t v) { return v == 0xEEEEEEEEu; })) << &r - bad;
  }
}

}  // namespace
}  // namespace vendrix::imaging
