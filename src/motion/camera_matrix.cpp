#include "motion/camera_matrix.h"

#include <cmath>

namespace vendrix::motion {
namespace {
constexpr int kH[9] = {0, 1, 3, 4, 5, 7, 12, 13, 15};  // homography entries inside the 4 x 4 matrix
}

void Mat4Identity(float m[16]) {
  for (int i = 0; i < 16; ++i) m[i] = (i % 5 == 0) ? 1.0f : 0.0f;
}

void Mat4Multiply(const float a[16], const float b[16], float out[16]) {
  float r[16];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      double s = 0.0;
      for (int k = 0; k < 4; ++k) s += double{a[i * 4 + k]} * b[k * 4 + j];
      r[i * 4 + j] = static_cast<float>(s);
    }
  for (int i = 0; i < 16; ++i) out[i] = r[i];
}

bool Mat4Inverse(const float m[16], float out[16]) {
  // Gauss-Jordan elimination with partial pivoting, in double precision.
  double a[4][8];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      a[i][j] = m[i * 4 + j];
      a[i][j + 4] = (i == j) ? 1.0 : 0.0;
    }
  for (int c = 0; c < 4; ++c) {
    int p = c;
    for (int r = c + 1; r < 4; ++r)
      if (std::fabs(a[r][c]) > std::fabs(a[p][c])) p = r;
    if (!(std::fabs(a[p][c]) > 1e-12)) return false;  // also rejects NaN
    if (p != c)
      for (int j = 0; j < 8; ++j) std::swap(a[p][j], a[c][j]);
    const double inv = 1.0 / a[c][c];
    for (int j = 0; j < 8; ++j) a[c][j] *= inv;
    for (int r = 0; r < 4; ++r) {
      if (r == c) continue;
      const double f = a[r][c];
      for (int j = 0; j < 8; ++j) a[r][j] -= f * a[c][j];
    }
  }
  float r[16];
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      r[i * 4 + j] = static_cast<float>(a[i][j + 4]);
      if (!std::isfinite(r[i * 4 + j])) return false;
    }
  for (int i = 0; i < 16; ++i) out[i] = r[i];
  return true;
}

void Mat4Apply(const float m[16], float x, float y, float* ox, float* oy) {
  const double X = double{m[0]} * x + double{m[1]} * y + m[3];
  const double Y = double{m[4]} * x + double{m[5]} * y + m[7];
  const double W = double{m[12]} * x + double{m[13]} * y + m[15];
  if (std::fabs(W) < 1e-12 || !std::isfinite(X / W) || !std::isfinite(Y / W)) {
    *ox = x;
    *oy = y;
    return;
  }
  *ox = static_cast<float>(X / W);
  *oy = static_cast<float>(Y / W);
}

void Mat4FromHomography(const double h[9], float m[16]) {
  Mat4Identity(m);
  for (int i = 0; i < 9; ++i) m[kH[i]] = static_cast<float>(h[i]);
}

void HomographyFromMat4(const float m[16], double h[9]) {
  for (int i = 0; i < 9; ++i) h[i] = m[kH[i]];
}

bool DecomposeCameraMatrix(const float m[16], float height, model::FrameRecord& r) {
  double g[9];
  HomographyFromMat4(m, g);
  if (!(std::fabs(g[8]) > 1e-12)) return false;
  for (double& v : g) v /= g[8];
  const double tx = g[2], ty = g[5], p = g[6], q = g[7];
  // Affine part once the translation's coupling with the perspective row is taken out.
  const double a00 = g[0] - tx * p, a01 = g[1] - tx * q, a10 = g[3] - ty * p, a11 = g[4] - ty * q;
  // Closest similarity: rotation and scale from the antisymmetric / symmetric sums.
  const double c2 = a00 + a11, s2 = a10 - a01;
  const double z = 0.5 * std::hypot(c2, s2);
  if (!(z > 1e-9) || !std::isfinite(z + tx + ty + p + q)) return false;
  const double theta = std::atan2(s2, c2);
  r.f(model::kSlotTx) = static_cast<float>(tx);
  r.f(model::kSlotTy) = static_cast<float>(ty);
  r.f(model::kSlotRotSin) = static_cast<float>(std::sin(theta));
  r.f(model::kSlotRotCos) = static_cast<float>(std::cos(theta));
  r.f(model::kSlotZoom) = ZoomTermFromFactor(static_cast<float>(z), height);
  r.f(model::kSlotTiltA) = static_cast<float>(p * height);
  r.f(model::kSlotTiltB) = static_cast<float>(q * height);
  return true;
}

void CameraMatrixFromRecord(const model::FrameRecord& r, float height, float m[16]) {
  const double z = ZoomFactorFromTerm(r.f(model::kSlotZoom), height);
  const double theta = std::atan2(r.f(model::kSlotRotSin), r.f(model::kSlotRotCos));
  const double c = z * std::cos(theta), s = z * std::sin(theta);
  const double p = height > 0.0f ? r.f(model::kSlotTiltA) / double{height} : 0.0;
  const double q = height > 0.0f ? r.f(model::kSlotTiltB) / double{height} : 0.0;
  const double tx = r.f(model::kSlotTx), ty = r.f(model::kSlotTy);
  // T * S * P written out.
  const double h[9] = {c + tx * p, -s + tx * q, tx, s + ty * p, c + ty * q, ty, p, q, 1.0};
  Mat4FromHomography(h, m);
}

void CornersFromMatrix(const float m[16], float width, float height, model::FrameRecord& r) {
  const float hw = width * 0.5f, hh = height * 0.5f;
  const float nominal[4][2] = {{-hw, -hh}, {hw, -hh}, {hw, hh}, {-hw, hh}};
  for (int k = 0; k < 4; ++k) {
    float x, y;
    Mat4Apply(m, nominal[k][0], nominal[k][1], &x, &y);
    r.f(model::kSlotCorners + 2 * k) = x - nominal[k][0] - r.f(model::kSlotTx);
    r.f(model::kSlotCorners + 2 * k + 1) = y - nominal[k][1] - r.f(model::kSlotTy);
  }
}

}  // namespace vendrix::motion
