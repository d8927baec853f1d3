// Exports of the texture-map definition builder.
#include "api/guard.h"
#include "texmap/texmap_def.h"
#include "vendrix/vendrix.h"

using vendrix::api::Guarded;

extern "C" int32_t DefTexMapA(TexMapDefA* def, const uint32_t* compB, int32_t skipCompute, int32_t frame,
                              int32_t field, int32_t width, int32_t height) noexcept {
  return Guarded<int32_t>(
      0, [&] { return vendrix::texmap::DefineTexMapA(def, compB, skipCompute, frame, field, width, height); });
}

extern "C" int32_t DefTexMapD(TexMapDefD* def, const uint32_t* compD, int32_t, int32_t frame, int32_t field,
                              int32_t width, int32_t height) noexcept {
  return Guarded<int32_t>(0, [&] { return vendrix::texmap::DefineTexMapD(def, compD, frame, field, width, height); });
}
