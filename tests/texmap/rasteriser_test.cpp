// The quad rasteriser's geometry by its invariants: an unmoved quad copies pixels, and clip bands add
// up. The span kernels are checked at every instruction-set level in tests/kernels; the golden test
// pins rendered frames.
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "texmap/quad_raster.h"

namespace vendrix::texmap {
namespace {

constexpr int32_t kOne = 65536;

// An axis-aligned quad whose texture coordinates equal its vertices (16.16).
Quad Rect(int32_t x0, int32_t y0, int32_t x1, int32_t y1) {
  Quad q;
  const int32_t xs[4] = {x0, x1, x1, x0}, ys[4] = {y0, y0, y1, y1};
  for (int k = 0; k < 4; ++k) q.vert[k] = q.tex[k] = {xs[k], ys[k]};
  return q;
}
std::vector<uint8_t> Noise(size_t bytes, std::mt19937& rng, uint32_t below = 256) {
  std::vector<uint8_t> v(bytes);
  for (uint8_t& b : v) b = static_cast<uint8_t>(rng() % below);
  return v;
}

struct Layout {
  DrawQuadFn draw;
  int32_t unit;
};
class UnmovedQuad : public ::testing::TestWithParam<Layout> {};

// Samples sit at the lower-right corner of each output pixel, so with no movement output pixel (c, r)
// takes source pixel (c + 1, r + 1) exactly, bottom-up sources included.
TEST_P(UnmovedQuad, CopiesTheLowerRightNeighbour) {
  const auto [draw, unit] = GetParam();
  const int32_t w = 37, h = 11, pitch = unit * (w + 2);
  std::mt19937 rng(1);
  const std::vector<uint8_t> src = Noise(size_t(pitch) * (h + 2), rng, 64);  // finite floats too
  for (bool bottom_up : {false, true}) {
    const uint8_t* row0 = bottom_up ? src.data() + size_t(pitch) * (h + 1) : src.data();
    const int32_t src_pitch = bottom_up ? -pitch : pitch;
    std::vector<uint8_t> out(size_t(unit) * w * h);
    draw({row0, src_pitch, w + 2, h + 2}, Rect(0, 0, w * kOne, h * kOne), {out.data(), unit * w},
         {0, 0, w * kOne, h * kOne});
    for (int32_t r = 0; r < h; ++r)
      for (int32_t c = 0; c < w; ++c)
        ASSERT_EQ(0, std::memcmp(&out[size_t(unit) * (r * w + c)], row0 + (r + 1) * src_pitch + unit * (c + 1), unit))
            << c << "," << r << (bottom_up ? " bottom-up" : "");
  }
}
INSTANTIATE_TEST_SUITE_P(Layouts, UnmovedQuad,
                         ::testing::Values(Layout{DrawQuad4x8, 4}, Layout{DrawQuad4x16, 8}, Layout{DrawQuad4xF32, 16}));

// Drawing a quad band by band (the renderer's worker split) writes what one pass writes.
TEST(Rasteriser, AdjacentClipBandsDrawWhatTheirUnionDraws) {
  std::mt19937 rng(3);
  const int32_t w = 48, h = 40;
  for (int iter = 0; iter < 200; ++iter) {
    const std::vector<uint8_t> src = Noise(4 * 30 * 25, rng);
    Quad q = Rect(0, 0, 30 * kOne, 25 * kOne);
    const auto move = [&] { return static_cast<int32_t>(rng() % (16 * kOne)) - 8 * kOne; };  // up to 8 pixels
    for (FxPoint& v : q.vert) v = {v.x + 9 * kOne + move(), v.y + 7 * kOne + move()};
    std::vector<uint8_t> whole(4 * w * h, 0), banded(4 * w * h, 0);
    const FxBox clip{0, static_cast<int32_t>(rng() % (3 * kOne)), w * kOne, (h - 1) * kOne + move() / 16};
    DrawQuad4x8({src.data(), 4 * 30, 30, 25}, q, {whole.data(), 4 * w}, clip);
    for (int32_t y = clip.y0, next; y < clip.y1; y = next) {
      next = std::min(clip.y1, static_cast<int32_t>(((y >> 16) + 1 + rng() % 7) << 16));
      DrawQuad4x8({src.data(), 4 * 30, 30, 25}, q, {banded.data(), 4 * w}, FxBox{clip.x0, y, clip.x1, next});
    }
    ASSERT_EQ(whole, banded) << "iteration " << iter;
  }
}

}  // namespace
}  // namespace vendrix::texmap
