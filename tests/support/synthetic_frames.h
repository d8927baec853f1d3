// Synthetic video frames with known camera motion: a textured still image seen through a camera that
// moves by a similarity (rotation about the image centre, then translation) per frame, rendered with
// sub-pixel bilinear warps.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace vendrix::testing {

// A grey texture with detail at several scales: smoothed noise plus scattered rectangles, so that both
// corner detectors find plenty of well-spread corners.
inline cv::Mat MakeTexture(int width, int height, uint32_t seed) {
  cv::Mat noise(height, width, CV_32F);
  cv::RNG rng(seed);
  rng.fill(noise, cv::RNG::UNIFORM, 0.0, 1.0);
  cv::Mat coarse, fine;
  cv::GaussianBlur(noise, coarse, cv::Size(0, 0), 6.0);
  cv::GaussianBlur(noise, fine, cv::Size(0, 0), 1.2);
  cv::Mat tex = coarse * 2.0 + fine * 1.0;
  cv::normalize(tex, tex, 30, 200, cv::NORM_MINMAX);
  for (int i = 0; i < width * height / 3000; ++i) {
    const int x = rng.uniform(0, width), y = rng.uniform(0, height);
    const int w = rng.uniform(6, 30), h = rng.uniform(6, 30);
    cv::rectangle(tex, cv::Rect(x, y, w, h), cv::Scalar(rng.uniform(0, 255)), cv::FILLED);
  }
  cv::Mat out;
  tex.convertTo(out, CV_8U);
  return out;
}

struct CameraPose {
  double tx = 0, ty = 0, theta = 0;  // content shift (pixels) and rotation (radians) about the centre
};

// Renders `texture` as seen with `pose`: content point p moves to R(theta)(p - c) + c + t. The texture is
// larger than the frame so that no border enters the view; the frame is its centre crop.
inline cv::Mat RenderFrame(const cv::Mat& texture, int width, int height, const CameraPose& pose) {
  const double cx = texture.cols / 2.0, cy = texture.rows / 2.0;
  const double c = std::cos(pose.theta), s = std::sin(pose.theta);
  // Forward map of the texture, then the crop offset.
  const double ox = (texture.cols - width) / 2.0, oy = (texture.rows - height) / 2.0;
  cv::Mat m = (cv::Mat_<double>(2, 3) << c, -s, cx - c * cx + s * cy + pose.tx - ox, s, c,
               cy - s * cx - c * cy + pose.ty - oy);
  cv::Mat frame;
  cv::warpAffine(texture, frame, m, cv::Size(width, height), cv::INTER_LINEAR, cv::BORDER_REFLECT);
  return frame;
}

// Expected displacement of the frame centre from pose a to pose b (content motion), frame pixels.
inline void CentreMotion(const CameraPose& a, const CameraPose& b, double* dx, double* dy) {
  // Content at the frame centre in pose a came from q = R(-a)(-t_a) relative to the centre; in pose b it
  // lies at R(b) q + t_b.
  const double qx = std::cos(-a.theta) * -a.tx - std::sin(-a.theta) * -a.ty;
  const double qy = std::sin(-a.theta) * -a.tx + std::cos(-a.theta) * -a.ty;
  *dx = std::cos(b.theta) * qx - std::sin(b.theta) * qy + b.tx;
  *dy = std::sin(b.theta) * qx + std::cos(b.theta) * qy + b.ty;
}

}  // namespace vendrix::testing
