// Benchmark entry for programs that use the worker pools: attach the library as loading the shared
// object would, run the benchmarks, then release what the library keeps and detach.
#include <benchmark/benchmark.h>

#include "concurrency/library.h"
#include "texmap/render.h"

int main(int argc, char** argv) {
  vendrix::concurrency::CreateRTPathLock();
  if (!vendrix::concurrency::ProcessAttach(nullptr)) return 1;
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  vendrix::texmap::ReleaseRenderScratch();
  vendrix::concurrency::ProcessDetach();
  vendrix::concurrency::DeleteRTPathLock();
  return 0;
}
