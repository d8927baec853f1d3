// What the command-line options mean for the library's settings record. Analysis and smoothing are
// fixed when a clip is analysed; framing, split view and grid are chosen when it is rendered and can
// differ between renders of one saved motion file.
#pragma once

#include <optional>
#include <string>

#include "vendrix/vendrix.h"

namespace vendrix::cli {

struct AnalysisOptions {
  std::optional<int> profile;             // 0..41; unset: the command's default road (AnalysisSettings)
  std::optional<double> smoothing;        // 0..1: how strongly the camera path is smoothed
  std::optional<int> analysis_level;      // 0..9
  bool follow_pans = true;                // the command's local-line smoothing of the translation
  bool unskew = false;                    // also straighten each frame's rolling-shutter skew
};

// Framing names the user picks from, and what each does to the margins a correction opens.
inline constexpr const char* kFramingNames[] = {"cover", "fit", "fill", "extend", "crop", "profile"};

struct RenderOptions {
  std::string framing = "cover";  // one of kFramingNames
  double max_zoom = 1.2;          // cover: zoom limit, 1.1 .. 4.0
  // cover: percent of the clip's output pixels the zoom may leave to stretched edges where the shake
  // peaks, 0 .. 1 (cover_framing.h)
  double max_uncovered = 0.1;
  std::string compare;            // "", "left" or "top": split view with the unwarped source
  bool grid = false;              // 6 x 6 guide grid
};

// The settings the clip is analysed and smoothed with: the profile, then the options that override it.
PathSettings AnalysisSettings(const AnalysisOptions& options);

// `settings` with the framing, split-view and grid fields the render options ask for.
PathSettings RenderSettings(PathSettings settings, const RenderOptions& options);

// The cover framing's zoom limit grows from 1.1 by this much per unit of the framing amount.
inline constexpr double kZoomLimitPerAmount = 4.4251166e-5;
// The zoom limit of the cover framing in `s`, as the library reads it from the framing amount.
double MaxZoomOf(const PathSettings& s);

// The share of output pixels (0..0.01) FramedArray may leave uncovered: --max-uncovered for the cover
// framing, 0 for the others. Throws CliError when it is out of range.
double UncoveredBudget(const RenderOptions& options);

}  // namespace vendrix::cli
