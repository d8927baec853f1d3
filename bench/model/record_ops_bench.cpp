// Record operations over a clip of 10,000 entries: the inner loop of path integration and smoothing.
#include <benchmark/benchmark.h>

#include <vector>

#include "motion/camera_matrix.h"
#include "model/frame_record.h"

namespace vendrix::model {
namespace {

constexpr int kEntries = 10000;

std::vector<FrameRecord> Clip() {
  std::vector<FrameRecord> v(kEntries);
  for (int i = 0; i < kEntries; ++i) {
    v[i].Clear();
    RecordReset(v[i]);
    v[i].f(kSlotTx) = 0.01f * i;
    v[i].f(kSlotRotSin) = 0.001f;
    v[i].f(kSlotRotCos) = 0.9999995f;
  }
  return v;
}

void BM_RecordAddScaled(benchmark::State& state) {
  const auto clip = Clip();
  FrameRecord acc;
  acc.Clear();
  for (auto _ : state) {
    for (const FrameRecord& r : clip) RecordAddScaled(acc, r, 0.5f);
    benchmark::DoNotOptimize(acc);
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_RecordAddScaled);

void BM_RecordCompose(benchmark::State& state) {
  const auto clip = Clip();
  FrameRecord acc;
  acc.Clear();
  RecordReset(acc);
  for (auto _ : state) {
    for (const FrameRecord& r : clip) RecordCompose(acc, r);
    benchmark::DoNotOptimize(acc);
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_RecordCompose);

void BM_RecordComposeScaled(benchmark::State& state) {
  const auto clip = Clip();
  FrameRecord acc;
  acc.Clear();
  RecordReset(acc);
  for (auto _ : state) {
    for (const FrameRecord& r : clip) RecordComposeScaled(acc, r, 0.3f);
    benchmark::DoNotOptimize(acc);
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_RecordComposeScaled);

void BM_CameraMatrixRoundTrip(benchmark::State& state) {
  auto clip = Clip();
  for (auto _ : state) {
    for (FrameRecord& r : clip) {
      float m[16];
      motion::CameraMatrixFromRecord(r, 540.0f, m);
      motion::DecomposeCameraMatrix(m, 540.0f, r);
    }
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kEntries);
}
BENCHMARK(BM_CameraMatrixRoundTrip);

}  // namespace
}  // namespace vendrix::model
