#include "stab_settings.h"

#include <algorithm>
#include <cmath>

namespace vendrix::gst {

namespace {

int32_t ToFixed(double v) { return static_cast<int32_t>(std::lround(v * VENDRIX_FX_ONE)); }

// Zoom-cover mode's amount for a zoom limit: the limit grows from 1.1 by 4.4251166e-5 per unit.
int32_t ZoomCoverAmount(double max_zoom) {
  return std::clamp(int32_t(std::lround((max_zoom - 1.1) / 4.4251166e-5)), 0, 65533);
}

}  // namespace

PathSettings SettingsFor(const StabOptions& o) {
  PathSettings s{};
  ApplyProfile(uint32_t(o.profile), &s);
  if (o.analysis_level >= 0) s.AnalysisLevel = o.analysis_level;
  if (o.smoothing >= 0) {
    // The secondary (rotation / zoom) strength keeps its ratio to the translation strength, so one
    // number makes the whole path steadier or looser.
    const double ratio = s.Smoothing > 0 ? double(s.SecondarySmoothing) / s.Smoothing : 0.75;
    s.Smoothing = ToFixed(o.smoothing);
    s.SecondarySmoothing = ToFixed(std::min(1.0, o.smoothing * ratio));
  }
  // A stream never has the whole clip's motion the adaptive window needs.
  s.OutputFlags &= ~uint32_t{VENDRIX_OUTPUT_ADAPTIVE | VENDRIX_OUTPUT_SPLIT_LEFT | VENDRIX_OUTPUT_SPLIT_TOP |
                             VENDRIX_OUTPUT_GRID};
  if (o.framing != Framing::kProfile) {
    s.OutputFlags &= ~uint32_t{VENDRIX_OUTPUT_EDGE_EXTEND};
    s.FramingAmount = 0;
  }
  switch (o.framing) {
    case Framing::kCover:
      // Zoom just enough to cover the output, up to the limit; what the limit leaves uncovered is
      // filled by extending the edge pixels, so no black border shows.
      s.FramingMode = VENDRIX_FRAMING_ZOOM_COVER;
      s.FramingAmount = ZoomCoverAmount(o.max_zoom);
      s.OutputFlags |= VENDRIX_OUTPUT_EDGE_EXTEND;
      break;
    case Framing::kFit: s.FramingMode = VENDRIX_FRAMING_FIT; break;
    case Framing::kFill: s.FramingMode = VENDRIX_FRAMING_FOLLOW; break;
    case Framing::kExtend:
      s.FramingMode = VENDRIX_FRAMING_FOLLOW;
      s.OutputFlags |= VENDRIX_OUTPUT_EDGE_EXTEND;
      break;
    case Framing::kCrop: s.FramingMode = VENDRIX_FRAMING_CROP_BOUNDS; break;
    case Framing::kProfile: break;
  }
  if (o.compare == Compare::kLeft) s.OutputFlags |= VENDRIX_OUTPUT_SPLIT_LEFT;
  if (o.compare == Compare::kTop) s.OutputFlags |= VENDRIX_OUTPUT_SPLIT_TOP;
  return s;
}

}  // namespace vendrix::gst
