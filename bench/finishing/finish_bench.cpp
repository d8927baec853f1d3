// Finishing a scanned clip of 1,000 and 10,000 entries with each finisher (default strengths).
#include <benchmark/benchmark.h>

#include <cmath>

#include "motion/camera_matrix.h"
#include "finishing/finish.h"
#include "model/profiles.h"

namespace vendrix::finishing {
namespace {

GlobalMotionPath* ShakyClip(int n, uint32_t model_kind) {
  GlobalMotionPath* p = model::PathCreate(static_cast<uint32_t>(n), 0);
  p->width = 960;
  p->height = 540;
  p->lastFrame = n - 1;
  p->modelParams.modelKind = model_kind;
  for (int i = 1; i < n; ++i) {
    model::FrameRecord& r = p->analysis->records[i];
    model::RecordReset(r);
    r.u(model::kSlotCount) = 500;
    r.u(model::kSlotSpan) = 1;
    r.f(model::kSlotTx) = static_cast<float>(1.0 + 2.0 * std::sin(i * 1.3));
    r.f(model::kSlotTy) = static_cast<float>(1.5 * std::cos(i * 0.7));
    const float a = static_cast<float>(0.002 * std::sin(i * 0.9));
    r.f(model::kSlotRotSin) = std::sin(a);
    r.f(model::kSlotRotCos) = std::cos(a);
    r.f(model::kSlotZoom) = static_cast<float>(0.3 * std::sin(i * 0.4));
    motion::CameraMatrixFromRecord(r, 540.0f, r.matrix());
    motion::CornersFromMatrix(r.matrix(), 960.0f, 540.0f, r);
  }
  return p;
}

void BM_Finish(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const auto kind = static_cast<uint32_t>(state.range(1));
  GlobalMotionPath* p = ShakyClip(n, kind);
  const PathSettings& s = model::kDefaultPathSettings;
  for (auto _ : state) {
    p->preparedCount = 0;  // measure the whole finisher, preparation included
    FinishPathWith(p, nullptr, &s);
  }
  model::PathDelete(p);
}
// Args: entries, model kind (3 = additive finisher, 6 = matrix finisher).
BENCHMARK(BM_Finish)->Args({1000, 3})->Args({10000, 3})->Args({1000, 6})->Args({10000, 6})
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();

}  // namespace
}  // namespace vendrix::finishing
