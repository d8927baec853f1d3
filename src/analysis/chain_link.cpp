#include "analysis/chain_link.h"

#include <algorithm>
#include <cmath>

#include "model/global_motion_path.h"

namespace vendrix::analysis {
namespace {

constexpr int32_t kRectMargin = 8;          // pixels around the tracked-from positions
constexpr float kLinkDistanceSquared = 25;  // closer than 5 pixels
constexpr int32_t kFirstPointVertex = 4;    // the subdivision's ids 0..3 are its own outer vertices
// Positions beyond this cannot be pixels of a working image (garbage from a diverged track); they are
// left out of the subdivision, whose rectangle must stay in integer range.
constexpr float kMaxCoordinate = 1.0e6f;

inline bool Usable(float x, float y) { return std::fabs(x) <= kMaxCoordinate && std::fabs(y) <= kMaxCoordinate; }

// Where point i of the current store was tracked from.
inline cv::Point2f TrackedFrom(const TrackedPoint& p) { return {p.x - p.dx, p.y - p.dy}; }

}  // namespace

void LinkStores(ChainLinker& linker, PointStore& previous, PointStore& current) {
  float min_x = 0, min_y = 0, max_x = 0, max_y = 0;
  bool any = false;
  for (uint32_t i = 0; i < current.count; ++i) {
    const cv::Point2f p = TrackedFrom(current.points[i]);
    if (!Usable(p.x, p.y)) continue;
    if (!any) {
      min_x = max_x = p.x;
      min_y = max_y = p.y;
      any = true;
    }
    min_x = std::min(min_x, p.x);
    max_x = std::max(max_x, p.x);
    min_y = std::min(min_y, p.y);
    max_y = std::max(max_y, p.y);
  }

  if (any) {
    try {
      const cv::Rect rect(cvRound(min_x) - kRectMargin, cvRound(min_y) - kRectMargin,
                          cvRound(max_x - min_x) + 2 * kRectMargin, cvRound(max_y - min_y) + 2 * kRectMargin);
      const float left = static_cast<float>(rect.x), top = static_cast<float>(rect.y);
      const float right = static_cast<float>(rect.x + rect.width), bottom = static_cast<float>(rect.y + rect.height);
      linker.subdiv.initDelaunay(rect);
      linker.pointOfVertex.assign(kFirstPointVertex, kNoLink);
      for (uint32_t i = 0; i < current.count; ++i) {
        const cv::Point2f p = TrackedFrom(current.points[i]);
        if (!Usable(p.x, p.y)) continue;
        const int id = linker.subdiv.insert(p);  // a coincident point returns the existing vertex
        if (id < kFirstPointVertex) continue;
        if (size_t(id) >= linker.pointOfVertex.size()) linker.pointOfVertex.resize(size_t(id) + 1, kNoLink);
        linker.pointOfVertex[size_t(id)] = static_cast<int32_t>(i);
      }

      // Last to first: when two features of the previous entry reach the same corner, both point to it
      // and the corner's back link ends on the lower index.
      for (uint32_t j = previous.count; j-- > 0;) {
        TrackedPoint& q = previous.points[j];
        if (!(q.x >= left && q.y >= top && q.x < right && q.y < bottom)) continue;  // also rejects NaN
        const int id = linker.subdiv.findNearest(cv::Point2f(q.x, q.y));
        if (id < kFirstPointVertex || size_t(id) >= linker.pointOfVertex.size()) continue;
        const int32_t i = linker.pointOfVertex[size_t(id)];
        if (i == kNoLink) continue;
        const cv::Point2f p = TrackedFrom(current.points[i]);
        const float ex = q.x - p.x, ey = q.y - p.y;
        if (ex * ex + ey * ey < kLinkDistanceSquared) {
          q.next = i;
          current.points[i].prev = static_cast<int32_t>(j);
        }
      }
    } catch (...) {
      // cv::Exception or std::bad_alloc from the subdivision: the links made so far stand (each one was
      // set on both sides), the remaining chains break here.
    }
  }
  ++previous.useCount;
  ++current.useCount;
}

bool LinkChains(ChainLinker& linker, GlobalMotionPath* path, int32_t entry) {
  if (entry < 2) return false;
  PointStore* previous = PointStoreAt(path, entry - 1);
  PointStore* current = PointStoreAt(path, entry);
  if (!previous || !current) return false;
  LinkStores(linker, *previous, *current);
  return true;
}

}  // namespace vendrix::analysis
