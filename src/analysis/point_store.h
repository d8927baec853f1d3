// Tracked points of one entry of the feature-tracking analyser, and the per-entry steps that fill them:
// building an entry's store from the optical-flow result and marking the inliers of a robust homography.
//
// The stores live in the path's per-entry pointer table (GlobalMotionPath::matchStore, one slot per
// entry, created by the analyser); each store is a single heap block that the path frees with
// platform::HeapRelease. Each point links to the same feature's point in the previous and the next
// entry's store (chain_link.h), so a feature can be followed across entries.
#pragma once

#include <cstddef>
#include <cstdint>

struct GlobalMotionPath;

namespace vendrix::analysis {

constexpr int32_t kNoLink = -1;

struct TrackedPoint {
  int32_t prev;      // index of this feature in the previous entry's store; kNoLink = chain breaks here
  int32_t next;      // index of this feature in the next entry's store; kNoLink = chain breaks here
  float x, y;        // position in this entry's working image, pixels
  float dx, dy;      // position minus the position the feature was tracked from (previous image)
  uint32_t word6;    // not written by the tracking steps
  uint32_t word7;
  uint8_t inlier0;   // inlier of the pass-0 homography
  uint8_t kept0;     // kept by pass-0 chain scoring
  uint8_t inlier1;   // inlier of the pass-1 homography
  uint8_t kept1;     // kept by pass-1 chain scoring (written by that scoring before anything reads it)
  uint8_t present;   // made from a tracking result
  uint8_t pad[3];
};
static_assert(sizeof(TrackedPoint) == 40);
static_assert(offsetof(TrackedPoint, x) == 8 && offsetof(TrackedPoint, dx) == 16);
static_assert(offsetof(TrackedPoint, word6) == 24 && offsetof(TrackedPoint, inlier0) == 32);
static_assert(offsetof(TrackedPoint, present) == 36);

// One heap block: this header, then `count` points.
struct PointStore {
  uint32_t count;
  TrackedPoint* points;  // = the points behind the header
  uint32_t useCount;     // 1 at creation; chain linking adds one per linked neighbour
};
static_assert(offsetof(PointStore, points) == 8 && offsetof(PointStore, useCount) == 16);

// A store of `count` points (0 allowed), every point with prev = next = kNoLink and every flag 0.
// Null when count is negative, too large, or memory is short.
PointStore* PointStoreCreate(int32_t count);
void PointStoreRelease(PointStore* store);  // null is ignored

// The store in slot `entry` of the path's table; null when the table, the slot or the entry is missing.
PointStore* PointStoreAt(const GlobalMotionPath* path, int32_t entry);

// Replaces the store of `entry` (the old one is freed first) by one made from the tracking result:
// point i at to_xy[i] with displacement to_xy[i] - from_xy[i], both inlier flags and kept0 set, present,
// unlinked. For entry 1 the store of entry 0 is replaced too, by the tracked-from positions with zero
// displacement, and point i of entries 0 and 1 are linked to each other. from_xy and to_xy are (x, y)
// pairs. Nothing happens without a table or with bad arguments; when memory is short the slot stays
// empty (false).
bool BuildPointStore(GlobalMotionPath* path, int32_t entry, const float* from_xy, const float* to_xy, int32_t count);

// Sets the pass-`pass` inlier flag (0 or 1) of every point from a robust homography between the points'
// tracked-from and tracked positions. Pass 0 offers every point, with RANSAC at 5 pixels; pass 1 offers
// the points kept by pass 0, with RANSAC at 3 pixels when `second_clip_flag` is set, else least median of
// squares at 3. Offered points take the estimator's marks, the others 0; with 8 pairs or fewer, or when
// the estimator fails, every point gets 1. Other pass numbers and a null store do nothing.
void MarkInliers(PointStore* store, int32_t pass, bool second_clip_flag);

}  // namespace vendrix::analysis
