// The stabilisation options of the module's classes and functions and what they mean for the
// library's settings record. Names, ranges and defaults are the vendrix command's: profile 41, the
// profile's smoothing and analysis level unless given, framing "cover" with a zoom limit of 1.2.
#pragma once

#include <optional>
#include <string>

#include "vendrix/vendrix.h"

namespace vendrix::python {

struct Options {
  int profile = VENDRIX_PROFILE_DEFAULT;  // 0..41
  std::optional<double> smoothing;        // 0..1; 1 holds the camera still
  std::optional<int> analysis_level;      // 0..9; 9 tracks features, 0..8 match blocks
  std::string framing = "cover";          // cover, fit, fill, extend, crop or profile
  double max_zoom = 1.2;                  // zoom limit of "cover", 1.1..4.0
};

// Throws pybind11::value_error naming the option when one is out of range.
void CheckOptions(const Options& options);

// The settings a clip is analysed and smoothed with: the profile, then the options that override it.
PathSettings AnalysisSettings(const Options& options);

// `settings` with the framing fields the options ask for; what the renderer reads.
PathSettings RenderSettings(PathSettings settings, const Options& options);

}  // namespace vendrix::python
