// vendrix_quality_measure: how steady one clip is, as JSON (scores and the per-frame camera path).
//
//   vendrix_quality_measure CLIP [--truth shake.json] [--zoom Z] [--mask objects.mkv] [--elapsed S]
//                           [--lowpass-hz F] [--json out.json]
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "estimator.h"

using namespace vendrix::quality;

int main(int argc, char** argv) {
  CLI::App app("Measures a clip's camera path and steadiness from its frames (feature tracking)");
  std::string clip, truth, mask, json_path;
  ScoreOptions options;
  double elapsed = -1;
  app.add_option("CLIP", clip, "video to measure")->required();
  app.add_option("--truth", truth, "`vendrix shake` truth file: score the distance to its intended path");
  app.add_option("--zoom", options.zoom, "output pixels per input pixel, for the intended path (default 1)");
  app.add_option("--mask", mask, "grey video of the clip's size, non-zero where objects move (not tracked)");
  app.add_option("--elapsed", elapsed, "seconds the stabiliser took, copied into the result");
  app.add_option("--lowpass-hz", options.lowpass_hz, "cut-off of the path low-pass for the jitter (default 1)");
  app.add_option("--json", json_path, "write here instead of standard output");
  CLI11_PARSE(app, argc, argv);

  try {
    const auto start = std::chrono::steady_clock::now();
    const ClipTrack track = TrackClip(clip, mask);
    if (track.uncovered.size() < 2) throw std::runtime_error(clip + ": fewer than two frames");
    if (!truth.empty()) {
      int height = 0;
      options.intended = ReadIntendedPath(truth, &height);
      for (Pose& p : options.intended) p.x *= 1080.0 / height, p.y *= 1080.0 / height;
    }
    const Scores s = Score(track, options);
    nlohmann::json j;
    j["clip"] = clip;
    j["width"] = track.width;
    j["height"] = track.height;
    j["fps"] = track.fps;
    j["frames"] = s.frames;
    j["failed_pairs"] = s.failed_pairs;
    j["units"] = "lengths in pixels of a 1080-line frame";
    j["jitter_px"] = s.jitter_px;
    j["jitter_roll_deg"] = s.jitter_roll_deg;
    j["lowpass_hz"] = options.lowpass_hz;
    if (s.intended_error_px) j["intended_error_px"] = *s.intended_error_px;
    j["stability"] = s.stability;
    j["stability_translation"] = s.stability_translation;
    j["stability_rotation"] = s.stability_rotation;
    j["zoom_range"] = s.zoom_range;
    j["distortion"] = s.distortion;
    j["distortion_mean"] = s.distortion_mean;
    j["uncovered_mean"] = s.uncovered_mean;
    j["uncovered_max"] = s.uncovered_max;
    if (elapsed >= 0) j["elapsed_s"] = elapsed;
    j["measure_s"] = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    nlohmann::json path = nlohmann::json::array();
    const double unit = 1080.0 / track.height;
    const std::vector<Pose> poses = CameraPath(track.motion, track.width, track.height);
    for (size_t i = 0; i < poses.size(); ++i)
      path.push_back({{"x", poses[i].x * unit}, {"y", poses[i].y * unit}, {"roll", poses[i].roll},
                      {"scale", poses[i].scale}, {"uncovered", track.uncovered[i]},
                      {"tracked", i == 0 || track.motion[i - 1].ok}});
    j["path"] = std::move(path);
    if (json_path.empty()) {
      std::cout << j.dump(1) << "\n";
    } else {
      std::ofstream(json_path) << j.dump(1) << "\n";
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vendrix_quality_measure: error: %s\n", e.what());
    return 1;
  }
  return 0;
}
