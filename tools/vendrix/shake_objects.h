// What moves in the scene of `vendrix shake` besides the camera: two large textured objects crossing
// the view at different heights and speeds, and a patch of background swaying like foliage in wind.
// They are drawn on the image plane, so the camera's motion carries them along with the background,
// and a mask of the image plane marks where they are, for trackers that must leave them out.
#pragma once

#include <cstdint>
#include <vector>

#include <opencv2/core.hpp>

namespace vendrix::cli {

class SceneLayers {
 public:
  // `image`: the background; `k`: image pixels per output pixel; `rest`: the
  // image point the view centres on at rest, where the sway patch goes; `view`: the output size.
  SceneLayers(const cv::Mat& image, double k, cv::Point2d rest, cv::Size view);

  // The scene at `seconds` into `scene` (the image's size and type), with the objects placed around
  // `anchor` (the image point the intended view centres on), and into `mask` (8-bit, the image's
  // size) 255 where objects or swaying texture are, 0 elsewhere. No allocation after the first call.
  void Compose(double seconds, cv::Point2d anchor, cv::Mat& scene, cv::Mat& mask);

 private:
  // A textured shape crossing the view sideways, again and again.
  struct Sprite {
    cv::Mat texture, alpha;                // the shape, in image pixels
    cv::Mat moved_texture, moved_alpha;    // shifted by the placement's fraction of a pixel
    double crossing_s, period_s, start_s;  // time to cross the view, time between entries, first entry
    int direction;                         // +1 left to right, -1 right to left
    double height_offset, bob, bob_hz;     // vertical centre and its sway, fractions of the view height
  };
  void Place(Sprite& sprite, double seconds, cv::Point2d anchor, cv::Mat& scene, cv::Mat& mask) const;

  cv::Mat image_;
  double k_;
  cv::Size view_;
  std::vector<Sprite> sprites_;
  // The sway patch: its box in the image, per pixel the strength and the phases of two waves, the
  // sampling maps filled each frame, and the mask of where it moves noticeably.
  cv::Rect sway_box_;
  cv::Mat sway_weight_, sway_phase1_, sway_phase2_, map_x_, map_y_;
  double sway_amplitude_;  // image pixels
  cv::Mat sway_mask_;
};

}  // namespace vendrix::cli
