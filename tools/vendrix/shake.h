// `vendrix shake`: a synthetic handheld clip made from a still image, with the camera motion that made
// it written beside it as JSON, so stabilisation can be judged against a known truth.
#pragma once

#include <cstdint>
#include <string>

#include "progress.h"
#include "video_output.h"

namespace vendrix::cli {

struct ShakeOptions {
  std::string preset = "handheld";  // walk, handheld, vehicle, gentle
  int frames = 150;
  int width = 640, height = 360;
  double fps = 30;
  uint32_t seed = 1;
};

// Renders the clip to `out` and the truth to TruthPathFor(out). Throws CliError.
void MakeShakyClip(const std::string& image, const std::string& out, const ShakeOptions& options,
                   const EncoderOptions& encoder, Progress& progress);

// "clip.mp4" -> "clip.json".
std::string TruthPathFor(const std::string& clip);

}  // namespace vendrix::cli
