// Rolling-shutter bands: the per-band row shifts a finished path may carry (compensation array D) and
// drawing a frame through the library's 32-band mesh with them.
#pragma once

#include <cstdint>
#include <vector>

#include "vendrix/vendrix.h"

namespace vendrix::cli {

// Values per entry: x and y of each of the 32 bands, top band first, 8.8 analysis pixels, as
// compensation array D holds them.
inline constexpr int kBandValues = 2 * VENDRIX_COMP_D_BAND_COUNT;

// The band pairs of every entry of a finished path, or nothing when all are zero (a path without
// rolling-shutter stages): the common case keeps the single-quad renderer.
std::vector<int16_t> BandPairs(GlobalMotionPath* path, int64_t entries);

// One entry's band pairs (kBandValues values) and the analysed picture size they are measured in.
struct BandRows {
  const int16_t* pairs = nullptr;
  int analysis_width = 0, analysis_height = 0;
};

// The band pairs of `entry`, or no pairs when the motion has none. `comp` is the motion's compensation
// array B, whose header gives the analysed size.
BandRows BandRowsOf(const std::vector<int16_t>& bands, const std::vector<uint32_t>& comp, int64_t entry);

// Draws `def`, completed by DefTexMapA: as one quad when `rows` has no pairs, else through the band
// mesh with each band's rows shifted by them. The shifts are taken from analysis pixels into the output
// through the quad's own edges, so the framing's zoom and roll apply to them too.
void DrawFrame(const TexMapDefA& def, const BandRows& rows);

}  // namespace vendrix::cli
