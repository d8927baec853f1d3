// Random interleavings of the real-time calls on a stream of small textured frames: scans (skips, repeats,
// other geometry), settings, configurations, texture-map requests rendered with TexMap, range queries. An
// input counts as reaching the analysis when a scan was accepted.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  RTMotionPath* path = NewRTMotionPath();
  if (!path) return 0;
  const int32_t w = 48, h = 32;
  Image texture(in, VENDRIX_PIXFMT_NV12, w + 8, h + 8);
  int64_t next = in.ConsumeIntegralInRange(0, 3), a, b, c;
  auto rarely = [&] { return in.ConsumeIntegralInRange(0, 15) == 15; };
  // Mostly the smallest window, which keeps each re-finishing short.
  const RTPathConfig small{VENDRIX_RT_CONFIG_TAG, 100, 2, 12, in.ConsumeIntegralInRange(0u, 7u) == 7};
  if (!rarely()) RTMotionPathConfigurate(path, &small);
  bool reached = false;
  for (int op = 0; op < 40 && in.remaining_bytes(); ++op) {
    const int call = in.ConsumeIntegralInRange(0, 9);
    if (call < 4) {
      const bool odd = rarely();
      Image image(in, odd ? PickFormat(in) : VENDRIX_PIXFMT_NV12, odd ? in.ConsumeIntegralInRange(1, 64) : w,
                  odd ? in.ConsumeIntegralInRange(1, 48) : h);
      if (!odd) PaintCrop(image, texture, in.ConsumeIntegralInRange(0, 8), in.ConsumeIntegralInRange(0, 8));
      const RTFrameInput frame{VENDRIX_RT_FRAME_TAG, image.format, rarely() ? 6u : 0u, image.width, image.height,
                               image.pitch, odd ? in.ConsumeFloatingPoint<float>() : 1.f, 0, image.row0};
      const int64_t at = rarely() ? next + in.ConsumeIntegralInRange(-3, 3) : next;
      if (RTMotionPathScanMap(path, &frame, at) == 0) reached = true, next = std::max(next, at + 1);
    } else if (call == 4) {
      const PathSettings s = FuzzSettings(in);
      RTMotionPathSetSettings(path, &s, rarely() ? 56 : VENDRIX_PATH_SETTINGS_SIZE);
    } else if (call == 5) {
      PathSettings s;
      RTMotionPathGetSettings(path, &s, rarely() ? 64 : VENDRIX_PATH_SETTINGS_SIZE);
    } else if (call == 6) {
      const RTPathConfig config{rarely() ? 1u : VENDRIX_RT_CONFIG_TAG, in.ConsumeIntegralInRange(0u, 120u),
                                in.ConsumeIntegralInRange(0u, 12u), in.ConsumeIntegralInRange(0u, 12u), in.ConsumeBool()};
      RTMotionPathConfigurate(path, &config);
    } else if (call < 9) {
      // Drawn from the texture the stream is cut from, into an output of its own size.
      Image out(in, VENDRIX_PIXFMT_NV12, in.ConsumeIntegralInRange(1, 64), in.ConsumeIntegralInRange(1, 48));
      TexMapDefA def{VENDRIX_TEXMAP_A_VERSION, VENDRIX_PIXFMT_NV12, 0, in.ConsumeIntegral<uint32_t>() & 0x3373u,
                     {0, 0, texture.width << 16, texture.height << 16}, texture.pitch, texture.height, texture.row0,
                     {0, 0, out.width << 16, out.height << 16}, out.pitch, out.height, out.row0};
      const bool with_def = in.ConsumeIntegralInRange(0, 3) < 3;
      if (RTMotionPathTexMapDef(path, with_def ? &def : nullptr, rarely(), next - in.ConsumeIntegralInRange(-2, 60),
                                in.ConsumeIntegralInRange(0u, 2u), out.width, out.height) >= 0 && with_def)
        TexMap(&def);
    } else {
      RTMotionPathSteadyFrameRange(path, &a, in.ConsumeBool() ? &b : nullptr), RTMotionScannerCompletedFrameRange(path, &a, &b);
      RTMotionScannerRequirementsFrameRange(path, next - in.ConsumeIntegralInRange(0, 40), &a, &b,
                                            in.ConsumeBool() ? &c : nullptr);
    }
  }
  reach.Count(reached);
  DeleteRTMotionPath(path);
  return 0;
}
