// TexMap / TexMapD: every pixel format end to end, the format paths through temporaries, banding,
// finishing steps, and a randomised bounds test of definitions into guarded buffers.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "support/warm_pools.h"
#include "concurrency/thread_pool.h"
#include "platform/debug.h"
#include "platform/heap.h"
#include "platform/system.h"
#include "texmap/quad_raster.h"
#include "texmap/render.h"
#include "texmap/render_internal.h"

namespace vendrix::texmap {
namespace {

constexpr int32_t kOne = 65536;
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;
constexpr uint8_t kCb = 90, kCr = 160;

bool Planar(uint32_t f) { return f == VENDRIX_PIXFMT_NV12 || f == VENDRIX_PIXFMT_YUV420P; }

// A host image with guard bytes around it. `rows` luma rows (plus the chroma planes of 12 and 24).
struct HostImage {
  uint32_t format;
  int32_t width, rows, pitch;
  std::vector<uint8_t> mem;
  size_t offset;

  HostImage(uint32_t f, int32_t w, int32_t h, bool flipped = false, uint8_t fill = 0)
      : format(f), width(w), rows(h), pitch(static_cast<int32_t>(RowBytes(f, w)) + 16) {  // padded, whole units
    const int64_t mem_rows = h + (Planar(f) ? (h + 1) / 2 + 1 : 0);
    mem.assign(2 * kGuard + static_cast<size_t>(pitch * mem_rows), fill);
    std::fill(mem.begin(), mem.begin() + kGuard, kGuardByte);
    std::fill(mem.end() - kGuard, mem.end(), kGuardByte);
    offset = kGuard + (flipped ? static_cast<size_t>(pitch * (mem_rows - 1)) : 0);
    if (flipped) pitch = -pitch;
  }
  uint8_t* Row(int64_t y) { return mem.data() + offset + y * pitch; }
  // Chroma of row pair k: (Cb, Cr) addresses of pixel pair j.
  uint8_t* Cb(int64_t k, int64_t j) {
    if (format == VENDRIX_PIXFMT_NV12) return Row(rows + k) + 2 * j;
    return Row(rows) + k * (pitch / 2) + j;
  }
  uint8_t* Cr(int64_t k, int64_t j) {
    if (format == VENDRIX_PIXFMT_NV12) return Row(rows + k) + 2 * j + 1;
    return Row(rows) + (pitch / 2) * ((rows + 1) / 2) + k * (pitch / 2) + j;
  }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (mem[i] != kGuardByte || mem[mem.size() - 1 - i] != kGuardByte) return false;
    return true;
  }

  // Writes a grey level (all colour channels, or luma with constant chroma).
  void Set(int32_t x, int32_t y, int level) {
    uint8_t* p = Row(y);
    const auto l = static_cast<uint8_t>(level);
    switch (format) {
      case VENDRIX_PIXFMT_BGR8: std::memset(p + 3 * x, l, 3); break;
      case VENDRIX_PIXFMT_UYVY8: p[2 * x] = x % 2 ? kCr : kCb, p[2 * x + 1] = l; break;
      case VENDRIX_PIXFMT_YUYV8: p[2 * x] = l, p[2 * x + 1] = x % 2 ? kCr : kCb; break;
      case VENDRIX_PIXFMT_NV12:
      case VENDRIX_PIXFMT_YUV420P: p[x] = l, *Cb(y / 2, x / 2) = kCb, *Cr(y / 2, x / 2) = kCr; break;
      default: {
        const int32_t bpp = static_cast<int32_t>(RowBytes(format, 1));
        for (int k = 0; k < 4; ++k) {
          if (bpp == 4) p[4 * x + k] = l;
          if (bpp == 8) {
            const auto v = static_cast<uint16_t>(level * 257);
            std::memcpy(p + 8 * x + 2 * k, &v, 2);
          }
          if (bpp == 16) {
            const float v = static_cast<float>(level) / 255.0f;
            std::memcpy(p + 16 * x + 4 * k, &v, 4);
          }
        }
      }
    }
  }
  // The grey level at (x, y); -1 when the chroma is not the constant one.
  int Level(int32_t x, int32_t y) {
    uint8_t* p = Row(y);
    switch (format) {
      case VENDRIX_PIXFMT_BGR8: return p[3 * x + 1];
      case VENDRIX_PIXFMT_UYVY8: return p[2 * x] == (x % 2 ? kCr : kCb) ? p[2 * x + 1] : -1;
      case VENDRIX_PIXFMT_YUYV8: return p[2 * x + 1] == (x % 2 ? kCr : kCb) ? p[2 * x] : -1;
      case VENDRIX_PIXFMT_NV12:
      case VENDRIX_PIXFMT_YUV420P: return *Cb(y / 2, x / 2) == kCb && *Cr(y / 2, x / 2) == kCr ? p[x] : -1;
      default: {
        const int32_t bpp = static_cast<int32_t>(RowBytes(format, 1));
        if (bpp == 4) return p[4 * x + 1];
        if (bpp == 8) return p[8 * x + 3];
        float v;
        std::memcpy(&v, p + 16 * x + 4, 4);
        return static_cast<int>(v * 255.0f + 0.5f);
      }
    }
  }
};

TexMapDefD MakeDef(HostImage& src, HostImage& out, int32_t sw, int32_t sh, int32_t ow, int32_t oh) {
  TexMapDefD d;
  std::memset(&d, 0, sizeof(d));
  d.version = VENDRIX_TEXMAP_D_VERSION;
  d.pixelFormat = src.format;
  d.srcRect = {0, 0, sw * kOne, sh * kOne};
  d.srcPitch = src.pitch;
  d.srcRows = src.rows;
  d.srcBuffer = src.Row(0);
  d.outRect = {0, 0, ow * kOne, oh * kOne};
  d.outPitch = out.pitch;
  d.outRows = out.rows;
  d.outBuffer = out.Row(0);
  d.visibleRect = {0, 0, ow * kOne, oh * kOne};
  return d;
}

// Corners pushed out by `px` pixels (a zoom that covers the output) and turned slightly by `tilt`.
void Warp(TexMapDefD* d, int32_t px, int32_t tilt = 0) {
  const int32_t a = px * kOne;
  const int32_t dx[4] = {-a, a, a, -a}, dy[4] = {-a - tilt, -a + tilt, a + tilt, a - tilt};
  for (int k = 0; k < 4; ++k) d->cornerShift[k] = {dx[k], dy[k]};
}

const uint32_t kAllFormats[] = {1, 2, 8, 9, 10, 11, 12, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24};

class RenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vendrix::testing::WarmPools();
    live_ = platform::HeapLiveBlocks();
  }
  void TearDown() override {
    concurrency::PoolService()->SetMultithreaded(true);
    platform::SetProcessorCountOverride(0);
    ReleaseRenderScratch();
    EXPECT_EQ(live_, platform::HeapLiveBlocks());
  }
  int64_t live_ = 0;
};

// ---- Pixel formats ------------------------------------------------------------------------------------

TEST_F(RenderTest, EveryFormatKeepsAConstantImageConstant) {
  for (uint32_t f : kAllFormats) {
    for (uint32_t flags : {0u, unsigned{VENDRIX_MAP_EDGE_EXTEND}}) {
      HostImage src(f, 40, 30), out(f, 36, 26, f % 2 == 0);
      for (int32_t y = 0; y < 30; ++y)
        for (int32_t x = 0; x < 40; ++x) src.Set(x, y, 77);
      TexMapDefD d = MakeDef(src, out, 40, 30, 36, 26);
      d.mapFlags = flags;
      if (flags) d.visibleRect = {3 * kOne, 2 * kOne, 30 * kOne, 20 * kOne};
      Warp(&d, 2, kOne / 3);
      TexMapD(&d);
      ASSERT_TRUE(out.GuardsIntact()) << f;
      // (Edge extension leaves the bottom-right corner unit - a pixel pair in 4:2:2 - as it was, and
      // 4:2:0 shares its chroma with the row above.)
      for (int32_t y = 0; y < 26; ++y)
        for (int32_t x = 0; x < 36; ++x)
          if (!flags || x < 34 || y < 24) {
            ASSERT_EQ(77, out.Level(x, y)) << "format " << f << " flags " << flags << " at " << x << "," << y;
          }
    }
  }
}

TEST_F(RenderTest, EveryFormatKeepsAGradientAGradient) {
  for (uint32_t f : kAllFormats) {
    HostImage src(f, 64, 20), out(f, 50, 16);
    for (int32_t y = 0; y < 20; ++y)
      for (int32_t x = 0; x < 64; ++x) src.Set(x, y, 10 + 3 * x);
    TexMapDefD d = MakeDef(src, out, 64, 20, 50, 16);
    Warp(&d, 1);
    TexMapD(&d);
    ASSERT_TRUE(out.GuardsIntact());
    for (int32_t y = 0; y < 16; ++y) {
      // (The last column - for packed 4:2:2 the last pixel pair - is a copy of the one before.)
      for (int32_t x = 1; x < 48; ++x) ASSERT_LE(out.Level(x - 1, y), out.Level(x, y)) << f << " at " << x << "," << y;
      ASSERT_GT(out.Level(48, y), out.Level(0, y) + 100) << f;
    }
  }
}

TEST_F(RenderTest, IdentityDefinitionCopiesTheLowerRightNeighbourAndTheLastRowAndColumn) {
  std::mt19937 rng(7);
  HostImage src(VENDRIX_PIXFMT_BGRA8, 24, 12), out(VENDRIX_PIXFMT_BGRA8, 24, 12);
  for (int32_t y = 0; y < 12; ++y)
    for (int32_t x = 0; x < 24 * 4; ++x) src.Row(y)[x] = static_cast<uint8_t>(rng());
  TexMapDefA a;
  std::memset(&a, 0, sizeof(a));
  const TexMapDefD d = MakeDef(src, out, 24, 12, 24, 12);
  a.version = VENDRIX_TEXMAP_A_VERSION;
  a.pixelFormat = d.pixelFormat;
  a.srcRect = d.srcRect, a.srcPitch = d.srcPitch, a.srcRows = d.srcRows, a.srcBuffer = d.srcBuffer;
  a.outRect = d.outRect, a.outPitch = d.outPitch, a.outRows = d.outRows, a.outBuffer = d.outBuffer;
  a.visibleRect = d.visibleRect;
  TexMap(&a);
  ASSERT_TRUE(out.GuardsIntact());
  for (int32_t r = 0; r < 12; ++r)
    for (int32_t c = 0; c < 24; ++c) {
      const int32_t sc = std::min(c, 22) + 1, sr = std::min(r, 10) + 1;
      ASSERT_EQ(0, std::memcmp(out.Row(r) + 4 * c, src.Row(sr) + 4 * sc, 4)) << c << "," << r;
    }
}

TEST_F(RenderTest, PlanarLayoutsRenderAlike) {
  // The same picture as NV12 and as three planes, odd sizes, bottom-up output: the same pixels.
  std::mt19937 rng(8);
  HostImage s12(12, 33, 21), s24(24, 33, 21), o12(12, 29, 19, true), o24(24, 29, 19, true);
  for (int32_t y = 0; y < 21; ++y)
    for (int32_t x = 0; x < 33; ++x) s12.Row(y)[x] = s24.Row(y)[x] = static_cast<uint8_t>(rng());
  for (int32_t k = 0; k < 11; ++k)
    for (int32_t j = 0; j < 17; ++j) {
      *s12.Cb(k, j) = *s24.Cb(k, j) = static_cast<uint8_t>(rng());
      *s12.Cr(k, j) = *s24.Cr(k, j) = static_cast<uint8_t>(rng());
    }
  for (auto* img : {&o12, &o24})
    for (int32_t y = 0; y < 19; ++y) std::memset(img->Row(y), 7, 29);
  TexMapDefD d12 = MakeDef(s12, o12, 33, 21, 29, 19), d24 = MakeDef(s24, o24, 33, 21, 29, 19);
  for (TexMapDefD* d : {&d12, &d24}) {
    Warp(d, 2, kOne);
    d->visibleRect = {kOne, kOne, 27 * kOne, 18 * kOne};
  }
  TexMapD(&d12);
  TexMapD(&d24);
  ASSERT_TRUE(o12.GuardsIntact() && o24.GuardsIntact());
  for (int32_t y = 0; y < 19; ++y) ASSERT_EQ(0, std::memcmp(o12.Row(y), o24.Row(y), 29)) << y;
  for (int32_t k = 0; k < 10; ++k)
    for (int32_t j = 0; j < 15; ++j) {
      ASSERT_EQ(*o12.Cb(k, j), *o24.Cb(k, j));
      ASSERT_EQ(*o12.Cr(k, j), *o24.Cr(k, j));
    }
}

TEST_F(RenderTest, InPlaceEqualsOutOfPlace) {
  std::mt19937 rng(9);
  for (uint32_t f : {1u, 8u, 11u, 15u, 10u, 12u, 24u}) {
    HostImage src(f, 40, 24), out(f, 40, 24), same(f, 40, 24);
    for (auto& b : src.mem) b = static_cast<uint8_t>(rng());
    std::fill(src.mem.begin(), src.mem.begin() + kGuard, kGuardByte);
    std::fill(src.mem.end() - kGuard, src.mem.end(), kGuardByte);
    out.mem = same.mem = src.mem;
    TexMapDefD d = MakeDef(src, out, 40, 24, 40, 24);
    Warp(&d, 3, kOne);
    d.mapFlags = VENDRIX_MAP_EDGE_EXTEND;
    d.visibleRect = {2 * kOne, 3 * kOne, 30 * kOne, 20 * kOne};
    TexMapD(&d);
    d.srcBuffer = same.Row(0);
    d.outBuffer = same.Row(0);
    d.mapFlags |= VENDRIX_MAP_IN_PLACE;
    TexMapD(&d);
    ASSERT_EQ(out.mem, same.mem) << f;
  }
}

TEST_F(RenderTest, PackedColumnsRoundToWholePairs) {
  // Visible x from 3.0 to 7.5: columns 4 and 5 are drawn, nothing else.
  HostImage src(10, 16, 8), out(10, 16, 8, false, 0x11);
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 16; ++x) src.Set(x, y, 200);
  TexMapDefD d = MakeDef(src, out, 16, 8, 16, 8);
  d.visibleRect = {3 * kOne, 0, 7 * kOne + kOne / 2, 6 * kOne};
  TexMapD(&d);
  for (int32_t y = 0; y < 8; ++y)
    for (int32_t x = 0; x < 16; ++x) {
      const bool drawn = y < 6 && (x == 4 || x == 5);
      EXPECT_EQ(drawn, out.Row(y)[2 * x] == 200) << x << "," << y;
      EXPECT_EQ(drawn, out.Row(y)[2 * x + 1] != 0x11) << x << "," << y;
    }
}

// ---- Geometry of the definition -------------------------------------------------------------------------

TEST_F(RenderTest, QuarterTurnsRotateTheOutputQuadAndTheVisibleRect) {
  HostImage src(1, 32, 32), out(1, 32, 32, false, 0x11);
  for (int32_t y = 0; y < 32; ++y)
    for (int32_t x = 0; x < 32; ++x) src.Set(x, y, 20 + 6 * x);
  TexMapDefD d = MakeDef(src, out, 32, 32, 32, 32);
  d.rotation = 1;  // source x runs down the output
  TexMapD(&d);
  for (int32_t x = 4; x < 28; ++x)
    for (int32_t y = 1; y < 31; ++y) ASSERT_LE(out.Level(x, y - 1), out.Level(x, y)) << x << "," << y;
  EXPECT_GT(out.Level(16, 28) - out.Level(16, 3), 100);
  EXPECT_LT(std::abs(out.Level(28, 16) - out.Level(3, 16)), 12);
  // Half a turn with the left half visible draws into the right half only.
  HostImage out2(1, 32, 32, false, 0x11);
  d.outBuffer = out2.Row(0);
  d.rotation = 6;  // low two bits: 2
  d.visibleRect = {0, 0, 16 * kOne, 32 * kOne};
  TexMapD(&d);
  for (int32_t y = 0; y < 31; ++y)
    for (int32_t x = 0; x < 31; ++x) ASSERT_EQ(x < 16, out2.Level(x, y) == 0x11) << x << "," << y;
}

TEST_F(RenderTest, BandMeshWithoutShiftsIsOneStripAndWithShiftsBends) {
  std::mt19937 rng(10);
  HostImage src(1, 64, 64), plain(1, 64, 64), mesh(1, 64, 64), bent(1, 64, 64);
  for (int32_t y = 0; y < 64; ++y)
    for (int32_t x = 0; x < 64; ++x) src.Set(x, y, static_cast<int>(rng() % 256));
  TexMapDefD d = MakeDef(src, plain, 64, 64, 64, 64);
  Warp(&d, 2, kOne);
  TexMapD(&d);
  d.mapFlags = VENDRIX_MAP_BAND_MESH;
  d.outBuffer = mesh.Row(0);
  TexMapD(&d);
  EXPECT_EQ(plain.mem, mesh.mem);
  for (int k = 0; k < 32; ++k) d.bandShift[k] = {(k % 5) * kOne / 2, 0};
  d.outBuffer = bent.Row(0);
  TexMapD(&d);
  EXPECT_TRUE(bent.GuardsIntact());
  EXPECT_NE(plain.mem, bent.mem);
}

// ---- Banding ---------------------------------------------------------------------------------------------

TEST_F(RenderTest, BandsAreCutFromTenThousandPixels) {
  EXPECT_FALSE(PlanBands({0, 0, 99 * kOne, 100 * kOne}, 8).pooled);
  EXPECT_FALSE(PlanBands({0, 0, 400 * kOne, 400 * kOne}, 1).pooled);
  const BandPlan two = PlanBands({kOne / 2, kOne / 4, 100 * kOne + kOne / 2, 101 * kOne + 5}, 2);
  ASSERT_TRUE(two.pooled);
  ASSERT_EQ(2, two.count);
  EXPECT_EQ(kOne / 4, two.bands[0].y0);
  EXPECT_EQ(two.bands[0].y1, two.bands[1].y0);
  EXPECT_EQ(0, two.bands[0].y1 % kOne);
  EXPECT_EQ(101 * kOne + 5, two.bands[1].y1);
  const BandPlan many = PlanBands({0, 0, 1920 * kOne, 1080 * kOne}, 32);
  EXPECT_EQ(kMaxBandThreads, many.count);
  EXPECT_EQ(1080 / 8 * kOne, many.bands[1].y0);
}

TEST_F(RenderTest, BandedAndSingleThreadedRendersAreIdentical) {
  {
    std::mt19937 rng(11);
    for (uint32_t f : {1u, 10u, 24u, 20u}) {
      HostImage src(f, 300, 200), single(f, 300, 200), banded(f, 300, 200);
      for (auto& b : src.mem) b = static_cast<uint8_t>(rng());
      std::fill(src.mem.begin(), src.mem.begin() + kGuard, kGuardByte);
      std::fill(src.mem.end() - kGuard, src.mem.end(), kGuardByte);
      TexMapDefD d = MakeDef(src, single, 300, 200, 300, 200);
      Warp(&d, 9, 7 * kOne);
      d.mapFlags = VENDRIX_MAP_FILL | VENDRIX_MAP_FILL_MARGINS;
      concurrency::PoolService()->SetMultithreaded(false);
      TexMapD(&d);
      concurrency::PoolService()->SetMultithreaded(true);
      platform::SetProcessorCountOverride(8);
      d.outBuffer = banded.Row(0);
      TexMapD(&d);
      platform::SetProcessorCountOverride(0);
      ASSERT_EQ(single.mem, banded.mem) << f;
    }
  }
}

// ---- Finishing ------------------------------------------------------------------------------------------

// A definition whose quad is flat (draws nothing), so that only the finishing steps show.
TexMapDefD FlatDef(HostImage& src, HostImage& out) {
  TexMapDefD d = MakeDef(src, out, src.width, src.rows, out.width, out.rows);
  d.cornerShift[2].y = d.cornerShift[3].y = -out.rows * kOne + kOne;  // y = 0 after the pull-in
  return d;
}

TEST_F(RenderTest, FillAndMarginFill) {
  HostImage src(1, 20, 12), out(1, 20, 12, false, 0x11);
  TexMapDefD d = FlatDef(src, out);
  d.mapFlags = VENDRIX_MAP_FILL | VENDRIX_MAP_FILL_MARGINS;
  TexMapD(&d);
  const uint8_t black[4] = {0, 0, 0, 0xFF};
  for (int32_t y = 0; y < 12; ++y)
    for (int32_t x = 0; x < 20; ++x) {
      const bool margin = x < 1 || x >= 18 || y < 1 || y >= 10;
      ASSERT_EQ(margin, std::memcmp(out.Row(y) + 4 * x, black, 4) == 0) << x << "," << y;
    }
  // Margins too wide to be margins, and a plain fill: everything.
  for (uint32_t flags : {VENDRIX_MAP_FILL | VENDRIX_MAP_FILL_MARGINS, unsigned{VENDRIX_MAP_FILL}}) {
    HostImage all(1, 20, 12, false, 0x11);
    d.outBuffer = all.Row(0);
    d.mapFlags = flags;
    d.visibleRect = {10 * kOne, 6 * kOne, 10 * kOne, 6 * kOne};
    TexMapD(&d);
    for (int32_t y = 0; y < 12; ++y)
      for (int32_t x = 0; x < 20; ++x) ASSERT_EQ(0, std::memcmp(all.Row(y) + 4 * x, black, 4));
  }
}

TEST_F(RenderTest, BorderThicknessFollowsTheWidth) {
  const std::pair<int32_t, int32_t> cases[] = {{799, 12}, {800, 20}, {1400, 32}};
  for (auto [width, thickness] : cases) {
    HostImage src(1, 8, 8), out(1, width, 80, false, 0x11);
    TexMapDefD d = FlatDef(src, out);
    d.mapFlags = VENDRIX_MAP_BORDER_SET;
    TexMapD(&d);
    const uint8_t red[4] = {0, 0, 0xFF, 0xFF};
    for (int32_t x : {thickness - 1, width - thickness})
      EXPECT_EQ(0, std::memcmp(out.Row(40) + 4 * x, red, 4)) << width;
    EXPECT_EQ(0x11, out.Row(40)[4 * thickness]) << width;
    EXPECT_EQ(0x11, out.Row(thickness)[4 * 400]) << width;
    EXPECT_EQ(0, std::memcmp(out.Row(thickness - 1) + 4 * 400, red, 4)) << width;
  }
}

TEST_F(RenderTest, EdgeExtensionCoversEverythingOutsideTheVisibleRect) {
  for (uint32_t f : {1u, 10u}) {
    for (FxBox visible : {FxBox{5 * kOne, 4 * kOne, 20 * kOne, 14 * kOne}, FxBox{9 * kOne, 9 * kOne, 9 * kOne, 9 * kOne}}) {
      HostImage src(f, 8, 8), out(f, 30, 20, false, 0x11);
      for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x < 30; ++x)
          if (x >= 6 && x < 19 && y >= 5 && y < 13) out.Set(x, y, 150);
      for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x < 30; ++x)
          if (visible.x0 == visible.x1 && (x >= 26 || y >= 16)) out.Set(x, y, 150);
      TexMapDefD d = FlatDef(src, out);
      d.mapFlags = VENDRIX_MAP_EDGE_EXTEND;
      d.visibleRect = {visible.x0, visible.y0, visible.x1, visible.y1};
      TexMapD(&d);
      ASSERT_TRUE(out.GuardsIntact());
      for (int32_t y = 0; y < 20; ++y)
        for (int32_t x = 0; x < 30; ++x)
          if (x < 28 || y < 19) {  // corner: unchanged
            ASSERT_EQ(150, out.Level(x, y)) << f << " at " << x << "," << y;
          }
    }
  }
}

TEST_F(RenderTest, SplitViewGridAndDivider) {
  std::mt19937 rng(12);
  HostImage src(1, 60, 30), out(1, 60, 30, false, 0x11);
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 60; ++x) src.Set(x, y, static_cast<int>(rng() % 200));
  TexMapDefD d = FlatDef(src, out);
  d.mapFlags = VENDRIX_MAP_SPLIT_LEFT | VENDRIX_MAP_GRID;
  TexMapD(&d);
  const uint8_t black[4] = {0, 0, 0, 0xFF}, white[4] = {0xFF, 0xFF, 0xFF, 0xFF};
  // Grid rows 2, 7, 12 ... (h = 5), columns 5, 15, 25 ... (g = 10), 2 wide.
  for (int32_t x : {0, 33, 59}) EXPECT_EQ(0, std::memcmp(out.Row(2) + 4 * x, white, 4));
  for (int32_t y : {0, 14, 29}) EXPECT_EQ(0, std::memcmp(out.Row(y) + 4 * 46, white, 4));
  // Divider: 4 pixels from column 28; left of it, away from the grid, the source.
  for (int32_t x = 28; x < 32; ++x) EXPECT_EQ(0, std::memcmp(out.Row(10) + 4 * x, black, 4));
  EXPECT_EQ(0, std::memcmp(out.Row(10) + 4 * 20, src.Row(10) + 4 * 20, 4));
  EXPECT_EQ(0x11, out.Row(10)[4 * 40]);
  EXPECT_EQ(0x11, out.Row(29)[4 * 20]);  // the copy stops one row short
}

// ---- Bad input and failures ----------------------------------------------------------------------------

TEST_F(RenderTest, UnusableDefinitionsWriteNothing) {
  HostImage src(1, 16, 8), out(1, 16, 8, false, 0x11);
  const std::vector<uint8_t> before = out.mem;
  const TexMapDefD good = MakeDef(src, out, 16, 8, 16, 8);
  std::vector<TexMapDefD> bad(12, good);
  bad[0].version = 2;
  bad[1].pixelFormat = 13;
  bad[2].pixelFormat = 3;
  bad[3].srcBuffer = nullptr;
  bad[4].outBuffer = nullptr;
  bad[5].outRect.w = -16 * kOne;
  bad[6].outPitch = 60;  // less than a row
  bad[7].srcPitch = 0;
  bad[8].outRows = 7;
  bad[9].srcRect.w = kOne - 1;
  bad[10].fieldFlags = VENDRIX_TEXFIELD_FIELDS, bad[10].srcRows = 1;
  bad[11].pixelFormat = 99;
  for (size_t i = 0; i < bad.size(); ++i) {
    TexMapD(&bad[i]);
    ASSERT_EQ(before, out.mem) << i;
  }
  TexMapD(nullptr);
  TexMapDefA a;
  std::memset(&a, 0, sizeof(a));
  TexMap(&a);  // version 0
}

std::vector<std::string> g_lines;
void Capture(const char* line) { g_lines.emplace_back(line); }

TEST_F(RenderTest, AllocationFailuresDrawNothingAndSayNothing) {
  g_lines.clear();
  const platform::DebugSink old = platform::SetDebugSink(Capture);
  for (uint32_t f : {1u, 2u, 24u}) {
    for (int nth = 1; nth <= 3; ++nth) {
      ReleaseRenderScratch();
      HostImage src(f, 16, 8), out(f, 16, 8, false, 0x11);
      const std::vector<uint8_t> before = out.mem;
      TexMapDefD d = MakeDef(src, out, 16, 8, 16, 8);
      platform::HeapFailAllocation(nth);
      TexMapD(&d);
      platform::HeapFailAllocation(0);
      if (nth == 1) {
        EXPECT_EQ(before, out.mem) << f;
      }
    }
  }
  platform::SetDebugSink(old);
  EXPECT_TRUE(g_lines.empty());
}

TEST_F(RenderTest, RowsBeyondTwoGigabytesAreAddressedWide) {
  // Three output rows 1 GiB apart (and bottom-up): offsets past 2^31 must not wrap.
  const size_t pitch = size_t{1} << 30, page = 4096, length = 2 * pitch + 2 * page;
  void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(MAP_FAILED, map);
  auto* base = static_cast<uint8_t*>(map);
  HostImage src(1, 4, 3);
  for (int32_t y = 0; y < 3; ++y)
    for (int32_t x = 0; x < 4; ++x) src.Set(x, y, 50 + 10 * y);
  for (bool flipped : {false, true}) {
    TexMapDefD d = MakeDef(src, src, 4, 3, 4, 3);
    d.outBuffer = flipped ? base + 2 * pitch : base;
    d.outPitch = static_cast<int32_t>(flipped ? -static_cast<int64_t>(pitch) : static_cast<int64_t>(pitch));
    Warp(&d, 0);
    TexMapD(&d);
    const uint8_t* row2 = flipped ? base : base + 2 * pitch;
    EXPECT_EQ(70, row2[1]);  // last row: copy of row 1, which took source row 2
  }
  munmap(map, length);
}

TEST_F(RenderTest, RandomDefinitionsNeverTouchMemoryOutsideTheirImages) {
  std::mt19937 rng(13);
  const int32_t extremes[] = {INT32_MIN, -kOne, 0, 1, kOne, 40 * kOne, INT32_MAX};
  auto value = [&](int32_t range) {
    const uint32_t pick = rng() % 8;
    if (pick == 0) return extremes[rng() % 7];
    if (pick == 1) return static_cast<int32_t>(rng());
    return static_cast<int32_t>(rng() % (2 * range + 1)) - range / 2;
  };
  const int iterations = 4000;
  int rendered = 0;
  for (int iter = 0; iter < iterations; ++iter) {
    const uint32_t f = rng() % 6 == 0 ? rng() % 30 : kAllFormats[rng() % 17];
    const uint32_t known = RowBytes(f, 1) ? f : 1u;
    const int32_t sw = 1 + static_cast<int32_t>(rng() % 24), sh = 1 + static_cast<int32_t>(rng() % 16);
    const int32_t ow = 1 + static_cast<int32_t>(rng() % 24), oh = 1 + static_cast<int32_t>(rng() % 16);
    HostImage src(known, sw, sh, rng() & 1, 0x5A), out(known, ow, oh, rng() & 1, 0x3C);
    TexMapDefD d = MakeDef(src, out, sw, sh, ow, oh);
    d.pixelFormat = f;
    d.fieldFlags = rng() % 3 == 0 ? rng() % 16 : 0;
    d.mapFlags = static_cast<uint32_t>(rng()) & 0x133F3u;
    d.rotation = rng() % 3 == 0 ? static_cast<uint32_t>(rng()) : 0;
    d.srcAspect = static_cast<float>(rng() % 400) / 100.0f;
    d.outAspect = static_cast<float>(rng() % 400) / 100.0f;
    if (rng() % 4 == 0) d.srcRect = {value(sw * kOne), value(sh * kOne), value(sw * kOne), value(sh * kOne)};
    if (rng() % 4 == 0) d.outRect.x = value(ow * kOne), d.outRect.y = value(oh * kOne);
    if (rng() % 8 == 0) d.outRect.w = value(ow * kOne);  // may claim more than the buffer: refused or smaller
    if (rng() % 8 == 0) d.srcPitch = value(std::abs(src.pitch) * 2);
    if (rng() % 8 == 0) d.outPitch = value(std::abs(out.pitch) * 2);
    if (rng() % 8 == 0) d.srcRows = value(sh * 2);
    if (rng() % 8 == 0) d.outRows = value(oh * 2);
    d.visibleRect = {value(ow * kOne), value(oh * kOne), value(ow * kOne), value(oh * kOne)};
    for (auto& c : d.cornerShift) c = {rng() % 3 ? value(8 * kOne) : 0, rng() % 3 ? value(8 * kOne) : 0};
    for (auto& b : d.bandShift) b = {rng() % 2 ? value(4 * kOne) : 0, rng() % 2 ? value(4 * kOne) : 0};
    // Claims beyond the real buffers are only allowed where the renderer must refuse them.
    const bool pitch_too_big = std::abs(int64_t{d.srcPitch}) > std::abs(int64_t{src.pitch}) ||
                               std::abs(int64_t{d.outPitch}) > std::abs(int64_t{out.pitch});
    const bool sign_flip = (int64_t{d.srcPitch} * src.pitch < 0) || (int64_t{d.outPitch} * out.pitch < 0);
    const bool rows_too_many = d.srcRows > sh || d.outRows > oh;
    const bool width_too_big = (d.srcRect.w >> 16) > sw || (d.outRect.w >> 16) > ow || (d.outRect.h >> 16) > oh;
    if (pitch_too_big || sign_flip || rows_too_many || width_too_big) continue;
    concurrency::PoolService()->SetMultithreaded(iter % 2 == 0);
    TexMapD(&d);
    ++rendered;
    ASSERT_TRUE(src.GuardsIntact()) << iter;
    ASSERT_TRUE(out.GuardsIntact()) << iter;
  }
  EXPECT_GT(rendered, iterations / 3);
}

}  // namespace
}  // namespace vendrix::texmap
