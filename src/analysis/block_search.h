// One block-matching measurement: a grid of cells over the current entry, the textured cells selected,
// each searched for in the reference entry from the coarsest smoothed level down to the luma itself,
// and the displacements written as matches.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/block_kernels.h"
#include "model/match_list.h"
#include "model/measure_params.h"

namespace vendrix::analysis {

// The two entries a measurement compares, as the working-area origins of their four levels (null for a
// level that is not prepared). Every plane has the same size, pitch and border.
struct SearchPlanes {
  const uint8_t* current[4];
  const uint8_t* reference[4];
  ptrdiff_t pitch;
  int32_t width, height;  // working size
};

struct Measurement {
  uint32_t count = 0;    // matches in the list
  double spread = 0.0;   // larger of the weighted mean |dx| and |dy|
  double meanDx = 0.0, meanDy = 0.0;
};

// Measures the motion from the reference to the current entry into `list` (its matches and cells, step,
// plane size and grid margin). `params` is this measurement's copy: the search window and radius are
// settled in it. Nothing is allocated.
Measurement MeasureOnce(model::MeasureParams& params, const SearchPlanes& planes, model::MatchList& list,
                        const BlockKernels& k);

// The sample positions (x, y) of the sparse sums of a size x size block on level 2 (level3 false) or
// level 3; null for a size without a kernel.
const int8_t (*SparsePattern(int32_t size, bool level3))[2];

}  // namespace vendrix::analysis
