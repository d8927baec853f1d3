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

#include "imaging/convert_rows.h"
#include "imaging/row_walk.h"
#include "platform/cpu.h"

namespace vendrix::imaging::convert {
namespace {

// ---- 16.16 tables -------------------------------------------------------------------------------------

constexpr int32_t Fixed(double c) { return static_cast<int32_t>(c * 65536.0 + (c < 0 ? -0.5 : 0.5)); }
// Integer part (floor) of a signed 16.16 value.
constexpr int32_t FxFloor(int32_t v) { return v >> kFxShift; }
constexpr int32_t kHalf = 1 << 15;                          // 0.5
constexpr int32_t kChromaOffset = (128 << 16) + kHalf - 1;  // 128 + 0.5 - 1/65536

using Table = std::array<int32_t, 256>;
constexpr Table MakeTable(int32_t coefficient, int32_t offset) {
  Table t{};
  for (int32_t i = 0; i < 256; ++i) t[i] = coefficient * i + offset;
  return t;
}

constexpr int32_t kCoefYR = Fixed(0.29900), kCoefYG = Fixed(0.58700), kCoefYB = Fixed(0.11400);
constexpr int32_t kCoefCbR = Fixed(-0.16874), kCoefCbG = Fixed(-0.33126), kCoefHalf = Fixed(0.5);
constexpr int32_t kCoefCrG = Fixed(-0.41869), kCoefCrB = Fixed(-0.08131);
static_assert(kCoefYR + kCoefYG + kCoefYB == 65536, "grey keeps its luma");
static_assert(kCoefCbR + kCoefCbG + kCoefHalf == 0, "grey has neutral Cb");
static_assert(kCoefHalf + kCoefCrG + kCoefCrB == 0, "grey has neutral Cr");

constexpr Table kYFromR = MakeTable(kCoefYR, 0);
constexpr Table kYFromG = MakeTable(kCoefYG, 0);
constexpr Table kYFromB = MakeTable(kCoefYB, kHalf);
constexpr Table kCbFromR = MakeTable(kCoefCbR, 0);
constexpr Table kCbFromG = MakeTable(kCoefCbG, 0);
constexpr Table kHalfChroma = MakeTable(kCoefHalf, kChromaOffset);  // blue term of Cb, red term of Cr
constexpr Table kCrFromG = MakeTable(kCoefCrG, 0);
constexpr Table kCrFromB = MakeTable(kCoefCrB, 0);

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

// Decoding to colour (the Y/Cb/Cr sources VUYA8, AYUV8, AYUV16, AYUV32F in normal mode): the inverse JFIF
// equations R = Y + 1.402 (Cr - 128), G = Y - 0.34414 (Cb - 128) - 0.71414 (Cr - 128),
// B = Y + 1.772 (Cb - 128), rounded and clamped to 0..255.
constexpr Table MakeRoundedTable(int32_t coefficient) {
  Table t{};
  for (int32_t i = 0; i < 256; ++i) t[i] = FxFloor(coefficient * (i - 128) + kHalf);
  return t;
}
constexpr Table kRFromCr = MakeRoundedTable(Fixed(1.40200));
constexpr Table kBFromCb = MakeRoundedTable(Fixed(1.77200));
constexpr Table kGFromCb = MakeTable(-Fixed(0.34414), 128 * Fixed(0.34414));          // 16.16
constexpr Table kGFromCr = MakeTable(-Fixed(0.71414), 128 * Fixed(0.71414) + kHalf);  // 16.16, rounding

inline uint32_t ClampByte(int32_t v) { return static_cast<uint32_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }
// R, G, B of one Y/Cb/Cr triple, as bytes.
struct Rgb {
  uint32_t r, g, b;
};
inline Rgb Decode(uint32_t y, uint32_t cb, uint32_t cr) {
  const int32_t luma = static_cast<int32_t>(y);
  return Rgb{ClampByte(luma + kRFromCr[cr]), ClampByte(luma + FxFloor(kGFromCb[cb] + kGFromCr[cr])),
             ClampByte(luma + kBFromCb[cb])};
}
// A float channel on 0..1 as a byte for decoding: scaled by 255, truncated, clamped (NaN gives 0).
inline uint32_t UnitToByte(float f) {
  const float v = f * 255.0f;
  return v >= 255.0f ? 255u : (v > 0.0f ? static_cast<uint32_t>(v) : 0u);
}

// ---- Colour to Y/Cb/Cr, one pixel ---------------------------------------------------------------------
// AYUV16 and AYUV32F take s2 as red and s0 as blue; VUYA8, AYUV8, VUYA16 and VUYA32F take s0 as red and
// s2 as blue.

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

// ---- Vector paths (equal sizes) -----------------------------------------------------------------------
// Every table is affine in its index, so a sum of three entries equals the same sum of products. Each
// equation's coefficients add up to 65536 (Y) or 0 (Cb, Cr), so it can be written over channel
// differences, which fit 16 bits and let one _mm_madd_epi16 form two products at once:
//   Y  sum = 65536 G + cYR (R - G) + cYB (B - G) + 0.5
//   Cb sum = cCbR (R - B) + cCbG (G - B) + 128.5 - 1/65536
//   Cr sum = cCrG (G - R) + cCrB (B - R) + 128.5 - 1/65536
// giving exactly the table sums, four pixels per vector in 32-bit lanes.

#if VENDRIX_X86_KERNELS
namespace vec {
using wide::Channel;
using wide::Load;
using wide::Store;

constexpr bool FitsInt16(int32_t v) { return v >= -32768 && v <= 32767; }
static_assert(FitsInt16(kCoefYR) && FitsInt16(kCoefYB) && FitsInt16(kCoefCbR) && FitsInt16(kCoefCbG) &&
                  FitsInt16(kCoefCrG) && FitsInt16(kCoefCrB),
              "the difference coefficients are 16-bit multipliers");

// A 32-bit lane holding two signed 16-bit multipliers for _mm_madd_epi16 (low one first).
constexpr int32_t CoefPair(int32_t low, int32_t high) {
  return static_cast<int32_t>((static_cast<uint32_t>(low) & 0xFFFFu) | (static_cast<uint32_t>(high) << 16));
}
// Two small signed values (each within 16 bits) as the 16-bit halves of every 32-bit lane.
inline __m128i PairLanes(__m128i low, __m128i high) {
  return _mm_or_si128(_mm_and_si128(low, _mm_set1_epi32(0xFFFF)), _mm_slli_epi32(high, 16));
}

// 16.16 sums of four pixels whose red is byte kRed (0 or 2) and blue the other of bytes 0 and 2.
template <int kRed>
inline __m128i LumaSums(__m128i px) {
  const __m128i r = Channel<kRed>(px), g = Channel<1>(px), b = Channel<2 - kRed>(px);
  const __m128i diff =
      _mm_madd_epi16(PairLanes(_mm_sub_epi32(r, g), _mm_sub_epi32(b, g)), _mm_set1_epi32(CoefPair(kCoefYR, kCoefYB)));
  return _mm_add_epi32(_mm_add_epi32(_mm_slli_epi32(g, 16), _mm_set1_epi32(kHalf)), diff);
}
struct ChromaSums {
  __m128i cb, cr;
};
template <int kRed>
inline ChromaSums ChromaSumsOf(__m128i px) {
  const __m128i r = Channel<kRed>(px), g = Channel<1>(px), b = Channel<2 - kRed>(px);
  const __m128i offset = _mm_set1_epi32(kChromaOffset);
  return ChromaSums{_mm_add_epi32(offset, _mm_madd_epi16(PairLanes(_mm_sub_epi32(r, b), _mm_sub_epi32(g, b)),
                                                         _mm_set1_epi32(CoefPair(kCoefCbR, kCoefCbG)))),
                    _mm_add_epi32(offset, _mm_madd_epi16(PairLanes(_mm_sub_epi32(g, r), _mm_sub_epi32(b, r)),
                                                         _mm_set1_epi32(CoefPair(kCoefCrG, kCoefCrB))))};
}

// The 8-bit result of a 16.16 sum (0 .. 2^24 - 1) placed at byte kByte of its lane.
template <int kByte>
inline __m128i Place8(__m128i sum) {
  if constexpr (kByte == 0) return _mm_srli_epi32(sum, 16);
  if constexpr (kByte == 1) return _mm_and_si128(_mm_srli_epi32(sum, 8), _mm_set1_epi32(0xFF00));
  if constexpr (kByte == 2) return _mm_and_si128(sum, _mm_set1_epi32(0xFF0000));
  return _mm_slli_epi32(_mm_srli_epi32(sum, 16), 24);
}
// The 16-bit result of a 16.16 sum in the low or high half of its lane.
inline __m128i Low16(__m128i sum) { return _mm_srli_epi32(sum, 8); }
inline __m128i High16(__m128i sum) { return _mm_slli_epi32(_mm_srli_epi32(sum, 8), 16); }
// Alpha (byte 3) widened to 16 bits by x 257.
inline __m128i Alpha16(__m128i px) {
  const __m128i a = Channel<3>(px);
  return _mm_or_si128(a, _mm_slli_epi32(a, 8));
}
inline __m128 UnitFloats(__m128i sum) { return _mm_div_ps(_mm_cvtepi32_ps(sum), _mm_set1_ps(65536.0f * 255.0f)); }

// Stores four pixels of two 32-bit halves each (u16 channel pairs): pixel i = (low_i, high_i).
inline void StoreHalves(uint8_t* d, __m128i low, __m128i high) {
  Store(d, _mm_unpacklo_epi32(low, high));
  Store(d + 16, _mm_unpackhi_epi32(low, high));
}
// Stores four pixels of four float channels given channel by channel.
inline void StoreFloatPixels(uint8_t* d, __m128 c0, __m128 c1, __m128 c2, __m128 c3) {
  _MM_TRANSPOSE4_PS(c0, c1, c2, c3);
  _mm_storeu_ps(reinterpret_cast<float*>(d), c0);
  _mm_storeu_ps(reinterpret_cast<float*>(d + 16), c1);
  _mm_storeu_ps(reinterpret_cast<float*>(d + 32), c2);
  _mm_storeu_ps(reinterpret_cast<float*>(d + 48), c3);
}

int32_t VuyaFromBgra(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = Load(s + 16 * i);
    const ChromaSums c = ChromaSumsOf<0>(px);
    const __m128i alpha = _mm_and_si128(px, _mm_set1_epi32(static_cast<int32_t>(0xFF000000u)));
    Store(d + 16 * i, _mm_or_si128(_mm_or_si128(Place8<0>(c.cr), Place8<1>(c.cb)),
                                   _mm_or_si128(Place8<2>(LumaSums<0>(px)), alpha)));
  }
  return blocks * 4;
}

int32_t AyuvFromBgra(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = Load(s + 16 * i);
    const ChromaSums c = ChromaSumsOf<0>(px);
    Store(d + 16 * i, _mm_or_si128(_mm_or_si128(Channel<3>(px), Place8<1>(LumaSums<0>(px))),
                                   _mm_or_si128(Place8<2>(c.cb), Place8<3>(c.cr))));
  }
  return blocks * 4;
}

int32_t Ayuv16FromBgra(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = Load(s + 16 * i);
    const ChromaSums c = ChromaSumsOf<2>(px);
    StoreHalves(d + 32 * i, _mm_or_si128(Alpha16(px), High16(LumaSums<2>(px))),
                _mm_or_si128(Low16(c.cb), High16(c.cr)));
  }
  return blocks * 4;
}

int32_t Vuya16FromBgra(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = Load(s + 16 * i);
    const ChromaSums c = ChromaSumsOf<0>(px);
    StoreHalves(d + 32 * i, _mm_or_si128(Low16(c.cr), High16(c.cb)),
                _mm_or_si128(Low16(LumaSums<0>(px)), _mm_slli_epi32(Alpha16(px), 16)));
  }
  return blocks * 4;
}

inline __m128 AlphaFloats(__m128i px) { return _mm_div_ps(_mm_cvtepi32_ps(Channel<3>(px)), _mm_set1_ps(255.0f)); }

int32_t Ayuv32fFromBgra(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = Load(s + 16 * i);
    const ChromaSums c = ChromaSumsOf<2>(px);
    StoreFloatPixels(d + 64 * i, AlphaFloats(px), UnitFloats(LumaSums<2>(px)), UnitFloats(c.cb), UnitFloats(c.cr));
  }
  return blocks * 4;
}

int32_t Vuya32fFromBgra(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = Load(s + 16 * i);
    const ChromaSums c = ChromaSumsOf<0>(px);
    StoreFloatPixels(d + 64 * i, UnitFloats(c.cr), UnitFloats(c.cb), UnitFloats(LumaSums<0>(px)), AlphaFloats(px));
  }
  return blocks * 4;
}

// Decoding four Y/Cb/Cr pixels, with d = Cb - 128 or Cr - 128 (|d| <= 128) and each coefficient
// split into a multiple of 65536 and a 16-bit rest, which keeps the table arithmetic exact:
//   R = Y + dr + ((rR dr + 0.5) >> 16),  rR = round(1.402 x 65536) - 65536
//   B = Y + 2 db + ((rB db + 0.5) >> 16), rB = round(1.772 x 65536) - 131072
//   G = Y - dr + ((gB db + gR dr + 0.5) >> 16), gB = -round(0.34414 x 65536), gR = 65536 - round(0.71414 x 65536)
// then clamped to 0..255 (the results stay within 16 bits, so 16-bit min/max clamp the 32-bit lanes).
constexpr int32_t kRestCrToR = Fixed(1.40200) - 65536;
constexpr int32_t kRestCbToB = Fixed(1.77200) - 131072;
constexpr int32_t kRestCbToG = -Fixed(0.34414);
constexpr int32_t kRestCrToG = 65536 - Fixed(0.71414);
static_assert(FitsInt16(kRestCrToR) && FitsInt16(kRestCbToB) && FitsInt16(kRestCbToG) && FitsInt16(kRestCrToG),
              "the decoding rests are 16-bit multipliers");

struct RgbLanes {
  __m128i r, g, b;
};
template <int kY, int kCb, int kCr>
inline RgbLanes DecodeLanes(__m128i px) {
  const __m128i centre = _mm_set1_epi32(128), half = _mm_set1_epi32(kHalf);
  const __m128i y = Channel<kY>(px);
  const __m128i db = _mm_sub_epi32(Channel<kCb>(px), centre), dr = _mm_sub_epi32(Channel<kCr>(px), centre);
  const auto rest = [&](__m128i pair, int32_t coefficients) {
    return _mm_srai_epi32(_mm_add_epi32(_mm_madd_epi16(pair, _mm_set1_epi32(coefficients)), half), 16);
  };
  const __m128i zero = _mm_setzero_si128(), top = _mm_set1_epi32(255);
  const auto clamp = [&](__m128i v) { return _mm_min_epi16(_mm_max_epi16(v, zero), top); };
  const __m128i dbdr = PairLanes(db, dr);
  return RgbLanes{clamp(_mm_add_epi32(_mm_add_epi32(y, dr), rest(dbdr, CoefPair(0, kRestCrToR)))),
                  clamp(_mm_add_epi32(_mm_sub_epi32(y, dr), rest(dbdr, CoefPair(kRestCbToG, kRestCrToG)))),
                  clamp(_mm_add_epi32(_mm_add_epi32(y, _mm_add_epi32(db, db)), rest(dbdr, CoefPair(kRestCbToB, 0))))};
}

int32_t BgraFromVuya(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = Load(s + 16 * i);
    const RgbLanes c = DecodeLanes<2, 1, 0>(px);
    const __m128i alpha = _mm_and_si128(px, _mm_set1_epi32(static_cast<int32_t>(0xFF000000u)));
    Store(d + 16 * i,
          _mm_or_si128(_mm_or_si128(c.b, _mm_slli_epi32(c.g, 8)), _mm_or_si128(_mm_slli_epi32(c.r, 16), alpha)));
  }
  return blocks * 4;
}

int32_t ArgbFromAyuv(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = Load(s + 16 * i);
    const RgbLanes c = DecodeLanes<1, 2, 3>(px);
    Store(d + 16 * i, _mm_or_si128(_mm_or_si128(Channel<0>(px), _mm_slli_epi32(c.r, 8)),
                                   _mm_or_si128(_mm_slli_epi32(c.g, 16), _mm_slli_epi32(c.b, 24))));
  }
  return blocks * 4;
}

// 4:2:2 packing of eight pixels (four pairs) per step; returns the pixels done.
template <bool kUyvy>
int32_t PackPairs(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 8;
  const __m128i low7 = _mm_set1_epi32(0x7F7F7F7F);
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i v0 = Load(s + 32 * i), v1 = Load(s + 32 * i + 16);
    const __m128 f0 = _mm_castsi128_ps(v0), f1 = _mm_castsi128_ps(v1);
    const __m128i even = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i odd = _mm_castps_si128(_mm_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
    // Per-byte (p + q) >> 1 without carries between bytes.
    const __m128i mean =
        _mm_add_epi8(_mm_and_si128(even, odd), _mm_and_si128(_mm_srli_epi32(_mm_xor_si128(even, odd), 1), low7));
    const ChromaSums c = ChromaSumsOf<2>(mean);
    const __m128 y0 = _mm_castsi128_ps(LumaSums<2>(v0)), y1 = _mm_castsi128_ps(LumaSums<2>(v1));
    const __m128i ye = _mm_castps_si128(_mm_shuffle_ps(y0, y1, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m128i yo = _mm_castps_si128(_mm_shuffle_ps(y0, y1, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m128i out =
        kUyvy
            ? _mm_or_si128(_mm_or_si128(Place8<0>(c.cb), Place8<1>(ye)), _mm_or_si128(Place8<2>(c.cr), Place8<3>(yo)))
            : _mm_or_si128(_mm_or_si128(Place8<0>(ye), Place8<1>(c.cb)), _mm_or_si128(Place8<2>(yo), Place8<3>(c.cr)));
    Store(d + 16 * i, out);
  }
  return blocks * 8;
}

}  // namespace vec

// ---- AVX2: the same per 32-bit lane, eight pixels per vector. ------------------------------------------
namespace vec256 {
using vec::CoefPair;

VENDRIX_TARGET_AVX2 inline __m256i Load(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
VENDRIX_TARGET_AVX2 inline void Store(uint8_t* p, __m256i v) { _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v); }
template <int kByte>
VENDRIX_TARGET_AVX2 inline __m256i Channel(__m256i px) {
  const __m256i shifted = kByte == 0 ? px : _mm256_srli_epi32(px, 8 * kByte);
  return kByte == 3 ? shifted : _mm256_and_si256(shifted, _mm256_set1_epi32(0xFF));
}
VENDRIX_TARGET_AVX2 inline __m256i PairLanes(__m256i low, __m256i high) {
  return _mm256_or_si256(_mm256_and_si256(low, _mm256_set1_epi32(0xFFFF)), _mm256_slli_epi32(high, 16));
}
// pair x coefficients + constant, two 16-bit products per lane.
VENDRIX_TARGET_AVX2 inline __m256i Madd(__m256i pair, int32_t coefficients, int32_t constant) {
  return _mm256_add_epi32(_mm256_madd_epi16(pair, _mm256_set1_epi32(coefficients)), _mm256_set1_epi32(constant));
}
template <int kRed>
VENDRIX_TARGET_AVX2 inline __m256i LumaSums(__m256i px) {
  const __m256i r = Channel<kRed>(px), g = Channel<1>(px), b = Channel<2 - kRed>(px);
  const __m256i diff = _mm256_madd_epi16(PairLanes(_mm256_sub_epi32(r, g), _mm256_sub_epi32(b, g)),
                                         _mm256_set1_epi32(CoefPair(kCoefYR, kCoefYB)));
  return _mm256_add_epi32(_mm256_add_epi32(_mm256_slli_epi32(g, 16), _mm256_set1_epi32(kHalf)), diff);
}
template <int kRed>
VENDRIX_TARGET_AVX2 inline __m256i CbSums(__m256i px) {
  const __m256i r = Channel<kRed>(px), g = Channel<1>(px), b = Channel<2 - kRed>(px);
  return Madd(PairLanes(_mm256_sub_epi32(r, b), _mm256_sub_epi32(g, b)), CoefPair(kCoefCbR, kCoefCbG), kChromaOffset);
}
template <int kRed>
VENDRIX_TARGET_AVX2 inline __m256i CrSums(__m256i px) {
  const __m256i r = Channel<kRed>(px), g = Channel<1>(px), b = Channel<2 - kRed>(px);
  return Madd(PairLanes(_mm256_sub_epi32(g, r), _mm256_sub_epi32(b, r)), CoefPair(kCoefCrG, kCoefCrB), kChromaOffset);
}
template <int kByte>
VENDRIX_TARGET_AVX2 inline __m256i Place8(__m256i sum) {
  if constexpr (kByte == 0) return _mm256_srli_epi32(sum, 16);
  if constexpr (kByte == 1) return _mm256_and_si256(_mm256_srli_epi32(sum, 8), _mm256_set1_epi32(0xFF00));
  if constexpr (kByte == 2) return _mm256_and_si256(sum, _mm256_set1_epi32(0xFF0000));
  return _mm256_slli_epi32(_mm256_srli_epi32(sum, 16), 24);
}
VENDRIX_TARGET_AVX2 inline __m256i Or4(__m256i a, __m256i b, __m256i c, __m256i d) {
  return _mm256_or_si256(_mm256_or_si256(a, b), _mm256_or_si256(c, d));
}

VENDRIX_TARGET_AVX2 int32_t VuyaFromBgra(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 8;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m256i px = Load(s + 32 * i);
    const __m256i alpha = _mm256_and_si256(px, _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u)));
    Store(d + 32 * i, Or4(Place8<0>(CrSums<0>(px)), Place8<1>(CbSums<0>(px)), Place8<2>(LumaSums<0>(px)), alpha));
  }
  return blocks * 8;
}

VENDRIX_TARGET_AVX2 int32_t AyuvFromBgra(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 8;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m256i px = Load(s + 32 * i);
    Store(d + 32 * i, Or4(Channel<3>(px), Place8<1>(LumaSums<0>(px)), Place8<2>(CbSums<0>(px)),
                          Place8<3>(CrSums<0>(px))));
  }
  return blocks * 8;
}

// One decoded colour channel: y + linear + ((pair x coefficients + 0.5) >> 16), clamped to 0..255.
VENDRIX_TARGET_AVX2 inline __m256i DecodedChannel(__m256i y_plus, __m256i pair, int32_t coefficients) {
  const __m256i rest = _mm256_srai_epi32(Madd(pair, coefficients, kHalf), 16);
  const __m256i v = _mm256_add_epi32(y_plus, rest);
  return _mm256_min_epi16(_mm256_max_epi16(v, _mm256_setzero_si256()), _mm256_set1_epi32(255));
}
struct RgbLanes {
  __m256i r, g, b;
};
template <int kY, int kCb, int kCr>
VENDRIX_TARGET_AVX2 inline RgbLanes DecodeLanes(__m256i px) {
  const __m256i centre = _mm256_set1_epi32(128), y = Channel<kY>(px);
  const __m256i db = _mm256_sub_epi32(Channel<kCb>(px), centre), dr = _mm256_sub_epi32(Channel<kCr>(px), centre);
  const __m256i dbdr = PairLanes(db, dr);
  return RgbLanes{DecodedChannel(_mm256_add_epi32(y, dr), dbdr, CoefPair(0, vec::kRestCrToR)),
                  DecodedChannel(_mm256_sub_epi32(y, dr), dbdr, CoefPair(vec::kRestCbToG, vec::kRestCrToG)),
                  DecodedChannel(_mm256_add_epi32(y, _mm256_add_epi32(db, db)), dbdr, CoefPair(vec::kRestCbToB, 0))};
}

VENDRIX_TARGET_AVX2 int32_t BgraFromVuya(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 8;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m256i px = Load(s + 32 * i);
    const RgbLanes c = DecodeLanes<2, 1, 0>(px);
    const __m256i alpha = _mm256_and_si256(px, _mm256_set1_epi32(static_cast<int32_t>(0xFF000000u)));
    Store(d + 32 * i, Or4(c.b, _mm256_slli_epi32(c.g, 8), _mm256_slli_epi32(c.r, 16), alpha));
  }
  return blocks * 8;
}

VENDRIX_TARGET_AVX2 int32_t ArgbFromAyuv(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 8;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m256i px = Load(s + 32 * i);
    const RgbLanes c = DecodeLanes<1, 2, 3>(px);
    Store(d + 32 * i, Or4(Channel<0>(px), _mm256_slli_epi32(c.r, 8), _mm256_slli_epi32(c.g, 16),
                          _mm256_slli_epi32(c.b, 24)));
  }
  return blocks * 8;
}

// 4:2:2 packing of sixteen pixels (eight pairs) per step. The float shuffles pick the even and odd
// pixels within each 128-bit half, so the pairs come out as 0 1 4 5 | 2 3 6 7 and a final 64-bit
// permute puts them in order.
template <bool kUyvy>
VENDRIX_TARGET_AVX2 int32_t PackPairs(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 16;
  const __m256i low7 = _mm256_set1_epi32(0x7F7F7F7F);
  for (int32_t i = 0; i < blocks; ++i) {
    const __m256i v0 = Load(s + 64 * i), v1 = Load(s + 64 * i + 32);
    const __m256 f0 = _mm256_castsi256_ps(v0), f1 = _mm256_castsi256_ps(v1);
    const __m256i even = _mm256_castps_si256(_mm256_shuffle_ps(f0, f1, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256i odd = _mm256_castps_si256(_mm256_shuffle_ps(f0, f1, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m256i mean = _mm256_add_epi8(_mm256_and_si256(even, odd),
                                         _mm256_and_si256(_mm256_srli_epi32(_mm256_xor_si256(even, odd), 1), low7));
    const __m256 y0 = _mm256_castsi256_ps(LumaSums<2>(v0)), y1 = _mm256_castsi256_ps(LumaSums<2>(v1));
    const __m256i ye = _mm256_castps_si256(_mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(2, 0, 2, 0)));
    const __m256i yo = _mm256_castps_si256(_mm256_shuffle_ps(y0, y1, _MM_SHUFFLE(3, 1, 3, 1)));
    const __m256i cb = CbSums<2>(mean), cr = CrSums<2>(mean);
    const __m256i out = kUyvy ? Or4(Place8<0>(cb), Place8<1>(ye), Place8<2>(cr), Place8<3>(yo))
                              : Or4(Place8<0>(ye), Place8<1>(cb), Place8<2>(yo), Place8<3>(cr));
    Store(d + 32 * i, _mm256_permute4x64_epi64(out, 0xD8));
  }
  return blocks * 16;
}

}  // namespace vec256
#endif

// ---- 4:2:2 packing ------------------------------------------------------------------------------------

// One destination pixel pair from source pixels p and q (BGRA8, red = byte 2): Y0 from p, Y1 from q,
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

#if VENDRIX_X86_KERNELS
// PackRow with a vector path over the leading pairs of equal-size rows.
template <bool kUyvy, int32_t (*kBlocks)(const uint8_t*, uint8_t*, int32_t)>
void PackRowBlocks(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t step) {
  if (step == static_cast<uint32_t>(kFxOne)) {
    const int32_t done = kBlocks(src, dst, count);
    src += 4 * done;
    dst += 2 * done;
    count -= done;
  }
  PackRow<kUyvy>(src, dst, count, step);
}
#endif

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

// The group conversions read whole source groups (v210 rows hold them) but write only the `count`
// pixels of the destination row, so a row of exactly `count` pixels is enough for the 8-bit and 16-bit
// destinations; v210 destinations are written in whole groups. Whole groups take a straight path, the
// last partial group the general one.

void LumaFromV210(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t) {
  const int32_t full = count / kGroupPixels;
  for (int32_t g = 0; g < full; ++g) {
    const uint8_t* s = src + g * kGroupBytes;
    const uint32_t w0 = Load32(s), w1 = Load32(s + 4), w2 = Load32(s + 8), w3 = Load32(s + 12);
    // Y0 at bits 10, Y1 at 0, Y2 at 20, Y3 at 10, Y4 at 0, Y5 at 20 of words 0..3; each to 8 bits.
    const uint32_t y0 = (w0 >> (10 + kLumaShift)) & 0xFF, y1 = (w1 >> kLumaShift) & 0xFF;
    const uint32_t y2 = (w1 >> (20 + kLumaShift)) & 0xFF, y3 = (w2 >> (10 + kLumaShift)) & 0xFF;
    const uint32_t y4 = (w3 >> kLumaShift) & 0xFF, y5 = (w3 >> (20 + kLumaShift)) & 0xFF;
    uint8_t* d = dst + g * kGroupPixels;
    Store32(d, y0 | (y1 << 8) | (y2 << 16) | (y3 << 24));
    Store16(d + 4, static_cast<uint16_t>(y4 | (y5 << 8)));
  }
  const int32_t rest = count - full * kGroupPixels;
  if (rest > 0) {
    uint32_t v[kGroupValues];
    UnpackGroup(src + full * kGroupBytes, v);
    uint8_t* d = dst + full * kGroupPixels;
    for (int32_t i = 0; i < rest; ++i) d[i] = static_cast<uint8_t>(v[2 * i + 1] >> kLumaShift);
  }
}

void V210FromUyvy16(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t) {
  const int32_t full = count / kGroupPixels;
  const auto low = [](uint32_t two) { return (two & 0xFFFFu) >> kU16Shift; };
  const auto high = [](uint32_t two) { return two >> (16 + kU16Shift); };
  const auto pack = [](uint32_t a, uint32_t b, uint32_t c) { return a | (b << 10) | (c << 20); };
  for (int32_t g = 0; g < full; ++g) {
    const uint8_t* s = src + g * kGroupPixels * 4;
    // Six 32-bit loads hold the twelve u16 values two by two.
    const uint32_t t0 = Load32(s), t1 = Load32(s + 4), t2 = Load32(s + 8);
    const uint32_t t3 = Load32(s + 12), t4 = Load32(s + 16), t5 = Load32(s + 20);
    uint8_t* d = dst + g * kGroupBytes;
    Store32(d, pack(low(t0), high(t0), low(t1)));
    Store32(d + 4, pack(high(t1), low(t2), high(t2)));
    Store32(d + 8, pack(low(t3), high(t3), low(t4)));
    Store32(d + 12, pack(high(t4), low(t5), high(t5)));
  }
  if (full * kGroupPixels < count) {
    uint32_t v[kGroupValues] = {};  // the values of pixels beyond the row are 0
    const uint8_t* s = src + full * kGroupPixels * 4;
    const int32_t values = 2 * (count - full * kGroupPixels);
    for (int32_t i = 0; i < values; ++i) v[i] = static_cast<uint32_t>(Load16(s + 2 * i)) >> kU16Shift;
    uint8_t* d = dst + full * kGroupBytes;
    for (int w = 0; w < 4; ++w) Store32(d + 4 * w, pack(v[3 * w], v[3 * w + 1], v[3 * w + 2]));
  }
}

void Uyvy16FromV210(const uint8_t* src, uint8_t* dst, int32_t count, uint32_t) {
  const int32_t full = count / kGroupPixels;
  for (int32_t g = 0; g < full; ++g) {
    const uint8_t* s = src + g * kGroupBytes;
    uint8_t* d = dst + g * kGroupPixels * 4;
    // Twelve values, two u16 per 32-bit store: (v0, v1) (v2, v3) ... each shifted into the top 10 bits.
    const uint32_t w0 = Load32(s), w1 = Load32(s + 4), w2 = Load32(s + 8), w3 = Load32(s + 12);
    const auto two = [](uint32_t low, uint32_t high) {
      return ((low & kTenBits) << kU16Shift) | ((high & kTenBits) << (16 + kU16Shift));
    };
    Store32(d, two(w0, w0 >> 10));
    Store32(d + 4, two(w0 >> 20, w1));
    Store32(d + 8, two(w1 >> 10, w1 >> 20));
    Store32(d + 12, two(w2, w2 >> 10));
    Store32(d + 16, two(w2 >> 20, w3));
    Store32(d + 20, two(w3 >> 10, w3 >> 20));
  }
  if (full * kGroupPixels < count) {
    uint32_t v[kGroupValues];
    UnpackGroup(src + full * kGroupBytes, v);
    uint8_t* d = dst + full * kGroupPixels * 4;
    const int32_t values = 2 * (count - full * kGroupPixels);
    for (int32_t i = 0; i < values; ++i) Store16(d + 2 * i, static_cast<uint16_t>(v[i] << kU16Shift));
  }
}

}  // namespace

void FillYuvRows(uint32_t flags, ConvertRowTable* table) {
  RowKernel* rows = table->rows;
  rows[kUyvyFromBgra] = PackRow<true>;
  rows[kYuyvFromBgra] = PackRow<false>;
  rows[kTintYuyvPairs] = PixelRow<4, 4, TintYuyvPairOp>;
  rows[kVuyaFromBgra] = PixelRow<4, 4, VuyaFromBgraOp>;
  rows[kAyuvFromBgra] = PixelRow<4, 4, AyuvFromBgraOp>;
  rows[kAyuv16FromBgra] = PixelRow<4, 8, Ayuv16FromBgraOp>;
  rows[kAyuv32fFromBgra] = PixelRow<4, 16, Ayuv32fFromBgraOp>;
  rows[kVuya16FromBgra] = PixelRow<4, 8, Vuya16FromBgraOp>;
  rows[kVuya32fFromBgra] = PixelRow<4, 16, Vuya32fFromBgraOp>;
  rows[kBgraFromVuya] = PixelRow<4, 4, BgraFromVuyaOp>;
  rows[kArgbFromAyuv] = PixelRow<4, 4, ArgbFromAyuvOp>;
  rows[kArgbFromAyuv16] = PixelRow<8, 4, ArgbFromAyuv16Op>;
  rows[kArgbFromAyuv32f] = PixelRow<16, 4, ArgbFromAyuv32fOp>;
  rows[kLumaFromV210] = LumaFromV210;
  rows[kV210FromUyvy16] = V210FromUyvy16;
  rows[kUyvy16FromV210] = Uyvy16FromV210;

#if VENDRIX_X86_KERNELS
  if (flags & platform::kCpuSse2) {
    rows[kUyvyFromBgra] = PackRowBlocks<true, vec::PackPairs<true>>;
    rows[kYuyvFromBgra] = PackRowBlocks<false, vec::PackPairs<false>>;
    rows[kVuyaFromBgra] = PixelRowBlocks<4, 4, VuyaFromBgraOp, vec::VuyaFromBgra>;
    rows[kAyuvFromBgra] = PixelRowBlocks<4, 4, AyuvFromBgraOp, vec::AyuvFromBgra>;
    rows[kAyuv16FromBgra] = PixelRowBlocks<4, 8, Ayuv16FromBgraOp, vec::Ayuv16FromBgra>;
    rows[kAyuv32fFromBgra] = PixelRowBlocks<4, 16, Ayuv32fFromBgraOp, vec::Ayuv32fFromBgra>;
    rows[kVuya16FromBgra] = PixelRowBlocks<4, 8, Vuya16FromBgraOp, vec::Vuya16FromBgra>;
    rows[kVuya32fFromBgra] = PixelRowBlocks<4, 16, Vuya32fFromBgraOp, vec::Vuya32fFromBgra>;
    rows[kBgraFromVuya] = PixelRowBlocks<4, 4, BgraFromVuyaOp, vec::BgraFromVuya>;
    rows[kArgbFromAyuv] = PixelRowBlocks<4, 4, ArgbFromAyuvOp, vec::ArgbFromAyuv>;
  }
  // The 8-bit Y/Cb/Cr conversions, where eight pixels per step pay; the 16-bit and float ones are
  // bound by their stores and keep the SSE2 versions.
  if (flags & platform::kCpuAvx2) {
    rows[kUyvyFromBgra] = PackRowBlocks<true, vec256::PackPairs<true>>;
    rows[kYuyvFromBgra] = PackRowBlocks<false, vec256::PackPairs<false>>;
    rows[kVuyaFromBgra] = PixelRowBlocks<4, 4, VuyaFromBgraOp, vec256::VuyaFromBgra>;
    rows[kAyuvFromBgra] = PixelRowBlocks<4, 4, AyuvFromBgraOp, vec256::AyuvFromBgra>;
    rows[kBgraFromVuya] = PixelRowBlocks<4, 4, BgraFromVuyaOp, vec256::BgraFromVuya>;
    rows[kArgbFromAyuv] = PixelRowBlocks<4, 4, ArgbFromAyuvOp, vec256::ArgbFromAyuv>;
  }
#else
  (void)flags;
#endif
}

}  // namespace vendrix::imaging::convert
