// DefTexMapA / DefTexMapD over well-formed compensation arrays of random content, then TexMap / TexMapD
// between guarded images. An input counts as reaching the renderer when the output changed.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool d = in.ConsumeBool(), interlaced = in.ConsumeBool();
  const int32_t count = in.ConsumeIntegralInRange(1, 6);
  Guarded array(size_t(d ? VENDRIX_COMP_D_SIZE(count) : VENDRIX_COMP_B_SIZE(count)));
  auto* head = reinterpret_cast<MotionCompHeader*>(array.data);
  *head = {d ? VENDRIX_COMP_D_TAG : VENDRIX_COMP_B_TAG, VENDRIX_COMP_MAGIC, count, in.ConsumeIntegralInRange(1, 200),
           in.ConsumeIntegralInRange(1, 200), in.ConsumeIntegralInRange(0u, 7u), -in.ConsumeIntegral<uint16_t>() * 64,
           -in.ConsumeIntegral<uint16_t>() * 64, in.ConsumeIntegral<uint16_t>() * 64, in.ConsumeIntegral<uint16_t>() * 64,
           interlaced};
  const PathSettings settings = FuzzSettings(in);
  std::memcpy(array.data + VENDRIX_COMP_OFFSET_SETTINGS, &settings, sizeof settings);
  for (int32_t i = 0; i < count; ++i) {
    uint8_t* rec = array.data + (d ? VENDRIX_COMP_D_OFFSET_RECORDS + 160 * i : VENDRIX_COMP_B_OFFSET_RECORDS + 36 * i);
    for (int k = 0; k < 8; ++k) reinterpret_cast<int32_t*>(rec)[k] = in.ConsumeIntegralInRange(-1 << 22, 1 << 22);
    for (int k = 0; k < (d ? 64 : 1); ++k) reinterpret_cast<int16_t*>(rec + 32)[k] = in.ConsumeIntegral<int16_t>() >> 3;
  }
  const uint32_t format = PickFormat(in);
  auto dim = [&] { return in.ConsumeIntegralInRange(1, 48); };
  Image src(in, format, dim(), dim(), 16), own_out(in, format, dim(), dim(), 16);
  // Sometimes in place: the output buffer is the source.
  const Image& out = in.ConsumeIntegralInRange(0, 3) == 3 ? src : own_out;
  const std::vector<uint8_t> before(out.mem->data, out.mem->data + out.mem->size);
  const int32_t frame = in.ConsumeIntegralInRange(-1, count), field = in.ConsumeIntegralInRange(0, 1);
  auto fill = [&](auto& def) {
    def.pixelFormat = src.format, def.fieldFlags = in.ConsumeIntegralInRange(0u, 15u);
    def.mapFlags = in.ConsumeIntegral<uint32_t>() & 0x133F3u;
    def.srcRect = {0, 0, src.width << 16, src.height << 16};
    if (in.ConsumeIntegralInRange(0, 3) == 3)
      def.srcRect = {in.ConsumeIntegralInRange(-2, 8) << 15, in.ConsumeIntegralInRange(-2, 8) << 15, def.srcRect.w,
                     in.ConsumeIntegralInRange(1, src.height) << 16};
    def.srcPitch = src.pitch, def.srcRows = src.height, def.srcBuffer = src.row0;
    def.outRect = {0, 0, out.width << 16, out.height << 16};
    def.outPitch = out.pitch, def.outRows = out.height, def.outBuffer = out.row0;
  };
  // Sometimes arbitrary corners and visible region, up to four output sizes away: the renderer must cope with any quad.
  auto scramble = [&](auto& def) {
    if (in.ConsumeIntegralInRange(0, 3) < 3) return;
    auto v = [&] { return in.ConsumeIntegralInRange(-4 * std::max(out.width, out.height) << 16, 4 * std::max(out.width, out.height) << 16); };
    def.visibleRect = {v(), v(), v(), v()};
    for (auto& c : def.cornerShift) c = {v(), v()};
  };
  const auto* comp = reinterpret_cast<const uint32_t*>(array.data);
  if (d) {
    TexMapDefD def{VENDRIX_TEXMAP_D_VERSION};
    fill(def);
    def.rotation = in.ConsumeIntegral<uint8_t>();
    def.srcAspect = in.ConsumeFloatingPointInRange(0.f, 4.f), def.outAspect = in.ConsumeFloatingPointInRange(0.f, 4.f);
    DefTexMapD(&def, comp, 0, frame, field, out.width, out.height);
    scramble(def);
    TexMapD(&def);
  } else {
    TexMapDefA def{VENDRIX_TEXMAP_A_VERSION};
    fill(def);
    DefTexMapA(&def, comp, in.ConsumeIntegralInRange(0, 7) == 7, frame, field, out.width, out.height);
    scramble(def);
    TexMap(&def);
  }
  reach.Count(std::memcmp(before.data(), out.mem->data, before.size()) != 0);
  return 0;
}
