// Deriving the measurement and model parameters of an entry from the clip's settings record.
#pragma once

#include <cstdint>

#include "model/analysis_image.h"
#include "model/measure_params.h"
#include "model/model_params.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {

// Defaults of both blocks before the settings are applied.
void LoadMeasureDefaults(model::MeasureParams& m);
void LoadModelDefaults(model::ModelParams& p);

// Derives both blocks from `s` for an image of width x height (before halving). Sets image.halveAllowed
// for the block-matching analyser when `image` is given. Starts from the defaults.
void DeriveScanParams(const PathSettings& s, int32_t width, int32_t height, model::MeasureParams& m, model::ModelParams& p,
                      model::AnalysisImage* image);

// Chooses the working size and reader of `image` (its source fields must be set) by the field and
// halving rules.
void ChooseWorkingImage(model::AnalysisImage& image);

}  // namespace vendrix::analysis
