// What the element's properties mean for the library's settings record. The profile and the analysis
// level decide how motion is measured; smoothing how strongly the camera path is smoothed; framing,
// zoom limit and split view only how frames are drawn.
#pragma once

#include "vendrix/vendrix.h"

namespace vendrix::gst {

// How the margins a correction opens are handled (the same choices as the vendrix command's --framing).
enum class Framing { kCover, kFit, kFill, kExtend, kCrop, kProfile };

// Split view with the unwarped source, for judging the correction.
enum class Compare { kNone, kLeft, kTop };

struct StabOptions {
  int profile = VENDRIX_PROFILE_DEFAULT;  // 0..41
  double smoothing = -1.0;                // 0..1, or below 0 for the profile's own
  int analysis_level = -1;                // 0..9, or below 0 for the profile's own
  Framing framing = Framing::kCover;
  double max_zoom = 1.2;                  // cover: zoom limit, 1.1 .. 4.0
  Compare compare = Compare::kNone;
};

// The settings record for `options`. The values are assumed inside the ranges above (the properties
// enforce them).
PathSettings SettingsFor(const StabOptions& options);

}  // namespace vendrix::gst
