// The row kernels of A/B mixing and their table: c = a cross-faded with b over `count` values.
//
// Integer values (bytes, u16 channels) become (a (65535 - w) + b w) / 65536 truncated, f32 channels
// a + (b - a) (w / 65535), and the full weight gives b exactly. `weight` is already clamped to
// 0..kWeightMax. a, b and c may be the same row: every value is read before it is written. Every entry
// of the table starts as the plain C++ reference and is replaced by a vector version only where one
// exists for the running processor; all versions of an entry write identical bytes.
#pragma once

#include <cstdint>

#include "vendrix/vendrix.h"

namespace vendrix::imaging::mix {

constexpr int32_t kWeightMax = VENDRIX_MIX_WEIGHT_MAX;

using MixRow = void (*)(const uint8_t* a, const uint8_t* b, uint8_t* c, int32_t count, uint32_t weight);

enum MixRowKind : uint8_t {
  kMixU8,   // 8-bit values
  kMixU16,  // u16 channels
  kMixF32,  // f32 channels
  kMixRowCount
};

struct MixRowTable {
  MixRow rows[kMixRowCount];
};

// The table for the running processor (see platform/kernel_table.h for when it is filled).
const MixRowTable& MixRowKernels();

}  // namespace vendrix::imaging::mix
