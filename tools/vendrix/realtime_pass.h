// The real-time road: one pass through the library's streaming path. Every decoded frame is scanned as
// it arrives and held until the path has seen enough of what follows to show it steady; then it is
// rendered and written. Output starts after a fixed delay of frames and memory stays flat however long
// the input is, so standard input and output work as live sources and sinks.
#pragma once

#include <cstdint>
#include <string>

#include "motion.h"
#include "progress.h"
#include "video_output.h"

namespace vendrix::cli {

// Frames of look-ahead the path is configured with unless --look-ahead says otherwise, and the steady
// margin; a frame is written once the look-ahead plus the margin less one frames after it were read.
// The reasons for the values are in realtime_pass.cpp.
inline constexpr int kDefaultLookAhead = 50;
inline constexpr int kSteadyMargin = 50;

// What a real-time run reports besides the stage timings.
struct StreamFigures {
  int look_ahead = 0;
  int64_t delay_frames = 0;  // frames that arrived after a frame before it was written (the most seen)
  double delay = 0;          // the same in seconds of video
  double worst_frame = 0;    // the longest one frame's scan, definition and render took, waits included
  double frame_period = 0;   // seconds per frame of the input's frame rate (0 when unknown)
  int64_t reused = 0;        // frames the path refused to define, written with the previous correction
  bool closed = false;       // standard output was closed by its reader before the end of the input
};

// Stabilises `in` into `out` (either may be "-") with `settings` (analysis, smoothing and framing).
// Throws CliError as the offline road does.
StreamFigures StabilizeStream(const std::string& in, const std::string& out, const PathSettings& settings,
                              int look_ahead, const EncoderOptions& encoder, Progress& progress, Timings& timings);

}  // namespace vendrix::cli
