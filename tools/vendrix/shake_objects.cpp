#include "shake_objects.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>

namespace vendrix::cli {

namespace {

// A piece of `source` of `size` at its own scale, `where` (0..1 across and down) in the room left
// around it; scaled up first when it is smaller than `size`.
cv::Mat PieceOf(const cv::Mat& source, cv::Size size, cv::Point2d where) {
  cv::Mat scaled = source;
  const double f = std::max(double(size.width) / source.cols, double(size.height) / source.rows);
  if (f > 1)
    cv::resize(source, scaled, cv::Size(std::max(size.width, int(std::ceil(source.cols * f))),
                                        std::max(size.height, int(std::ceil(source.rows * f)))),
               0, 0, cv::INTER_LINEAR);
  return scaled(cv::Rect(int(where.x * (scaled.cols - size.width)), int(where.y * (scaled.rows - size.height)),
                         size.width, size.height))
      .clone();
}

// An antialiased filled rectangle with rounded corners of `radius`.
void RoundedBox(cv::Mat& alpha, double radius) {
  std::vector<cv::Point> outline;
  const double w = alpha.cols - 1, h = alpha.rows - 1;
  const cv::Point2d centres[4] = {
      {w - radius, h - radius}, {radius, h - radius}, {radius, radius}, {w - radius, radius}};
  constexpr int kShift = 4, kSteps = 12;
  for (int corner = 0; corner < 4; ++corner)
    for (int step = 0; step <= kSteps; ++step) {
      const double a = (corner + double(step) / kSteps) * M_PI / 2;
      outline.emplace_back(int(std::lround((centres[corner].x + radius * std::cos(a)) * (1 << kShift))),
                           int(std::lround((centres[corner].y + radius * std::sin(a)) * (1 << kShift))));
    }
  cv::fillPoly(alpha, std::vector<std::vector<cv::Point>>{outline}, cv::Scalar(255), cv::LINE_AA, kShift);
}

}  // namespace

SceneLayers::SceneLayers(const cv::Mat& image, double k, cv::Point2d rest, cv::Size view)
    : image_(image), k_(k), view_(view) {
  // A tall box (0.62 of the view's height, like a person passing close by) walking left to right, and
  // a wide ellipse (0.34 of the height) overtaking it the other way at twice the speed. Their
  // textures are pieces of the still, turned round and darkened, or mirrored and blue: as trackable
  // as the background and unlike what they cover.
  const cv::Size big(std::max(4, int(0.30 * view.width * k)), std::max(4, int(0.62 * view.height * k)));
  const cv::Size wide(std::max(4, int(0.24 * view.width * k)), std::max(4, int(0.34 * view.height * k)));
  cv::Mat turned, mirrored;
  cv::flip(image, turned, -1);
  cv::flip(image, mirrored, 1);
  Sprite a{PieceOf(turned, big, {0.5, 0.5}), cv::Mat::zeros(big, CV_8U), {}, {}, 5.0, 7.0, 0.3, +1, 0.12, 0.015, 1.7};
  a.texture.convertTo(a.texture, -1, 0.55, 35);
  RoundedBox(a.alpha, 0.2 * std::min(big.width, big.height));
  Sprite b{PieceOf(mirrored, wide, {0, 0}), cv::Mat::zeros(wide, CV_8U), {}, {}, 2.6, 4.3, 1.2, -1, -0.14, 0.04, 0.4};
  cv::cvtColor(b.texture, b.texture, cv::COLOR_BGR2RGB);
  b.texture.convertTo(b.texture, -1, 1.2, 20);
  cv::ellipse(b.alpha, cv::Point(wide.width / 2, wide.height / 2), cv::Size(wide.width / 2 - 1, wide.height / 2 - 1), 0,
              0, 360, cv::Scalar(255), cv::FILLED, cv::LINE_AA);
  sprites_ = {std::move(a), std::move(b)};

  // The sway: an elliptical patch up and right of the view's centre, 0.36 of the view wide and 0.4 high,
  // moving by up to 1.2 % of the view's height; full strength inside, fading out smoothly at the rim.
  sway_amplitude_ = 0.012 * view.height * k;
  const double rx = 0.18 * view.width * k, ry = 0.2 * view.height * k;
  const cv::Point2d centre = rest + cv::Point2d(0.28 * view.width * k, -0.2 * view.height * k);
  sway_box_ = cv::Rect(cv::Point(int(std::floor(centre.x - rx)), int(std::floor(centre.y - ry))),
                       cv::Point(int(std::ceil(centre.x + rx)) + 1, int(std::ceil(centre.y + ry)) + 1)) &
              cv::Rect(0, 0, image.cols, image.rows);
  sway_mask_ = cv::Mat::zeros(image.size(), CV_8U);
  if (sway_box_.empty()) return;
  sway_weight_.create(sway_box_.size(), CV_32F);
  sway_phase1_.create(sway_box_.size(), CV_32F);
  sway_phase2_.create(sway_box_.size(), CV_32F);
  map_x_.create(sway_box_.size(), CV_32F);
  map_y_.create(sway_box_.size(), CV_32F);
  // Where the motion stays under a quarter of an output pixel the texture counts as still.
  const float noticeable = float(0.25 * k / sway_amplitude_);
  for (int r = 0; r < sway_box_.height; ++r)
    for (int c = 0; c < sway_box_.width; ++c) {
      const double x = sway_box_.x + c - centre.x, y = sway_box_.y + r - centre.y;
      const double d = std::hypot(x / rx, y / ry);
      const double weight = d < 0.6 ? 1 : d < 1 ? 0.5 * (1 + std::cos(M_PI * (d - 0.6) / 0.4)) : 0;
      sway_weight_.at<float>(r, c) = float(weight);
      sway_phase1_.at<float>(r, c) = float(2 * M_PI * (x / (0.9 * rx) + y / (1.3 * ry)));
      sway_phase2_.at<float>(r, c) = float(2 * M_PI * (-x / (0.5 * rx) + y / (0.7 * ry)));
      if (weight > noticeable) sway_mask_.at<uint8_t>(sway_box_.y + r, sway_box_.x + c) = 255;
    }
}

void SceneLayers::Compose(double seconds, cv::Point2d anchor, cv::Mat& scene, cv::Mat& mask) {
  image_.copyTo(scene);
  sway_mask_.copyTo(mask);
  if (!sway_box_.empty()) {
    // Two travelling waves of different speed and direction, a slow sway and a quicker flutter.
    const double w1 = 2 * M_PI * 0.6 * seconds, w2 = 2 * M_PI * 1.7 * seconds;
    for (int r = 0; r < sway_box_.height; ++r) {
      const float* weight = sway_weight_.ptr<float>(r);
      const float* p1 = sway_phase1_.ptr<float>(r);
      const float* p2 = sway_phase2_.ptr<float>(r);
      float* mx = map_x_.ptr<float>(r);
      float* my = map_y_.ptr<float>(r);
      for (int c = 0; c < sway_box_.width; ++c) {
        const double a = sway_amplitude_ * weight[c], s1 = w1 + p1[c], s2 = w2 + p2[c];
        mx[c] = float(sway_box_.x + c + a * (0.7 * std::sin(s1) + 0.3 * std::sin(s2)));
        my[c] = float(sway_box_.y + r + a * (0.3 * std::cos(s1 + 0.5) + 0.2 * std::sin(s2 + 1)));
      }
    }
    cv::Mat patch = scene(sway_box_);
    cv::remap(image_, patch, map_x_, map_y_, cv::INTER_LINEAR, cv::BORDER_REFLECT);
  }
  for (Sprite& s : sprites_) Place(s, seconds, anchor, scene, mask);
}

void SceneLayers::Place(Sprite& s, double seconds, cv::Point2d anchor, cv::Mat& scene, cv::Mat& mask) const {
  const double since = std::fmod(seconds - s.start_s, s.period_s);
  const double progress = (since < 0 ? since + s.period_s : since) / s.crossing_s;
  if (progress > 1) return;  // between passes
  // Across the view from just outside one edge to just outside the other, in output pixels from the
  // view's centre, then to image pixels around the anchor.
  const double w = s.texture.cols / k_, travel = view_.width + w + 2;
  const double u = s.direction * (progress - 0.5) * travel;
  const double v = view_.height * (s.height_offset + s.bob * std::sin(2 * M_PI * s.bob_hz * seconds));
  const double left = anchor.x + k_ * u - 0.5 * s.texture.cols, top = anchor.y + k_ * v - 0.5 * s.texture.rows;
  const int x0 = int(std::floor(left)), y0 = int(std::floor(top));
  const cv::Matx23d shift(1, 0, left - x0, 0, 1, top - y0);
  const cv::Size size(s.texture.cols + 1, s.texture.rows + 1);
  cv::warpAffine(s.texture, s.moved_texture, shift, size, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  cv::warpAffine(s.alpha, s.moved_alpha, shift, size, cv::INTER_LINEAR, cv::BORDER_CONSTANT, cv::Scalar(0));
  const cv::Rect box = cv::Rect(x0, y0, size.width, size.height) & cv::Rect(0, 0, scene.cols, scene.rows);
  for (int y = box.y; y < box.br().y; ++y) {
    const uint8_t* a = s.moved_alpha.ptr<uint8_t>(y - y0) + (box.x - x0);
    const uint8_t* t = s.moved_texture.ptr<uint8_t>(y - y0) + 3 * (box.x - x0);
    uint8_t* d = scene.ptr<uint8_t>(y) + 3 * box.x;
    uint8_t* m = mask.ptr<uint8_t>(y) + box.x;
    for (int x = 0; x < box.width; ++x, d += 3, t += 3) {
      const int alpha = a[x];
      if (alpha == 0) continue;
      for (int ch = 0; ch < 3; ++ch) d[ch] = uint8_t((d[ch] * (255 - alpha) + t[ch] * alpha + 127) / 255);
      m[x] = 255;
    }
  }
}

}  // namespace vendrix::cli
