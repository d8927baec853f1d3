#include "model/frame_plane_pool.h"

#include "platform/heap.h"

namespace vendrix::model {

FramePlanePool* FramePlanePoolCreate(int32_t width, int32_t height) {
  if (width <= 0 || height <= 0 || width >= 32768 || height >= 32768) return nullptr;
  auto* pool = static_cast<FramePlanePool*>(platform::HeapAllocate(sizeof(FramePlanePool)));
  if (!pool) return nullptr;
  pool->width = width;
  pool->height = height;
  const size_t bytes = size_t(width + 2 * kPlaneBorder) * size_t(height + 2 * kPlaneBorder);
  for (FramePlane& plane : pool->planes) {
    plane.entry = plane.level = -1;
    plane.pixels = static_cast<uint8_t*>(platform::HeapAllocate(bytes));
    if (!plane.pixels) {
      FramePlanePoolRelease(pool);
      return nullptr;
    }
  }
  return pool;
}

void FramePlanePoolRelease(FramePlanePool* pool) {
  if (!pool) return;
  for (FramePlane& plane : pool->planes) platform::HeapRelease(plane.pixels);
  platform::HeapRelease(pool);
}

void ShiftPlaneKeys(FramePlanePool& pool, int32_t delta) {
  for (FramePlane& plane : pool.planes) {
    if (plane.entry < 0) continue;
    plane.entry += delta;
    if (plane.entry < 0) {
      plane.entry = plane.level = -1;
      plane.prepared = false;
    }
  }
}

}  // namespace vendrix::model
