// The real-time road: one pass through the library's streaming path. Every decoded frame is scanned as
// it arrives and held until the path has seen enough of what follows to show it steady; then it is
// rendered and written. Output starts after a fixed delay of frames and memory stays flat however long
// the input is, so standard input and output work as live sources and sinks.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "motion.h"
#include "progress.h"
#include "realtime_window.h"
#include "video_output.h"

namespace vendrix::cli {


struct RtPathDelete {
  void operator()(RTMotionPath* p) const { DeleteRTMotionPath(p); }
};
using RtPathPtr = std::unique_ptr<RTMotionPath, RtPathDelete>;

// A real-time path with `look_ahead` frames of look-ahead (2..1000), the steady margin and `settings`
// less the adaptive output, which needs the whole clip's motion. Throws CliError.
RtPathPtr NewRealtimePath(const PathSettings& settings, int look_ahead);

// Hands `frame` to `path` as stream frame `index`. A full window refuses a frame until a definition
// slides it: `make_room()` shows the oldest held frame (false when nothing older is held) and the frame
// is handed over again. Returns whether the frame was scanned.
template <class MakeRoom>
bool ScanIntoWindow(RTMotionPath* path, const RTFrameInput& frame, int64_t index, MakeRoom make_room) {
  while (RTMotionPathScanMap(path, &frame, index) != 0)
    if (!make_room()) return false;
  return true;
}

// Whether stream frame `frame` can be shown steady: the scanner got as far as the path needs for it.
bool Steady(RTMotionPath* path, int64_t frame);

// The corrections of a stream's frames as they are shown.
struct StreamDefinitions {
  std::optional<TexMapDefA> last;  // the last definition the path gave
  int64_t reused = 0;              // frames the path refused, shown with the previous correction

  // Completes `def` (buffers and geometry set) for stream frame `frame` of a width x height stream. A
  // frame the path refuses takes the previous frame's correction, the closest there is (the raw frame
  // would jump); false when there is none yet, and the frame is shown as it came.
  bool Define(RTMotionPath* path, TexMapDefA& def, int64_t frame, int width, int height);
};

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
