// Synthetic match lists with known motion, for the model-fit tests and benchmarks.
//
// A motion is a function mapping a reference point (centred analysis pixels) to its position in the
// current entry. Points are spread uniformly over the image; each match stores the current position
// (top-left origin) and the displacement current - reference, with Gaussian noise of `noise` pixels
// and a fraction `outliers` of matches replaced by random displacements of up to `outlier_range`.
#pragma once

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <random>

#include "model/frame_record.h"
#include "model/match_list.h"

namespace vendrix::testing {

using MotionFn = std::function<void(double x, double y, double* ox, double* oy)>;

struct SyntheticOptions {
  uint32_t width = 960;
  uint32_t height = 540;
  uint32_t count = 500;
  double noise = 0.0;
  double outliers = 0.0;
  double outlier_range = 30.0;
  uint32_t seed = 1;
};

// Caller releases with model::MatchListRelease. Every match is valid with weights 1.
inline model::MatchList* MakeMatches(const MotionFn& motion, const SyntheticOptions& o) {
  model::MatchList* list = model::MatchListCreate(o.count, 1, o.width, o.height, 1.0f);
  if (!list) return nullptr;
  std::mt19937 rng(o.seed);
  std::uniform_real_distribution<double> ux(0.02 * o.width, 0.98 * o.width), uy(0.02 * o.height, 0.98 * o.height);
  std::uniform_real_distribution<double> uo(-o.outlier_range, o.outlier_range), u01(0.0, 1.0);
  std::normal_distribution<double> noise(0.0, o.noise > 0 ? o.noise : 1.0);
  const double cx = o.width / 2.0, cy = o.height / 2.0;
  uint32_t n = 0;
  for (int attempts = 0; n < o.count && attempts < 100 * static_cast<int>(o.count); ++attempts) {
    const double rx = ux(rng) - cx, ry = uy(rng) - cy;  // reference point, centred
    double px, py;
    motion(rx, ry, &px, &py);
    const double x = px + cx, y = py + cy;
    if (x < 0 || y < 0 || x >= o.width || y >= o.height) continue;  // moved out of the frame
    double dx = px - rx, dy = py - ry;
    if (o.noise > 0) dx += noise(rng), dy += noise(rng);
    if (u01(rng) < o.outliers) dx = uo(rng), dy = uo(rng);
    model::MatchEntry& e = list->matches[n++];
    e.dx = static_cast<float>(dx);
    e.dy = static_cast<float>(dy);
    e.x = static_cast<float>(x);
    e.y = static_cast<float>(y);
    e.weightX = e.weightY = 1.0f;
    e.quality = 1.0f;
    e.valid = 1;
  }
  list->count = n;
  return list;
}

// The same, owned.
struct ReleaseMatchList {
  void operator()(model::MatchList* l) const { model::MatchListRelease(l); }
};
using MatchListPtr = std::unique_ptr<model::MatchList, ReleaseMatchList>;
inline MatchListPtr MakeList(const MotionFn& motion, const SyntheticOptions& o) { return MatchListPtr(MakeMatches(motion, o)); }

// Similarity about the image centre followed by a translation: p' = z R(theta) p + t.
inline MotionFn Similarity(double tx, double ty, double theta, double zoom) {
  return [=](double x, double y, double* ox, double* oy) {
    const double c = std::cos(theta) * zoom, s = std::sin(theta) * zoom;
    *ox = c * x - s * y + tx;
    *oy = s * x + c * y + ty;
  };
}

// Planar homography h (row-major 3 x 3) in centred coordinates.
inline MotionFn Homography(const double h[9]) {
  const double g[9] = {h[0], h[1], h[2], h[3], h[4], h[5], h[6], h[7], h[8]};
  return [g](double x, double y, double* ox, double* oy) {
    const double w = g[6] * x + g[7] * y + g[8];
    *ox = (g[0] * x + g[1] * y + g[2]) / w;
    *oy = (g[3] * x + g[4] * y + g[5]) / w;
  };
}

// The camera motion a record describes: T(t) * z R(theta) * P(p, q), P with last row (p, q, 1).
inline MotionFn CameraMotion(double tx, double ty, double theta, double zoom, double p, double q) {
  const double c = zoom * std::cos(theta), s = zoom * std::sin(theta);
  const double h[9] = {c + tx * p, -s + tx * q, tx, s + ty * p, c + ty * q, ty, p, q, 1.0};
  return Homography(h);
}

// Largest distance between the image corners as the record places them (nominal + translation +
// corner offset) and as the motion maps them, in pixels, for a width x height image; NaN when the
// record holds one.
inline double CornerError(const model::FrameRecord& r, const MotionFn& motion, double width, double height) {
  double worst = 0.0;
  for (int k = 0; k < 4; ++k) {
    const double nx = (k == 1 || k == 2 ? 0.5 : -0.5) * width, ny = (k >= 2 ? 0.5 : -0.5) * height;
    double x, y;
    motion(nx, ny, &x, &y);
    const double d = std::hypot(x - (nx + r.f(model::kSlotTx) + r.f(model::kSlotCorners + 2 * k)),
                                y - (ny + r.f(model::kSlotTy) + r.f(model::kSlotCorners + 2 * k + 1)));
    if (!(d <= worst)) worst = d;  // a NaN stays NaN and fails every bound
  }
  return worst;
}

}  // namespace vendrix::testing
