// What the analysis benchmarks share: a 60-frame clip of a panning, shaking, slightly rolling camera
// over a synthetic texture, and the ScanMapB loop over it.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "analysis/scan.h"
#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace vendrix::analysis {

inline constexpr int kClipFrames = 60;

// 8-bit luma frames (the NV12 layout's first plane), so the figures are the analysis alone. The last
// size asked for is kept, as the benchmarks ask for one size many times in a row.
inline const std::vector<cv::Mat>& ClipFrames(int w, int h) {
  static std::vector<cv::Mat> frames;
  if (!frames.empty() && frames[0].cols == w && frames[0].rows == h) return frames;
  frames.clear();
  const cv::Mat texture = testing::MakeTexture(w + 160, h + 160, 21);
  for (int i = 0; i < kClipFrames; ++i) {
    const testing::CameraPose p{2.0 * std::sin(i * 0.9) + 0.8 * i, 1.5 * std::cos(i * 1.3), 0.003 * std::sin(i * 0.5)};
    frames.push_back(testing::RenderFrame(texture, w, h, p));
  }
  return frames;
}

inline void ScanClip(GlobalMotionPath* path, const std::vector<cv::Mat>& frames, const PathSettings& settings) {
  for (size_t i = 0; i < frames.size(); ++i) {
    ScanInput in{};
    in.tag = VENDRIX_SCAN_INPUT_TAG;
    in.format = VENDRIX_PIXFMT_NV12;
    in.width = frames[i].cols;
    in.height = frames[i].rows;
    in.pitch = static_cast<int32_t>(frames[i].step[0]);
    in.buffer = frames[i].data;
    in.aspectFactor = 1.0f;
    in.settings = settings;
    ScanFrame(path, static_cast<uint32_t>(i), &in);
  }
}

}  // namespace vendrix::analysis
