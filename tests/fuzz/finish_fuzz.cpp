// FinishPath / FinishPathB with random requests and settings, interleaved with compensation-array copies
// (exact, zero, short and long sizes, wrong tags) and rescans, over a path of a few small frames of a moving
// texture. Every input ends as a host does; it counts as reaching the finishing when those copies succeed.
#include "fuzz/fuzz_support.h"

static bool Copy(FuzzedDataProvider& in, GlobalMotionPath* path, bool d, bool exact) {
  const int64_t size = d ? SizeOfMotionCompArrayDPath(path) : SizeOfMotionCompArrayBPath(path);
  const int32_t pass = int32_t(size) + (exact ? 0 : std::array<int32_t, 4>{0, 0, 4, -4}[in.ConsumeIntegralInRange(0, 3)]);
  Guarded block(size_t(std::max(pass, 4)));
  auto* words = reinterpret_cast<uint32_t*>(block.data);
  words[0] = (d ? VENDRIX_COMP_D_TAG : VENDRIX_COMP_B_TAG) + (exact || in.ConsumeIntegralInRange(0, 7) < 7 ? 0 : 1);
  const int32_t passed = exact || in.ConsumeBool() ? pass : 0;
  const uint32_t ok = d ? CopyMotionCompArrayDPath(path, words, passed) : CopyMotionCompArrayBPath(path, words, passed);
  return ok && words[1] == VENDRIX_COMP_MAGIC;
}

static void Finish(FuzzedDataProvider& in, GlobalMotionPath* path) {
  if (in.ConsumeBool()) {
    const PathSettings s = FuzzSettings(in);
    return FinishPathB(path, in.ConsumeIntegralInRange(0u, 15u), in.ConsumeIntegralInRange(0, 7) < 7 ? &s : nullptr);
  }
  FinishRequest req{in.ConsumeIntegralInRange(0, 7) < 7 ? VENDRIX_FINISH_REQUEST_TAG : 5u, in.ConsumeIntegralInRange(-1, 1)};
  for (int32_t* v : {&req.smoothing, &req.secondarySmoothing, &req.smoothingWeight1, &req.smoothingWeight2,
                     &req.smoothingWeight3, &req.smoothingWeight4, &req.borderFraction})
    *v = in.ConsumeIntegralInRange(-VENDRIX_FX_ONE / 4, 5 * VENDRIX_FX_ONE / 4);
  req.flags = in.ConsumeIntegralInRange(0u, 15u), req.adaptive = in.ConsumeBool();
  FinishPath(path, in.ConsumeIntegralInRange(0, 7) < 7 ? &req : nullptr);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const uint32_t frames = in.ConsumeIntegralInRange(2, 5);
  const int32_t w = 64, h = 48;
  GlobalMotionPath* path = NewGlobalMotionPath(0, frames, in.ConsumeIntegralInRange(0, 3));
  if (!path) return 0;
  ScanInput rec{VENDRIX_SCAN_INPUT_TAG, VENDRIX_PIXFMT_NV12, in.ConsumeIntegralInRange(0u, 7u), 0, 0, w, h, 0, nullptr, 1.f,
                FuzzSettings(in)};
  Image texture(in, VENDRIX_PIXFMT_NV12, w + 8, h + 8);
  auto scan = [&](uint32_t f) {
    Image image(in, VENDRIX_PIXFMT_NV12, w, h);
    PaintCrop(image, texture, in.ConsumeIntegralInRange(0, 8), in.ConsumeIntegralInRange(0, 8));
    rec.pitch = image.pitch, rec.buffer = image.row0;
    ScanMapB(path, f, &rec);
  };
  for (uint32_t f = 0; f < frames; ++f) scan(f);
  for (int op = 0, ops = in.ConsumeIntegralInRange(0, 5); op < ops; ++op) {
    const int kind = in.ConsumeIntegralInRange(0, 2);
    if (kind == 0) Finish(in, path);
    if (kind == 1) Copy(in, path, in.ConsumeBool(), false);
    if (kind == 2) scan(in.ConsumeIntegralInRange(0u, frames));
  }
  Finish(in, path);
  reach.Count(Copy(in, path, false, true) && Copy(in, path, true, true));
  DeleteGlobalMotionPath(path);
  return 0;
}
