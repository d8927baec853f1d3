// The two passes over a clip: analysis (decode, scan every frame, finish the path) and render
// (decode, warp every frame by its correction, encode, copy the other streams).
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "motion.h"
#include "progress.h"
#include "realtime_pass.h"
#include "video_output.h"

namespace vendrix::cli {

// Analyses `in` with `settings` and returns the finished motion, its translation made to follow pans
// to the clip's ends unless `follow_pans` is false (pan_follow.h). Throws CliError.
Motion AnalyseClip(const std::string& in, const PathSettings& settings, Progress& progress, Timings& timings,
                   bool follow_pans = true);

// The motion of a path whose `frames` entries of `width` x `height` video have been scanned with
// `settings`: settles the analysis, smooths the path, copies the corrections, computes the camera paths
// and follows pans unless `follow_pans` is false. The path's analysis state is released. Throws CliError.
Motion FinishMotion(GlobalMotionPath* path, const PathSettings& settings, int32_t width, int32_t height, int64_t frames,
                    bool follow_pans);

// Renders `in` through `motion` (its settings copy replaced by `render_settings`) to `out`.
void RenderClip(const std::string& in, const Motion& motion, const PathSettings& render_settings,
                const std::string& out, const EncoderOptions& encoder, Progress& progress, Timings& timings);

// What a run took, as `--stats` writes it: frames and seconds per stage, and the figures of a real-time
// run when `stream` is given.
nlohmann::json StatsRecord(const Timings& timings, const StreamFigures* stream = nullptr);

}  // namespace vendrix::cli
