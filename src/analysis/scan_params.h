// Deriving the measurement and model parameters of an entry from the clip's settings record.
#pragma once

#include <cstdint>

#include "analysis/analysis_image.h"
#include "analysis/measure_params.h"
#include "path/model_params.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {

// Defaults of both blocks before the settings are applied.
void LoadMeasureDefaults(MeasureParams& m);
void LoadModelDefaults(path::ModelParams& p);

// Derives both blocks from `s` for an image of width x height (before halving). Sets image.halveAllowed
// for the block-matching analyser when `image` is given. Starts from the defaults.
void DeriveScanParams(const PathSettings& s, int32_t width, int32_t height, MeasureParams& m, path::ModelParams& p,
                      AnalysisImage* image);

// Chooses the working size and reader of `image` (its source fields must be set) by the field and
// halving rules.
void ChooseWorkingImage(AnalysisImage& image);

}  // namespace vendrix::analysis
