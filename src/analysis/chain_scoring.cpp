#include "analysis/chain_scoring.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "analysis/point_store.h"

namespace vendrix::analysis {
namespace {

// Decay per chain step of the penalty of an outlier member and of the weight of an inlier member.
constexpr double kOutlierDecay = 0.6;
constexpr double kInlierDecay = 0.5625;
// Pass 1 keeps at least this many of the best-scored points when there are enough.
constexpr int32_t kRankPoints = 60;

struct ChainStats {
  int32_t length = 1;  // the point itself plus the chain members visited
  int32_t inliers = 0; // c
  double outlier_penalty = 0.0;  // o
  double inlier_weight = 0.0;    // w
};

inline bool Inlier(const TrackedPoint& p, int pass) { return (pass == 0 ? p.inlier0 : p.inlier1) != 0; }

const PointStore* StoreAt(void* const* stores, int32_t capacity, int32_t e) {
  return (e >= 0 && e < capacity) ? static_cast<const PointStore*>(stores[e]) : nullptr;
}

// Follows the chain of every point of `origin` (entry `entry`) one entry per round in direction `dir`
// (-1 back, +1 forward) while the entries stay within [start, end], adding to each point's stats.
// All walkers of a round read the same store and none waits for another, so their cache misses
// overlap; following one chain to its end before the next waits on every miss in turn. Each chain
// still sees its members in order, so the sums are the same as walking chains one by one.
void WalkAll(void* const* stores, int32_t capacity, const PointStore& origin, int32_t entry, int dir, int32_t start,
             int32_t end, int pass, std::vector<ChainStats>& stats, std::vector<std::pair<uint32_t, int32_t>>& active) {
  active.clear();
  // Outside the window the origin's own link is not read either: it may be being written.
  if (entry + dir < start || entry + dir > end) return;
  for (uint32_t i = 0; i < origin.count; ++i) {
    const int32_t index = dir < 0 ? origin.points[i].prev : origin.points[i].next;
    if (index >= 0) active.emplace_back(i, index);
  }
  double outlier_weight = 1.0, inlier_weight = 1.0;  // 0.6^(j-1) and 0.5625^(j-1) at step j
  for (int32_t e = entry + dir; !active.empty() && e >= start && e <= end; e += dir) {
    const PointStore* s = StoreAt(stores, capacity, e);
    if (!s) return;
    // The link out of the window's last entry is not read: the entry after it may be linking to it
    // right now.
    const bool last = e + dir < start || e + dir > end;
    // The store the surviving chains step into next round: each member is fetched as soon as its link
    // is known, so that the next round finds it in the cache instead of waiting on it.
    const PointStore* next = last ? nullptr : StoreAt(stores, capacity, e + dir);
    const uint32_t next_count = next ? next->count : 0;
    size_t alive = 0;
    for (const auto& [point, index] : active) {
      if (static_cast<uint32_t>(index) >= s->count) continue;
      const TrackedPoint& m = s->points[index];
      ChainStats& st = stats[point];
      ++st.length;
      if (Inlier(m, pass)) {
        ++st.inliers;
        st.inlier_weight += inlier_weight;
      } else {
        st.outlier_penalty += outlier_weight;
      }
      if (last) continue;
      const int32_t link = dir < 0 ? m.prev : m.next;
      if (link >= 0) {
        if (static_cast<uint32_t>(link) < next_count) __builtin_prefetch(&next->points[link]);
        active[alive++] = {point, link};
      }
    }
    active.resize(alive);
    outlier_weight *= kOutlierDecay;
    inlier_weight *= kInlierDecay;
  }
}

}  // namespace

void ScoreChains(void* const* stores, int32_t capacity, int32_t entry, int32_t start, int32_t end, int pass,
                 bool second_clip_flag) {
  if (!stores) return;
  auto* store = const_cast<PointStore*>(StoreAt(stores, capacity, entry));
  if (!store || store->count == 0) return;
  const uint32_t n = store->count;
  std::vector<int32_t> support(n);
  std::vector<double> score(n);
  std::vector<int32_t> length(n);
  std::vector<ChainStats> stats(n);
  for (uint32_t i = 0; i < n; ++i) {
    const bool self = Inlier(store->points[i], pass);
    stats[i].inliers = self ? 1 : 0;
    stats[i].inlier_weight = self ? 1.0 : 0.0;
  }
  std::vector<std::pair<uint32_t, int32_t>> active;
  active.reserve(n);
  WalkAll(stores, capacity, *store, entry, -1, start, end, pass, stats, active);
  WalkAll(stores, capacity, *store, entry, +1, start, end, pass, stats, active);
  for (uint32_t i = 0; i < n; ++i) {
    const ChainStats& st = stats[i];
    const int32_t s = std::max(st.inliers - static_cast<int32_t>(std::trunc(st.outlier_penalty + 0.5)), 0);
    support[i] = s;
    length[i] = st.length;
    const double L = st.length;
    score[i] = second_clip_flag ? L * L + s + 0.25 * st.inlier_weight : std::trunc(2.0 * s / (L + 1.0)) + 0.5;
  }

  if (pass == 0) {
    // Keep points whose support reaches the median support (less one, at least 2) and whose chain is
    // not much longer than its support.
    std::vector<int32_t> sorted(support);
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    const int32_t m = sorted[n / 2];
    const int32_t need = std::max(2, m - 1);
    for (uint32_t i = 0; i < n; ++i) {
      const int32_t s = support[i];
      store->points[i].kept0 = (s >= need && (length[i] - 2) / s < 2) ? 1 : 0;
    }
  } else {
    // Keep the best-scored points: at least the top half, and more of a small set, up to 60.
    std::vector<double> sorted(score);
    std::sort(sorted.begin(), sorted.end(), std::greater<>());
    const int32_t h = static_cast<int32_t>(n / 2);
    int32_t rank = h >= kRankPoints ? h : h + (kRankPoints - h) * h / kRankPoints;
    rank = std::min(rank, static_cast<int32_t>(n) - 1);
    const double bar = sorted[rank];
    for (uint32_t i = 0; i < n; ++i) store->points[i].kept1 = (score[i] >= 1.0 && score[i] >= bar) ? 1 : 0;
  }
}

}  // namespace vendrix::analysis
