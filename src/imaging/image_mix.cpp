// A/B cross-fade: validation, field selection on private copies, the intersection area, and the walk
// over its rows with the row kernel of the format (mix_rows.h).
#include "imaging/image_mix.h"

#include <algorithm>

#include "imaging/mix_rows.h"
#include "imaging/pixel_formats.h"

namespace vendrix::imaging {
namespace mix {
namespace {

struct Layout {
  bool mixed;              // false: format not mixed
  MixRowKind kernel;
  int32_t valuesPerPixel;  // bytes, u16 channels or f32 channels
  int32_t valueBytes;
};

Layout LayoutOf(uint32_t format) {
  switch (format) {
    case VENDRIX_PIXFMT_BGRA8:
    case VENDRIX_PIXFMT_ARGB8:
    case VENDRIX_PIXFMT_VUYA8:
    case VENDRIX_PIXFMT_AYUV8:
      return {true, kMixU8, 4, 1};
    case VENDRIX_PIXFMT_BGR8:
      return {true, kMixU8, 3, 1};
    case VENDRIX_PIXFMT_UYVY8:
    case VENDRIX_PIXFMT_YUYV8:
      return {true, kMixU8, 2, 1};
    case VENDRIX_PIXFMT_BGRA16:
    case VENDRIX_PIXFMT_ARGB16:
    case VENDRIX_PIXFMT_AYUV16:
    case VENDRIX_PIXFMT_VUYA16:
      return {true, kMixU16, 4, 2};
    case VENDRIX_PIXFMT_BGRA32F:
    case VENDRIX_PIXFMT_ARGB32F:
    case VENDRIX_PIXFMT_AYUV32F:
    case VENDRIX_PIXFMT_VUYA32F:
      return {true, kMixF32, 4, 4};
    default:
      return {false, kMixU8, 0, 0};
  }
}

}  // namespace
}  // namespace mix

bool MixImages(const MixRecord& r) {
  if (r.tag != VENDRIX_IMAGE_TAG || r.mixMode != VENDRIX_MIX_LINEAR) return false;
  if (r.aFormat != r.b.format || r.aFormat != r.c.format) return false;
  if (r.aFieldMode != r.b.fieldMode || r.aFieldMode != r.c.fieldMode) return false;
  const mix::Layout layout = mix::LayoutOf(r.aFormat);
  if (!layout.mixed) return false;

  Image a, b, c;
  if (!SelectField(r.aFormat, r.aFieldMode, r.aWidth, r.aHeight, r.aPitch, r.aBuffer, &a) || !SelectField(r.b, &b) ||
      !SelectField(r.c, &c))
    return false;
  const int32_t width = std::min({a.width, b.width, c.width});
  const int32_t height = std::min({a.height, b.height, c.height});
  const int32_t values = width * layout.valuesPerPixel;
  const int64_t row_bytes = int64_t{values} * layout.valueBytes;
  if (Magnitude(a.pitch) < row_bytes || Magnitude(b.pitch) < row_bytes || Magnitude(c.pitch) < row_bytes) return false;

  const uint32_t weight = static_cast<uint32_t>(std::clamp(r.weight, 0, mix::kWeightMax));
  const mix::MixRow mixer = mix::MixRowKernels().rows[layout.kernel];
  for (int32_t y = 0; y < height; ++y) mixer(a.Row(y), b.Row(y), c.Row(y), values, weight);
  return true;
}

}  // namespace vendrix::imaging
