// Conversions to and from Y/Cb/Cr: the JFIF full-range BT.601 equations through 16.16 lookup tables,
// 4:2:2 packing, NV12 planes, v210 and 16-bit 4:2:2.
//
// Y  = 0.29900 R + 0.58700 G + 0.11400 B + 0.5
// Cb = -0.16874 R - 0.33126 G + 0.5 B + 128 + 0.5 - 1/65536
// Cr = 0.5 R - 0.41869 G - 0.08131 B + 128 + 0.5 - 1/65536
// Each coefficient is held as round(c x 65536); a table of 256 entries per coefficient holds it times the
// input value, the constant terms folded into the blue table of Y and Cb and the red table of Cr. A sum
// of three entries is a 16.16 value in 0 .. 256 x 65536 - 1: shifted right by 16 it is the 8-bit result,
// by 8 the 16-bit result, and divided by 65536 x 255 the float result.
#include <array>
#include <cstdint>
#include <cstring>

#include "util/image_convert.h"

namespace vendrix::util::convert {
namespace {

// ---- 16.16 tables -------------------------------------------------------------------------------------

constexpr int32_t Fixed(double c) { return static_cast<int32_t>(c * 65536.0 + (c < 0 ? -0.5 : 0.5)); }
constexpr int32_t kHalf = 1 << 15;                         // 0.5
constexpr int32_t kChromaOffset = (128 << 16) + kHalf - 1;  // 128 + 0.5 - 1/65536

using Table = std::array<int32_t, 256>;
constexpr Table MakeTable(int32_t coefficient, int32_t offset) {
  Table t{};
  for (int32_t i = 0; i < 256; ++i) t[i] = coefficient * i + offset;
  return t;
}

constexpr Table kYFromR = MakeTable(Fixed(0.29900), 0);
constexpr Table kYFromG = MakeTable(Fixed(0.58700), 0);
constexpr Table kYFromB = MakeTable(Fixed(0.11400), kHalf);
constexpr Table kCbFromR = MakeTable(Fixed(-0.16874), 0);
constexpr Table kCbFromG = MakeTable(Fixed(-0.33126), 0);
constexpr Table kHalfChroma = MakeTable(Fixed(0.5), kChromaOffset);  // blue term of Cb, red term of Cr
constexpr Table kCrFromG = MakeTable(Fixed(-0.41869), 0);
constexpr Table kCrFromB = MakeTable(Fixed(-0.08131), 0);

static_assert(Fixed(0.29900) + Fixed(0.58700) + Fixed(0.11400) == 65536, "grey keeps its luma");
static_assert(Fixed(-0.16874) + Fixed(-0.33126) + Fixed(0.5) == 0, "grey has neutral Cb");
static_assert(Fixed(0.5) + Fixed(-0.41869) + Fixed(-0.08131) == 0, "grey has neutral Cr");

// The three 16.16 sums of one colour.
struct YccSums {
  int32_t y, cb, cr;
};
inline YccSums Sums(uint32_t r, uint32_t g, uint32_t b) {
  return YccSums{kYFromR[r] + kYFromG[g] + kYFromB[b], kCbFromR[r] + kCbFromG[g] + kHalfChroma[b],
                 kHalfChroma[r] + kCrFromG[g] + kCrFromB[b]};
}
inline uint32_t To8(int32_t sum) { return static_cast<uint32_t>(sum) >> 16; }
inline uint16_t To16(int32_t sum) { return static_cast<uint16_t>(static_cast<uint32_t>(sum) >> 8); }
inline float ToFloat(int32_t sum) { return static_cast<float>(sum) / (65536.0f * 255.0f); }  // sum < 2^24: exact

// Decoding to colour (the Y/Cb/Cr sources of codes 11, 15, 20, 21 in normal mode): the inverse JFIF
// equations R = Y + 1.402 (Cr - 128), G = Y - 0.34414 (Cb - 128) - 0.71414 (Cr - 128),
// B = Y + 1.772 (Cb - 128), rounded and clamped to 0..255.
constexpr Table MakeRoundedTable(int32_t coefficient) {
  Table t{};
  for (int32_t i = 0; i < 256; ++i) t[i] = (coefficient * (i - 128) + kHalf) >> 16;
  return t;
}
constexpr Table kRFromCr = MakeRoundedTable(Fixed(1.40200));
constexpr Table kBFromCb = MakeRoundedTable(Fixed(1.77200));
constexpr Table kGFromCb = MakeTable(-Fixed(0.34414), 128 * Fixed(0.34414));         // 16.16
constexpr Table kGFromCr = MakeTable(-Fixed(0.71414), 128 * Fixed(0.71414) + kHalf);  // 16.16, rounding

inline uint32_t ClampByte(int32_t v) { return static_cast<uint32_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }
// R, G, B of one Y/Cb/Cr triple, as bytes.
struct Rgb {
  uint32_t r, g, b;
};
inline Rgb Decode(uint32_t y, uint32_t cb, uint32_t cr) {
  const int32_t luma = static_cast<int32_t>(y);
  return Rgb{ClampByte(luma + kRFromCr[cr]), ClampByte(luma + ((kGFromCb[cb] + kGFromCr[cr]) >> 16)),
             ClampByte(luma + kBFromCb[cb])};
}
// A float channel on 0..1 as a byte for decoding: scaled by 255, truncated, clamped (NaN gives 0).
inline uint32_t UnitToByte(float f) {
  const float v = f * 255.0f;
  return v >= 255.0f ? 255u : (v > 0.0f ? static_cast<uint32_t>(v) : 0u);
}

// ---- Colour to Y/Cb/Cr, one pixel ---------------------------------------------------------------------
// Codes 20 and 21 take s2 as red and s0 as blue; codes 11, 15, 22 and 23 take s0 as red and s2 as blue.

struct VuyaFromBgraOp {  // Cr, Cb, Y, s3
  static void Apply(const uint8_t* s, uint8_t* d) {
    const YccSums c = Sums(s[0], s[1], s[2]);
    Store32(d, To8(c.cr) | (To8(c.cb) << 8) | (To8(c.y) << 16) | (uint32_t{s[3]} << 24));
  }
};
struct AyuvFromBgraOp {  // s3, Y, Cb, Cr
  static void Apply(const uint8_t* s, uint8_t* d) {
    const YccSums c = Sums(s[0], s[1], s[2]);
    Store32(d, s[3] | (To8(c.y) << 8) | (To8(c.cb) << 16) | (To8(c.cr) << 24));
  }
};
struct Ayuv16FromBgraOp {  // u16: s3 x 257, Y, Cb, Cr
  static void Apply(const uint8_t* s, uint8_t* d) {
    const YccSums c = Sums(s[2], s[1], s[0]);
    Store16(d + 0, static_cast<uint16_t>(s[3] * 257u));
    Store16(d + 2, To16(c.y));
    Store16(d + 4, To16(c.cb));
    Store16(d + 6, To16(c.cr));
  }
};
struct Vuya16FromBgraOp {  // u16: Cr, Cb, Y, s3 x 257
  static void Apply(const uint8_t* s, uint8_t* d) {
    const YccSums c = Sums(s[0], s[1], s[2]);
    Store16(d + 0, To16(c.cr));
    Store16(d + 2, To16(c.cb));
    Store16(d + 4, To16(c.y));
    Store16(d + 6, static_cast<uint16_t>(s[3] * 257u));
  }
};
struct Ayuv32fFromBgraOp {  // floats: s3 / 255, Y, Cb, Cr
  static void Apply(const uint8_t* s, uint8_t* d) {
    const YccSums c = Sums(s[2], s[1], s[0]);
    StoreF32(d + 0, static_cast<float>(s[3]) / 255.0f);
    StoreF32(d + 4, ToFloat(c.y));
    StoreF32(d + 8, ToFloat(c.cb));
    StoreF32(d + 12, ToFloat(c.cr));
  }
};
struct Vuya32fFromBgraOp {  // floats: Cr, Cb, Y, s3 / 255
  static void Apply(const uint8_t* s, uint8_t* d) {
    const YccSums c = Sums(s[0], s[1], s[2]);
    StoreF32(d + 0, ToFloat(c.cr));
    StoreF32(d + 4, ToFloat(c.cb));
    StoreF32(d + 8, ToFloat(c.y));
    StoreF32(d + 12, static_cast<float>(s[3]) / 255.0f);
  }
};

// ---- Y/Cb/Cr to colour, one pixel ---------------------------------------------------------------------

struct BgraFromVuyaOp {  // Cr, Cb, Y, A -> B, G, R, A
  static void Apply(const uint8_t* s, uint8_t* d) {
    const Rgb c = Decode(s[2], s[1], s[0]);
    Store32(d, c.b | (c.g << 8) | (c.r << 16) | (uint32_t{s[3]} << 24));
  }
};
struct ArgbFromAyuvOp {  // A, Y, Cb, Cr -> A, R, G, B
  static void Apply(const uint8_t* s, uint8_t* d) {
    const Rgb c = Decode(s[1], s[2], s[3]);
    Store32(d, s[0] | (c.r << 8) | (c.g << 16) | (c.b << 24));
  }
};
struct ArgbFromAyuv16Op {  // the high bytes of A, Y, Cb, Cr -> A, R, G, B
  static void Apply(const uint8_t* s, uint8_t* d) {
    const Rgb c = Decode(s[3], s[5], s[7]);
    Store32(d, s[1] | (c.r << 8) | (c.g << 16) | (c.b << 24));
  }
};
struct ArgbFromAyuv32fOp {  // floats A, Y, Cb, Cr on 0..1 -> A, R, G, B
  static void Apply(const uint8_t* s, uint8_t* d) {
    const Rgb c = Decode(UnitToByte(LoadF32(s + 4)), UnitToByte(LoadF32(s + 8)), UnitToByte(LoadF32(s + 12)));
    Store32(d, UnitToByte(LoadF32(s)) | (c.r << 8) | (c.g << 16) | (c.b << 24));
  }
};

// ---- 4:2:2 packing ------------------------------------------------------------------------------------

// One destination pixel pair from source pixels p and q (code 1, red = byte 2): Y0 from p, Y1 from q,
// Cb and Cr from the per-byte average of p and q. kUyvy: Cb, Y0, Cr, Y1; otherwise Y0, Cb, Y1, Cr.
template <bool kUyvy>
inline void PackPair(const uint8_t* p, const uint8_t* q, uint8_t* d) {
  const uint32_t y0 = To8(kYFromR[p[2]] + kYFromG[p[1]] + kYFromB[p[0]]);
  const uint32_t y1 = To8(kYFromR[q[2]] + kYFromG[q[1]] + kYFromB[q[0]]);
  const uint32_t b = (uint32_t{p[0]} + q[0]) >> 1;
  const uint32_t g = (uint32_t{p[1]} + q[1]) >> 1;
  const uint32_t r = (uint32_t{p[2]} + q[2]) >> 1;
  const uint32_t cb = To8(kCbFromR[r] + kCbFromG[g] + kHalfChroma[b]);
  const uint32_t cr = To8(kHalfChroma[r] + kCrFromG[g] + kCrFromB[b]);
  Store32(d, kUyvy ? (cb | (y0 << 8) | (cr << 16) | (y1 << 24)) : (y0 | (cb << 8) | (y1 << 16) | (cr << 24)));
}

// count is even: pair k takes the pixels at the resampled columns of destination pixels 2k and 2k + 1.
template <bool kUyvy>
void PackRow(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) {
  const int32_t pairs = count >> 1;
  if (step == static_cast<uint32_t>(kFxOne)) {
    for (int32_t k = 0; k < pairs; ++k) PackPair<kUyvy>(src + 8 * k, src + 8 * k + 4, dst + 4 * k);
    return;
  }
  uint32_t position = 0;
  for (int32_t k = 0; k < pairs; ++k) {
    const uint8_t* p = src + FxInt(position) * 4;
    position += step;
    const uint8_t* q = src + FxInt(position) * 4;
    position += step;
    PackPair<kUyvy>(p, q, dst + 4 * k);
  }
}

struct TintYuyvPairOp {  // Y0 and Y1 kept, Cb = Cr = 128
  static void Apply(const uint8_t* s, uint8_t* d) { Store32(d, (Load32(s) & 0x00FF00FFu) | 0x80008000u); }
};

// ---- v210 ---------------------------------------------------------------------------------------------
// A group of 6 pixels is 12 ten-bit values in 4:2:2 order Cb0 Y0 Cr0 Y1 Cb1 Y2 Cr1 Y3 Cb2 Y4 Cr2 Y5,
// three per little-endian 32-bit word at bits 0, 10 and 20: 16 bytes.

constexpr int32_t kGroupPixels = 6;
constexpr int32_t kGroupValues = 12;
constexpr int32_t kGroupBytes = 16;
constexpr uint32_t kTenBits = 0x3FF;
constexpr int kU16Shift = 6;   // 10-bit value held in the top bits of a u16
constexpr int kLumaShift = 2;  // 10-bit to 8-bit luma

inline void UnpackGroup(const uint8_t* s, uint32_t v[kGroupValues]) {
  for (int w = 0; w < 4; ++w) {
    const uint32_t word = Load32(s + 4 * w);
    v[3 * w] = word & kTenBits;
    v[3 * w + 1] = (word >> 10) & kTenBits;
    v[3 * w + 2] = (word >> 20) & kTenBits;
  }
}

inline int32_t PixelsInGroup(int32_t count, int32_t group) {
  const int32_t left = count - group * kGroupPixels;
  return left < kGroupPixels ? left : kGroupPixels;
}

}  // namespace

void UyvyFromBgra(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) { PackRow<true>(s, d, n, step); }
void YuyvFromBgra(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) { PackRow<false>(s, d, n, step); }
void TintYuyvPairs(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) { PixelRow<4, 4, TintYuyvPairOp>(s, d, n, step); }

void VuyaFromBgra(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) { PixelRow<4, 4, VuyaFromBgraOp>(s, d, n, step); }
void AyuvFromBgra(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) { PixelRow<4, 4, AyuvFromBgraOp>(s, d, n, step); }
void Ayuv16FromBgra(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) {
  PixelRow<4, 8, Ayuv16FromBgraOp>(s, d, n, step);
}
void Ayuv32fFromBgra(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) {
  PixelRow<4, 16, Ayuv32fFromBgraOp>(s, d, n, step);
}
void Vuya16FromBgra(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) {
  PixelRow<4, 8, Vuya16FromBgraOp>(s, d, n, step);
}
void Vuya32fFromBgra(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) {
  PixelRow<4, 16, Vuya32fFromBgraOp>(s, d, n, step);
}

void BgraFromVuya(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) { PixelRow<4, 4, BgraFromVuyaOp>(s, d, n, step); }
void ArgbFromAyuv(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) { PixelRow<4, 4, ArgbFromAyuvOp>(s, d, n, step); }
void ArgbFromAyuv16(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) {
  PixelRow<8, 4, ArgbFromAyuv16Op>(s, d, n, step);
}
void ArgbFromAyuv32f(const uint8_t* s, uint8_t* d, int32_t n, uint32_t step) {
  PixelRow<16, 4, ArgbFromAyuv32fOp>(s, d, n, step);
}

// The group conversions read whole source groups (v210 rows hold them) but write only the `count`
// pixels of the destination row, so a row of exactly `count` pixels is enough for the 8-bit and 16-bit
// destinations; v210 destinations are written in whole groups.

void LumaFromV210(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t) {
  const int32_t groups = (count + kGroupPixels - 1) / kGroupPixels;
  for (int32_t g = 0; g < groups; ++g) {
    uint32_t v[kGroupValues];
    UnpackGroup(src + g * kGroupBytes, v);
    uint8_t* d = dst + g * kGroupPixels;
    const int32_t pixels = PixelsInGroup(count, g);
    for (int32_t i = 0; i < pixels; ++i) d[i] = static_cast<uint8_t>(v[2 * i + 1] >> kLumaShift);
  }
}

void CopyV210Row(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t) {
  std::memmove(dst, src, static_cast<size_t>(V210PaddedRowBytes(count)));
}

void V210FromUyvy16(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t) {
  const int32_t groups = (count + kGroupPixels - 1) / kGroupPixels;
  for (int32_t g = 0; g < groups; ++g) {
    // Two u16 values per pixel; the values of pixels beyond the row are 0.
    const int32_t values = 2 * PixelsInGroup(count, g);
    const uint8_t* s = src + g * kGroupPixels * 4;
    uint32_t v[kGroupValues] = {};
    for (int32_t i = 0; i < values; ++i) v[i] = static_cast<uint32_t>(Load16(s + 2 * i)) >> kU16Shift;
    uint8_t* d = dst + g * kGroupBytes;
    for (int w = 0; w < 4; ++w) Store32(d + 4 * w, v[3 * w] | (v[3 * w + 1] << 10) | (v[3 * w + 2] << 20));
  }
}

void Uyvy16FromV210(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t) {
  const int32_t groups = (count + kGroupPixels - 1) / kGroupPixels;
  for (int32_t g = 0; g < groups; ++g) {
    uint32_t v[kGroupValues];
    UnpackGroup(src + g * kGroupBytes, v);
    uint8_t* d = dst + g * kGroupPixels * 4;
    const int32_t values = 2 * PixelsInGroup(count, g);
    for (int32_t i = 0; i < values; ++i) Store16(d + 2 * i, static_cast<uint16_t>(v[i] << kU16Shift));
  }
}

}  // namespace vendrix::util::convert
