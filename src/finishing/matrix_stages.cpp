// Stages of the matrix finisher on the working corrections (path->smoothed): the smoothing stages,
// the refresh pass, the adaptive pass and the border rounds with their correction steps.
//
// Kernel sums: a stage copies the channel it reads into a padded array whose index q holds frame
// clamp(q - r, 1, N - 1), so frame i's sum over offsets -r .. r is one contiguous dot product with the
// taps; the copy is also what makes the per-frame writes independent of the order frames are taken in.
#include <algorithm>
#include <cmath>
#include <numbers>

#include "motion/camera_matrix.h"
#include "finishing/kernel.h"
#include "finishing/matrix_internal.h"

namespace vendrix::finishing::matrix {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kFifteenDegrees = 0.2617993877991494;
constexpr double kExtraAngleScale = 0.3472471485641353;  // 1 / (165 degrees in radians)
constexpr double kWeightScale = 0.63661975;              // 2 / pi: atan of 0 .. inf onto 0 .. 1
constexpr double kRangeSensitivity = 4.4563384;          // 14 / pi per radian, or per image size
constexpr double kMaxTiltAngle = 1.0;                    // radians, for the tilt left in a correction
constexpr double kMinCornerDenominator = 0.5;            // projective denominator at every corner

// ---- Kernels and padded channels ----

// Loads the matrix-variant kernel of `strength` into c.taps; returns its radius, -1 when empty.
int32_t LoadKernel(Context& c, float strength) {
  Kernel k;
  BuildKernel(strength, true, k);
  for (int32_t i = 0; i <= 2 * k.radius; ++i) c.taps[i] = k.taps[i];
  return k.radius;
}

double* Pad(const Context& c, int channel) { return c.pad + channel * c.padStride; }

// Fills padded channel `channel` for radius r with get(frame).
template <class Get>
void FillPad(const Context& c, int channel, int32_t r, Get get) {
  double* d = Pad(c, channel);
  const int32_t last = c.n - 1;
  const double head = get(1), tail = get(last);
  for (int32_t q = 0; q <= r; ++q) d[q] = head;
  for (int32_t j = 1; j <= last; ++j) d[j + r] = get(j);
  for (int32_t q = last + r + 1; q <= last + 2 * r; ++q) d[q] = tail;
}

// Frame i's kernel-weighted sum over padded channel d.
double KernelSum(const double* d, const double* taps, int32_t r, int32_t i) {
  const double* x = d + i;
  const int32_t m = 2 * r + 1;
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  int32_t o = 0;
  for (; o + 4 <= m; o += 4) {
    s0 += taps[o] * x[o];
    s1 += taps[o + 1] * x[o + 1];
    s2 += taps[o + 2] * x[o + 2];
    s3 += taps[o + 3] * x[o + 3];
  }
  for (; o < m; ++o) s0 += taps[o] * x[o];
  return (s0 + s1) + (s2 + s3);
}

// ---- Smoothing stages ----

void TranslationStage(Context& c) {
  const int32_t r = LoadKernel(c, c.p.translationStrength);
  if (r < 0) return;
  FillPad(c, 0, r, [&c](int32_t j) { return double{c.work[j].f(model::kSlotTx)}; });
  FillPad(c, 1, r, [&c](int32_t j) { return double{c.work[j].f(model::kSlotTy)}; });
  auto body = [&c, r](int32_t i) {
    double h[9];
    ReadMatrix(c.work[i], h);
    LeftTranslate(h, -KernelSum(Pad(c, 0), c.taps, r, i), -KernelSum(Pad(c, 1), c.taps, r, i));
    WriteCorrection(c.work[i], h, c.height);
  };
  ForFrames(c, kStageParallelFrom, body);
}

void RotationStage(Context& c) {
  const int32_t r = LoadKernel(c, c.p.rotationStrength);
  if (r < 0) return;
  FillPad(c, 0, r, [&c](int32_t j) { return double{c.work[j].f(model::kSlotRotSin)}; });
  FillPad(c, 1, r, [&c](int32_t j) { return double{c.work[j].f(model::kSlotRotCos)}; });
  auto body = [&c, r](int32_t i) {
    const double s = KernelSum(Pad(c, 0), c.taps, r, i), k = KernelSum(Pad(c, 1), c.taps, r, i);
    if (s == 0.0 && k == 0.0) return;
    double h[9];
    ReadMatrix(c.work[i], h);
    LeftRotate(h, -std::atan2(s, k));
    WriteCorrection(c.work[i], h, c.height);
  };
  ForFrames(c, kStageParallelFrom, body);
}

// Tilt `which` (0: pair 16/17 and the x perspective coefficient, 1: pair 18/19 and the y one): the
// frame's tilt angle becomes its deviation from the kernel-weighted mean angle of its neighbours.
void TiltStage(Context& c, int which) {
  if (!(c.height > 0.0)) return;
  const int32_t r = LoadKernel(c, which == 0 ? c.p.tilt1Strength : c.p.tilt2Strength);
  if (r < 0) return;
  const int slot = which == 0 ? model::kSlotTilt1Sin : model::kSlotTilt2Sin;
  FillPad(c, 0, r, [&c, slot](int32_t j) { return double{c.work[j].f(slot)}; });
  FillPad(c, 1, r, [&c, slot](int32_t j) { return double{c.work[j].f(slot + 1)}; });
  auto body = [&c, r, which, slot](int32_t i) {
    const double s = KernelSum(Pad(c, 0), c.taps, r, i), k = KernelSum(Pad(c, 1), c.taps, r, i);
    if (s == 0.0 && k == 0.0) return;
    model::FrameRecord& rec = c.work[i];
    double h[9];
    ReadMatrix(rec, h);
    Camera cam;
    if (!DecomposeH(h, cam)) return;
    const double angle = std::atan2(rec.f(slot), rec.f(slot + 1)) - std::atan2(s, k);
    const double wanted = std::tan(std::clamp(angle, -kMaxTiltAngle, kMaxTiltAngle)) / c.height;
    const double delta = wanted - (which == 0 ? cam.p : cam.q);
    RightPerspective(h, which == 0 ? delta : 0.0, which == 0 ? 0.0 : delta);
    WriteCorrection(rec, h, c.height);
  };
  ForFrames(c, kStageParallelFrom, body);
}

// Zoom: the picture is scaled by the inverse of the factor of the kernel-weighted zoom term.
void ZoomStage(Context& c) {
  if (!(c.height > 0.0)) return;
  const int32_t r = LoadKernel(c, c.p.zoomStrength);
  if (r < 0) return;
  FillPad(c, 0, r, [&c](int32_t j) { return double{c.work[j].f(model::kSlotZoom)}; });
  auto body = [&c, r](int32_t i) {
    const double term = KernelSum(Pad(c, 0), c.taps, r, i);
    const double f = std::clamp(double{motion::ZoomFactorFromTerm(static_cast<float>(term), static_cast<float>(c.height))},
                                0.1, 10.0);
    double h[9];
    ReadMatrix(c.work[i], h);
    LeftScale(h, 1.0 / f);
    WriteCorrection(c.work[i], h, c.height);
  };
  ForFrames(c, kStageParallelFrom, body);
}

// ---- Corrections of the adaptive pass and the border rounds ----

void TranslationCorrectionStep(Context& c, float strength) {
  const int32_t r = LoadKernel(c, strength);
  if (r < 0) return;  // an empty kernel leaves the corrections as they are
  FillPad(c, 0, r, [&c](int32_t j) { return c.corrX[j]; });
  FillPad(c, 1, r, [&c](int32_t j) { return c.corrY[j]; });
  auto body = [&c, r](int32_t i) {
    c.corrX[i] = KernelSum(Pad(c, 0), c.taps, r, i);
    c.corrY[i] = KernelSum(Pad(c, 1), c.taps, r, i);
  };
  ForFrames(c, kStageParallelFrom, body);
}

void RotationCorrectionStep(Context& c, float strength) {
  const int32_t r = LoadKernel(c, strength);
  if (r < 0) return;
  FillPad(c, 0, r, [&c](int32_t j) { return std::sin(c.corrA[j]); });
  FillPad(c, 1, r, [&c](int32_t j) { return std::cos(c.corrA[j]); });
  auto body = [&c, r](int32_t i) {
    c.corrA[i] = std::atan2(KernelSum(Pad(c, 0), c.taps, r, i), 1.0 + KernelSum(Pad(c, 1), c.taps, r, i));
  };
  ForFrames(c, kStageParallelFrom, body);
}

// Moves each frame's centre by -(x, y) and turns the picture by -a about that centre.
void ApplyCorrections(Context& c) {
  auto body = [&c](int32_t i) {
    const double x = c.corrX[i], y = c.corrY[i], a = c.corrA[i];
    if (x == 0.0 && y == 0.0 && a == 0.0) return;
    double h[9];
    ReadMatrix(c.work[i], h);
    if (!H3Normalise(h)) return;
    const double tx = h[2], ty = h[5];
    LeftTranslate(h, -tx, -ty);
    LeftRotate(h, -a);
    LeftTranslate(h, tx - x, ty - y);
    WriteCorrection(c.work[i], h, c.height);
  };
  ForFrames(c, kStageParallelFrom, body);
}

double Excess(double v, double limit) { return v > limit ? v - limit : (v < -limit ? v + limit : 0.0); }

bool BorderPass(Context& c, double factor) {
  auto body = [&c, factor](int32_t i) {
    const model::FrameRecord& r = c.work[i];
    double theta = Angle(r);
    if (theta <= -kPi) theta += 2.0 * kPi;
    const double la = c.limitAngle * factor;
    double ea = Excess(theta, la);
    if (std::fabs(theta) > kFifteenDegrees) {
      const double u = std::fmin(1.0, (std::fabs(theta) - kFifteenDegrees) * kExtraAngleScale);
      ea += std::copysign((0.5 - 0.5 * std::cos(kPi * std::sqrt(u))) * la, theta);
    }
    // Translation limits are in analysis pixels; the working x is in display units.
    c.corrX[i] = Excess(r.f(model::kSlotTx) / c.aspect, c.limitX * factor) * c.aspect;
    c.corrY[i] = Excess(r.f(model::kSlotTy), c.limitY * factor);
    c.corrA[i] = ea;
  };
  return ForFrames(c, kStageParallelFrom, body);
}

// ---- Adaptive pass ----

// 2/pi * atan(ln(1 + 14/pi * range)): 0 for a still neighbourhood, towards 1 for a large move.
double AdaptiveWeight(double range) {
  return range > 0.0 ? kWeightScale * std::atan(std::log1p(kRangeSensitivity * range)) : 0.0;
}

// Angle step wrapped into [-pi, pi): shifted by pi, brought up by adding 2 pi while negative.
double WrapStep(double d) {
  d += kPi;
  while (d < 0.0) d += 2.0 * kPi;
  while (d >= 2.0 * kPi) d -= 2.0 * kPi;
  return d - kPi;
}

// out[i] = max - min of get(j) over j in i - A .. i + A clamped to 1 .. N - 1, in O(N): the window is
// made full-length by repeating the end values, then read from block-wise prefix and suffix extrema
// of blocks of the window's length (two reads per frame).
template <class Get>
void WindowRange(const Context& c, Get get, double* out) {
  const int64_t A = c.adaptiveWindow, B = 2 * A + 1, len = c.n + 2 * A;
  double* pmax = c.range + 3 * static_cast<int64_t>(c.n);
  double* pmin = pmax + c.rangeStride;
  double* smax = pmin + c.rangeStride;
  double* smin = smax + c.rangeStride;
  auto at = [&](int64_t q) {
    const int64_t j = std::clamp<int64_t>(q - A, 1, c.n - 1);
    return get(static_cast<int32_t>(j));
  };
  for (int64_t q = 0; q < len; ++q) {
    const double v = at(q);
    const bool start = q % B == 0;
    pmax[q] = start ? v : std::fmax(pmax[q - 1], v);
    pmin[q] = start ? v : std::fmin(pmin[q - 1], v);
  }
  for (int64_t q = len - 1; q >= 0; --q) {
    const double v = at(q);
    const bool end = q % B == B - 1 || q == len - 1;
    smax[q] = end ? v : std::fmax(smax[q + 1], v);
    smin[q] = end ? v : std::fmin(smin[q + 1], v);
  }
  for (int32_t i = 0; i < c.n; ++i) {
    const int64_t hi = i + 2 * A;
    out[i] = std::fmax(smax[i], pmax[hi]) - std::fmin(smin[i], pmin[hi]);
  }
}

}  // namespace

void SmoothingStages(Context& c) {
  TranslationStage(c);
  if (c.p.degreeRotation) RotationStage(c);
  if (c.p.keepTilt1) TiltStage(c, 0);
  if (c.p.keepTilt2) TiltStage(c, 1);
  if (c.p.degreeScale) ZoomStage(c);
}

void RefreshPass(Context& c) {
  auto body = [&c](int32_t i) {
    model::FrameRecord& r = c.work[i];
    double h[9];
    ReadMatrix(r, h);
    Camera cam;
    if (!DecomposeH(h, cam)) {
      WriteZeroCorrection(r);
      return;
    }
    if (!c.p.degreeScale) {  // S(1/z) from the left
      cam.tx /= cam.zoom;
      cam.ty /= cam.zoom;
      cam.zoom = 1.0;
    }
    if (!c.p.degreeRotation) {  // R(-angle) from the left: for a matrix without perspective the
                                // rotation that zeroes the x entry of its second column
      const double tx = cam.cs * cam.tx + cam.sn * cam.ty, ty = -cam.sn * cam.tx + cam.cs * cam.ty;
      cam.tx = tx;
      cam.ty = ty;
      cam.cs = 1.0;
      cam.sn = 0.0;
    }
    if (!c.p.keepTilt1) cam.p = 0.0;
    if (!c.p.keepTilt2) cam.q = 0.0;
    const double m = std::fabs(cam.p) * c.width * c.aspect * 0.5 + std::fabs(cam.q) * c.height * 0.5;
    if (m > 1.0 - kMinCornerDenominator) {
      cam.p *= (1.0 - kMinCornerDenominator) / m;
      cam.q *= (1.0 - kMinCornerDenominator) / m;
    }
    ComposeH(cam, h);
    WriteCorrection(r, h, c.height);
  };
  ForFrames(c, kStageParallelFrom, body);
}

void AdaptivePass(Context& c) {
  RefreshPass(c);
  const int32_t A = c.adaptiveWindow;
  if (A < 3) return;  // both corrections 0: nothing to apply
  // The camera path: the prepared translation and the angle unwrapped into a continuous track.
  double* track = c.track;
  track[0] = Angle(c.integ[0]);
  for (int32_t j = 1; j < c.n; ++j) track[j] = track[j - 1] + WrapStep(Angle(c.integ[j]) - Angle(c.integ[j - 1]));
  const int64_t n = c.n;
  WindowRange(c, [&c](int32_t j) { return double{c.integ[j].f(model::kSlotTx)}; }, c.range);
  WindowRange(c, [&c](int32_t j) { return double{c.integ[j].f(model::kSlotTy)}; }, c.range + n);
  WindowRange(c, [track](int32_t j) { return track[j]; }, c.range + 2 * n);

  // The corrections are the weighted current correction; the correction steps keep its slow part.
  const double span_x = c.width * c.aspect, span_y = c.height;
  auto body = [&c, n, span_x, span_y](int32_t i) {
    const model::FrameRecord& r = c.work[i];
    const double wx = span_x > 0.0 ? AdaptiveWeight(c.range[i] / span_x) : 0.0;
    const double wy = span_y > 0.0 ? AdaptiveWeight(c.range[n + i] / span_y) : 0.0;
    const double wa = AdaptiveWeight(c.range[2 * n + i]);
    c.corrX[i] = wx * r.f(model::kSlotTx);
    c.corrY[i] = wy * r.f(model::kSlotTy);
    c.corrA[i] = wa * Angle(r);
  };
  if (!ForFrames(c, kStageParallelFrom, body)) return;
  TranslationCorrectionStep(c, std::fmax(0.06f, c.p.translationStrength * 0.5f));
  RotationCorrectionStep(c, std::fmax(0.06f, c.p.rotationStrength * 0.5f));
  ApplyCorrections(c);
}

void BorderRounds(Context& c) {
  const float a = c.p.translationStrength, b = c.p.rotationStrength;
  const float ta[4] = {a * 0.2f + 0.06f, 0.06f, 0.03f, 0.0f};
  const float tb[4] = {b * 0.2f + 0.06f, 0.06f, 0.03f, 0.0f};
  for (int round = 0; round < 4; ++round) {
    RefreshPass(c);
    // A border pass that found no pool leaves the corrections of the last round: skip the round.
    if (!BorderPass(c, ta[round] >= 0.05f ? 1.0 : 2.0)) continue;
    TranslationCorrectionStep(c, ta[round]);
    RotationCorrectionStep(c, tb[round]);
    ApplyCorrections(c);
  }
}

}  // namespace vendrix::finishing::matrix
