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

// What the analysis pass may do beyond the library's own analysis and smoothing.
struct AnalysisChoices {
  bool follow_pans = true;      // fit the smoothed translation to a local line (pan_follow.h)
  bool as_progressive = false;  // analyse interlaced video as whole frames instead of fields
};

// Analyses `in` with `settings` and returns the finished motion. Interlaced video is analysed as fields
// (two entries per frame) unless `choices.as_progressive`. Throws CliError.
Motion AnalyseClip(const std::string& in, const PathSettings& settings, Progress& progress, Timings& timings,
                   const AnalysisChoices& choices = {});

// The motion of a path whose `frames` frames of `width` x `height` video (fields in `field_order` when
// interlaced) have been scanned with `settings`: settles the analysis, smooths the path, copies the
// corrections, computes the camera paths and follows pans unless `follow_pans` is false. The path's
// analysis state is released. Throws CliError.
Motion FinishMotion(GlobalMotionPath* path, const PathSettings& settings, int32_t width, int32_t height, int64_t frames,
                    FieldOrder field_order, bool follow_pans);

// Renders `in` through `motion`, with `framed` (FramedArray of the motion) as its compensation array,
// to `out`. A motion analysed as fields is rendered field by field and written interlaced in the same
// field order; any other is rendered and written as progressive frames.
void RenderClip(const std::string& in, const Motion& motion, const std::vector<uint32_t>& framed,
                const std::string& out, const EncoderOptions& encoder, Progress& progress, Timings& timings);

// What a run took, as `--stats` writes it: frames and seconds per stage, and the figures of a real-time
// run when `stream` is given.
nlohmann::json StatsRecord(const Timings& timings, const StreamFigures* stream = nullptr);

}  // namespace vendrix::cli
