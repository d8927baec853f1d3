// The motion file: a finished clip's compensation array, the settings it was made with and its camera
// paths, so a clip can be rendered again (other framing, split view) without analysing it again.
//
// Little-endian binary, version 2 (version 1, still read, has no measured flags):
//   "VXMOTION"  magic, 8 bytes            u32 format version
//   i32 video width, i32 video height     i64 frames
//   PathSettings (60 bytes)               u64 array bytes, then compensation array B
//   u64 path samples, then per sample 8 f64: camera x, y, rotation, zoom; smoothed x, y, rotation, zoom
//   per sample one byte: 1 when the analysis measured the frame's motion, 0 when it could not
//   u32 CRC-32 (IEEE) of everything before it
#pragma once

#include <string>

#include "motion.h"

namespace vendrix::cli {

inline constexpr uint32_t kMotionFileVersion = 2;

// Writes atomically (temporary name, then rename). Throws CliError.
void SaveMotion(const std::string& path, const Motion& motion);
// Reads and checks a motion file. Throws CliError naming what is wrong with it.
Motion LoadMotion(const std::string& path);

}  // namespace vendrix::cli
