// Finishing a scanned clip of 1,000 and 10,000 entries with each finisher (default strengths).
#include <benchmark/benchmark.h>

#include <cmath>

#include "path/camera_matrix.h"
#include "path/finish.h"
#include "util/profiles.h"

namespace vendrix::path {
namespace {

GlobalMotionPath* ShakyClip(int n, uint32_t model_kind) {
  GlobalMotionPath* p = PathCreate(static_cast<uint32_t>(n), 0);
  p->width = 960;
  p->height = 540;
  p->lastFrame = n - 1;
  p->modelParams.modelKind = model_kind;
  for (int i = 1; i < n; ++i) {
    FrameRecord& r = p->analysis->records[i];
    RecordReset(r);
    r.u(kSlotCount) = 500;
    r.u(kSlotSpan) = 1;
    r.f(kSlotTx) = static_cast<float>(1.0 + 2.0 * std::sin(i * 1.3));
    r.f(kSlotTy) = static_cast<float>(1.5 * std::cos(i * 0.7));
    const float a = static_cast<float>(0.002 * std::sin(i * 0.9));
    r.f(kSlotRotSin) = std::sin(a);
    r.f(kSlotRotCos) = std::cos(a);
    r.f(kSlotZoom) = static_cast<float>(0.3 * std::sin(i * 0.4));
    CameraMatrixFromRecord(r, 540.0f, r.matrix());
    CornersFromMatrix(r.matrix(), 960.0f, 540.0f, r);
  }
  return p;
}

void BM_Finish(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const auto kind = static_cast<uint32_t>(state.range(1));
  GlobalMotionPath* p = ShakyClip(n, kind);
  const PathSettings& s = util::kDefaultPathSettings;
  for (auto _ : state) {
    p->preparedCount = 0;  // measure the whole finisher, preparation included
    FinishPathWith(p, nullptr, &s);
  }
  PathDelete(p);
}
// Args: entries, model kind (3 = additive finisher, 6 = matrix finisher).
BENCHMARK(BM_Finish)->Args({1000, 3})->Args({10000, 3})->Args({1000, 6})->Args({10000, 6})
    ->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();

}  // namespace
}  // namespace vendrix::path
