// Symmetric exponential smoothing kernels of path finishing.
//
// A strength a in 0..0.99 gives radius r = odd(trunc(a^1.75 * 654 + 0.5)) clamped to 1..M; taps fall
// from the centre by a constant factor per step so that the outermost tap is 8 % of the centre tap
// (additive finisher), or 0.64 % (matrix finisher: the factor squared), normalised to sum 1.
// A strength above 0.99 gives an empty kernel: the finisher holds the camera still.
#pragma once

#include <cstdint>

namespace vendrix::finishing {

constexpr int32_t kKernelCapacity = 1201;  // taps of the widest kernel: 2 * 600 + 1
constexpr int32_t kAdditiveMaxRadius = 599;
constexpr int32_t kMatrixMaxRadius = 598;

struct Kernel {
  int32_t radius = -1;            // -1: empty
  float taps[kKernelCapacity];    // taps[radius + o] for o = -radius .. radius

  bool Empty() const { return radius < 0; }
  float At(int32_t offset) const { return taps[radius + offset]; }
};

// Builds the kernel of `strength`; `matrix` selects the matrix finisher's steeper variant.
void BuildKernel(float strength, bool matrix, Kernel& k);
// Radius alone (the rule above), for callers that only need the window.
int32_t KernelRadius(float strength, bool matrix);

}  // namespace vendrix::finishing
