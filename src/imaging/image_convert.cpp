// Conversion driver: field selection on private copies of the descriptors, validation, the table of
// format pairs, and the walk over destination rows with 16.16 nearest-neighbour steps.
#include "imaging/image_convert.h"

#include <algorithm>

#include "imaging/convert_rows.h"
#include "imaging/pixel_formats.h"

namespace vendrix::imaging {
namespace convert {
namespace {

// How the driver sizes the rows of a format pair.
enum class Shape : uint8_t {
  kPixels,       // count = destination width, one unit per pixel
  kPackedPairs,  // 4:2:2 packing: count = destination width rounded down to even, kernel pairs pixels
  kPairUnits,    // 4:2:2 to 4:2:2: count = destination width / 2 units of one pixel pair each
  kEqualWidths,  // group-of-6 and row copies: widths must be equal, count = width, no horizontal step
  kV210Copy,     // kEqualWidths with rows copied whole at their padded v210 size
  kNv12,         // NV12 to NV12: the luma plane, then the half-resolution chroma plane
};

// One row of the conversion table. `tinted` is used in mode 1; a pair without a tinted kernel names its
// normal kernel twice and so ignores the mode.
struct TableEntry {
  uint32_t destination;
  uint32_t source;
  ConvertRow normal;
  ConvertRow tinted;
  Shape shape;
};

// The supported pairs; every other pair converts nothing. The normal kernels of BGRA8 <- VUYA8 and
// ARGB8 <- AYUV8, AYUV16, AYUV32F decode Y/Cb/Cr to colour: a host that asks for a colour image from a
// Y/Cb/Cr frame gets one rather than an untouched buffer.
constexpr TableEntry kTable[] = {
    {VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_BGRA8, kCopyRow4, kTintFromBgraKeepAlpha, Shape::kPixels},
    {VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_BGR8, kBgraFromBgr, kTintFromBgr, Shape::kPixels},
    {VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_ARGB8, kBgraFromArgb, kTintFromArgb, Shape::kPixels},
    {VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_UYVY8, kGreyFromUyvy, kGreyFromUyvy, Shape::kPixels},
    {VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_YUYV8, kGreyFromYuyv, kGreyFromYuyv, Shape::kPixels},
    {VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_VUYA8, kBgraFromVuya, kTintFromVuya, Shape::kPixels},
    {VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_ARGB16, kBgraFromArgb16, kTintFromArgb16, Shape::kPixels},
    {VENDRIX_PIXFMT_BGRA8, VENDRIX_PIXFMT_ARGB32F, kBgraFromArgb32f, kTintFromArgb32f, Shape::kPixels},
    {VENDRIX_PIXFMT_BGR8, VENDRIX_PIXFMT_BGRA8, kBgrFromBgra, kBgrFromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_BGR8, VENDRIX_PIXFMT_BGR8, kCopyRow3, kTintBgrFromBgr, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB8, VENDRIX_PIXFMT_BGRA8, kArgbFromBgra, kTintFromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB8, VENDRIX_PIXFMT_ARGB8, kCopyRow4, kTintFromArgb, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB8, VENDRIX_PIXFMT_AYUV8, kArgbFromAyuv, kTintFromAyuv, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB8, VENDRIX_PIXFMT_ARGB16, kArgbFromArgb16, kTintFromArgb16, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB8, VENDRIX_PIXFMT_ARGB32F, kArgbFromArgb32f, kTintFromArgb32f, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB8, VENDRIX_PIXFMT_AYUV16, kArgbFromAyuv16, kTintFromAyuv16, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB8, VENDRIX_PIXFMT_AYUV32F, kArgbFromAyuv32f, kTintFromAyuv32f, Shape::kPixels},
    {VENDRIX_PIXFMT_UYVY8, VENDRIX_PIXFMT_BGRA8, kUyvyFromBgra, kUyvyFromBgra, Shape::kPackedPairs},
    {VENDRIX_PIXFMT_YUYV8, VENDRIX_PIXFMT_BGRA8, kYuyvFromBgra, kYuyvFromBgra, Shape::kPackedPairs},
    {VENDRIX_PIXFMT_YUYV8, VENDRIX_PIXFMT_YUYV8, kCopyRow4, kTintYuyvPairs, Shape::kPairUnits},
    {VENDRIX_PIXFMT_VUYA8, VENDRIX_PIXFMT_BGRA8, kVuyaFromBgra, kVuyaFromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_NV12, VENDRIX_PIXFMT_NV12, kCopyRow1, kCopyRow1, Shape::kNv12},
    {VENDRIX_PIXFMT_NV12, VENDRIX_PIXFMT_V210, kLumaFromV210, kLumaFromV210, Shape::kEqualWidths},
    {VENDRIX_PIXFMT_V210, VENDRIX_PIXFMT_V210, kCopyV210Row, kCopyV210Row, Shape::kV210Copy},
    {VENDRIX_PIXFMT_V210, VENDRIX_PIXFMT_UYVY16, kV210FromUyvy16, kV210FromUyvy16, Shape::kEqualWidths},
    {VENDRIX_PIXFMT_UYVY16, VENDRIX_PIXFMT_V210, kUyvy16FromV210, kUyvy16FromV210, Shape::kEqualWidths},
    {VENDRIX_PIXFMT_UYVY16, VENDRIX_PIXFMT_UYVY16, kCopyRow4, kCopyRow4, Shape::kEqualWidths},
    {VENDRIX_PIXFMT_AYUV8, VENDRIX_PIXFMT_BGRA8, kAyuvFromBgra, kAyuvFromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB16, VENDRIX_PIXFMT_BGRA8, kArgb16FromBgra, kArgb16FromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_ARGB32F, VENDRIX_PIXFMT_BGRA8, kArgb32fFromBgra, kArgb32fFromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_AYUV16, VENDRIX_PIXFMT_BGRA8, kAyuv16FromBgra, kAyuv16FromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_AYUV32F, VENDRIX_PIXFMT_BGRA8, kAyuv32fFromBgra, kAyuv32fFromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_VUYA16, VENDRIX_PIXFMT_BGRA8, kVuya16FromBgra, kVuya16FromBgra, Shape::kPixels},
    {VENDRIX_PIXFMT_VUYA32F, VENDRIX_PIXFMT_BGRA8, kVuya32fFromBgra, kVuya32fFromBgra, Shape::kPixels},
};

// The entry of a format pair, or null when the pair converts nothing.
const TableEntry* FindPair(uint32_t destination, uint32_t source) {
  for (const TableEntry& e : kTable)
    if (e.destination == destination && e.source == source) return &e;
  return nullptr;
}

// 3- and 4-byte destinations step rows by the pitch rounded toward zero to whole 32-bit words.
bool AdvancesInWords(uint32_t format) {
  return format == VENDRIX_PIXFMT_BGRA8 || format == VENDRIX_PIXFMT_BGR8 || format == VENDRIX_PIXFMT_ARGB8 ||
         format == VENDRIX_PIXFMT_VUYA8 || format == VENDRIX_PIXFMT_AYUV8;
}

// Destination row y (0 <= y < rows) reads source row (y * vstep) >> 16.
void ConvertRows(const uint8_t* src, int64_t src_pitch, uint8_t* dst, int64_t dst_advance, int32_t rows, uint32_t vstep,
                 RowKernel kernel, int32_t count, uint32_t hstep) {
  uint32_t position = 0;
  for (int32_t y = 0; y < rows; ++y, position += vstep)
    kernel(src + FxInt(position) * src_pitch, dst + y * dst_advance, count, hstep);
}

}  // namespace
}  // namespace convert

bool ConvertImage(const ConvRecord& record) {
  using convert::Shape;
  if (record.tag != VENDRIX_IMAGE_TAG) return false;
  Image src, dst;
  if (!SelectField(record.source, &src) || !SelectField(record.destination, &dst)) return false;

  const convert::TableEntry* pair = convert::FindPair(dst.format, src.format);
  if (!pair) return false;
  const Shape shape = pair->shape;
  const bool equal_widths = shape == Shape::kEqualWidths || shape == Shape::kV210Copy;
  if (equal_widths && src.width != dst.width) return false;

  const int64_t dst_advance = convert::AdvancesInWords(dst.format) ? PitchInWords(dst.pitch) : dst.pitch;
  int64_t src_row = SourceRowBytes(src.format, src.width);
  int64_t dst_row = DestRowBytes(dst.format, dst.width);
  if (shape == Shape::kV210Copy) src_row = dst_row = V210PaddedRowBytes(dst.width);
  if (Magnitude(src.pitch) < src_row || Magnitude(dst_advance) < dst_row) return false;

  const uint32_t hstep = FxStep(src.width, dst.width);
  const uint32_t vstep = FxStep(src.height, dst.height);
  const convert::ConvertRowTable& rows = convert::ConvertRowKernels();
  int32_t count = dst.width;
  switch (shape) {
    case Shape::kPackedPairs:
      count = dst.width & ~1;
      break;
    case Shape::kPairUnits:
      count = dst.width >> 1;
      break;
    case Shape::kNv12: {
      // Luma over the even width, then chroma rows 0, 2, 4 ... of the destination, each reading the
      // chroma row of the source row it resamples: (k * vstep) >> 16 for chroma row k, pair j from
      // source pair (j * hstep) >> 16. Both chroma planes follow their luma plane at the same pitch.
      // The second field of a frame whose field height is odd has a chroma row fewer than its height
      // asks for, so the rows stop where either plane ends instead of running past the buffer.
      const int32_t even = dst.width & ~1;
      convert::ConvertRows(src.row0, src.pitch, dst.row0, dst_advance, dst.height, vstep, rows.rows[convert::kCopyRow1],
                           even, hstep);
      int32_t chroma_rows = std::min((dst.height + 1) / 2, dst.chromaRows);
      while (chroma_rows > 0 && FxInt(uint32_t(chroma_rows - 1) * vstep) >= src.chromaRows) --chroma_rows;
      convert::ConvertRows(src.Row(src.height), src.pitch, dst.Row(dst.height), dst_advance, chroma_rows, vstep,
                           rows.rows[convert::kCopyRow2], even / 2, hstep);
      return true;
    }
    default:
      break;
  }
  const convert::ConvertRow kernel = record.mode == VENDRIX_CONV_TINTED ? pair->tinted : pair->normal;
  convert::ConvertRows(src.row0, src.pitch, dst.row0, dst_advance, dst.height, vstep, rows.rows[kernel], count, hstep);
  return true;
}

}  // namespace vendrix::imaging
