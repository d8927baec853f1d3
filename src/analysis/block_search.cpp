// One block-matching measurement. Positions are in working-image pixels; a displacement d of the
// search means the reference block at p + d matches the current block at p, so the content moved by -d
// from the reference to the current entry, which is what a match reports.
#include "analysis/block_search.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "model/frame_plane_pool.h"

namespace vendrix::analysis {
namespace {

constexpr int32_t kMinRadius = 4, kMaxRadius = 128;
constexpr int32_t kMinBlock = 8, kMaxBlock = 24;
// Grid slack for the refinement stages around a coarse result (+-6, +-1, the 3 x 3 neighbourhood)
// beyond the search radius: blocks start far enough from the plane edge that no stage reads past the
// plane's border.
constexpr int32_t kRefineReach = 12;
constexpr int32_t kLevelMargin[4] = {0, 2, 4, 8};  // the smoothing reach of each level
constexpr uint32_t kMinTexture = 64;               // below: a flat cell that cannot be matched
constexpr int kGridTries = 4;
constexpr int32_t kMidRange = 6;                   // the level-1 stage searches +-6 around the coarse result
constexpr float kThirdStep = 0.334f;               // the third-pixel stage moves the result by a third

// Sparse sample positions. The 8-pixel block's pattern spreads four samples over the block, away from
// its rim and not on one line; the larger blocks use the same pattern scaled to their size (rounded
// down), so every size samples the same relative places and the sums compare alike.
constexpr int8_t kPattern8[2][4][2] = {{{1, 2}, {4, 2}, {3, 6}, {6, 6}}, {{4, 2}, {1, 3}, {6, 4}, {3, 5}}};
constexpr int8_t kPattern12[2][4][2] = {{{1, 3}, {6, 3}, {4, 9}, {9, 9}}, {{6, 3}, {1, 4}, {9, 6}, {4, 7}}};
constexpr int8_t kPattern16[2][4][2] = {{{2, 4}, {8, 4}, {6, 12}, {12, 12}}, {{8, 4}, {2, 6}, {12, 8}, {6, 10}}};
constexpr int8_t kPattern24[2][4][2] = {{{3, 6}, {12, 6}, {9, 18}, {18, 18}}, {{12, 6}, {3, 9}, {18, 12}, {9, 15}}};

struct Window {
  int32_t x0, y0, x1, y1;  // displacements searched, inclusive
};

struct Grid {
  int32_t step;    // distance between block origins
  int32_t margin;  // first origin, from the plane origin (both axes)
  int32_t columns, rows;
  int32_t stride;  // cells per row in the list (the preview's view: plane width / step)
};

struct Candidate {
  int32_t dx, dy;
  uint32_t sum;
};

// The grid of one try: where blocks start and how many fit, leaving room for the search and the
// smoothing of the coarsest level.
Grid MakeGrid(const model::MeasureParams& p, int32_t block, int32_t radius, int32_t width, int32_t height,
              int32_t capacity) {
  Grid g;
  const int32_t e = std::max(0, radius + kRefineReach - model::kPlaneBorder);
  const int32_t coarsest = std::clamp<int32_t>(static_cast<int32_t>(p.coarsestLevel), 0, 3);
  g.margin = std::max(e, kLevelMargin[coarsest] + std::max<int32_t>(p.marginLeft, p.marginTop));
  g.step = p.gridStep <= 1 ? 1 : std::min<int32_t>(p.gridStep, block);
  g.columns = std::max(0, (width - p.marginRight - block - e - g.margin) / g.step);
  g.rows = std::max(0, (height - p.marginBottom - block - e - g.margin) / g.step);
  g.stride = std::max(g.columns, width / g.step);
  // Small steps (late grid tries) can ask for more cells than the list holds: drop rows from the bottom.
  if (int64_t{g.stride} * g.rows > capacity) g.rows = g.stride > 0 ? capacity / g.stride : 0;
  if (g.rows == 0) g.columns = 0;
  return g;
}

// Texture and gradient weights of every cell on the coarsest level. Flat cells get zeros.
void MeasureCells(const Grid& g, int32_t block, const uint8_t* plane, ptrdiff_t pitch, model::MatchList& list,
                  const BlockKernels& k) {
  const int64_t n = int64_t{block} * block;
  for (int32_t r = 0; r < g.rows; ++r)
    for (int32_t c = 0; c < g.columns; ++c) {
      model::MatchCell& cell = list.cells[r * g.stride + c];
      const int32_t ox = g.margin + c * g.step, oy = g.margin + r * g.step;
      cell.x = ox + block / 2;
      cell.y = oy + block / 2;
      CellSums s;
      k.cell_measure(plane + oy * pitch + ox, pitch, block, &s);
      const int64_t mean = (int64_t{s.sum} + n / 2) / n;
      const int64_t texture = int64_t{s.sumSquares} - 2 * mean * s.sum + n * mean * mean;
      if (texture < kMinTexture) {
        cell.texture = 0;
        cell.weightX = cell.weightY = 0.0f;
      } else {
        // The gradient energies enter the selection as their square roots.
        cell.texture = static_cast<uint32_t>(texture);
        cell.weightX = static_cast<float>(std::sqrt(double(s.gradX)));
        cell.weightY = static_cast<float>(std::sqrt(double(s.gradY)));
      }
    }
}

// Keeps the best-textured cells, about targetBlocks of them, and returns how many were kept.
uint32_t SelectCells(const Grid& g, int32_t block, const model::MeasureParams& p, int32_t width, int32_t height,
                     model::MatchList& list) {
  auto for_each_cell = [&](auto&& fn) {
    for (int32_t r = 0; r < g.rows; ++r)
      for (int32_t c = 0; c < g.columns; ++c) fn(list.cells[r * g.stride + c]);
  };
  // Texture threshold: two thirds of the texture-weighted mean texture, lowered on weakly textured
  // frames (means below T) so that they still keep cells.
  double st = 0.0, st2 = 0.0;
  for_each_cell([&](const model::MatchCell& cell) {
    st += cell.texture;
    st2 += double(cell.texture) * cell.texture;
  });
  if (st > 0.0) {
    const double mt = st2 / st, big = block < 16 ? 144000.0 : 86400.0;
    const double threshold = mt > big ? 0.66 * mt : 0.66 * mt * mt / big;
    for_each_cell([&](model::MatchCell& cell) {
      if (cell.texture < threshold) {
        cell.texture = 0;
        cell.weightX = cell.weightY = 0.0f;
      }
    });
  }

  // An axis whose gradient energy is far below the frame's typical one cannot be measured in that cell.
  for (int axis = 0; axis < 2; ++axis) {
    double sum = 0.0;
    int64_t n = 0;
    for_each_cell([&](const model::MatchCell& cell) {
      const double w = axis == 0 ? cell.weightX : cell.weightY;
      if (w > 0.0) sum += w * w, ++n;
    });
    const double s = std::sqrt(sum / double(n > 1 ? n - 1 : 1));
    for_each_cell([&](model::MatchCell& cell) {
      float& w = axis == 0 ? cell.weightX : cell.weightY;
      if (w < 0.18 * s) w = 0.0f;
    });
  }

  // Score; the detail bias favours the frame's outer parts (negative) or its centre (positive).
  const double bias = p.detailBias;
  double s2 = 0.0, smax = 0.0;
  int64_t scored = 0;
  for_each_cell([&](model::MatchCell& cell) {
    double score = std::sqrt((double(cell.weightX) + cell.weightY) * cell.texture);
    if (std::fabs(bias) > 0.0001) {
      const double dx = 2.0 * cell.x - width, dy = 2.0 * cell.y - height;
      const double r2 = dx * dx / (double(width) * width) + dy * dy / (double(height) * height);
      if (bias < 0.0)
        score *= 1.0 + 0.75 * std::sqrt(-bias) * (r2 - 1.96);
      else
        score *= 1.96 - 10.0 * bias * bias * r2;
    }
    if (!(score > 0.0)) score = 0.0;
    cell.score = static_cast<float>(score);
    if (cell.score > 0.0f) {
      s2 += double(cell.score) * cell.score;
      smax = std::max(smax, double(cell.score));
      ++scored;
    }
  });
  if (scored == 0) return 0;

  // Bisect for the score threshold that keeps about targetBlocks cells.
  auto count_above = [&](double t) {
    uint32_t n = 0;
    for_each_cell([&](const model::MatchCell& cell) { n += cell.score > t; });
    return n;
  };
  const double sr = std::sqrt(s2 / double(scored > 1 ? scored - 1 : 1));
  double t = (block < 16 ? 0.25 : 0.12) * sr;
  const uint32_t target = static_cast<uint32_t>(std::min<int64_t>(scored, p.targetBlocks));
  if (count_above(t) > target) {
    double step = 0.25 * smax;
    t += step;
    while (step > 1.0) {
      if (count_above(t) <= target) {
        step *= 0.5;
        t -= step;
      } else {
        t += step;
      }
    }
  }
  uint32_t kept = 0;
  for_each_cell([&](model::MatchCell& cell) {
    cell.keep = cell.score > t ? 1 : 0;
    kept += cell.keep;
  });
  return kept;
}

// The best of the displacements in `w`, rows top to bottom, first found on ties, by the sparse sum over
// the samples of `pattern` on the given level pair.
Candidate SearchSparse(const uint8_t* cur, const uint8_t* ref, ptrdiff_t pitch, const int8_t (*pattern)[2],
                       const Window& w, const BlockKernels& k) {
  ptrdiff_t offsets[4];
  uint8_t values[4];
  for (int s = 0; s < 4; ++s) {
    offsets[s] = pattern[s][1] * pitch + pattern[s][0];
    values[s] = cur[offsets[s]];
  }
  uint32_t sums[2 * (kMaxRadius + kMidRange) + 2];
  const int32_t count = w.x1 - w.x0 + 1;
  Candidate best{0, 0, UINT32_MAX};
  for (int32_t dy = w.y0; dy <= w.y1; ++dy) {
    k.sparse_row(ref + dy * pitch + w.x0, offsets, values, count, sums);
    const int32_t i = k.first_min(sums, count);
    if (sums[i] < best.sum) best = {w.x0 + i, dy, sums[i]};
  }
  return best;
}

Window Around(const Candidate& c, int32_t reach) { return {c.dx - reach, c.dy - reach, c.dx + reach, c.dy + reach}; }

void NegateAndWeigh(float& component, float& weight) {
  if (weight > 0.0f) {
    weight = 1.0f;
    component = -component;
  } else {
    weight = 0.0f;
    component = 0.0f;
  }
}

// Searches every kept cell and appends its match. Returns the number of matches.
uint32_t SearchCells(const Grid& g, int32_t block, const model::MeasureParams& p, const Window& window,
                     const SearchPlanes& planes, model::MatchList& list, const BlockKernels& k) {
  const bool level3 = p.coarsestLevel >= 3;
  const int32_t coarse = level3 ? 3 : 2;
  const auto* coarse_pattern = SparsePattern(block, level3);
  const auto* fine_pattern = SparsePattern(block, false);
  const ptrdiff_t pitch = planes.pitch;
  const uint64_t max_error = uint64_t{p.maxError} * 32;
  uint32_t n = 0;
  for (int32_t r = 0; r < g.rows; ++r)
    for (int32_t c = 0; c < g.columns; ++c) {
      const model::MatchCell& cell = list.cells[r * g.stride + c];
      if (!cell.keep) continue;
      const ptrdiff_t at = (g.margin + r * g.step) * pitch + g.margin + c * g.step;
      // An axis the cell cannot measure is searched over half the range.
      Window w = window;
      if (cell.weightX <= 0.0f) w.x0 /= 2, w.x1 /= 2;
      if (cell.weightY <= 0.0f) w.y0 /= 2, w.y1 /= 2;
      Candidate best = SearchSparse(planes.current[coarse] + at, planes.reference[coarse] + at, pitch, coarse_pattern,
                                    w, k);
      if (p.refineMid)
        best = SearchSparse(planes.current[1] + at, planes.reference[1] + at, pitch, fine_pattern,
                            Around(best, kMidRange), k);
      if (p.refineFine)
        best = SearchSparse(planes.current[0] + at, planes.reference[0] + at, pitch, fine_pattern, Around(best, 1), k);
      if (best.sum >= max_error) continue;
      float rx = static_cast<float>(best.dx), ry = static_cast<float>(best.dy);
      if (p.refineThird) {
        // The full block at the 3 x 3 integer neighbours: the best of them pulls the result a third of a
        // pixel its way, first found on ties (the centre itself keeps it).
        const uint8_t* cur = planes.current[0] + at;
        const uint8_t* ref = planes.reference[0] + at + best.dy * pitch + best.dx;
        uint32_t least = UINT32_MAX;
        int32_t mx = 0, my = 0;
        for (int32_t j = -1; j <= 1; ++j)
          for (int32_t i = -1; i <= 1; ++i) {
            const uint32_t s = k.block_ssd(cur, ref + j * pitch + i, pitch, block);
            if (s < least) least = s, mx = i, my = j;
          }
        rx += kThirdStep * static_cast<float>(mx);
        ry += kThirdStep * static_cast<float>(my);
      }
      model::MatchEntry& m = list.matches[n++];
      std::memset(&m, 0, sizeof(m));
      m.dx = rx;
      m.dy = ry;
      m.error = best.sum;
      m.valid = 1;
      m.texture = cell.texture;
      m.x = static_cast<float>(g.margin + c * g.step + block / 2 + 3);
      m.y = static_cast<float>(g.margin + r * g.step + block / 2 + 3);
      m.weightX = cell.weightX;
      m.weightY = cell.weightY;
      NegateAndWeigh(m.dx, m.weightX);
      NegateAndWeigh(m.dy, m.weightY);
    }
  return n;
}

// Drops matches of low quality: a large error for their texture, judged per axis against the list.
void FilterQuality(model::MatchList& list) {
  double q2[2] = {0.0, 0.0};
  int64_t n[2] = {0, 0};
  for (uint32_t i = 0; i < list.count; ++i) {
    model::MatchEntry& m = list.matches[i];
    m.quality = std::max(3.0f - static_cast<float>(m.error) / (static_cast<float>(m.texture) + 1.0f), 0.0f);
    if (m.weightX > 0.0f) q2[0] += double(m.quality) * m.quality, ++n[0];
    if (m.weightY > 0.0f) q2[1] += double(m.quality) * m.quality, ++n[1];
  }
  const double qx = n[0] ? 0.5 * std::sqrt(q2[0] / double(n[0])) : 0.0;
  const double qy = n[1] ? 0.5 * std::sqrt(q2[1] / double(n[1])) : 0.0;
  uint32_t kept = 0;
  for (uint32_t i = 0; i < list.count; ++i) {
    const model::MatchEntry& m = list.matches[i];
    if ((m.weightX > 0.0f && m.quality < qx) || (m.weightY > 0.0f && m.quality < qy)) continue;
    list.matches[kept++] = m;
  }
  list.count = kept;
}

Measurement Summarise(const model::MatchList& list) {
  double ax = 0, ay = 0, sx = 0, sy = 0, wx = 0, wy = 0;
  for (uint32_t i = 0; i < list.count; ++i) {
    const model::MatchEntry& m = list.matches[i];
    ax += std::fabs(m.dx) * m.weightX, sx += double(m.dx) * m.weightX, wx += m.weightX;
    ay += std::fabs(m.dy) * m.weightY, sy += double(m.dy) * m.weightY, wy += m.weightY;
  }
  Measurement r;
  r.count = list.count;
  r.meanDx = wx > 0 ? sx / wx : 0.0;
  r.meanDy = wy > 0 ? sy / wy : 0.0;
  r.spread = std::max(wx > 0 ? ax / wx : 0.0, wy > 0 ? ay / wy : 0.0);
  return r;
}

}  // namespace

const int8_t (*SparsePattern(int32_t size, bool level3))[2] {
  const int i = level3 ? 1 : 0;
  switch (size) {
    case 8: return kPattern8[i];
    case 12: return kPattern12[i];
    case 16: return kPattern16[i];
    case 24: return kPattern24[i];
    default: return nullptr;
  }
}

Measurement MeasureOnce(model::MeasureParams& p, const SearchPlanes& planes, model::MatchList& list,
                        const BlockKernels& k) {
  list.count = 0;
  const int32_t block = std::clamp<int32_t>(p.blockSize, kMinBlock, kMaxBlock);
  int32_t radius = std::clamp<int32_t>(p.searchRadius, kMinRadius, kMaxRadius);
  if (!SparsePattern(block, false) || !list.cells) return {};
  Window window{-radius, -radius, radius, radius};
  if (p.explicitWindow) {
    int16_t* sw = p.searchWindow;
    for (int i = 0; i < 4; ++i) sw[i] = static_cast<int16_t>(std::clamp<int32_t>(sw[i], -kMaxRadius, kMaxRadius));
    window = {std::min(sw[0], sw[2]), std::min(sw[1], sw[3]), std::max(sw[0], sw[2]), std::max(sw[1], sw[3])};
    radius = 0;
    for (int i = 0; i < 4; ++i) radius = std::max<int32_t>(radius, std::abs(sw[i]));
  } else {
    p.searchWindow[0] = p.searchWindow[1] = static_cast<int16_t>(-radius);
    p.searchWindow[2] = p.searchWindow[3] = static_cast<int16_t>(radius);
  }
  p.searchRadius = static_cast<uint16_t>(radius);
  const int32_t coarsest = std::clamp<int32_t>(static_cast<int32_t>(p.coarsestLevel), 0, 3);
  const bool level3 = p.coarsestLevel >= 3;
  for (int level : {0, 1, coarsest, level3 ? 3 : 2})
    if (!planes.current[level] || !planes.reference[level]) return {};

  // Grid tries: a frame with too few textured cells is tried again with denser grids.
  Grid g{};
  uint32_t kept = 0;
  const size_t cell_bytes = sizeof(model::MatchCell) * static_cast<size_t>(list.capacity);
  for (int attempt = 0; attempt < kGridTries; ++attempt) {
    std::memset(list.cells, 0, cell_bytes);
    g = MakeGrid(p, block, radius, planes.width, planes.height, list.capacity);
    MeasureCells(g, block, planes.current[coarsest], planes.pitch, list, k);
    kept = SelectCells(g, block, p, planes.width, planes.height, list);
    if (kept > p.minMatches || p.gridStep < 5) break;
    if (attempt + 1 < kGridTries) p.gridStep = static_cast<uint16_t>(p.gridStep - (p.gridStep < 16 ? 2 : 4));
  }
  list.step = static_cast<uint32_t>(g.step);
  list.planeWidth = static_cast<uint32_t>(planes.width);
  list.planeHeight = static_cast<uint32_t>(planes.height);
  list.marginX = list.marginY = static_cast<uint32_t>(g.margin);
  list.count = kept ? SearchCells(g, block, p, window, planes, list, k) : 0;
  if (p.qualityFilter) FilterQuality(list);
  return Summarise(list);
}

}  // namespace vendrix::analysis
