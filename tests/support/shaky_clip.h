// A synthetic shaky clip stabilised through the public exports, and the frame-to-frame jitter of a
// clip measured independently of the library (phase correlation between consecutive frames).
#pragma once

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "support/synthetic_frames.h"
#include "vendrix/vendrix.h"

namespace vendrix::testing {

// BGRA frames of a textured scene panning slowly under hand shake (translation and a little rotation).
inline std::vector<cv::Mat> ShakyClip(int width, int height, int frames, uint32_t seed) {
  const cv::Mat texture = MakeTexture(width + 240, height + 240, 77);
  std::mt19937 rng(seed);
  std::normal_distribution<double> shake(0.0, 3.0);
  std::vector<cv::Mat> clip;
  for (int i = 0; i < frames; ++i) {
    CameraPose p{0.5 * i + shake(rng), shake(rng), 0.003 * shake(rng)};
    cv::Mat bgra;
    cv::cvtColor(RenderFrame(texture, width, height, p), bgra, cv::COLOR_GRAY2BGRA);
    clip.push_back(bgra);
  }
  return clip;
}

// A definition that renders BGRA frame `src` whole into `out` of the same size, before DefTexMapA (or
// the real-time path) fills in the correction.
inline TexMapDefA BgraDefinition(const cv::Mat& src, cv::Mat& out) {
  const VendrixFxRect frame{0, 0, src.cols * VENDRIX_FX_ONE, src.rows * VENDRIX_FX_ONE};
  return TexMapDefA{.version = VENDRIX_TEXMAP_A_VERSION, .pixelFormat = VENDRIX_PIXFMT_BGRA8, .srcRect = frame,
                    .srcPitch = static_cast<int32_t>(src.step[0]), .srcRows = src.rows, .srcBuffer = src.data,
                    .outRect = frame, .outPitch = static_cast<int32_t>(out.step[0]), .outRows = out.rows,
                    .outBuffer = out.data};
}

// Scans, finishes, defines and renders every frame with `settings`; returns the rendered frames.
inline std::vector<cv::Mat> Stabilise(const std::vector<cv::Mat>& input, const PathSettings& settings) {
  const int w = input[0].cols, h = input[0].rows, n = static_cast<int>(input.size());
  GlobalMotionPath* path = NewGlobalMotionPath(0, static_cast<uint32_t>(n), 0);
  for (int i = 0; i < n; ++i) {
    const ScanInput in{.tag = VENDRIX_SCAN_INPUT_TAG, .format = VENDRIX_PIXFMT_BGRA8, .width = w, .height = h,
                       .pitch = static_cast<int32_t>(input[i].step[0]), .buffer = input[i].data, .aspectFactor = 1.0f,
                       .settings = settings};
    ScanMapB(path, static_cast<uint32_t>(i), &in);
  }
  // Settle with the analysis kept so that the block matcher's last jobs reach the path, then finish.
  const FinishRequest settle{VENDRIX_FINISH_REQUEST_TAG, VENDRIX_FINISH_SETTLE_ONLY, 0, 0, VENDRIX_FINISH_KEEP_ANALYSIS};
  FinishPath(path, &settle);
  FinishPathB(path, 0, &settings);
  std::vector<uint32_t> comp(static_cast<size_t>(SizeOfMotionCompArrayBPath(path) / 4), 0);
  comp[0] = VENDRIX_COMP_B_TAG;
  CopyMotionCompArrayBPath(path, comp.data(), static_cast<int32_t>(comp.size() * 4));
  // The host places its settings in the array; the definition reads the framing from there.
  std::memcpy(reinterpret_cast<uint8_t*>(comp.data()) + VENDRIX_COMP_OFFSET_SETTINGS, &settings, sizeof(settings));
  std::vector<cv::Mat> output;
  for (int i = 0; i < n; ++i) {
    cv::Mat out(h, w, CV_8UC4, cv::Scalar(0, 0, 0, 0));
    TexMapDefA def = BgraDefinition(input[i], out);
    DefTexMapA(&def, comp.data(), 0, i, 0, w, h);
    TexMap(&def);
    output.push_back(out);
  }
  DeleteGlobalMotionPath(path);
  return output;
}

// Frame-to-frame jitter measured as frames arrive: the RMS second difference of the accumulated
// phase-correlation shifts of the frames' centre halves, pixels. Add() returns the frame's shift from
// the one before.
class JitterMeter {
 public:
  cv::Point2d Add(const cv::Mat& frame) {
    const cv::Rect centre(frame.cols / 4, frame.rows / 4, frame.cols / 2, frame.rows / 2);
    cv::Mat g, cur;
    cv::cvtColor(frame(centre), g, frame.channels() == 4 ? cv::COLOR_BGRA2GRAY : cv::COLOR_BGR2GRAY);
    g.convertTo(cur, CV_64F);
    cv::Point2d d(0, 0);
    if (!prev_.empty()) {
      if (window_.empty()) cv::createHanningWindow(window_, centre.size(), CV_64F);
      d = cv::phaseCorrelate(prev_, cur, window_);
      // The second difference of the accumulated path is the change of the shift.
      if (shifts_++ > 0) sum_ += (d - last_).dot(d - last_);
      last_ = d;
    }
    prev_ = cur;
    return d;
  }
  double Jitter() const { return shifts_ > 1 ? std::sqrt(sum_ / double(shifts_ - 1)) : 0.0; }

 private:
  cv::Mat prev_, window_;
  cv::Point2d last_;
  double sum_ = 0.0;
  int64_t shifts_ = 0;
};

inline double MeasuredJitter(const std::vector<cv::Mat>& frames) {
  JitterMeter meter;
  for (const cv::Mat& f : frames) meter.Add(f);
  return meter.Jitter();
}

}  // namespace vendrix::testing
