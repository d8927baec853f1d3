// Every kernel table, every entry a level replaces, against the reference (see kernel_check.h):
// conversion rows, mixing rows, the corner detector's rows and the quad rasteriser's spans.
#include "kernels/kernel_check.h"

#include <deque>
#include <string>

#include "analysis/corner_kernels.h"
#include "imaging/convert_rows.h"
#include "imaging/mix_rows.h"
#include "imaging/pixel_formats.h"
#include "texmap/quad_spans.h"

namespace vendrix::testing {
namespace {

constexpr int32_t kMaxCount = 67;  // row widths 1..67: every remainder of every vector width

// A check over every level and every entry of a table, its cases named "avx2_Entry".
#define VENDRIX_CHECK_SUITE(suite, count, name_of_entry)                                                \
  class suite : public ::testing::TestWithParam<std::tuple<IsaLevel, int>> {};                          \
  INSTANTIATE_TEST_SUITE_P(                                                                             \
      Kernels, suite, ::testing::Combine(::testing::ValuesIn(kIsaLevels), ::testing::Range(0, int{count})), \
      [](const auto& test) {                                                                            \
        const int entry = std::get<1>(test.param);                                                     \
        return std::string(std::get<0>(test.param).name) + "_" + name_of_entry;                        \
      })

// ---- Conversion rows: counts in units of fixed size, even counts for the 4:2:2 packers, or v210
// groups of 6 pixels in 16 bytes (the step then ignored). ----

enum class Rows { kUnits, kEvenUnits, kV210In, kV210Out, kV210Copy };
struct RowEntry {
  const char* name;
  int src_unit, dst_unit, element;  // element: bytes per source value, 4 for f32
  Rows rows = Rows::kUnits;
};
constexpr RowEntry kRowEntries[] = {  // in the order of convert::ConvertRow
    {"CopyRow1", 1, 1, 1},         {"CopyRow2", 2, 2, 1},         {"CopyRow3", 3, 3, 1},
    {"CopyRow4", 4, 4, 1},         {"BgraFromBgr", 3, 4, 1},      {"BgraFromArgb", 4, 4, 1},
    {"BgraFromArgb16", 8, 4, 2},   {"BgraFromArgb32f", 16, 4, 4}, {"BgrFromBgra", 4, 3, 1},
    {"ArgbFromBgra", 4, 4, 1},     {"ArgbFromArgb16", 8, 4, 2},   {"ArgbFromArgb32f", 16, 4, 4},
    {"Argb16FromBgra", 4, 8, 1},   {"Argb32fFromBgra", 4, 16, 1}, {"GreyFromUyvy", 2, 4, 1},
    {"GreyFromYuyv", 2, 4, 1},     {"TintFromBgraKeepAlpha", 4, 4, 1}, {"TintFromBgra", 4, 4, 1},
    {"TintFromBgr", 3, 4, 1},      {"TintBgrFromBgr", 3, 3, 1},   {"TintFromArgb", 4, 4, 1},
    {"TintFromArgb16", 8, 4, 2},   {"TintFromArgb32f", 16, 4, 4}, {"TintFromVuya", 4, 4, 1},
    {"TintFromAyuv", 4, 4, 1},     {"TintFromAyuv16", 8, 4, 2},   {"TintFromAyuv32f", 16, 4, 4},
    {"UyvyFromBgra", 4, 2, 1, Rows::kEvenUnits}, {"YuyvFromBgra", 4, 2, 1, Rows::kEvenUnits},
    {"TintYuyvPairs", 4, 4, 1},    {"VuyaFromBgra", 4, 4, 1},     {"AyuvFromBgra", 4, 4, 1},
    {"Ayuv16FromBgra", 4, 8, 1},   {"Ayuv32fFromBgra", 4, 16, 1}, {"Vuya16FromBgra", 4, 8, 1},
    {"Vuya32fFromBgra", 4, 16, 1}, {"BgraFromVuya", 4, 4, 1},     {"ArgbFromAyuv", 4, 4, 1},
    {"ArgbFromAyuv16", 8, 4, 2},   {"ArgbFromAyuv32f", 16, 4, 4}, {"LumaFromV210", 0, 1, 1, Rows::kV210In},
    {"CopyV210Row", 0, 0, 1, Rows::kV210Copy}, {"V210FromUyvy16", 4, 0, 2, Rows::kV210Out},
    {"Uyvy16FromV210", 0, 4, 1, Rows::kV210In},
};
static_assert(std::size(kRowEntries) == imaging::convert::kConvertRowCount);

// Source and destination bytes of a row of `count` units.
std::pair<size_t, size_t> RowBytes(const RowEntry& e, int32_t count, uint32_t step) {
  const size_t n = static_cast<size_t>(count), groups = 16 * ((n + 5) / 6);
  const size_t padded = static_cast<size_t>(imaging::V210PaddedRowBytes(count));
  switch (e.rows) {
    case Rows::kV210In: return {groups, n * e.dst_unit};
    case Rows::kV210Out: return {n * e.src_unit, groups};
    case Rows::kV210Copy: return {padded, padded};
    default: return {(imaging::FxInt((count - 1) * step) + 1) * static_cast<size_t>(e.src_unit), n * e.dst_unit};
  }
}

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

constexpr const char* kMixNames[] = {"U8", "U16", "F32"};
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

// ---- The corner detector's rows: each entry called on rows of n values, writing into `out` (room for
// three rows; scalar results stored there too). ----

using analysis::CornerKernels;
struct CornerInputs {
  const float* rows[7];  // rows of n (+ padding) floats, each ending at a guard page
  const uint8_t* bytes;  // n bytes, ending at a guard page
  float taps[4];
  float level;  // a threshold or floor, usually one of the row's values
};
struct CornerEntry {
  const char* name;
  int32_t padding;  // values read beyond n
  bool (*replaced)(const CornerKernels& ref, const CornerKernels& vec);
  void (*call)(const CornerKernels& k, const CornerInputs& in, int32_t n, float* out);
};
using K = const CornerKernels&;
using In = const CornerInputs&;
#define VENDRIX_CORNER_ENTRY(member, padding, ...) \
  {#member, padding, [](K r, K v) { return r.member != v.member; }, [](K k, In in, int32_t n, float* out) __VA_ARGS__}
const CornerEntry kCornerEntries[] = {
    VENDRIX_CORNER_ENTRY(load_luma, 0, { k.load_luma(in.bytes, out, n); }),
    VENDRIX_CORNER_ENTRY(tensor_row, 0, {
      k.tensor_row(in.rows[0], in.rows[1], in.rows[2], out, out + n, out + 2 * n, n);
    }),
    VENDRIX_CORNER_ENTRY(smooth_row, 6, { k.smooth_row(in.rows[0], out, n, in.taps); }),
    VENDRIX_CORNER_ENTRY(smooth_columns, 0, { k.smooth_columns(in.rows, out, n, in.taps); }),
    VENDRIX_CORNER_ENTRY(column_response, 0, {
      const float* const* r = in.rows;
      const float* yy[7] = {r[3], r[1], r[4], r[0], r[6], r[2], r[5]};
      const float* xy[7] = {r[6], r[5], r[4], r[3], r[2], r[1], r[0]};
      k.column_response(r, yy, xy, out, n, in.taps);
    }),
    VENDRIX_CORNER_ENTRY(max_rows, 0, {
      k.max_rows(in.rows[0], in.rows[1], out, n);
      // In place with the second row ahead in the same buffer, as the window maxima use it.
      std::memcpy(out + n, in.rows[2], sizeof(float) * n);
      const int32_t shift = 1 << (n % 5);
      if (shift < n) k.max_rows(out + n, out + n + shift, out + n, n - shift);
    }),
    VENDRIX_CORNER_ENTRY(suppress_row, 0, { k.suppress_row(in.rows[0], in.rows[1], in.level, out, n); }),
    VENDRIX_CORNER_ENTRY(sum_squares, 0, { out[0] = k.sum_squares(in.rows[0], n); }),
    VENDRIX_CORNER_ENTRY(next_above, 0, {
      for (int32_t i = 0; i <= n; ++i) out[i] = static_cast<float>(k.next_above(in.rows[0], i, n, in.level));
    }),
};
#undef VENDRIX_CORNER_ENTRY

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

constexpr const char* kLayoutNames[] = {"4x8", "4x16", "4xF32", "LumaOdd", "LumaEven", "ChromaEven", "ChromaOdd"};
static_assert(std::size(kLayoutNames) == texmap::kSpanLayoutCount);
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
