#include "settings_options.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

#include "cli_error.h"

namespace vendrix::cli {

namespace {

int32_t ToFixed(double v) { return static_cast<int32_t>(std::lround(v * VENDRIX_FX_ONE)); }

}  // namespace

PathSettings AnalysisSettings(const AnalysisOptions& options) {
  PathSettings s{};
  const int profile = options.profile.value_or(VENDRIX_PROFILE_DEFAULT);
  if (profile < 0 || profile >= VENDRIX_PROFILE_COUNT || ApplyProfile(uint32_t(profile), &s) != 1)
    throw CliError(fmt::format("--profile must be 0..{}, not {}", VENDRIX_PROFILE_COUNT - 1, profile));
  if (options.analysis_level) {
    const int level = *options.analysis_level;
    if (level < 0 || level > 9) throw CliError(fmt::format("--analysis-level must be 0..9, not {}", level));
    s.AnalysisLevel = level;
  }
  // The command's default road is the library's default profile with the feature tracker's match
  // quality filter on and the finisher's rolling-shutter stages. Without the filter, tracks that slide
  // along moving objects pass into the camera fit: a tripod shot with people crossing drifts by 130 px
  // over 300 frames at 720p, and on handheld footage the per-frame measurement noise that no smoothing
  // can remove is three times larger (0.21 against 0.07 px RMS, 1080-line pixels). The rolling-shutter
  // stages estimate the readout and take out the rows' wobble (phones and most CMOS cameras read the
  // rows out one after another, so a shaking camera bends and twists each frame): on three clips read
  // out over 0.75 of a frame, the rows' bending from one frame to the next drops from 2.64 to 2.02 px
  // RMS and the jitter of the frame centre from 1.27 to 1.24 px (the skewed row the centre shows is
  // moved to where the centre row's pose puts it). On global-shutter footage no readout is found and
  // nothing changes. A profile the user names is taken as it is.
  if (!options.profile && s.AnalysisLevel == 9) {
    s.AnalysisFlags &= ~uint32_t{VENDRIX_ANALYSIS_WIDE_SEARCH};
    s.AnalysisFlags |= VENDRIX_ANALYSIS_ROLLING_SHUTTER;
  }
  // Straightening the skew as well is asked for, not a default: it leaves the steadiness of the frame
  // centre and the bending as they were (1.25 against 1.24 px, 1.97 against 2.02 px on those clips)
  // while each frame stops being a similarity of its input (distortion score 0.958 against 0.993).
  if (options.unskew) s.AnalysisFlags |= VENDRIX_ANALYSIS_ROLLING_SHUTTER | VENDRIX_ANALYSIS_ROLLING_SHUTTER_EXT;
  if (options.smoothing) {
    const double v = *options.smoothing;
    if (!(v >= 0.0 && v <= 1.0)) throw CliError(fmt::format("--smoothing must be between 0 and 1, not {}", v));
    // The secondary (rotation / zoom) strength keeps its ratio to the translation strength, so one
    // number makes the whole path steadier or looser.
    const double ratio = s.Smoothing > 0 ? double(s.SecondarySmoothing) / s.Smoothing : 0.75;
    s.Smoothing = ToFixed(v);
    s.SecondarySmoothing = ToFixed(std::min(1.0, v * ratio));
  }
  return s;
}

double MaxZoomOf(const PathSettings& s) {
  return 1.1 + std::clamp(s.FramingAmount, 0, VENDRIX_FX_ONE) * kZoomLimitPerAmount;
}

double UncoveredBudget(const RenderOptions& options) {
  if (!(options.max_uncovered >= 0.0 && options.max_uncovered <= 1.0))
    throw CliError(fmt::format("--max-uncovered must be between 0 and 1 (%), not {}", options.max_uncovered));
  return options.framing == "cover" ? options.max_uncovered / 100 : 0.0;
}

PathSettings RenderSettings(PathSettings s, const RenderOptions& options) {
  const std::string& f = options.framing;
  const uint32_t view_bits = VENDRIX_OUTPUT_SPLIT_LEFT | VENDRIX_OUTPUT_SPLIT_TOP | VENDRIX_OUTPUT_GRID;
  s.OutputFlags &= ~view_bits;
  if (f != "profile") {
    s.OutputFlags &= ~uint32_t{VENDRIX_OUTPUT_EDGE_EXTEND};
    s.FramingAmount = 0;
  }
  if (f == "cover") {
    if (!(options.max_zoom >= 1.1 && options.max_zoom <= 4.0))
      throw CliError(fmt::format("--max-zoom must be between 1.1 and 4.0, not {}", options.max_zoom));
    // Zoom just enough to cover the output, up to the limit; whatever the limit leaves uncovered is
    // filled by extending the edge pixels, so no black border ever shows.
    s.FramingMode = VENDRIX_FRAMING_ZOOM_COVER;
    s.FramingAmount = std::clamp(int32_t(std::lround((options.max_zoom - 1.1) / kZoomLimitPerAmount)), 0, 65533);
    s.OutputFlags |= VENDRIX_OUTPUT_EDGE_EXTEND;
  } else if (f == "fit") {
    s.FramingMode = VENDRIX_FRAMING_FIT;  // zoom as far as the clip's movement needs, without a limit
  } else if (f == "fill") {
    s.FramingMode = VENDRIX_FRAMING_FOLLOW;  // no zoom: the margins the correction opens are black
  } else if (f == "extend") {
    s.FramingMode = VENDRIX_FRAMING_FOLLOW;  // no zoom: the margins are filled with stretched edge pixels
    s.OutputFlags |= VENDRIX_OUTPUT_EDGE_EXTEND;
  } else if (f == "crop") {
    s.FramingMode = VENDRIX_FRAMING_CROP_BOUNDS;  // no zoom: a fixed black frame the size of the movement
  } else if (f != "profile") {
    throw CliError(fmt::format("--framing must be cover, fit, fill, extend, crop or profile, not '{}'", f));
  }
  if (options.compare == "left") {
    s.OutputFlags |= VENDRIX_OUTPUT_SPLIT_LEFT;
  } else if (options.compare == "top") {
    s.OutputFlags |= VENDRIX_OUTPUT_SPLIT_TOP;
  } else if (!options.compare.empty()) {
    throw CliError(fmt::format("--compare must be left or top, not '{}'", options.compare));
  }
  if (options.grid) s.OutputFlags |= VENDRIX_OUTPUT_GRID;
  return s;
}

}  // namespace vendrix::cli
