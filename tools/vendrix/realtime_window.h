// The geometry of a real-time path, shared by every host of ours that streams (the command's real-time
// road, the GStreamer element). Header only: it needs nothing but the standard library.
//
// The window slides by two thirds of its length, and after a slide the path defines frames only from the
// first whole look-ahead block inside the window: the window length is chosen near the library's 1000 so
// that the slide is a whole number of look-ahead blocks, or the frames up to the next block boundary
// would be refused and shown uncorrected. Why margin 50 and look-ahead 50 is in realtime_pass.cpp.
#pragma once

#include <cstdint>
#include <cstdlib>

namespace vendrix::cli {

// Frames of look-ahead a path is configured with unless the user says otherwise, and the steady margin;
// a frame is shown once the look-ahead plus the margin less one frames after it were read.
inline constexpr int kDefaultLookAhead = 50;
inline constexpr int kSteadyMargin = 50;

// The window length nearest the library's 1000 frames whose slide is a whole number of look-ahead blocks.
inline uint32_t WindowLengthFor(int look_ahead) {
  uint32_t best = 0;
  for (uint32_t length = 100; length <= 10000; ++length) {
    const bool whole_blocks = (2 * length / 3) % uint32_t(look_ahead) == 0;
    if (whole_blocks && (best == 0 || std::abs(int(length) - 1000) < std::abs(int(best) - 1000))) best = length;
  }
  return best;
}

}  // namespace vendrix::cli
