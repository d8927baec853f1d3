#include "cover_framing.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "settings_options.h"

namespace vendrix::cli {

namespace {

struct Point {
  double x, y;
};

// Area of the convex polygon `p` inside the rectangle [0, w] x [0, h]: the polygon clipped by each of
// the rectangle's four sides in turn.
double AreaInside(std::vector<Point> p, double w, double h) {
  std::vector<Point> next;
  // Side k keeps the points with inside(k, point) >= 0.
  auto inside = [&](int k, Point a) { return k == 0 ? a.x : k == 1 ? w - a.x : k == 2 ? a.y : h - a.y; };
  for (int k = 0; k < 4 && !p.empty(); ++k) {
    next.clear();
    for (size_t i = 0; i < p.size(); ++i) {
      const Point a = p[i], b = p[(i + 1) % p.size()];
      const double da = inside(k, a), db = inside(k, b);
      if (da >= 0) next.push_back(a);
      if ((da >= 0) != (db >= 0)) {
        const double t = da / (da - db);
        next.push_back({a.x + t * (b.x - a.x), a.y + t * (b.y - a.y)});
      }
    }
    p.swap(next);
  }
  double twice = 0;
  for (size_t i = 0; i < p.size(); ++i) {
    const Point a = p[i], b = p[(i + 1) % p.size()];
    twice += a.x * b.y - b.x * a.y;
  }
  return std::abs(twice) / 2;
}

// The range of compensations a zoom covers on one axis, as clip bounds.
struct Window {
  double lo, hi, middle;
};

// One axis of the clip: its bounds, the frame's size along it and, per frame, the compensations its
// two sides take (the clip bounds are their extremes): the frame is covered on this axis when the
// window holds both.
struct Axis {
  double lo, hi, size;
  std::vector<std::pair<double, double>> reach;

  // The window a zoom covers on this axis. When the clip's bounds fit in it the axis keeps them (and
  // the library's middle); otherwise the window slides to where the frames overhang it least in sum,
  // a convex function of its middle, found by ternary search. A window centred on the bounds would let
  // a single far peak pull every other frame off centre.
  Window WindowAt(double zoom) const {
    const double half = size * (1 - 1 / zoom) / 2;
    if (hi - lo <= 2 * half) return {lo, hi, (lo + hi) / 2};
    auto overhang = [&](double m) {
      double sum = 0;
      for (const auto& [need_lo, need_hi] : reach)
        sum += std::max(0.0, m - half - need_lo) + std::max(0.0, need_hi - m - half);
      return sum;
    };
    double a = lo + half, b = hi - half;
    for (int i = 0; i < 48; ++i) {
      const double m1 = a + (b - a) / 3, m2 = b - (b - a) / 3;
      if (overhang(m1) <= overhang(m2))
        b = m2;
      else
        a = m1;
    }
    const double m = (a + b) / 2;
    return {m - half, m + half, m};
  }
};

}  // namespace

double UncoveredShare(const MotionCompArrayBRecord& record, double width, double height, double zoom,
                      PathSample shift) {
  const std::array<Point, 4> frame{{{0, 0}, {width, 0}, {width, height}, {0, height}}};
  std::vector<Point> quad(4);
  for (size_t k = 0; k < 4; ++k) {
    quad[k].x = width / 2 + zoom * (frame[k].x + FromFixed(record.corner[k].x) + shift.x - width / 2);
    quad[k].y = height / 2 + zoom * (frame[k].y + FromFixed(record.corner[k].y) + shift.y - height / 2);
  }
  return std::clamp(1 - AreaInside(std::move(quad), width, height) / (width * height), 0.0, 1.0);
}

std::vector<uint32_t> FramedArray(const Motion& motion, const PathSettings& look, double uncovered_budget) {
  std::vector<uint32_t> comp = motion.comp;
  auto* bytes = reinterpret_cast<uint8_t*>(comp.data());
  if (comp.size() * 4 < VENDRIX_COMP_B_OFFSET_RECORDS) return comp;
  std::memcpy(bytes + VENDRIX_COMP_OFFSET_SETTINGS, &look, sizeof look);
  MotionCompHeader head;
  std::memcpy(&head, bytes, sizeof head);
  const int64_t entries = motion.entries();
  if (!(uncovered_budget > 0) || look.FramingMode != VENDRIX_FRAMING_ZOOM_COVER || entries <= 0 ||
      head.count != entries || comp.size() * 4 < size_t(VENDRIX_COMP_B_SIZE(entries)) || head.width <= 0 ||
      head.height <= 0)
    return comp;

  const double w = head.width, h = head.height;
  Axis x{FromFixed(head.boundsMinX), FromFixed(head.boundsMaxX), w, {}};
  Axis y{FromFixed(head.boundsMinY), FromFixed(head.boundsMaxY), h, {}};
  std::vector<MotionCompArrayBRecord> records(static_cast<size_t>(entries));
  for (int64_t i = 0; i < entries; ++i) {
    const MotionCompArrayBRecord& r = records[size_t(i)] = RecordOf(motion, i);
    const SideReach reach = SideReachOf(r);
    x.reach.push_back({reach.left, reach.right});
    y.reach.push_back({reach.top, reach.bottom});
  }
  // The library's fit: the zoom that covers the frame over the clip's whole range of movement.
  const double cover =
      std::max(w / std::max(w / 4, w - (x.hi - x.lo)), h / std::max(h / 4, h - (y.hi - y.lo)));
  const double limit = MaxZoomOf(look), ceiling = std::min(cover, limit);
  if (ceiling <= kUnnoticedZoom) return comp;
  auto uncovered = [&](double zoom) {
    const PathSample middle{x.WindowAt(zoom).middle, y.WindowAt(zoom).middle, 0, 1};
    double sum = 0;
    for (const MotionCompArrayBRecord& r : records) sum += UncoveredShare(r, w, h, zoom, middle);
    return sum / double(entries);
  };
  // A clip that moves beyond the limit is drawn at the limit, its edges stretched where the zoom falls
  // short, unless that would take more than kMostStretched of its pixels. Below the limit, zooming in
  // only adds covered area, so the share falls with the zoom and halving the interval finds the least
  // zoom within the budget.
  double zoom = ceiling;
  if (const double at_ceiling = uncovered(ceiling); at_ceiling > uncovered_budget) {
    if (at_ceiling > kMostStretched) return comp;
  } else {
    double lo = 1, hi = ceiling;
    for (int i = 0; i < 24; ++i) {
      const double mid = (lo + hi) / 2;
      (uncovered(mid) <= uncovered_budget ? hi : lo) = mid;
    }
    zoom = std::max(kUnnoticedZoom, hi);
  }
  // A thousandth of zoom is not worth a strip of edge.
  if (cover <= limit && zoom > cover - 1e-3) return comp;

  // The fit zooms to cover the clip bounds about their middle: bounds the size of the window give
  // exactly this zoom and this middle.
  const Window wx = x.WindowAt(zoom), wy = y.WindowAt(zoom);
  head.boundsMinX = ToFixed(wx.lo);
  head.boundsMaxX = ToFixed(wx.hi);
  head.boundsMinY = ToFixed(wy.lo);
  head.boundsMaxY = ToFixed(wy.hi);
  std::memcpy(bytes, &head, sizeof head);
  PathSettings fit = look;
  fit.FramingMode = VENDRIX_FRAMING_FIT;
  std::memcpy(bytes + VENDRIX_COMP_OFFSET_SETTINGS, &fit, sizeof fit);
  return comp;
}

}  // namespace vendrix::cli
