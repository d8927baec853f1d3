// Projective fit (model kinds 6 and 7): a robust homography between the reference and the current
// positions of the matches, decomposed into the camera model of the motion record.
//
// Coordinates. The homography is estimated on points centred on the image, with x multiplied by the
// list's aspect factor a, so that the in-plane rotation and the zoom are measured in display geometry
// (square pixels); an angle has no meaning on a grid of non-square pixels. Everything the fit writes
// that is a position or a distance is converted back to centred analysis pixels (x divided by a):
// the translation, the tilt coefficients, the camera matrix, the corners, the match residuals and the
// reprojection errors, together with the error limit and the spread measure built on them. A
// projective record therefore means the same as the records of the other fits; with a = 1 nothing
// changes.
//
// Outcomes. Accepted: the full record. Accepted by the search but poorly spread (too few inliers or
// inliers bunched together): a no-motion record that keeps the match count, with span 1. Rejected by
// the search (error above the limit, too few points, estimator failure, bad input): match count 0 with
// the no-motion values and every match invalid.
//
// Memory: one heap block per fit holds the point arrays, the estimator mask and the per-point errors.
// cv::findHomography allocates its own temporaries, outside the library heap.
#include <algorithm>
#include <cmath>
#include <cstring>

#include <opencv2/calib3d.hpp>
#include <opencv2/core.hpp>

#include "motion/camera_matrix.h"
#include "motion/model_fit.h"
#include "platform/heap.h"

namespace vendrix::motion {
namespace {

// Estimator thresholds (reprojection distance, display pixels).
constexpr double kLmedsThreshold = 5.0;  // not used by least median of squares, passed for completeness
constexpr double kRansacThreshold = 6.0;
constexpr double kRansacFallbackThreshold = 8.0;
constexpr double kWideThreshold = 100.0;

// The wide search keeps the RANSAC inliers whose squared error is within max(350, 20 e) and
// re-estimates from them by least squares when at least 9 remain.
constexpr double kWideKeepMin = 350.0;
constexpr double kWideKeepPerError = 20.0;
constexpr uint32_t kWideMinKept = 9;

constexpr uint32_t kMinPoints = 3;           // below: identity homography, no search
constexpr uint32_t kMinEstimatorPoints = 4;  // cv::findHomography needs four correspondences
constexpr uint32_t kMinErrorPoints = 5;      // below: the error is kNoError
constexpr double kNoError = 1e7;
constexpr float kInvalidError = 1e6f;  // fit value of an invalid match

// Error limit: clamp(diagonal * 0.006666667, 1, 8) times a factor of the search that produced the fit.
constexpr double kLimitPerDiagonal = 0.006666667;
constexpr double kLimitMin = 1.0;
constexpr double kLimitMax = 8.0;
constexpr double kLimitLmeds = 1.5;
constexpr double kLimitRansac = 3.0;
constexpr double kLimitWide = 2.0;

// Spread test: at least 25 inliers and q = sum |p - centre|^2 / (error^2 + 1) / (width * height / 4)
// of at least 6 (10 after the wide search).
constexpr uint32_t kMinInliers = 25;
constexpr double kMinSpread = 6.0;
constexpr double kMinSpreadWide = 10.0;
constexpr double kSpreadArea = 0.25;

// Decomposition passes.
constexpr int kPasses = 5;
constexpr double kDamping = 0.666;  // applied in every pass but the last
constexpr double kMaxPassRotation = 0.2617916666666667;
constexpr double kTiltH00Min = 0.3, kTiltH00Max = 3.0;
constexpr double kScaleH00Min = 0.7, kScaleH00Max = 1.5;

// Positions and displacements beyond this magnitude (pixels) cannot come from a measurement; such
// matches are treated like matches without weight.
constexpr double kMaxCoordinate = 1e6;

// ---- 3 x 3 homographies (row-major, double) ----

void Identity3(double h[9]) {
  for (int i = 0; i < 9; ++i) h[i] = (i % 4 == 0) ? 1.0 : 0.0;
}

// out = a * b; out may alias a or b.
void Multiply3(const double a[9], const double b[9], double out[9]) {
  double r[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
  std::memcpy(out, r, sizeof(r));
}

// Scales h so that h[8] = 1; false when that is impossible or an entry is not finite.
bool Normalise(double h[9]) {
  if (!(std::fabs(h[8]) > 1e-12)) return false;
  const double inv = 1.0 / h[8];
  for (int i = 0; i < 9; ++i) {
    h[i] *= inv;
    if (!std::isfinite(h[i])) return false;
  }
  return true;
}

// ---- Working storage ----

// Per-point arrays of one fit, carved from one heap block. Point i is match index[i]; src and dst are
// its reference and current positions as estimator input (centred, x times the aspect factor), two
// floats each; mask is the estimator's inlier mark, later cleared for points whose error is unusable;
// sq the squared reprojection error in analysis pixels. The subset arrays hold the kept points of the
// wide search.
struct Work {
  void* block = nullptr;
  double* sq = nullptr;
  float* src = nullptr;
  float* dst = nullptr;
  float* subset_src = nullptr;
  float* subset_dst = nullptr;
  uint32_t* index = nullptr;
  uint8_t* mask = nullptr;
  uint32_t count = 0;

  Work() = default;
  Work(const Work&) = delete;
  Work& operator=(const Work&) = delete;
  ~Work() { platform::HeapRelease(block); }

  bool Allocate(uint32_t capacity, bool wide) {
    const size_t n = capacity ? capacity : 1;
    const size_t floats = (wide ? 8 : 4) * n;
    const size_t bytes = n * sizeof(double) + floats * sizeof(float) + n * sizeof(uint32_t) + n;
    block = platform::HeapAllocate(bytes);
    if (!block) return false;
    sq = static_cast<double*>(block);
    src = reinterpret_cast<float*>(sq + n);
    dst = src + 2 * n;
    if (wide) {
      subset_src = dst + 2 * n;
      subset_dst = subset_src + 2 * n;
    }
    index = reinterpret_cast<uint32_t*>(dst + (wide ? 6 : 2) * n);
    mask = reinterpret_cast<uint8_t*>(index + n);
    return true;
  }
};

bool Usable(double v) { return std::fabs(v) <= kMaxCoordinate; }  // false for NaN

// Builds the point arrays from the matches that are valid, carry positive weights on both axes and
// hold usable numbers; marks them with quality 1 and all other matches with -1.
void BuildPoints(MatchList& list, double aspect, Work& w) {
  const double cx = list.width * 0.5, cy = list.height * 0.5;
  uint32_t n = 0;
  for (uint32_t i = 0; i < list.count; ++i) {
    MatchEntry& e = list.matches[i];
    const bool use = e.valid && e.weightX > 0.0f && e.weightY > 0.0f && Usable(e.x) && Usable(e.y) &&
                     Usable(e.dx) && Usable(e.dy);
    e.quality = use ? 1.0f : -1.0f;
    if (!use) continue;
    w.src[2 * n] = static_cast<float>((double{e.x} - e.dx - cx) * aspect);
    w.src[2 * n + 1] = static_cast<float>(double{e.y} - e.dy - cy);
    w.dst[2 * n] = static_cast<float>((double{e.x} - cx) * aspect);
    w.dst[2 * n + 1] = static_cast<float>(double{e.y} - cy);
    w.index[n++] = i;
  }
  w.count = n;
}

// ---- Homography search ----

// One cv::findHomography. On success h holds the homography with h[8] = 1 and mask (when given) one
// inlier mark per point; false when the estimator fails, throws or returns an unusable matrix.
bool FindHomography(const float* src, const float* dst, uint32_t n, int method, double threshold, uint8_t* mask,
                    double h[9]) {
  if (n < kMinEstimatorPoints) return false;
  try {
    const int rows = static_cast<int>(n);
    const cv::Mat from(rows, 1, CV_32FC2, const_cast<float*>(src));
    const cv::Mat to(rows, 1, CV_32FC2, const_cast<float*>(dst));
    cv::Mat marks;
    if (mask) marks = cv::Mat(rows, 1, CV_8U, mask);
    const cv::Mat found = mask ? cv::findHomography(from, to, method, threshold, marks)
                               : cv::findHomography(from, to, method, threshold);
    if (found.rows != 3 || found.cols != 3 || found.type() != CV_64F) return false;
    if (mask && marks.data != mask) {  // the estimator replaced the mask buffer
      if (marks.total() != n || marks.type() != CV_8U || !marks.isContinuous()) return false;
      std::memcpy(mask, marks.data, n);
    }
    double g[9];
    for (int r = 0; r < 3; ++r)
      for (int c = 0; c < 3; ++c) g[r * 3 + c] = found.at<double>(r, c);
    if (!Normalise(g)) return false;
    std::memcpy(h, g, sizeof(g));
    return true;
  } catch (...) {  // cv::Exception on degenerate input, std::bad_alloc
    return false;
  }
}

// Residual (current position minus mapped reference position) of point i under h, in analysis
// pixels; false when the point maps to infinity.
bool Residual(const Work& w, uint32_t i, const double h[9], double inv_aspect, double* rx, double* ry) {
  const double x = w.src[2 * i], y = w.src[2 * i + 1];
  const double d = h[6] * x + h[7] * y + h[8];
  if (!(std::fabs(d) > 1e-12)) return false;
  const double mx = (h[0] * x + h[1] * y + h[2]) / d, my = (h[3] * x + h[4] * y + h[5]) / d;
  *rx = (w.dst[2 * i] - mx) * inv_aspect;
  *ry = w.dst[2 * i + 1] - my;
  return std::isfinite(*rx) && std::isfinite(*ry);
}

// Fills the squared errors of the points and returns the root-mean-square error e over the inliers
// (kNoError with fewer than five). Inliers whose error cannot be computed lose their mark.
double ReprojectionError(Work& w, const double h[9], double inv_aspect) {
  double sum = 0.0;
  uint32_t valid = 0;
  for (uint32_t i = 0; i < w.count; ++i) {
    double rx, ry;
    if (!Residual(w, i, h, inv_aspect, &rx, &ry)) {
      w.mask[i] = 0;
      w.sq[i] = kInvalidError;
      continue;
    }
    w.sq[i] = rx * rx + ry * ry;
    if (w.mask[i]) sum += w.sq[i], ++valid;
  }
  return valid < kMinErrorPoints ? kNoError : std::sqrt(sum / valid);
}

enum class Search { kLmeds, kRansac, kWide };

// The wide search's second stage: keeps the inliers of the RANSAC estimate whose squared error is
// within max(350, 20 e) and, with at least nine of them, replaces the estimate by the least-squares
// homography of these points; the kept points become the inliers.
void RefineWide(Work& w, double h[9], double inv_aspect) {
  const double e = ReprojectionError(w, h, inv_aspect);
  const double keep = std::max(kWideKeepMin, kWideKeepPerError * e);
  uint32_t k = 0;
  for (uint32_t i = 0; i < w.count; ++i) {
    if (!w.mask[i] || !(w.sq[i] <= keep)) continue;
    std::memcpy(w.subset_src + 2 * k, w.src + 2 * i, 2 * sizeof(float));
    std::memcpy(w.subset_dst + 2 * k, w.dst + 2 * i, 2 * sizeof(float));
    ++k;
  }
  if (k < kWideMinKept || !FindHomography(w.subset_src, w.subset_dst, k, 0, kWideThreshold, nullptr, h)) return;
  for (uint32_t i = 0; i < w.count; ++i) w.mask[i] = (w.mask[i] && w.sq[i] <= keep) ? 1 : 0;
}

// Runs the search of the given kind: h and the mask receive the estimate, or the identity and a
// cleared mask when there are fewer than three points or every estimator fails. Returns the search
// whose limit factor applies.
Search RunSearch(Search kind, Work& w, double h[9], double inv_aspect) {
  Identity3(h);
  std::memset(w.mask, 0, w.count);
  if (w.count < kMinPoints) return kind;
  bool found = false;
  switch (kind) {
    case Search::kWide:
      found = FindHomography(w.src, w.dst, w.count, cv::RANSAC, kWideThreshold, w.mask, h);
      if (found) RefineWide(w, h, inv_aspect);
      break;
    case Search::kLmeds:
      found = FindHomography(w.src, w.dst, w.count, cv::LMEDS, kLmedsThreshold, w.mask, h);
      if (!found) kind = Search::kRansac;
      break;
    case Search::kRansac:
      found = FindHomography(w.src, w.dst, w.count, cv::RANSAC, kRansacThreshold, w.mask, h);
      break;
  }
  if (!found && kind == Search::kRansac)
    found = FindHomography(w.src, w.dst, w.count, cv::RANSAC, kRansacFallbackThreshold, w.mask, h);
  if (!found) {
    Identity3(h);
    std::memset(w.mask, 0, w.count);
  }
  return kind;
}

double LimitFactor(Search kind) {
  switch (kind) {
    case Search::kLmeds: return kLimitLmeds;
    case Search::kRansac: return kLimitRansac;
    case Search::kWide: return kLimitWide;
  }
  return kLimitRansac;
}

// The search with its single retry: a least-median estimate whose error exceeds the limit is
// replaced by a RANSAC estimate. True when the final estimate is within its limit.
bool SearchWithinLimit(Search first, Work& w, double h[9], double inv_aspect, double limit_base) {
  Search kind = first;
  for (bool retried = false;; retried = true) {
    const Search used = RunSearch(kind, w, h, inv_aspect);
    const double e = ReprojectionError(w, h, inv_aspect);
    if (e <= limit_base * LimitFactor(used)) return true;
    if (first != Search::kLmeds || retried) return false;
    kind = Search::kRansac;
  }
}

// ---- Decomposition into the camera model ----

// The camera model read from a homography: centre translation, in-plane rotation, zoom and the
// perspective coefficients of T(t) * z R(angle) * P(p, q) (see camera_matrix.h).
struct CameraModel {
  double tx, ty, angle, zoom, p, q;
};

// Passes peel rotation, tilt and scale off h by right multiplication (h = h * X). The camera part
// `cam` takes the exact inverse of each factor on the left, so that h * cam stays equal to the
// homography the passes started from.
void PeelRotation(double h[9], double cam[9], bool damped) {
  double theta = std::atan2(h[3], h[4]);
  if (damped) theta *= kDamping;
  if (!(std::fabs(theta) < kMaxPassRotation)) return;
  const double c = std::cos(theta), s = std::sin(theta);
  const double remove[9] = {c, s, 0, -s, c, 0, 0, 0, 1};
  const double apply[9] = {c, -s, 0, s, c, 0, 0, 0, 1};
  Multiply3(h, remove, h);
  Multiply3(apply, cam, cam);
}

// A tilt about the horizontal axis, seen as a vertical scale and a horizontal shear, with the focal
// length f. Skipped when f - d or f + d is not positive (a mirrored or degenerate estimate), where the
// factor could not be inverted.
void PeelTilt(double h[9], double cam[9], double f, bool damped) {
  if (!(h[0] > kTiltH00Min && h[0] < kTiltH00Max)) return;
  double d = f - f / (h[4] / h[0]);
  double e = (f - d) * h[1];
  if (damped) d *= kDamping, e *= kDamping;
  if (!(f - d > 0.0 && f + d > 0.0) || !std::isfinite(e)) return;
  const double remove[9] = {1, -e / (f + d), 0, 0, f / (f + d), 0, 0, 0, 1};
  const double apply[9] = {1, e / f, 0, 0, (f + d) / f, 0, 0, 0, 1};
  Multiply3(h, remove, h);
  Multiply3(apply, cam, cam);
}

void PeelScale(double h[9], double cam[9], bool damped) {
  if (!(h[0] > kScaleH00Min && h[0] < kScaleH00Max)) return;
  const double s = damped ? std::sqrt(h[0]) : h[0];
  const double remove[9] = {1 / s, 0, 0, 0, 1 / s, 0, 0, 0, 1};
  Multiply3(h, remove, h);
  for (int j = 0; j < 3; ++j) cam[j] *= s, cam[3 + j] *= s;
}

// h is normalised (h[8] = 1). The translation is taken out first so that the passes see the linear
// part of T * A * P; afterwards the camera part holds the rotation, tilt and scale that the passes
// removed. Rotation and zoom are read from its first column, i.e. from cam = z R(angle) U with U upper
// triangular, so that the horizontal shear and vertical scale of a tilt have no share in them. The
// perspective coefficients are the remaining homography's last row carried back through the camera
// part (which makes them those of the T * A * P factorisation).
CameraModel Decompose(const double homography[9], double focal) {
  double h[9];
  std::memcpy(h, homography, sizeof(h));
  CameraModel m{};
  m.tx = h[2];
  m.ty = h[5];
  for (int j = 0; j < 3; ++j) h[j] -= m.tx * h[6 + j], h[3 + j] -= m.ty * h[6 + j];
  double cam[9];
  Identity3(cam);
  for (int pass = 0; pass < kPasses; ++pass) {
    const bool damped = pass < kPasses - 1;
    PeelRotation(h, cam, damped);
    PeelTilt(h, cam, focal, damped);
    PeelScale(h, cam, damped);
  }
  m.angle = std::atan2(cam[3], cam[0]);
  m.zoom = std::hypot(cam[0], cam[3]);
  m.p = h[6] * cam[0] + h[7] * cam[3];
  m.q = h[6] * cam[1] + h[7] * cam[4];
  return m;
}

bool AllFinite(const model::FrameRecord& r) {
  for (int i = 0; i < model::kRecordSlots; ++i)
    if (i != model::kSlotCount && i != model::kSlotSpan && !std::isfinite(r.f(i))) return false;
  return true;
}

// Writes translation, rotation, tilt and zoom slots and the camera matrix, all in analysis pixels
// except the angle and the zoom (see the top of the file). False when a value is not finite.
bool WriteMotion(model::FrameRecord& out, const double h[9], double aspect, double height) {
  const CameraModel m = Decompose(h, height);
  out.f(model::kSlotTx) = static_cast<float>(m.tx / aspect);
  out.f(model::kSlotTy) = static_cast<float>(m.ty);
  out.f(model::kSlotRotSin) = static_cast<float>(std::sin(m.angle));
  out.f(model::kSlotRotCos) = static_cast<float>(std::cos(m.angle));
  out.f(model::kSlotZoom) = ZoomTermFromFactor(static_cast<float>(m.zoom), static_cast<float>(height));
  const double tilt_a = m.p * aspect * height, tilt_b = m.q * height;
  out.f(model::kSlotTiltA) = static_cast<float>(tilt_a);
  out.f(model::kSlotTiltB) = static_cast<float>(tilt_b);
  const double angle_a = std::atan(tilt_a), angle_b = std::atan(tilt_b);
  out.f(model::kSlotTilt1Sin) = static_cast<float>(std::sin(angle_a));
  out.f(model::kSlotTilt1Cos) = static_cast<float>(std::cos(angle_a));
  out.f(model::kSlotTilt2Sin) = static_cast<float>(std::sin(angle_b));
  out.f(model::kSlotTilt2Cos) = static_cast<float>(std::cos(angle_b));
  // diag(1/a, 1, 1) * h * diag(a, 1, 1): the same motion on analysis-pixel coordinates.
  const double pixels[9] = {h[0], h[1] / aspect, h[2] / aspect, h[3] * aspect, h[4], h[5], h[6] * aspect, h[7], h[8]};
  Mat4FromHomography(pixels, out.matrix());
  return AllFinite(out);
}

// ---- Marking and spread ----

void MarkInvalid(MatchEntry& e) {
  e.weightX = 0.0f;
  e.weightY = 0.0f;
  e.valid = 0;
  e.fitValue = kInvalidError;
}

struct Spread {
  uint32_t inliers;
  double q;
};

// Marks the matches by the final estimate (inliers valid with their squared error as fit value, all
// others invalid), replaces the residual of every point by its reprojection residual, and measures
// the spread of the inliers about their mean position.
Spread MarkMatches(MatchList& list, const Work& w, const double h[9], double inv_aspect) {
  for (uint32_t i = 0; i < list.count; ++i)
    if (list.matches[i].quality < 0.0f) MarkInvalid(list.matches[i]);
  double cx = 0.0, cy = 0.0;
  uint32_t m = 0;
  for (uint32_t i = 0; i < w.count; ++i) {
    MatchEntry& e = list.matches[w.index[i]];
    double rx, ry;
    if (Residual(w, i, h, inv_aspect, &rx, &ry)) {
      e.dx = static_cast<float>(rx);
      e.dy = static_cast<float>(ry);
    }
    if (!w.mask[i]) {
      MarkInvalid(e);
      continue;
    }
    e.valid = 1;
    e.fitValue = static_cast<float>(w.sq[i]);
    cx += e.x, cy += e.y, ++m;
  }
  Spread s{m, 0.0};
  if (m == 0) return s;
  cx /= m, cy /= m;
  double sum = 0.0;
  for (uint32_t i = 0; i < w.count; ++i) {
    if (!w.mask[i]) continue;
    const MatchEntry& e = list.matches[w.index[i]];
    const double ox = e.x - cx, oy = e.y - cy;
    sum += (ox * ox + oy * oy) / (w.sq[i] + 1.0);
  }
  s.q = sum / (static_cast<double>(list.width) * list.height * kSpreadArea);
  return s;
}

// ---- Outcomes ----

void SetNoMotion(model::FrameRecord& out) {
  RecordReset(out);
  RecordSetIdentityMatrix(out);
}

// Accepted by the search, but the inliers do not support the estimate: no motion, match count kept,
// span 1.
void KeepCountOnly(model::FrameRecord& out) {
  const uint32_t count = out.count();
  SetNoMotion(out);
  out.u(model::kSlotCount) = count;
  out.u(model::kSlotSpan) = 1;
}

void RejectCompletely(model::FrameRecord& out, MatchList& list) {
  out.Clear();
  SetNoMotion(out);
  for (uint32_t i = 0; i < list.count; ++i) MarkInvalid(list.matches[i]);
}

}  // namespace

void FitProjective(const model::ModelParams&, model::FrameRecord& out, MatchList& list, uint32_t homography_flags) {
  const bool wide = (homography_flags & kHomographySearchMask) == kHomographyWideSearch;
  Work w;
  if (list.width == 0 || list.height == 0 || !w.Allocate(list.count, wide)) {
    RejectCompletely(out, list);
    return;
  }
  const double aspect = model::SanitizeAspect(list.aspectFactor), inv_aspect = 1.0 / aspect;
  const double width = list.width, height = list.height;
  BuildPoints(list, aspect, w);

  const Search first = wide ? Search::kWide : (homography_flags & kHomographyRansacFirst) ? Search::kRansac : Search::kLmeds;
  const double limit_base = std::clamp(std::hypot(width, height) * kLimitPerDiagonal, kLimitMin, kLimitMax);
  double h[9];
  if (!SearchWithinLimit(first, w, h, inv_aspect, limit_base) || !WriteMotion(out, h, aspect, height)) {
    RejectCompletely(out, list);
    return;
  }

  const Spread spread = MarkMatches(list, w, h, inv_aspect);
  const double min_spread = wide ? kMinSpreadWide : kMinSpread;
  if (!(spread.inliers >= kMinInliers && spread.q >= min_spread)) {
    KeepCountOnly(out);
    return;
  }
  CornersFromMatrix(out.matrix(), static_cast<float>(width), static_cast<float>(height), out);
  if (!AllFinite(out)) RejectCompletely(out, list);
}

}  // namespace vendrix::motion
