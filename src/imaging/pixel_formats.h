// Pixel-format geometry shared by the image utilities: the images they accept after field selection,
// the bytes a row of each format occupies, 16.16 resampling steps and unaligned word access.
#pragma once

#include <cstdint>
#include <cstring>

#include "vendrix/vendrix.h"

namespace vendrix::imaging {

// 1.0 in the 16.16 fixed point of the resampling steps.
constexpr int32_t kFxOne = 65536;
constexpr int kFxShift = 16;

// Largest accepted width or height: size x 65536 must stay within a signed 32-bit value.
constexpr int32_t kMaxImageSide = 32767;

// Resampling step from `from` pixels to `to` pixels in 16.16: (from x 65536) / to, truncated. Both
// sizes are 1..kMaxImageSide, so the product fits and an accumulator of (to - 1) steps stays below
// from x 65536.
constexpr uint32_t FxStep(int32_t from, int32_t to) { return static_cast<uint32_t>((from * kFxOne) / to); }

// Integer part of a 16.16 position.
constexpr int32_t FxInt(uint32_t position) { return static_cast<int32_t>(position >> kFxShift); }

// One image after field selection. Rows are `pitch` bytes apart (negative: bottom-up).
struct Image {
  uint8_t* row0;
  int64_t pitch;
  int32_t width;
  int32_t height;
  uint32_t format;
  uint32_t fieldMode;
  // NV12: chroma rows that follow the luma rows at this pitch and still lie in the buffer's chroma
  // plane. A frame has (height + 1) / 2; a field reaches only the plane rows of its own parity, and when
  // the field is odd in height and the second one, one fewer than half its height rounded up.
  int32_t chromaRows;

  uint8_t* Row(int64_t y) const { return row0 + y * pitch; }
};

// Applies field selection to one descriptor and checks the sizes: when bit 2 of fieldMode is set the
// image is one field of an interlaced frame (with bit 1 the second one: row 0 moves down one pitch),
// so the height is halved and the pitch doubled. False, with *out unspecified, when the buffer is
// null, a size is outside 1..kMaxImageSide after selection, or the doubled pitch leaves 32 bits.
inline bool SelectField(uint32_t format, uint32_t fieldMode, int32_t width, int32_t height, int32_t pitch,
                        const void* buffer, Image* out) {
  if (!buffer) return false;
  int64_t p = pitch;
  int32_t h = height;
  auto* row0 = static_cast<uint8_t*>(const_cast<void*>(buffer));
  int32_t chroma = (height + 1) / 2;
  if (fieldMode & VENDRIX_FIELD_IN_FRAME) {
    const int32_t second = (fieldMode & VENDRIX_FIELD_SECOND) ? 1 : 0;
    if (second) row0 += p;
    h /= 2;
    p *= 2;
    // The field's chroma starts at frame row second + 2 * h and steps two frame rows; the plane holds
    // frame rows height .. height + chroma - 1.
    const int32_t first = second + 2 * h, last = height + chroma - 1;
    chroma = first > last ? 0 : (last - first) / 2 + 1;
  }
  if (width < 1 || width > kMaxImageSide || h < 1 || h > kMaxImageSide) return false;
  if (p > INT32_MAX || p < INT32_MIN) return false;
  *out = Image{row0, p, width, h, format, fieldMode, chroma};
  return true;
}

inline bool SelectField(const ImageDesc& desc, Image* out) {
  return SelectField(desc.format, desc.fieldMode, desc.width, desc.height, desc.pitch, desc.buffer, out);
}

// Bytes per pixel of the formats that have a fixed pixel size (0 for the others: 12, 13, 24, unknown).
constexpr int32_t BytesPerPixel(uint32_t format) {
  switch (format) {
    case VENDRIX_PIXFMT_BGRA8:
    case VENDRIX_PIXFMT_ARGB8:
    case VENDRIX_PIXFMT_VUYA8:
    case VENDRIX_PIXFMT_AYUV8:
    case VENDRIX_PIXFMT_UYVY16:
      return 4;
    case VENDRIX_PIXFMT_BGR8:
      return 3;
    case VENDRIX_PIXFMT_UYVY8:
    case VENDRIX_PIXFMT_YUYV8:
      return 2;
    case VENDRIX_PIXFMT_BGRA16:
    case VENDRIX_PIXFMT_ARGB16:
    case VENDRIX_PIXFMT_AYUV16:
    case VENDRIX_PIXFMT_VUYA16:
      return 8;
    case VENDRIX_PIXFMT_BGRA32F:
    case VENDRIX_PIXFMT_ARGB32F:
    case VENDRIX_PIXFMT_AYUV32F:
    case VENDRIX_PIXFMT_VUYA32F:
      return 16;
    default:
      return 0;
  }
}

// Bytes a well-formed source row of `width` pixels holds, which is what reading it may touch: packed
// 4:2:2 rows hold whole pixel pairs, NV12 rows room for their interleaved chroma pairs, v210 rows
// whole groups of 6 pixels (16 bytes). 0 for formats without a row layout here.
constexpr int64_t SourceRowBytes(uint32_t format, int32_t width) {
  const int64_t w = width;
  switch (format) {
    case VENDRIX_PIXFMT_UYVY8:
    case VENDRIX_PIXFMT_YUYV8:
      return 4 * ((w + 1) / 2);
    case VENDRIX_PIXFMT_NV12:
      return 2 * ((w + 1) / 2);
    case VENDRIX_PIXFMT_V210:
      return 16 * ((w + 5) / 6);
    default:
      return BytesPerPixel(format) * w;
  }
}

// Bytes a destination row of `width` pixels must hold for the conversions that write it. 4:2:2 and
// NV12 destinations are written over the width rounded down to even, v210 in whole groups.
constexpr int64_t DestRowBytes(uint32_t format, int32_t width) {
  const int64_t w = width;
  switch (format) {
    case VENDRIX_PIXFMT_NV12:
      return w;
    case VENDRIX_PIXFMT_V210:
      return 16 * ((w + 5) / 6);
    default:
      return BytesPerPixel(format) * w;
  }
}

// Row bytes of the v210 row copy: rows padded to 48 pixels (128 bytes), the format's usual row size.
constexpr int64_t V210PaddedRowBytes(int32_t width) { return 128 * ((int64_t{width} + 47) / 48); }

// The pitch rounded toward zero to a multiple of 4 bytes: how 3- and 4-byte destinations advance rows.
constexpr int64_t PitchInWords(int64_t pitch) { return pitch >= 0 ? (pitch & ~int64_t{3}) : -((-pitch) & ~int64_t{3}); }

inline int64_t Magnitude(int64_t v) { return v < 0 ? -v : v; }

// Unaligned little-endian word access (the interface records are little-endian throughout).
inline uint32_t Load32(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, 4); }
inline uint16_t Load16(const uint8_t* p) {
  uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}
inline void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, 2); }
inline float LoadF32(const uint8_t* p) {
  float v;
  std::memcpy(&v, p, 4);
  return v;
}
inline void StoreF32(uint8_t* p, float v) { std::memcpy(p, &v, 4); }

}  // namespace vendrix::imaging
