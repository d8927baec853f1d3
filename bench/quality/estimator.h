// The quality bench's own motion estimator: it measures how steady a video is from its decoded frames
// alone, without the Vendrix library, so that Vendrix and the open stabilisers are judged by the same
// independent yardstick.
//
// Frames are read through an `ffmpeg` subprocess as 8-bit grey. Between consecutive frames, corners of the
// background (outside the uncovered edges and outside an optional mask of moving objects) are tracked
// with pyramidal Lucas-Kanade, checked forwards and backwards, and a similarity and a full affine are
// fitted with RANSAC; a robust fit that also takes a rolling shutter's bends gives the centre row's
// step. The steps accumulate into the camera path that the metrics are taken from.
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
  cv::Matx23d affine;      // the full affine (RANSAC): distortion
  cv::Matx23d step;        // the centre row's motion, robust to a rolling shutter's bends: the camera path's step
  double bend = 0;         // pixels the rows moved against each other beyond an affine (RMS over the frame)
  int inliers = 0;
};

// `exclude` (optional, 255 = ignore) marks moving objects and uncovered pixels of `earlier`, and
// `exclude_later` pixels of `later` no point may land on. `guess` (optional) is where the motion is
// expected to be, for pictures far apart (a stabiliser's zoom and correction).
FrameMotion MeasureMotion(const cv::Mat& earlier, const cv::Mat& later, const cv::Mat& exclude = cv::Mat(),
                          const cv::Mat& exclude_later = cv::Mat(), const cv::Matx23d* guess = nullptr);

// Everything measured on one clip, frame by frame.
struct ClipTrack {
  int width = 0, height = 0;
  double fps = 0;
  std::vector<FrameMotion> motion;  // motion[i]: frame i -> i + 1
  std::vector<double> uncovered;    // share of each frame's pixels, 0..1
};


// A camera pose: where the view's centre is relative to frame 0's (pixels, x right, y down), its roll
// (radians) and zoom (the picture's scale); the picture moves the opposite way. The convention of
// `vendrix shake`'s truth.
struct Pose {
  double x = 0, y = 0, roll = 0, scale = 1;
};

// Accumulates the frame-to-frame steps (failed pairs count as no motion) into camera poses.
std::vector<Pose> CameraPath(const std::vector<FrameMotion>& motion, int width, int height);

// A `vendrix shake` truth file, in the pixels of the clip it describes.
struct Truth {
  int width = 0, height = 0;
  std::vector<Pose> intended;  // the camera path the operator meant
  std::vector<Pose> shaky;     // intended + shake: the path the shaky clip follows
  std::vector<int> cuts;       // first frames of new shots
  std::string mask;            // the object mask video beside it, empty when there is none
};
Truth ReadTruth(const std::string& truth_json);  // throws std::runtime_error

// How output frame i shows input frame i: the map from input to output pixels (pixel-index
// coordinates) and the share of the input frame's area that is still in the output.
struct FrameView {
  bool ok = false;
  cv::Matx23d similarity, affine;
  double retained = 0;
};

struct InputViews {
  int input_width = 0, input_height = 0;
  std::vector<FrameView> frames;
};

// Tracks each input frame into its output frame. `mask_path` as for TrackClip (objects of the input).
InputViews CompareToInput(const std::string& input, const std::string& output, const std::string& mask_path = "");

// Where each output frame's centre sits on the truth's camera path (the truth's pixels); empty where
// the frame's map failed. `width` x `height` is the output's size.
std::vector<std::optional<cv::Point2d>> PlaceOnTruth(const InputViews& views, const Truth& truth, int width, int height);

// `mask_path`: optional grey video of the same length, non-zero where objects move; with `views` it
// marks the input frames and is carried into the output by each frame's map.
ClipTrack TrackClip(const std::string& path, const std::string& mask_path = "",
                    const InputViews* views = nullptr);

struct Scores {
  int frames = 0, failed_pairs = 0, failed_views = 0;
  double jitter_px = 0, jitter_roll_deg = 0;   // RMS of the path minus its low-pass
  double wobble_px = 0;                        // RMS of the rows' bending against each other, frame to frame
  std::optional<double> intended_error_px;     // RMS distance to the intended path, offset removed
  double stability = 0, stability_translation = 0, stability_rotation = 0;  // Liu et al. 2013, 0..1
  double zoom_range = 0;                       // largest / smallest accumulated scale, minus 1
  // Liu et al. 2013 from the input-to-output maps when they were measured (else distortion from the
  // frame-to-frame affines): the smallest / mean ratio of the affine's singular values, and the share
  // of the input frame's area the output keeps.
  double distortion = 1, distortion_mean = 1;
  std::optional<double> retained_mean, retained_min;
  double uncovered_mean = 0, uncovered_max = 0;
};

struct ScoreOptions {
  double lowpass_hz = 1.0;  // the path's low-pass cut-off (-3 dB) for the residual jitter
  // The truth of the input clip, for the error against its intended path (absent: no error).
  const Truth* truth = nullptr;
  // Input-to-output maps: with a truth, the error then places each output frame's centre on the
  // truth's camera path directly, with no drift; they also give cropping and distortion.
  const InputViews* views = nullptr;
  // Without maps: how many output pixels one input pixel became (a stabiliser's zoom).
  double zoom = 1.0;
};

// Lengths are in 1080-line pixels (the clip's pixels times 1080 / height).
Scores Score(const ClipTrack& track, const ScoreOptions& options);

// Gaussian low-pass with point-mirrored ends (a steady pan passes unchanged); sigma in samples.
std::vector<double> LowPass(const std::vector<double>& v, double sigma);
// The same, each shot on its own: `starts` holds the first frames of shots after the first. The
// low-pass never reaches across a cut, where the path's direction may change from one frame to the
// next without any shake.
std::vector<double> LowPassShots(const std::vector<double>& v, double sigma, const std::vector<int>& starts);

}  // namespace vendrix::quality
