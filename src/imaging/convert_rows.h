// The row kernels of image conversion and their table.
//
// A row kernel converts one destination row: `count` units in the kernel's own units (pixels, pixel
// pairs or v210 groups, as the comments below say), unit x reading source unit (x * step) >> 16 with
// the step accumulated in 32 bits from 0. step == kFxOne means equal sizes; kernels then take a straight
// path over consecutive units, and that path is where the vector versions work. Every entry of the
// table starts as the plain C++ reference and is replaced by a vector version only where one exists
// for the running processor; all versions of an entry write identical bytes.
#pragma once

#include <cstdint>

namespace vendrix::imaging::convert {

using RowKernel = void (*)(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step);

// The entries, named destination-from-source by the byte order of the formats.
enum ConvertRow : uint8_t {
  // Unit copies with resampling; equal sizes copy the row in one move (source and destination may
  // overlap: a host may convert an image onto itself).
  kCopyRow1,
  kCopyRow2,
  kCopyRow3,
  kCopyRow4,
  // Colour to colour.
  kBgraFromBgr,      // BGRA8 <- BGR8, alpha 255
  kBgraFromArgb,     // BGRA8 <- ARGB8, alpha 255
  kBgraFromArgb16,   // BGRA8 <- ARGB16, high bytes; byte 3 kept
  kBgraFromArgb32f,  // BGRA8 <- ARGB32F, x 255 truncated, low 8 bits; byte 3 kept
  kBgrFromBgra,      // BGR8 <- BGRA8
  kArgbFromBgra,     // ARGB8 <- BGRA8, alpha 255
  kArgbFromArgb16,   // ARGB8 <- ARGB16, high bytes; byte 0 kept
  kArgbFromArgb32f,  // ARGB8 <- ARGB32F, x 255 truncated, low 8 bits; byte 0 kept
  kArgb16FromBgra,   // ARGB16 <- BGRA8, x 257
  kArgb32fFromBgra,  // ARGB32F <- BGRA8, x 1/255
  // Grey and tinted previews: bytes 64, g, g and a top byte of 0 (or the source alpha where noted),
  // g the luma byte or (R + 2G + B) / 4.
  kGreyFromUyvy,           // BGRA8 <- UYVY8
  kGreyFromYuyv,           // BGRA8 <- YUYV8
  kTintFromBgraKeepAlpha,  // BGRA8 <- BGRA8, top byte the source alpha
  kTintFromBgra,           // ARGB8 <- BGRA8
  kTintFromBgr,            // BGRA8 <- BGR8
  kTintBgrFromBgr,         // BGR8 <- BGR8: bytes 64, g, g
  kTintFromArgb,           // BGRA8 or ARGB8 <- ARGB8
  kTintFromArgb16,         // BGRA8 or ARGB8 <- ARGB16
  kTintFromArgb32f,        // BGRA8 or ARGB8 <- ARGB32F
  kTintFromVuya,           // BGRA8 <- VUYA8
  kTintFromAyuv,           // ARGB8 <- AYUV8
  kTintFromAyuv16,         // ARGB8 <- AYUV16
  kTintFromAyuv32f,        // ARGB8 <- AYUV32F
  // To Y/Cb/Cr. The 4:2:2 packers take `count` pixels (even) and write count / 2 pairs.
  kUyvyFromBgra,     // UYVY8 <- BGRA8
  kYuyvFromBgra,     // YUYV8 <- BGRA8
  kTintYuyvPairs,    // YUYV8 <- YUYV8 tinted, units of one pixel pair
  kVuyaFromBgra,     // VUYA8 <- BGRA8
  kAyuvFromBgra,     // AYUV8 <- BGRA8
  kAyuv16FromBgra,   // AYUV16 <- BGRA8
  kAyuv32fFromBgra,  // AYUV32F <- BGRA8
  kVuya16FromBgra,   // VUYA16 <- BGRA8
  kVuya32fFromBgra,  // VUYA32F <- BGRA8
  // From Y/Cb/Cr to colour.
  kBgraFromVuya,     // BGRA8 <- VUYA8
  kArgbFromAyuv,     // ARGB8 <- AYUV8
  kArgbFromAyuv16,   // ARGB8 <- AYUV16
  kArgbFromAyuv32f,  // ARGB8 <- AYUV32F
  // v210 rows: `count` pixels, equal widths, step ignored. Whole source groups are read; 8-bit and
  // 16-bit destinations get `count` pixels, v210 destinations whole groups (the row copy: whole
  // 48-pixel blocks of 128 bytes).
  kLumaFromV210,    // NV12 luma <- V210
  kCopyV210Row,     // V210 <- V210
  kV210FromUyvy16,  // V210 <- UYVY16
  kUyvy16FromV210,  // UYVY16 <- V210
  kConvertRowCount
};

struct ConvertRowTable {
  RowKernel rows[kConvertRowCount];
};

// The table for the running processor (see platform/kernel_table.h for when it is filled).
const ConvertRowTable& ConvertRowKernels();

// Each kernel file sets its own entries for the given CpuFlags().
void FillCopyRows(uint32_t flags, ConvertRowTable* table);
void FillRgbRows(uint32_t flags, ConvertRowTable* table);
void FillYuvRows(uint32_t flags, ConvertRowTable* table);

}  // namespace vendrix::imaging::convert
