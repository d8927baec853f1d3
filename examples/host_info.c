/* A minimal host written in plain C: loads libvendrix.so through its public header, prints the
 * library version and the table of stabilisation profiles. */
#include <stdio.h>

#include "vendrix/vendrix.h"

static double Fixed(int32_t raw) { return raw / 65536.0; }

int main(void) {
  const uint32_t v = VendrixVersion();
  printf("libvendrix %u.%u.%u.%u\n\n", v >> 24, (v >> 20) & 0xF, (v >> 16) & 0xF, v & 0xFFFF);
  printf("%3s %5s %6s %6s %7s %9s %9s %7s %6s\n", "#", "level", "flags", "degree", "offset", "smoothing",
         "secondary", "framing", "output");
  const int32_t n = GetProfileNums();
  for (int32_t i = 0; i < n; ++i) {
    PathSettings s;
    if (!ApplyProfile((uint32_t)i, &s)) return 1;
    printf("%3d %5d %#6x %6d %7.2f %9.3f %9.3f %7d %#6x%s\n", i, s.AnalysisLevel, s.AnalysisFlags, s.ModelDegree,
           Fixed(s.AnalysisOffset), Fixed(s.Smoothing), Fixed(s.SecondarySmoothing), s.FramingMode, s.OutputFlags,
           FindProfile(&s) == 41 ? "  (default)" : "");
  }
  return 0;
}
