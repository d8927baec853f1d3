// The model fit: turns the match list of one entry into its motion record.
//
// Conventions shared by every fit: a match's (dx, dy) is the displacement of its content from the
// reference entry to the current entry and (x, y) its position in the current entry, both in analysis
// pixels with the origin at the top-left corner; the list's width and height are the working size.
// An axis whose weight is <= 0 is excluded from the fit. Fits annotate the caller's list (valid bytes,
// the quality and fit-value slots; the projective fit also replaces residuals by its reprojection
// residuals) so that kept copies and the preview show what the fit used. Working state lives in one
// heap block per fit; nothing is allocated per iteration.
#pragma once

#include <cstdint>

#include "model/match_list.h"
#include "model/frame_record.h"
#include "model/model_params.h"

namespace vendrix::motion {

using model::MatchEntry;
using model::MatchList;

// Options of the projective fit.
constexpr uint32_t kHomographyRansacFirst = 0x8000u;  // RANSAC instead of least median of squares first
constexpr uint32_t kHomographySearchMask = 0x7FFFu;
constexpr uint32_t kHomographyWideSearch = 2;  // (flags & mask) == 2: wide RANSAC, then least squares on its inliers

// The whole fit: clears `out`; with the fit enabled stores the span, pre-filters, compacts when asked,
// stores the match count and runs the fit of the model kind. `homography_flags` steers the projective
// fit (kHomography* above).
void ModelFit(const model::ModelParams& params, model::FrameRecord& out, MatchList& list, uint32_t span, bool compact,
              uint32_t homography_flags);

// Pre-filter of kind 1 or 2: marks matches with a residual far above the mean length invalid.
void PrefilterMatches(uint32_t kind, MatchList& list);
// Removes invalid matches, keeping the order of the others.
void CompactMatches(MatchList& list);

// Translation: weighted mean displacement per axis over the matches with positive weight.
void FitTranslation(model::FrameRecord& out, const MatchList& list);
// Bilinear corner refinement on top of the translation in `out`.
void RefineBilinear(model::FrameRecord& out, const MatchList& list);

// Corner fit (kinds 2, 3): translation, rotation and scale searches over the corners. variant 1 runs
// the second pass without the matches the first marked invalid.
void FitCorners(const model::ModelParams& params, model::FrameRecord& out, MatchList& list, int variant);
// Camera fit (kinds 4, 5): translation, in-plane rotation, two tilts, zoom and 32 band values by
// robust Gauss-Newton rounds.
void FitCamera(const model::ModelParams& params, model::FrameRecord& out, MatchList& list, int variant);
// Projective fit (kinds 6, 7): robust homography, decomposed into the camera model.
void FitProjective(const model::ModelParams& params, model::FrameRecord& out, MatchList& list, uint32_t homography_flags);

}  // namespace vendrix::motion
