// TexMapD: a constant image stays constant in every pixel format (with and without edge extension),
// in-place renders of the 4:2:0 layouts, pair rounding of packed columns, the border, refusals and
// wide row addressing, all into guarded buffers. Every layout with every option (in place too, for the
// packed ones) is pinned byte for byte by the golden hashes, banded renders by the reliability tests'
// equal bytes on any thread count and the rasteriser's band test; random definitions over guarded
// buffers are the texmap fuzz target's.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "support/warm_pools.h"
#include "texmap/render.h"
#include "texmap/render_internal.h"

namespace vendrix::texmap {
namespace {

constexpr int32_t kOne = 65536;
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5, kCb = 90, kCr = 160;
const uint8_t kRed[4] = {0, 0, 0xFF, 0xFF};

const uint32_t kAllFormats[] = {
    VENDRIX_PIXFMT_BGRA8,  VENDRIX_PIXFMT_BGR8,    VENDRIX_PIXFMT_ARGB8,   VENDRIX_PIXFMT_UYVY8,  VENDRIX_PIXFMT_YUYV8,
    VENDRIX_PIXFMT_VUYA8,  VENDRIX_PIXFMT_NV12,    VENDRIX_PIXFMT_AYUV8,   VENDRIX_PIXFMT_BGRA16, VENDRIX_PIXFMT_BGRA32F,
    VENDRIX_PIXFMT_ARGB16, VENDRIX_PIXFMT_ARGB32F, VENDRIX_PIXFMT_AYUV16,  VENDRIX_PIXFMT_AYUV32F, VENDRIX_PIXFMT_VUYA16,
    VENDRIX_PIXFMT_VUYA32F, VENDRIX_PIXFMT_YUV420P};

bool Planar(uint32_t f) { return f == VENDRIX_PIXFMT_NV12 || f == VENDRIX_PIXFMT_YUV420P; }

// A host image inside guard bytes: `rows` luma rows (then the chroma planes of 4:2:0), padded rows,
// optionally bottom-up. Grey levels go into every colour channel, or into luma with constant chroma.
struct HostImage {
  uint32_t format;
  int32_t width, rows, pitch, bpp;
  std::vector<uint8_t> mem;
  size_t offset;

  HostImage(uint32_t f, int32_t w, int32_t h, bool flipped = false, uint8_t fill = 0)
      : format(f), width(w), rows(h), pitch(int32_t(RowBytes(f, w)) + 16), bpp(int32_t(RowBytes(f, 1))) {
    const int64_t mem_rows = h + (Planar(f) ? (h + 1) / 2 + 1 : 0);
    mem.assign(2 * kGuard + size_t(pitch * mem_rows), fill);
    Guard();
    offset = kGuard + (flipped ? size_t(pitch * (mem_rows - 1)) : 0);
    if (flipped) pitch = -pitch;
  }
  void Guard() { std::fill_n(mem.begin(), kGuard, kGuardByte), std::fill_n(mem.end() - kGuard, kGuard, kGuardByte); }
  void Randomise(std::mt19937& rng) {
    for (auto& b : mem) b = uint8_t(rng());
    Guard();
  }
  bool GuardsIntact() const {
    return size_t(std::count(mem.begin(), mem.begin() + kGuard, kGuardByte) + std::count(mem.end() - kGuard, mem.end(), kGuardByte)) == 2 * kGuard;
  }
  uint8_t* Row(int64_t y) { return mem.data() + offset + y * pitch; }
  // Cb (c = 0) or Cr (c = 1) of row pair k, pixel pair j.
  uint8_t* Chroma(int64_t k, int64_t j, int c) {
    if (format == VENDRIX_PIXFMT_NV12) return Row(rows + k) + 2 * j + c;
    return Row(rows) + c * (pitch / 2) * ((rows + 1) / 2) + k * (pitch / 2) + j;
  }
  void Set(int32_t x, int32_t y, int level) {
    uint8_t* p = Row(y);
    const uint8_t l = uint8_t(level), c = x % 2 ? kCr : kCb;
    const uint16_t l16 = uint16_t(level * 257);
    const float lf = float(level) / 255.0f;
    if (format == VENDRIX_PIXFMT_BGR8) std::memset(p + 3 * x, l, 3);
    else if (format == VENDRIX_PIXFMT_UYVY8) p[2 * x] = c, p[2 * x + 1] = l;
    else if (format == VENDRIX_PIXFMT_YUYV8) p[2 * x] = l, p[2 * x + 1] = c;
    else if (Planar(format)) p[x] = l, *Chroma(y / 2, x / 2, 0) = kCb, *Chroma(y / 2, x / 2, 1) = kCr;
    else
      for (int k = 0; k < 4; ++k)
        std::memcpy(p + x * bpp + k * bpp / 4, bpp == 4 ? static_cast<const void*>(&l) : bpp == 8 ? static_cast<const void*>(&l16) : &lf, bpp / 4);
  }
  template <class Fn>
  void Paint(Fn level) {
    for (int32_t y = 0; y < rows; ++y)
      for (int32_t x = 0; x < width; ++x) Set(x, y, level(x, y));
  }
  // The grey level at (x, y) from colour channel 1 (its high byte) or luma; -1 when the chroma is not
  // the constant one.
  int Level(int32_t x, int32_t y) {
    const uint8_t* p = Row(y);
    const uint8_t c = x % 2 ? kCr : kCb;
    if (format == VENDRIX_PIXFMT_BGR8) return p[3 * x + 1];
    if (format == VENDRIX_PIXFMT_UYVY8) return p[2 * x] == c ? p[2 * x + 1] : -1;
    if (format == VENDRIX_PIXFMT_YUYV8) return p[2 * x + 1] == c ? p[2 * x] : -1;
    if (Planar(format)) return *Chroma(y / 2, x / 2, 0) == kCb && *Chroma(y / 2, x / 2, 1) == kCr ? p[x] : -1;
    if (bpp != 16) return p[x * bpp + 2 * (bpp / 4) - 1];
    float v;
    std::memcpy(&v, p + 16 * x + 4, 4);
    return int(v * 255.0f + 0.5f);
  }
  bool PixelIs(int32_t x, int32_t y, const uint8_t (&bgra)[4]) { return std::memcmp(Row(y) + 4 * x, bgra, 4) == 0; }
};

TexMapDefD MakeDef(HostImage& src, HostImage& out) {
  TexMapDefD d;
  std::memset(&d, 0, sizeof(d));
  d.version = VENDRIX_TEXMAP_D_VERSION;
  d.pixelFormat = src.format;
  d.srcRect = {0, 0, src.width * kOne, src.rows * kOne}, d.srcPitch = src.pitch, d.srcRows = src.rows, d.srcBuffer = src.Row(0);
  d.outRect = {0, 0, out.width * kOne, out.rows * kOne}, d.outPitch = out.pitch, d.outRows = out.rows, d.outBuffer = out.Row(0);
  d.visibleRect = {0, 0, out.width * kOne, out.rows * kOne};
  return d;
}

// Corners pushed out by `px` pixels (a zoom that covers the output) and turned slightly by `tilt`.
void Warp(TexMapDefD* d, int32_t px, int32_t tilt = 0) {
  const int32_t a = px * kOne;
  const int32_t dx[4] = {-a, a, a, -a}, dy[4] = {-a - tilt, -a + tilt, a + tilt, a - tilt};
  for (int k = 0; k < 4; ++k) d->cornerShift[k] = {dx[k], dy[k]};
}

// A definition whose quad is flat (draws nothing), so that only the finishing steps show.
TexMapDefD FlatDef(HostImage& src, HostImage& out, uint32_t flags) {
  TexMapDefD d = MakeDef(src, out);
  d.cornerShift[2].y = d.cornerShift[3].y = -out.rows * kOne + kOne;  // y = 0 after the pull-in
  d.mapFlags = flags;
  return d;
}

class RenderTest : public vendrix::testing::LiveBlocksTest {
 protected:
  void TearDown() override {
    ReleaseRenderScratch();
    LiveBlocksTest::TearDown();
  }
};

// ---- Pixel formats ------------------------------------------------------------------------------------

class EveryFormat : public RenderTest, public ::testing::WithParamInterface<uint32_t> {};

TEST_P(EveryFormat, KeepsAConstantImageConstant) {
  const uint32_t f = GetParam();
  // A constant grey under a zoom with a slight turn, plain and with edge extension (half the codes
  // bottom-up): the same grey and chroma everywhere but, with edge extension, in the bottom-right
  // corner unit (a pixel pair in 4:2:2, whose 4:2:0 chroma is shared with the row above).
  for (uint32_t flags : {0u, unsigned{VENDRIX_MAP_EDGE_EXTEND}}) {
    HostImage src(f, 40, 30), out(f, 36, 26, f % 2 == 0);
    src.Paint([](int32_t, int32_t) { return 77; });
    TexMapDefD d = MakeDef(src, out);
    d.mapFlags = flags;
    if (flags) d.visibleRect = {3 * kOne, 2 * kOne, 30 * kOne, 20 * kOne};
    Warp(&d, 2, kOne / 3);
    TexMapD(&d);
    ASSERT_TRUE(out.GuardsIntact());
    for (int32_t y = 0; y < 26; ++y)
      for (int32_t x = 0; x < 36; ++x)
        ASSERT_TRUE((flags && x >= 34 && y >= 24) || out.Level(x, y) == 77) << "flags " << flags << " at " << x << "," << y << ": " << out.Level(x, y);
  }
}

INSTANTIATE_TEST_SUITE_P(RenderTest, EveryFormat, ::testing::ValuesIn(kAllFormats));

TEST_F(RenderTest, InPlaceEqualsOutOfPlace) {
  std::mt19937 rng(9);
  for (uint32_t f : {VENDRIX_PIXFMT_NV12, VENDRIX_PIXFMT_YUV420P}) {
    HostImage src(f, 40, 24), out(f, 40, 24), same(f, 40, 24);
    src.Randomise(rng);
    out.mem = same.mem = src.mem;
    TexMapDefD d = MakeDef(src, out);
    Warp(&d, 3, kOne);
    d.mapFlags = VENDRIX_MAP_EDGE_EXTEND;
    d.visibleRect = {2 * kOne, 3 * kOne, 30 * kOne, 20 * kOne};
    TexMapD(&d);
    d.srcBuffer = d.outBuffer = same.Row(0);
    d.mapFlags |= VENDRIX_MAP_IN_PLACE;
    TexMapD(&d);
    ASSERT_EQ(out.mem, same.mem) << f;
  }
}

TEST_F(RenderTest, PackedColumnsRoundToWholePairs) {
  // Visible x from 3.0 to 7.5: columns 4 and 5 are drawn, nothing else.
  HostImage src(VENDRIX_PIXFMT_YUYV8, 16, 8), out(VENDRIX_PIXFMT_YUYV8, 16, 8, false, 0x11);
  src.Paint([](int32_t, int32_t) { return 200; });
  TexMapDefD d = MakeDef(src, out);
  d.visibleRect = {3 * kOne, 0, 7 * kOne + kOne / 2, 6 * kOne};
  TexMapD(&d);
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 16; ++x) {
      const bool drawn = y < 6 && (x == 4 || x == 5);
      ASSERT_TRUE(drawn == (out.Row(y)[2 * x] == 200) && drawn == (out.Row(y)[2 * x + 1] != 0x11)) << x << "," << y;
    }
}

// ---- Finishing ------------------------------------------------------------------------------------------

TEST_F(RenderTest, BorderThicknessFollowsTheWidth) {
  for (auto [width, thickness] : {std::pair{799, 12}, std::pair{800, 20}, std::pair{1400, 32}}) {
    HostImage src(VENDRIX_PIXFMT_BGRA8, 8, 8), out(VENDRIX_PIXFMT_BGRA8, width, 80, false, 0x11);
    TexMapDefD d = FlatDef(src, out, VENDRIX_MAP_BORDER_SET);
    TexMapD(&d);
    EXPECT_TRUE(out.PixelIs(thickness - 1, 40, kRed) && out.PixelIs(width - thickness, 40, kRed)) << width;
    EXPECT_TRUE(out.PixelIs(400, thickness - 1, kRed)) << width;
    EXPECT_TRUE(out.Row(40)[4 * thickness] == 0x11 && out.Row(thickness)[4 * 400] == 0x11) << width;
  }
}

// ---- Bad input and failures ----------------------------------------------------------------------------

TEST_F(RenderTest, UnusableDefinitionsWriteNothing) {
  constexpr uint32_t kUnknownCode = 99;
  HostImage src(VENDRIX_PIXFMT_BGRA8, 16, 8), out(VENDRIX_PIXFMT_BGRA8, 16, 8, false, 0x11);
  const std::vector<uint8_t> before = out.mem;
  const std::function<void(TexMapDefD&)> spoil[] = {
      [](TexMapDefD& d) { d.version = VENDRIX_TEXMAP_A_VERSION; },  [](TexMapDefD& d) { d.pixelFormat = VENDRIX_PIXFMT_V210; },
      [](TexMapDefD& d) { d.pixelFormat = VENDRIX_PIXFMT_UYVY16; }, [](TexMapDefD& d) { d.pixelFormat = kUnknownCode; },
      [](TexMapDefD& d) { d.srcBuffer = nullptr; },                 [](TexMapDefD& d) { d.outBuffer = nullptr; },
      [](TexMapDefD& d) { d.outRect.w = -16 * kOne; },              [](TexMapDefD& d) { d.srcRect.w = kOne - 1; },
      [](TexMapDefD& d) { d.outPitch = 60; },                       [](TexMapDefD& d) { d.srcPitch = 0; },
      [](TexMapDefD& d) { d.outRows = 7; },                         [](TexMapDefD& d) { d.fieldFlags = VENDRIX_TEXFIELD_FIELDS, d.srcRows = 1; },
  };
  for (size_t i = 0; i < std::size(spoil); ++i) {
    TexMapDefD d = MakeDef(src, out);
    spoil[i](d);
    TexMapD(&d);
    ASSERT_EQ(before, out.mem) << i;
  }
  TexMapD(nullptr);
  TexMapDefA a;
  std::memset(&a, 0, sizeof(a));
  TexMap(&a);  // version 0
}

TEST_F(RenderTest, RowsBeyondTwoGigabytesAreAddressedWide) {
  // Three output rows 1 GiB apart (and bottom-up): offsets past 2^31 must not wrap.
  const size_t pitch = size_t{1} << 30, length = 2 * pitch + 8192;
  void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(MAP_FAILED, map);
  auto* base = static_cast<uint8_t*>(map);
  HostImage src(VENDRIX_PIXFMT_BGRA8, 4, 3);
  src.Paint([](int32_t, int32_t y) { return 50 + 10 * y; });
  for (bool flipped : {false, true}) {
    TexMapDefD d = MakeDef(src, src);
    d.outBuffer = flipped ? base + 2 * pitch : base;
    d.outPitch = int32_t(flipped ? -int64_t(pitch) : int64_t(pitch));
    TexMapD(&d);
    EXPECT_EQ(70, (flipped ? base : base + 2 * pitch)[1]);  // last row: copy of row 1, which took source row 2
  }
  munmap(map, length);
}

}  // namespace
}  // namespace vendrix::texmap
