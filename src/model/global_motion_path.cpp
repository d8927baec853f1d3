#include "model/global_motion_path.h"

#include "model/frame_plane_pool.h"
#include "model/analyser.h"
#include "model/analysis_jobs.h"
#include "platform/heap.h"

namespace vendrix::model {
namespace {

// Analyser sync mode that settles in-flight work before the window slides.
constexpr int32_t kSyncBeforeShift = 3;

void ReleaseMatchStore(GlobalMotionPath* path, int32_t capacity) {
  if (!path->matchStore) return;
  for (int32_t i = capacity - 1; i >= 0; --i) platform::HeapRelease(path->matchStore[i]);
  platform::HeapRelease(path->matchStore);
  path->matchStore = nullptr;
}

void ReleaseAnalysisResources(GlobalMotionPath* path, int32_t capacity) {
  // Jobs still running read the plane pool and write the arrays: they end before either goes.
  if (path->jobPool) {
    path->jobPool->Release();
    path->jobPool = nullptr;
  }
  platform::HeapRelease(path->handover);
  path->handover = nullptr;
  FramePlanePoolRelease(path->planePool);
  path->planePool = nullptr;
  ReleaseMatchStore(path, capacity);
}

void ReleaseAnalyser(GlobalMotionPath* path) {
  if (!path->analyser) return;
  path->analyser->Release();  // its full Sync may still deliver into the arrays
  path->analyser = nullptr;
}

}  // namespace

GlobalMotionPath* PathCreate(uint32_t frame_count, int32_t flags) {
  const bool interlaced = (flags & kPathInterlaced) != 0;
  const uint64_t capacity = uint64_t{frame_count} * (interlaced ? 2u : 1u);
  if (capacity > INT32_MAX) return nullptr;
  auto* path = static_cast<GlobalMotionPath*>(platform::HeapAllocate(sizeof(GlobalMotionPath)));
  if (!path) return nullptr;
  for (auto& m : path->measured) {
    m = RecordArrayCreate(static_cast<int32_t>(capacity));
    if (!m) {
      PathDelete(path);
      return nullptr;
    }
  }
  path->analysis = path->measured[0];
  path->preparedCount = 0;
  path->preparedReadout = 0.0f;
  path->integrated = RecordArrayCreate(static_cast<int32_t>(capacity));
  path->smoothed = RecordArrayCreate(static_cast<int32_t>(capacity));
  if (!path->integrated || !path->smoothed) {
    PathDelete(path);
    return nullptr;
  }
  path->flags = static_cast<uint8_t>(flags & (kPathInterlaced | kPathKeepMatches));
  return path;
}

void PathReleaseAnalysis(GlobalMotionPath* path) {
  ReleaseAnalyser(path);
  ReleaseAnalysisResources(path, PathCapacity(path));
}

void PathDelete(GlobalMotionPath* path) {
  if (!path) return;
  const int32_t capacity = PathCapacity(path);
  ReleaseAnalyser(path);
  if (path->jobPool) {
    path->jobPool->Release();
    path->jobPool = nullptr;
  }
  for (auto& m : path->measured) {
    RecordArrayRelease(m);
    m = nullptr;
  }
  RecordArrayRelease(path->integrated);
  RecordArrayRelease(path->smoothed);
  path->analysis = path->integrated = path->smoothed = nullptr;
  ReleaseAnalysisResources(path, capacity);
  platform::HeapRelease(path);
}

void PathShift(GlobalMotionPath* path, int32_t delta) {
  if (!path || delta == 0) return;
  if (path->analyser) path->analyser->Sync(kSyncBeforeShift);
  // Block-matching jobs write records at their unshifted entries and read planes keyed by them: they
  // finish and hand over first, and the planes move with their entries.
  if (path->jobPool) path->jobPool->CompleteAll(true);
  if (path->planePool) ShiftPlaneKeys(*path->planePool, delta);
  path->lastFrame += delta;
  if (path->analyser) path->analyser->Shift(delta);
  RecordArrayShift(path->analysis, delta);
  ShiftOwnedBlocks(path->matchStore, PathCapacity(path), delta);
  path->preparedCount = 0;  // same entry count, other records: the finisher must prepare again
}

}  // namespace vendrix::model
