#include "analysis/point_store.h"

#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "model/global_motion_path.h"
#include "platform/heap.h"

namespace vendrix::analysis {
namespace {

constexpr uint32_t kMinHomographyPairs = 9;  // 8 pairs or fewer: no estimate, every point an inlier
constexpr double kPass0Threshold = 5.0;      // reprojection thresholds, pixels
constexpr double kPass1Threshold = 3.0;

// Largest count whose block size stays far from any overflow.
constexpr int64_t kMaxPoints = (int64_t{1} << 31) / int64_t{sizeof(TrackedPoint)};

// Point i from the tracking result: tracked position, displacement from where it was tracked from.
void FillTracked(PointStore& store, const float* from_xy, const float* to_xy) {
  for (uint32_t i = 0; i < store.count; ++i) {
    TrackedPoint& p = store.points[i];
    p.x = to_xy[2 * i];
    p.y = to_xy[2 * i + 1];
    p.dx = to_xy[2 * i] - from_xy[2 * i];
    p.dy = to_xy[2 * i + 1] - from_xy[2 * i + 1];
    p.inlier0 = p.kept0 = p.inlier1 = 1;
    p.present = 1;
  }
}

void ReplaceSlot(GlobalMotionPath* path, int32_t entry, PointStore* store) {
  PointStoreRelease(static_cast<PointStore*>(path->matchStore[entry]));
  path->matchStore[entry] = store;
}

void SetInlier(TrackedPoint& p, int32_t pass, uint8_t value) {
  if (pass == 0)
    p.inlier0 = value;
  else
    p.inlier1 = value;
}

// Robust homography over n pairs; the inlier marks (0/1) go to mask. False when the estimator fails.
bool EstimateInliers(const float* src, const float* dst, uint32_t n, int method, double threshold, uint8_t* mask) {
  try {
    const int rows = static_cast<int>(n);
    const cv::Mat from(rows, 1, CV_32FC2, const_cast<float*>(src));
    const cv::Mat to(rows, 1, CV_32FC2, const_cast<float*>(dst));
    cv::Mat marks(rows, 1, CV_8U, mask);
    const cv::Mat h = cv::findHomography(from, to, method, threshold, marks);
    if (h.empty()) return false;
    if (marks.data != mask) {  // the estimator replaced the buffer
      if (marks.total() != n || marks.type() != CV_8U || !marks.isContinuous()) return false;
      std::memcpy(mask, marks.data, n);
    }
    return true;
  } catch (...) {  // cv::Exception on degenerate input, std::bad_alloc
    return false;
  }
}

}  // namespace

PointStore* PointStoreCreate(int32_t count) {
  if (count < 0 || count > kMaxPoints) return nullptr;
  const size_t bytes = sizeof(PointStore) + sizeof(TrackedPoint) * size_t(count);
  auto* store = static_cast<PointStore*>(platform::HeapAllocate(bytes));  // zeroed: every flag 0
  if (!store) return nullptr;
  store->count = static_cast<uint32_t>(count);
  store->points = reinterpret_cast<TrackedPoint*>(store + 1);
  store->useCount = 1;
  for (int32_t i = 0; i < count; ++i) store->points[i].prev = store->points[i].next = kNoLink;
  return store;
}

void PointStoreRelease(PointStore* store) { platform::HeapRelease(store); }

PointStore* PointStoreAt(const GlobalMotionPath* path, int32_t entry) {
  if (!path || !path->matchStore || entry < 0 || entry >= model::PathCapacity(path)) return nullptr;
  return static_cast<PointStore*>(path->matchStore[entry]);
}

bool BuildPointStore(GlobalMotionPath* path, int32_t entry, const float* from_xy, const float* to_xy, int32_t count) {
  if (!path || !path->matchStore || entry < 0 || entry >= model::PathCapacity(path)) return false;
  if (count < 0 || (count > 0 && (!from_xy || !to_xy))) return false;

  ReplaceSlot(path, entry, nullptr);
  PointStore* store = PointStoreCreate(count);
  if (!store) return false;
  FillTracked(*store, from_xy, to_xy);
  path->matchStore[entry] = store;

  // Entry 0 has no tracking of its own: its points are where entry 1's features were tracked from, and
  // every chain starts there.
  if (entry == 1) {
    ReplaceSlot(path, 0, nullptr);
    PointStore* first = PointStoreCreate(count);
    if (first) {
      FillTracked(*first, from_xy, from_xy);
      for (int32_t i = 0; i < count; ++i) {
        first->points[i].next = i;
        store->points[i].prev = i;
      }
      path->matchStore[0] = first;
    }
  }
  return true;
}

void MarkInliers(PointStore* store, int32_t pass, bool second_clip_flag) {
  if (!store || (pass != 0 && pass != 1)) return;
  const uint32_t n = store->count;
  uint32_t offered = 0;
  for (uint32_t i = 0; i < n; ++i) offered += (pass == 0 || store->points[i].kept0) ? 1u : 0u;

  bool estimated = false;
  if (offered >= kMinHomographyPairs) {
    // One block: source and destination pairs, then the marks.
    const size_t pairs = sizeof(float) * 2 * size_t(offered);
    auto* block = static_cast<uint8_t*>(platform::HeapAllocate(2 * pairs + offered, 0));
    if (block) {
      auto* src = reinterpret_cast<float*>(block);
      auto* dst = reinterpret_cast<float*>(block + pairs);
      uint8_t* mask = block + 2 * pairs;
      uint32_t k = 0;
      for (uint32_t i = 0; i < n; ++i) {
        const TrackedPoint& p = store->points[i];
        if (pass == 1 && !p.kept0) continue;
        src[2 * k] = p.x - p.dx;
        src[2 * k + 1] = p.y - p.dy;
        dst[2 * k] = p.x;
        dst[2 * k + 1] = p.y;
        ++k;
      }
      const int method = (pass == 0 || second_clip_flag) ? cv::RANSAC : cv::LMEDS;
      const double threshold = pass == 0 ? kPass0Threshold : kPass1Threshold;
      estimated = EstimateInliers(src, dst, offered, method, threshold, mask);
      if (estimated) {
        k = 0;
        for (uint32_t i = 0; i < n; ++i) {
          TrackedPoint& p = store->points[i];
          const bool was_offered = pass == 0 || p.kept0;
          SetInlier(p, pass, was_offered && mask[k] ? 1 : 0);
          k += was_offered ? 1u : 0u;
        }
      }
      platform::HeapRelease(block);
    }
  }
  // Too few pairs, no memory for them, or no estimate: the fit cannot tell, so every point counts.
  if (!estimated)
    for (uint32_t i = 0; i < n; ++i) SetInlier(store->points[i], pass, 1);
}

}  // namespace vendrix::analysis
