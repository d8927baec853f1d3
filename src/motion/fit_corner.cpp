// Corner fit (model kinds 2 and 3): the translation of the image centre and the four corner offsets of
// one entry, fitted to its block matches as translation, in-plane rotation and zoom, plus a vertical
// scale and a horizontal shear when the extended iterations are on.
//
// How the fit moves its state. The working copy holds, per match, its position in the current entry and
// its residual, both in centred analysis pixels (origin at the image centre). The reference point
// (position - residual) never changes. Every step estimates how much of one kind of motion is left in
// the residuals and removes a share of it by mapping the positions back toward the reference points;
// the residuals follow the positions, so they shrink. The four image corners, which start at their
// nominal places, are mapped with the positions. At the end they therefore hold G(nominal corner), G
// being the correction map the fit applied to the current entry (an affine map: every step is a
// translation or a linear map about the centre). The motion from the reference entry to the current
// one is the inverse of G, and the record is read from that inverse exactly: the translation is where
// the reference centre went, the corner offsets are the nominal corners mapped through it minus the
// corner minus the translation, the rotation pair and zoom term its closest similarity, and the camera
// matrix that similarity. Reading translation and scale from the inverse map replaces running sums of the
// per-step translations and scale factors, which are exact only while no rotation is present.
//
// Sign conventions of the estimators: the rotation estimate theta is the rotation left in the residuals
// (residual ~ theta * (-y, x)); the fit rotates the positions by theta * g * (-0.7). The scale estimate
// s is the zoom left in the residuals (residual ~ (s - 1) * (x, y)); the fit divides the positions by
// f = (s - 1) * g * 0.5 + 1. Both remove a share of the estimate, so a rotation or zoom from the
// reference to the current entry comes out with its own sign in the record.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "motion/camera_matrix.h"
#include "motion/model_fit.h"
#include "platform/heap.h"

namespace vendrix::motion {

// Test hooks: the rotation and scale searches on a plain entry array whose positions are already
// centred and whose residuals are dx, dy. Each writes the estimator weight of every entry into its
// quality field. Return 0 (rotation) or 1 (scale) when the scratch memory cannot be had.
double CornerFitRotationSearch(MatchEntry* entries, uint32_t count, uint32_t width, uint32_t height);
double CornerFitScaleSearch(MatchEntry* entries, uint32_t count, uint32_t width, uint32_t height);

namespace {

// Iteration schedule.
constexpr int kOuterIterations = 8;
constexpr int kOuterIterationsExtended = 10;
constexpr int kInnerRounds = 1;
constexpr int kInnerRoundsExtended = 2;
constexpr double kGainDecay = 0.92;        // g *= 0.92 after every outer iteration
constexpr double kMeanShare = 0.95;        // share of the mean residual removed per round
constexpr double kRotationGain = -0.7;     // rotation applied: theta * g * (-0.7)
constexpr double kScaleGain = 0.5;         // zoom removed: f = (s - 1) * g * 0.5 + 1
constexpr double kExtendedMinGain = 1e-6;  // vertical scale and shear steps only while g exceeds this
constexpr uint32_t kMinValidMatches = 6;   // matches with both weights positive for a valid fit

// Fit modes (bit values).
constexpr uint32_t kModeRotationScale = 1u;  // rotation and scale steps whatever the degree bytes say
constexpr uint32_t kModeReweight = 2u;       // robust re-weighting between outer iterations
constexpr uint32_t kModeMarkRejected = 4u;   // the re-weighting marks the matches it rejects invalid
constexpr uint32_t kModeVariant0 = 2u;
constexpr uint32_t kModeVariant1 = 7u;
constexpr uint32_t kModeSecondPass = 0u;

// Rotation and scale searches.
constexpr double kEstimatorRadiusDivisor = 128.0;  // c = image diagonal / 128, pixels
constexpr double kRotationStartStep = 0.4;         // radians
constexpr int kRotationRounds = 16;
constexpr double kScaleStartStep = 0.1;
constexpr int kScaleRounds = 15;
constexpr double kEarlyStopDifference = 0.5;  // cost units (weighted pixels)

// Robust re-weighting: Tukey's biweight on the residual length, cut off at a multiple of the median
// length. For Gaussian noise of sigma per axis the median length is 1.18 sigma, so the cut-off sits
// near 4.7 sigma; the floor keeps near-perfect data from rejecting matches over rounding.
constexpr double kTukeyCutoffPerMedian = 4.0;
constexpr double kMinTukeyCutoff = 1.0;  // pixels

// Vertical scale and shear: per-match slopes are taken only from rows this far from the centre, and a
// single step never scales by more than a factor of 2 or shears by more than 0.5.
constexpr double kMinSlopeLever = 0.5;  // pixels
constexpr double kMaxVerticalFactor = 2.0;
constexpr double kMaxShear = 0.5;

// Input limits: larger images, positions far outside the image or displacements longer than the image
// side cannot come from a measurement and are treated as bad input.
constexpr uint32_t kMaxImageSide = 65536;
constexpr double kMinDeterminant = 1e-2;  // a correction map collapsing the image is no motion

// The working copy: per-match arrays (structure of arrays so the cost loops stream), the caller's entry
// index of each match, and the fitted corners.
struct Workspace {
  uint32_t n = 0;
  double* qx = nullptr;  // position in the current entry, centred, as corrected so far
  double* qy = nullptr;
  double* rx = nullptr;  // residual: corrected position - reference position
  double* ry = nullptr;
  double* wx = nullptr;  // current weights (measured weights times the robust weight)
  double* wy = nullptr;
  double* ax = nullptr;  // estimator weight (the entry's quality field) on the axes with positive weight, else 0
  double* ay = nullptr;
  double* bx = nullptr;  // measured weights (0 for an excluded axis)
  double* by = nullptr;
  void* scratch = nullptr;  // 2 n doubles for the medians
  uint32_t* index = nullptr;
  uint8_t* valid = nullptr;
  double width = 0.0, height = 0.0;
  double corners[4][2] = {};
};

constexpr size_t kDoubleArrays = 10;
constexpr size_t kScratchDoubles = 2;

// One heap block for every array of `capacity` matches; null when memory is short.
void* AllocateWorkspace(Workspace& ws, uint32_t capacity, double width, double height) {
  const size_t n = capacity;
  const size_t bytes = n * ((kDoubleArrays + kScratchDoubles) * sizeof(double) + sizeof(uint32_t) + 1);
  void* block = platform::HeapAllocate(bytes > 0 ? bytes : 1, 0);
  if (!block) return nullptr;
  double* d = static_cast<double*>(block);
  double** arrays[kDoubleArrays] = {&ws.qx, &ws.qy, &ws.rx, &ws.ry, &ws.wx, &ws.wy, &ws.ax, &ws.ay, &ws.bx, &ws.by};
  for (size_t k = 0; k < kDoubleArrays; ++k) *arrays[k] = d + k * n;
  ws.scratch = d + kDoubleArrays * n;
  ws.index = reinterpret_cast<uint32_t*>(d + (kDoubleArrays + kScratchDoubles) * n);
  ws.valid = reinterpret_cast<uint8_t*>(ws.index + n);
  ws.n = 0;
  ws.width = width;
  ws.height = height;
  return block;
}

// A measured weight as the fit uses it: positive and finite, else 0 (axis excluded).
double UsableWeight(float w) { return std::isfinite(w) && w > 0.0f ? double{w} : 0.0; }

// A match whose numbers can come from a measurement: finite, its position within one image size of
// the image and its displacement no longer than the longer image side.
bool UsableNumbers(const MatchEntry& e, double width, double height) {
  if (!std::isfinite(e.x) || !std::isfinite(e.y) || !std::isfinite(e.dx) || !std::isfinite(e.dy)) return false;
  const double limit = std::max(width, height);
  return std::fabs(e.x - 0.5 * width) <= width && std::fabs(e.y - 0.5 * height) <= height &&
         std::fabs(double{e.dx}) <= limit && std::fabs(double{e.dy}) <= limit;
}

void ResetCorners(Workspace& ws) {
  const double hw = 0.5 * ws.width, hh = 0.5 * ws.height;
  const double nominal[4][2] = {{-hw, -hh}, {hw, -hh}, {hw, hh}, {-hw, hh}};
  for (int k = 0; k < 4; ++k) ws.corners[k][0] = nominal[k][0], ws.corners[k][1] = nominal[k][1];
}

// Puts the caller's entry `index` into slot k of the working copy as measured.
void LoadEntry(Workspace& ws, uint32_t k, const MatchEntry& e, uint32_t index) {
  ws.qx[k] = e.x - 0.5 * ws.width;
  ws.qy[k] = e.y - 0.5 * ws.height;
  ws.rx[k] = e.dx;
  ws.ry[k] = e.dy;
  ws.wx[k] = ws.bx[k] = UsableWeight(e.weightX);
  ws.wy[k] = ws.by[k] = UsableWeight(e.weightY);
  ws.index[k] = index;
  ws.valid[k] = 1;
}

// Marks the caller's matches with unusable numbers invalid and counts the others that carry a weight
// on some axis (`loadable`) and on both axes (`both`).
void ScreenMatches(MatchList& list, uint32_t n, double width, double height, uint32_t* loadable, uint32_t* both) {
  *loadable = *both = 0;
  for (uint32_t i = 0; i < n; ++i) {
    MatchEntry& e = list.matches[i];
    if (!e.valid) continue;
    if (!UsableNumbers(e, width, height)) {
      e.valid = 0;
      continue;
    }
    const double bx = UsableWeight(e.weightX), by = UsableWeight(e.weightY);
    if (bx > 0.0 || by > 0.0) ++*loadable;
    if (bx > 0.0 && by > 0.0) ++*both;
  }
}

void LoadMatches(Workspace& ws, const MatchList& list, uint32_t n) {
  uint32_t k = 0;
  for (uint32_t i = 0; i < n; ++i) {
    const MatchEntry& e = list.matches[i];
    if (!e.valid || !UsableNumbers(e, ws.width, ws.height)) continue;
    if (UsableWeight(e.weightX) > 0.0 || UsableWeight(e.weightY) > 0.0) LoadEntry(ws, k++, e, i);
  }
  ws.n = k;
  ResetCorners(ws);
}

// Drops the matches marked invalid and reloads the others from the caller's list as measured
// (original positions, residuals and weights).
void ReloadValidMatches(Workspace& ws, const MatchList& list) {
  uint32_t k = 0;
  for (uint32_t i = 0; i < ws.n; ++i)
    if (ws.valid[i]) LoadEntry(ws, k++, list.matches[ws.index[i]], ws.index[i]);
  ws.n = k;
  ResetCorners(ws);
}

void CopyValidBytes(const Workspace& ws, MatchList& list) {
  for (uint32_t i = 0; i < ws.n; ++i) list.matches[ws.index[i]].valid = ws.valid[i];
}

// Moves positions, residuals and corners by (tx, ty).
void Translate(Workspace& ws, double tx, double ty) {
  for (uint32_t i = 0; i < ws.n; ++i) {
    ws.qx[i] += tx;
    ws.qy[i] += ty;
    ws.rx[i] += tx;
    ws.ry[i] += ty;
  }
  for (auto& c : ws.corners) c[0] += tx, c[1] += ty;
}

// Maps positions and corners through the linear map [[a, b], [c, d]] about the centre; the residuals
// change by what their position moved (the reference points stay).
void ApplyLinear(Workspace& ws, double a, double b, double c, double d) {
  for (uint32_t i = 0; i < ws.n; ++i) {
    const double x = ws.qx[i], y = ws.qy[i];
    const double nx = a * x + b * y, ny = c * x + d * y;
    ws.rx[i] += nx - x;
    ws.ry[i] += ny - y;
    ws.qx[i] = nx;
    ws.qy[i] = ny;
  }
  for (auto& k : ws.corners) {
    const double x = k[0], y = k[1];
    k[0] = a * x + b * y;
    k[1] = c * x + d * y;
  }
}

void Rotate(Workspace& ws, double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  ApplyLinear(ws, c, -s, s, c);
}

// Removes `share` of the weighted mean residual (per axis, over the positive weights) from the
// positions, residuals and corners.
void RemoveMeanResidual(Workspace& ws, double share) {
  double sx = 0.0, sy = 0.0, nx = 0.0, ny = 0.0;
  for (uint32_t i = 0; i < ws.n; ++i) {
    sx += ws.wx[i] * ws.rx[i];
    nx += ws.wx[i];
    sy += ws.wy[i] * ws.ry[i];
    ny += ws.wy[i];
  }
  const double mx = nx > 0.0 ? sx / nx : 0.0, my = ny > 0.0 ? sy / ny : 0.0;
  Translate(ws, -share * mx, -share * my);
}

// Estimator weight w = c / (rho + c + 1) of every match, rho its distance from the centre and
// c = diagonal / 128: about c / rho far out, so every match counts alike in angle or zoom rather than in
// pixels, and bounded near the centre, where a match says nothing about rotation or zoom.
void SetEstimatorWeights(Workspace& ws) {
  const double c = std::sqrt(ws.width * ws.width + ws.height * ws.height) / kEstimatorRadiusDivisor;
  for (uint32_t i = 0; i < ws.n; ++i) {
    const double rho = std::sqrt(ws.qx[i] * ws.qx[i] + ws.qy[i] * ws.qy[i]);
    const double w = c / (rho + c + 1.0);
    ws.ax[i] = ws.wx[i] > 0.0 ? w : 0.0;
    ws.ay[i] = ws.wy[i] > 0.0 ? w : 0.0;
  }
}

// L1 distance between the residuals and the small-motion model with parameter a: a rotation by a
// (model residual (-a y, a x)) or a zoom by 1 + a (model residual (a x, a y)).
// Four independent partial sums let the compiler keep the loop in vector registers.
template <bool kRotation>
double ModelCost(const Workspace& ws, double a) {
  const double* qx = ws.qx;
  const double* qy = ws.qy;
  const double* rx = ws.rx;
  const double* ry = ws.ry;
  const double* ax = ws.ax;
  const double* ay = ws.ay;
  double sum[4] = {0.0, 0.0, 0.0, 0.0};
  const uint32_t n = ws.n, blocks = n & ~1u;
  for (uint32_t i = 0; i < blocks; i += 2) {
    for (uint32_t k = 0; k < 2; ++k) {
      const double ux = kRotation ? -qy[i + k] : qx[i + k];
      const double uy = kRotation ? qx[i + k] : qy[i + k];
      sum[k] += ax[i + k] * std::fabs(a * ux - rx[i + k]);
      sum[2 + k] += ay[i + k] * std::fabs(a * uy - ry[i + k]);
    }
  }
  for (uint32_t i = blocks; i < n; ++i) {
    const double ux = kRotation ? -qy[i] : qx[i];
    const double uy = kRotation ? qx[i] : qy[i];
    sum[0] += ax[i] * std::fabs(a * ux - rx[i]) + ay[i] * std::fabs(a * uy - ry[i]);
  }
  return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

// The search pattern shared by the rotation and scale estimators: halve the step, probe one step either
// side, move to the better probe when it beats the current cost, else halve once more when the probes
// differ by less than the current cost; stop once the probes differ by less than kEarlyStopDifference.
template <class Cost>
double PatternSearch(const Cost& cost, double start, double step, int rounds) {
  double v = start, current = cost(v);
  for (int round = 0; round < rounds; ++round) {
    step *= 0.5;
    const double below = cost(v - step), above = cost(v + step);
    const double best = std::min(below, above);
    if (best < current) {
      v = below <= above ? v - step : v + step;
      current = best;
    } else if (std::fabs(below - above) < current) {
      step *= 0.5;
    }
    if (std::fabs(below - above) < kEarlyStopDifference) break;
  }
  return v;
}

double EstimateRotation(Workspace& ws) {
  SetEstimatorWeights(ws);
  return PatternSearch([&ws](double theta) { return ModelCost<true>(ws, theta); }, 0.0, kRotationStartStep,
                       kRotationRounds);
}

double EstimateScale(Workspace& ws) {
  SetEstimatorWeights(ws);
  return PatternSearch([&ws](double s) { return ModelCost<false>(ws, s - 1.0); }, 1.0, kScaleStartStep,
                       kScaleRounds);
}

struct WeightedValue {
  double value;
  double weight;
};

double MedianOfThree(double a, double b, double c) { return std::max(std::min(a, b), std::min(std::max(a, b), c)); }

// Weighted median (the value v minimising sum weight * |value - v|) by three-way quickselect; expected
// linear time, reorders `v`. `fallback` when the total weight is not positive.
double WeightedMedian(WeightedValue* v, size_t n, double fallback) {
  double target = 0.0;
  for (size_t i = 0; i < n; ++i) target += v[i].weight;
  if (!(target > 0.0)) return fallback;
  target *= 0.5;
  WeightedValue* first = v;
  WeightedValue* last = v + n;
  while (last - first > 1) {
    const double pivot = MedianOfThree(first->value, first[(last - first) / 2].value, last[-1].value);
    WeightedValue* mid1 = std::partition(first, last, [pivot](const WeightedValue& e) { return e.value < pivot; });
    WeightedValue* mid2 = std::partition(mid1, last, [pivot](const WeightedValue& e) { return !(pivot < e.value); });
    double below = 0.0, equal = 0.0;
    for (const WeightedValue* p = first; p != mid1; ++p) below += p->weight;
    for (const WeightedValue* p = mid1; p != mid2; ++p) equal += p->weight;
    if (target < below) {
      last = mid1;
    } else if (target <= below + equal || mid2 == last) {
      return pivot;
    } else {
      target -= below + equal;
      first = mid2;
    }
  }
  return first != last ? first->value : fallback;
}

// Slope k of the residual component (ry when `vertical`, else rx) against the row y, minimising
// sum w |k y - r| = sum w |y| |r / y - k|: the weighted median of the per-match slopes r / y with
// weights w |y|. This is the same L1 cost, with the same distance weights, as the rotation and scale
// searches, solved exactly instead of by search. Its influence is bounded: a mismatched block shifts
// the median by at most its own weight, however large its residual, and the estimate survives up to
// half the weight being outliers, which a least-squares slope would not.
double EstimateRowSlope(Workspace& ws, bool vertical) {
  SetEstimatorWeights(ws);
  WeightedValue* v = static_cast<WeightedValue*>(ws.scratch);
  size_t m = 0;
  for (uint32_t i = 0; i < ws.n; ++i) {
    const double y = ws.qy[i], w = vertical ? ws.ay[i] : ws.ax[i];
    if (!(w > 0.0) || std::fabs(y) < kMinSlopeLever) continue;
    v[m++] = {(vertical ? ws.ry[i] : ws.rx[i]) / y, w * std::fabs(y)};
  }
  return WeightedMedian(v, m, 0.0);
}

// Extended iterations only: removes the vertical scale as (s - 1) * g + 1, then the horizontal shear with
// gain g.
void RemoveVerticalScaleAndShear(Workspace& ws, double g) {
  const double s = 1.0 + EstimateRowSlope(ws, true);
  const double f = std::clamp((s - 1.0) * g + 1.0, 1.0 / kMaxVerticalFactor, kMaxVerticalFactor);
  ApplyLinear(ws, 1.0, 0.0, 0.0, 1.0 / f);
  const double k = std::clamp(EstimateRowSlope(ws, false), -kMaxShear, kMaxShear);
  ApplyLinear(ws, 1.0, -g * k, 0.0, 1.0);
}

// Re-weighting: iteratively re-weighted least squares with Tukey's biweight on the residual length,
// weight = measured weight * (1 - (len / C)^2)^2 below the cut-off C, 0 above, with C a multiple of the
// median length. The influence of a match is bounded and falls back to zero for gross mismatches, so
// block-matching failures (random displacements of any size) stop pulling the mean step at all, and
// the median makes the scale itself robust up to half the matches being outliers. Weights are always
// recomputed from the measured ones, so a match rejected early returns once the model has converged.
// With `mark`, the valid byte follows the decision (rejected = invalid).
void Reweight(Workspace& ws, bool mark) {
  const uint32_t n = ws.n;
  if (n == 0) return;
  double* len2 = static_cast<double*>(ws.scratch);  // squared residual length over the measured axes
  double* order = len2 + n;                         // a copy for the selection
  for (uint32_t i = 0; i < n; ++i) {
    const double lx = ws.bx[i] > 0.0 ? ws.rx[i] : 0.0, ly = ws.by[i] > 0.0 ? ws.ry[i] : 0.0;
    order[i] = len2[i] = lx * lx + ly * ly;
  }
  std::nth_element(order, order + n / 2, order + n);
  const double cutoff = std::max(kTukeyCutoffPerMedian * std::sqrt(order[n / 2]), kMinTukeyCutoff);
  const double inv_cutoff2 = 1.0 / (cutoff * cutoff);
  for (uint32_t i = 0; i < n; ++i) {
    const double u2 = len2[i] * inv_cutoff2;
    const double t = u2 < 1.0 ? (1.0 - u2) * (1.0 - u2) : 0.0;
    ws.wx[i] = ws.bx[i] * t;
    ws.wy[i] = ws.by[i] * t;
    if (mark) ws.valid[i] = t > 0.0 ? 1 : 0;
  }
}

// One pass: outer iterations (8, or 10 extended) with a gain g that decays by 0.92 after each; per outer
// iteration one inner round (two extended) of mean, rotation and zoom steps, then the extended vertical
// scale and shear steps, then the re-weighting on every outer iteration but the last.
void RunPass(Workspace& ws, const model::ModelParams& params, uint32_t mode) {
  const bool extended = params.extended != 0;
  const int outer = extended ? kOuterIterationsExtended : kOuterIterations;
  const int inner = extended ? kInnerRoundsExtended : kInnerRounds;
  const bool rotate = (mode & kModeRotationScale) || params.degreeRotation;
  const bool zoom = (mode & kModeRotationScale) || params.degreeScale;
  double g = 1.0;
  for (int iteration = 0; iteration < outer; ++iteration) {
    for (int round = 0; round < inner; ++round) {
      RemoveMeanResidual(ws, kMeanShare);
      if (rotate) Rotate(ws, EstimateRotation(ws) * g * kRotationGain);
      if (zoom) {
        const double f = (EstimateScale(ws) - 1.0) * g * kScaleGain + 1.0;
        ApplyLinear(ws, 1.0 / f, 0.0, 0.0, 1.0 / f);
      }
    }
    if (extended && g > kExtendedMinGain) RemoveVerticalScaleAndShear(ws, g);
    if ((mode & kModeReweight) && iteration + 1 < outer) Reweight(ws, (mode & kModeMarkRejected) != 0);
    g *= kGainDecay;
  }
}

uint32_t CountBothAxes(const Workspace& ws) {
  uint32_t count = 0;
  for (uint32_t i = 0; i < ws.n; ++i) count += (ws.wx[i] > 0.0 && ws.wy[i] > 0.0) ? 1u : 0u;
  return count;
}

// The fitted motion (reference -> current) as a homography (row-major 3 x 3, centred pixels): the
// inverse of the correction map G, whose linear part the corners give along two edges and whose
// translation is the centre of the fitted diagonal. False when G is degenerate or not finite.
bool MotionFromCorners(const Workspace& ws, double h[9]) {
  const auto& k = ws.corners;
  const double g00 = (k[1][0] - k[0][0]) / ws.width, g10 = (k[1][1] - k[0][1]) / ws.width;
  const double g01 = (k[3][0] - k[0][0]) / ws.height, g11 = (k[3][1] - k[0][1]) / ws.height;
  const double bx = 0.5 * (k[0][0] + k[2][0]), by = 0.5 * (k[0][1] + k[2][1]);
  const double det = g00 * g11 - g01 * g10;
  if (!(det > kMinDeterminant) || !std::isfinite(det) || !std::isfinite(bx) || !std::isfinite(by)) return false;
  const double a00 = g11 / det, a01 = -g01 / det, a10 = -g10 / det, a11 = g00 / det;
  const double out[9] = {a00, a01, -(a00 * bx + a01 * by), a10, a11, -(a10 * bx + a11 * by), 0.0, 0.0, 1.0};
  for (int i = 0; i < 9; ++i) h[i] = out[i];
  return true;
}

// No motion: match count 0, translation and corner offsets zero, rotation pairs (0, 1), zoom and tilt
// terms 0, identity matrix. The span stays.
void WriteRejected(model::FrameRecord& out) {
  for (int i = model::kSlotTx; i < model::kSlotSpread; ++i) out.f(i) = 0.0f;
  out.u(model::kSlotCount) = 0;
  out.f(model::kSlotRotSin) = out.f(model::kSlotTilt1Sin) = out.f(model::kSlotTilt2Sin) = 0.0f;
  out.f(model::kSlotRotCos) = out.f(model::kSlotTilt1Cos) = out.f(model::kSlotTilt2Cos) = 1.0f;
  out.f(model::kSlotZoom) = out.f(model::kSlotTiltA) = out.f(model::kSlotTiltB) = 0.0f;
  RecordSetIdentityMatrix(out);
}

bool RecordFinite(const model::FrameRecord& r) {
  for (int i = model::kSlotTx; i < model::kSlotSpread; ++i)
    if (!std::isfinite(r.f(i))) return false;
  for (int i = model::kSlotRotSin; i <= model::kSlotZoom; ++i)
    if (!std::isfinite(r.f(i))) return false;
  for (int i = 0; i < 16; ++i)
    if (!std::isfinite(r.matrix()[i])) return false;
  return true;
}

// The record of a valid fit: translation, corner offsets of the fitted (affine) motion, its closest
// similarity as rotation pair, zoom term and camera matrix. False when the numbers are unusable.
bool WriteMotion(const Workspace& ws, model::FrameRecord& out) {
  double h[9];
  if (!MotionFromCorners(ws, h)) return false;
  float m[16];
  Mat4FromHomography(h, m);
  const float width = static_cast<float>(ws.width), height = static_cast<float>(ws.height);
  if (!DecomposeCameraMatrix(m, height, out)) return false;  // translation, rotation, zoom, tilt terms
  CornersFromMatrix(m, width, height, out);
  out.f(model::kSlotTilt1Sin) = out.f(model::kSlotTilt2Sin) = 0.0f;
  out.f(model::kSlotTilt1Cos) = out.f(model::kSlotTilt2Cos) = 1.0f;
  CameraMatrixFromRecord(out, height, out.matrix());
  return RecordFinite(out);
}

// Runs a search estimator on a plain entry array (test hook body).
template <class Estimator>
double SearchOnEntries(MatchEntry* entries, uint32_t count, uint32_t width, uint32_t height, double fallback,
                       const Estimator& estimate) {
  Workspace ws;
  void* block = AllocateWorkspace(ws, count, width, height);
  if (!block) return fallback;
  for (uint32_t i = 0; i < count; ++i) {
    ws.qx[i] = entries[i].x;
    ws.qy[i] = entries[i].y;
    ws.rx[i] = entries[i].dx;
    ws.ry[i] = entries[i].dy;
    ws.wx[i] = ws.bx[i] = UsableWeight(entries[i].weightX);
    ws.wy[i] = ws.by[i] = UsableWeight(entries[i].weightY);
  }
  ws.n = count;
  const double result = estimate(ws);
  for (uint32_t i = 0; i < count; ++i) entries[i].quality = static_cast<float>(std::max(ws.ax[i], ws.ay[i]));
  platform::HeapRelease(block);
  return result;
}

}  // namespace

double CornerFitRotationSearch(MatchEntry* entries, uint32_t count, uint32_t width, uint32_t height) {
  return SearchOnEntries(entries, count, width, height, 0.0, [](Workspace& ws) { return EstimateRotation(ws); });
}

double CornerFitScaleSearch(MatchEntry* entries, uint32_t count, uint32_t width, uint32_t height) {
  return SearchOnEntries(entries, count, width, height, 1.0, [](Workspace& ws) { return EstimateScale(ws); });
}

void FitCorners(const model::ModelParams& params, model::FrameRecord& out, MatchList& list, int variant) {
  const uint32_t n = list.capacity > 0 ? std::min(list.count, static_cast<uint32_t>(list.capacity)) : 0u;
  if (!list.matches || list.width == 0 || list.height == 0 || list.width > kMaxImageSide ||
      list.height > kMaxImageSide) {
    WriteRejected(out);
    return;
  }
  const double width = list.width, height = list.height;
  uint32_t loadable = 0, both = 0;
  ScreenMatches(list, n, width, height, &loadable, &both);
  // Weights never grow during the fit, so fewer than kMinValidMatches now can only end rejected.
  Workspace ws;
  void* block = both >= kMinValidMatches ? AllocateWorkspace(ws, loadable, width, height) : nullptr;
  if (!block) {
    WriteRejected(out);
    return;
  }
  LoadMatches(ws, list, n);
  RunPass(ws, params, variant == 1 ? kModeVariant1 : kModeVariant0);
  if (variant == 1) {
    CopyValidBytes(ws, list);  // the matches about to be dropped leave marked invalid
    ReloadValidMatches(ws, list);
    RemoveMeanResidual(ws, 1.0);  // first estimate: the weighted mean translation of the remaining matches
    RunPass(ws, params, kModeSecondPass);
  }
  const bool valid = CountBothAxes(ws) >= kMinValidMatches && WriteMotion(ws, out);
  if (!valid) WriteRejected(out);
  CopyValidBytes(ws, list);
  platform::HeapRelease(block);
}

}  // namespace vendrix::motion
