// A minimal streaming host of the real-time path: frames are scanned as they arrive and each frame is
// rendered as soon as the requirements query allows, as a live player would.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include <opencv2/core.hpp>

#include "support/shaky_clip.h"
#include "vendrix/vendrix.h"

namespace vendrix::testing {

class StreamHost {
 public:
  // `emit(frame, picture)` receives each steadied BGRA frame in stream order.
  StreamHost(RTMotionPath* path, std::function<void(int64_t, const cv::Mat&)> emit) : path_(path), emit_(emit) {}

  // Hands over frame `index` (BGRA) and renders every frame that became ready.
  void Push(int64_t index, const cv::Mat& bgra) {
    RTFrameInput in{VENDRIX_RT_FRAME_TAG, VENDRIX_PIXFMT_BGRA8, 0, bgra.cols, bgra.rows,
                    static_cast<int32_t>(bgra.step[0]), 1.0f, 0, bgra.data};
    held_.push_back({index, bgra});
    // A full window refuses until a definition slides it: render what is held, then scan again.
    while (RTMotionPathScanMap(path_, &in, index) != 0 && Render(false)) {}
    while (Render(false)) {}
  }
  // At the end of the input: the held frames are rendered with the analysis there is.
  void Flush() {
    while (Render(true)) {}
  }
  // Frames whose definition the path refused.
  int64_t Refused() const { return refused_; }

 private:
  // Renders the oldest held frame when the scanner has reached what it needs (or at the end).
  bool Render(bool end) {
    if (held_.empty()) return false;
    const int64_t f = held_.front().first;
    int64_t scanned, needed, acceptable;
    RTMotionScannerRequirementsFrameRange(path_, f, &scanned, &needed, &acceptable);
    if (!end && scanned < needed) return false;
    const cv::Mat& src = held_.front().second;
    cv::Mat out(src.rows, src.cols, CV_8UC4, cv::Scalar::all(0));
    TexMapDefA def = BgraDefinition(src, out);
    if (RTMotionPathTexMapDef(path_, &def, 0, f, 0, src.cols, src.rows) >= 0) {
      last_ = def;
      has_last_ = true;
    } else {
      // Refused (a frame in the window's first, partial look-ahead block after a slide): the
      // previous frame's correction is the closest there is.
      ++refused_;
      def = last_;
    }
    def.srcBuffer = src.data;
    def.outBuffer = out.data;
    if (has_last_)
      TexMap(&def);
    else
      src.copyTo(out);  // nothing to correct with yet: shown as it came
    emit_(f, out);
    held_.pop_front();
    return true;
  }

  RTMotionPath* path_;
  std::function<void(int64_t, const cv::Mat&)> emit_;
  std::deque<std::pair<int64_t, cv::Mat>> held_;
  TexMapDefA last_{};
  bool has_last_ = false;
  int64_t refused_ = 0;
};

}  // namespace vendrix::testing
