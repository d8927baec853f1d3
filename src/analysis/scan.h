// The scanner: takes one frame of the clip from the host, splits interlaced frames into their two
// entries, derives the measurement parameters and prepares what the analyser measures.
#pragma once

#include <cstdint>

#include "model/analysis_image.h"
#include "model/global_motion_path.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {

// The whole scan of one frame; a null path or record, or a tag other than 1, does nothing.
void ScanFrame(GlobalMotionPath* path, uint32_t frame, const ScanInput* input);

// Builds the first entry's image from the record (source fields only; the working size is chosen
// per entry) and the second field's copy with field bits 0 and 1 exchanged.
void BuildEntryImages(const ScanInput& input, model::AnalysisImage& first, model::AnalysisImage& second);

// Per-entry set-up shared by both analysers: parameters derived from the settings into `measure` and
// `model`, the field shift, the keep-matches switch, copies into the path, the search radius and the
// working image.
void SetUpEntry(GlobalMotionPath* path, const PathSettings& settings, model::AnalysisImage& image, model::MeasureParams& measure,
                model::ModelParams& model);

}  // namespace vendrix::analysis
