#include "analysis/chain_link.h"

#include <algorithm>
#include <cmath>

#include "model/global_motion_path.h"

namespace vendrix::analysis {
namespace {

constexpr int32_t kBoxMargin = 8;         // pixels around the tracked-from positions
constexpr float kLinkDistance = 5;        // a link joins points closer than this
constexpr int64_t kMaxCells = 1 << 20;    // cells grow rather than exceed this many
// Positions beyond this cannot be pixels of a working image (garbage from a diverged track); they are
// left out of the grid.
constexpr float kMaxCoordinate = 1.0e6f;

inline bool Usable(float x, float y) { return std::fabs(x) <= kMaxCoordinate && std::fabs(y) <= kMaxCoordinate; }

// Where point i of the current store was tracked from.
struct Position {
  float x, y;
};
inline Position TrackedFrom(const TrackedPoint& p) { return {p.x - p.dx, p.y - p.dy}; }

}  // namespace

void LinkStores(ChainLinker& linker, PointStore& previous, PointStore& current) {
  float min_x = 0, min_y = 0, max_x = 0, max_y = 0;
  bool any = false;
  for (uint32_t i = 0; i < current.count; ++i) {
    const Position p = TrackedFrom(current.points[i]);
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
      // The box in whole pixels (rounded half to even); queries outside it find nothing.
      const float left = float(std::lrint(min_x) - kBoxMargin), top = float(std::lrint(min_y) - kBoxMargin);
      const float right = left + float(std::lrint(max_x - min_x) + 2 * kBoxMargin);
      const float bottom = top + float(std::lrint(max_y - min_y) + 2 * kBoxMargin);
      // A little wider than the link distance, so that the candidates the 3 x 3 cells hold include every
      // point whose single-precision distance can still round below it.
      float cell = kLinkDistance * 1.1f;
      auto cells = [&](float extent) { return int64_t(extent / cell) + 1; };
      while (cells(right - left) * cells(bottom - top) > kMaxCells) cell *= 2;
      const int64_t columns = cells(right - left), rows = cells(bottom - top);
      linker.cellFirst.assign(size_t(columns * rows), kNoLink);
      linker.nextInCell.resize(current.count);
      auto cell_of = [&](float x, float y) {
        const int64_t cx = std::clamp<int64_t>(int64_t((x - left) / cell), 0, columns - 1);
        const int64_t cy = std::clamp<int64_t>(int64_t((y - top) / cell), 0, rows - 1);
        return cy * columns + cx;
      };
      // In ascending order, each at its cell's head: a cell lists its points highest-numbered first.
      for (uint32_t i = 0; i < current.count; ++i) {
        const Position p = TrackedFrom(current.points[i]);
        if (!Usable(p.x, p.y)) continue;
        int32_t& head = linker.cellFirst[size_t(cell_of(p.x, p.y))];
        linker.nextInCell[i] = head;
        head = static_cast<int32_t>(i);
      }

      // Last to first: when two features of the previous entry reach the same corner, both point to it
      // and the corner's back link ends on the lower index.
      for (uint32_t j = previous.count; j-- > 0;) {
        TrackedPoint& q = previous.points[j];
        if (!(q.x >= left && q.y >= top && q.x < right && q.y < bottom)) continue;  // also rejects NaN
        const int64_t home = cell_of(q.x, q.y), hx = home % columns, hy = home / columns;
        // Nearest in double precision: two corners found at the same place come back from the tracker a
        // rounding apart, and the nearer one is the one meant. Of exactly coincident points the
        // highest-numbered one is taken.
        double best = kLinkDistance * kLinkDistance * 1.001;
        int32_t nearest = kNoLink;
        for (int64_t y = std::max<int64_t>(hy - 1, 0); y <= std::min(hy + 1, rows - 1); ++y)
          for (int64_t x = std::max<int64_t>(hx - 1, 0); x <= std::min(hx + 1, columns - 1); ++x)
            for (int32_t i = linker.cellFirst[size_t(y * columns + x)]; i != kNoLink; i = linker.nextInCell[size_t(i)]) {
              const Position p = TrackedFrom(current.points[i]);
              const double ex = double(q.x) - p.x, ey = double(q.y) - p.y, d = ex * ex + ey * ey;
              if (d < best || (d == best && i > nearest)) {
                best = d;
                nearest = i;
              }
            }
        if (nearest == kNoLink) continue;
        // The link itself needs the single-precision distance below 5 pixels.
        const Position p = TrackedFrom(current.points[nearest]);
        const float ex = q.x - p.x, ey = q.y - p.y;
        if (!(ex * ex + ey * ey < kLinkDistance * kLinkDistance)) continue;
        if (nearest == kNoLink) continue;
        q.next = nearest;
        current.points[nearest].prev = static_cast<int32_t>(j);
      }
    } catch (...) {
      // std::bad_alloc from the grid: no links for this entry, its chains break here.
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
