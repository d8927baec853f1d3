// Chain scoring: decides which tracked points of an entry are kept for its motion fit, from how
// consistently each point's feature was an inlier along its chain through the neighbouring entries.
#pragma once

#include <cstdint>

namespace vendrix::analysis {

// Scores every point of entry `entry` against its chain over entries [start, end] (stores of
// `stores[0..capacity)`; a missing store ends a chain) and writes the keep flag of the pass (kept0 for
// pass 0, kept1 for pass 1). `second_clip_flag` selects the length-weighted score of pass 1.
// Assumes no store of the window is being written concurrently.
void ScoreChains(void* const* stores, int32_t capacity, int32_t entry, int32_t start, int32_t end, int pass,
                 bool second_clip_flag);

}  // namespace vendrix::analysis
