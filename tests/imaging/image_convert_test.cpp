// Image conversion as ConvImage runs it: refused requests. The row kernels are checked against their
// references at every instruction-set level in tests/kernels; the golden test pins every pair's output
// (the JFIF colour equations, v210 packing and unpacking included).
#include "imaging/image_convert.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace vendrix::imaging {
namespace {

ImageDesc Desc(uint32_t format, int32_t width, int32_t height, int32_t pitch, const void* buffer) {
  return {format, 0, 0, 0, width, height, pitch, 0, const_cast<void*>(buffer)};
}
ConvRecord Record(const ImageDesc& src, const ImageDesc& dst) { return {VENDRIX_IMAGE_TAG, 0, src, dst}; }

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
