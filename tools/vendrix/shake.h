// `vendrix shake`: a synthetic shaky clip made from a still image, with the camera motion that made it
// written beside it as JSON, so stabilisation can be judged against a known truth. Clips with moving
// objects or swaying texture also get a mask video of where they are.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "progress.h"
#include "video_output.h"

namespace vendrix::cli {

struct ShakeOptions {
  std::string preset = "handheld";  // one of ShakePresetNames()
  int frames = 150;
  int width = 640, height = 360;
  double fps = 30;
  uint32_t seed = 1;
  bool objects = false;  // moving objects and swaying texture whatever the preset
  // Interlaced: frame i is woven from two fields filmed at times i and i + 1/2, the first of them the
  // top field (rows 0, 2, 4 ...) or, with `bottom_first`, the bottom one.
  bool interlaced = false, bottom_first = false;
};

// The names --preset takes, and the help text that says what each does.
std::vector<std::string> ShakePresetNames();
std::string ShakePresetHelp();

// Renders the clip to `out`, the truth to TruthPathFor(out) and, when something in the scene moves,
// the mask to MaskPathFor(out); returns the files written. Throws CliError; then none of them is left
// behind.
std::vector<std::string> MakeShakyClip(const std::string& image, const std::string& out, const ShakeOptions& options,
                                       const EncoderOptions& encoder, Progress& progress);

// "clip.mp4" -> "clip.json".
std::string TruthPathFor(const std::string& clip);
// "clip.mp4" -> "clip.mask.mkv": grey, lossless, the clip's size, length and rate; non-zero where
// objects or swaying texture move.
std::string MaskPathFor(const std::string& clip);

}  // namespace vendrix::cli
