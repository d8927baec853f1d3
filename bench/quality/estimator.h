// The quality bench's own motion estimator: it measures how steady a video is from its decoded frames
// alone, without the Vendrix library, so that Vendrix and the open stabilisers are judged by the same
// independent yardstick.
//
// Frames are read through an `ffmpeg` subprocess as 8-bit grey. Between consecutive frames, corners of the
// background (outside the uncovered edges and outside an optional mask of moving objects) are tracked
// with pyramidal Lucas-Kanade, checked forwards and backwards, and a similarity and a full affine are
// fitted with RANSAC. The similarities accumulate into the camera path that the metrics are taken from.
//
// Written in C++ against the OpenCV modules and FFmpeg program the project already needs (Debian's Python
// OpenCV would pull in some forty more OpenCV modules and their GUI stacks for no gain).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

namespace vendrix::quality {

// Reads a video's first video stream as 8-bit grey frames through an `ffmpeg` pipe.
class GreyReader {
 public:
  explicit GreyReader(const std::string& path);  // throws std::runtime_error
  ~GreyReader();
  GreyReader(const GreyReader&) = delete;
  GreyReader& operator=(const GreyReader&) = delete;

  bool Next(cv::Mat& grey);  // false at the end
  int width() const { return width_; }
  int height() const { return height_; }
  double fps() const { return fps_; }

 private:
  FILE* pipe_ = nullptr;
  int width_ = 0, height_ = 0;
  double fps_ = 0;
};

// Output pixels that show no picture of the current frame: runs from a frame edge inward that stay
// constant (black or flat fill) or repeat the edge (stretched edges, including slightly rotated ones).
// 255 where uncovered.
cv::Mat UncoveredMask(const cv::Mat& grey);

// How the picture moved from one frame to the next: both matrices map a point of the earlier frame to
// where it shows in the later one (pixel-index coordinates).
struct FrameMotion {
  bool ok = false;         // enough background points agreed
  cv::Matx23d similarity;  // rotation, uniform scale and translation
  cv::Matx23d affine;      // the full affine, for distortion
  int inliers = 0;
};

// `exclude` (optional, 255 = ignore) marks moving objects and uncovered pixels of `earlier`.
FrameMotion MeasureMotion(const cv::Mat& earlier, const cv::Mat& later, const cv::Mat& exclude = cv::Mat());

// Everything measured on one clip, frame by frame.
struct ClipTrack {
  int width = 0, height = 0;
  double fps = 0;
  std::vector<FrameMotion> motion;  // motion[i]: frame i -> i + 1
  std::vector<double> uncovered;    // share of each frame's pixels, 0..1
};

// `mask_path`: optional grey video of the same size and length, non-zero where objects move.
ClipTrack TrackClip(const std::string& path, const std::string& mask_path = "");

// A camera pose: where the view's centre is relative to frame 0's (pixels, x right, y down), its roll
// (radians) and zoom; the picture moves the opposite way. The convention of `vendrix shake`'s truth.
struct Pose {
  double x = 0, y = 0, roll = 0, scale = 1;
};

// Accumulates frame-to-frame similarities (failed pairs count as no motion) into camera poses.
std::vector<Pose> CameraPath(const std::vector<FrameMotion>& motion, int width, int height);

struct Scores {
  int frames = 0, failed_pairs = 0;
  double jitter_px = 0, jitter_roll_deg = 0;   // RMS of the path minus its low-pass
  std::optional<double> intended_error_px;     // RMS distance to the intended path, offset removed
  double stability = 0, stability_translation = 0, stability_rotation = 0;  // Liu et al. 2013, 0..1
  double zoom_range = 0;                       // largest / smallest accumulated scale, minus 1
  double distortion = 1, distortion_mean = 1;  // smallest / mean ratio of the affine's singular values
  double uncovered_mean = 0, uncovered_max = 0;
};

struct ScoreOptions {
  double lowpass_hz = 1.0;  // the path's low-pass cut-off (-3 dB) for the residual jitter
  // The intended camera path in 1080-line pixels, and how many output pixels one input pixel became
  // (a stabiliser's zoom); empty to skip the error.
  std::vector<Pose> intended;
  double zoom = 1.0;
};

// Lengths are in 1080-line pixels (the clip's pixels times 1080 / height).
Scores Score(const ClipTrack& track, const ScoreOptions& options);

// The intended path of a `vendrix shake` truth file, and intended + shake (the path the shaky clip
// itself follows), in the pixels of the clip it describes; `height` receives that clip's height.
// Throws std::runtime_error.
std::vector<Pose> ReadIntendedPath(const std::string& truth_json, int* height = nullptr);
std::vector<Pose> ReadShakyPath(const std::string& truth_json);

// Gaussian low-pass with mirrored ends; sigma in samples.
std::vector<double> LowPass(const std::vector<double>& v, double sigma);

}  // namespace vendrix::quality
