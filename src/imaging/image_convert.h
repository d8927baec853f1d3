// Image conversion: one image into another pixel format, resampled to the destination size by nearest
// neighbour, optionally as a tinted monochrome preview. Used by the ConvImage export, by the preview and
// by the scanner (v210 frames become an NV12 luma plane before analysis).
//
// The conversion runs row by row: the driver (image_convert.cpp) selects fields, validates both images,
// picks the row kernel of the format pair from its table and walks the destination rows; each kernel
// converts one row with the source columns resampled by a 16.16 step. Kernels live in convert_rgb.cpp
// (colour to colour, and every grey or tinted output) and convert_yuv.cpp (to and from Y/Cb/Cr, 4:2:2,
// NV12 and v210).
#pragma once

#include <cstdint>

#include "imaging/pixel_formats.h"
#include "vendrix/vendrix.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vendrix::imaging {

// Converts record.source into record.destination as ConvImage does. Returns false, having written
// nothing, when the record is refused: tag not 1, a size outside 1..32767 after field selection, a null
// buffer, a pitch too small for its row, an unsupported format pair, or unequal widths where the pair
// needs equal widths.
bool ConvertImage(const ConvRecord& record);

namespace convert {

// Converts one destination row. `count` is in the kernel's own units (see Shape); unit x reads source
// unit (x * step) >> 16 (the step accumulated in 32 bits from 0). step == kFxOne means equal sizes, and
// kernels then take a straight path over consecutive units.
using RowKernel = void (*)(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);

// How the driver sizes the rows of a format pair.
enum class Shape : uint8_t {
  kPixels,       // count = destination width, one unit per pixel
  kPackedPairs,  // 4:2:2 packing: count = destination width rounded down to even, kernel pairs pixels
  kPairUnits,    // 4:2:2 to 4:2:2: count = destination width / 2 units of one pixel pair each
  kEqualWidths,  // group-of-6 and row copies: widths must be equal, count = width, no horizontal step
  kV210Copy,     // kEqualWidths with rows copied whole at their padded v210 size
  kNv12,         // NV12 to NV12: the luma plane, then the half-resolution chroma plane
};

struct Conversion {
  RowKernel kernel;  // null: the pair converts nothing
  Shape shape;
};

// ---- Row walking shared by the kernels --------------------------------------------------------------

// Applies Op::Apply(source unit, destination unit) across a row, resampling the source units.
template <int kSrcBytes, int kDstBytes, class Op>
void PixelRow(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) {
  if (step == static_cast<uint32_t>(kFxOne)) {
    for (int32_t x = 0; x < count; ++x) Op::Apply(src + x * kSrcBytes, dst + x * kDstBytes);
    return;
  }
  uint32_t position = 0;
  for (int32_t x = 0; x < count; ++x, position += step)
    Op::Apply(src + FxInt(position) * kSrcBytes, dst + x * kDstBytes);
}

// As PixelRow, with a vector path for equal sizes: `wide` converts the leading units it handles in
// blocks and returns their number, Op (the plain reference of the same conversion) converts the rest of
// the row and every resampled row.
template <int kSrcBytes, int kDstBytes, class Op, int32_t (*kWide)(const uint8_t*, uint8_t*, int32_t)>
void PixelRowWide(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) {
  if (step == static_cast<uint32_t>(kFxOne)) {
    const int32_t done = kWide(src, dst, count);
    src += done * kSrcBytes;
    dst += done * kDstBytes;
    count -= done;
  }
  PixelRow<kSrcBytes, kDstBytes, Op>(src, dst, count, step);
}

#if defined(__SSE2__)
// Vector access shared by the vector paths (SSE2, part of every x86-64 processor).
namespace wide {
inline __m128i Load(const uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store(uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }
// Byte kByte of four 4-byte pixels, one per 32-bit lane.
template <int kByte>
inline __m128i Channel(__m128i px) {
  const __m128i shifted = kByte == 0 ? px : _mm_srli_epi32(px, 8 * kByte);
  return kByte == 3 ? shifted : _mm_and_si128(shifted, _mm_set1_epi32(0xFF));
}
}  // namespace wide
#endif

// Vector path of a kernel without one on this processor: converts nothing.
inline int32_t NoWidePath(const uint8_t*, uint8_t*, int32_t) { return 0; }

// ---- Kernels of convert_rgb.cpp and image_convert.cpp (copies) --------------------------------------

// Plain unit copies with resampling; equal sizes copy the row in one move.
void CopyRow1(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);
void CopyRow2(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);
void CopyRow3(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);
void CopyRow4(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);

void BgraFromBgr(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);      // 1 <- 2
void BgraFromArgb(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 1 <- 8
void BgraFromArgb16(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);   // 1 <- 18
void BgraFromArgb32f(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 1 <- 19
void BgrFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);      // 2 <- 1
void ArgbFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 8 <- 1
void ArgbFromArgb16(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);   // 8 <- 18
void ArgbFromArgb32f(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 8 <- 19
void Argb16FromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);   // 18 <- 1
void Argb32fFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 19 <- 1

// Grey and tinted outputs: bytes 64, g, g and a top byte of 0 (or the source alpha where noted).
void GreyFromUyvy(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);           // 1 <- 9
void GreyFromYuyv(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);           // 1 <- 10
void TintFromBgraKeepAlpha(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 1 <- 1
void TintFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);           // 8 <- 1
void TintFromBgr(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);            // 1 <- 2
void TintBgrFromBgr(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);         // 2 <- 2
void TintFromArgb(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);           // 1, 8 <- 8
void TintFromArgb16(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);         // 1, 8 <- 18
void TintFromArgb32f(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);        // 1, 8 <- 19
void TintFromVuya(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);           // 1 <- 11
void TintFromAyuv(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);           // 8 <- 15
void TintFromAyuv16(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);         // 8 <- 20
void TintFromAyuv32f(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);        // 8 <- 21

// ---- Kernels of convert_yuv.cpp ---------------------------------------------------------------------

void UyvyFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 9 <- 1, pairs
void YuyvFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 10 <- 1, pairs
void TintYuyvPairs(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);    // 10 <- 10 tinted
void VuyaFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 11 <- 1
void AyuvFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 15 <- 1
void Ayuv16FromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);   // 20 <- 1
void Ayuv32fFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 21 <- 1
void Vuya16FromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);   // 22 <- 1
void Vuya32fFromBgra(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 23 <- 1

void BgraFromVuya(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 1 <- 11
void ArgbFromAyuv(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 8 <- 15
void ArgbFromAyuv16(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);   // 8 <- 20
void ArgbFromAyuv32f(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 8 <- 21

// Equal widths, step ignored.
void LumaFromV210(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);    // 12 <- 13
void CopyV210Row(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);     // 13 <- 13
void V210FromUyvy16(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 13 <- 14
void Uyvy16FromV210(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);  // 14 <- 13

}  // namespace convert
}  // namespace vendrix::imaging
