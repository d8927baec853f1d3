// Every kernel table, every entry an instruction-set level replaces, against the same entry at the
// reference level (no flags: the plain C++ kernels): conversion rows, mixing rows, the corner detector's
// rows and the quad rasteriser's spans. Both run on the same inputs and what they write is compared
// byte for byte. Inputs end at a PROT_NONE page, so reading past them faults; outputs sit between
// canary bytes, so writing beside them shows.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <algorithm>
#include <array>
#include <deque>
#include <random>
#include <string>
#include <type_traits>

#include "kernels/kernel_entries.h"

namespace vendrix::testing {

// Found by argument lookup, so outside the unnamed namespace: names the level of a failing check.
void PrintTo(const IsaLevel& level, std::ostream* os) { *os << level.name; }

namespace {

// Memory ending at a PROT_NONE page. Place() puts `size` bytes before `tail` canary bytes and the page
// (an input takes no tail), with canaries before them too.
class Guarded {
 public:
  explicit Guarded(size_t capacity) : bytes_((capacity + 256 + kPage - 1) / kPage * kPage) {
    end_ = static_cast<uint8_t*>(mmap(nullptr, bytes_ + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)) + bytes_;
    mprotect(end_, kPage, PROT_NONE);
  }
  ~Guarded() { munmap(end_ - bytes_, bytes_ + kPage); }
  Guarded(const Guarded&) = delete;

  uint8_t* Place(size_t size, size_t tail = 0) {
    data_ = end_ - tail - size;
    std::memset(data_ - kCanaries, kCanary, kCanaries);
    std::memset(data_ + size, kCanary, tail);
    return data_;
  }
  bool Intact(size_t size) const {
    return std::all_of(data_ - kCanaries, data_, [](uint8_t b) { return b == kCanary; }) &&
           std::all_of(data_ + size, end_, [](uint8_t b) { return b == kCanary; });
  }

 private:
  static constexpr size_t kCanaries = 32, kPage = 4096;
  static constexpr uint8_t kCanary = 0xA5;
  size_t bytes_;
  uint8_t* end_;
  uint8_t* data_ = nullptr;
};

// The two outputs of a check. Same() places both at one random alignment (a multiple of `granule`),
// fills them alike, has run(out, 0) write the reference's and run(out, 1) the level's, and compares.
class Outputs {
 public:
  explicit Outputs(size_t capacity) : want_(capacity), got_(capacity) {}
  template <class Run>
  ::testing::AssertionResult Same(size_t size, std::mt19937& rng, Run run, size_t granule = 1) {
    const size_t misalign = granule * (rng() % (16 / granule));
    const size_t tail = 32 + (128 - (size + misalign + 32) % 64) % 64;  // the output starts misalign past 64
    uint8_t* want = want_.Place(size, tail);
    uint8_t* got = got_.Place(size, tail);
    for (size_t i = 0; i < size; ++i) want[i] = got[i] = static_cast<uint8_t>(rng());
    run(want, 0);
    run(got, 1);
    if (!got_.Intact(size)) return ::testing::AssertionFailure() << "wrote outside its output";
    const size_t at = static_cast<size_t>(std::mismatch(want, want + size, got).first - want);
    if (at < size) return ::testing::AssertionFailure() << "byte " << at << " of " << size << " differs";
    return ::testing::AssertionSuccess();
  }

 private:
  Guarded want_, got_;
};

// Input patterns: zeros, the largest value of the element (bytes 255, u16 65535, f32 1.0), zeros and
// that value alternating, noise, floats around 0..1, and floats mixed with -0, NaN, infinities,
// denormals and values beyond 32 bits. Float patterns always fill 4-byte elements. Every f32 NaN is the
// processor's default NaN: C++ leaves open which operand's NaN an operation passes on, so NaNs with
// other payloads could differ between two correct kernels.
enum class Pattern { kZero, kMax, kAlternating, kNoise, kUnitFloats, kSpecialFloats };
constexpr Pattern kPatterns[] = {Pattern::kZero,  Pattern::kMax,        Pattern::kAlternating,
                                        Pattern::kNoise, Pattern::kUnitFloats, Pattern::kSpecialFloats};

void Fill(uint8_t* p, size_t bytes, Pattern pattern, int element, std::mt19937& rng) {
  static const float kSpecials[] = {-0.0f, -1.0f, 1e-40f, 3e9f, -3e9f, __builtin_inff(), -__builtin_nanf("")};
  const bool floats = pattern == Pattern::kUnitFloats || pattern == Pattern::kSpecialFloats;
  const size_t step = floats ? 4 : static_cast<size_t>(element);
  for (size_t i = 0, k = 0; i < bytes; i += step, ++k) {
    const bool extreme = pattern == Pattern::kMax || (pattern == Pattern::kAlternating && k % 2);
    float f = extreme ? 1.0f : static_cast<float>(rng() % 1501) / 1000.0f - 0.25f;
    if (pattern == Pattern::kSpecialFloats && rng() % 2) f = kSpecials[rng() % std::size(kSpecials)];
    uint32_t v = 0;
    if (floats || (extreme && element == 4)) std::memcpy(&v, &f, 4);
    else if (extreme) v = ~0u;
    else if (pattern == Pattern::kNoise) v = static_cast<uint32_t>(rng());
    std::memcpy(&f, &v, 4);
    if (element == 4 && f != f) std::memcpy(&v, &kSpecials[6], 4);
    std::memcpy(p + i, &v, std::min(step, bytes - i));
  }
}

constexpr int32_t kMaxCount = 67;  // row widths 1..67: every remainder of every vector width

// The (level, entry) pairs whose vector version this machine runs: an entry that keeps its reference
// at a level has nothing to compare there.
template <class Table, class Replaced>
std::vector<std::tuple<IsaLevel, int>> VectorCases(const Table& (*get)(), int count, Replaced replaced) {
  std::vector<std::tuple<IsaLevel, int>> cases;
  for (const IsaLevel& level : kIsaLevels)
    for (int entry = 0; entry < count && (platform::CpuFlags() & level.flags) == level.flags; ++entry)
      if (replaced(TableAt(0, get), TableAt(level.flags, get), entry)) cases.emplace_back(level, entry);
  return cases;
}

// A check of every vector version of a table against its reference, its cases named "avx2_Entry". Each
// case holds both tables (the reference first), its entry's index and a generator seeded with it.
#define VENDRIX_CHECK_SUITE(suite, table_of, count, replaced, name_of_entry)                             \
  class suite : public ::testing::TestWithParam<std::tuple<IsaLevel, int>> {                         \
   protected:                                                                                         \
    const std::remove_cvref_t<decltype(table_of())> tables[2] = {TableAt(0, table_of),              \
                                                                 TableAt(std::get<0>(GetParam()).flags, table_of)}; \
    const int entry = std::get<1>(GetParam());                                                        \
    std::mt19937 rng{static_cast<uint32_t>(entry)};                                                   \
  };                                                                                                  \
  GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(suite);                                              \
  INSTANTIATE_TEST_SUITE_P(Kernels, suite, ::testing::ValuesIn(VectorCases(table_of, int{count}, replaced)), \
                           [](const auto& test) {                                                    \
                             const int entry = std::get<1>(test.param);                              \
                             return std::string(std::get<0>(test.param).name) + "_" + name_of_entry; \
                           })

// ---- Conversion rows ----

VENDRIX_CHECK_SUITE(ConvertRows, imaging::convert::ConvertRowKernels, imaging::convert::kConvertRowCount,
                    [](const auto& ref, const auto& vec, int i) { return ref.rows[i] != vec.rows[i]; },
                    kRowEntries[entry].name);

// Every count, every pattern, equal sizes and a resampling step.
TEST_P(ConvertRows, MatchTheReference) {
  const RowEntry& e = kRowEntries[entry];
  Guarded source(RowBytes(e, kMaxCount, 3 * imaging::kFxOne).first);
  Outputs outputs(16 * kMaxCount + 128);
  for (int32_t count = 1; count <= kMaxCount; ++count)
    for (Pattern pattern : kPatterns)
      for (uint32_t step : {uint32_t{imaging::kFxOne}, static_cast<uint32_t>(20000 + rng() % 150000)}) {
        const int32_t n = e.rows == Rows::kEvenUnits ? count & ~1 : count;
        const auto [src_bytes, dst_bytes] = RowBytes(e, std::max(n, 1), step);
        uint8_t* src = source.Place(src_bytes);
        Fill(src, src_bytes, pattern, e.element, rng);
        ASSERT_TRUE(outputs.Same(dst_bytes, rng, [&](uint8_t* dst, int v) { tables[v].rows[entry](src, dst, n, step); }))
            << "count " << n << " step " << step << " pattern " << static_cast<int>(pattern);
      }
}

// ---- Mixing rows ----

VENDRIX_CHECK_SUITE(MixRows, imaging::mix::MixRowKernels, imaging::mix::kMixRowCount,
                    [](const auto& ref, const auto& vec, int i) { return ref.rows[i] != vec.rows[i]; }, kMixNames[entry]);

// Every count, every pattern of A against a random one of B, weights at both ends and between, and
// the output on its own row, on A and on B.
TEST_P(MixRows, MatchTheReference) {
  const int value = 1 << entry;  // bytes per value
  Guarded a_row(4 * kMaxCount), b_row(4 * kMaxCount);
  Outputs outputs(4 * kMaxCount);
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
            tables[v].rows[entry](target == 1 ? c : a, target == 2 ? c : b, c, count, weight);
          })) << "count " << count << " weight " << weight << " output on " << "CAB"[target];
        }
}

// ---- The corner detector's rows ----

VENDRIX_CHECK_SUITE(CornerRows, analysis::CornerKernelTable, static_cast<int>(std::size(kCornerEntries)),
                    [](const auto& ref, const auto& vec, int i) { return kCornerEntries[i].replaced(ref, vec); },
                    kCornerEntries[entry].name);

// Every width and every pattern; thresholds and floors that tie with the data.
TEST_P(CornerRows, MatchTheReference) {
  const CornerEntry& e = kCornerEntries[entry];
  std::deque<Guarded> rows;
  for (int i = 0; i < 8; ++i) rows.emplace_back(sizeof(float) * (kMaxCount + 6));
  Outputs outputs(sizeof(float) * 3 * kMaxCount);
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
      ASSERT_TRUE(outputs.Same(sizeof(float) * 3 * kMaxCount, rng, [&](uint8_t* out, int v) {
        e.call(tables[v], in, n, reinterpret_cast<float*>(out));
      }, sizeof(float))) << "width " << n << " pattern " << static_cast<int>(pattern);
    }
}

// ---- Quad spans: sources of 1..67 units by 1..9 rows, top-down or bottom-up, the row last in memory
// ending at the guard page; walks of every kind. ----

VENDRIX_CHECK_SUITE(QuadSpans, texmap::QuadSpanKernels, texmap::kSpanLayoutCount,
                    [](const auto& ref, const auto& vec, int i) { return ref.spans[i] != vec.spans[i]; },
                    kLayoutNames[entry]);

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
  const int32_t unit = texmap::kSpanUnitBytes[entry];
  Guarded source(static_cast<size_t>(unit) * (kMaxCount + 3) * 9);
  Outputs outputs(static_cast<size_t>(unit) * kMaxCount);
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
    ASSERT_TRUE(outputs.Same(size_t(unit) * count, rng, [&](uint8_t* out, int v) { tables[v].spans[entry](grid, out, span); }))
        << width << "x" << rows << " pitch " << src.pitch << ", " << count << " from " << span.u << "," << span.v << " by " << span.du << "," << span.dv;
  }
}

// ---- The block matcher: search rows over displacements 1..67, minima of values with many ties
// (flat and periodic inputs tie everywhere, so the first-found rule is compared), full blocks and cell
// measures of every block size with padded rows. ----

VENDRIX_CHECK_SUITE(BlockRows, analysis::BlockKernelTable, static_cast<int>(std::size(kBlockNames)), BlockEntryReplaced,
                    kBlockNames[entry]);

TEST_P(BlockRows, MatchTheReference) {
  Guarded a_mem(40 * 100), b_mem(40 * 100);
  Outputs outputs(4 * kMaxCount);
  for (int32_t n = 1; n <= kMaxCount; ++n)
    for (Pattern pattern : {Pattern::kZero, Pattern::kMax, Pattern::kAlternating, Pattern::kNoise}) {
      const int32_t block = std::array{8, 12, 16, 24}[rng() % 4];
      const ptrdiff_t pitch = block + 1 + static_cast<ptrdiff_t>(rng() % 40);
      const size_t rows_bytes = static_cast<size_t>(pitch) * (block - 1) + block + (entry == 3 ? 1 : 0);
      const size_t search_bytes = static_cast<size_t>(pitch) * (block - 1) + block + static_cast<size_t>(n);
      const size_t a_bytes = entry == 0 ? search_bytes : (entry == 1 ? 4u * n : rows_bytes);
      uint8_t *a = a_mem.Place(a_bytes), *b = b_mem.Place(rows_bytes);
      Fill(a, a_bytes, pattern, 1, rng);
      Fill(b, rows_bytes, pattern, 1, rng);
      if (entry == 1)  // sums below 2^31 with many equal values
        for (int32_t k = 0; k < n; ++k) reinterpret_cast<uint32_t*>(a)[k] %= pattern == Pattern::kNoise ? 7u : 1u;
      const int8_t (*samples)[2] = analysis::SparsePattern(block, rng() % 2);
      ptrdiff_t offsets[4];
      uint8_t values[4];
      for (int k = 0; k < 4; ++k) offsets[k] = samples[k][1] * pitch + samples[k][0], values[k] = b[offsets[k]];
      ASSERT_TRUE(outputs.Same(4 * static_cast<size_t>(n), rng, [&](uint8_t* out, int v) {
        const analysis::BlockKernels& k = tables[v];
        auto* words = reinterpret_cast<uint32_t*>(out);
        switch (entry) {
          case 0: k.sparse_row(a, offsets, values, n, words); break;
          case 1: words[0] = static_cast<uint32_t>(k.first_min(reinterpret_cast<const uint32_t*>(a), n)); break;
          case 2: words[0] = k.block_ssd(a, b, pitch, block); break;
          default: {
            analysis::CellSums c;
            k.cell_measure(a, pitch, block, &c);
            std::memcpy(out, &c, std::min<size_t>(sizeof(c), 4 * static_cast<size_t>(n)));
          }
        }
      }, 4)) << "n " << n << " block " << block << " pattern " << static_cast<int>(pattern);
    }
}

}  // namespace
}  // namespace vendrix::testing
