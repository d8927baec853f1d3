// ConvImage and MixABImage over random format pairs, sizes, field modes and pitch directions. An input
// counts as reaching the pixel work when the destination changed.
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const bool mix = in.ConsumeBool();
  const uint32_t format = PickFormat(in), field = in.ConsumeIntegralInRange(0u, 7u);
  auto dim = [&] { return in.ConsumeIntegralInRange(1, 40); };
  Image a(in, format, dim(), dim()), b(in, mix ? format : PickFormat(in), dim(), dim()), c(in, format, dim(), dim());
  // Mixing may write over either source, which the record allows.
  Image& out = !mix ? b : *std::array<Image*, 3>{&c, &a, &b}[in.ConsumeIntegralInRange(0, 2)];
  const std::vector<uint8_t> before(out.mem->data, out.mem->data + out.mem->size);
  if (mix) {
    const MixRecord rec{VENDRIX_IMAGE_TAG, format, field, 0, 0, a.width, a.height, a.pitch, a.row0,
                        b.Desc(field), out.Desc(field), in.ConsumeIntegralInRange(0u, 8u) < 8 ? VENDRIX_MIX_LINEAR : 2u,
                        in.ConsumeIntegralInRange(-10, 70000), {}};
    MixABImage(&rec);
  } else {
    const ConvRecord rec{VENDRIX_IMAGE_TAG, in.ConsumeIntegralInRange(0u, 2u), a.Desc(field),
                         b.Desc(in.ConsumeIntegralInRange(0u, 7u))};
    ConvImage(&rec);
  }
  reach.Count(std::memcmp(before.data(), out.mem->data, before.size()) != 0);
  return 0;
}
