// A/B image mixing: a linear cross-fade of two images of the same format into a third.
#pragma once

#include <cstdint>

#include "vendrix/vendrix.h"

namespace vendrix::imaging {

// Cross-fades record.A and record.B into record.C as MixABImage does: after field selection, over the
// top-left intersection of the three images, every 8-bit value and u16 channel becomes
// (a (65535 - w) + b w) / 65536 truncated, every f32 channel a + (b - a) (w / 65535), with the weight w of
// B clamped to 0..65535. C may be the same buffer as A or B. Returns false, having written nothing,
// when the record is refused (tag or mixMode not 1, formats or field modes unequal, unsupported format,
// a size outside 1..32767 after field selection, a null buffer, or a pitch too small for its row).
bool MixImages(const MixRecord& record);

}  // namespace vendrix::imaging
