// Preparation of the matrix finisher: from the measured per-frame motion to the correction that holds
// the camera on frame 0, cached in path->integrated.
//
// While the preparation runs, integrated[k] first holds frame k's fused relative motion (its record
// slots in analysis pixels, its matrix in display coordinates), then the integration replaces the
// matrix by C_k = A_k^-1 and the last stage decomposes it. Rolling-shutter data of frame k: field 21
// horizontal shear (display), field 10 vertical stretch, field 24 speed measure.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>

#include "motion/camera_matrix.h"
#include "finishing/matrix_internal.h"

namespace vendrix::finishing::matrix {
namespace {

constexpr float kClearedRotation = 0.001f;  // both pair entries below: a cleared record, no motion
constexpr double kMaxTiltTerm = 1.0;        // |p * H|: the perspective of one frame step
constexpr double kMinStepZoom = 0.5, kMaxStepZoom = 2.0;
constexpr double kSpeedUnit = 6000.0;  // field 24: speed in 1/6000 of the image width per frame
constexpr double kMinExplained = 0.1, kMinExplainedTested = 0.25;  // readout: share the skews must explain
constexpr int32_t kReadoutWindow = 8;  // steps each side of the running mean the readout fit takes out
constexpr int kFusedSlots[] = {model::kSlotTx, model::kSlotTy, model::kSlotRotSin, model::kSlotRotCos, model::kSlotZoom, model::kSlotTiltA, model::kSlotTiltB};

// Largest translation one frame step can hold: twice the image size (a step beyond it was never
// measured, it is a corrupt record).
double MaxStep(const Context& c) {
  const double m = c.width > c.height ? c.width : c.height;
  return m > 0.0 ? 2.0 * m : 1e5;
}

// A measurement the finisher can use: fitted (match count above 0), not a cleared record (rotation pair (0, 0),
// which the no-motion substitution turns into an invalid reset record), finite, and within what one
// frame step can hold. NaN or huge values are treated as a missing measurement.
bool Usable(const model::FrameRecord& r, const Context& c) {
  if (r.count() == 0) return false;
  for (int slot : kFusedSlots)
    if (!std::isfinite(r.f(slot))) return false;
  const double sn = r.f(model::kSlotRotSin), cs = r.f(model::kSlotRotCos);
  if (std::fabs(sn) < kClearedRotation && std::fabs(cs) < kClearedRotation) return false;
  const double norm2 = sn * sn + cs * cs;
  if (!(norm2 > 0.25 && norm2 < 4.0)) return false;
  const double max_step = MaxStep(c);
  if (!(std::fabs(r.f(model::kSlotTx)) <= max_step && std::fabs(r.f(model::kSlotTy)) <= max_step)) return false;
  if (c.height > 0.0) {
    const double z = motion::ZoomFactorFromTerm(r.f(model::kSlotZoom), static_cast<float>(c.height));
    if (!(z >= kMinStepZoom && z <= kMaxStepZoom)) return false;
  }
  return std::fabs(r.f(model::kSlotTiltA)) <= kMaxTiltTerm && std::fabs(r.f(model::kSlotTiltB)) <= kMaxTiltTerm;
}

// Nearest usable measured[0] records before and after every frame, inside 1 .. N-1 (record 0 is no
// frame step); -1 when there is none.
void FindNeighbours(Context& c) {
  const model::FrameRecord* m = c.measured[0];
  int32_t last = -1;
  for (int32_t k = 0; k < c.n; ++k) {
    c.prevValid[k] = last;
    if (k >= 1 && Usable(m[k], c)) last = k;
  }
  last = -1;
  for (int32_t k = c.n - 1; k >= 0; --k) {
    c.nextValid[k] = last;
    if (k >= 1 && Usable(m[k], c)) last = k;
  }
}

// Step a for one frame: the fused relative record of frame k >= 1 into `out` (cleared first); the
// matrix is T S P of the fused record in display coordinates.
void FuseFrame(const Context& c, int32_t k, model::FrameRecord& out) {
  const model::FrameRecord& m0 = c.measured[0][k];
  model::FrameRecord base;
  bool measured = true;
  if (Usable(m0, c)) {
    base = m0;
  } else {
    const int32_t p = c.prevValid[k], q = c.nextValid[k];
    if (p >= 1 && q >= 1) {
      // Missing: interpolated between the usable neighbours.
      base = c.measured[0][p];
      model::FrameRecord d = c.measured[0][q];
      model::RecordDifference(d, c.measured[0][p]);
      model::RecordComposeScaled(base, d, static_cast<float>(k - p) / static_cast<float>(q - p));
    } else {
      base.Clear();
      model::RecordReset(base);
      measured = false;  // no measurement: a record of no motion that does not count in the mean
    }
  }
  // Averaging with the other variants: translation, zoom, tilt terms and the sines.
  constexpr int kSums[] = {model::kSlotTx, model::kSlotTy, model::kSlotZoom, model::kSlotTiltA, model::kSlotTiltB, model::kSlotRotSin, model::kSlotTilt1Sin,
                           model::kSlotTilt2Sin};
  double sum[8] = {};
  int count = 0;
  const model::FrameRecord* only = nullptr;
  auto add = [&](const model::FrameRecord& r) {
    for (int i = 0; i < 8; ++i) sum[i] += std::isfinite(r.f(kSums[i])) ? r.f(kSums[i]) : 0.0;
    only = &r;
    ++count;
  };
  if (measured) add(base);
  for (int v = 3; v >= 1; --v) {
    const model::FrameRecord& r = c.measured[v][k];
    if (r.span() == 1 && Usable(r, c)) add(r);
  }

  out.Clear();
  model::RecordReset(out);
  if (count == 1) {
    for (int slot : kFusedSlots) out.f(slot) = only->f(slot);
  } else if (count > 1) {
    for (int i = 0; i < 8; ++i) out.f(kSums[i]) = static_cast<float>(sum[i] / count);
    for (int slot : {model::kSlotRotSin, model::kSlotTilt1Sin, model::kSlotTilt2Sin}) {
      const float s = std::fmax(-1.0f, std::fmin(1.0f, out.f(slot)));
      out.f(slot) = s;
      out.f(slot + 1) = std::sqrt(1.0f - s * s);
    }
  }
  out.u(model::kSlotCount) = count > 0 ? 1u : 0u;
  out.u(model::kSlotSpan) = 1;

  // T S P in display coordinates: x scaled by s, so translation x times s and the x perspective
  // coefficient divided by s.
  const double H = c.height, s = c.aspect;
  Camera cam;
  cam.tx = out.f(model::kSlotTx) * s;
  cam.ty = out.f(model::kSlotTy);
  const double sn = out.f(model::kSlotRotSin), cs = out.f(model::kSlotRotCos), len = std::sqrt(sn * sn + cs * cs);
  cam.cs = len > 0.0 ? cs / len : 1.0;
  cam.sn = len > 0.0 ? sn / len : 0.0;
  cam.zoom = H > 0.0 ? motion::ZoomFactorFromTerm(out.f(model::kSlotZoom), static_cast<float>(H)) : 1.0;
  cam.p = H > 0.0 ? out.f(model::kSlotTiltA) / (H * s) : 0.0;
  cam.q = H > 0.0 ? out.f(model::kSlotTiltB) / H : 0.0;
  double h[9];
  ComposeH(cam, h);
  motion::Mat4FromHomography(h, out.matrix());
}

// Image velocity of frame k (analysis pixels per frame) from the fused relative translations: the
// mean of the steps into and out of the frame; one-sided at the ends.
void Velocity(const Context& c, int32_t k, double* vx, double* vy) {
  if (c.n < 2) {
    *vx = *vy = 0.0;
    return;
  }
  const int32_t a = k < 1 ? 1 : k, b = (k + 1 < c.n) ? k + 1 : c.n - 1;
  *vx = 0.5 * (c.integ[a].f(model::kSlotTx) + c.integ[b].f(model::kSlotTx));
  *vy = 0.5 * (c.integ[a].f(model::kSlotTy) + c.integ[b].f(model::kSlotTy));
}

// The skew a fit found beyond its camera model: h's linear part written as z R(theta) U with U upper
// triangular; shear = U01, stretch = U11 - 1. False when the matrix is unusable.
bool MeasuredSkew(const model::FrameRecord& r, double* shear, double* stretch) {
  double g[9];
  ReadMatrix(r, g);
  if (!H3Normalise(g)) return false;
  const double a00 = g[0] - g[2] * g[6], a01 = g[1] - g[2] * g[7];
  const double a10 = g[3] - g[5] * g[6], a11 = g[4] - g[5] * g[7];
  const double z = std::sqrt(a00 * a00 + a10 * a10);
  if (!(z > 1e-6)) return false;
  const double cs = a00 / z, sn = a10 / z;
  *shear = (cs * a01 + sn * a11) / z;
  *stretch = (-sn * a01 + cs * a11) / z - 1.0;
  return std::fabs(*shear) < 0.5 && std::fabs(*stretch) < 0.5;
}

// The fits' record of velocity: a frame read out over rho frame times is skewed by rho v / H (v its image
// velocity), so the skew a fit measures between frames k - 1 and k is rho (v_k - v_{k-1}) / H. Summed
// over the clip, times H, they give rho v_k up to a constant: skewSumX / Y[k], analysis pixels per frame
// (x from the shear, y from the stretch). Frames without a usable fit add nothing.
void SumSkews(const Context& c) {
  double x = 0.0, y = 0.0;
  c.skewSumX[0] = c.skewSumY[0] = 0.0;
  for (int32_t k = 1; k < c.n; ++k) {
    double shear, stretch;
    if (Usable(c.measured[0][k], c) && MeasuredSkew(c.measured[0][k], &shear, &stretch)) {
      x += shear * c.height / c.aspect;
      y += stretch * c.height;
    }
    c.skewSumX[k] = x;
    c.skewSumY[k] = y;
  }
}

// Mean of value(j) over the steps j within kReadoutWindow of k (and within 1 .. n - 1).
template <class F>
double StepMean(const Context& c, int32_t k, F value) {
  const int32_t a = std::max(1, k - kReadoutWindow), b = std::min(c.n - 1, k + kReadoutWindow);
  double sum = 0.0;
  for (int32_t j = a; j <= b; ++j) sum += value(j);
  return sum / double(b - a + 1);
}

// Readout fraction of the rolling shutter: the parameter when it is given, else estimated from how the
// summed skews follow the steps. Step k, the image's mean velocity between frames k - 1 and k, is about
// (v_{k-1} + v_k) / 2, and the same mean of the summed skews is rho times that plus a constant. Both have
// their running mean over kReadoutWindow steps each side taken out (the constant, and the slow drift the
// sum collects from the fits' errors), and rho is the least-squares ratio. Velocity changes between
// frames are the skews' to measure: on quick shake the steps' own differences miss them (on a walking
// clip read out over 0.75 of a frame, the skews against those differences said 1.4; this says 0.72).
double Readout(const Context& c) {
  const double given = c.p.readoutFactor;
  if (given > 0.0 && given <= 1.0) return given;
  if (!(c.height > 0.0) || c.n < 3) return 0.0;
  double sxx = 0.0, sxy = 0.0, syy = 0.0;
  for (int axis = 0; axis < (c.p.rollingShutter ? 2 : 1); ++axis) {
    const double* sums = axis == 0 ? c.skewSumX : c.skewSumY;
    const int slot = axis == 0 ? model::kSlotTx : model::kSlotTy;
    auto skews = [sums](int32_t j) { return 0.5 * (sums[j - 1] + sums[j]); };
    auto step = [&c, slot](int32_t j) { return double(c.integ[j].f(slot)); };
    for (int32_t k = 1; k < c.n; ++k) {
      const double x = skews(k) - StepMean(c, k, skews), y = step(k) - StepMean(c, k, step);
      sxx += x * x;
      sxy += x * y;
      syy += y * y;
    }
  }
  if (!(sxx > 0.0 && sxy > 0.0 && syy > 0.0)) return 0.0;
  // Hypothesis test: the ratio means something only where the skews follow the steps. On
  // global-shutter clips they explain under 1 % of the steps' variance, on rolling-shutter ones over
  // 70 %; the test switch asks for a quarter.
  if (sxy * sxy < (c.p.rollingShutterTest ? kMinExplainedTested : kMinExplained) * sxx * syy) return 0.0;
  return std::min(1.0, sxx / sxy);
}

// Image velocity of frame k (analysis pixels per frame, when its centre row is read): the summed skews
// over the readout carry its changes from frame to frame, and a short low-pass of the mean of the
// steps into and out of the frame supplies what they cannot, their constant and drift. On quick shake
// the steps alone leave 3.9 px per frame of a 6.1 px RMS velocity wrong, the combination 1.1 px (that
// walking clip). Without a readout: the steps' mean.
void InstantVelocity(const Context& c, int32_t k, double* vx, double* vy) {
  Velocity(c, k, vx, vy);
  if (!(c.readout > 0.0)) return;
  constexpr double kLowPass[5] = {1.0 / 16, 4.0 / 16, 6.0 / 16, 4.0 / 16, 1.0 / 16};
  double lx = 0.0, ly = 0.0;
  for (int t = -2; t <= 2; ++t) {
    const int32_t j = std::clamp(k + t, 0, c.n - 1);
    double ux, uy;
    Velocity(c, j, &ux, &uy);
    lx += kLowPass[t + 2] * (ux - c.skewSumX[j] / c.readout);
    ly += kLowPass[t + 2] * (uy - c.skewSumY[j] / c.readout);
  }
  *vx = c.skewSumX[k] / c.readout + lx;
  if (c.p.rollingShutter) *vy = c.skewSumY[k] / c.readout + ly;
}

// Roll rate of frame k (radians per frame) from the fused relative rotations: the mean of the steps
// into and out of the frame; one-sided at the ends.
double RollRate(const Context& c, int32_t k) {
  if (c.n < 2) return 0.0;
  const int32_t a = k < 1 ? 1 : k, b = (k + 1 < c.n) ? k + 1 : c.n - 1;
  return 0.5 * (Angle(c.integ[a]) + Angle(c.integ[b]));
}

// Image acceleration of frame k (analysis pixels per frame squared): the step out of the frame less the
// step into it; 0 at the ends, where one of them is missing.
void Acceleration(const Context& c, int32_t k, double* ax, double* ay) {
  *ax = *ay = 0.0;
  if (k < 1 || k + 1 >= c.n) return;
  *ax = c.integ[k + 1].f(model::kSlotTx) - c.integ[k].f(model::kSlotTx);
  *ay = c.integ[k + 1].f(model::kSlotTy) - c.integ[k].f(model::kSlotTy);
}

// The band pairs of frame k: how far each band's rows sit from where the linear skew puts them (the
// rows' wobble). Row fraction f is read out tau = rho (f - 1/2) frames after the centre row. By then
// the picture has moved by v tau + a tau^2 / 2 + j tau^3 / 6 (velocity, acceleration and jerk of the
// measured path, a local Taylor series through the frame's neighbours), of which the skew takes the
// first term and the bands the rest; and it has turned by w tau about the centre, which moves row
// y = (f - 1/2) H sideways by -w tau y (the bands) and each of its points vertically by w tau x (the
// output step's twist of the corners). Band j starts at row fraction j / 32; pairs are measured from
// the centre row. Analysis pixels; a frame whose bands would lean beyond kMaxRowLean gets them scaled
// down to it.
void BowBands(const Context& c, int32_t k, model::FrameRecord& out) {
  double ax, ay;
  Acceleration(c, k, &ax, &ay);
  if (!c.p.rollingShutter) ay = 0.0;
  const double w = RollRate(c, k), H = c.height, s = c.aspect;
  // Jerk: the change of acceleration across the frame (0 within two frames of the ends).
  double jx = 0.0, jy = 0.0;
  if (k >= 2 && k + 2 < c.n) {
    double bx, by, ex, ey;
    Acceleration(c, k - 1, &bx, &by);
    Acceleration(c, k + 1, &ex, &ey);
    jx = 0.5 * (ex - bx);
    jy = c.p.rollingShutter ? 0.5 * (ey - by) : 0.0;
  }
  double pairs[2 * model::kBandCount];
  bool plausible = true;
  for (int j = 0; j < model::kBandCount; ++j) {
    const double f = j / double(model::kBandCount) - 0.5, tau = c.readout * f;
    const double square = 0.5 * tau * tau, cube = tau * tau * tau / 6.0;
    pairs[2 * j] = square * ax + cube * jx - w * tau * f * H / s;
    pairs[2 * j + 1] = square * ay + cube * jy;
    plausible = plausible && std::fabs(pairs[2 * j]) < kMaxWobble * H && std::fabs(pairs[2 * j + 1]) < kMaxWobble * H;
  }
  // The steepest lean (sideways, display pixels) and stretch (down) between neighbouring bands, per
  // pixel of height.
  double steepest = 0.0;
  for (int j = 0; j + 1 < model::kBandCount; ++j)
    steepest = std::max(steepest, std::hypot((pairs[2 * j + 2] - pairs[2 * j]) * s, pairs[2 * j + 3] - pairs[2 * j + 1]));
  steepest *= model::kBandCount / H;
  const double scale = !plausible ? 0.0 : steepest > kMaxRowLean ? kMaxRowLean / steepest : 1.0;
  for (int j = 0; j < 2 * model::kBandCount; ++j) out.f(model::kSlotBands + j) = static_cast<float>(pairs[j] * scale);
}

// Steps b (per-frame part) and c for frame k.
void SkewFrame(const Context& c, int32_t k) {
  model::FrameRecord& out = c.integ[k];
  const double H = c.height, s = c.aspect;
  double shear = 0.0, stretch = 0.0, speed = 0.0;
  if (c.readout > 0.0 && H > 0.0) {
    double vx, vy;
    InstantVelocity(c, k, &vx, &vy);
    shear = c.readout * vx / H * s;
    stretch = c.p.rollingShutter ? c.readout * vy / H : 0.0;
    speed = c.width > 0.0 ? kSpeedUnit * std::hypot(vx, vy) / c.width : 0.0;
    BowBands(c, k, out);
  }
  out.f(model::kSlotRollingShutter) = static_cast<float>(shear);
  out.f(model::kSlotSpread) = static_cast<float>(stretch);
  out.f(model::kSlotShear) = static_cast<float>(speed);
  if (k < 1 || !(H > 0.0)) return;

  // Vertical skew: multiply by the inverse of Q = identity with second row (s22 / (H - s23),
  // H / (H - s23)) taken from the analysis record (in display coordinates the first entry is / s).
  const model::FrameRecord& m = c.measured[0][k];
  const double s22 = m.f(model::kSlotTiltA), s23 = m.f(model::kSlotTiltB);
  if (!std::isfinite(s22) || !std::isfinite(s23) || !(H - s23 > 0.0)) return;
  const double a = s22 / (H - s23) / s, b = H / (H - s23);
  if (!(b > 0.5 && b < 2.0) || !(std::fabs(a) < 1.0)) return;
  const double q_inv[9] = {1.0, 0.0, 0.0, -a / b, 1.0 / b, 0.0, 0.0, 0.0, 1.0};
  double h[9];
  ReadMatrix(out, h);
  H3Multiply(h, q_inv, h);
  motion::Mat4FromHomography(h, out.matrix());
}

// Step d: A_k = R_k A_{k-1}, stored inverted. A step that would leave the chain degenerate (not
// finite, not invertible, area scale outside 1e-6 .. 1e6) is taken as no motion.
void Integrate(Context& c) {
  double acc[9], inv[9];
  H3Identity(acc);
  H3Identity(inv);
  motion::Mat4FromHomography(inv, c.integ[0].matrix());
  for (int32_t k = 1; k < c.n; ++k) {
    double rel[9], next[9], next_inv[9];
    ReadMatrix(c.integ[k], rel);
    H3Multiply(rel, acc, next);
    if (H3Normalise(next) && H3Inverse(next, next_inv) && H3Normalise(next_inv)) {
      const double area = std::fabs(next[0] * next[4] - next[1] * next[3]);
      if (area > 1e-6 && area < 1e6) {
        std::memcpy(acc, next, sizeof(acc));
        std::memcpy(inv, next_inv, sizeof(inv));
      }
    }
    motion::Mat4FromHomography(inv, c.integ[k].matrix());
  }
}

// Step e with the damping of step b: decompose C_k into the record; fade the skew out at high speed.
void DecomposeFrame(const Context& c, int32_t k) {
  model::FrameRecord& r = c.integ[k];
  double h[9];
  ReadMatrix(r, h);
  WriteCorrection(r, h, c.height);
  for (int i = model::kSlotCorners; i < model::kSlotSpread; ++i) r.f(i) = 0.0f;
  r.f(model::kSlotWeight) = 0.0f;
  const double damping = SkewDamping(r.f(model::kSlotShear));
  r.f(model::kSlotRollingShutter) = static_cast<float>(r.f(model::kSlotRollingShutter) * damping);
  r.f(model::kSlotSpread) = static_cast<float>(r.f(model::kSlotSpread) * damping);
  for (int j = 0; j < 2 * model::kBandCount; ++j) r.f(model::kSlotBands + j) = static_cast<float>(r.f(model::kSlotBands + j) * damping);
}

}  // namespace

bool Prepare(Context& c) {
  GlobalMotionPath* path = c.path;
  path->preparedCount = 0;
  path->frameHeight = static_cast<float>(path->height);
  FindNeighbours(c);

  auto fuse = [&c](int32_t k) {
    if (k == 0) {
      c.integ[0].Clear();
      model::RecordReset(c.integ[0]);
      model::RecordSetIdentityMatrix(c.integ[0]);
      c.integ[0].u(model::kSlotCount) = 1;
      return;
    }
    FuseFrame(c, k, c.integ[k]);
  };
  if (!ForFrames(c, kStageParallelFrom, fuse)) return false;

  if (c.p.extended) SumSkews(c);
  c.readout = c.p.extended ? Readout(c) : 0.0;
  auto skew = [&c](int32_t k) { SkewFrame(c, k); };
  if (!ForFrames(c, kStageParallelFrom, skew)) return false;

  Integrate(c);
  auto decompose = [&c](int32_t k) { DecomposeFrame(c, k); };
  if (!ForFrames(c, kStageParallelFrom, decompose)) return false;

  path->preparedCount = c.n;
  path->preparedReadout = static_cast<float>(c.readout);
  return true;
}

}  // namespace vendrix::finishing::matrix
