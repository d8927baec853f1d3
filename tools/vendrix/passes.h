// The two passes over a clip: analysis (decode, scan every frame, finish the path) and render
// (decode, warp every frame by its correction, encode, copy the other streams).
#pragma once

#include <string>

#include "motion.h"
#include "progress.h"
#include "video_output.h"

namespace vendrix::cli {

// What the analysis pass may do beyond the library's own analysis and smoothing.
struct AnalysisChoices {
  bool follow_pans = true;      // fit the smoothed translation to a local line (pan_follow.h)
  bool as_progressive = false;  // analyse interlaced video as whole frames instead of fields
};

// Analyses `in` with `settings` and returns the finished motion. Interlaced video is analysed as fields
// (two entries per frame) unless `choices.as_progressive`. Throws CliError.
Motion AnalyseClip(const std::string& in, const PathSettings& settings, Progress& progress, Timings& timings,
                   const AnalysisChoices& choices = {});

// Renders `in` through `motion` (its settings copy replaced by `render_settings`) to `out`. A motion
// analysed as fields is rendered field by field and written interlaced in the same field order; any
// other is rendered and written as progressive frames.
void RenderClip(const std::string& in, const Motion& motion, const PathSettings& render_settings,
                const std::string& out, const EncoderOptions& encoder, Progress& progress, Timings& timings);

}  // namespace vendrix::cli
