#include "options.h"

#include <algorithm>
#include <cmath>

#include <pybind11/pybind11.h>

namespace vendrix::python {

namespace {

int32_t ToFixed(double v) { return static_cast<int32_t>(std::lround(v * VENDRIX_FX_ONE)); }

bool KnownFraming(const std::string& f) {
  return f == "cover" || f == "fit" || f == "fill" || f == "extend" || f == "crop" || f == "profile";
}

}  // namespace

void CheckOptions(const Options& o) {
  auto fail = [](const std::string& m) { throw pybind11::value_error(m); };
  if (o.profile < 0 || o.profile >= VENDRIX_PROFILE_COUNT)
    fail("profile must be 0.." + std::to_string(VENDRIX_PROFILE_COUNT - 1) + ", not " + std::to_string(o.profile));
  if (o.smoothing && !(*o.smoothing >= 0.0 && *o.smoothing <= 1.0))
    fail("smoothing must be between 0 and 1, not " + std::to_string(*o.smoothing));
  if (o.analysis_level && (*o.analysis_level < 0 || *o.analysis_level > 9))
    fail("analysis_level must be 0..9, not " + std::to_string(*o.analysis_level));
  if (!KnownFraming(o.framing))
    fail("framing must be cover, fit, fill, extend, crop or profile, not '" + o.framing + "'");
  if (!(o.max_zoom >= 1.1 && o.max_zoom <= 4.0)) fail("max_zoom must be between 1.1 and 4.0, not " + std::to_string(o.max_zoom));
}

PathSettings AnalysisSettings(const Options& o) {
  CheckOptions(o);
  PathSettings s{};
  ApplyProfile(uint32_t(o.profile), &s);
  if (o.analysis_level) s.AnalysisLevel = *o.analysis_level;
  if (o.smoothing) {
    // The rotation / zoom strength keeps its ratio to the translation strength, so one number makes the
    // whole path steadier or looser.
    const double ratio = s.Smoothing > 0 ? double(s.SecondarySmoothing) / s.Smoothing : 0.75;
    s.Smoothing = ToFixed(*o.smoothing);
    s.SecondarySmoothing = ToFixed(std::min(1.0, *o.smoothing * ratio));
  }
  return s;
}

PathSettings RenderSettings(PathSettings s, const Options& o) {
  CheckOptions(o);
  s.OutputFlags &= ~uint32_t{VENDRIX_OUTPUT_SPLIT_LEFT | VENDRIX_OUTPUT_SPLIT_TOP | VENDRIX_OUTPUT_GRID};
  if (o.framing == "profile") return s;
  s.OutputFlags &= ~uint32_t{VENDRIX_OUTPUT_EDGE_EXTEND};
  s.FramingAmount = 0;
  if (o.framing == "cover") {
    // Zoom just enough to cover the output, up to the limit, then extend the edge pixels over what the
    // limit leaves uncovered. The amount encodes the limit as the command writes it.
    s.FramingMode = VENDRIX_FRAMING_ZOOM_COVER;
    s.FramingAmount = std::clamp(int32_t(std::lround((o.max_zoom - 1.1) / 4.4251166e-5)), 0, 65533);
    s.OutputFlags |= VENDRIX_OUTPUT_EDGE_EXTEND;
  } else if (o.framing == "fit") {
    s.FramingMode = VENDRIX_FRAMING_FIT;
  } else if (o.framing == "fill") {
    s.FramingMode = VENDRIX_FRAMING_FOLLOW;
  } else if (o.framing == "extend") {
    s.FramingMode = VENDRIX_FRAMING_FOLLOW;
    s.OutputFlags |= VENDRIX_OUTPUT_EDGE_EXTEND;
  } else {  // crop
    s.FramingMode = VENDRIX_FRAMING_CROP_BOUNDS;
  }
  return s;
}

}  // namespace vendrix::python
