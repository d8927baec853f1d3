// Every entry of every kernel table that a vector version replaces: the plain reference beside each
// level's version, on one row of a 1920-pixel frame (the quad spans: a span of 1920 pixels of a gentle
// warp, as stabilisation draws them). Single-threaded; compare medians:
//
//   vendrix_bench_kernels --benchmark_repetitions=9 --benchmark_report_aggregates_only=true
//
// Benchmarks are named family/entry/level, level "c" for the plain reference.
#include <benchmark/benchmark.h>

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "analysis/corner_detector.h"
#include "kernels/kernel_entries.h"

namespace vendrix::testing {
namespace {

constexpr int32_t kWidth = 1920;

// Noise bytes, or floats on 0..1 as the float formats and the detector's planes hold them.
std::vector<uint8_t> Input(size_t bytes, bool floats) {
  std::mt19937 rng(7);
  std::vector<uint8_t> v(bytes);
  for (uint8_t& b : v) b = static_cast<uint8_t>(rng());
  for (size_t i = 0; floats && i + 4 <= bytes; i += 4) {
    const float f = static_cast<float>(v[i]) / 255.0f;
    std::memcpy(&v[i], &f, 4);
  }
  return v;
}

// The reference (level "c") and each level's version of one entry, leaving out a level that keeps the
// version of the level below it. pick(table) gives the entry; differ(a, b) tells two entries apart.
template <class Table, class Pick, class Differ>
auto Versions(const Table& (*get)(), Pick pick, Differ differ) {
  using Kernel = decltype(pick(get()));
  std::vector<std::pair<std::string, Kernel>> versions{{"c", pick(TableAt(0, get))}};
  for (const IsaLevel& level : kIsaLevels) {
    platform::SetCpuFlagsMask(platform::kCpuAllFlags);
    if ((platform::CpuFlags() & level.flags) != level.flags) continue;
    const Kernel kernel = pick(TableAt(level.flags, get));
    if (differ(versions.back().second, kernel)) versions.emplace_back(level.name, kernel);
  }
  return versions;
}
constexpr auto kDiffer = [](auto a, auto b) { return a != b; };

// Registers family/entry/level for every version, when there is more than the reference;
// run(kernel, state) times one. Items are pixels (values for the mixing rows).
template <class Kernel, class Run>
void Register(const std::string& name, const std::vector<std::pair<std::string, Kernel>>& versions, Run run) {
  if (versions.size() < 2) return;
  for (const auto& [level, kernel] : versions)
    benchmark::RegisterBenchmark((name + "/" + level).c_str(), [run, k = kernel](benchmark::State& state) {
      for (auto _ : state) run(k);
      state.SetItemsProcessed(state.iterations() * kWidth);
    })->Unit(benchmark::kMicrosecond);
}

void RegisterConversions() {
  for (int i = 0; i < imaging::convert::kConvertRowCount; ++i) {
    const RowEntry& e = kRowEntries[i];
    const auto [src_bytes, dst_bytes] = RowBytes(e, kWidth, imaging::kFxOne);
    auto src = std::make_shared<std::vector<uint8_t>>(Input(src_bytes, e.element == 4));
    auto dst = std::make_shared<std::vector<uint8_t>>(dst_bytes);
    Register(std::string("convert/") + e.name,
             Versions(imaging::convert::ConvertRowKernels, [i](const auto& t) { return t.rows[i]; }, kDiffer),
             [src, dst](imaging::convert::RowKernel kernel) {
               kernel(src->data(), dst->data(), kWidth, imaging::kFxOne);
               benchmark::ClobberMemory();
             });
  }
}

// Rows of BGRA8, BGRA16 and BGRA32F pixels: four values each.
void RegisterMixes() {
  for (int i = 0; i < imaging::mix::kMixRowCount; ++i) {
    const size_t bytes = size_t{4} * kWidth << i;
    auto a = std::make_shared<std::vector<uint8_t>>(Input(bytes, i == imaging::mix::kMixF32));
    auto b = std::make_shared<std::vector<uint8_t>>(Input(bytes, i == imaging::mix::kMixF32));
    auto c = std::make_shared<std::vector<uint8_t>>(bytes);
    Register(std::string("mix/") + kMixNames[i],
             Versions(imaging::mix::MixRowKernels, [i](const auto& t) { return t.rows[i]; }, kDiffer),
             [a, b, c](imaging::mix::MixRow kernel) {
               kernel(a->data(), b->data(), c->data(), 4 * kWidth, 30000);
               benchmark::ClobberMemory();
             });
  }
}

void RegisterCornerRows() {
  struct Rows {
    std::vector<uint8_t> floats[7], bytes;
    std::vector<float> out;
    CornerInputs in;
  };
  auto rows = std::make_shared<Rows>();
  for (int r = 0; r < 7; ++r) {
    rows->floats[r] = Input(sizeof(float) * (kWidth + 6), true);
    rows->in.rows[r] = reinterpret_cast<const float*>(rows->floats[r].data());
  }
  rows->bytes = Input(kWidth, false);
  rows->in.bytes = rows->bytes.data();
  analysis::SmoothingTaps(0.7f, rows->in.taps);
  rows->in.level = 2.0f;  // above every value: the scans run to the end of the row
  rows->out.resize(3 * kWidth);
  for (const CornerEntry& e : kCornerEntries)
    Register(std::string("corner/") + e.name,
             Versions(analysis::CornerKernelTable, [](const auto& t) { return t; },
                      [&e](const auto& a, const auto& b) { return e.replaced(a, b); }),
             [rows, &e](const analysis::CornerKernels& k) {
               e.call(k, rows->in, kWidth, rows->out.data());
               benchmark::ClobberMemory();
             });
}

// A span of 1920 pixels across a 2048 x 64 source, 0.985 source pixels per output pixel and drifting
// down by 0.01 rows per pixel, as a slightly scaled and turned frame is drawn.
void RegisterQuadSpans() {
  for (int i = 0; i < texmap::kSpanLayoutCount; ++i) {
    const int32_t unit = texmap::kSpanUnitBytes[i], width = 2048, rows = 64;
    auto source = std::make_shared<std::vector<uint8_t>>(Input(size_t(unit) * width * rows, unit == 16));
    auto out = std::make_shared<std::vector<uint8_t>>(size_t(unit) * kWidth);
    auto grid = std::make_shared<texmap::SampleGrid>();
    texmap::MakeSampleGrid({source->data(), unit * width, width, rows}, unit, grid.get());
    const texmap::QuadSpan span{0, 0, kWidth, 40 << 16, 64553, 20 << 16, 655};
    Register(std::string("span/") + kLayoutNames[i],
             Versions(texmap::QuadSpanKernels, [i](const auto& t) { return t.spans[i]; }, kDiffer),
             [source, out, grid, span](texmap::SpanKernel kernel) {
               kernel(*grid, out->data(), span);
               benchmark::ClobberMemory();
             });
  }
}

// The block matcher, as a level-2 search of radius 43 uses them: a search row of 87 displacements,
// the minimum of 87 sums, full 16 x 16 blocks and cell measures. Items are displacements, values or
// blocks as each kernel counts them (per call: 87, 87, 1, 1).
void RegisterBlockKernels() {
  constexpr int32_t kRow = 87;
  constexpr ptrdiff_t kPitch = 1200;
  auto plane = std::make_shared<std::vector<uint8_t>>(Input(size_t(kPitch) * 40, false));
  auto sums = std::make_shared<std::vector<uint32_t>>(kRow);
  for (uint32_t i = 0; i < kRow; ++i) (*sums)[i] = (i * 7919u) % 1013u;
  const auto versions = [](auto pick) {
    return Versions(analysis::BlockKernelTable, pick, kDiffer);
  };
  auto reg = [](const std::string& name, auto versions_of, auto run) {
    if (versions_of.size() < 2) return;
    for (const auto& [level, kernel] : versions_of)
      benchmark::RegisterBenchmark((name + "/" + level).c_str(), [run, k = kernel](benchmark::State& state) {
        for (auto _ : state) run(k);
      })->Unit(benchmark::kNanosecond);
  };
  reg("block/sparse_row", versions([](const auto& t) { return t.sparse_row; }), [plane, sums](auto kernel) {
    const ptrdiff_t offsets[4] = {2 * kPitch + 1, 2 * kPitch + 4, 6 * kPitch + 3, 6 * kPitch + 6};
    const uint8_t values[4] = {10, 200, 77, 140};
    kernel(plane->data(), offsets, values, kRow, sums->data());
    benchmark::ClobberMemory();
  });
  reg("block/first_min", versions([](const auto& t) { return t.first_min; }),
      [sums](auto kernel) { benchmark::DoNotOptimize(kernel(sums->data(), kRow)); });
  reg("block/block_ssd", versions([](const auto& t) { return t.block_ssd; }), [plane](auto kernel) {
    benchmark::DoNotOptimize(kernel(plane->data(), plane->data() + 5 * kPitch + 3, kPitch, 16));
  });
  reg("block/cell_measure", versions([](const auto& t) { return t.cell_measure; }), [plane](auto kernel) {
    analysis::CellSums c;
    kernel(plane->data() + 2 * kPitch, kPitch, 16, &c);
    benchmark::DoNotOptimize(c);
  });
}

}  // namespace
}  // namespace vendrix::testing

int main(int argc, char** argv) {
  vendrix::testing::RegisterConversions();
  vendrix::testing::RegisterMixes();
  vendrix::testing::RegisterCornerRows();
  vendrix::testing::RegisterQuadSpans();
  vendrix::testing::RegisterBlockKernels();
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
