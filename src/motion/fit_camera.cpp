// Camera fit (model kinds 4 and 5): the camera motion of one entry from its match list.
//
// Model. A match's reference point r = (x - dx, y - dy), taken in centred analysis pixels, maps to
//   m(r) = z R(theta) r / (1 + p rx + q ry) + t + b(k)
// which is the homography T(t) S(z, theta) P(p, q) of camera_matrix.h plus the displacement
// b(k) = (bx[k], by[k]) of the horizontal band k (one of 32 equal bands of the image height) that holds
// the match's current row. The residual of a match is its current position minus m(r).
// Parameters: t in pixels, theta in radians, u = ln z, the tilt terms A = p h and B = q h (h = image
// height = focal length in pixels, so atan(A) and atan(B) are the two tilt angles), and 32 band pairs.
//
// Bands. The band pairs describe what the rigid camera model cannot: the row-by-row wobble of a rolling
// shutter. They are kept apart from the global motion and from noise by three means:
//  - hard constraints: each band profile (x and y separately) has zero mean and zero slope over the band
//    index. A constant profile is the translation and a linear one is a shear or vertical stretch that
//    translation, rotation and zoom already cover, so without the constraints the split between global
//    and band motion would be decided by the regularisation instead of the data;
//  - a smoothness prior on the second differences of the profile: wobble varies slowly from band to band,
//    noise does not, so single-band spikes are averaged with their neighbours;
//  - damping towards zero, so that a band with few or no matches stays at zero instead of following the
//    prior's extrapolation;
//  - a significance test after the fit: an axis' profile that explains no more than noise would is dropped.
// The prior weights count in matches, so they fade as the list grows and the data speaks for itself.
//
// Solve. Every iteration is one damped Gauss-Newton step on the robustly weighted least-squares problem,
// jointly over the 6 global parameters and the 64 band values. The band block of the normal equations is
// pentadiagonal (each residual sees one band value; the smoothness prior couples two neighbours either
// side), so it is factorised as a banded LDL^T, the two constraints are added by Lagrange multipliers,
// and the band unknowns are eliminated (Schur complement), leaving a 6 x 6 system solved by a Jacobi-
// scaled Cholesky factorisation with a small Levenberg ridge (which only slows the step along directions
// the data does not observe and keeps them at their reset value). All in double, on fixed-size arrays.
//
// Rounds. A round starts from the reset model and runs a fixed number of iterations at a fixed gain, with
// the robust weights held constant; between rounds the residuals of the round's result give new Cauchy
// weights (iteratively reweighted least squares at round granularity) and, when the mode asks for it, a new
// outlier decision over all usable matches (a match excluded while the model was still off comes back
// once it fits). The first round weighs every match alike. The coarse phase ends when a round's model
// moves no image corner and no band value by more than kCoarseTolerance from the previous round's; the
// final phase continues from the main result and re-weights at every iteration. An iteration that moves
// the model by less than kIterationTolerance ends its round early: the remaining iterations would not
// change the result.
//
// Result. Accepted when at least kMinMatches matches remain and the RMS reprojection error of the record
// as written (matrix plus band pairs) is within the limit; the caller's valid bytes then say which
// matches the fit used (unusable matches and outliers become invalid), whatever the verdict.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>

#include "motion/camera_matrix.h"
#include "motion/model_fit.h"
#include "platform/heap.h"

namespace vendrix::motion {
namespace {

// Modes of the two variants; a mode bit is named by its value.
constexpr uint32_t kModeVariant0 = 3;
constexpr uint32_t kModeVariant1 = 7;
constexpr uint32_t kModeRejectOutliers = 2;  // outlier rejection between rounds
constexpr uint32_t kModeCoarse = 4;          // coarse phase before, final phase after the main rounds

// Phase schedule.
constexpr int kCoarseRoundsMax = 30;
constexpr int kCoarseIterations = 5;
constexpr double kCoarseGain = 0.7;
constexpr double kCoarseRejectFactor = 1.0 / 8.0;
constexpr int kMainRounds = 10;
constexpr int kMainRoundsAfterCoarse = 2;
constexpr int kMainIterations = 5;
constexpr int kLastRoundIterations = 20;
constexpr double kMainGain = 0.92;
constexpr int kFinalIterations = 10;
constexpr double kFinalGainDecay = 0.94;

// Outlier rejection: threshold T on the squared residual length (px^2),
//   T = (min(a/b + sqrt(a/c), (kRejectCap - sqrt(a/c)) * factor + sqrt(a/c)) + kRejectMargin)^2,
// where, over the core of the sorted residual lengths r (see kCoreMedianFactor), a = sum r^2, b = sum r and
// c = their number: sqrt(a/c) is the RMS residual and a/b the contraharmonic mean, which leans towards the
// larger residuals of the core. The factor shrinks the cap from 6 px towards the RMS over the rounds.
constexpr double kRejectCap = 6.0;
constexpr double kRejectMargin = 1.5;
constexpr double kStatsMinimum = 0.1;     // b and c must exceed this for any exclusion
constexpr double kSortResolution = 0.001;  // px; residuals closer than this sort as equal (then by index)

// Acceptance: RMS reprojection error at most clamp(diagonal * kErrorPerDiagonal, kErrorMin, kErrorMax) px.
constexpr double kErrorPerDiagonal = 0.006666667;
constexpr double kErrorMin = 1.0;
constexpr double kErrorMax = 8.0;
constexpr uint32_t kMinMatches = 8;
constexpr double kMaxSide = 1 << 20;  // px; a larger working size is a corrupt list

// Residual statistics. The core of the sorted list is the residuals up to kCoreMedianFactor times the
// median: for Gaussian inliers that keeps all but 0.2 % of them, and it leaves out gross outliers as long
// as they are a minority, so a, b and c describe the inliers. The sums use the sorted (quantised)
// residuals. Residual lengths below kResidualFloor count as kResidualFloor: a sub-pixel match is not more
// precise than that, and without the floor noise-free inliers would make the statistics vanish, leaving
// the outliers that share the list neither excluded nor down-weighted.
constexpr double kCoreMedianFactor = 3.0;
constexpr double kResidualFloor = 0.05;
// Cauchy weight 1 / (1 + r^2 / (kCauchyScale * sigma)^2), sigma the per-axis inlier spread: close to 95 %
// efficiency on Gaussian residuals, while a residual of 10 sigma weighs 6 %.
constexpr double kCauchyScale = 2.5;

// Tilt limits, as tangents of the tilt angles (the tilt terms). 10 degrees of camera yaw or pitch between
// the two entries of a measurement is beyond handheld or vehicle video at normal rates; a larger
// perspective term is the fit bending the plane to a few clustered or mismatched points, and the
// translation / rotation / zoom model without tilt is the safer answer.
constexpr double kMaxTiltA = 0.17632698070846498;  // tan(10 deg), tilt about the vertical axis (p h)
constexpr double kMaxTiltB = 0.17632698070846498;  // tan(10 deg), tilt about the horizontal axis (q h)

// Band regularisation, in units of match weight (an inlier match weighs about 1), so that the prior acts
// like that many matches per band at zero displacement and fades as the list grows. Damping of one match
// pulls an empty band to zero and costs a band with 60 matches under 2 % of its amplitude; smoothness of 16
// leaves wobble of up to two cycles per image height nearly intact (the second difference of a 2-cycle
// sine over 32 bands is 0.15 of its amplitude) and averages noise over a few neighbouring bands.
constexpr double kBandDamping = 1.0;
constexpr double kBandSmoothness = 16.0;
// A band profile is kept only when it explains clearly more than noise: sum_k w_k b_k^2 / sigma^2 (which
// for pure noise is at most chi-square with 30 degrees of freedom, the profile's 32 values less its two
// constraints) must exceed kBandSignificance, the 99.9 % point of that distribution. Below it the axis'
// profile is set to zero. At 0.3 px noise this detects wobble from about 0.2 px with 500 matches.
constexpr double kBandSignificance = 59.7;

// Solver and convergence.
constexpr double kRidge = 1e-7;               // Levenberg ridge on the Jacobi-scaled 6 x 6 system
constexpr double kPivotMin = 1e-12;           // a smaller Cholesky pivot fails the step
constexpr double kUnobserved = 1e-14;         // relative diagonal below which a parameter gets no step
constexpr double kIterationTolerance = 1e-4;  // px of corner or band movement that ends a round
constexpr double kCoarseTolerance = 0.01;     // px of change between coarse rounds that ends the phase
constexpr double kMinDenominator = 0.1;       // projective denominator below which a point is skipped
constexpr double kMaxLogZoom = 1.3862943611198906;  // ln 4: zoom stays within 1/4 .. 4
constexpr double kUnmappable = 1e15;          // residual of a point the model maps to infinity
constexpr int kParams = 6;                    // tx, ty, theta, ln z, tilt A, tilt B

struct Point {
  double rx, ry;  // reference position, centred
  double cx, cy;  // current position, centred
  double ex, ey;  // residual (current - model) at the last refresh
  float ax, ay;   // 1 when that axis was measured, else 0
  float weight;   // robust weight of the running round; 0 once excluded
  int32_t band;   // band of the current row
  uint32_t index;  // position in the caller's list
  uint8_t active;  // 0 once excluded as an outlier
};

struct Model {
  double tx, ty, theta, logZoom, tiltA, tiltB;
  double band[2][model::kBandCount];  // [axis][band]
};

struct Workspace {
  Point* pts;
  uint64_t* keys;     // points in residual order: quantised residual << 32 | point
  uint64_t* scratch;  // second buffer of the radix sort
  uint32_t count;
  double width, height;
  double sigma;  // per-axis inlier spread from the last statistics; 0 = none yet
};

// Normal equations of one iteration before the bands are eliminated.
struct Normal {
  double a[kParams][kParams];          // global block (upper triangle filled)
  double g[kParams];                   // global right-hand side
  double c[2][kParams][model::kBandCount];    // global x band coupling, per axis
  double h[2][model::kBandCount];             // band right-hand side (data part), per axis
  double w[2][model::kBandCount];             // data weight per band, per axis
};

struct ResidualStats {
  double a, b, c;  // over the core: sum r^2, sum r, count
};

// Map coefficients of a model: z cos, z sin, p, q.
struct MapCoeffs {
  double zc, zs, p, q;
};

MapCoeffs Coeffs(const Model& m, double height) {
  const double z = std::exp(m.logZoom);
  return {z * std::cos(m.theta), z * std::sin(m.theta), m.tiltA / height, m.tiltB / height};
}

// Global part of the model at a centred point; false when the point maps to infinity.
bool MapGlobal(const Model& m, const MapCoeffs& k, double rx, double ry, double* u, double* v) {
  const double den = 1.0 + k.p * rx + k.q * ry;
  if (!(den >= kMinDenominator)) return false;
  *u = (k.zc * rx - k.zs * ry) / den + m.tx;
  *v = (k.zs * rx + k.zc * ry) / den + m.ty;
  return true;
}

void ResetModel(Model& m) { std::memset(&m, 0, sizeof(m)); }

// Largest movement between two models, in pixels: of the four image corners under the global part and
// of any band value.
double ModelDistance(const Model& a, const Model& b, double width, double height) {
  const MapCoeffs ka = Coeffs(a, height), kb = Coeffs(b, height);
  double d = 0.0;
  for (int i = 0; i < 4; ++i) {
    const double x = (i == 1 || i == 2) ? width * 0.5 : -width * 0.5;
    const double y = i >= 2 ? height * 0.5 : -height * 0.5;
    double ua = 0, va = 0, ub = 0, vb = 0;
    if (!MapGlobal(a, ka, x, y, &ua, &va) || !MapGlobal(b, kb, x, y, &ub, &vb)) return HUGE_VAL;
    d = std::max(d, std::hypot(ua - ub, va - vb));
  }
  for (int ax = 0; ax < 2; ++ax)
    for (int k = 0; k < model::kBandCount; ++k) d = std::max(d, std::fabs(a.band[ax][k] - b.band[ax][k]));
  return std::isfinite(d) ? d : HUGE_VAL;
}

// --- Band block -----------------------------------------------------------------------------------

// The second-difference operator D (30 x 32, rows (1, -2, 1)); D^T D is pentadiagonal. Entry
// dtd[j][k] holds (D^T D)[k][k - j].
struct SmoothnessOperator {
  double dtd[3][model::kBandCount] = {};
  constexpr SmoothnessOperator() {
    constexpr double row[3] = {1.0, -2.0, 1.0};
    for (int r = 0; r + 2 < model::kBandCount; ++r)
      for (int i = 0; i < 3; ++i)
        for (int j = 0; j <= i; ++j) dtd[i - j][r + i] += row[i] * row[j];
  }
};
constexpr SmoothnessOperator kSmooth;

// Prior term (lambda_s D^T D + lambda_d I) b.
void ApplyPrior(const double b[model::kBandCount], double ls, double ld, double out[model::kBandCount]) {
  for (int k = 0; k < model::kBandCount; ++k) out[k] = ld * b[k];
  for (int r = 0; r + 2 < model::kBandCount; ++r) {
    const double d2 = b[r] - 2.0 * b[r + 1] + b[r + 2];
    out[r] += ls * d2;
    out[r + 1] -= 2.0 * ls * d2;
    out[r + 2] += ls * d2;
  }
}

// Symmetric positive definite pentadiagonal system, factorised as L D L^T with unit lower L.
struct BandSolver {
  double d[model::kBandCount];
  double l1[model::kBandCount];  // L[k][k-1]
  double l2[model::kBandCount];  // L[k][k-2]

  // diag, sub1 (k, k-1) and sub2 (k, k-2) of the matrix. False when it is not positive definite.
  bool Factor(const double diag[model::kBandCount], const double sub1[model::kBandCount], const double sub2[model::kBandCount]) {
    for (int k = 0; k < model::kBandCount; ++k) {
      l2[k] = k >= 2 ? sub2[k] / d[k - 2] : 0.0;
      l1[k] = k >= 1 ? (sub1[k] - (k >= 2 ? l2[k] * l1[k - 1] * d[k - 2] : 0.0)) / d[k - 1] : 0.0;
      d[k] = diag[k] - (k >= 1 ? l1[k] * l1[k] * d[k - 1] : 0.0) - (k >= 2 ? l2[k] * l2[k] * d[k - 2] : 0.0);
      if (!(d[k] > 0.0) || !std::isfinite(d[k])) return false;
    }
    return true;
  }

  void Solve(const double rhs[model::kBandCount], double x[model::kBandCount]) const {
    double y[model::kBandCount];
    for (int k = 0; k < model::kBandCount; ++k)
      y[k] = rhs[k] - (k >= 1 ? l1[k] * y[k - 1] : 0.0) - (k >= 2 ? l2[k] * y[k - 2] : 0.0);
    for (int k = model::kBandCount - 1; k >= 0; --k) {
      double s = y[k] / d[k];
      if (k + 1 < model::kBandCount) s -= l1[k + 1] * x[k + 1];
      if (k + 2 < model::kBandCount) s -= l2[k + 2] * x[k + 2];
      x[k] = s;
    }
  }
};

// The constraint directions: a constant and a linear profile over the band index.
double ConstraintValue(int which, int k) { return which == 0 ? 1.0 : k - 0.5 * (model::kBandCount - 1); }

// Eliminates the band unknowns of one axis. With B the band block (data weights + prior), K the constraint
// directions and P = B^-1 - B^-1 K (K^T B^-1 K)^-1 K^T B^-1 (the inverse of B on profiles satisfying the
// constraints), returns pc[j] = P c[j] for the six coupling rows and ph = P (h - prior * b). The band step
// is then ph - sum_j pc[j] * dg[j].
bool EliminateBands(const double w[model::kBandCount], const double c[kParams][model::kBandCount], const double h[model::kBandCount],
                    const double b[model::kBandCount], double pc[kParams][model::kBandCount], double ph[model::kBandCount]) {
  const double ls = kBandSmoothness, ld = kBandDamping;

  double diag[model::kBandCount], sub1[model::kBandCount], sub2[model::kBandCount];
  for (int k = 0; k < model::kBandCount; ++k) {
    diag[k] = w[k] + ld + ls * kSmooth.dtd[0][k];
    sub1[k] = ls * kSmooth.dtd[1][k];
    sub2[k] = ls * kSmooth.dtd[2][k];
  }
  BandSolver solver;
  if (!solver.Factor(diag, sub1, sub2)) return false;

  // B^-1 K and the 2 x 2 matrix G = K^T B^-1 K.
  double zk[2][model::kBandCount];
  for (int i = 0; i < 2; ++i) {
    double kv[model::kBandCount];
    for (int k = 0; k < model::kBandCount; ++k) kv[k] = ConstraintValue(i, k);
    solver.Solve(kv, zk[i]);
  }
  double g[2][2] = {};
  for (int i = 0; i < 2; ++i)
    for (int j = 0; j < 2; ++j)
      for (int k = 0; k < model::kBandCount; ++k) g[i][j] += ConstraintValue(i, k) * zk[j][k];
  const double det = g[0][0] * g[1][1] - g[0][1] * g[1][0];
  if (!(det > 0.0) || !std::isfinite(det)) return false;
  const double gi[2][2] = {{g[1][1] / det, -g[0][1] / det}, {-g[1][0] / det, g[0][0] / det}};

  // x -> P x: solve, then remove the constraint components.
  auto project = [&](const double in[model::kBandCount], double out[model::kBandCount]) {
    solver.Solve(in, out);
    double kz[2] = {};
    for (int k = 0; k < model::kBandCount; ++k) kz[0] += out[k], kz[1] += ConstraintValue(1, k) * out[k];
    const double mu0 = gi[0][0] * kz[0] + gi[0][1] * kz[1], mu1 = gi[1][0] * kz[0] + gi[1][1] * kz[1];
    for (int k = 0; k < model::kBandCount; ++k) out[k] -= mu0 * zk[0][k] + mu1 * zk[1][k];
  };

  double rhs[model::kBandCount];
  ApplyPrior(b, ls, ld, rhs);
  for (int k = 0; k < model::kBandCount; ++k) rhs[k] = h[k] - rhs[k];
  project(rhs, ph);
  for (int j = 0; j < kParams; ++j) project(c[j], pc[j]);
  return true;
}

// --- Global block -------------------------------------------------------------------------------------

// Solves s x = r for the symmetric 6 x 6 s (upper triangle used) after Jacobi scaling; a parameter with no
// information (zero diagonal) gets a zero step. False when the factorisation breaks down.
bool SolveGlobal(const double s[kParams][kParams], const double r[kParams], double x[kParams]) {
  double scale[kParams], m[kParams][kParams], y[kParams];
  double max_diag = 0.0;
  for (int i = 0; i < kParams; ++i) max_diag = std::max(max_diag, s[i][i]);
  if (!(max_diag > 0.0) || !std::isfinite(max_diag)) return false;
  for (int i = 0; i < kParams; ++i)
    scale[i] = s[i][i] > max_diag * kUnobserved ? 1.0 / std::sqrt(s[i][i]) : 0.0;
  for (int i = 0; i < kParams; ++i)
    for (int j = i; j < kParams; ++j) m[i][j] = m[j][i] = s[i][j] * scale[i] * scale[j];
  for (int i = 0; i < kParams; ++i) {
    m[i][i] = (scale[i] > 0.0 ? m[i][i] : 1.0) + kRidge;
    y[i] = r[i] * scale[i];
  }
  // Cholesky m = L L^T in the lower triangle.
  for (int j = 0; j < kParams; ++j) {
    double d = m[j][j];
    for (int k = 0; k < j; ++k) d -= m[j][k] * m[j][k];
    if (!(d > kPivotMin)) return false;
    m[j][j] = std::sqrt(d);
    for (int i = j + 1; i < kParams; ++i) {
      double v = m[i][j];
      for (int k = 0; k < j; ++k) v -= m[i][k] * m[j][k];
      m[i][j] = v / m[j][j];
    }
  }
  for (int i = 0; i < kParams; ++i) {
    for (int k = 0; k < i; ++k) y[i] -= m[i][k] * y[k];
    y[i] /= m[i][i];
  }
  for (int i = kParams - 1; i >= 0; --i) {
    for (int k = i + 1; k < kParams; ++k) y[i] -= m[k][i] * y[k];
    y[i] /= m[i][i];
  }
  for (int i = 0; i < kParams; ++i) x[i] = y[i] * scale[i];
  return true;
}

// --- Iterations ----------------------------------------------------------------------------------------

double CauchyWeight(double r2, double scale2) { return 1.0 / (1.0 + r2 / scale2); }

double CauchyScale2(double sigma) {
  const double s = kCauchyScale * std::max(sigma, kResidualFloor);
  return s * s;
}

// Per-band sums of one iteration, kept together so that a point touches one cache line or two.
struct BandSums {
  double c[2][kParams];  // per axis: sum w J (c[0][0] and c[1][1] are the axis weights)
  double h[2];           // per axis: sum w e
};

// Residuals of the active points at model m, their robust weights when `reweight` is set (Cauchy at the
// workspace's sigma), and the normal equations.
//
// The Jacobian rows of a point's mapped position (mu, mv) + t + b, with fa = -rx / (h den) and
// fb = -ry / (h den), are
//   x: (1, 0, -mv, mu, mu fa, mu fb) + band x        y: (0, 1, mu, mv, mv fa, mv fb) + band y
// for (tx, ty, theta, ln z, A, B). Their weighted outer products have few distinct terms: with
// R = wx mu^2 + wy mv^2 and Z = (wy - wx) mu mv the block of (theta, ln z, A, B) is
//   [wx mv^2 + wy mu^2, Z, Z fa, Z fb; R, R fa, R fb; R fa^2, R fa fb; R fb^2]
// and the rows of tx and ty are the band sums c added over the bands. The loop therefore accumulates
// those few scalars and the band sums only.
void Accumulate(Workspace& ws, const Model& m, bool reweight, Normal& ne) {
  std::memset(&ne, 0, sizeof(ne));
  BandSums bands[model::kBandCount] = {};
  double s22 = 0, sz = 0, sza = 0, szb = 0, sr = 0, sra = 0, srb = 0, sraa = 0, srab = 0, srbb = 0;
  double g2 = 0, gg = 0, gga = 0, ggb = 0;
  const MapCoeffs k = Coeffs(m, ws.height);
  const double inv_h = 1.0 / ws.height;
  const double scale2 = CauchyScale2(ws.sigma);
  for (uint32_t i = 0; i < ws.count; ++i) {
    Point& p = ws.pts[i];
    if (!p.active) continue;
    const double den = 1.0 + k.p * p.rx + k.q * p.ry;
    if (!(den >= kMinDenominator)) continue;
    const double inv = 1.0 / den;
    const double mu = (k.zc * p.rx - k.zs * p.ry) * inv, mv = (k.zs * p.rx + k.zc * p.ry) * inv;
    BandSums& bs = bands[p.band];
    p.ex = p.cx - (mu + m.tx + m.band[0][p.band]);
    p.ey = p.cy - (mv + m.ty + m.band[1][p.band]);
    if (reweight) p.weight = static_cast<float>(CauchyWeight(p.ax * p.ex * p.ex + p.ay * p.ey * p.ey, scale2));
    const double wx = double{p.weight} * p.ax, wy = double{p.weight} * p.ay;
    const double fa = -p.rx * inv * inv_h, fb = -p.ry * inv * inv_h;
    const double r = wx * mu * mu + wy * mv * mv, z = (wy - wx) * mu * mv;
    const double wex = wx * p.ex, wey = wy * p.ey, g3 = wex * mu + wey * mv;
    s22 += wx * mv * mv + wy * mu * mu;
    sz += z;
    sza += z * fa;
    szb += z * fb;
    sr += r;
    sra += r * fa;
    srb += r * fb;
    sraa += r * fa * fa;
    srab += r * fa * fb;
    srbb += r * fb * fb;
    g2 += wey * mu - wex * mv;
    gg += g3;
    gga += g3 * fa;
    ggb += g3 * fb;
    const double jx[4] = {-mv, mu, mu * fa, mu * fb}, jy[4] = {mu, mv, mv * fa, mv * fb};
    bs.c[0][0] += wx;
    bs.c[1][1] += wy;
    for (int j = 0; j < 4; ++j) {
      bs.c[0][j + 2] += wx * jx[j];
      bs.c[1][j + 2] += wy * jy[j];
    }
    bs.h[0] += wex;
    bs.h[1] += wey;
  }
  for (int b = 0; b < model::kBandCount; ++b)
    for (int ax = 0; ax < 2; ++ax) {
      for (int j = 0; j < kParams; ++j) {
        ne.c[ax][j][b] = bands[b].c[ax][j];
        ne.a[ax][j] += bands[b].c[ax][j];
      }
      ne.h[ax][b] = bands[b].h[ax];
      ne.w[ax][b] = bands[b].c[ax][ax];
      ne.g[ax] += bands[b].h[ax];
    }
  const double upper[4][4] = {{s22, sz, sza, szb}, {0, sr, sra, srb}, {0, 0, sraa, srab}, {0, 0, 0, srbb}};
  for (int r = 0; r < 4; ++r)
    for (int c = r; c < 4; ++c) ne.a[r + 2][c + 2] = upper[r][c];
  ne.g[2] = g2;
  ne.g[3] = gg;
  ne.g[4] = gga;
  ne.g[5] = ggb;
}

// Keeps the tilt terms within their limits: when either is outside (or not a number), both become zero.
void LimitTilts(Model& m) {
  if (!(std::fabs(m.tiltA) <= kMaxTiltA) || !(std::fabs(m.tiltB) <= kMaxTiltB)) m.tiltA = m.tiltB = 0.0;
  m.tiltA = std::clamp(m.tiltA, -kMaxTiltA, kMaxTiltA);
  m.tiltB = std::clamp(m.tiltB, -kMaxTiltB, kMaxTiltB);
}

// Keeps a diverging step from leaving the range where the model means anything (and from overflowing).
void LimitModel(Model& m, double width, double height) {
  const double span = 4.0 * (width + height);
  m.tx = std::clamp(m.tx, -span, span);
  m.ty = std::clamp(m.ty, -span, span);
  m.theta = std::remainder(m.theta, 2.0 * std::numbers::pi);
  m.logZoom = std::clamp(m.logZoom, -kMaxLogZoom, kMaxLogZoom);
  for (auto& axis : m.band)
    for (double& v : axis) v = std::clamp(v, -span, span);
  LimitTilts(m);
}

// One Gauss-Newton step applied with `gain`. Returns how far it moved the model (px); 0 when the step could
// not be computed, which leaves the model as it was and ends the round.
double Iterate(Workspace& ws, Model& m, double gain, bool reweight) {
  Normal ne;
  Accumulate(ws, m, reweight, ne);
  double s[kParams][kParams], r[kParams];
  double pc[2][kParams][model::kBandCount], ph[2][model::kBandCount];
  for (int ax = 0; ax < 2; ++ax)
    if (!EliminateBands(ne.w[ax], ne.c[ax], ne.h[ax], m.band[ax], pc[ax], ph[ax])) return 0.0;
  // Schur complement: s = A - sum_axis C P C^T, r = g - sum_axis C P h.
  for (int i = 0; i < kParams; ++i) {
    r[i] = ne.g[i];
    for (int j = i; j < kParams; ++j) s[i][j] = ne.a[i][j];
  }
  for (int ax = 0; ax < 2; ++ax)
    for (int i = 0; i < kParams; ++i) {
      for (int k = 0; k < model::kBandCount; ++k) r[i] -= ne.c[ax][i][k] * ph[ax][k];
      for (int j = i; j < kParams; ++j)
        for (int k = 0; k < model::kBandCount; ++k) s[i][j] -= ne.c[ax][i][k] * pc[ax][j][k];
    }
  double dg[kParams];
  if (!SolveGlobal(s, r, dg)) return 0.0;
  for (int i = 0; i < kParams; ++i)
    if (!std::isfinite(dg[i])) return 0.0;
  Model next = m;
  next.tx += gain * dg[0];
  next.ty += gain * dg[1];
  next.theta += gain * dg[2];
  next.logZoom += gain * dg[3];
  next.tiltA += gain * dg[4];
  next.tiltB += gain * dg[5];
  for (int ax = 0; ax < 2; ++ax)
    for (int k = 0; k < model::kBandCount; ++k) {
      double db = ph[ax][k];
      for (int j = 0; j < kParams; ++j) db -= pc[ax][j][k] * dg[j];
      next.band[ax][k] += gain * db;
    }
  LimitModel(next, ws.width, ws.height);
  const double moved = ModelDistance(m, next, ws.width, ws.height);
  if (!std::isfinite(moved)) return 0.0;
  m = next;
  return moved;
}

// One round: from the reset model, up to `iterations` steps at `gain` with the current weights.
void RunRound(Workspace& ws, Model& m, int iterations, double gain) {
  ResetModel(m);
  for (int i = 0; i < iterations; ++i)
    if (!(Iterate(ws, m, gain, false) > kIterationTolerance)) break;
}

// --- Between rounds ----------------------------------------------------------------------------------

// Residuals of every point (excluded ones too, so that they can come back) at model m.
void RefreshResiduals(Workspace& ws, const Model& m) {
  const MapCoeffs k = Coeffs(m, ws.height);
  for (uint32_t i = 0; i < ws.count; ++i) {
    Point& p = ws.pts[i];
    double u, v;
    if (MapGlobal(m, k, p.rx, p.ry, &u, &v)) {
      p.ex = p.cx - (u + m.band[0][p.band]);
      p.ey = p.cy - (v + m.band[1][p.band]);
    } else {
      p.ex = p.ey = kUnmappable;
    }
  }
}

double ResidualLength2(const Point& p) { return p.ax * p.ex * p.ex + p.ay * p.ey * p.ey; }

// Stable LSD radix sort of keys by their upper 32 bits, through `scratch` (as long as keys). A pass whose
// digit is the same for every key is skipped.
void RadixSortUpper(uint64_t* keys, uint64_t* scratch, uint32_t n) {
  constexpr int kDigitBits = 11;
  constexpr uint32_t kBuckets = 1u << kDigitBits;
  uint64_t* from = keys;
  uint64_t* to = scratch;
  for (int shift = 32; shift < 64; shift += kDigitBits) {
    uint32_t start[kBuckets] = {};
    for (uint32_t i = 0; i < n; ++i) ++start[(from[i] >> shift) & (kBuckets - 1)];
    if (start[(from[0] >> shift) & (kBuckets - 1)] == n) continue;
    uint32_t sum = 0;
    for (uint32_t& s : start) {
      const uint32_t c = s;
      s = sum;
      sum += c;
    }
    for (uint32_t i = 0; i < n; ++i) to[start[(from[i] >> shift) & (kBuckets - 1)]++] = from[i];
    std::swap(from, to);
  }
  if (from != keys) std::memcpy(keys, from, sizeof(uint64_t) * n);
}

// Residual length a sort key stands for: the middle of its kSortResolution step, at least kResidualFloor.
double KeyLength(uint64_t key) { return std::max((double(key >> 32) + 0.5) * kSortResolution, kResidualFloor); }

// Sorts the points by residual length into ws.keys and returns the core statistics. A key is the residual
// in steps of kSortResolution above the point's index, so residuals closer than that sort as equal, in
// index order, and the order is total and reproducible.
ResidualStats SortAndMeasure(Workspace& ws) {
  ResidualStats st{0.0, 0.0, 0.0};
  if (ws.count == 0) return st;
  for (uint32_t i = 0; i < ws.count; ++i) {
    const double q = std::sqrt(ResidualLength2(ws.pts[i])) / kSortResolution;
    const uint64_t step = q < 4.0e9 ? static_cast<uint64_t>(q) : 0xFFFFFFFFull;  // NaN and huge sort last
    ws.keys[i] = step << 32 | i;
  }
  RadixSortUpper(ws.keys, ws.scratch, ws.count);
  const double limit = kCoreMedianFactor * KeyLength(ws.keys[ws.count / 2]);
  for (uint32_t pos = 0; pos < ws.count; ++pos) {
    const double r = KeyLength(ws.keys[pos]);
    if (!(r <= limit)) break;
    st.a += r * r;
    st.b += r;
    st.c += 1.0;
  }
  return st;
}

// Re-decides which points are outliers: those whose sorted residual lies beyond the threshold, but never
// the best eighth of the list.
void RejectOutliers(Workspace& ws, const ResidualStats& st, double factor) {
  uint32_t cut = ws.count;
  if (st.b > kStatsMinimum && st.c > kStatsMinimum) {
    const double rms = std::sqrt(st.a / st.c);
    const double reach = std::min(st.a / st.b + rms, (kRejectCap - rms) * factor + rms) + kRejectMargin;
    const double t = reach * reach;
    cut = (ws.count + 7) / 8;
    while (cut < ws.count && KeyLength(ws.keys[cut]) * KeyLength(ws.keys[cut]) <= t) ++cut;
  }
  for (uint32_t i = 0; i < ws.count; ++i) ws.pts[i].active = 0;
  for (uint32_t pos = 0; pos < cut; ++pos) ws.pts[ws.keys[pos] & 0xFFFFFFFFu].active = 1;
}

// New robust weights from the statistics: Cauchy at the inlier spread, zero for excluded points.
void Reweight(Workspace& ws, const ResidualStats& st) {
  if (st.c > kStatsMinimum) ws.sigma = std::sqrt(st.a / st.c * 0.5);
  const double scale2 = CauchyScale2(ws.sigma);
  for (uint32_t i = 0; i < ws.count; ++i) {
    Point& p = ws.pts[i];
    p.weight = p.active ? static_cast<float>(CauchyWeight(ResidualLength2(p), scale2)) : 0.0f;
  }
}

void EndRound(Workspace& ws, const Model& m, bool reject, double factor) {
  RefreshResiduals(ws, m);
  const ResidualStats st = SortAndMeasure(ws);
  if (reject) RejectOutliers(ws, st, factor);
  Reweight(ws, st);
}

// The phases of the fit; m holds the result.
void RunPhases(Workspace& ws, Model& m, uint32_t mode) {
  const bool reject = (mode & kModeRejectOutliers) != 0;
  const bool coarse = (mode & kModeCoarse) != 0;
  if (coarse) {
    Model previous;
    ResetModel(previous);
    for (int round = 0; round < kCoarseRoundsMax; ++round) {
      RunRound(ws, m, kCoarseIterations, kCoarseGain);
      const bool settled = round > 0 && ModelDistance(previous, m, ws.width, ws.height) < kCoarseTolerance;
      previous = m;
      if (settled) break;
      EndRound(ws, m, false, 0.0);
    }
    EndRound(ws, m, reject, kCoarseRejectFactor);
  }
  const int rounds = coarse ? kMainRoundsAfterCoarse : kMainRounds;
  for (int round = 0; round < rounds; ++round) {
    const bool last = round == rounds - 1;
    RunRound(ws, m, last ? kLastRoundIterations : kMainIterations, kMainGain);
    const int rounds_left = rounds - round - 1;
    if (!last) EndRound(ws, m, reject, (rounds_left - 1) / 8.0);
  }
  if (coarse) {
    // Polishing from the main result: weights follow the residuals at every step, the decaying gain
    // damps the oscillation that re-weighting inside a round could otherwise start.
    double gain = kMainGain;
    for (int i = 0; i < kFinalIterations; ++i) {
      gain *= kFinalGainDecay;
      if (!(Iterate(ws, m, gain, true) > kIterationTolerance)) break;
    }
  }
}

// Sets to zero each axis' band profile that does not pass the significance test (see kBandSignificance).
void DropInsignificantBands(const Workspace& ws, Model& m) {
  double w[2][model::kBandCount] = {};
  for (uint32_t i = 0; i < ws.count; ++i) {
    const Point& p = ws.pts[i];
    if (!p.active) continue;
    w[0][p.band] += double{p.weight} * p.ax;
    w[1][p.band] += double{p.weight} * p.ay;
  }
  const double sigma = std::max(ws.sigma, kResidualFloor);
  for (int ax = 0; ax < 2; ++ax) {
    double energy = 0.0;
    for (int k = 0; k < model::kBandCount; ++k) energy += w[ax][k] * m.band[ax][k] * m.band[ax][k];
    if (!(energy / (sigma * sigma) > kBandSignificance))
      for (double& v : m.band[ax]) v = 0.0;
  }
}

// --- Input and output ------------------------------------------------------------------------------

// Copies the usable matches into the workspace. A match is usable when its valid byte is set, it has a
// measured axis, and position and displacement are finite and within a span of the image.
uint32_t LoadPoints(const MatchList& list, Workspace& ws) {
  const double span = ws.width + ws.height;
  const double hw = ws.width * 0.5, hh = ws.height * 0.5;
  uint32_t n = 0;
  for (uint32_t i = 0; i < list.count; ++i) {
    const MatchEntry& e = list.matches[i];
    const bool ax = e.weightX > 0.0f, ay = e.weightY > 0.0f;
    const double cx = double{e.x} - hw, cy = double{e.y} - hh, dx = e.dx, dy = e.dy;
    const bool inside = std::fabs(cx) <= span && std::fabs(cy) <= span && std::fabs(dx) <= span &&
                        std::fabs(dy) <= span;  // false for NaN
    if (!e.valid || !(ax || ay) || !inside) continue;
    Point& p = ws.pts[n++];
    p.cx = cx;
    p.cy = cy;
    p.rx = cx - dx;
    p.ry = cy - dy;
    p.ex = p.ey = 0.0;
    p.ax = ax ? 1.0f : 0.0f;
    p.ay = ay ? 1.0f : 0.0f;
    p.weight = 1.0f;
    p.band = std::clamp(static_cast<int32_t>(std::floor(double{e.y} * model::kBandCount / ws.height)), 0, model::kBandCount - 1);
    p.index = i;
    p.active = 1;
  }
  return n;
}

// Writes the model into the record slots (everything but count and span).
void WriteRecord(const Model& m, double width, double height, model::FrameRecord& out) {
  out.f(model::kSlotTx) = static_cast<float>(m.tx);
  out.f(model::kSlotTy) = static_cast<float>(m.ty);
  out.f(model::kSlotRotSin) = static_cast<float>(std::sin(m.theta));
  out.f(model::kSlotRotCos) = static_cast<float>(std::cos(m.theta));
  out.f(model::kSlotZoom) = ZoomTermFromFactor(static_cast<float>(std::exp(m.logZoom)), static_cast<float>(height));
  out.f(model::kSlotTiltA) = static_cast<float>(m.tiltA);
  out.f(model::kSlotTiltB) = static_cast<float>(m.tiltB);
  const double tilts[2] = {m.tiltA, m.tiltB};
  for (int i = 0; i < 2; ++i) {
    const double n = std::sqrt(1.0 + tilts[i] * tilts[i]);  // (sin, cos) of atan(tilt)
    out.f(model::kSlotTilt1Sin + 2 * i) = static_cast<float>(tilts[i] / n);
    out.f(model::kSlotTilt1Sin + 2 * i + 1) = static_cast<float>(1.0 / n);
  }
  for (int k = 0; k < model::kBandCount; ++k) {
    out.f(model::kSlotBands + 2 * k) = static_cast<float>(m.band[0][k]);
    out.f(model::kSlotBands + 2 * k + 1) = static_cast<float>(m.band[1][k]);
  }
  CameraMatrixFromRecord(out, static_cast<float>(height), out.matrix());
  CornersFromMatrix(out.matrix(), static_cast<float>(width), static_cast<float>(height), out);
}

// RMS reprojection error of the active points under the record as written (matrix plus band pairs);
// HUGE_VAL when there are none.
double RecordError(const Workspace& ws, const model::FrameRecord& out, uint32_t* active) {
  double sum = 0.0;
  uint32_t n = 0;
  for (uint32_t i = 0; i < ws.count; ++i) {
    const Point& p = ws.pts[i];
    if (!p.active) continue;
    float u, v;
    Mat4Apply(out.matrix(), static_cast<float>(p.rx), static_cast<float>(p.ry), &u, &v);
    const double ex = p.cx - (double{u} + out.f(model::kSlotBands + 2 * p.band));
    const double ey = p.cy - (double{v} + out.f(model::kSlotBands + 2 * p.band + 1));
    sum += p.ax * ex * ex + p.ay * ey * ey;
    ++n;
  }
  *active = n;
  return n ? std::sqrt(sum / n) : HUGE_VAL;
}

bool RecordFinite(const model::FrameRecord& r) {
  for (int i = 0; i < model::kRecordSlots; ++i)
    if (i != model::kSlotCount && i != model::kSlotSpan && !std::isfinite(r.f(i))) return false;
  return true;
}

void RejectRecord(model::FrameRecord& out) {
  RecordReset(out);
  RecordSetIdentityMatrix(out);
}

}  // namespace

void FitCamera(const model::ModelParams&, model::FrameRecord& out, MatchList& list, int variant) {
  const double width = list.width, height = list.height;
  if (!(width >= 1.0 && height >= 1.0 && width <= kMaxSide && height <= kMaxSide) || !list.matches ||
      list.count < kMinMatches) {
    RejectRecord(out);
    return;
  }
  const size_t bytes = size_t{list.count} * (sizeof(Point) + 2 * sizeof(uint64_t));
  void* block = platform::HeapAllocate(bytes, 0);
  if (!block) {
    RejectRecord(out);
    return;
  }
  Workspace ws{};
  ws.pts = static_cast<Point*>(block);
  ws.keys = reinterpret_cast<uint64_t*>(ws.pts + list.count);
  ws.scratch = ws.keys + list.count;
  ws.width = width;
  ws.height = height;
  ws.count = LoadPoints(list, ws);

  bool valid = false;
  if (ws.count >= kMinMatches) {
    Model m;
    ResetModel(m);
    RunPhases(ws, m, variant == 1 ? kModeVariant1 : kModeVariant0);
    DropInsignificantBands(ws, m);
    WriteRecord(m, width, height, out);
    uint32_t active = 0;
    const double error = RecordError(ws, out, &active);
    const double limit = std::clamp(std::hypot(width, height) * kErrorPerDiagonal, kErrorMin, kErrorMax);
    valid = active >= kMinMatches && error <= limit && RecordFinite(out);
  }
  if (!valid) RejectRecord(out);

  // The caller's valid bytes: unusable matches and outliers become invalid.
  for (uint32_t i = 0; i < list.count; ++i) list.matches[i].valid = 0;
  for (uint32_t i = 0; i < ws.count; ++i) list.matches[ws.pts[i].index].valid = ws.pts[i].active;
  platform::HeapRelease(block);
}

}  // namespace vendrix::motion
