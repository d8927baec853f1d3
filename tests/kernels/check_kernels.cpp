// Every kernel table, every entry a level replaces, against the reference (see kernel_check.h):
// conversion rows, mixing rows, the corner detector's rows and the quad rasteriser's spans.
#include <deque>
#include <string>

#include "kernels/kernel_check.h"
#include "kernels/kernel_entries.h"

namespace vendrix::testing {
namespace {

constexpr int32_t kMaxCount = 67;  // row widths 1..67: every remainder of every vector width

// A check over every level and every entry of a table, its cases named "avx2_Entry".
#define VENDRIX_CHECK_SUITE(suite, count, name_of_entry)                                       \
  class suite : public ::testing::TestWithParam<std::tuple<IsaLevel, int>> {};                 \
  INSTANTIATE_TEST_SUITE_P(Kernels, suite,                                                     \
                           ::testing::Combine(::testing::ValuesIn(kIsaLevels),                 \
                                              ::testing::Range(0, int{count})),                \
                           [](const auto& test) {                                              \
                             const int entry = std::get<1>(test.param);                        \
                             return std::string(std::get<0>(test.param).name) + "_" + name_of_entry; \
                           })

// ---- Conversion rows ----

VENDRIX_CHECK_SUITE(ConvertRows, imaging::convert::kConvertRowCount, kRowEntries[entry].name);

// Every count, every pattern, equal sizes and a resampling step.
TEST_P(ConvertRows, MatchTheReference) {
  const auto [level, index] = GetParam();
  imaging::convert::ConvertRowTable ref, vec;
  if (!TablesAt(level, imaging::convert::ConvertRowKernels, &ref, &vec)) GTEST_SKIP() << "not on this machine";
  const imaging::convert::RowKernel kernels[2] = {ref.rows[index], vec.rows[index]};
  if (kernels[0] == kernels[1]) GTEST_SKIP() << "no vector version at this level";
  const RowEntry& e = kRowEntries[index];
  Guarded source(RowBytes(e, kMaxCount, 3 * imaging::kFxOne).first);
  Outputs outputs(16 * kMaxCount + 128);
  std::mt19937 rng(static_cast<uint32_t>(index));
  for (int32_t count = 1; count <= kMaxCount; ++count)
    for (Pattern pattern : kPatterns)
      for (uint32_t step : {uint32_t{imaging::kFxOne}, static_cast<uint32_t>(20000 + rng() % 150000)}) {
        const int32_t n = e.rows == Rows::kEvenUnits ? count & ~1 : count;
        const auto [src_bytes, dst_bytes] = RowBytes(e, std::max(n, 1), step);
        uint8_t* src = source.Place(src_bytes);
        Fill(src, src_bytes, pattern, e.element, rng);
        ASSERT_TRUE(outputs.Same(dst_bytes, rng, [&](uint8_t* dst, int v) { kernels[v](src, dst, n, step); }))
            << "count " << n << " step " << step << " pattern " << static_cast<int>(pattern);
      }
}

// ---- Mixing rows ----

VENDRIX_CHECK_SUITE(MixRows, imaging::mix::kMixRowCount, kMixNames[entry]);

// Every count, every pattern of A against a random one of B, weights at both ends and between, and
// the output on its own row, on A and on B.
TEST_P(MixRows, MatchTheReference) {
  const auto [level, index] = GetParam();
  imaging::mix::MixRowTable ref, vec;
  if (!TablesAt(level, imaging::mix::MixRowKernels, &ref, &vec)) GTEST_SKIP() << "not on this machine";
  const imaging::mix::MixRow kernels[2] = {ref.rows[index], vec.rows[index]};
  const int value = 1 << index;  // bytes per value
  Guarded a_row(4 * kMaxCount), b_row(4 * kMaxCount);
  Outputs outputs(4 * kMaxCount);
  std::mt19937 rng(static_cast<uint32_t>(index));
  for (int32_t count = 1; count <= kMaxCount; ++count)
    for (Pattern pattern : kPatterns)
      for (uint32_t weight : {0u, 1u, 32768u, 65534u, 65535u, static_cast<uint32_t>(rng() % 65536)})
        for (int target = 0; target < 3; ++target) {
          const size_t bytes = static_cast<size_t>(count) * value;
          uint8_t* a = a_row.Place(bytes);
          uint8_t* b = b_row.Place(bytes);
          Fill(a, bytes, pattern, value, rng);
          Fill(b, bytes, kPatterns[rng() % std::size(kPatterns)], value, rng);
          ASSERT_TRUE(outputs.Same(bytes, rng, [&](uint8_t* c, int v) {
            if (target > 0) std::memcpy(c, target == 1 ? a : b, bytes);
            kernels[v](target == 1 ? c : a, target == 2 ? c : b, c, count, weight);
          })) << "count " << count << " weight " << weight << " output on " << "CAB"[target];
        }
}

// ---- The corner detector's rows ----

VENDRIX_CHECK_SUITE(CornerRows, static_cast<int>(std::size(kCornerEntries)), kCornerEntries[entry].name);

// Every width and every pattern; thresholds and floors that tie with the data.
TEST_P(CornerRows, MatchTheReference) {
  const auto [level, index] = GetParam();
  CornerKernels ref, vec;
  if (!TablesAt(level, analysis::CornerKernelTable, &ref, &vec)) GTEST_SKIP() << "not on this machine";
  const CornerEntry& e = kCornerEntries[index];
  if (!e.replaced(ref, vec)) GTEST_SKIP() << "no vector version at this level";
  std::deque<Guarded> rows;
  for (int i = 0; i < 8; ++i) rows.emplace_back(sizeof(float) * (kMaxCount + 6));
  Outputs outputs(sizeof(float) * 3 * kMaxCount);
  std::mt19937 rng(static_cast<uint32_t>(index));
  for (int32_t n = 1; n <= kMaxCount; ++n)
    for (Pattern pattern : kPatterns) {
      CornerInputs in;
      for (int i = 0; i < 7; ++i) {
        const size_t bytes = sizeof(float) * static_cast<size_t>(n + e.padding);
        uint8_t* row = rows[i].Place(bytes);
        Fill(row, bytes, pattern, 4, rng);
        in.rows[i] = reinterpret_cast<const float*>(row);
      }
      uint8_t* bytes = rows[7].Place(static_cast<size_t>(n));
      Fill(bytes, static_cast<size_t>(n), pattern, 1, rng);
      in.bytes = bytes;
      for (float& t : in.taps) t = static_cast<float>(rng() % 1000) / 1000.0f;
      in.level = rng() % 4 ? in.rows[0][rng() % n] : 0.0f;
      const CornerKernels* tables[2] = {&ref, &vec};
      ASSERT_TRUE(outputs.Same(sizeof(float) * 3 * kMaxCount, rng, [&](uint8_t* out, int v) {
        e.call(*tables[v], in, n, reinterpret_cast<float*>(out));
      }, sizeof(float))) << "width " << n << " pattern " << static_cast<int>(pattern);
    }
}

// ---- Quad spans: sources of 1..67 units by 1..9 rows, top-down or bottom-up, the row last in memory
// ending at the guard page; walks of every kind. ----

VENDRIX_CHECK_SUITE(QuadSpans, texmap::kSpanLayoutCount, kLayoutNames[entry]);

// Walks anywhere (far outside too, so the clamps work); gentle warps of a quarter to two and a quarter
// source pixels per output pixel (the row-block paths); one along the last row ending exactly on the
// last column; down the last column; on whole pixels.
texmap::QuadSpan Walk(int kind, int32_t count, int32_t width, int32_t rows, std::mt19937& rng) {
  constexpr int32_t kOne = 65536;
  const auto pick = [&](int32_t lo, int32_t hi) { return lo + static_cast<int32_t>(rng() % uint32_t(hi - lo + 1)); };
  const int32_t gentle = pick(kOne / 4, 2 * kOne + kOne / 4), drift = pick(-300, 300);
  switch (kind) {
    case 0: return {0, 0, count, pick(-4 * kOne, (width + 4) * kOne), pick(-2 * kOne, 2 * kOne),
                    pick(-4 * kOne, (rows + 4) * kOne), pick(-kOne, kOne)};
    case 1: return {0, 0, count, pick(0, width * kOne), gentle, pick(0, rows * kOne), drift};
    case 2: return {0, 0, count, (width - 1) * kOne - (count - 1) * gentle, gentle, (rows - 1) * kOne, 0};
    case 3: return {0, 0, count, (width - 1) * kOne, pick(0, 1) * drift, pick(0, rows * kOne), pick(0, kOne / 4)};
    default: return {0, 0, count, pick(0, width - 1) * kOne, pick(0, 1) * kOne, pick(0, rows - 1) * kOne, 0};
  }
}

TEST_P(QuadSpans, MatchTheReference) {
  const auto [level, layout] = GetParam();
  texmap::QuadSpanTable ref, vec;
  if (!TablesAt(level, texmap::QuadSpanKernels, &ref, &vec)) GTEST_SKIP() << "not on this machine";
  const texmap::SpanKernel kernels[2] = {ref.spans[layout], vec.spans[layout]};
  if (kernels[0] == kernels[1]) GTEST_SKIP() << "no vector version at this level";
  const int32_t unit = texmap::kSpanUnitBytes[layout];
  Guarded source(static_cast<size_t>(unit) * (kMaxCount + 3) * 9);
  Outputs outputs(static_cast<size_t>(unit) * kMaxCount);
  std::mt19937 rng(static_cast<uint32_t>(layout));
  for (int trial = 0; trial < 5000; ++trial) {
    const int32_t width = 1 + static_cast<int32_t>(rng() % kMaxCount), rows = 1 + static_cast<int32_t>(rng() % 9);
    const int32_t pitch = unit * (width + static_cast<int32_t>(rng() % 4));
    const size_t bytes = static_cast<size_t>(pitch) * (rows - 1) + static_cast<size_t>(unit) * width;
    uint8_t* mem = source.Place(bytes);
    Fill(mem, bytes, kPatterns[trial % std::size(kPatterns)], unit == 8 ? 2 : (unit == 16 ? 4 : 1), rng);
    const bool bottom_up = rng() % 2;
    const texmap::QuadSource src{bottom_up ? mem + bytes - unit * width : mem, bottom_up ? -pitch : pitch, width, rows};
    texmap::SampleGrid grid;
    ASSERT_TRUE(texmap::MakeSampleGrid(src, unit, &grid));
    const int32_t count = 1 + static_cast<int32_t>(rng() % kMaxCount);
    const texmap::QuadSpan span = Walk(trial % 5, count, width, rows, rng);
    const auto draw = [&](uint8_t* out, int v) { kernels[v](grid, out, span); };
    ASSERT_TRUE(outputs.Same(static_cast<size_t>(unit) * count, rng, draw))
        << width << " x " << rows << " pitch " << src.pitch << ": " << count << " from (" << span.u << ", " << span.v
        << ") by (" << span.du << ", " << span.dv << ")";
  }
}

}  // namespace
}  // namespace vendrix::testing
