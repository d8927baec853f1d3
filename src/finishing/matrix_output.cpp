// Output step of the matrix finisher: every frame's final correction, with the frame's rolling-shutter
// twist (and, when asked for, its unskew) on the source side, projected at the image centre and the four
// corners into path->smoothed; a skew left in shifts the frame's band pairs.
#include <algorithm>
#include <cmath>

#include "finishing/matrix_internal.h"

namespace vendrix::finishing::matrix {
namespace {

constexpr double kMinDenominator = 1e-6;  // a corner mapped this close to infinity makes no frame
constexpr double kMaxOffset = 1e7;        // analysis pixels; anything beyond is no usable correction

// h = h * K^-1 with K = [[1, shear, 0], [0, 1 + stretch, 0], [0, 0, 1]], the frame's damped skew.
void Unskew(double h[9], double shear, double stretch) {
  const double sy = 1.0 + stretch;
  if (!(sy > 0.5) || !std::isfinite(shear) || !(std::fabs(shear) < 1.0)) return;
  const double k_inv[9] = {1.0, -shear / sy, 0.0, 0.0, 1.0 / sy, 0.0, 0.0, 0.0, 1.0};
  H3Multiply(h, k_inv, h);
}

// Rows read out while the camera rolls turn by w tau about the centre (matrix_prepare.cpp), so point
// (x, y) of the frame shows t x y / H further down than the centre row's pose puts it. Returns t = rho w
// (radians: the turn between the centre row and a row one frame height away), w from the prepared
// corrections of frame i's neighbours, damped like the skew and held within kMaxTwist.
double Twist(const Context& c, int32_t i) {
  if (!(c.readout > 0.0) || c.n < 3) return 0.0;
  const int32_t a = i < 1 ? 0 : i - 1, b = i + 1 < c.n ? i + 1 : c.n - 1;
  const double rate = std::remainder(Angle(c.integ[a]) - Angle(c.integ[b]), 2.0 * M_PI) / double(b - a);
  const double twist = c.readout * rate * SkewDamping(c.integ[i].f(model::kSlotShear));
  // The corners move by twist * W / 4.
  if (!std::isfinite(twist) || !(std::fabs(twist) * c.width * c.aspect < 4.0 * kMaxWobble * c.height)) return 0.0;
  return std::clamp(twist, -kMaxTwist, kMaxTwist);
}

// Where a frame keeps its skew, the row the output's centre shows is not the source's centre row, whose
// pose the camera path holds: row y (from the centre) is read out later and sits shear * y further
// right and stretch * y further down. Returns that offset for the source row h maps to the output
// centre (analysis pixels); 0 when h cannot be inverted. The band pairs carry it rather than the
// corners: a host that refits the frames' translation from the corners (the command does, to follow
// pans) keeps it, and one that draws from the corners alone does without it, as it does without the
// wobble. On three clips read out over 0.75 of a frame the output centre's jitter is 1.24 px RMS with
// it, 1.27 without the rolling-shutter stages (1080-line pixels); 1.17 and 1.20 on the quality bench's
// clip. Straightening the whole frame (extendedBoth) does as much for the centre and bends every
// frame's shape.
void CentreRowShift(const Context& c, const double h[9], double shear, double stretch, double shift[2]) {
  shift[0] = shift[1] = 0.0;
  double inv[9], x, y, w;
  if (!H3Inverse(h, inv)) return;
  H3Apply(inv, 0.0, 0.0, &x, &y, &w);
  if (!(w > kMinDenominator) || !(std::fabs(y / w) < c.height)) return;
  shift[0] = shear * (y / w) / c.aspect;
  shift[1] = stretch * (y / w);
}

// Slots 0..9 of frame i and the shift of its band pairs; false when the projection is degenerate or
// not finite.
bool ProjectFrame(const Context& c, int32_t i, float out[10], double band_shift[2]) {
  double h[9];
  ReadMatrix(c.work[i], h);
  const model::FrameRecord& prepared = c.integ[i];
  const double shear = prepared.f(model::kSlotRollingShutter), stretch = prepared.f(model::kSlotSpread);
  // The skew is straightened only with the extension; the wobble (twist here, bands in the records)
  // goes whenever the rolling-shutter stages ran.
  band_shift[0] = band_shift[1] = 0.0;
  if (c.p.extendedBoth && (shear != 0.0 || stretch != 0.0))
    Unskew(h, shear, stretch);
  else if (shear != 0.0 || stretch != 0.0)
    CentreRowShift(c, h, shear, stretch, band_shift);

  const double s = c.aspect, hw = c.width * s * 0.5, hh = c.height * 0.5;
  const double nominal[4][2] = {{-hw, -hh}, {hw, -hh}, {hw, hh}, {-hw, hh}};
  double cx, cy, w;
  H3Apply(h, 0.0, 0.0, &cx, &cy, &w);
  if (!(w > kMinDenominator)) return false;
  double d[4][2], common[2] = {0.0, 0.0};
  const double twist = Twist(c, i) / c.height;
  for (int k = 0; k < 4; ++k) {
    double x, y;
    H3Apply(h, nominal[k][0], nominal[k][1] - twist * nominal[k][0] * nominal[k][1], &x, &y, &w);
    if (!(w > kMinDenominator)) return false;
    d[k][0] = x - cx - nominal[k][0];
    d[k][1] = y - cy - nominal[k][1];
    common[0] += 0.25 * d[k][0];
    common[1] += 0.25 * d[k][1];
  }
  double v[10] = {cx / s, cy};
  for (int k = 0; k < 4; ++k) {
    v[2 + 2 * k] = (d[k][0] - common[0]) / s;
    v[3 + 2 * k] = d[k][1] - common[1];
  }
  for (int k = 0; k < 10; ++k) {
    if (!(std::fabs(v[k]) < kMaxOffset)) return false;  // also rejects NaN
    out[k] = static_cast<float>(v[k]);
  }
  return true;
}

}  // namespace

void OutputStep(Context& c) {
  auto body = [&c](int32_t i) {
    float v[10];
    double shift[2];
    model::FrameRecord& r = c.work[i];
    if (!ProjectFrame(c, i, v, shift)) {
      WriteZeroCorrection(r);
      return;
    }
    for (int k = 0; k < 10; ++k) r.f(k) = v[k];
    if (shift[0] != 0.0 || shift[1] != 0.0)
      for (int j = 0; j < model::kBandCount; ++j) {
        r.f(model::kSlotBands + 2 * j) = static_cast<float>(r.f(model::kSlotBands + 2 * j) + shift[0]);
        r.f(model::kSlotBands + 2 * j + 1) = static_cast<float>(r.f(model::kSlotBands + 2 * j + 1) + shift[1]);
      }
  };
  ForFrames(c, kOutputParallelFrom, body);
}

}  // namespace vendrix::finishing::matrix
