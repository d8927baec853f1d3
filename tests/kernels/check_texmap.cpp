// The quad rasteriser's span kernels: every entry at every level against the reference, byte for byte.
#include <gtest/gtest.h>

#include "kernels/kernel_check.h"
#include "texmap/quad_spans.h"

namespace vendrix::testing {
namespace {

using texmap::kSpanUnitBytes;
using texmap::QuadSpan;
using texmap::SpanKernel;

constexpr const char* kLayoutNames[] = {"4x8", "4x16", "4xF32", "LumaOdd", "LumaEven", "ChromaEven", "ChromaOdd"};
static_assert(std::size(kLayoutNames) == texmap::kSpanLayoutCount);
constexpr int32_t kOne = 65536;
constexpr int32_t kMaxSide = 67;
constexpr int32_t kMaxRows = 9;

// Sample walks of every kind: anywhere (far outside too, so the clamps work); gentle warps of a quarter
// to two and a quarter source pixels per output pixel (the row-block paths); such a walk along the last
// row ending exactly on the last column; down the last column; on whole pixels.
constexpr int kSpanKinds = 5;
QuadSpan MakeSpan(int kind, int32_t count, int32_t width, int32_t rows, std::mt19937& rng) {
  auto between = [&](int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(rng() % uint32_t(hi - lo + 1)); };
  const int32_t gentle = between(kOne / 4, 2 * kOne + kOne / 4), drift = between(-300, 300);
  switch (kind) {
    case 0:
      return {0, 0, count, between(-4 * kOne, (width + 4) * kOne), between(-2 * kOne, 2 * kOne),
              between(-4 * kOne, (rows + 4) * kOne), between(-kOne, kOne)};
    case 1:
      return {0, 0, count, between(0, width * kOne), gentle, between(0, rows * kOne), drift};
    case 2:
      return {0, 0, count, (width - 1) * kOne - (count - 1) * gentle, gentle, (rows - 1) * kOne, 0};
    case 3:
      return {0, 0, count, (width - 1) * kOne, between(0, 1) * drift, between(0, rows * kOne), between(0, kOne / 4)};
    default:
      return {0, 0, count, between(0, width - 1) * kOne, between(0, 1) * kOne, between(0, rows - 1) * kOne, 0};
  }
}

using LevelAndEntry = std::tuple<IsaLevel, int>;
class QuadSpans : public ::testing::TestWithParam<LevelAndEntry> {};

// Sources of 1..67 units by 1..9 rows, top-down and bottom-up, flush against a guard page; spans of
// 1..67 pixels of every kind into outputs between canaries at every alignment mod 16.
TEST_P(QuadSpans, MatchTheReference) {
  const auto [level, layout] = GetParam();
  if (!LevelAvailable(level)) GTEST_SKIP() << level.name << " is not available here";
  const SpanKernel ref = TableAt(0, texmap::QuadSpanKernels).spans[layout];
  const SpanKernel vec = TableAt(level.flags, texmap::QuadSpanKernels).spans[layout];
  if (vec == ref) GTEST_SKIP() << "no vector version at this level";
  const int32_t unit = kSpanUnitBytes[layout];
  const size_t max_out = static_cast<size_t>(unit) * kMaxSide;
  GuardedArena source(static_cast<size_t>(unit) * (kMaxSide + 3) * kMaxRows), out_ref(max_out), out_vec(max_out);
  std::mt19937 rng(static_cast<uint32_t>(layout));
  for (int trial = 0; trial < 5000; ++trial) {
    const int32_t width = 1 + static_cast<int32_t>(rng() % kMaxSide), rows = 1 + static_cast<int32_t>(rng() % kMaxRows);
    const int32_t pitch = unit * (width + static_cast<int32_t>(rng() % 4));
    // The row last in memory ends at the guard page.
    const size_t bytes = static_cast<size_t>(pitch) * (rows - 1) + static_cast<size_t>(unit) * width;
    uint8_t* mem = source.PlaceInput(bytes);
    const int element = layout == texmap::kSpan4xF32 ? 4 : (layout == texmap::kSpan4x16 ? 2 : 1);
    FillPattern(mem, bytes, kPatterns[trial % std::size(kPatterns)], element, rng);
    const bool bottom_up = rng() % 2;
    uint8_t* row0 = bottom_up ? mem + static_cast<size_t>(pitch) * (rows - 1) : mem;
    const texmap::QuadSource src{row0, bottom_up ? -pitch : pitch, width, rows};
    texmap::SampleGrid grid;
    ASSERT_TRUE(texmap::MakeSampleGrid(src, unit, &grid));
    const int32_t count = 1 + static_cast<int32_t>(rng() % kMaxSide);
    const QuadSpan span = MakeSpan(trial % kSpanKinds, count, width, rows, rng);
    const size_t out_bytes = static_cast<size_t>(unit) * count, misalign = rng() % 16;
    uint8_t* want = out_ref.PlaceOutput(out_bytes, misalign);
    uint8_t* got = out_vec.PlaceOutput(out_bytes, misalign);
    for (size_t i = 0; i < out_bytes; ++i) want[i] = got[i] = static_cast<uint8_t>(rng());
    ref(grid, want, span);
    vec(grid, got, span);
    ASSERT_TRUE(out_vec.Intact()) << "wrote outside its span, trial " << trial;
    ASSERT_EQ(std::memcmp(want, got, out_bytes), 0) << "trial " << trial << ": " << width << " x " << rows
                                                    << " pitch " << src.pitch << " span " << count << " at (" << span.u
                                                    << ", " << span.v << ") step (" << span.du << ", " << span.dv << ")";
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, QuadSpans,
                         ::testing::Combine(::testing::ValuesIn(kIsaLevels),
                                            ::testing::Range(0, int{texmap::kSpanLayoutCount})),
                         [](const auto& test) {
                           return LevelName(std::get<0>(test.param), kLayoutNames[std::get<1>(test.param)]);
                         });

}  // namespace
}  // namespace vendrix::testing
