// Conversion driver: field selection on private copies of the descriptors, validation, the table of
// format pairs, and the walk over destination rows with 16.16 nearest-neighbour steps.
#include "imaging/image_convert.h"

#include <cstring>

namespace vendrix::imaging {
namespace convert {

namespace {

template <int kBytes>
void CopyUnits(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) {
  if (step == static_cast<uint32_t>(kFxOne)) {
    // memmove: a host may convert an image onto itself.
    std::memmove(dst, src, static_cast<size_t>(count) * kBytes);
    return;
  }
  uint32_t position = 0;
  for (int32_t x = 0; x < count; ++x, position += step)
    std::memcpy(dst + x * kBytes, src + FxInt(position) * kBytes, kBytes);
}

}  // namespace

void CopyRow1(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) { CopyUnits<1>(src, dst, count, step); }
void CopyRow2(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) { CopyUnits<2>(src, dst, count, step); }
void CopyRow3(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) { CopyUnits<3>(src, dst, count, step); }
void CopyRow4(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) { CopyUnits<4>(src, dst, count, step); }

namespace {

// One row of the conversion table. `tinted` is used in mode 1 when present; a pair without a tinted
// kernel ignores the mode.
struct TableEntry {
  uint32_t destination;
  uint32_t source;
  RowKernel normal;
  RowKernel tinted;
  Shape shape;
};

// The supported pairs; every other pair converts nothing. The normal kernels of 1 <- 11, 8 <- 15,
// 8 <- 20 and 8 <- 21 decode Y/Cb/Cr to colour: a host that asks for a colour image from a Y/Cb/Cr
// frame gets one rather than an untouched buffer.
constexpr TableEntry kTable[] = {
    {1, 1, CopyRow4, TintFromBgraKeepAlpha, Shape::kPixels},
    {1, 2, BgraFromBgr, TintFromBgr, Shape::kPixels},
    {1, 8, BgraFromArgb, TintFromArgb, Shape::kPixels},
    {1, 9, GreyFromUyvy, GreyFromUyvy, Shape::kPixels},
    {1, 10, GreyFromYuyv, GreyFromYuyv, Shape::kPixels},
    {1, 11, BgraFromVuya, TintFromVuya, Shape::kPixels},
    {1, 18, BgraFromArgb16, TintFromArgb16, Shape::kPixels},
    {1, 19, BgraFromArgb32f, TintFromArgb32f, Shape::kPixels},
    {2, 1, BgrFromBgra, nullptr, Shape::kPixels},
    {2, 2, CopyRow3, TintBgrFromBgr, Shape::kPixels},
    {8, 1, ArgbFromBgra, TintFromBgra, Shape::kPixels},
    {8, 8, CopyRow4, TintFromArgb, Shape::kPixels},
    {8, 15, ArgbFromAyuv, TintFromAyuv, Shape::kPixels},
    {8, 18, ArgbFromArgb16, TintFromArgb16, Shape::kPixels},
    {8, 19, ArgbFromArgb32f, TintFromArgb32f, Shape::kPixels},
    {8, 20, ArgbFromAyuv16, TintFromAyuv16, Shape::kPixels},
    {8, 21, ArgbFromAyuv32f, TintFromAyuv32f, Shape::kPixels},
    {9, 1, UyvyFromBgra, nullptr, Shape::kPackedPairs},
    {10, 1, YuyvFromBgra, nullptr, Shape::kPackedPairs},
    {10, 10, CopyRow4, TintYuyvPairs, Shape::kPairUnits},
    {11, 1, VuyaFromBgra, nullptr, Shape::kPixels},
    {12, 12, CopyRow1, nullptr, Shape::kNv12},
    {12, 13, LumaFromV210, nullptr, Shape::kEqualWidths},
    {13, 13, CopyV210Row, nullptr, Shape::kV210Copy},
    {13, 14, V210FromUyvy16, nullptr, Shape::kEqualWidths},
    {14, 13, Uyvy16FromV210, nullptr, Shape::kEqualWidths},
    {14, 14, CopyRow4, nullptr, Shape::kEqualWidths},
    {15, 1, AyuvFromBgra, nullptr, Shape::kPixels},
    {18, 1, Argb16FromBgra, nullptr, Shape::kPixels},
    {19, 1, Argb32fFromBgra, nullptr, Shape::kPixels},
    {20, 1, Ayuv16FromBgra, nullptr, Shape::kPixels},
    {21, 1, Ayuv32fFromBgra, nullptr, Shape::kPixels},
    {22, 1, Vuya16FromBgra, nullptr, Shape::kPixels},
    {23, 1, Vuya32fFromBgra, nullptr, Shape::kPixels},
};

Conversion FindConversion(uint32_t destination, uint32_t source, bool tinted) {
  for (const TableEntry& e : kTable)
    if (e.destination == destination && e.source == source)
      return Conversion{tinted && e.tinted ? e.tinted : e.normal, e.shape};
  return Conversion{nullptr, Shape::kPixels};
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

  const convert::Conversion conv = convert::FindConversion(dst.format, src.format, record.mode == VENDRIX_CONV_TINTED);
  if (!conv.kernel) return false;
  const bool equal_widths = conv.shape == Shape::kEqualWidths || conv.shape == Shape::kV210Copy;
  if (equal_widths && src.width != dst.width) return false;

  const int64_t dst_advance = convert::AdvancesInWords(dst.format) ? PitchInWords(dst.pitch) : dst.pitch;
  int64_t src_row = SourceRowBytes(src.format, src.width);
  int64_t dst_row = DestRowBytes(dst.format, dst.width);
  if (conv.shape == Shape::kV210Copy) src_row = dst_row = V210PaddedRowBytes(dst.width);
  if (Magnitude(src.pitch) < src_row || Magnitude(dst_advance) < dst_row) return false;

  const uint32_t hstep = FxStep(src.width, dst.width);
  const uint32_t vstep = FxStep(src.height, dst.height);
  int32_t count = dst.width;
  switch (conv.shape) {
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
      const int32_t even = dst.width & ~1;
      convert::ConvertRows(src.row0, src.pitch, dst.row0, dst_advance, dst.height, vstep, convert::CopyRow1, even,
                           hstep);
      convert::ConvertRows(src.Row(src.height), src.pitch, dst.Row(dst.height), dst_advance, (dst.height + 1) / 2,
                           vstep, convert::CopyRow2, even / 2, hstep);
      return true;
    }
    default:
      break;
  }
  convert::ConvertRows(src.row0, src.pitch, dst.row0, dst_advance, dst.height, vstep, conv.kernel, count, hstep);
  return true;
}

}  // namespace vendrix::imaging
