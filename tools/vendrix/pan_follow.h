// Pan following: the command's finishing touch on a smoothed camera path.
//
// The library smooths the camera path with a symmetric kernel whose taps are clamped to the clip, so
// within a kernel radius of either end (at the default strength that is 133 frames, most of a short
// clip) the virtual camera lags a pan and the picture drifts away from where the camera was aimed.
// The command fits a local straight line under a kernel of the same radius and width instead of a
// weighted mean: a steady pan is followed exactly, up to the first and last frame, and shake is averaged
// out (more of it than the library's taps do: pan_follow.cpp). Only the translation changes; rotation
// and zoom keep the library's smoothing.
#pragma once

#include <vector>

#include "motion.h"

namespace vendrix::cli {

// The smoothed position of every sample of `path` under a local line weighted by the kernel for
// `strength` (0..1). Above 0.99 (the camera held still) the path is returned unchanged.
std::vector<PathSample> LocalLineSmooth(const std::vector<PathSample>& path, double strength);

// Moves each correction of a finished progressive `motion` so the smoothed translation follows
// LocalLineSmooth of the measured path, each shot on its own (frames the analysis could not measure
// start a new shot), updates the clip bounds the framing reads and the smoothed path. Interlaced
// motions and held cameras are left as the library made them.
void FollowPans(Motion& motion);

}  // namespace vendrix::cli
