// The motion file: a finished clip's compensation array, the settings it was made with and its camera
// paths, so a clip can be rendered again (other framing, split view) without analysing it again.
//
// Little-endian binary, version 2 (version 1, still read, has no measured flags; version 3 is version 2
// for an interlaced clip, so that readers made before interlaced motions refuse it rather than misread it;
// versions 4 and 5 are versions 2 and 3 with rolling-shutter band pairs, written only when there are any):
//   "VXMOTION"  magic, 8 bytes            u32 format version
//   i32 video width, i32 video height     i64 frames
//   PathSettings (60 bytes)               u64 array bytes, then compensation array B (one record per
//                                         frame, or per field when its header says interlaced)
//   u64 path samples, then per sample 8 f64: camera x, y, rotation, zoom; smoothed x, y, rotation, zoom
//   per sample one byte: 1 when the analysis measured the entry's motion, 0 when it could not
//   versions 4, 5: u64 band values (64 per entry), then each as i16 (band_mesh.h)
//   u32 CRC-32 (IEEE) of everything before it
#pragma once

#include <string>

#include "motion.h"

namespace vendrix::cli {

inline constexpr uint32_t kMotionFileVersion = 2;
inline constexpr uint32_t kInterlacedMotionFileVersion = 3;
inline constexpr uint32_t kBandsVersionStep = 2;  // 2 -> 4 and 3 -> 5: the same with band pairs
inline constexpr uint32_t kNewestMotionFileVersion = kInterlacedMotionFileVersion + kBandsVersionStep;

// Writes atomically (temporary name, then rename). Throws CliError.
void SaveMotion(const std::string& path, const Motion& motion);
// Reads and checks a motion file. Throws CliError naming what is wrong with it.
Motion LoadMotion(const std::string& path);

}  // namespace vendrix::cli
