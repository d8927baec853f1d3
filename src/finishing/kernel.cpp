#include "finishing/kernel.h"

#include <cmath>

namespace vendrix::finishing {

int32_t KernelRadius(float strength, bool matrix) {
  if (strength > 0.99f) return -1;
  const double a = strength > 0.0f ? strength : 0.0;  // NaN and negative strengths smooth least
  int64_t n = static_cast<int64_t>(std::trunc(std::pow(a, 1.75) * 654.0 + 0.5));
  const int32_t max_radius = matrix ? kMatrixMaxRadius : kAdditiveMaxRadius;
  if (n < 1) n = 1;
  if (n > max_radius) n = max_radius;
  return static_cast<int32_t>(n) | 1;
}

void BuildKernel(float strength, bool matrix, Kernel& k) {
  k.radius = KernelRadius(strength, matrix);
  if (k.radius < 0) return;
  const int32_t r = k.radius;
  double q = std::pow(0.08, 1.0 / r);
  if (matrix) q *= q;
  double tap = 100.0, sum = 100.0;
  k.taps[r] = 100.0f;
  for (int32_t o = 1; o <= r; ++o) {
    tap *= q;
    k.taps[r + o] = k.taps[r - o] = static_cast<float>(tap);
    sum += 2.0 * static_cast<float>(tap);
  }
  for (int32_t i = 0; i <= 2 * r; ++i) k.taps[i] = static_cast<float>(k.taps[i] / sum);
}

}  // namespace vendrix::finishing
