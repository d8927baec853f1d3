// Conversion and mixing rows: every entry at every level against the reference, byte for byte.
#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "imaging/convert_rows.h"
#include "imaging/mix_rows.h"
#include "imaging/pixel_formats.h"
#include "kernels/kernel_check.h"

namespace vendrix::testing {
namespace {

using imaging::convert::ConvertRowKernels;
using imaging::convert::ConvertRowTable;

// How a row of `count` units is sized: units of fixed size, optionally an even count (4:2:2 packers),
// or v210 groups of 6 pixels in 16 bytes (the step is then ignored).
enum class Rows { kUnits, kEvenUnits, kV210In, kV210Out, kV210Copy };
struct RowEntry {
  const char* name;
  int src_unit, dst_unit;
  int element;  // bytes per source value: 1, 2 (u16) or 4 (f32)
  Rows rows;
};
// In the order of convert::ConvertRow.
constexpr RowEntry kRowEntries[] = {
    {"CopyRow1", 1, 1, 1, Rows::kUnits},           {"CopyRow2", 2, 2, 1, Rows::kUnits},
    {"CopyRow3", 3, 3, 1, Rows::kUnits},           {"CopyRow4", 4, 4, 1, Rows::kUnits},
    {"BgraFromBgr", 3, 4, 1, Rows::kUnits},        {"BgraFromArgb", 4, 4, 1, Rows::kUnits},
    {"BgraFromArgb16", 8, 4, 2, Rows::kUnits},     {"BgraFromArgb32f", 16, 4, 4, Rows::kUnits},
    {"BgrFromBgra", 4, 3, 1, Rows::kUnits},        {"ArgbFromBgra", 4, 4, 1, Rows::kUnits},
    {"ArgbFromArgb16", 8, 4, 2, Rows::kUnits},     {"ArgbFromArgb32f", 16, 4, 4, Rows::kUnits},
    {"Argb16FromBgra", 4, 8, 1, Rows::kUnits},     {"Argb32fFromBgra", 4, 16, 1, Rows::kUnits},
    {"GreyFromUyvy", 2, 4, 1, Rows::kUnits},       {"GreyFromYuyv", 2, 4, 1, Rows::kUnits},
    {"TintFromBgraKeepAlpha", 4, 4, 1, Rows::kUnits}, {"TintFromBgra", 4, 4, 1, Rows::kUnits},
    {"TintFromBgr", 3, 4, 1, Rows::kUnits},        {"TintBgrFromBgr", 3, 3, 1, Rows::kUnits},
    {"TintFromArgb", 4, 4, 1, Rows::kUnits},       {"TintFromArgb16", 8, 4, 2, Rows::kUnits},
    {"TintFromArgb32f", 16, 4, 4, Rows::kUnits},   {"TintFromVuya", 4, 4, 1, Rows::kUnits},
    {"TintFromAyuv", 4, 4, 1, Rows::kUnits},       {"TintFromAyuv16", 8, 4, 2, Rows::kUnits},
    {"TintFromAyuv32f", 16, 4, 4, Rows::kUnits},   {"UyvyFromBgra", 4, 2, 1, Rows::kEvenUnits},
    {"YuyvFromBgra", 4, 2, 1, Rows::kEvenUnits},   {"TintYuyvPairs", 4, 4, 1, Rows::kUnits},
    {"VuyaFromBgra", 4, 4, 1, Rows::kUnits},       {"AyuvFromBgra", 4, 4, 1, Rows::kUnits},
    {"Ayuv16FromBgra", 4, 8, 1, Rows::kUnits},     {"Ayuv32fFromBgra", 4, 16, 1, Rows::kUnits},
    {"Vuya16FromBgra", 4, 8, 1, Rows::kUnits},     {"Vuya32fFromBgra", 4, 16, 1, Rows::kUnits},
    {"BgraFromVuya", 4, 4, 1, Rows::kUnits},       {"ArgbFromAyuv", 4, 4, 1, Rows::kUnits},
    {"ArgbFromAyuv16", 8, 4, 2, Rows::kUnits},     {"ArgbFromAyuv32f", 16, 4, 4, Rows::kUnits},
    {"LumaFromV210", 0, 1, 1, Rows::kV210In},      {"CopyV210Row", 0, 0, 1, Rows::kV210Copy},
    {"V210FromUyvy16", 4, 0, 2, Rows::kV210Out},   {"Uyvy16FromV210", 0, 4, 1, Rows::kV210In},
};
static_assert(std::size(kRowEntries) == imaging::convert::kConvertRowCount);

constexpr int32_t kMaxCount = 67;
constexpr int32_t kGroupBytes = 16;  // one v210 group of 6 pixels

struct RowBytes {
  int64_t src, dst;
};
RowBytes BytesOf(const RowEntry& e, int32_t count, uint32_t step) {
  const int64_t groups = kGroupBytes * ((count + 5) / 6);
  switch (e.rows) {
    case Rows::kV210In:
      return {groups, int64_t{count} * e.dst_unit};
    case Rows::kV210Out:
      return {int64_t{count} * e.src_unit, groups};
    case Rows::kV210Copy:
      return {imaging::V210PaddedRowBytes(count), imaging::V210PaddedRowBytes(count)};
    default:
      return {(int64_t{imaging::FxInt((count - 1) * step)} + 1) * e.src_unit, int64_t{count} * e.dst_unit};
  }
}

using LevelAndEntry = std::tuple<IsaLevel, int>;

class ConvertRows : public ::testing::TestWithParam<LevelAndEntry> {};

// Every count 1..67, every pattern, equal sizes and resampling steps, outputs at every alignment mod 16.
TEST_P(ConvertRows, MatchTheReference) {
  const auto [level, index] = GetParam();
  if (!LevelAvailable(level)) GTEST_SKIP() << level.name << " is not available here";
  const imaging::convert::RowKernel ref = TableAt(0, ConvertRowKernels).rows[index];
  const imaging::convert::RowKernel vec = TableAt(level.flags, ConvertRowKernels).rows[index];
  if (vec == ref) GTEST_SKIP() << "no vector version at this level";
  const RowEntry& e = kRowEntries[index];
  const int64_t max_bytes = BytesOf(e, kMaxCount, 3 * imaging::kFxOne).src + 16 * kMaxCount + 1024;
  GuardedArena input(max_bytes), out_ref(max_bytes), out_vec(max_bytes);
  std::mt19937 rng(static_cast<uint32_t>(index));
  std::vector<uint8_t> prefill(max_bytes);
  for (int32_t count = 1; count <= kMaxCount; ++count) {
    for (Pattern pattern : kPatterns) {
      for (uint32_t step : {uint32_t{imaging::kFxOne}, static_cast<uint32_t>(20000 + rng() % 150000)}) {
        const int32_t n = e.rows == Rows::kEvenUnits ? count & ~1 : count;
        const RowBytes bytes = BytesOf(e, std::max(n, 1), step);
        uint8_t* src = input.PlaceInput(bytes.src);
        FillPattern(src, bytes.src, pattern, e.element, rng);
        const size_t misalign = rng() % 16;
        uint8_t* want = out_ref.PlaceOutput(bytes.dst, misalign);
        uint8_t* got = out_vec.PlaceOutput(bytes.dst, misalign);
        for (int64_t i = 0; i < bytes.dst; ++i) prefill[i] = static_cast<uint8_t>(rng());
        std::memcpy(want, prefill.data(), bytes.dst);
        std::memcpy(got, prefill.data(), bytes.dst);
        ref(src, want, n, step);
        vec(src, got, n, step);
        ASSERT_TRUE(out_vec.Intact()) << "wrote outside its row: count " << n << " step " << step;
        ASSERT_EQ(std::memcmp(want, got, bytes.dst), 0)
            << "count " << n << " step " << step << " pattern " << static_cast<int>(pattern);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ConvertRows,
                         ::testing::Combine(::testing::ValuesIn(kIsaLevels),
                                            ::testing::Range(0, int{imaging::convert::kConvertRowCount})),
                         [](const auto& test) {
                           return LevelName(std::get<0>(test.param), kRowEntries[std::get<1>(test.param)].name);
                         });

// ---- Mixing rows ---------------------------------------------------------------------------------

class MixRows : public ::testing::TestWithParam<LevelAndEntry> {};
constexpr const char* kMixNames[] = {"U8", "U16", "F32"};
constexpr int kMixValueBytes[] = {1, 2, 4};

// Every count 1..67, every pattern of both inputs, weights at both ends and between, and the output
// on a separate row, on A and on B.
TEST_P(MixRows, MatchTheReference) {
  const auto [level, index] = GetParam();
  if (!LevelAvailable(level)) GTEST_SKIP() << level.name << " is not available here";
  const imaging::mix::MixRow ref = TableAt(0, imaging::mix::MixRowKernels).rows[index];
  const imaging::mix::MixRow vec = TableAt(level.flags, imaging::mix::MixRowKernels).rows[index];
  const int value = kMixValueBytes[index];
  GuardedArena a_in(kMaxCount * 4), b_in(kMaxCount * 4), out_ref(kMaxCount * 4), out_vec(kMaxCount * 4);
  std::mt19937 rng(static_cast<uint32_t>(index));
  for (int32_t count = 1; count <= kMaxCount; ++count) {
    const size_t bytes = static_cast<size_t>(count) * value;
    for (Pattern pa : kPatterns) {
      for (uint32_t weight : {0u, 1u, 32768u, 65534u, 65535u, static_cast<uint32_t>(rng() % 65536)}) {
        const Pattern pb = kPatterns[rng() % std::size(kPatterns)];
        uint8_t* a = a_in.PlaceInput(bytes);
        uint8_t* b = b_in.PlaceInput(bytes);
        FillPattern(a, bytes, pa, value, rng);
        FillPattern(b, bytes, pb, value, rng);
        for (int target = 0; target < 3; ++target) {  // c separate, c = a, c = b
          const size_t misalign = rng() % 16;
          uint8_t* want = out_ref.PlaceOutput(bytes, misalign);
          uint8_t* got = out_vec.PlaceOutput(bytes, misalign);
          std::memcpy(want, target == 2 ? b : a, bytes);
          std::memcpy(got, want, bytes);
          ref(target == 1 ? want : a, target == 2 ? want : b, want, count, weight);
          vec(target == 1 ? got : a, target == 2 ? got : b, got, count, weight);
          ASSERT_TRUE(out_vec.Intact()) << "wrote outside its row: count " << count;
          ASSERT_EQ(std::memcmp(want, got, bytes), 0) << "count " << count << " weight " << weight << " target " << target;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, MixRows,
                         ::testing::Combine(::testing::ValuesIn(kIsaLevels),
                                            ::testing::Range(0, int{imaging::mix::kMixRowCount})),
                         [](const auto& test) {
                           return LevelName(std::get<0>(test.param), kMixNames[std::get<1>(test.param)]);
                         });

}  // namespace
}  // namespace vendrix::testing
