// ScanMapB over a few small frames of random scanner records: every pixel format, field mode, pitch
// direction and analysis level, on a path created and deleted around them.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint32_t frames = in.ConsumeIntegralInRange(1, 4);
  GlobalMotionPath* path = NewGlobalMotionPath(0, frames, in.ConsumeIntegralInRange(0, 3));
  if (!path) return 0;
  const uint32_t format = PickFormat(in);
  const int32_t w = in.ConsumeIntegralInRange(1, 96), h = in.ConsumeIntegralInRange(1, 64);
  ScanInput rec{VENDRIX_SCAN_INPUT_TAG, format, in.ConsumeIntegralInRange(0u, 7u), 0, 0, w, h, 0, nullptr,
                in.ConsumeFloatingPoint<float>(), FuzzSettings(in)};
  for (uint32_t f = 0; f < frames + 1; ++f) {
    // Mostly one geometry through the clip, as a host has; sometimes a frame that changes it.
    const bool odd = in.ConsumeIntegralInRange(0, 7) == 7;
    Image image(in, odd ? PickFormat(in) : format, odd ? in.ConsumeIntegralInRange(1, 96) : w,
                odd ? in.ConsumeIntegralInRange(1, 64) : h);
    rec.format = image.format, rec.width = image.width, rec.height = image.height;
    rec.pitch = image.pitch, rec.buffer = image.row0;
    ScanMapB(path, in.ConsumeIntegralInRange(0u, frames), &rec);
  }
  // Settle (hands over block-matching entries in flight) and finish; the query then reports a working size if any entry was analysed.
  const FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
  FinishPath(path, &settle), FinishPath(path, nullptr);
  FrameMvRecord mv{VENDRIX_FRAME_MV_TAG};
  GetFrameMV(path, 0, &mv);
  reach.Count(mv.workWidth != 0);
  DeleteGlobalMotionPath(path);
  return 0;
}
