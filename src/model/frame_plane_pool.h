// The pool of bordered luma planes a block-matching path keeps across scans. Planes are keyed by
// (entry, level) and shared through use counts, so the five-entry window of the measurement reuses
// the planes of earlier entries instead of preparing them again.
#pragma once

#include <cstdint>

namespace vendrix::model {

constexpr int kPlanePoolSize = 52;
constexpr int kPlaneBorder = 120;  // pixels on every side, so block searches never leave the plane

struct FramePlane {
  uint8_t* pixels;     // (width + 2 * border) x (height + 2 * border), zero-filled at creation
  int32_t useCount;
  int32_t entry;       // -1 when free
  int32_t level;       // -1 when free
  bool prepared;       // holds the luma of (entry, level); false while a re-keyed plane waits for it
};

struct FramePlanePool {
  int32_t width, height;  // working size the planes were made for (level 0)
  FramePlane planes[kPlanePoolSize];
};

// Allocates the pool and its planes for a width x height working image; null when memory is short
// (nothing stays allocated then).
FramePlanePool* FramePlanePoolCreate(int32_t width, int32_t height);
// Frees each plane, then the pool; null is ignored.
void FramePlanePoolRelease(FramePlanePool* pool);
// Moves every plane's entry key by delta (a real-time window slid); planes of entries that leave the
// window (key below 0) become free.
void ShiftPlaneKeys(FramePlanePool& pool, int32_t delta);

}  // namespace vendrix::model
