// The matrix finisher (model kinds 4 and above).
//
// What it produces. For every usable frame i the finisher builds a correction: a planar homography C_i
// that maps the source frame to the output. path->smoothed[i] receives where C_i puts the image centre
// (the record's translation) and where it puts the four corners relative to that (its corner offsets),
// so that source corner k lands at output corner k + t + c_k; the rotation pair keeps the correction's
// angle for the border flag of the compensation array. Band pairs are left alone.
//
// Coordinates and representation. All work is in centred display coordinates (analysis pixels about
// the image centre, x times the aspect factor s). A record's camera matrix holds the homography; its decomposition T(t) * z R(theta) * P(p, q) is kept in the record slots (translation,
// rotation pair, zoom term (z - 1) * 0.9 * H, tilt terms p * H and q * H, and the tilt pairs as
// sine / cosine of atan of the tilt terms). Every operation multiplies the matrix and re-decomposes
// it, so matrix and slots never disagree. Output-space operations (translation, rotation, zoom of the
// picture) multiply from the left, tilt operations multiply the perspective row from the right.
//
// The parameters come from ModelParams: the adaptive switch, the channel switches (keepTilt1 / 2,
// degreeRotation, degreeScale), the rolling-shutter switches (extended, extendedBoth, rollingShutter,
// rollingShutterTest) and readout factor, the border fraction and the five channel strengths.
//
// 1. Preparation (matrix_prepare.cpp), cached in path->integrated while the rolling-shutter switches,
//    the readout factor, the frame count and the height stay the same:
//    a. fusion per frame k >= 1: measured[0] record k, or when it is not usable (no fit, a cleared
//       rotation pair, NaN, or values no frame step can hold) the interpolation between the nearest
//       usable records before and after; then the usable span-1 records of variants 3, 2, 1 are
//       averaged in. No history across frames is kept: a temporal blend of the measurements would
//       leave part of every frame's shake out of the integrated path, which is exactly what the
//       correction has to undo. The relative matrix is T S P built from the fused record;
//    b. rolling shutter (extended): each frame's skew K_k (horizontal shear rho * v_x / H and, with
//       rollingShutter, vertical stretch rho * v_y / H, v = the frame's image velocity when its centre
//       row is read) with the readout fraction rho = readoutFactor when it lies in (0, 1], else
//       estimated over the clip from how the fits' summed skews follow the steps (kept only when they
//       explain a tenth of the steps' variance, a quarter with rollingShutterTest). The velocity comes
//       from the summed skews over rho, which see its changes within a frame time, with the steps'
//       low-pass for the rest. The record's rolling-shutter slot holds the shear, its spread slot the
//       stretch, its shear slot the speed in 1/6000 of the width per frame; the band pairs hold the
//       rows' wobble about the centre row (acceleration, jerk and roll rate of the path over the
//       readout); after integration skew and bands are damped by min(1, 2 exp(-x^2 / 6e6)), which
//       fades them out beyond half a width per frame where velocity estimates are unreliable. The
//       output step twists the corners by the roll over the readout and, with extendedBoth, unskews
//       each source frame by its damped K, else moves the band pairs by the skew of the row the
//       output's centre shows; the bands pass to the smoothed records for compensation array D;
//    c. vertical-skew correction of the relative matrices from the analysis record's tilt terms;
//    d. integration A_k = R_k * A_{k-1} in double precision (a step that would make the chain
//       degenerate counts as no motion);
//    e. C_k = A_k^-1: the correction that holds the camera on frame 0, decomposed into the record.
// 2. Context: adaptive window, border limits; temporaries in one heap block per call.
// 3. Smoothing stages on path->smoothed (initialised from integrated), each a symmetric matrix-variant
//    exponential kernel over neighbours clamped to 1 .. N-1, so a steady pan passes unchanged and the
//    clip ends are held, not extrapolated: translation C <- T(-sum K t) C; rotation C <- R(-mean angle)
//    C; tilt 1 / 2: the tilt angle becomes its deviation from the kernel mean (perspective row from
//    the right); zoom C <- S(1 / factor(sum K term)) C. A stage whose channel the refresh pass removes
//    (degreeRotation, keepTilt1, keepTilt2, degreeScale clear) cannot change the result and is skipped.
// 4. Refresh pass: zoom removed by S(1/z) (the translation is rescaled with it, so the centre stays
//    where the uncompensated zoom puts it), rotation by R(-theta), tilts by zeroing the perspective
//    row; then the matrix is rebuilt as T S P, which also drops shear left by products of tilted
//    matrices (it is no camera motion and would drift). The perspective is limited so that the
//    projective denominator stays >= 0.5 at every corner.
// 5. Adaptive pass (adaptive): the ranges of the camera path over +-A frames (translation per axis
//    relative to the image size, the unwrapped angle in radians) give weights
//    w = 2/pi * atan(ln(1 + 14/pi * range)); the corrections w * (current translation, current angle)
//    are smoothed by the correction steps and applied. Smoothing them keeps the shake compensation
//    and removes the slow part, so the path follows large intentional moves more closely.
// 6. Border rounds: the border pass limits the centre displacement (analysis pixels) and the angle.
//    The corrections move the centre by -(x, y) and rotate the picture by -a about the frame's current
//    centre, so the two corrections do not disturb each other. Rounds 2 and
//    3 work against twice the limits: the hard bound is twice the limit, frames between one and two
//    limits are the ones the compensation array flags.
// 7. Last refresh, then the output step (matrix_output.cpp). The perspective with depth term -1/H of
//    a true 3-D camera matrix leaves points at depth 0 unchanged here (row and column 2 of the 4 x 4
//    matrices are identity; zoom lives in the planar scale), so the projection is the plain projective
//    division. Common corner correction: the mean over the four corners of (projected corner -
//    projected centre - nominal corner) is subtracted from every corner, so that the mean of the
//    output corners - where the quad rasteriser, interpolating linearly between corners, puts the
//    source centre - is the projected centre that the smoothing and the border limits steered.
//
// Robustness: records that are NaN, huge or degenerate never enter the chain (treated as missing and
// interpolated), non-finite parameters read as 0, degenerate matrices become the identity correction,
// and a frame whose output is not finite gets the zero correction. N = 0 does nothing; N = 1 leaves
// the single frame uncorrected.
//
// Parallel work: per-frame stages take frames from an atomic counter on a borrowed pool (on the
// calling thread below 50 frames; the output step from 101), in runs of 64 consecutive frames so that
// threads do not share cache lines of neighbouring records. A stage that finds no free pool is
// skipped; in the preparation that leaves the cache invalid and ends the finisher, in a border round
// it skips the round. Every frame's result depends only on the stage's input copies, so results do
// not depend on the thread count.
#include "finishing/matrix_finisher.h"

#include <cmath>
#include <cstring>
#include <initializer_list>
#include <numbers>

#include "motion/camera_matrix.h"
#include "finishing/kernel.h"
#include "finishing/matrix_internal.h"
#include "platform/heap.h"

namespace vendrix::finishing {
namespace matrix {

// ---- Homography helpers ----

void H3Identity(double h[9]) {
  for (int i = 0; i < 9; ++i) h[i] = (i % 4 == 0) ? 1.0 : 0.0;
}

void H3Multiply(const double a[9], const double b[9], double out[9]) {
  double r[9];
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) r[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
  std::memcpy(out, r, sizeof(r));
}

bool H3Inverse(const double a[9], double out[9]) {
  const double c00 = a[4] * a[8] - a[5] * a[7], c01 = a[5] * a[6] - a[3] * a[8], c02 = a[3] * a[7] - a[4] * a[6];
  const double det = a[0] * c00 + a[1] * c01 + a[2] * c02;
  if (!std::isfinite(det) || std::fabs(det) < 1e-300) return false;
  const double d = 1.0 / det;
  const double r[9] = {c00 * d, (a[2] * a[7] - a[1] * a[8]) * d, (a[1] * a[5] - a[2] * a[4]) * d,
                       c01 * d, (a[0] * a[8] - a[2] * a[6]) * d, (a[2] * a[3] - a[0] * a[5]) * d,
                       c02 * d, (a[1] * a[6] - a[0] * a[7]) * d, (a[0] * a[4] - a[1] * a[3]) * d};
  for (double v : r)
    if (!std::isfinite(v)) return false;
  std::memcpy(out, r, sizeof(r));
  return true;
}

bool H3Normalise(double h[9]) {
  if (!(std::fabs(h[8]) > 1e-12) || !std::isfinite(h[8])) return false;
  const double d = 1.0 / h[8];
  for (int i = 0; i < 9; ++i) {
    h[i] *= d;
    if (!std::isfinite(h[i])) return false;
  }
  h[8] = 1.0;
  return true;
}

void H3Apply(const double h[9], double x, double y, double* ox, double* oy, double* w) {
  const double X = h[0] * x + h[1] * y + h[2], Y = h[3] * x + h[4] * y + h[5], W = h[6] * x + h[7] * y + h[8];
  *w = W;
  if (std::fabs(W) > 1e-300) {
    *ox = X / W;
    *oy = Y / W;
  } else {
    *ox = x;
    *oy = y;
  }
}

bool DecomposeH(const double h[9], Camera& cam) {
  double g[9];
  std::memcpy(g, h, sizeof(g));
  if (!H3Normalise(g)) return false;
  const double tx = g[2], ty = g[5], p = g[6], q = g[7];
  // The linear part once the translation's coupling with the perspective row is taken out, then its
  // closest similarity (the same reading as DecomposeCameraMatrix).
  const double a00 = g[0] - tx * p, a01 = g[1] - tx * q, a10 = g[3] - ty * p, a11 = g[4] - ty * q;
  const double c2 = a00 + a11, s2 = a10 - a01;
  const double len = std::sqrt(c2 * c2 + s2 * s2);
  if (!(len > 2e-9) || !std::isfinite(len)) return false;
  cam = Camera{tx, ty, c2 / len, s2 / len, 0.5 * len, p, q};
  return true;
}

void ComposeH(const Camera& cam, double h[9]) {
  const double c = cam.zoom * cam.cs, s = cam.zoom * cam.sn;
  const double r[9] = {c + cam.tx * cam.p, -s + cam.tx * cam.q, cam.tx, s + cam.ty * cam.p, c + cam.ty * cam.q,
                       cam.ty,            cam.p,                cam.q,  1.0};
  std::memcpy(h, r, sizeof(r));
}

void LeftTranslate(double h[9], double dx, double dy) {
  for (int j = 0; j < 3; ++j) {
    h[j] += dx * h[6 + j];
    h[3 + j] += dy * h[6 + j];
  }
}

void LeftRotate(double h[9], double angle) {
  const double c = std::cos(angle), s = std::sin(angle);
  for (int j = 0; j < 3; ++j) {
    const double x = h[j], y = h[3 + j];
    h[j] = c * x - s * y;
    h[3 + j] = s * x + c * y;
  }
}

void LeftScale(double h[9], double s) {
  for (int j = 0; j < 6; ++j) h[j] *= s;
}

void RightPerspective(double h[9], double dp, double dq) {
  // h * [[1, 0, 0], [0, 1, 0], [dp, dq, 1]]: columns 0 and 1 gain dp and dq times column 2.
  for (int i = 0; i < 3; ++i) {
    h[i * 3] += dp * h[i * 3 + 2];
    h[i * 3 + 1] += dq * h[i * 3 + 2];
  }
}

void ReadMatrix(const model::FrameRecord& r, double h[9]) { motion::HomographyFromMat4(r.matrix(), h); }

namespace {

// (sine, cosine) of atan(x) without trigonometry.
void TiltPair(model::FrameRecord& r, int slot, double x) {
  const double inv = 1.0 / std::sqrt(1.0 + x * x);
  r.f(slot) = static_cast<float>(x * inv);
  r.f(slot + 1) = static_cast<float>(inv);
}

void WriteCamera(model::FrameRecord& r, const Camera& cam, double height) {
  r.f(model::kSlotTx) = static_cast<float>(cam.tx);
  r.f(model::kSlotTy) = static_cast<float>(cam.ty);
  r.f(model::kSlotRotSin) = static_cast<float>(cam.sn);
  r.f(model::kSlotRotCos) = static_cast<float>(cam.cs);
  r.f(model::kSlotZoom) = motion::ZoomTermFromFactor(static_cast<float>(cam.zoom), static_cast<float>(height));
  r.f(model::kSlotTiltA) = static_cast<float>(cam.p * height);
  r.f(model::kSlotTiltB) = static_cast<float>(cam.q * height);
  TiltPair(r, model::kSlotTilt1Sin, cam.p * height);
  TiltPair(r, model::kSlotTilt2Sin, cam.q * height);
}

}  // namespace

bool WriteCorrection(model::FrameRecord& r, const double h[9], double height) {
  double g[9];
  std::memcpy(g, h, sizeof(g));
  Camera cam;
  if (!H3Normalise(g) || !DecomposeH(g, cam)) {
    WriteZeroCorrection(r);
    return false;
  }
  motion::Mat4FromHomography(g, r.matrix());
  WriteCamera(r, cam, height);
  return true;
}

void WriteZeroCorrection(model::FrameRecord& r) {
  for (int i = 0; i < 10; ++i) r.f(i) = 0.0f;
  RecordSetIdentityMatrix(r);
  WriteCamera(r, Camera{0.0, 0.0, 1.0, 0.0, 1.0, 0.0, 0.0}, 0.0);
}

// ---- Set-up ----

namespace {

float Finite(float v) { return std::isfinite(v) ? v : 0.0f; }

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof(float)) == 0; }

// The preparation stays valid while the inputs it read are the same: the rolling-shutter switches and
// readout, the frame count and the image height (a re-scan at another size changes every matrix).
bool PreparationValid(const GlobalMotionPath* path, const model::ModelParams& p, int32_t n) {
  const model::ModelParams& s = path->modelParams;
  return p.extended == s.extended && p.extendedBoth == s.extendedBoth && p.rollingShutter == s.rollingShutter &&
         p.rollingShutterTest == s.rollingShutterTest && SameBits(p.readoutFactor, s.readoutFactor) &&
         n == path->preparedCount && SameBits(path->frameHeight, static_cast<float>(path->height));
}

bool ArrayHolds(const model::FrameRecordArray* a, int32_t n) { return a && a->records && a->count >= n; }

// Parameters, adaptive window and border limits (written into the path).
void SetUp(GlobalMotionPath* path, const model::ModelParams& params, int32_t n, Context& c) {
  c.path = path;
  c.p = params;
  for (float* v : {&c.p.translationStrength, &c.p.rotationStrength, &c.p.tilt1Strength, &c.p.tilt2Strength, &c.p.zoomStrength,
                   &c.p.borderFraction, &c.p.readoutFactor})
    *v = Finite(*v);
  c.n = n;
  c.width = path->width > 0 ? path->width : 0.0;
  c.height = path->height > 0 ? path->height : 0.0;
  const float s = path->inputScale;
  c.aspect = (s >= 0.1f && s <= 10.0f) ? s : 1.0;

  const double a = c.p.translationStrength, b = c.p.rotationStrength;
  c.adaptiveWindow = 0;
  if (c.p.adaptive && a < 0.98) {
    const double w = std::trunc((a - 0.1) * a * a * 1000.0 + 75.0);
    c.adaptiveWindow = w < 0.0 ? 0 : (w > kMaxAdaptiveWindow ? kMaxAdaptiveWindow : static_cast<int32_t>(w));
  }
  c.limitX = c.limitY = c.limitAngle = 0.0;
  if (c.p.borderFraction > 1e-6f) {
    // A fraction far above 1 limits nothing any more; the cap only keeps the limits finite.
    const double f = std::fmin(c.p.borderFraction, 10.0f) * 0.2;
    c.limitX = c.width * f;
    c.limitY = c.height * f;
    c.limitAngle = std::fmin((b * 0.5 + 0.01) * f * std::numbers::pi, std::numbers::pi);
    if (!(c.limitAngle > 0.0)) c.limitAngle = 0.0;
  }
  path->limitX = static_cast<float>(c.limitX);
  path->limitY = static_cast<float>(c.limitY);
  path->limitAngle = static_cast<float>(c.limitAngle);
}

// One heap block for every temporary of the call; null when memory is short.
void* AllocateTemporaries(Context& c) {
  const int64_t n = c.n, A = c.adaptiveWindow;
  c.padStride = n + 2 * kPadMargin + 2;
  const int64_t tap_count = 2 * kPadMargin + 2;
  const int64_t range_stride = A > 0 ? n + 2 * A + 1 : 0;
  const int64_t doubles = kPadChannels * c.padStride + tap_count + 5 * n + (A > 0 ? 4 * n + 4 * range_stride : 0);
  const int64_t ints = 2 * n;
  const size_t bytes = static_cast<size_t>(doubles) * sizeof(double) + static_cast<size_t>(ints) * sizeof(int32_t);
  void* block = platform::HeapAllocate(bytes, 0);
  if (!block) return nullptr;
  double* d = static_cast<double*>(block);
  c.pad = d, d += kPadChannels * c.padStride;
  c.taps = d, d += tap_count;
  c.corrX = d, d += n;
  c.corrY = d, d += n;
  c.corrA = d, d += n;
  c.skewSumX = d, d += n;
  c.skewSumY = d, d += n;
  if (A > 0) {
    c.range = d, d += 3 * n + 4 * range_stride;
    c.rangeStride = range_stride;
    c.track = d, d += n;
  }
  c.prevValid = reinterpret_cast<int32_t*>(d);
  c.nextValid = c.prevValid + n;
  return block;
}

// Copies the prepared camera path into the working records: up to the camera matrix, and the band
// pairs when the rolling-shutter stages ran (otherwise the band pairs of the smoothed records are not
// the finisher's: an additive finish of the same path may have left its own).
void InitialiseWork(Context& c) {
  const int slots = c.p.extended ? model::kSlotBands + 2 * model::kBandCount : model::kSlotBands;
  for (int32_t i = 0; i < c.n; ++i) std::memcpy(&c.work[i], &c.integ[i], slots * sizeof(model::FrameRecord::Slot));
}

}  // namespace
}  // namespace matrix

void RunMatrixFinisher(GlobalMotionPath* path, const model::ModelParams& p, int32_t n) {
  using namespace matrix;
  if (!path || !ArrayHolds(path->integrated, 0) || !ArrayHolds(path->smoothed, 0)) return;
  for (const model::FrameRecordArray* m : path->measured)
    if (!ArrayHolds(m, 0)) return;
  // n never exceeds what every array holds.
  if (n < 0) n = 0;
  for (const model::FrameRecordArray* a : {path->integrated, path->smoothed, path->measured[0], path->measured[1],
                                    path->measured[2], path->measured[3]})
    if (a->count < n) n = a->count;

  Context c;
  SetUp(path, p, n, c);
  const bool cached = PreparationValid(path, p, n);
  if (!cached) path->preparedCount = 0;
  if (n == 0) return;
  for (int v = 0; v < 4; ++v) c.measured[v] = path->measured[v]->records;
  c.integ = path->integrated->records;
  c.work = path->smoothed->records;

  void* block = AllocateTemporaries(c);
  if (!block) return;
  if (cached) c.readout = path->preparedReadout;
  if (cached || Prepare(c)) {
    if (n == 1) {
      WriteZeroCorrection(c.work[0]);  // a single frame has nothing to be steadied against
    } else {
      InitialiseWork(c);
      SmoothingStages(c);
      if (c.adaptiveWindow > 0) AdaptivePass(c);
      if (c.limitAngle > 0.0 || c.limitX > 0.0) BorderRounds(c);
      RefreshPass(c);
      OutputStep(c);
    }
  }
  platform::HeapRelease(block);
}

}  // namespace vendrix::finishing
