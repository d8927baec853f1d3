// Texture-map definitions: completing a frame's warp from a compensation array and the framing
// settings the array carries, and grading the result.
#pragma once

#include <cstdint>

#include "vendrix/vendrix.h"

namespace vendrix::texmap {

// Complete `def` for `frame` / `field` at width x height output pixels from array B. Returns the
// quality code, or 0 without touching `def` when refused (wrong version, non-positive size, an array
// without analysis size). With skip_compute the record is only graded.
int32_t DefineTexMapA(TexMapDefA* def, const uint32_t* comp_b, int32_t skip_compute, int32_t frame, int32_t field,
                      int32_t width, int32_t height);
// The same from array D, with the 32 band shifts.
int32_t DefineTexMapD(TexMapDefD* def, const uint32_t* comp_d, int32_t frame, int32_t field, int32_t width,
                      int32_t height);

}  // namespace vendrix::texmap
