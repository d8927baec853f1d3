// Benchmark entry for programs that use the worker pools: attach the library as loading the shared
// object would, run the benchmarks, then release what the library keeps and detach.
#include <benchmark/benchmark.h>

#include "core/library.h"
#include "texmap/render.h"

int main(int argc, char** argv) {
  vendrix::core::CreateRTPathLock();
  if (!vendrix::core::ProcessAttach(nullptr)) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  vendrix::texmap::ReleaseRenderScratch();
  vendrix::core::ProcessDetach();
  vendrix::core::DeleteRTPathLock();
  return 0;
}
