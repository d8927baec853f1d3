// Output frames against their input frames: what a stabiliser did to each frame (its zoom, shift, roll
// and any distortion) and how much of the input picture it kept.
#include <algorithm>
#include <cmath>
#include <optional>
#include <stdexcept>

#include <opencv2/imgproc.hpp>

#include "estimator.h"

namespace vendrix::quality {

namespace {

// Share of the input frame (w x h) that lands inside the output frame (ow x oh) under `a`.
double RetainedShare(const cv::Matx23d& a, int w, int h, int ow, int oh) {
  const cv::Matx22d l(a(0, 0), a(0, 1), a(1, 0), a(1, 1));
  if (std::abs(cv::determinant(l)) < 1e-9) return 0;
  const cv::Matx22d inv = l.inv();
  const cv::Vec2d t(a(0, 2), a(1, 2));
  // The output rectangle taken back into the input, clipped by the input rectangle.
  std::vector<cv::Point2f> output, input{{0, 0}, {float(w), 0}, {float(w), float(h)}, {0, float(h)}}, common;
  for (const cv::Vec2d& corner : {cv::Vec2d(0, 0), cv::Vec2d(ow, 0), cv::Vec2d(ow, oh), cv::Vec2d(0, oh)}) {
    const cv::Vec2d p = inv * (corner - t);
    output.emplace_back(float(p[0]), float(p[1]));
  }
  const float area = cv::intersectConvexConvex(input, output, common, true);
  return std::clamp(double(area) / (double(w) * h), 0.0, 1.0);
}

}  // namespace

InputViews CompareToInput(const std::string& input, const std::string& output, const std::string& mask_path) {
  GreyReader in(input), out(output);
  std::optional<GreyReader> masks;
  if (!mask_path.empty()) masks.emplace(mask_path);
  InputViews views;
  views.input_width = in.width();
  views.input_height = in.height();
  cv::Mat a, b, object;
  // Each frame starts from the last good map: corrections change little from frame to frame, while a
  // zoom of 1.2 moves the corners of a 1080p frame by a hundred pixels and more.
  cv::Matx23d guess(1, 0, 0, 0, 1, 0);
  while (in.Next(a) && out.Next(b)) {
    cv::Mat exclude_in;
    if (masks && masks->Next(object)) {
      if (object.size() != a.size()) throw std::runtime_error(mask_path + ": not the input's size");
      exclude_in = object != 0;
    }
    const FrameMotion m = MeasureMotion(a, b, exclude_in, UncoveredMask(b), &guess);
    FrameView v;
    if (m.ok) {
      v.ok = true;
      v.similarity = m.similarity;
      v.affine = m.affine;
      v.retained = RetainedShare(m.affine, a.cols, a.rows, b.cols, b.rows);
      guess = m.similarity;
    }
    views.frames.push_back(v);
  }
  return views;
}

}  // namespace vendrix::quality
