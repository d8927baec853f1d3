#include "imaging/image_convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "platform/heap.h"

namespace vendrix::imaging {
namespace {

constexpr size_t kGuard = 48;

// An image inside a buffer with guard bytes on both sides; rows `pitch` apart, bottom-up when flipped.
// `rows` memory rows are addressable from row 0 (luma plus any chroma rows).
struct Surface {
  std::vector<uint8_t> mem;
  size_t offset = 0;  // of row 0 in mem
  ImageDesc desc{};

  Surface(uint32_t format, int32_t width, int32_t height, int32_t pitch, int32_t rows, bool flipped,
          std::mt19937& rng) {
    mem.resize(2 * kGuard + static_cast<size_t>(pitch) * rows);
    for (auto& b : mem) b = static_cast<uint8_t>(rng());
    offset = kGuard + (flipped ? static_cast<size_t>(pitch) * (rows - 1) : 0);
    desc.format = format;
    desc.width = width;
    desc.height = height;
    desc.pitch = flipped ? -pitch : pitch;
    desc.buffer = mem.data() + offset;
  }
  // The same descriptor over another copy of the memory.
  ImageDesc On(std::vector<uint8_t>& other) const {
    ImageDesc d = desc;
    d.buffer = other.data() + offset;
    return d;
  }
  uint8_t* At(int64_t row, int64_t byte) { return mem.data() + offset + row * desc.pitch + byte; }
};

ConvRecord Record(const ImageDesc& src, const ImageDesc& dst, uint32_t mode = 0) {
  ConvRecord r{};
  r.tag = VENDRIX_IMAGE_TAG;
  r.mode = mode;
  r.source = src;
  r.destination = dst;
  return r;
}

// ---- A plain model of the conversion table ------------------------------------------------------------

int32_t Fix(double c) { return static_cast<int32_t>(std::lround(c * 65536.0)); }
struct Ycc {
  int32_t y, cb, cr;  // 16.16 sums
};
Ycc YccOf(int32_t r, int32_t g, int32_t b) {
  const int32_t chroma = (128 << 16) + 32767;  // 128 + 0.5 - 1/65536
  return {Fix(0.299) * r + Fix(0.587) * g + Fix(0.114) * b + 32768,
          Fix(-0.16874) * r + Fix(-0.33126) * g + Fix(0.5) * b + chroma,
          Fix(0.5) * r + Fix(-0.41869) * g + Fix(-0.08131) * b + chroma};
}
float UnitOf(int32_t sum) { return static_cast<float>(sum) / 16711680.0f; }
uint8_t Clamp(int32_t v) { return static_cast<uint8_t>(std::min(255, std::max(0, v))); }
void Decode(int32_t y, int32_t cb, int32_t cr, uint8_t rgb[3]) {
  rgb[0] = Clamp(y + ((Fix(1.402) * (cr - 128) + 32768) >> 16));
  rgb[1] = Clamp(y + ((-Fix(0.34414) * (cb - 128) - Fix(0.71414) * (cr - 128) + 32768) >> 16));
  rgb[2] = Clamp(y + ((Fix(1.772) * (cb - 128) + 32768) >> 16));
}
uint8_t UnitByte(float f) {
  return f * 255.0f >= 255.0f ? 255 : (f * 255.0f > 0 ? static_cast<uint8_t>(f * 255.0f) : 0);
}

uint32_t Luma(uint32_t x, uint32_t y, uint32_t z) { return (x + 2 * y + z) / 4; }
void PutTint(uint8_t* d, uint32_t g, uint8_t top) {
  d[0] = 64;
  d[1] = d[2] = static_cast<uint8_t>(g);
  d[3] = top;
}
int64_t F255(float f) {
  const float v = f * 255.0f;
  return (std::isnan(v) || v >= 2147483648.0f || v < -2147483648.0f) ? 0 : static_cast<int64_t>(v);
}
uint8_t FB(float f) { return static_cast<uint8_t>(F255(f)); }
float F(const uint8_t* s, int i) {
  float v;
  std::memcpy(&v, s + 4 * i, 4);
  return v;
}
void P16(uint8_t* d, int i, uint32_t v) {
  const uint16_t u = static_cast<uint16_t>(v);
  std::memcpy(d + 2 * i, &u, 2);
}
void PF(uint8_t* d, int i, float v) { std::memcpy(d + 4 * i, &v, 4); }

int BytesOf(uint32_t f) {  // per pixel, or per row byte for 12 and 13
  if (f == 2) return 3;
  if (f == 9 || f == 10) return 2;
  if (f == 12 || f == 13) return 1;
  if (f == 18 || f == 20 || f == 22) return 8;
  if (f == 19 || f == 21 || f == 23) return 16;
  return 4;
}

// One destination pixel of the per-pixel pairs, one line per pair.
// clang-format off
void RefPixel(uint32_t dst, uint32_t src, bool tint, const uint8_t* s, uint8_t* d) {
  uint8_t rgb[3];
  switch (dst * 100 + src) {
    case 101: tint ? PutTint(d, Luma(s[2], s[1], s[0]), s[3]) : (void)std::memcpy(d, s, 4); break;
    case 102: if (tint) PutTint(d, Luma(s[2], s[1], s[0]), 0); else { std::memcpy(d, s, 3); d[3] = 255; } break;
    case 108: if (tint) PutTint(d, Luma(s[3], s[2], s[1]), 0); else { d[0] = s[3]; d[1] = s[2]; d[2] = s[1]; d[3] = 255; } break;
    case 109: PutTint(d, s[1], 0); break;
    case 110: PutTint(d, s[0], 0); break;
    case 111: if (tint) PutTint(d, s[2], 0); else { Decode(s[2], s[1], s[0], rgb); d[0] = rgb[2]; d[1] = rgb[1]; d[2] = rgb[0]; d[3] = s[3]; } break;
    case 118: if (tint) PutTint(d, Luma(s[7], s[5], s[3]), 0); else { d[0] = s[7]; d[1] = s[5]; d[2] = s[3]; } break;
    case 119: if (tint) PutTint(d, static_cast<uint8_t>((F255(F(s, 3)) + 2 * F255(F(s, 2)) + F255(F(s, 1))) / 4), 0);
              else { d[0] = FB(F(s, 3)); d[1] = FB(F(s, 2)); d[2] = FB(F(s, 1)); } break;
    case 201: std::memcpy(d, s, 3); break;
    case 202: if (tint) { d[0] = 64; d[1] = d[2] = static_cast<uint8_t>(Luma(s[2], s[1], s[0])); } else std::memcpy(d, s, 3); break;
    case 801: if (tint) PutTint(d, Luma(s[2], s[1], s[0]), 0); else { d[0] = 255; d[1] = s[2]; d[2] = s[1]; d[3] = s[0]; } break;
    case 808: tint ? PutTint(d, Luma(s[3], s[2], s[1]), 0) : (void)std::memcpy(d, s, 4); break;
    case 815: if (tint) PutTint(d, s[1], 0); else { Decode(s[1], s[2], s[3], rgb); d[0] = s[0]; std::memcpy(d + 1, rgb, 3); } break;
    case 818: if (tint) PutTint(d, Luma(s[7], s[5], s[3]), 0); else { d[1] = s[3]; d[2] = s[5]; d[3] = s[7]; } break;
    case 819: if (tint) PutTint(d, static_cast<uint8_t>((F255(F(s, 3)) + 2 * F255(F(s, 2)) + F255(F(s, 1))) / 4), 0);
              else { d[1] = FB(F(s, 1)); d[2] = FB(F(s, 2)); d[3] = FB(F(s, 3)); } break;
    case 820: if (tint) PutTint(d, s[3], 0); else { Decode(s[3], s[5], s[7], rgb); d[0] = s[1]; std::memcpy(d + 1, rgb, 3); } break;
    case 821: if (tint) PutTint(d, FB(F(s, 1)), 0);
              else { Decode(UnitByte(F(s, 1)), UnitByte(F(s, 2)), UnitByte(F(s, 3)), rgb); d[0] = UnitByte(F(s, 0)); std::memcpy(d + 1, rgb, 3); } break;
    case 1101: { const Ycc c = YccOf(s[0], s[1], s[2]); d[0] = c.cr >> 16; d[1] = c.cb >> 16; d[2] = c.y >> 16; d[3] = s[3]; } break;
    case 1501: { const Ycc c = YccOf(s[0], s[1], s[2]); d[0] = s[3]; d[1] = c.y >> 16; d[2] = c.cb >> 16; d[3] = c.cr >> 16; } break;
    case 1801: for (int i = 0; i < 4; ++i) P16(d, i, s[3 - i] * 257u); break;
    case 1901: for (int i = 0; i < 4; ++i) PF(d, i, s[3 - i] * (1.0f / 255.0f)); break;
    case 2001: { const Ycc c = YccOf(s[2], s[1], s[0]); P16(d, 0, s[3] * 257u); P16(d, 1, c.y >> 8); P16(d, 2, c.cb >> 8); P16(d, 3, c.cr >> 8); } break;
    case 2101: { const Ycc c = YccOf(s[2], s[1], s[0]); PF(d, 0, s[3] / 255.0f); PF(d, 1, UnitOf(c.y)); PF(d, 2, UnitOf(c.cb)); PF(d, 3, UnitOf(c.cr)); } break;
    case 2201: { const Ycc c = YccOf(s[0], s[1], s[2]); P16(d, 0, c.cr >> 8); P16(d, 1, c.cb >> 8); P16(d, 2, c.y >> 8); P16(d, 3, s[3] * 257u); } break;
    case 2301: { const Ycc c = YccOf(s[0], s[1], s[2]); PF(d, 0, UnitOf(c.cr)); PF(d, 1, UnitOf(c.cb)); PF(d, 2, UnitOf(c.y)); PF(d, 3, s[3] / 255.0f); } break;
    default: FAIL() << dst << " <- " << src;
  }
}
// clang-format on

uint32_t V210Value(const uint8_t* row, int64_t index) {
  uint32_t w;
  std::memcpy(&w, row + 16 * (index / 12) + 4 * ((index % 12) / 3), 4);
  return (w >> (10 * (index % 3))) & 0x3FF;
}

// Applies the model to rec (already validated by the caller's choice of sizes and pitches).
void RefConvert(const ConvRecord& rec) {
  auto select = [](const ImageDesc& d, uint8_t** row0, int64_t* pitch, int32_t* h) {
    *row0 = static_cast<uint8_t*>(d.buffer);
    *pitch = d.pitch;
    *h = d.height;
    if (d.fieldMode & 4) {
      if (d.fieldMode & 2) *row0 += d.pitch;
      *h /= 2;
      *pitch *= 2;
    }
  };
  uint8_t *s0, *d0;
  int64_t sp, dp;
  int32_t sh, dh;
  select(rec.source, &s0, &sp, &sh);
  select(rec.destination, &d0, &dp, &dh);
  const uint32_t sf = rec.source.format, df = rec.destination.format;
  const int32_t sw = rec.source.width, dw = rec.destination.width;
  const bool tint = rec.mode == 1;
  const int64_t adv = (df == 1 || df == 2 || df == 8 || df == 11 || df == 15) ? dp / 4 * 4 : dp;
  const int64_t hs = int64_t{sw} * 65536 / dw, vs = int64_t{sh} * 65536 / dh;
  const auto col = [&](int64_t x) { return x * hs >> 16; };
  const int key = static_cast<int>(df * 100 + sf);
  const int rows = key == 1212 ? dh + (dh + 1) / 2 : dh;
  for (int32_t y = 0; y < rows; ++y) {
    const bool chroma = y >= dh;
    const int64_t k = chroma ? y - dh : y;
    const uint8_t* s = s0 + ((k * vs) >> 16) * sp + (chroma ? sh * sp : 0);
    uint8_t* d = d0 + (chroma ? dh * dp + k * dp : y * adv);
    switch (key) {
      case 901:
      case 1001:
        for (int32_t x = 0; x + 1 < dw; x += 2) {
          const uint8_t *p = s + 4 * col(x), *q = s + 4 * col(x + 1);
          const int32_t y0 = YccOf(p[2], p[1], p[0]).y >> 16, y1 = YccOf(q[2], q[1], q[0]).y >> 16;
          const Ycc m = YccOf((p[2] + q[2]) >> 1, (p[1] + q[1]) >> 1, (p[0] + q[0]) >> 1);
          const uint8_t uyvy[4] = {uint8_t(m.cb >> 16), uint8_t(y0), uint8_t(m.cr >> 16), uint8_t(y1)};
          const uint8_t yuyv[4] = {uint8_t(y0), uint8_t(m.cb >> 16), uint8_t(y1), uint8_t(m.cr >> 16)};
          std::memcpy(d + 2 * x, key == 901 ? uyvy : yuyv, 4);
        }
        break;
      case 1010:
        for (int32_t j = 0; j < dw / 2; ++j) {
          std::memcpy(d + 4 * j, s + 4 * col(j), 4);
          if (tint) d[4 * j + 1] = d[4 * j + 3] = 128;
        }
        break;
      case 1212:
        for (int32_t x = 0; x < (dw & ~1); ++x) d[x] = chroma ? s[2 * col(x / 2) + x % 2] : s[col(x)];
        break;
      case 1213:
        for (int32_t x = 0; x < dw; ++x) d[x] = static_cast<uint8_t>(V210Value(s, 12 * (x / 6) + 2 * (x % 6) + 1) >> 2);
        break;
      case 1313:
        std::memcpy(d, s, 128 * ((dw + 47) / 48));
        break;
      case 1314:
        for (int32_t g = 0; g < (dw + 5) / 6; ++g)
          for (int w = 0; w < 4; ++w) {
            uint32_t word = 0;
            for (int i = 0; i < 3; ++i) {
              const int64_t v = 12 * g + 3 * w + i;
              uint16_t u = 0;
              if (v < 2 * dw) std::memcpy(&u, s + 2 * v, 2);
              word |= static_cast<uint32_t>(u >> 6) << (10 * i);
            }
            std::memcpy(d + 16 * g + 4 * w, &word, 4);
          }
        break;
      case 1413:
        for (int32_t v = 0; v < 2 * dw; ++v) P16(d, v, V210Value(s, v) << 6);
        break;
      case 1414:
        std::memcpy(d, s, 4 * dw);
        break;
      default:
        for (int32_t x = 0; x < dw; ++x) RefPixel(df, sf, tint, s + col(x) * BytesOf(sf), d + x * BytesOf(df));
    }
  }
}

struct Pair {
  uint32_t dst, src;
};
const Pair kPairs[] = {{1, 1},  {1, 2},   {1, 8},  {1, 9},   {1, 10},  {1, 11},  {1, 18},  {1, 19},  {2, 1},
                       {2, 2},  {8, 1},   {8, 8},  {8, 15},  {8, 18},  {8, 19},  {8, 20},  {8, 21},  {9, 1},
                       {10, 1}, {10, 10}, {11, 1}, {12, 12}, {12, 13}, {13, 13}, {13, 14}, {14, 13}, {14, 14},
                       {15, 1}, {18, 1},  {19, 1}, {20, 1},  {21, 1},  {22, 1},  {23, 1}};

int64_t RowBytesFor(uint32_t f, int32_t w) {
  switch (f) {
    case 9:
    case 10:
      return 4 * ((w + 1) / 2);
    case 12:
      return 2 * ((w + 1) / 2);
    case 13:
      return 128 * ((w + 47) / 48);
    default:
      return int64_t{BytesOf(f)} * w;
  }
}

Surface MakeSurface(uint32_t f, int32_t w, int32_t h, std::mt19937& rng) {
  const int32_t pitch = static_cast<int32_t>(RowBytesFor(f, w)) + 3 + static_cast<int32_t>(rng() % 14);
  const int32_t rows = f == 12 ? h + h / 2 + 2 : h;
  Surface s(f, w, h, pitch, rows, rng() % 3 == 0, rng);
  if (f == 19 || f == 21) {  // mostly in-range floats, some arbitrary bit patterns (NaN, inf, huge)
    for (size_t i = kGuard; i + 4 <= s.mem.size() - kGuard; i += 4)
      if (rng() % 4) {
        const float v = static_cast<float>(static_cast<int32_t>(rng() % 1400) - 200) / 1000.0f;
        std::memcpy(&s.mem[i], &v, 4);
      }
  }
  return s;
}

TEST(ConvImage, EveryPairMatchesThePlainModel) {
  std::mt19937 rng(1234);
  struct Sizes {
    int32_t sw, sh, dw, dh;
  };
  const Sizes sizes[] = {{13, 5, 13, 5}, {4, 3, 11, 7}, {13, 9, 5, 4}, {7, 6, 10, 4}, {1, 1, 3, 2}, {23, 4, 23, 9}};
  const int64_t live = platform::HeapLiveBlocks();
  for (const Pair& pair : kPairs) {
    const bool equal =
        pair.dst >= 12 && pair.dst <= 14 && pair.src >= 12 && pair.src <= 14 && pair.dst * pair.src != 144;
    for (const Sizes& z : sizes) {
      for (int round = 0; round < 3; ++round) {
        const int32_t dw = equal ? z.sw : z.dw;
        const uint32_t field =
            z.sh >= 4 && z.dh >= 4 && round == 2 ? 4u | (rng() % 2 ? 2u : 0u) : (rng() % 2 ? 2u : 0u);
        Surface src = MakeSurface(pair.src, z.sw, z.sh, rng);
        Surface dst = MakeSurface(pair.dst, dw, z.dh, rng);
        src.desc.fieldMode = dst.desc.fieldMode = field;
        const uint32_t mode = round == 0 ? 1u : (round == 1 ? 0u : 7u);
        const std::vector<uint8_t> source_before = src.mem;
        std::vector<uint8_t> expected = dst.mem;
        RefConvert(Record(src.desc, dst.On(expected), mode));
        ASSERT_TRUE(ConvertImage(Record(src.desc, dst.desc, mode)));
        ASSERT_EQ(dst.mem, expected) << pair.dst << " <- " << pair.src << " " << z.sw << "x" << z.sh << " -> " << dw
                                     << "x" << z.dh << " mode " << mode << " field " << field;
        ASSERT_EQ(src.mem, source_before);
      }
    }
  }
  EXPECT_EQ(platform::HeapLiveBlocks(), live);
}

// Pure colours through the decimal equations, computed here directly.
TEST(ConvImage, JfifValuesOfKnownColours) {
  struct Colour {
    int r, g, b;
    int y, cb, cr;  // worked out by hand from the equations
  };
  const Colour colours[] = {{255, 0, 0, 76, 85, 255},       {0, 255, 0, 150, 44, 21}, {0, 0, 255, 29, 255, 107},
                            {255, 255, 255, 255, 128, 128}, {0, 0, 0, 0, 128, 128},   {128, 128, 128, 128, 128, 128}};
  for (const Colour& c : colours) {
    const double y = 0.299 * c.r + 0.587 * c.g + 0.114 * c.b + 0.5;
    const double cb = -0.16874 * c.r - 0.33126 * c.g + 0.5 * c.b + 128.5 - 1.0 / 65536;
    const double cr = 0.5 * c.r - 0.41869 * c.g - 0.08131 * c.b + 128.5 - 1.0 / 65536;
    ASSERT_EQ(static_cast<int>(std::floor(y)), c.y);
    ASSERT_EQ(static_cast<int>(std::floor(cb)), c.cb);
    ASSERT_EQ(static_cast<int>(std::floor(cr)), c.cr);

    const uint8_t red_first[4] = {uint8_t(c.r), uint8_t(c.g), uint8_t(c.b), 7};  // codes 11 and 15 read red at s0
    const uint8_t red_third[4] = {uint8_t(c.b), uint8_t(c.g), uint8_t(c.r), 7};  // codes 9, 10, 20, 21 at s2
    ImageDesc src{1, 0, 0, 0, 1, 1, 4, 0, const_cast<uint8_t*>(red_first)};
    uint8_t out[16];
    ImageDesc dst{15, 0, 0, 0, 1, 1, 16, 0, out};
    ASSERT_TRUE(ConvertImage(Record(src, dst)));
    EXPECT_EQ(out[0], 7);
    EXPECT_EQ(out[1], c.y);
    EXPECT_EQ(out[2], c.cb);
    EXPECT_EQ(out[3], c.cr);
    dst.format = 11;
    ASSERT_TRUE(ConvertImage(Record(src, dst)));
    EXPECT_EQ(out[0], c.cr);
    EXPECT_EQ(out[1], c.cb);
    EXPECT_EQ(out[2], c.y);

    src.buffer = const_cast<uint8_t*>(red_third);
    dst.format = 20;
    ASSERT_TRUE(ConvertImage(Record(src, dst)));
    uint16_t u[4];
    std::memcpy(u, out, 8);
    EXPECT_EQ(u[0], 7 * 257);
    // 16-bit results carry the rounding of the 16.16 coefficients (up to 0.5 / 65536 each, x 255 x 256).
    EXPECT_NEAR(u[1], y * 256, 2.0);
    EXPECT_NEAR(u[2], cb * 256, 2.0);
    EXPECT_NEAR(u[3], cr * 256, 2.0);
    dst.format = 21;
    ASSERT_TRUE(ConvertImage(Record(src, dst)));
    float f[4];
    std::memcpy(f, out, 16);
    EXPECT_FLOAT_EQ(f[0], 7 / 255.0f);
    EXPECT_NEAR(f[1], y / 255, 2e-5);
    EXPECT_NEAR(f[2], cb / 255, 2e-5);
    EXPECT_NEAR(f[3], cr / 255, 2e-5);
  }
  // A red and a blue pixel packed as one 4:2:2 pair: Y from each, chroma from their mean (127, 0, 127).
  const uint8_t pair[8] = {0, 0, 255, 0, 255, 0, 0, 0};
  uint8_t packed[4];
  ImageDesc src{1, 0, 0, 0, 2, 1, 8, 0, const_cast<uint8_t*>(pair)};
  ImageDesc dst{9, 0, 0, 0, 2, 1, 4, 0, packed};
  ASSERT_TRUE(ConvertImage(Record(src, dst)));
  EXPECT_EQ(std::vector<uint8_t>(packed, packed + 4), (std::vector<uint8_t>{170, 76, 181, 29}));
  dst.format = 10;
  ASSERT_TRUE(ConvertImage(Record(src, dst, VENDRIX_CONV_TINTED)));  // the mode does not apply here
  EXPECT_EQ(std::vector<uint8_t>(packed, packed + 4), (std::vector<uint8_t>{76, 170, 29, 181}));
}

TEST(ConvImage, TintedModeAndDecodedColours) {
  uint8_t px[4] = {10, 20, 30, 200};
  uint8_t out[4];
  ImageDesc src{1, 0, 0, 0, 1, 1, 4, 0, px};
  ImageDesc dst{1, 0, 0, 0, 1, 1, 4, 0, out};
  ASSERT_TRUE(ConvertImage(Record(src, dst, VENDRIX_CONV_TINTED)));
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{64, 20, 20, 200}));  // g = (30 + 40 + 10) / 4
  dst.format = 8;
  ASSERT_TRUE(ConvertImage(Record(src, dst, VENDRIX_CONV_TINTED)));
  EXPECT_EQ(std::vector<uint8_t>(out, out + 4), (std::vector<uint8_t>{64, 20, 20, 0}));

  // Y/Cb/Cr sources decode to colour in normal mode: encoding then decoding a colour comes back close.
  const uint8_t colours[][3] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {0, 0, 0}, {40, 90, 200}};
  for (const auto& c : colours) {
    const uint8_t rgba[4] = {c[0], c[1], c[2], 99};  // read with red at s0 by the 11 conversion
    uint8_t vuya[4], back[4];
    ASSERT_TRUE(
        ConvertImage(Record({1, 0, 0, 0, 1, 1, 4, 0, const_cast<uint8_t*>(rgba)}, {11, 0, 0, 0, 1, 1, 4, 0, vuya})));
    ASSERT_TRUE(ConvertImage(Record({11, 0, 0, 0, 1, 1, 4, 0, vuya}, {1, 0, 0, 0, 1, 1, 4, 0, back})));
    EXPECT_NEAR(back[2], c[0], 2);  // code 1 holds red in byte 2
    EXPECT_NEAR(back[1], c[1], 2);
    EXPECT_NEAR(back[0], c[2], 2);
    EXPECT_EQ(back[3], 99);
  }
}

TEST(ConvImage, FloatChannelsKeepTheLowByteOfTheTruncatedValue) {
  const float in[][4] = {{0, 2.0f, -1.0f, 0.5f}, {0, NAN, INFINITY, 3e9f}, {0, 1.0f, 0.0f, -0.001f}};
  uint8_t out[3][4];
  std::memset(out, 0xEE, sizeof(out));
  ImageDesc src{19, 0, 0, 0, 3, 1, 48, 0, const_cast<float*>(&in[0][0])};
  ImageDesc dst{1, 0, 0, 0, 3, 1, 12, 0, &out[0][0]};
  ASSERT_TRUE(ConvertImage(Record(src, dst)));
  // d0 = f3, d1 = f2, d2 = f1 (x 255): 127.5 -> 127, -255 -> 0x01, 510 -> 254; NaN, inf, 3e9 -> 0; d3 untouched.
  EXPECT_EQ(std::vector<uint8_t>(out[0], out[0] + 4), (std::vector<uint8_t>{127, 1, 254, 0xEE}));
  EXPECT_EQ(std::vector<uint8_t>(out[1], out[1] + 4), (std::vector<uint8_t>{0, 0, 0, 0xEE}));
  EXPECT_EQ(std::vector<uint8_t>(out[2], out[2] + 4), (std::vector<uint8_t>{0, 0, 255, 0xEE}));
}

TEST(ConvImage, NearestNeighbourSteps) {
  // 4 x 2 to 8 x 4: every pixel twice in each direction.
  uint32_t src[2][4], dst[4][8];
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) src[y][x] = 0x01000000u * (y + 1) + x;
  ASSERT_TRUE(ConvertImage(Record({1, 0, 0, 0, 4, 2, 16, 0, src}, {1, 0, 0, 0, 8, 4, 32, 0, dst})));
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(dst[y][x], src[y / 2][x / 2]) << x << "," << y;
  // 5 columns to 3: step 109226 picks columns 0, 1 and 3; 3 rows to 2: step 98304 picks rows 0 and 1.
  uint32_t wide[3][5], narrow[2][3];
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) wide[y][x] = 10 * y + x;
  ASSERT_TRUE(ConvertImage(Record({1, 0, 0, 0, 5, 3, 20, 0, wide}, {1, 0, 0, 0, 3, 2, 12, 0, narrow})));
  EXPECT_EQ(std::vector<uint32_t>(&narrow[0][0], &narrow[0][0] + 6), (std::vector<uint32_t>{0, 1, 3, 10, 11, 13}));
}

TEST(ConvImage, FieldSelectionOnPrivateCopies) {
  uint32_t frame[10], out[10];
  for (int y = 0; y < 10; ++y) frame[y] = 100 + y;
  const auto run = [&](uint32_t src_field, uint32_t dst_field, int dst_rows) {
    std::fill(std::begin(out), std::end(out), 0u);
    ConvRecord rec = Record({1, src_field, 0, 0, 1, 10, 4, 0, frame}, {1, dst_field, 0, 0, 1, dst_rows, 4, 0, out});
    const ConvRecord copy = rec;
    EXPECT_TRUE(ConvertImage(rec));
    EXPECT_EQ(std::memcmp(&rec, &copy, sizeof rec), 0);
    return std::vector<uint32_t>(out, out + 10);
  };
  EXPECT_EQ(run(6, 0, 5), (std::vector<uint32_t>{101, 103, 105, 107, 109, 0, 0, 0, 0, 0}));
  EXPECT_EQ(run(4, 0, 5), (std::vector<uint32_t>{100, 102, 104, 106, 108, 0, 0, 0, 0, 0}));
  EXPECT_EQ(run(2, 0, 10), (std::vector<uint32_t>{100, 101, 102, 103, 104, 105, 106, 107, 108, 109}));  // no bit 2
  // A destination field: rows 1, 3, 5, 7, 9 of a 10-row frame take the 10 source rows by a step of 2.
  EXPECT_EQ(run(0, 6, 10), (std::vector<uint32_t>{0, 100, 0, 102, 0, 104, 0, 106, 0, 108}));
}

TEST(ConvImage, PackedAndPlanarEdges) {
  // A 4:2:2 destination of odd width 7 gets 6 pixels per row; the seventh keeps its bytes.
  std::vector<uint8_t> bgra(7 * 4, 90), yuyv(2 * 14, 0xEE);
  ASSERT_TRUE(ConvertImage(Record({1, 0, 0, 0, 7, 1, 28, 0, bgra.data()}, {10, 0, 0, 0, 7, 2, 14, 0, yuyv.data()})));
  for (int row = 0; row < 2; ++row) {
    EXPECT_EQ(yuyv[14 * row + 11], 128) << row;
    EXPECT_EQ(yuyv[14 * row + 12], 0xEE) << row;
    EXPECT_EQ(yuyv[14 * row + 13], 0xEE) << row;
  }
  // A 3-byte destination steps rows by the pitch rounded down to 4 bytes: pitch 14 writes row 1 at 12.
  std::vector<uint8_t> bgr(28, 0xEE);
  ASSERT_TRUE(ConvertImage(Record({1, 0, 0, 0, 3, 2, 12, 0, bgra.data()}, {2, 0, 0, 0, 3, 2, 14, 0, bgr.data()})));
  EXPECT_EQ(bgr[9], 0xEE);
  EXPECT_EQ(bgr[12], 90);
  EXPECT_EQ(bgr[21], 0xEE);
}

TEST(ConvImage, V210RoundTripsThroughSixteenBit) {
  std::mt19937 rng(5);
  for (int32_t width : {6, 8, 13, 48, 50}) {
    const int32_t padded = 128 * ((width + 47) / 48), groups = (width + 5) / 6;
    std::vector<uint8_t> v210(2 * padded, 0), u16(2 * 4 * width), back(2 * padded, 0xEE), u16_back(u16.size());
    for (int32_t row = 0; row < 2; ++row)
      for (int32_t w = 0; w < 4 * groups; ++w) {
        const uint32_t word = rng() & 0x3FFFFFFFu;
        std::memcpy(&v210[row * padded + 4 * w], &word, 4);
      }
    ASSERT_TRUE(ConvertImage(
        Record({13, 0, 0, 0, width, 2, padded, 0, v210.data()}, {14, 0, 0, 0, width, 2, 4 * width, 0, u16.data()})));
    ASSERT_TRUE(ConvertImage(
        Record({14, 0, 0, 0, width, 2, 4 * width, 0, u16.data()}, {13, 0, 0, 0, width, 2, padded, 0, back.data()})));
    ASSERT_TRUE(ConvertImage(Record({13, 0, 0, 0, width, 2, padded, 0, back.data()},
                                    {14, 0, 0, 0, width, 2, 4 * width, 0, u16_back.data()})));
    EXPECT_EQ(u16, u16_back) << width;
    // Whole groups come back exactly; a partial group keeps the values of the row's pixels only.
    for (int32_t row = 0; row < 2; ++row)
      EXPECT_EQ(std::memcmp(&v210[row * padded], &back[row * padded], 16 * (width / 6)), 0) << width;
  }
}

TEST(ConvImage, RefusedRequestsLeaveTheDestinationUntouched) {
  std::mt19937 rng(9);
  Surface src(1, 8, 4, 32, 4, false, rng);
  Surface dst(1, 8, 4, 32, 4, false, rng);
  Surface v210(13, 12, 4, 128, 4, false, rng);
  Surface nv12(12, 10, 4, 12, 6, false, rng);
  struct Case {
    const char* name;
    ConvRecord rec;
  };
  ConvRecord base = Record(src.desc, dst.desc);
  std::vector<Case> cases;
  auto add = [&](const char* name, auto mutate) {
    ConvRecord r = base;
    mutate(r);
    cases.push_back({name, r});
  };
  add("tag", [](ConvRecord& r) { r.tag = 2; });
  add("zero width", [](ConvRecord& r) { r.destination.width = 0; });
  add("negative height", [](ConvRecord& r) { r.source.height = -4; });
  add("width 32768", [](ConvRecord& r) { r.source.width = 32768; });
  add("null source", [](ConvRecord& r) { r.source.buffer = nullptr; });
  add("null destination", [](ConvRecord& r) { r.destination.buffer = nullptr; });
  add("short source pitch", [](ConvRecord& r) { r.source.pitch = -31; });
  add("short destination pitch", [](ConvRecord& r) { r.destination.pitch = 31; });
  add("3-byte rows rounding below the row", [](ConvRecord& r) {
    r.destination.format = 2;
    r.destination.width = 7;
    r.destination.pitch = 22;  // steps 20 bytes, less than 21
  });
  add("field of one row", [](ConvRecord& r) {
    r.source.height = 1;
    r.source.fieldMode = 4;
  });
  add("pitch doubled beyond 32 bits", [](ConvRecord& r) {
    r.source.pitch = 0x40000000;
    r.source.fieldMode = 4;
  });
  add("unsupported pair 9 <- 9", [](ConvRecord& r) { r.source.format = r.destination.format = 9; });
  add("unsupported pair 3 <- 1", [](ConvRecord& r) { r.destination.format = 3; });
  add("unsupported pair 16 <- 16", [](ConvRecord& r) {
    r.source.format = r.destination.format = 16;
    r.source.width = r.destination.width = 4;
  });
  add("12 <- 13 with unequal widths", [&](ConvRecord& r) {
    r.source = v210.desc;
    r.destination = nv12.desc;
  });
  add("12 <- 13 with a short v210 pitch", [&](ConvRecord& r) {
    r.source = v210.desc;
    r.source.width = 10;
    r.source.pitch = 16;
    r.destination = nv12.desc;
  });
  add("13 <- 13 with unequal widths", [&](ConvRecord& r) {
    r.source = r.destination = v210.desc;
    r.destination.width = 6;
  });
  add("13 <- 13 without padded rows", [&](ConvRecord& r) {
    r.source = r.destination = v210.desc;
    r.destination.pitch = 32;
  });
  const std::vector<uint8_t> before = dst.mem, nv12_before = nv12.mem, v210_before = v210.mem;
  for (const Case& c : cases) {
    EXPECT_FALSE(ConvertImage(c.rec)) << c.name;
    ConvImage(&c.rec);
    EXPECT_EQ(dst.mem, before) << c.name;
    EXPECT_EQ(nv12.mem, nv12_before) << c.name;
    EXPECT_EQ(v210.mem, v210_before) << c.name;
  }
  ConvImage(nullptr);
}

}  // namespace
}  // namespace vendrix::imaging
