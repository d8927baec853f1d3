// Helpers of the vendrix command's tests: running the command and ffmpeg in a scratch folder, reading
// what they wrote back with FFmpeg, and measuring camera shake on decoded frames with OpenCV's own
// tracker (independent of the library under test).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>

#include "passes.h"

namespace vendrix::testing {

struct RunResult {
  int status = -1;
  std::string out, err;
};

// Runs `vendrix ARGS` through the shell, after the shell commands in `prefix` (limits, traps).
RunResult RunVendrix(const std::string& args, const std::string& prefix = "");
// Runs a shell command; returns its exit status.
int RunShell(const std::string& command);
// Success of `vendrix ARGS`, and of `ffmpeg -v error ARGS`; a failure names the command (and vendrix's
// messages).
::testing::AssertionResult VendrixOk(const std::string& args);
::testing::AssertionResult FfmpegOk(const std::string& args);
// A JSON file parsed (the truth `vendrix shake` writes, the stats of a run).
nlohmann::json ReadJson(const std::string& path);
// The command's analysis pass on `clip` with the default settings, in process and quiet.
cli::Motion Analyse(const std::string& clip, const cli::AnalysisChoices& choices = {});
// The whole content of a file (empty when it cannot be read).
std::string Slurp(const std::string& path);

// A fresh folder per test, removed afterwards.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // Names in the folder in sorted order, hidden ones included (temporary files must not survive).
  std::vector<std::string> Entries() const;

 private:
  std::filesystem::path path_;
};

std::string SampleImage();  // the still image the project ships

// A suite whose tests share one folder and one shaky clip, made once by `vendrix shake ... ARGS`.
class SharedClipSuite : public ::testing::Test {
 protected:
  static void MakeSharedClip(const std::string& shake_args);
  static void TearDownTestSuite();
  static std::string Clip() { return *dir_ / "clip.mp4"; }
  static std::string In(const std::string& name) { return *dir_ / name; }

  static ScratchDir* dir_;
};

struct StreamInfo {
  std::string type, codec;
  int64_t packets = 0;
  uint64_t payload_hash = 0;  // over every packet's bytes, in order
};

struct VideoInfo {
  int width = 0, height = 0;
  std::string pixel_format;
  std::vector<double> pts;  // decoded frames' timestamps, seconds
  double rotation = 0;      // degrees from the display matrix, 0 without one
  int colour_range = 0, colour_space = 0;
  std::vector<StreamInfo> streams;
  std::string title;                    // the container's title tag
  std::vector<std::string> chapters;    // chapter titles in order
  int field_order = 0;                  // the stream's AVFieldOrder
  int top_first_frames = 0, bottom_first_frames = 0;  // decoded frames flagged interlaced, by field order
};

VideoInfo Probe(const std::string& path);

// Grey frames of the video (at most `limit`).
std::vector<cv::Mat> DecodeGrey(const std::string& path, int limit = 100000);

// Frame-to-frame motion of the picture centre, measured by tracking corners: (dx, dy) per frame pair.
std::vector<cv::Point2d> CentreMotion(const std::vector<cv::Mat>& frames);
// Jitter: RMS second difference of the accumulated centre motion, pixels.
double Jitter(const std::vector<cv::Point2d>& motion);

}  // namespace vendrix::testing
