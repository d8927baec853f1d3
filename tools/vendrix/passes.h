// The two passes over a clip: analysis (decode, scan every frame, finish the path) and render
// (decode, warp every frame by its correction, encode, copy the other streams).
#pragma once

#include <string>

#include "motion.h"
#include "progress.h"
#include "video_output.h"

namespace vendrix::cli {

// Analyses `in` with `settings` and returns the finished motion, its translation made to follow pans
// to the clip's ends unless `follow_pans` is false (pan_follow.h). Throws CliError.
Motion AnalyseClip(const std::string& in, const PathSettings& settings, Progress& progress, Timings& timings,
                   bool follow_pans = true);

// Renders `in` through `motion` (its settings copy replaced by `render_settings`) to `out`.
void RenderClip(const std::string& in, const Motion& motion, const PathSettings& render_settings,
                const std::string& out, const EncoderOptions& encoder, Progress& progress, Timings& timings);

}  // namespace vendrix::cli
