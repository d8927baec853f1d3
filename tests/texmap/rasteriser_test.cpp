// The quad rasteriser: geometry (identity mapping, clipping, flat and climbing quads, bands), and every
// span kernel (plain and AVX2) against a plain reference of the sampling formula, in guarded buffers.
#include <gtest/gtest.h>

#include <cmath>
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "platform/cpu.h"
#include "texmap/quad_raster.h"

namespace vendrix::texmap {
namespace {

constexpr int32_t kOne = 65536;
constexpr size_t kGuard = 64;
constexpr uint8_t kGuardByte = 0xA5;

// An image inside guard bytes; row 0 at the top (pitch > 0) or bottom (pitch < 0) of its rows.
struct Image {
  std::vector<uint8_t> mem;
  size_t offset = 0;
  int32_t pitch = 0;
  int32_t width = 0, rows = 0;

  Image(int32_t row_bytes, int32_t rows_, bool flipped, uint8_t fill = kGuardByte) : pitch(row_bytes), rows(rows_) {
    mem.assign(2 * kGuard + static_cast<size_t>(row_bytes) * rows_, fill);
    std::fill(mem.begin(), mem.begin() + kGuard, kGuardByte);
    std::fill(mem.end() - kGuard, mem.end(), kGuardByte);
    offset = kGuard + (flipped ? static_cast<size_t>(row_bytes) * (rows_ - 1) : 0);
    if (flipped) pitch = -pitch;
  }
  uint8_t* Row(int64_t y) { return mem.data() + offset + y * pitch; }
  bool GuardsIntact() const {
    for (size_t i = 0; i < kGuard; ++i)
      if (mem[i] != kGuardByte || mem[mem.size() - 1 - i] != kGuardByte) return false;
    return true;
  }
};

// A source exactly as large as its rows (no guard): ASan reports any read outside it.
struct Source {
  std::vector<uint8_t> mem;
  int32_t pitch, width, rows;
  const uint8_t* row0;

  Source(int32_t unit, int32_t width_, int32_t rows_, bool flipped, std::mt19937& rng)
      : pitch(unit * width_), width(width_), rows(rows_) {
    mem.resize(static_cast<size_t>(pitch) * rows);
    for (auto& b : mem) b = static_cast<uint8_t>(rng());
    row0 = mem.data() + (flipped ? static_cast<size_t>(pitch) * (rows - 1) : 0);
    if (flipped) pitch = -pitch;
  }
  QuadSource Quad() const { return {row0, pitch, width, rows}; }
};

// ---- Plain reference of the sampling formula ---------------------------------------------------------

// The bilinear sample written out plainly, with one addition, the clamp: coordinates limited to the
// last column and row, and a neighbour beyond them replaced by the unit itself (its weight is 0 there).
struct RefPos {
  const uint8_t *a, *b, *c, *d;
  int32_t fu, fv;  // 16-bit fractions
};
RefPos RefLocate(const QuadSource& s, int unit, int32_t u, int32_t v) {
  const int32_t uc = std::min(std::max(u, 0), (s.width - 1) * kOne);
  const int32_t vc = std::min(std::max(v, 0), (s.rows - 1) * kOne);
  const int32_t x = uc >> 16, y = vc >> 16;
  const int32_t x1 = std::min(x + 1, s.width - 1), y1 = std::min(y + 1, s.rows - 1);
  const int64_t p = (s.pitch / unit) * unit;
  auto at = [&](int32_t cx, int32_t cy) { return static_cast<const uint8_t*>(s.buffer) + cy * p + cx * unit; };
  return {at(x, y), at(x1, y), at(x, y1), at(x1, y1), uc & 0xFFFF, vc & 0xFFFF};
}

int32_t Ref8(int32_t a, int32_t b, int32_t c, int32_t d, int32_t fu, int32_t fv) {
  const int32_t fx = (fu >> 8) & 255, fy = (fv >> 8) & 255;
  const int32_t top = a * 256 + (b - a) * fx, bottom = c * 256 + (d - c) * fx;
  return (top * 256 + (bottom - top) * fy) >> 16;
}

enum class Layout { k4x8, k4x16, kF32, kLumaOdd, kLumaEven, kChromaEven, kChromaOdd };

int UnitOf(Layout l) {
  switch (l) {
    case Layout::k4x16: return 8;
    case Layout::kF32: return 16;
    case Layout::kLumaOdd:
    case Layout::kLumaEven: return 2;
    default: return 4;
  }
}

DrawQuadFn DrawOf(Layout l) {
  switch (l) {
    case Layout::k4x8: return DrawQuad4x8;
    case Layout::k4x16: return DrawQuad4x16;
    case Layout::kF32: return DrawQuad4xF32;
    case Layout::kLumaOdd: return DrawQuadLumaOdd;
    case Layout::kLumaEven: return DrawQuadLumaEven;
    case Layout::kChromaEven: return DrawQuadChromaEven;
    default: return DrawQuadChromaOdd;
  }
}

void RefPixel(Layout l, const QuadSource& s, int32_t u, int32_t v, uint8_t* o) {
  const RefPos p = RefLocate(s, UnitOf(l), u, v);
  switch (l) {
    case Layout::k4x8:
      for (int k = 0; k < 4; ++k) o[k] = static_cast<uint8_t>(Ref8(p.a[k], p.b[k], p.c[k], p.d[k], p.fu, p.fv));
      break;
    case Layout::k4x16:
      for (int k = 0; k < 4; ++k) {
        uint16_t a, b, c, d;
        std::memcpy(&a, p.a + 2 * k, 2), std::memcpy(&b, p.b + 2 * k, 2);
        std::memcpy(&c, p.c + 2 * k, 2), std::memcpy(&d, p.d + 2 * k, 2);
        const int64_t top = int64_t{a} * 65536 + (int64_t{b} - a) * p.fu;
        const int64_t bottom = int64_t{c} * 65536 + (int64_t{d} - c) * p.fu;
        const auto r = static_cast<uint16_t>((top * 65536 + (bottom - top) * p.fv) >> 32);
        std::memcpy(o + 2 * k, &r, 2);
      }
      break;
    case Layout::kF32:
      for (int k = 0; k < 4; ++k) {
        float a, b, c, d;
        std::memcpy(&a, p.a + 4 * k, 4), std::memcpy(&b, p.b + 4 * k, 4);
        std::memcpy(&c, p.c + 4 * k, 4), std::memcpy(&d, p.d + 4 * k, 4);
        const float fx = static_cast<float>(p.fu) * (1.0f / 65536.0f), fy = static_cast<float>(p.fv) * (1.0f / 65536.0f);
        const float top = (b - a) * fx + a, bottom = (d - c) * fx + c;
        const float r = (bottom - top) * fy + top;
        std::memcpy(o + 4 * k, &r, 4);
      }
      break;
    case Layout::kLumaOdd:
    case Layout::kLumaEven: {
      const int k = l == Layout::kLumaOdd ? 1 : 0;
      o[k] = static_cast<uint8_t>(Ref8(p.a[k], p.b[k], p.c[k], p.d[k], p.fu, p.fv));
      o[1 - k] = 128;
      break;
    }
    default:
      for (int k = l == Layout::kChromaOdd ? 1 : 0; k < 4; k += 2)
        o[k] = static_cast<uint8_t>(Ref8(p.a[k], p.b[k], p.c[k], p.d[k], p.fu, p.fv));
  }
}

// The reference drawing: the shared geometry with the reference span loop.
struct RefTarget {
  Layout layout;
  QuadSource src;
  uint8_t* row0;
  int64_t pitch;
};
void RefDraw(Layout l, const QuadSource& s, const Quad& q, uint8_t* row0, int32_t pitch, const FxBox& clip) {
  RefTarget t{l, s, row0, (pitch / UnitOf(l)) * UnitOf(l)};
  ScanQuad(
      q, clip,
      [](void* ctx, const QuadSpan& sp) {
        const RefTarget& tgt = *static_cast<RefTarget*>(ctx);
        const int unit = UnitOf(tgt.layout);
        for (int32_t j = 0; j < sp.count; ++j) {
          const int32_t u = Wrap32(int64_t{sp.u} + int64_t{j} * sp.du), v = Wrap32(int64_t{sp.v} + int64_t{j} * sp.dv);
          RefPixel(tgt.layout, tgt.src, u, v, tgt.row0 + sp.row * tgt.pitch + int64_t{sp.column + j} * unit);
        }
      },
      &t);
}

// A convex quad: a rectangle turned by `angle` and scaled about (cx, cy), corners jittered.
Quad RandomQuad(std::mt19937& rng, int32_t out_w, int32_t out_h, int32_t src_w, int32_t src_h, float reach,
                float turn = 0.6f) {
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  const float angle = (unit(rng) - 0.5f) * turn, scale = 0.6f + unit(rng) * reach;
  const float cx = out_w * unit(rng), cy = out_h * unit(rng);
  const float hw = out_w * scale / 2, hh = out_h * scale / 2;
  const float corners[4][2] = {{-hw, -hh}, {hw, -hh}, {hw, hh}, {-hw, hh}};
  Quad q;
  for (int k = 0; k < 4; ++k) {
    const float x = corners[k][0] * std::cos(angle) - corners[k][1] * std::sin(angle) + cx + unit(rng) * 2;
    const float y = corners[k][0] * std::sin(angle) + corners[k][1] * std::cos(angle) + cy + unit(rng) * 2;
    q.vert[k] = {static_cast<int32_t>(x * kOne), static_cast<int32_t>(y * kOne)};
  }
  // Texture corners a little beyond the source on some quads, so that the clamp is exercised.
  const float over = unit(rng) < 0.3f ? 3.0f : 0.0f;
  const float tx[4] = {-over, src_w + over, src_w + over, -over}, ty[4] = {-over, -over, src_h + over, src_h + over};
  for (int k = 0; k < 4; ++k) q.tex[k] = {static_cast<int32_t>(tx[k] * kOne), static_cast<int32_t>(ty[k] * kOne)};
  return q;
}

class RasteriserTest : public ::testing::Test {
 protected:
  void TearDown() override { platform::SetCpuFlagsMask((true) ? platform::kCpuAllFlags : 0u); }
};

// ---- Geometry -------------------------------------------------------------------------------------------

TEST_F(RasteriserTest, IdentityQuadTakesTheLowerRightNeighbour) {
  std::mt19937 rng(1);
  const int32_t w = 37, h = 11;
  Source src(4, w + 2, h + 2, false, rng);
  Image out(4 * w, h, false, 0);
  Quad q;
  const int32_t xs[4] = {0, w, w, 0}, ys[4] = {0, 0, h, h};
  for (int k = 0; k < 4; ++k) q.vert[k] = q.tex[k] = {xs[k] * kOne, ys[k] * kOne};
  DrawQuad4x8(src.Quad(), q, {out.Row(0), out.pitch}, FxBox{0, 0, w * kOne, h * kOne});
  ASSERT_TRUE(out.GuardsIntact());
  for (int32_t r = 0; r < h; ++r)
    for (int32_t c = 0; c < w; ++c)
      ASSERT_EQ(0, std::memcmp(out.Row(r) + 4 * c, src.row0 + (r + 1) * src.pitch + 4 * (c + 1), 4)) << c << "," << r;
}

// Draws a fixed quad and returns the bytes of the output (1 byte per pixel marks: luma layout).
std::vector<uint8_t> DrawMarks(const Quad& q, const FxBox& clip, int32_t w, int32_t h) {
  std::mt19937 rng(2);
  Source src(2, 64, 64, false, rng);
  Image out(2 * w, h, false, 0);
  DrawQuadLumaEven(src.Quad(), q, {out.Row(0), out.pitch}, clip);
  EXPECT_TRUE(out.GuardsIntact());
  return std::vector<uint8_t>(out.mem.begin() + kGuard, out.mem.end() - kGuard);
}

Quad Rect(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  Quad q;
  const int32_t xs[4] = {x0, x1, x1, x0}, ys[4] = {y0, y0, y1, y1};
  for (int k = 0; k < 4; ++k) q.vert[k] = q.tex[k] = {xs[k], ys[k]};
  return q;
}

bool AllZero(const std::vector<uint8_t>& v) {
  for (uint8_t b : v)
    if (b) return false;
  return true;
}

TEST_F(RasteriserTest, FlatClimbingAndOutsideQuadsDrawNothing) {
  const FxBox full{0, 0, 20 * kOne, 10 * kOne};
  Quad flat = Rect(2 * kOne, 3 * kOne, 15 * kOne, 3 * kOne);
  EXPECT_TRUE(AllZero(DrawMarks(flat, full, 20, 10)));
  EXPECT_TRUE(AllZero(DrawMarks(Rect(-30 * kOne, 0, -kOne, 8 * kOne), full, 20, 10)));     // left of the clip
  EXPECT_TRUE(AllZero(DrawMarks(Rect(2 * kOne, 11 * kOne, 9 * kOne, 30 * kOne), full, 20, 10)));  // below it
  EXPECT_TRUE(AllZero(DrawMarks(Rect(2 * kOne, 2 * kOne, 9 * kOne, 8 * kOne), FxBox{5 * kOne, 0, 5 * kOne, 10 * kOne}, 20, 10)));
  // From the top vertex the left walk passes vertex 3 (above the first row's bottom) and then meets
  // vertex 2, which lies higher: the quad is not monotone there and nothing is drawn.
  Quad bowtie = Rect(0, 0, 10 * kOne, 5 * kOne);
  bowtie.vert[1] = {10 * kOne, 5 * kOne};
  bowtie.vert[2] = {5 * kOne, kOne / 5};
  bowtie.vert[3] = {kOne, kOne / 2};
  EXPECT_TRUE(AllZero(DrawMarks(bowtie, full, 20, 10)));
}

TEST_F(RasteriserTest, ClipCutsAtTheIntegerParts) {
  const Quad q = Rect(kOne / 3, kOne / 5, 18 * kOne + 100, 9 * kOne + 7);
  const FxBox clip{3 * kOne + 40000, 2 * kOne + 65535, 11 * kOne + 1, 7 * kOne + 9};
  const std::vector<uint8_t> img = DrawMarks(q, clip, 20, 10);
  for (int32_t r = 0; r < 10; ++r)
    for (int32_t c = 0; c < 20; ++c) {
      const bool inside = c >= 3 && c < 11 && r >= 2 && r < 7;
      EXPECT_EQ(inside, img[(r * 20 + c) * 2 + 1] == 128) << c << "," << r;
    }
}

TEST_F(RasteriserTest, AdjacentBandsDrawWhatOneBandDraws) {
  std::mt19937 rng(3);
  for (int iter = 0; iter < 200; ++iter) {
    const int32_t w = 48, h = 40;
    Source src(4, 30, 25, iter & 1, rng);
    const Quad q = RandomQuad(rng, w, h, src.width, src.rows, 0.8f);
    Image whole(4 * w, h, false, 0), banded(4 * w, h, false, 0);
    const FxBox clip{0, static_cast<int32_t>(rng() % (3 * kOne)), w * kOne, h * kOne - static_cast<int32_t>(rng() % kOne)};
    DrawQuad4x8(src.Quad(), q, {whole.Row(0), whole.pitch}, clip);
    int32_t y = clip.y0;
    while (y < clip.y1) {
      const int32_t next = std::min(clip.y1, static_cast<int32_t>(((y >> 16) + 1 + rng() % 7) << 16));
      DrawQuad4x8(src.Quad(), q, {banded.Row(0), banded.pitch}, FxBox{clip.x0, y, clip.x1, next});
      y = next;
    }
    ASSERT_EQ(whole.mem, banded.mem) << "iteration " << iter;
  }
}

TEST_F(RasteriserTest, CorrectedInterpolationOfAWholeSpanIsExact) {
  // Ends on whole pixels: no correction, the plain slope.
  EXPECT_EQ(CorrectedSlope(10 * kOne, 0, 0, 10), kOne);
  EXPECT_EQ(CorrectedOrigin(3 * kOne, 10 * kOne, 0, 10), 3 * kOne);
  // A fractional start moves the origin back by the covered part of the first pixel.
  EXPECT_EQ(CorrectedOrigin(0, 10 * kOne, kOne / 2, 10), -(10 * 256 * 128) / 10);
  EXPECT_EQ(CorrectedSlope(-10 * kOne, kOne / 2, 0, 10), (128 * -2560) / 100 - kOne);
}

// ---- Kernels against the reference ---------------------------------------------------------------------

TEST_F(RasteriserTest, EveryKernelMatchesTheReferenceInGuardedBuffers) {
  std::mt19937 rng(4);
  const Layout layouts[] = {Layout::k4x8,    Layout::k4x16,      Layout::kF32,      Layout::kLumaOdd,
                            Layout::kLumaEven, Layout::kChromaEven, Layout::kChromaOdd};
  for (Layout l : layouts) {
    const int unit = UnitOf(l);
    for (int iter = 0; iter < 160; ++iter) {
      const bool wide = iter % 2 == 0;
      // Half the quads are gentle warps of wider images: the wide kernels' row-block paths.
      const bool gentle = iter % 4 < 2;
      platform::SetCpuFlagsMask((wide) ? platform::kCpuAllFlags : 0u);
      const int32_t sw = 1 + static_cast<int32_t>(rng() % (gentle ? 90 : 40)), sh = 1 + static_cast<int32_t>(rng() % 30);
      Source src(unit, sw, sh, iter % 3 == 0, rng);
      if (l == Layout::kF32) {  // finite floats on 0..1
        for (size_t i = 0; i + 4 <= src.mem.size(); i += 4) {
          const float f = static_cast<float>(rng() % 1000) / 999.0f;
          std::memcpy(src.mem.data() + i, &f, 4);
        }
      }
      const int32_t w = 1 + static_cast<int32_t>(rng() % (gentle ? 100 : 60)), h = 1 + static_cast<int32_t>(rng() % 30);
      const Quad q = gentle ? RandomQuad(rng, w, h, sw, sh, 0.2f, 0.05f) : RandomQuad(rng, w, h, sw, sh, 1.2f);
      Image got(unit * w + unit * 3, h, iter % 4 == 1, 0x3C);
      Image want = got;
      const FxBox clip{0, 0, w * kOne, h * kOne};
      DrawOf(l)(src.Quad(), q, {got.Row(0), got.pitch}, clip);
      RefDraw(l, src.Quad(), q, want.Row(0), want.pitch, clip);
      ASSERT_TRUE(got.GuardsIntact());
      ASSERT_EQ(want.mem, got.mem) << "layout " << static_cast<int>(l) << " iteration " << iter;
    }
  }
}

TEST_F(RasteriserTest, SamplesOnTheLastColumnAndRowNeverReadBeyondTheSource) {
  // A source of exactly w x h units whose texture coordinates reach its last column and row, and one
  // whose coordinates run far outside: both stay inside the vector (ASan) and match the reference.
  std::mt19937 rng(5);
  for (bool wide : {false, true}) {
    platform::SetCpuFlagsMask((wide) ? platform::kCpuAllFlags : 0u);
    for (int32_t reach : {0, 1000}) {
      Source src(4, 33, 17, false, rng);
      Quad q = Rect(0, 0, 40 * kOne, 20 * kOne);
      const int32_t tx[4] = {-reach, 32 + reach, 32 + reach, -reach}, ty[4] = {-reach, -reach, 16 + reach, 16 + reach};
      for (int k = 0; k < 4; ++k) q.tex[k] = {tx[k] * kOne, ty[k] * kOne};
      Image got(4 * 40, 20, false, 0), want(4 * 40, 20, false, 0);
      const FxBox clip{0, 0, 40 * kOne, 20 * kOne};
      DrawQuad4x8(src.Quad(), q, {got.Row(0), got.pitch}, clip);
      RefDraw(Layout::k4x8, src.Quad(), q, want.Row(0), want.pitch, clip);
      EXPECT_EQ(want.mem, got.mem);
    }
  }
}

TEST_F(RasteriserTest, AbsurdCoordinatesStayInsideTheClip) {
  std::mt19937 rng(6);
  const int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -kOne, 0, kOne, INT32_MAX - 1, INT32_MAX};
  for (int iter = 0; iter < 2000; ++iter) {
    Source src(4, 1 + static_cast<int32_t>(rng() % 5), 1 + static_cast<int32_t>(rng() % 5), iter & 1, rng);
    Quad q;
    for (int k = 0; k < 4; ++k) {
      auto pick = [&] { return rng() % 3 == 0 ? extremes[rng() % 7] : static_cast<int32_t>(rng()); };
      q.vert[k] = {pick(), pick()};
      q.tex[k] = {pick(), pick()};
    }
    Image out(4 * 16, 12, false, 0);
    const FxBox clip{2 * kOne, 3 * kOne, 14 * kOne, 9 * kOne};
    platform::SetCpuFlagsMask((iter & 2) ? platform::kCpuAllFlags : 0u);
    DrawQuad4x8(src.Quad(), q, {out.Row(0), out.pitch}, clip);
    ASSERT_TRUE(out.GuardsIntact());
    for (int32_t r = 0; r < 12; ++r)
      for (int32_t c = 0; c < 16; ++c) {
        const bool inside = c >= 2 && c < 14 && r >= 3 && r < 9;
        if (!inside) {
          ASSERT_EQ(0u, out.Row(r)[4 * c] | out.Row(r)[4 * c + 3]) << c << "," << r;
        }
      }
  }
}

}  // namespace
}  // namespace vendrix::texmap
