// The corner detector's row kernels: every entry at every level against the reference, bit for bit.
#include <gtest/gtest.h>

#include <deque>

#include "analysis/corner_kernels.h"
#include "kernels/kernel_check.h"

namespace vendrix::testing {
namespace {

using analysis::CornerKernels;

constexpr int32_t kMaxWidth = 67;
constexpr int kInputs = 7;  // input rows, each flush against a guard page

// One call's inputs: kInputs float rows of kMaxWidth + 6 values (the padded row of the row smoothing
// is the longest), the same rows as bytes, smoothing taps and a threshold taken from the data.
struct Inputs {
  const float* rows[kInputs];
  const uint8_t* bytes;
  float taps[4];
  float level;
};

// Runs the entry of `k` for a row of n values into `out` (room for 3 * kMaxWidth floats), scalar results
// stored there too.
using Call = void (*)(const CornerKernels& k, const Inputs& in, int32_t n, float* out);

struct Entry {
  const char* name;
  bool (*differs)(const CornerKernels& a, const CornerKernels& b);
  int32_t padding;  // values read beyond the row's n
  Call call;
};

#define VENDRIX_ENTRY(member, padding, ...) \
  {#member, [](const CornerKernels& a, const CornerKernels& b) { return a.member != b.member; }, padding, __VA_ARGS__}

const Entry kEntries[] = {
    VENDRIX_ENTRY(load_luma, 0, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      k.load_luma(in.bytes, out, n);
    }),
    VENDRIX_ENTRY(tensor_row, 0, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      k.tensor_row(in.rows[0], in.rows[1], in.rows[2], out, out + n, out + 2 * n, n);
    }),
    VENDRIX_ENTRY(smooth_row, 6, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      k.smooth_row(in.rows[0], out, n, in.taps);
    }),
    VENDRIX_ENTRY(smooth_columns, 0, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      k.smooth_columns(in.rows, out, n, in.taps);
    }),
    VENDRIX_ENTRY(column_response, 0, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      const float* yy[7] = {in.rows[3], in.rows[1], in.rows[4], in.rows[0], in.rows[6], in.rows[2], in.rows[5]};
      const float* xy[7] = {in.rows[6], in.rows[5], in.rows[4], in.rows[3], in.rows[2], in.rows[1], in.rows[0]};
      k.column_response(in.rows, yy, xy, out, n, in.taps);
    }),
    VENDRIX_ENTRY(max_rows, 0, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      k.max_rows(in.rows[0], in.rows[1], out, n);
      // In place with the second row ahead in the same buffer, as the window maxima use it.
      float* shifted = out + kMaxWidth;
      std::memcpy(shifted, in.rows[2], sizeof(float) * n);
      const int32_t step = 1 << (n % 5);
      if (step < n) k.max_rows(shifted, shifted + step, shifted, n - step);
    }),
    VENDRIX_ENTRY(suppress_row, 0, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      k.suppress_row(in.rows[0], in.rows[1], in.level, out, n);
    }),
    VENDRIX_ENTRY(sum_squares, 0, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      out[0] = k.sum_squares(in.rows[0], n);
    }),
    VENDRIX_ENTRY(next_above, 0, [](const CornerKernels& k, const Inputs& in, int32_t n, float* out) {
      for (int32_t start = 0; start <= n; ++start) out[start] = static_cast<float>(k.next_above(in.rows[0], start, n, in.level));
    }),
};
#undef VENDRIX_ENTRY

using LevelAndEntry = std::tuple<IsaLevel, int>;
class CornerRows : public ::testing::TestWithParam<LevelAndEntry> {};

// Every width 1..67 and every pattern, each input row flush against a guard page and the outputs
// between canaries at every alignment mod 16.
TEST_P(CornerRows, MatchTheReference) {
  const auto [level, index] = GetParam();
  if (!LevelAvailable(level)) GTEST_SKIP() << level.name << " is not available here";
  const CornerKernels ref = TableAt(0, analysis::CornerKernelTable);
  const CornerKernels vec = TableAt(level.flags, analysis::CornerKernelTable);
  const Entry& e = kEntries[index];
  if (!e.differs(ref, vec)) GTEST_SKIP() << "no vector version at this level";
  constexpr size_t kOutBytes = sizeof(float) * 3 * kMaxWidth;
  std::deque<GuardedArena> arenas;
  for (int i = 0; i < kInputs + 1; ++i) arenas.emplace_back(sizeof(float) * (kMaxWidth + 6));
  GuardedArena out_ref(kOutBytes), out_vec(kOutBytes);
  std::mt19937 rng(static_cast<uint32_t>(index));
  for (int32_t n = 1; n <= kMaxWidth; ++n) {
    for (Pattern pattern : kPatterns) {
      Inputs in;
      const size_t values = static_cast<size_t>(n + e.padding);
      for (int i = 0; i < kInputs; ++i) {
        auto* row = reinterpret_cast<float*>(arenas[i].PlaceInput(sizeof(float) * values));
        FillPattern(reinterpret_cast<uint8_t*>(row), sizeof(float) * values, pattern, 4, rng);
        in.rows[i] = row;
      }
      uint8_t* bytes = arenas[kInputs].PlaceInput(static_cast<size_t>(n));
      FillPattern(bytes, static_cast<size_t>(n), pattern, 1, rng);
      in.bytes = bytes;
      for (float& t : in.taps) t = static_cast<float>(rng() % 1000) / 1000.0f;
      in.level = rng() % 4 ? in.rows[0][rng() % n] : 0.0f;  // ties with the data
      const size_t misalign = 4 * (rng() % 4);
      uint8_t* want = out_ref.PlaceOutput(kOutBytes, misalign);
      uint8_t* got = out_vec.PlaceOutput(kOutBytes, misalign);
      for (size_t i = 0; i < kOutBytes; ++i) want[i] = got[i] = static_cast<uint8_t>(rng());
      e.call(ref, in, n, reinterpret_cast<float*>(want));
      e.call(vec, in, n, reinterpret_cast<float*>(got));
      ASSERT_TRUE(out_vec.Intact()) << "wrote outside its rows: width " << n;
      ASSERT_EQ(std::memcmp(want, got, kOutBytes), 0) << "width " << n << " pattern " << static_cast<int>(pattern);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, CornerRows,
                         ::testing::Combine(::testing::ValuesIn(kIsaLevels),
                                            ::testing::Range(0, static_cast<int>(std::size(kEntries)))),
                         [](const auto& test) {
                           return LevelName(std::get<0>(test.param), kEntries[std::get<1>(test.param)].name);
                         });

}  // namespace
}  // namespace vendrix::testing
