// Colour-to-colour conversions between the 8-bit, 16-bit and float RGB layouts, and every grey or tinted
// output of the conversion table.
//
// Byte names follow memory order: s0 is a source pixel's first byte, f0 its first float. BGRA8 holds
// blue, green, red, alpha; ARGB8 alpha, red, green, blue; ARGB16 and ARGB32F alpha, red, green, blue in
// u16 or f32 channels.
#include <cstdint>

#include "imaging/convert_rows.h"
#include "imaging/row_walk.h"
#include "platform/cpu.h"

namespace vendrix::imaging::convert {
namespace {

// Tinted grey pixel: the 32-bit value g * 65536 + g * 256 + 64 plus a top byte, i.e. bytes 64, g, g, top.
constexpr uint32_t kTintLow = 64;
inline uint32_t TintWord(uint32_t g, uint32_t top) { return kTintLow | (g << 8) | (g << 16) | (top << 24); }

// Luma estimate of a colour triple (x, y, z): (x + 2y + z) / 4, y being the green-like middle value.
inline uint32_t Luma3(uint32_t x, uint32_t y, uint32_t z) { return (x + 2 * y + z) >> 2; }

// A float channel on 0..1 scaled to 0..255 and truncated toward zero. Out-of-range values are not
// clamped (callers keep only the low 8 bits); NaN and values beyond 32 bits give 0, the low byte of
// what the processor's own conversion yields for them.
inline int32_t FloatTo255(float f) {
  const float v = f * 255.0f;
  if (!(v >= -2147483648.0f && v < 2147483648.0f)) return 0;
  return static_cast<int32_t>(v);
}
inline uint32_t FloatToByteBits(float f) { return static_cast<uint8_t>(FloatTo255(f)); }

// Luma estimate of three float channels: each scaled to 0..255 and truncated, combined as Luma3 in
// integers, low 8 bits kept.
inline uint32_t FloatLuma3(float x, float y, float z) {
  const int64_t sum = int64_t{FloatTo255(x)} + 2 * int64_t{FloatTo255(y)} + FloatTo255(z);
  return static_cast<uint8_t>(sum / 4);
}

// ---- Colour to colour ---------------------------------------------------------------------------------

struct BgraFromBgrOp {  // d0..d2 = s0..s2, d3 = 255
  static void Apply(const uint8_t* s, uint8_t* d) {
    Store32(d, s[0] | (uint32_t{s[1]} << 8) | (uint32_t{s[2]} << 16) | 0xFF000000u);
  }
};
struct BgraFromArgbOp {  // d0 = s3, d1 = s2, d2 = s1, d3 = 255
  static void Apply(const uint8_t* s, uint8_t* d) { Store32(d, __builtin_bswap32(Load32(s)) | 0xFF000000u); }
};
struct ArgbFromBgraOp {  // d0 = 255, d1 = s2, d2 = s1, d3 = s0
  static void Apply(const uint8_t* s, uint8_t* d) { Store32(d, __builtin_bswap32(Load32(s)) | 0xFFu); }
};
struct BgrFromBgraOp {  // alpha dropped
  static void Apply(const uint8_t* s, uint8_t* d) {
    d[0] = s[0];
    d[1] = s[1];
    d[2] = s[2];
  }
};
struct BgraFromArgb16Op {  // high bytes of channels 3, 2, 1; d3 untouched
  static void Apply(const uint8_t* s, uint8_t* d) {
    d[0] = s[7];
    d[1] = s[5];
    d[2] = s[3];
  }
};
struct ArgbFromArgb16Op {  // high bytes of channels 1, 2, 3 into d1..d3; d0 untouched
  static void Apply(const uint8_t* s, uint8_t* d) {
    d[1] = s[3];
    d[2] = s[5];
    d[3] = s[7];
  }
};
struct BgraFromArgb32fOp {  // d0 = f3 x 255, d1 = f2 x 255, d2 = f1 x 255; d3 untouched
  static void Apply(const uint8_t* s, uint8_t* d) {
    d[0] = static_cast<uint8_t>(FloatToByteBits(LoadF32(s + 12)));
    d[1] = static_cast<uint8_t>(FloatToByteBits(LoadF32(s + 8)));
    d[2] = static_cast<uint8_t>(FloatToByteBits(LoadF32(s + 4)));
  }
};
struct ArgbFromArgb32fOp {  // d1 = f1 x 255, d2 = f2 x 255, d3 = f3 x 255; d0 untouched
  static void Apply(const uint8_t* s, uint8_t* d) {
    d[1] = static_cast<uint8_t>(FloatToByteBits(LoadF32(s + 4)));
    d[2] = static_cast<uint8_t>(FloatToByteBits(LoadF32(s + 8)));
    d[3] = static_cast<uint8_t>(FloatToByteBits(LoadF32(s + 12)));
  }
};
struct Argb16FromBgraOp {  // u16 channels s3, s2, s1, s0, each x 257 (255 becomes 65535)
  static void Apply(const uint8_t* s, uint8_t* d) {
    Store16(d + 0, static_cast<uint16_t>(s[3] * 257u));
    Store16(d + 2, static_cast<uint16_t>(s[2] * 257u));
    Store16(d + 4, static_cast<uint16_t>(s[1] * 257u));
    Store16(d + 6, static_cast<uint16_t>(s[0] * 257u));
  }
};
struct Argb32fFromBgraOp {  // floats s3, s2, s1, s0, each x (1/255)
  static void Apply(const uint8_t* s, uint8_t* d) {
    constexpr float kUnit = 1.0f / 255.0f;
    StoreF32(d + 0, static_cast<float>(s[3]) * kUnit);
    StoreF32(d + 4, static_cast<float>(s[2]) * kUnit);
    StoreF32(d + 8, static_cast<float>(s[1]) * kUnit);
    StoreF32(d + 12, static_cast<float>(s[0]) * kUnit);
  }
};

// ---- Grey and tinted ----------------------------------------------------------------------------------

// g from three source bytes (x, y, z) = (s[kX], s[kY], s[kZ]); top byte 0 or the source alpha s[3].
template <int kX, int kY, int kZ, bool kKeepAlpha>
struct TintBytes3Op {
  static void Apply(const uint8_t* s, uint8_t* d) {
    Store32(d, TintWord(Luma3(s[kX], s[kY], s[kZ]), kKeepAlpha ? s[3] : 0u));
  }
};
// g = s[kIndex] (a luma byte), top byte 0.
template <int kIndex>
struct TintByteOp {
  static void Apply(const uint8_t* s, uint8_t* d) { Store32(d, TintWord(s[kIndex], 0)); }
};
struct TintBgrOp {  // 3-byte destination: 64, g, g
  static void Apply(const uint8_t* s, uint8_t* d) {
    const uint8_t g = static_cast<uint8_t>(Luma3(s[2], s[1], s[0]));
    d[0] = kTintLow;
    d[1] = g;
    d[2] = g;
  }
};
struct TintArgb32fOp {  // g from (f3, f2, f1) x 255
  static void Apply(const uint8_t* s, uint8_t* d) {
    Store32(d, TintWord(FloatLuma3(LoadF32(s + 12), LoadF32(s + 8), LoadF32(s + 4)), 0));
  }
};
struct TintAyuv32fOp {  // g = f1 x 255
  static void Apply(const uint8_t* s, uint8_t* d) { Store32(d, TintWord(FloatToByteBits(LoadF32(s + 4)), 0)); }
};

// ---- Block paths (equal sizes) ------------------------------------------------------------------------
#if VENDRIX_X86_KERNELS

// Four pixels at a time through 32-bit words: 3-byte and 4-byte rows meet every 12 bytes. Plain C++,
// but faster than the per-pixel reference, so they stand in the table at the baseline level.
int32_t BgrFromBgraBlocks(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const uint8_t* p = s + 16 * i;
    const uint32_t p0 = Load32(p), p1 = Load32(p + 4), p2 = Load32(p + 8), p3 = Load32(p + 12);
    uint8_t* q = d + 12 * i;
    Store32(q, (p0 & 0xFFFFFFu) | (p1 << 24));
    Store32(q + 4, ((p1 >> 8) & 0xFFFFu) | (p2 << 16));
    Store32(q + 8, ((p2 >> 16) & 0xFFu) | (p3 << 8));
  }
  return blocks * 4;
}
int32_t BgraFromBgrBlocks(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const uint8_t* p = s + 12 * i;
    const uint32_t w0 = Load32(p), w1 = Load32(p + 4), w2 = Load32(p + 8);
    uint8_t* q = d + 16 * i;
    Store32(q, w0 | 0xFF000000u);
    Store32(q + 4, (w0 >> 24) | (w1 << 8) | 0xFF000000u);
    Store32(q + 8, (w1 >> 16) | (w2 << 16) | 0xFF000000u);
    Store32(q + 12, (w2 >> 8) | 0xFF000000u);
  }
  return blocks * 4;
}

// Tinted grey of four 4-byte pixels per vector: g = (x + 2y + z) >> 2 from bytes kX, kY, kZ.
template <int kX, int kY, int kZ, bool kKeepAlpha>
int32_t TintWide(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  for (int32_t i = 0; i < blocks; ++i) {
    const __m128i px = wide::Load(s + 16 * i);
    const __m128i sum = _mm_add_epi32(_mm_add_epi32(wide::Channel<kX>(px), wide::Channel<kZ>(px)),
                                      _mm_slli_epi32(wide::Channel<kY>(px), 1));
    const __m128i g = _mm_srli_epi32(sum, 2);
    __m128i out = _mm_or_si128(_mm_set1_epi32(kTintLow), _mm_or_si128(_mm_slli_epi32(g, 8), _mm_slli_epi32(g, 16)));
    if (kKeepAlpha) out = _mm_or_si128(out, _mm_and_si128(px, _mm_set1_epi32(static_cast<int32_t>(0xFF000000u))));
    wide::Store(d + 16 * i, out);
  }
  return blocks * 4;
}

// Float ARGB to bytes, four pixels per step. _mm_cvttps_epi32 truncates toward zero and yields
// 0x80000000 (low byte 0) for NaN and values beyond 32 bits: exactly FloatToByteBits. kArgb: bytes 1..3
// take R, G, B and byte 0 is kept; otherwise bytes 0..2 take B, G, R and byte 3 is kept.
template <bool kArgb>
int32_t FromArgb32fWide(const uint8_t* s, uint8_t* d, int32_t n) {
  const int32_t blocks = n / 4;
  const __m128 scale = _mm_set1_ps(255.0f);
  const __m128i low = _mm_set1_epi32(0xFF);
  for (int32_t i = 0; i < blocks; ++i) {
    const float* p = reinterpret_cast<const float*>(s + 64 * i);
    __m128 a = _mm_loadu_ps(p), r = _mm_loadu_ps(p + 4), g = _mm_loadu_ps(p + 8), b = _mm_loadu_ps(p + 12);
    _MM_TRANSPOSE4_PS(a, r, g, b);
    const __m128i ri = _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(r, scale)), low);
    const __m128i gi = _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(g, scale)), low);
    const __m128i bi = _mm_and_si128(_mm_cvttps_epi32(_mm_mul_ps(b, scale)), low);
    const __m128i old = wide::Load(d + 16 * i);
    const __m128i out =
        kArgb ? _mm_or_si128(
                    _mm_and_si128(old, low),
                    _mm_or_si128(_mm_slli_epi32(ri, 8), _mm_or_si128(_mm_slli_epi32(gi, 16), _mm_slli_epi32(bi, 24))))
              : _mm_or_si128(_mm_and_si128(old, _mm_set1_epi32(static_cast<int32_t>(0xFF000000u))),
                             _mm_or_si128(bi, _mm_or_si128(_mm_slli_epi32(gi, 8), _mm_slli_epi32(ri, 16))));
    wide::Store(d + 16 * i, out);
  }
  return blocks * 4;
}
#endif

}  // namespace

void FillRgbRows(uint32_t flags, ConvertRowTable* table) {
  RowKernel* rows = table->rows;
  rows[kBgraFromBgr] = PixelRow<3, 4, BgraFromBgrOp>;
  rows[kBgraFromArgb] = PixelRow<4, 4, BgraFromArgbOp>;
  rows[kBgraFromArgb16] = PixelRow<8, 4, BgraFromArgb16Op>;
  rows[kBgraFromArgb32f] = PixelRow<16, 4, BgraFromArgb32fOp>;
  rows[kBgrFromBgra] = PixelRow<4, 3, BgrFromBgraOp>;
  rows[kArgbFromBgra] = PixelRow<4, 4, ArgbFromBgraOp>;
  rows[kArgbFromArgb16] = PixelRow<8, 4, ArgbFromArgb16Op>;
  rows[kArgbFromArgb32f] = PixelRow<16, 4, ArgbFromArgb32fOp>;
  rows[kArgb16FromBgra] = PixelRow<4, 8, Argb16FromBgraOp>;
  rows[kArgb32fFromBgra] = PixelRow<4, 16, Argb32fFromBgraOp>;

  rows[kGreyFromUyvy] = PixelRow<2, 4, TintByteOp<1>>;
  rows[kGreyFromYuyv] = PixelRow<2, 4, TintByteOp<0>>;
  rows[kTintFromBgraKeepAlpha] = PixelRow<4, 4, TintBytes3Op<2, 1, 0, true>>;
  rows[kTintFromBgra] = PixelRow<4, 4, TintBytes3Op<2, 1, 0, false>>;
  rows[kTintFromBgr] = PixelRow<3, 4, TintBytes3Op<2, 1, 0, false>>;
  rows[kTintBgrFromBgr] = PixelRow<3, 3, TintBgrOp>;
  rows[kTintFromArgb] = PixelRow<4, 4, TintBytes3Op<3, 2, 1, false>>;
  rows[kTintFromArgb16] = PixelRow<8, 4, TintBytes3Op<7, 5, 3, false>>;
  rows[kTintFromArgb32f] = PixelRow<16, 4, TintArgb32fOp>;
  rows[kTintFromVuya] = PixelRow<4, 4, TintByteOp<2>>;
  rows[kTintFromAyuv] = PixelRow<4, 4, TintByteOp<1>>;
  rows[kTintFromAyuv16] = PixelRow<8, 4, TintByteOp<3>>;
  rows[kTintFromAyuv32f] = PixelRow<16, 4, TintAyuv32fOp>;

#if VENDRIX_X86_KERNELS
  if (flags & platform::kCpuSse2) {
    rows[kBgraFromBgr] = PixelRowBlocks<3, 4, BgraFromBgrOp, BgraFromBgrBlocks>;
    rows[kBgrFromBgra] = PixelRowBlocks<4, 3, BgrFromBgraOp, BgrFromBgraBlocks>;
    rows[kBgraFromArgb32f] = PixelRowBlocks<16, 4, BgraFromArgb32fOp, FromArgb32fWide<false>>;
    rows[kArgbFromArgb32f] = PixelRowBlocks<16, 4, ArgbFromArgb32fOp, FromArgb32fWide<true>>;
    rows[kTintFromBgraKeepAlpha] = PixelRowBlocks<4, 4, TintBytes3Op<2, 1, 0, true>, TintWide<2, 1, 0, true>>;
    rows[kTintFromBgra] = PixelRowBlocks<4, 4, TintBytes3Op<2, 1, 0, false>, TintWide<2, 1, 0, false>>;
    rows[kTintFromArgb] = PixelRowBlocks<4, 4, TintBytes3Op<3, 2, 1, false>, TintWide<3, 2, 1, false>>;
  }
#else
  (void)flags;
#endif
}

}  // namespace vendrix::imaging::convert
