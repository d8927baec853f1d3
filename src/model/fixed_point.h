// Fixed-point conversions of the values exchanged with the host. 16.16: signed 32-bit, value * 65536
// truncated toward zero. 8.8: the low 16 bits of value * 256 truncated toward zero.
// Values that are NaN or beyond the representable range are clamped (NaN becomes 0), so a corrupt
// record can never reach the host as undefined behaviour.
#pragma once

#include <cmath>
#include <cstdint>

namespace vendrix::model {

inline int32_t ToFixed16(double v) {
  if (!(v == v)) return 0;
  const double scaled = std::trunc(v * 65536.0);
  if (scaled >= 2147483647.0) return INT32_MAX;
  if (scaled <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(scaled);
}

inline double FromFixed16(int32_t raw) { return raw / 65536.0; }

inline int16_t ToFixed8(double v) {
  if (!(v == v)) return 0;
  double scaled = std::trunc(v * 256.0);
  // Keeping the low 16 bits of a larger value would wrap; saturate instead.
  if (scaled > 32767.0) scaled = 32767.0;
  if (scaled < -32768.0) scaled = -32768.0;
  return static_cast<int16_t>(scaled);
}

}  // namespace vendrix::model
